"""Filtered search: one table of filters, run on both backends and through
both ways a filtered vector ranking is answered (the matching turns scored
exactly, or the index read deeper), each result checked against this test's
own evaluation of the filter over the turns it stored.

The memory holds turns of three roles in four sessions over ten hours, with
metadata of every JSON type (keys some turns lack, turns with none), some
forgotten. For
each filter: vector search returns the true top k among the matching turns
by exact cosine; hybrid and lexical searches return only matching turns, and
as many as there are (up to k); `sessions` lists the sessions with a
matching turn.
"""

from __future__ import annotations

from datetime import UTC, datetime, timedelta
from typing import Any

import numpy as np
import pytest
from memory_helpers import DIM, fresh_database, is_postgres, postgres_server, run_sql, vectors
from memory_helpers import memory_url as memory_url  # a fixture

from orlo_memory import Memory, NewTurn
from orlo_memory.core import ranking
from orlo_memory.stores.filtering import INDEXED_CHARS

TURNS = 600
SESSION_TURNS = 150
K = 10
START = datetime(2026, 3, 1, 8, 0, tzinfo=UTC)
TAGS = ["alpha", "beta", "Gamma", "délta", "1"]
ROLES = ["user", "assistant", "system"]
MIXED = [1, "1", True, 1.0, None, [1], {"a": 1}]
SESSION = "<session 2>"  # stands for the third session's id
OTHER = "<another user's session>"
PREFIX = "p" * INDEXED_CHARS
LONG_KEY = "k" * (INDEXED_CHARS + 1)


def _metadata(i: int) -> dict[str, Any] | None:
    if i % 13 == 12:
        return None
    metadata: dict[str, Any] = {"n": i, "bucket": i % 50, "flag": i % 3 == 0}
    metadata["score"] = round(float(np.sin(i)), 4)
    if i % 4:
        metadata["tag"] = TAGS[i % len(TAGS)]
    if i % 7 == 0:
        metadata["maybe"] = None if i % 2 else [i]
    metadata["mixed"] = MIXED[i % len(MIXED)]
    if i % 10 == 0:
        metadata["role"] = "x"  # a key named as a field: reached as metadata.role
    if i % 6 == 1:  # strings past the field index's prefix, which some share
        metadata["long"] = PREFIX + ("" if i % 4 == 1 else "q" * (9 + i % 3))
    if i % 11 == 0:
        metadata[LONG_KEY] = i % 2
    return metadata


def _turn(i: int) -> dict[str, Any]:
    return {
        "text": f"common words of turn {i}" + (" rare" if i % 9 == 0 else ""),
        "role": ROLES[i % 3],
        "created_at": START + timedelta(minutes=i),
        "metadata": _metadata(i),
    }


def _build(url: str) -> tuple[Memory, dict[str, Any]]:
    memory = Memory.open(url, dimension=DIM)
    user = memory.user("u")
    turns = [_turn(i) for i in range(TURNS)]
    embeddings = vectors(TURNS, seed=11)
    ids = user.add_many(
        [NewTurn(**turn, new_session=i % SESSION_TURNS == 0) for i, turn in enumerate(turns)],
        embeddings=embeddings,
    )
    gone = set(ids[5::31])
    user.forget(sorted(gone))
    other = memory.user("other")
    other.add("common words of another user", role="system", embedding=embeddings[0])
    stored = {turn.id: turn for turn in user.turns()}
    live = [
        {
            **turns[number],
            "id": turn_id,
            "session": stored[turn_id].session_id,
            "vector": embeddings[number],
        }
        for number, turn_id in enumerate(ids)
        if turn_id not in gone
    ]
    sessions = list(dict.fromkeys(turn["session"] for turn in live))  # oldest first
    return memory, {"turns": live, "sessions": sessions, "other": other.current_session()}


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def filled(request, tmp_path_factory):
    """A memory on each backend and what the test stored in it."""
    if request.param == "sqlite":
        memory, data = _build(str(tmp_path_factory.mktemp("filters") / "memory.db"))
        yield memory, data
        memory.close()
        return
    with fresh_database(postgres_server()) as url:
        memory, data = _build(url)
        yield memory, data
        memory.close()


# -- this test's own reading of a filter ---------------------------------------------


def _type(value: Any) -> str:
    if isinstance(value, bool):
        return "boolean"
    if isinstance(value, int | float):
        return "number"
    return type(value).__name__


