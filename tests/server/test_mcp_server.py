"""The MCP server driven as an assistant drives it: the SDK's client over
stdio (the server in a subprocess) and over streamable HTTP with tokens.
Bad arguments are in test_bad_inputs.py, with every other door's."""

import os
import sys

import httpx
import pytest
from server_helpers import mcp_over_http, needs_model, token

from orlo_memory import Memory
from orlo_memory.contract.shapes import HitJson
from orlo_memory.contract.turns import TURN_FIELD_NAMES
from orlo_memory.contract.values import MAX_RESULTS, MODES

TOOLS = {"remember", "search", "sessions", "get_turns", "forget"}
# The loaded model makes these slow.
pytestmark = pytest.mark.slow


async def converse(client) -> list[str]:
    """Remembers, searches, forgets as an assistant would; returns the ids
    of the turns left."""
    tools = {tool.name: tool for tool in (await client.list_tools()).tools}
    assert set(tools) == TOOLS
    # The tools publish the contract: a turn's fields, k's range, the modes,
    # and results in the contract's shapes.
    turn = tools["remember"].input_schema["properties"]["turns"]["items"]
    assert set(turn["properties"]) == TURN_FIELD_NAMES
    search = tools["search"]
    assert search.input_schema["properties"]["k"]["maximum"] == MAX_RESULTS
    assert search.input_schema["properties"]["mode"]["enum"] == list(MODES)
    assert set(search.output_schema["$defs"]["HitJson"]["properties"]) == set(
        HitJson.__annotations__
    )
    remembered = await client.call_tool(
        "remember",
        {
            "turns": [
                {
                    "text": "My flight to Lisbon leaves at 10:40 on the 3rd",
                    "role": "user",
                    "created_at": "2026-03-28T09:15:00+01:00",
                    "metadata": {"channel": "chat"},
                },
                {"text": "Noted, I will remind you the day before.", "role": "assistant"},
                {"text": "My sister's cat is called Miso", "role": "user", "id": "ca" * 16},
            ],
            "session_title": "Trip planning",
        },
    )
    assert not remembered.is_error, remembered.content
    flight, note, cat = remembered.structured_content["ids"]
    assert cat == "ca" * 16
    found = await client.call_tool("search", {"query": "when does my plane leave?", "k": 1})
    assert found.structured_content["hits"][0]["id"] == flight
    ranked = await client.call_tool("sessions", {"query": "holiday travel"})
    assert ranked.structured_content["sessions"][0]["title"] == "Trip planning"
    assert (await client.call_tool("forget", {"ids": [cat]})).structured_content == {"forgotten": 1}
    # Library errors come back as tool errors with the library's message,
    # and the server carries on.
    again = await client.call_tool("forget", {"ids": [cat, note]})
    assert again.is_error and f"no live turn {cat}" in again.content[0].text
    turns = (await client.call_tool("get_turns", {"ids": [flight, note]})).structured_content
    first, second = turns["turns"]
    assert (first["created_at"], first["metadata"]) == ("2026-03-28T08:15:00Z", {"channel": "chat"})
    assert second["text"].startswith("Noted")
    return [flight, note]


async def test_mcp_over_stdio(tmp_path):
    needs_model()
    from mcp import Client
    from mcp.client.stdio import StdioServerParameters

    path = str(tmp_path / "memory.db")
    command = ["-m", "orlo_memory", "mcp", path, "--create", "--user", "maya"]
    server = StdioServerParameters(command=sys.executable, args=command, env=dict(os.environ))
    async with Client(server, read_timeout_seconds=120) as client:
        left = await converse(client)
    with Memory.open(path) as memory:
        assert memory.users() == ["maya"]
        assert [turn.id for turn in memory.user("maya").turns()] == left


async def test_mcp_over_http_with_tokens(tmp_path):
    needs_model()
    from mcp import Client
    from mcp.client.streamable_http import streamable_http_client
    from mcp.shared._httpx_utils import create_mcp_http_client

    path = str(tmp_path / "memory.db")
    alice = token(path, "--user", "alice")
    bob = token(path, "--user", "bob")

    def connect(credential: str) -> Client:
        http = create_mcp_http_client(headers={"Authorization": f"Bearer {credential}"})
        return Client(streamable_http_client(url, http_client=http), read_timeout_seconds=120)

    with mcp_over_http(path, "--max-batch", "3") as url:
        refused = httpx.post(url, json={"jsonrpc": "2.0", "id": 1, "method": "ping"})
        assert refused.status_code == 401
        assert refused.headers["content-type"] == "application/problem+json"
        async with connect(alice) as client:
            left = await converse(client)
            too_many = await client.call_tool("get_turns", {"ids": left * 2})
            assert (
                too_many.is_error and "4 ids in one request; at most 3" in too_many.content[0].text
            )
        async with connect(bob) as client:
            # Bob's token reaches only bob, who has no memory yet.
            found = await client.call_tool("search", {"query": "Lisbon flight"})
            assert found.is_error and "no user 'bob'" in found.content[0].text
            got = await client.call_tool("get_turns", {"ids": left})
            assert got.is_error and "alice" not in got.content[0].text
    with Memory.open(path) as memory:
        assert memory.users() == ["alice"]
        assert [turn.id for turn in memory.user("alice").turns()] == left
