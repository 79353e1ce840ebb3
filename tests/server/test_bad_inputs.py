"""One table of bad values, sent through every door of the memory.

Each row names a parameter, a value and the words its refusal must hold, and
the doors that take that parameter. Every door must refuse the value in its
own form, with the same meaning, and store nothing:
- the library raises InvalidInputError (or a subclass);
- the command line (`python -m orlo_memory ...`) exits 1 with one line on
  standard error;
- the HTTP API (a real `orlo-memory serve` process) answers 4xx
  application/problem+json whose detail holds the words;
- the MCP server (a real `orlo-memory mcp --http` process, driven by the MCP
  SDK's client) answers a tool error holding the words.
A row without words is a value every door accepts (a session id, in any of
its forms, then finds the seeded turn).

Each door has its own SQLite memory, seeded with one session and one turn of
alice's; after each case the memory must hold exactly that. Servers start once
for the module; the command-line cases run together, two at a time, on first
use (so a command line case checks its memory after all of them ran).
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import json
import re
import urllib.parse
import uuid
from collections.abc import Callable, Iterator
from datetime import datetime
from pathlib import Path
from typing import Any, NamedTuple

import httpx
import pytest
from server_helpers import DIM, cli, mcp_over_http, serve, vector_for

from orlo_memory import InvalidInputError, Memory
from orlo_memory.contract.turns import turn_from_json
from orlo_memory.contract.values import MAX_RESULTS
from orlo_memory.doors.server.settings import DEFAULT_MAX_BATCH

USER = "alice"
GOOD = {"text": "a fine new turn", "embedding": [0.25] * DIM}
NAIVE = "2026-01-01T10:00:00"
# Stands for the seeded session's id written as a dashed UUID.
DASHED_SESSION = "<the seeded session, dashed>"
TOO_MANY = DEFAULT_MAX_BATCH + 1
EVERY = ("library", "cli", "http", "mcp")
SERVERS = ("http", "mcp")


def _nested(depth: int) -> dict[str, Any]:
    value: dict[str, Any] = {}
    for _ in range(depth - 1):
        value = {"a": value}
    return value


def _negated(depth: int) -> dict[str, Any]:
    value: dict[str, Any] = {"role": "user"}
    for _ in range(depth):
        value = {"$not": value}
    return value


class Row(NamedTuple):
    case: str
    parameter: str
    value: Any
    words: tuple[str, ...]  # patterns the refusal holds; none: the value is accepted
    doors: tuple[str, ...] = EVERY
    # Words only some doors must say, in their own terms: (door, patterns)...
    door_words: tuple[tuple[str, tuple[str, ...]], ...] = ()


# A time's refusal speaks Python in Python and ISO 8601 text at the JSON doors.
ISO = ("ISO 8601", "2026-04-02T10:40:00Z")
TIME_WORDS = (("library", ("timezone-aware datetime",)), ("cli", ISO), ("http", ISO), ("mcp", ISO))


ROWS = [
    Row("k of 0", "k", 0, ()),
    Row("k below 0", "k", -1, ("k", "0")),
    Row("k above the most results", "k", MAX_RESULTS + 1, ("k", str(MAX_RESULTS))),
    Row("k not an integer", "k", 2.5, ("k", "integer")),
    Row("recency above 1", "recency", 1.5, ("recency", "1")),
    Row("unknown mode", "mode", "fuzzy", ("mode", "hybrid")),
    Row("bad session id", "session", "not-a-session", ("session", "hex")),
    Row("dashed UUID session id", "session", DASHED_SESSION, ()),
    Row(
        "since without a zone",
        "since",
        NAIVE,
        ("since", "time ?zone"),
        ("library", *SERVERS),
        TIME_WORDS,
    ),
    Row("bad turn id", "id", "not-an-id", ("id", "hex")),
    Row("bad id to read or forget", "ids", "not-an-id", ("turn id", "hex"), ("library", *SERVERS)),
    Row("blank user name", "user", " ", ("user name",)),
    Row("user name of 257 characters", "user", "u" * 257, ("user name", "256")),
    # Neither a command line argument nor an HTTP header can carry a NUL.
    Row("NUL in a user name", "user", "a\0b", ("user name", "NUL"), ("library", "http")),
    Row(
        "time without a zone", "created_at", NAIVE, ("created_at", "time ?zone"), EVERY, TIME_WORDS
    ),
    Row("wrong embedding dimension", "embedding", [0.5] * 3, ("embeddings?", "3", str(DIM))),
    Row("unknown turn field", "colour", "blue", ("colour", "unknown|extra")),
    Row("metadata nested 40 deep", "metadata", _nested(40), ("metadata", "32")),
    Row("empty text", "text", "", ("text", "empty")),
    Row("NUL in metadata", "metadata", {"note": "a\0b"}, ("metadata", "NUL")),
    Row("filter on the role", "filter", {"role": "user"}, ()),
    Row(
        "filter with an unknown operator",
        "filter",
        {"tag": {"$regex": "x"}},
        (r"filter\.tag", "unknown operator", r"\$regex"),
    ),
    Row(
        "filter comparing with a list",
        "filter",
        {"$or": [{"role": "user"}, {"age": {"$gt": [1]}}]},
        (r"filter\.\$or\[1\]\.age", r"\$gt", "a number, a string or a time", "a list"),
    ),
    Row("filter nested too deep", "filter", _negated(9), ("filter", "nests", "8")),
    Row("filter with an empty $in", "filter", {"tag": {"$in": []}}, (r"\$in", "non-empty list")),
    Row("filter not an object", "filter", ["role"], ("filter", "JSON object", "a list")),
    Row(
        "filter holding a set", "filter", {"tag": {"a"}}, ("filter.tag", "not a JSON"), ("library",)
    ),
    # The servers' bound on one request; the library and the command line have none.
    Row(
        "too many turns at once",
        "batch",
        TOO_MANY,
        (str(TOO_MANY), f"at most {DEFAULT_MAX_BATCH}"),
        SERVERS,
    ),
    Row(
        "too many ids at once",
        "id count",
        TOO_MANY,
        (str(TOO_MANY), f"at most {DEFAULT_MAX_BATCH}"),
        SERVERS,
    ),
]
SEARCH = {"k", "recency", "mode", "session", "since", "filter"}
TURN = {"text", "id", "created_at", "embedding", "metadata", "colour"}
TIMES = {"since", "created_at"}


# Where a door disagrees today: (case, door) -> what it does.
class Seeded(NamedTuple):
    path: str
    session: str
    kept: str
    stored: dict[str, list[str]]


class Answer(NamedTuple):
    """What one call of a door did: "refused" (in the door's own form),
    "accepted", or "failed" otherwise; the refusal's message or the answer."""

    where: str
    outcome: str
    text: str


def stored(path: str) -> dict[str, list[str]]:
    """Each user's live turns."""
    with Memory.open(path) as memory:
        return {name: [t.id for t in memory.user(name).turns()] for name in memory.users()}


def says(text: str, pattern: str) -> bool:
    """Whether `text` holds `pattern` as whole words (numbers read without
    thousands separators)."""
    plain = re.sub(r"(?<=\d),(?=\d{3})", "", text)
    return re.search(rf"(?<!\w)(?:{pattern})(?!\w)", plain, re.IGNORECASE) is not None


def value_of(row: Row, seed: Seeded) -> Any:
    if row.value == DASHED_SESSION:
        return str(uuid.UUID(hex=seed.session))
    return row.value


@pytest.fixture(scope="module")
def seeds(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Seeded]:
    folder = tmp_path_factory.mktemp("doors")
    seeds = {}
    for door in EVERY:
        path = str(folder / f"{door}.db")
        with Memory.open(path, dimension=DIM) as memory:
            user = memory.user(USER)
            session = user.new_session("Seeded")
            kept = user.add("The kept turn", embedding=vector_for("kept"))
        seeds[door] = Seeded(path, session, kept, stored(path))
    return seeds


# -- the library -------------------------------------------------------------------


def _library_calls(memory: Memory, row: Row, value: Any) -> list[tuple[str, Callable[[], Any]]]:
    user = memory.user(USER)
    python = datetime.fromisoformat(value) if row.parameter in TIMES else value
    if row.parameter in SEARCH:
        arguments = {"mode": "lexical", row.parameter: python}
        calls = [("search", lambda: user.search("kept", **arguments))]
        if row.parameter == "k":
            calls.append(("sessions", lambda: user.sessions(None, python)))
        return calls
    if row.parameter in TURN:
        return [
            ("add_many", lambda: user.add_many([turn_from_json({**GOOD, row.parameter: python})]))
        ]
    if row.parameter == "user":
        return [("user", lambda: memory.user(value).add_many([turn_from_json(GOOD)]))]
    assert row.parameter == "ids", row
    return [("get", lambda: user.get([value])), ("forget", lambda: user.forget([value]))]


@pytest.fixture(scope="module")
def library(seeds: dict[str, Seeded]) -> Iterator[Callable[[Row], list[Answer]]]:
    seed = seeds["library"]
    with Memory.open(seed.path) as memory:

        def send(row: Row) -> list[Answer]:
            answers = []
            for where, call in _library_calls(memory, row, value_of(row, seed)):
                try:
                    answers.append(Answer(where, "accepted", repr(call())))
                except InvalidInputError as error:
                    answers.append(Answer(where, "refused", str(error)))
            return answers

        yield send


# -- the command line --------------------------------------------------------------


def _cli_commands(row: Row, seed: Seeded, folder: Path) -> list[list[str]]:
    value = value_of(row, seed)
    if row.parameter in SEARCH:
        option = {"k": "-k", "recency": "--recency", "mode": "--mode", "session": "--session"}
        option["filter"] = "--filter"
        search = ["search", seed.path, "kept", "--user", USER, "--mode", "lexical", "--json"]
        text = json.dumps(value) if row.parameter == "filter" else str(value)
        commands = [[*search, option[row.parameter], text]]
        if row.parameter == "k":
            commands.append(["sessions", seed.path, "--user", USER, "--json", "-k", str(value)])
        return commands
    turn = {**GOOD, row.parameter: value} if row.parameter in TURN else GOOD
    user = value if row.parameter == "user" else USER
    conversation = folder / f"{len(list(folder.iterdir()))}.jsonl"
    conversation.write_text(json.dumps(turn) + "\n")
    return [["import", seed.path, str(conversation), "--user", user, "--precomputed"]]


def _cli_answer(command: list[str]) -> Answer:
    done = cli(*command, check=False)
    lines = done.stderr.splitlines()
    if done.returncode == 0:
        return Answer(command[0], "accepted", done.stdout)
    if done.returncode == 1 and len(lines) == 1:
        return Answer(command[0], "refused", lines[0])
    return Answer(command[0], "failed", f"exit code {done.returncode}: {done.stderr}")


@pytest.fixture(scope="module")
def command_line(
    seeds: dict[str, Seeded], tmp_path_factory: pytest.TempPathFactory
) -> Callable[[Row], list[Answer]]:
    """Runs every row's commands at once, two at a time."""
    seed = seeds["cli"]
    folder = tmp_path_factory.mktemp("conversations")
    commands = {row.case: _cli_commands(row, seed, folder) for row in ROWS if "cli" in row.doors}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        answers = {case: list(pool.map(_cli_answer, group)) for case, group in commands.items()}
    return lambda row: answers[row.case]


# -- the HTTP API ------------------------------------------------------------------


def _http_requests(row: Row, seed: Seeded) -> list[tuple[str, str, Any]]:
    """(method, path, JSON body or query parameters) of each request."""
    users = "/v1/users/"
    alice = users + USER
    value = value_of(row, seed)
    if row.parameter in SEARCH:
        requests = [
            ("POST", alice + "/search", {"query": "kept", "mode": "lexical", row.parameter: value})
        ]
        if row.parameter == "k":
            requests += [
                ("GET", alice + "/sessions", {"k": value}),
                ("POST", alice + "/sessions/rank", {"embedding": GOOD["embedding"], "k": value}),
            ]
        if row.parameter == "session":
            requests.append(("GET", alice + "/turns", {"session": value}))
        return requests
    if row.parameter in TURN:
        return [("POST", alice + "/turns", {**GOOD, row.parameter: value})]
    if row.parameter == "user":
        return [("POST", users + urllib.parse.quote(value, safe="") + "/turns", GOOD)]
    if row.parameter == "ids":
        return [
            ("GET", alice + "/turns/" + urllib.parse.quote(value, safe=""), None),
            ("POST", alice + "/turns/forget", {"ids": [value]}),
        ]
    if row.parameter == "batch":
        return [("POST", alice + "/turns/batch", {"turns": [GOOD] * value})]
    assert row.parameter == "id count", row
    return [("POST", alice + "/turns/forget", {"ids": [uuid.uuid4().hex for _ in range(value)]})]


def _http_answer(http: httpx.Client, method: str, path: str, data: Any) -> Answer:
    if method == "GET":
        response = http.get(path, params=data)
    else:
        response = http.request(method, path, json=data)
    where = f"{method} {path[:60]}"
    if response.is_success:
        return Answer(where, "accepted", response.text)
    if 400 <= response.status_code < 500 and (
        response.headers["content-type"] == "application/problem+json"
    ):
        return Answer(where, "refused", f"{response.status_code} {response.json()['detail']}")
    return Answer(where, "failed", f"{response.status_code} {response.text}")


@pytest.fixture(scope="module")
def http(seeds: dict[str, Seeded]) -> Iterator[Callable[[Row], list[Answer]]]:
    seed = seeds["http"]
    with serve(seed.path, "--precomputed") as base, httpx.Client(base_url=base) as client:
        yield lambda row: [_http_answer(client, *r) for r in _http_requests(row, seed)]


# -- the MCP server ----------------------------------------------------------------


def _mcp_calls(row: Row, seed: Seeded) -> list[tuple[str, dict[str, Any]]]:
    value = value_of(row, seed)
    if row.parameter in SEARCH:
        calls = [("search", {"query": "kept", "mode": "lexical", row.parameter: value})]
        if row.parameter == "k":
            calls.append(("sessions", {"k": value}))
        return calls
    if row.parameter in TURN:
        return [("remember", {"turns": [{**GOOD, row.parameter: value}]})]
    if row.parameter == "user":
        return [("remember", {"turns": [GOOD]})]
    if row.parameter == "batch":
        return [("remember", {"turns": [GOOD] * value})]
    ids = [value] if row.parameter == "ids" else [uuid.uuid4().hex for _ in range(value)]
    return [("get_turns", {"ids": ids}), ("forget", {"ids": ids})]


async def _mcp_answers(url: str, row: Row, seed: Seeded) -> list[Answer]:
    from mcp import Client
    from mcp.client.streamable_http import streamable_http_client
    from mcp.shared._httpx_utils import create_mcp_http_client

    # A header's value cannot start or end with blanks: a blank name arrives empty.
    headers = {"X-Memory-User": row.value.strip()} if row.parameter == "user" else {}
    transport = streamable_http_client(url, http_client=create_mcp_http_client(headers=headers))
    answers = []
    async with Client(transport, read_timeout_seconds=60) as client:
        for tool, arguments in _mcp_calls(row, seed):
            result = await client.call_tool(tool, arguments)
            text = "".join(getattr(block, "text", "") for block in result.content)
            answers.append(Answer(tool, "refused" if result.is_error else "accepted", text))
    return answers


@pytest.fixture(scope="module")
def mcp(seeds: dict[str, Seeded]) -> Iterator[Callable[[Row], list[Answer]]]:
    seed = seeds["mcp"]
    with mcp_over_http(seed.path, "--precomputed", "--user", USER) as url:
        yield lambda row: asyncio.run(_mcp_answers(url, row, seed))


# -- the table ---------------------------------------------------------------------

FIXTURES = {"library": "library", "cli": "command_line", "http": "http", "mcp": "mcp"}


def _case(row: Row, door: str) -> Any:
    return pytest.param(row, door, id=f"{row.case} | {door}")


@pytest.mark.parametrize(("row", "door"), [_case(row, door) for row in ROWS for door in row.doors])
def test_every_door_refuses_alike_and_stores_nothing(
    row: Row, door: str, request: pytest.FixtureRequest, seeds: dict[str, Seeded]
) -> None:
    seed = seeds[door]
    answers = request.getfixturevalue(FIXTURES[door])(row)
    words = row.words + dict(row.door_words).get(door, ())
    for answer in answers:
        if row.words:
            assert answer.outcome == "refused", answer
            missing = [word for word in words if not says(answer.text, word)]
            assert not missing, f"{answer.where}: {answer.text!r} does not say {missing}"
        else:
            assert answer.outcome == "accepted", answer
            if row.parameter in ("session", "filter"):  # the seeded turn is found
                assert seed.kept in answer.text, answer
    assert stored(seed.path) == seed.stored