def _compare(op: str, value: Any, wanted: Any) -> bool:
    if _type(value) != _type(wanted) or _type(value) not in (
        "boolean",
        "number",
        "str",
        "datetime",
    ):
        return False
    return {
        "$eq": value == wanted,
        "$gt": value > wanted,
        "$gte": value >= wanted,
        "$lt": value < wanted,
        "$lte": value <= wanted,
    }[op]


def _holds(op: str, wanted: Any, present: bool, value: Any, time: bool) -> bool:
    if op == "$exists":
        return present == wanted
    if op == "$not":
        return not all(_holds(o, w, present, value, time) for o, w in wanted.items())
    if op in ("$ne", "$nin"):
        return not _holds({"$ne": "$eq", "$nin": "$in"}[op], wanted, present, value, time)
    if op == "$in":
        return any(_holds("$eq", one, present, value, time) for one in wanted)
    if time:
        wanted = datetime.fromisoformat(wanted)
    return present and _compare(op, value, wanted)


def matches(where: dict[str, Any], turn: dict[str, Any]) -> bool:
    for key, wanted in where.items():
        if key == "$and" and not all(matches(part, turn) for part in wanted):
            return False
        if key == "$or" and not any(matches(part, turn) for part in wanted):
            return False
        if key == "$not" and matches(wanted, turn):
            return False
        if key.startswith("$"):
            continue
        if key in ("role", "session", "created_at"):
            present, value = True, turn[key]
        else:
            name = key.removeprefix("metadata.")
            metadata = turn["metadata"] or {}
            present, value = name in metadata, metadata.get(name)
        operators = wanted if isinstance(wanted, dict) else {"$eq": wanted}
        for op, argument in operators.items():
            if not _holds(op, argument, present, value, key == "created_at"):
                return False
    return True


# -- the table -----------------------------------------------------------------------

ROWS = [
    pytest.param({"bucket": 3}, {}, id="equal, few"),
    pytest.param({"bucket": {"$eq": 3}, "flag": True}, {}, id="$eq and a boolean"),
    pytest.param({"tag": {"$ne": "alpha"}}, {}, id="$ne, with turns lacking the key"),
    pytest.param({"tag": {"$in": ["beta", "délta"]}}, {}, id="$in"),
    pytest.param({"bucket": {"$nin": [1, 2, 3]}}, {}, id="$nin"),
    pytest.param({"n": {"$gt": 580}}, {}, id="$gt on numbers"),
    pytest.param({"n": {"$gte": 10, "$lt": 40}}, {}, id="$gte and $lt"),
    pytest.param({"score": {"$lte": -0.9}}, {}, id="$lte on floats"),
    pytest.param({"tag": {"$gt": "beta"}}, {}, id="$gt on strings, by code point"),
    pytest.param({"mixed": 1}, {}, id="1 equals 1.0, not '1' or true"),
    pytest.param({"mixed": {"$in": ["1", True]}}, {}, id="$in over types"),
    pytest.param({"mixed": {"$gte": 0}}, {}, id="a range skips other types"),
    pytest.param({"maybe": {"$exists": True}}, {}, id="$exists, null and lists too"),
    pytest.param({"maybe": {"$exists": False}, "bucket": 4}, {}, id="$exists false"),
    pytest.param({"n": {"$not": {"$gt": 20}}}, {}, id="$not on a key"),
    pytest.param({"$not": {"bucket": {"$lt": 47}}}, {}, id="$not of a filter"),
    pytest.param({"$or": [{"bucket": 3}, {"n": {"$lt": 5}}]}, {}, id="$or"),
    pytest.param({"$and": [{"role": "user"}, {"flag": False}]}, {}, id="$and with the role"),
    pytest.param({"role": {"$in": ["system"]}, "metadata.role": "x"}, {}, id="metadata.role"),
    pytest.param({"session": SESSION, "role": {"$ne": "user"}}, {}, id="session"),
    pytest.param({"session": {"$in": [OTHER, SESSION]}}, {}, id="another user's session"),
    pytest.param(
        {"created_at": {"$gte": "2026-03-01T11:00:00+02:00", "$lt": "2026-03-01T09:30:00Z"}},
        {},
        id="times with zones",
    ),
    pytest.param({"long": PREFIX}, {}, id="a string as long as the indexed prefix"),
    pytest.param({"long": {"$in": [PREFIX + "q" * 10, "x"]}}, {}, id="a longer string"),
    pytest.param({"long": {"$gt": PREFIX + "q" * 9}}, {}, id="a range past the prefix"),
    pytest.param({LONG_KEY: 1}, {}, id="a key too long for the index"),
    pytest.param({"nothing": 1}, {}, id="no turn matches"),
    pytest.param(
        {"bucket": {"$lt": 25}},
        {"session": SESSION, "since": START + timedelta(minutes=320)},
        id="with session= and since=",
    ),
    pytest.param(
        {"$or": [{"tag": "beta"}, {"role": "system"}]},
        {"until": START + timedelta(minutes=100)},
        id="with until=",
    ),
]


