"""The MCP server driven as an assistant drives it: the SDK's client over
stdio (the server in a subprocess) and over streamable HTTP with tokens."""

import contextlib
import os
import subprocess
import sys
import time

import httpx
from server_helpers import free_port, needs_model, token

from orlo_memory import Memory

TOOLS = {"remember", "search", "sessions", "get_turns", "forget"}


async def converse(client) -> list[str]:
    """Remembers, searches, forgets as an assistant would; returns the ids
    of the turns left."""
    assert {tool.name for tool in (await client.list_tools()).tools} == TOOLS
    remembered = await client.call_tool(
        "remember",
        {
            "turns": [
                {"text": "My flight to Lisbon leaves at 10:40 on the 3rd", "role": "user"},
                {"text": "Noted, I will remind you the day before.", "role": "assistant"},
                {"text": "My sister's cat is called Miso", "role": "user"},
            ],
            "session_title": "Trip planning",
        },
    )
    assert not remembered.is_error, remembered.content
    flight, note, cat = remembered.structured_content["ids"]
    found = await client.call_tool("search", {"query": "when does my plane leave?", "k": 1})
    assert found.structured_content["hits"][0]["id"] == flight
    ranked = await client.call_tool("sessions", {"query": "holiday travel"})
    assert ranked.structured_content["sessions"][0]["title"] == "Trip planning"
    assert (await client.call_tool("forget", {"ids": [cat]})).structured_content == {"forgotten": 1}
    # Library errors come back as tool errors with the library's message,
    # and the server carries on.
    again = await client.call_tool("forget", {"ids": [cat, note]})
    assert again.is_error and f"no live turn {cat}" in again.content[0].text
    wrong = await client.call_tool("search", {"query": "x", "mode": "fuzzy"})
    assert wrong.is_error
    turns = await client.call_tool("get_turns", {"ids": [flight, note]})
    assert [t["text"] for t in turns.structured_content["turns"]][1].startswith("Noted")
    return [flight, note]


async def test_mcp_over_stdio(tmp_path):
    needs_model()
    from mcp import Client
    from mcp.client.stdio import StdioServerParameters

    path = str(tmp_path / "memory.db")
    command = ["-m", "orlo_memory", "mcp", path, "--user", "maya"]
    server = StdioServerParameters(command=sys.executable, args=command, env=dict(os.environ))
    async with Client(server, read_timeout_seconds=120) as client:
        left = await converse(client)
    with Memory.open(path) as memory:
        assert memory.users() == ["maya"]
        assert [turn.id for turn in memory.user("maya").turns()] == left


@contextlib.contextmanager
def mcp_over_http(path: str):
    port = free_port()
    process = subprocess.Popen(
        [sys.executable, "-m", "orlo_memory", "mcp", path, "--http", f"127.0.0.1:{port}"],
        stderr=subprocess.PIPE,
        start_new_session=True,
    )
    url = f"http://127.0.0.1:{port}/mcp"
    try:
        deadline = time.monotonic() + 120
        while True:
            assert process.poll() is None, process.stderr.read().decode()
            with contextlib.suppress(httpx.TransportError):
                httpx.post(url, timeout=1.0)
                break
            assert time.monotonic() < deadline, "the MCP server did not start"
            time.sleep(0.2)
        yield url
    finally:
        process.terminate()
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


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

    with mcp_over_http(path) as url:
        refused = httpx.post(url, json={"jsonrpc": "2.0", "id": 1, "method": "ping"})
        assert refused.status_code == 401
        assert refused.headers["content-type"] == "application/problem+json"
        async with connect(alice) as client:
            left = await converse(client)
        async with connect(bob) as client:
            # Bob's token reaches only bob, who has no memory yet.
            found = await client.call_tool("search", {"query": "Lisbon flight"})
            assert found.is_error and "no user 'bob'" in found.content[0].text
            got = await client.call_tool("get_turns", {"ids": left})
            assert got.is_error and "alice" not in got.content[0].text
    with Memory.open(path) as memory:
        assert memory.users() == ["alice"]
        assert [turn.id for turn in memory.user("alice").turns()] == left
