"""The `orlo-memory` command line, run as a separate process on real files."""

import json
import os
import subprocess
import sys

import pytest
from memory_helpers import vectors

from orlo_memory import Memory
from orlo_memory.contract.shapes import HitJson


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "orlo_memory", *args],
        capture_output=True,
        text=True,
        input=stdin,
        timeout=300,
    )


def conversation_lines():
    lines = [
        {"session": "s1", "session_title": "Trip", "text": "Flying to Lisbon on the 3rd"},
        {"session": "s1", "role": "assistant", "text": "Noted, booking code QX7"},
        {"session": "s2", "session_title": "Work", "text": "The report is due Friday"},
    ]
    for line, vector in zip(lines, vectors(3, seed=4), strict=True):
        line["embedding"] = [float(x) for x in vector]
    return [json.dumps(line) for line in lines]


@pytest.fixture
def imported(tmp_path):
    db = str(tmp_path / "chat.db")
    source = tmp_path / "chat.jsonl"
    source.write_text("\n".join(conversation_lines()) + "\n")
    done = run("import", db, str(source), "--user", "maya", "--precomputed")
    assert done.returncode == 0, done.stderr
    assert "imported 3 turns in 2 sessions" in done.stdout
    return db


def test_import_search_sessions_stats_and_export_round_trip(imported, tmp_path):
    found = run("search", imported, "booking code?", "-u", "maya", "--mode", "lexical", "--json")
    assert found.returncode == 0, found.stderr
    [hit] = [json.loads(line) for line in found.stdout.splitlines()]
    assert hit["text"] == "Noted, booking code QX7" and hit["role"] == "assistant"
    assert set(hit) == set(HitJson.__annotations__)  # the shape every door returns
    none = run("search", imported, "booking", "-u", "maya", "--mode", "lexical", "-k", "0")
    assert none.returncode == 0 and none.stdout == ""
    sessions = run("sessions", imported, "-u", "maya", "--json")
    assert [json.loads(s)["title"] for s in sessions.stdout.splitlines()] == ["Work", "Trip"]
    stats = json.loads(run("stats", imported, "--json").stdout)
    assert (stats["user"], stats["turns"], stats["sessions"]) == ("maya", 3, 2)

    exported = tmp_path / "out.jsonl"
    assert (
        run("export", imported, "-u", "maya", "--embeddings", "-o", str(exported)).returncode == 0
    )
    copy = str(tmp_path / "copy.db")
    assert run("import", copy, "-", "-u", "maya", stdin=exported.read_text()).returncode == 0
    again = run("export", copy, "-u", "maya", "--embeddings").stdout.splitlines()
    first = [json.loads(line) for line in exported.read_text().splitlines()]
    second = [json.loads(line) for line in again]
    # The same turns, ids, times and titles; sessions get new ids on import.
    assert [{**e, "session": None} for e in first] == [{**e, "session": None} for e in second]


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (("search", "{db}", "x", "-u", "bob", "--mode", "lexical"), 1, "no user 'bob'"),
        (("search", "{missing}", "x"), 1, "no memory database at"),
        (("search", "{db}", "x", "-u", "maya", "--precomputed"), 1, "--mode lexical"),
        (("import", "{db}", "{bad}", "-u", "maya", "--precomputed"), 1, "bad.jsonl:2: not JSON"),
        (("import", "{db}", "{plain}", "-u", "maya", "--precomputed"), 1, 'no "embedding"'),
        (("import", "{db}", "{missing}", "-u", "maya"), 1, "cannot read"),
        (("export", "{db}", "-u", "maya", "-o", "{db}"), 1, "is the memory itself"),
        (("search", "{db}", "x", "-k", "1001"), 1, "k must be an integer from 0 to 1,000"),
        (("search", "{db}", "x", "-k", "few"), 1, "k must be an integer from 0 to 1,000"),
        (("import", "{missing}", "{plain}", "-u", " "), 1, "a user name must be non-blank"),
        (("stats", "{garbage}"), 1, "garbage.db' is not a memory database"),
        (("search", "{garbage}", "x", "--mode", "lexical"), 1, "is not a memory database"),
        (("sessions",), 2, "required: DB"),
        ((), 2, "required: COMMAND"),
    ],
)
def test_failures_name_the_problem_and_change_nothing(imported, tmp_path, args, code, message):
    bad = tmp_path / "bad.jsonl"
    bad.write_text(conversation_lines()[0] + "\n{not json\n")
    plain = tmp_path / "plain.jsonl"
    plain.write_text('{"text": "no vector here"}\n')
    garbage = tmp_path / "garbage.db"
    garbage.write_bytes(b"not a database" * 100)
    paths = {
        "db": imported,
        "missing": str(tmp_path / "none"),
        "bad": str(bad),
        "plain": str(plain),
        "garbage": str(garbage),
    }
    done = run(*(arg.format(**paths) for arg in args))
    assert done.returncode == code
    assert message in done.stderr and "Traceback" not in done.stderr
    if code == 1:  # a failure is told in one line
        assert len(done.stderr.strip().splitlines()) == 1
    assert json.loads(run("stats", imported, "--json").stdout)["turns"] == 3
    assert not os.path.exists(paths["missing"])