def _scoped(filter_: dict[str, Any], extra: dict[str, Any], data: dict[str, Any]):
    def named(value: Any) -> Any:
        if value == SESSION:
            return data["sessions"][2]
        if value == OTHER:
            return data["other"]
        if isinstance(value, list):
            return [named(item) for item in value]
        if isinstance(value, dict):
            return {key: named(item) for key, item in value.items()}
        return value

    return named(filter_), named(extra)


def _expected(data, where, extra) -> list[dict[str, Any]]:
    kept = [turn for turn in data["turns"] if matches(where, turn)]
    if "session" in extra:
        kept = [turn for turn in kept if turn["session"] == extra["session"]]
    if "since" in extra:
        kept = [turn for turn in kept if turn["created_at"] >= extra["since"]]
    if "until" in extra:
        kept = [turn for turn in kept if turn["created_at"] < extra["until"]]
    return kept


@pytest.mark.parametrize("path", ["exact", "deeper"])
@pytest.mark.parametrize(("given", "extra"), ROWS)
def test_a_filtered_search_returns_the_best_k_among_the_matching_turns(
    filled, given, extra, path, monkeypatch
):
    memory, data = filled
    user = memory.user("u")
    where, extra = _scoped(given, extra, data)
    expected = _expected(data, where, extra)
    wanted = {turn["id"] for turn in expected}
    if path == "exact":  # every matching turn scored, from the first round
        monkeypatch.setattr(ranking, "FIRST_WIDTH", 0)
    else:  # never scored exactly: the index is read deeper until enough match
        monkeypatch.setattr(ranking, "EXACT_LIMIT", 0)
    query = vectors(1, seed=len(repr(given)))[0]

    hits = user.search("", K, mode="vector", embedding=query, filter=where, **extra)
    cosines = sorted(
        ((float(turn["vector"] @ query), turn["id"]) for turn in expected), reverse=True
    )[:K]
    assert [hit.id for hit in hits] == [turn_id for _, turn_id in cosines]
    assert [hit.score for hit in hits] == pytest.approx([cosine for cosine, _ in cosines], abs=1e-5)

    for mode in ("hybrid", "lexical"):
        found = user.search("common", K, mode=mode, embedding=query, filter=where, **extra)
        assert {hit.id for hit in found} <= wanted
        assert len(found) == min(K, len(wanted))
    rare = user.search("rare", 200, mode="lexical", filter=where, **extra)
    assert {hit.id for hit in rare} == {turn["id"] for turn in expected if "rare" in turn["text"]}

    if not extra:
        sessions = {turn["session"] for turn in expected}
        assert {s.id for s in user.sessions(filter=where)} == sessions
        ranked = user.sessions("common", embedding=query, filter=where)
        assert {s.id for s in ranked} == sessions


def test_a_memory_of_the_version_before_filters_gets_its_field_index(memory_url):
    with Memory.open(memory_url, dimension=DIM) as memory:
        user = memory.user("u")
        ids = user.add_many(
            [NewTurn(f"turn {i}", metadata={"i": i, "odd": i % 2 == 1}) for i in range(40)],
            embeddings=vectors(40),
        )
    schema = "orlo_memory." if is_postgres(memory_url) else ""
    for statement in (
        f"DROP TABLE {schema}turn_fields",
        f"DROP INDEX {schema}turns_by_time",
        f"UPDATE {schema}meta SET value = '3' WHERE key = 'schema_version'",
    ):
        run_sql(memory_url, statement, statement)
    with Memory.open(memory_url) as memory:
        user = memory.user("u")
        found = user.search("turn", 40, mode="lexical", filter={"odd": True, "i": {"$lt": 10}})
        assert sorted(hit.id for hit in found) == sorted(ids[1:10:2])
        user.forget(ids[1])
        found = user.search("", 5, mode="vector", embedding=vectors(1)[0], filter={"i": 1})
        assert found == []