def _with(**fields):
    line = {"text": "a second turn", "embedding": [float(x) for x in vectors(1, seed=6)[0]]}
    return json.dumps({**line, **fields})


BAD_LINES = {
    "metadata not an object": (_with(metadata=5), "metadata must be a mapping"),
    "role not a string": (_with(role=5), "role must be a non-empty string"),
    "NUL in the role": (_with(role="a\0b"), "role must not contain NUL"),
    "bad id": (_with(id="x"), "id must be 32 hex characters"),
    "id repeated in the file": (_with(id="{first_id}"), "also given on {file}:1"),
    "id stored already": (_with(id="{stored_id}"), "is already stored"),
    "embedding not numbers": (_with(embedding=["x"]), "embedding values must be numbers"),
    "embedding too short": (_with(embedding=[0.5] * 5), "embedding has 5 numbers"),
    "embedding too large": (_with(embedding=[1e19] * 16), "norm too large"),
    "new_topic a string": (_with(new_topic="false"), "new_topic must be true or false"),
    "time without a zone": (
        _with(created_at="2026-04-02T10:40:00"),
        "created_at 2026-04-02T10:40:00 has no time zone: give an ISO 8601 time",
    ),
    "session_title a number": (_with(session_title=7), "session_title must be a string"),
    "lone surrogate": ('{"text": "half \\ud800 a pair", "embedding": [1.0]}', "lone surrogate"),
    "deeply nested": ('{"metadata": ' + "[" * 100_000 + "]" * 100_000 + "}", "nested too deeply"),
}


@pytest.mark.parametrize("case", sorted(BAD_LINES))
def test_every_bad_line_is_named_and_nothing_is_stored(imported, tmp_path, case):
    line, message = BAD_LINES[case]
    first_id = "cd" * 16
    stored_id = _stored_ids(imported)[0]
    line = line.replace("{first_id}", first_id).replace("{stored_id}", stored_id)
    source = tmp_path / "new.jsonl"
    source.write_text(_with(id=first_id) + "\n" + line + "\n")
    done = run("import", imported, str(source), "-u", "maya", "--precomputed")
    assert done.returncode == 1
    assert f"error: {source}:2: " in done.stderr, done.stderr
    assert message.format(file=source) in done.stderr, done.stderr
    assert len(done.stderr.strip().splitlines()) == 1
    assert len(_stored_ids(imported)) == 3


def _stored_ids(path):
    """The ids of maya's turns, read through the library rather than another process."""
    with Memory.open(path) as memory:
        return [turn.id for turn in memory.user("maya").turns()]


def test_bytes_that_are_not_utf8_on_standard_input_are_named(imported):
    good = _with().encode()
    done = subprocess.run(
        [sys.executable, "-m", "orlo_memory", "import", imported, "-", "-u", "maya"],
        input=good + b"\n" + good.replace(b"second", b"s\xffcond") + b"\n",
        capture_output=True,
        timeout=300,
    )
    assert done.returncode == 1
    assert b"<stdin>:2: not UTF-8 text" in done.stderr
    assert len(done.stderr.strip().splitlines()) == 1
    assert json.loads(run("stats", imported, "--json").stdout)["turns"] == 3


def test_help_lists_the_commands_and_examples():
    done = run("--help")
    assert done.returncode == 0
    for word in ("import", "search", "sessions", "stats", "export", "examples:", "exit codes"):
        assert word in done.stdout
