"""The user-facing surface: adding, searching, sessions, isolation, bad input."""

import itertools
import math
import uuid
from datetime import UTC, datetime, timedelta, timezone

import numpy as np
import pytest
from memory_helpers import DIM, vectors
from memory_helpers import memory_url as memory_url  # a fixture

import orlo_memory
from orlo_memory import (
    ClosedError,
    DimensionMismatchError,
    DuplicateIdError,
    InvalidInputError,
    Memory,
    NewTurn,
    SettingsMismatchError,
    UnknownIdError,
)
from orlo_memory.contract.turns import turn_from_json


@pytest.fixture
def memory(memory_url):
    with Memory.open(memory_url, dimension=DIM) as m:
        yield m


def test_round_trip_of_a_turn_and_its_hit(memory):
    alice = memory.user("alice")
    session = alice.new_session(title="Trip planning")
    when = datetime(2026, 3, 2, 9, 15, tzinfo=UTC)
    turn_id = alice.add(
        "I'm flying to Lisbon on the 3rd",
        role="user",
        metadata={"msg": 17},
        embedding=vectors(1)[0],
        created_at=when,
    )
    hit = alice.search("when is the flight to Lisbon?", k=1, embedding=vectors(1)[0])[0]
    assert (hit.id, hit.text, hit.role, hit.session_id) == (
        turn_id,
        "I'm flying to Lisbon on the 3rd",
        "user",
        session,
    )
    assert hit.created_at == when and hit.metadata == {"msg": 17}
    assert hit.vector_rank == 1 and hit.lexical_rank == 1
    assert math.isclose(hit.vector_score, 1.0, rel_tol=1e-5)
    assert [t.text for t in alice.get([turn_id])] == ["I'm flying to Lisbon on the 3rd"]
    [info] = alice.sessions()
    assert (info.id, info.title, info.turn_count) == (session, "Trip planning", 1)


def test_modes_rank_by_meaning_and_by_words(memory):
    user = memory.user("u")
    v = vectors(3)
    ids = user.add_many(["the cat sat", "Lisbon flight at nine", "a dog barked"], embeddings=v)
    assert user.search("zzz", 1, mode="vector", embedding=v[2])[0].id == ids[2]
    assert user.search("lisbon", 3, mode="lexical")[0].id == ids[1]
    assert [h.id for h in user.search("lisbon", 3, mode="lexical")] == [ids[1]]
    for fusion in ({}, {"fusion_k": 5.0}, {"fusion": "rank", "lexical_weight": 1.0}):
        hybrid = user.search("lisbon", 3, embedding=v[2], **fusion)
        assert {hybrid[0].id, hybrid[1].id} == {ids[1], ids[2]}, fusion
        assert all(a.score >= b.score for a, b in itertools.pairwise(hybrid))
        assert hybrid[0].score == pytest.approx(1.0)


def test_recency_prefers_newer_turns_among_equals(memory):
    user = memory.user("u")
    v = vectors(1)[0]
    old = user.add("same words", embedding=v, created_at=datetime(2020, 1, 1, tzinfo=UTC))
    new = user.add("same words", embedding=v)
    assert user.search("same words", 1, embedding=v, recency=0.5)[0].id == new
    assert user.search("same words", 2, embedding=v, recency=0.0)[1].id in (old, new)


@pytest.mark.parametrize(
    "query",
    [
        '"',
        "'",
        "AND OR NOT",
        "NEAR(a b",
        "lis*",
        "text: x",
        "-x ^y",
        "(((",
        "🙂 ✈️",
        "???",
        "x" * 5000,
    ],
)
def test_lexical_queries_are_escaped(memory, query):
    user = memory.user("u")
    user.add("text: flight NEAR Lisbon AND x", embedding=vectors(1)[0])
    hits = user.search(query, 3, embedding=vectors(1)[0])
    assert all(hit.text for hit in hits)
    user.search(query, 3, mode="lexical")


def test_lexical_ranking_leaves_out_words_found_almost_everywhere(memory):
    user, other = memory.user("u"), memory.user("other")
    # Past the 1,000 turns below which every word is kept.
    count = 1200
    texts = [f"the note {n} about the week" for n in range(count)] + ["the booking code QX7"]
    ids = user.add_many(texts, embeddings=vectors(count + 1, seed=2))
    other.add("the QX7 code again", embedding=vectors(1)[0])
    # Another user writes the same common words later, more often than the
    # newest matches that a ranking of common words looks at.
    others = [f"about the week {n}" for n in range(count - 100)]
    other.add_many(others, embeddings=vectors(len(others), seed=3))
    # "the" and "note" are in (almost) every turn: the rare words decide, and
    # the common ones are never scored (PostgreSQL also drops "the" as a stop word).
    assert [h.id for h in user.search("the note QX7 code", 3, mode="lexical")] == [ids[-1]]
    # Only common words: ranked by the rarest over the user's most recent matches.
    common = user.search("the about week", 5, mode="lexical")
    assert len(common) == 5 and {h.id for h in common} <= set(ids[:count])


def test_a_text_whose_word_index_passes_postgresqls_limit_is_stored_and_found(memory):
    # 200,000 distinct words: their full-text vector would take about 3 MiB
    # in PostgreSQL, where one holds at most 1 MiB.
    user = memory.user("u")
    v = vectors(2, seed=7)
    long_id = user.add("lisbon " + " ".join(f"w{n}" for n in range(200_000)), embedding=v[0])
    short_id = user.add("a short lisbon note", embedding=v[1])
    assert user.search("", 1, mode="vector", embedding=v[0])[0].id == long_id
    assert {h.id for h in user.search("lisbon w17", 5, mode="lexical")} == {long_id, short_id}
    assert len(user.get(long_id)[0].text) > 1_000_000


def test_sessions_ranked_by_their_best_turns_then_the_rest(memory):
    user = memory.user("u")
    v = vectors(48, seed=4)
    opened = []
    for n in range(48):
        opened.append(user.new_session(f"s{n}"))
        user.add(f"turn {n}", embedding=v[n])
    assert [s.id for s in user.sessions()] == opened[::-1]  # newest first
    ranked = user.sessions("x", embedding=v[7])
    # The search's 40 nearest turns rank their sessions; the others follow
    # unscored, by their turns' mean direction.
    assert [s.id for s in ranked][:1] == [opened[7]] and len(ranked) == 48
    scores = [s.score for s in ranked]
    assert None not in scores[:40] and scores[:40] == sorted(scores[:40], reverse=True)
    assert scores[40:] == [None] * 8
    rest = {opened.index(s.id) for s in ranked[40:]}
    by_cosine = sorted(rest, key=lambda n: -float(v[n] @ v[7]))
    assert [opened.index(s.id) for s in ranked[40:]] == by_cosine
    assert [s.id for s in user.sessions("x", k=3, embedding=v[7])] == [s.id for s in ranked[:3]]
    assert user.current_session() == opened[-1]


def test_hybrid_finds_a_reply_by_the_turn_before_it(memory):
    # The question turn is near the query by meaning and by words ("padlock"
    # meets "padlocked"; the stop words must not match the filler); the reply
    # shares neither and is found by its place after the question turn.
    user = memory.user("u")
    texts = [f"filler {n} about the weather and the news" for n in range(30)]
    texts[10] = "Remember the housemate who padlocked the fridge drawer?"
    texts[11] = "Gavin. Never forget."
    probe = vectors(1, seed=6)[0]
    v = vectors(30, seed=5)
    v[10] = (probe + 0.8 * v[10]) / np.linalg.norm(probe + 0.8 * v[10])
    ids = user.add_many(texts, embeddings=v)
    query = "What was the name of the housemate with the padlock?"
    hits = user.search(query, 30, embedding=probe)
    assert [h.id for h in hits[:2]] == [ids[10], ids[11]]
    # Each hit says what made its score: the parts' sum, scaled over the
    # candidates, is the score; the reply owes its place to the lift.
    fused = [h.vector_part + h.lexical_part + h.neighbour_lift for h in hits]
    low, high = min(fused), max(fused)
    assert [h.score for h in hits] == pytest.approx([(f - low) / (high - low) for f in fused])
    question, reply = hits[0], hits[1]
    assert question.lexical_part > 0.0 > reply.lexical_part
    assert reply.neighbour_lift > question.neighbour_lift >= 0.0
    assert user.search(query, 1, embedding=probe, mode="vector")[0].vector_part is None
    alone = [h.id for h in user.search(query, 2, embedding=probe, neighbour_weight=0.0)]
    assert alone[0] == ids[10] and ids[11] not in alone
    assert [h.id for h in user.search(query, 3, mode="lexical")] == [ids[10]]


@pytest.mark.parametrize(
    ("text", "query"),
    [
        ("We booked two flights to Porto", "flight"),
        ("the flight was delayed", "flights"),
        ("Tomás is cooking tonight", "tomas"),
        ("a long run on Sunday", "running"),
    ],
)
def test_lexical_search_stems_and_folds_diacritics(memory, text, query):
    user = memory.user("u")
    ids = user.add_many([text, "nothing to see here"], embeddings=vectors(2))
    assert [h.id for h in user.search(query, 2, mode="lexical")] == [ids[0]]


def test_time_span_on_every_mode(memory):
    user = memory.user("u")
    v = vectors(6, seed=8)
    days = [datetime(2026, 3, day, 12, tzinfo=UTC) for day in range(1, 7)]
    session = user.new_session("all")
    ids = [
        user.add(f"lisbon note {n}", embedding=v[n], created_at=day) for n, day in enumerate(days)
    ]
    since, until = days[2], days[4]  # the 3rd and 4th turns
    for mode in ("vector", "lexical", "hybrid"):
        for scope in (None, session):
            found = user.search(
                "lisbon", 6, mode=mode, embedding=v[0], session=scope, since=since, until=until
            )
            assert sorted(h.id for h in found) == sorted(ids[2:4]), (mode, scope)
    assert [h.id for h in user.search("", 6, mode="vector", embedding=v[5], since=days[5])] == [
        ids[5]
    ]
    with pytest.raises(InvalidInputError, match="timezone-aware"):
        user.search("lisbon", 1, since=datetime(2026, 3, 1))
    with pytest.raises(InvalidInputError, match="earlier than until"):
        user.search("lisbon", 1, since=until, until=since)


def test_two_users_never_see_each_other(memory):
    alice, bob = memory.user("alice"), memory.user("bob")
    v = vectors(1)[0]
    alice_id = alice.add("secret Lisbon plan", embedding=v)
    bob_session = bob.new_session("bob's")
    bob_id = bob.add("secret Lisbon plan", embedding=v)
    for mode in ("vector", "lexical", "hybrid"):
        assert [h.id for h in alice.search("secret Lisbon", 5, mode=mode, embedding=v)] == [
            alice_id
        ]
        assert [h.id for h in bob.search("secret Lisbon", 5, mode=mode, embedding=v)] == [bob_id]
    with pytest.raises(UnknownIdError):
        alice.search("secret", 5, session=bob_session, embedding=v)
    with pytest.raises(UnknownIdError):
        alice.turns(session=bob_session)
    with pytest.raises(UnknownIdError):
        alice.get(bob_id)
    with pytest.raises(UnknownIdError):
        alice.forget(bob_id)
    assert bob.get(bob_id)[0].text == "secret Lisbon plan"


def test_turns_of_one_session_are_its_live_turns_in_the_order_added(memory):
    user = memory.user("u")
    first = user.new_session("first")
    a1, a2, a3 = user.add_many(["a1", "a2", "a3"], embeddings=vectors(3))
    second = user.new_session("second")
    b1 = user.add("b1", embedding=vectors(1, seed=3)[0])
    empty = user.new_session("empty")
    user.forget(a2)
    dashed = str(uuid.UUID(hex=first))
    assert [t.id for t in user.turns(session=dashed)] == [a1, a3]
    assert [(t.id, t.session_id) for t in user.turns(session=second)] == [(b1, second)]
    assert list(user.turns(session=empty)) == []
    assert [t.id for t in user.turns()] == [a1, a3, b1]
    # In JSON (HTTP, MCP) a title opens the session it names without
    # new_session; in Python it names the session new_session opens.
    c1, c2 = user.add_many(
        [
            turn_from_json({"text": "c1", "session_title": "third"}),
            NewTurn("c2", session_title="x"),
        ],
        embeddings=vectors(2),
    )
    [third] = [s for s in user.sessions() if s.title == "third"]
    assert [t.id for t in user.turns(session=third.id)] == [c1, c2]


def _snapshot_of(user):
    stats = user.stats()
    return stats, [(t.id, t.text, t.metadata) for t in user.turns()], user.sessions()


def _bad_calls():
    good = vectors(2)
    nan = good[0].copy()
    nan[3] = np.nan
    # Finite, but its squared norm overflows float32.
    huge = np.full(DIM, 1e19, dtype=np.float32)
    return {
        "huge embedding": lambda u: u.add("x", embedding=huge),
        "huge row among embeddings": lambda u: u.add_many(
            ["a", "b"], embeddings=[good[0].tolist(), huge.tolist()]
        ),
        "huge embedding of a NewTurn": lambda u: u.add_many([NewTurn("x", embedding=huge * 2)]),
        "huge query embedding": lambda u: u.search("x", 3, embedding=huge),
        "huge session query embedding": lambda u: u.sessions("x", embedding=huge),
        "empty text": lambda u: u.add("", embedding=good[0]),
        "nul in text": lambda u: u.add("a\0b", embedding=good[0]),
        "blank text": lambda u: u.add("  \n", embedding=good[0]),
        "text not a string": lambda u: u.add_many([b"bytes"], embeddings=good[:1]),
        "short embedding": lambda u: u.add("x", embedding=good[0][:5]),
        "nan embedding": lambda u: u.add("x", embedding=nan),
        "metadata not JSON": lambda u: u.add("x", embedding=good[0], metadata={"s": {1, 2}}),
        "metadata nan": lambda u: u.add("x", embedding=good[0], metadata={"f": float("nan")}),
        "metadata not a mapping": lambda u: u.add("x", embedding=good[0], metadata=[1]),
        "bad id": lambda u: u.add("x", embedding=good[0], id="not-an-id"),
        "stored id": lambda u: u.add("x", embedding=good[0], id=u.turns().__next__().id),
        "naive time": lambda u: u.add("x", embedding=good[0], created_at=datetime(2020, 1, 1)),
        # Year 0 in UTC: stored, it would make every read of the user's turns fail.
        "time before year 1 in UTC": lambda u: u.add(
            "x",
            embedding=good[0],
            created_at=datetime(1, 1, 1, tzinfo=timezone(timedelta(hours=5))),
        ),
        "one bad in a batch": lambda u: u.add_many([NewTurn("fine"), NewTurn("")], embeddings=good),
        "repeated id in a batch": lambda u: u.add_many(
            [NewTurn("a", id="ab" * 16), NewTurn("b", id="AB" * 16)], embeddings=good
        ),
        "wrong row count": lambda u: u.add_many(["a", "b"], embeddings=good[:1]),
        "no embedder": lambda u: u.add("x"),
        "forget unknown among known": lambda u: u.forget([u.turns().__next__().id, "cd" * 16]),
        "replacing an unknown turn": lambda u: u.add_many(
            ["x"], embeddings=good[:1], replacing=[u.turns().__next__().id, "cd" * 16]
        ),
        "replacing by a stored id": lambda u: u.add_many(
            [NewTurn("x", id=list(u.turns())[1].id)],
            embeddings=good[:1],
            replacing=u.turns().__next__().id,
        ),
        "replacing with nothing": lambda u: u.add_many([], replacing=u.turns().__next__().id),
        "search mode": lambda u: u.search("x", 3, mode="fuzzy", embedding=good[0]),
        "search k": lambda u: u.search("x", -1, embedding=good[0]),
        "search session": lambda u: u.search("x", 3, session="ef" * 16, embedding=good[0]),
        "search empty query": lambda u: u.search("", 3),
        "search recency": lambda u: u.search("x", 3, embedding=good[0], recency=2.0),
        "search fusion": lambda u: u.search("x", 3, embedding=good[0], fusion="max"),
        "search weight": lambda u: u.search("x", 3, embedding=good[0], neighbour_weight=-1),
        "sessions k": lambda u: u.sessions(k=-2),
        "turns of an unknown session": lambda u: u.turns(session="ef" * 16),
        "title": lambda u: u.new_session(title=7),
    }


BAD = _bad_calls()
ERRORS = {
    "short embedding": DimensionMismatchError,
    "stored id": DuplicateIdError,
    "repeated id in a batch": DuplicateIdError,
    "forget unknown among known": UnknownIdError,
    "replacing an unknown turn": UnknownIdError,
    "replacing by a stored id": DuplicateIdError,
    "search session": UnknownIdError,
    "turns of an unknown session": UnknownIdError,
}


def _unstorable_calls():
    v = vectors(2)
    lone = "half of a pair \ud800 of surrogates"
    return {
        "text": lambda m, u: u.add(lone, embedding=v[0]),
        "text among plain texts": lambda m, u: u.add_many(["fine", lone], embeddings=v),
        "role": lambda m, u: u.add("x", role="\udfff", embedding=v[0]),
        "metadata value": lambda m, u: u.add("x", metadata={"note": lone}, embedding=v[0]),
        "metadata key": lambda m, u: u.add("x", metadata={lone: 1}, embedding=v[0]),
        "session title": lambda m, u: u.new_session(lone),
        "session title of a NewTurn": lambda m, u: u.add_many(
            [NewTurn("x", new_session=True, session_title=lone)], embeddings=v[:1]
        ),
        "NUL in a session title": lambda m, u: u.new_session("a\0b"),
        "user name": lambda m, u: m.user(lone),
        "NUL in a user name": lambda m, u: m.user("a\0b"),
    }


UNSTORABLE = _unstorable_calls()


@pytest.mark.parametrize("case", sorted(UNSTORABLE))
def test_text_no_backend_can_store_is_refused_and_changes_nothing(memory, case):
    user = memory.user("u")
    user.add_many(["kept one", "kept two"], embeddings=vectors(2, seed=5))
    before = _snapshot_of(user), memory.users()
    with pytest.raises(InvalidInputError, match=r"surrogate|NUL"):
        UNSTORABLE[case](memory, user)
    assert (_snapshot_of(user), memory.users()) == before


def _numeric_calls():
    v = vectors(1)[0]
    nan, inf = float("nan"), float("inf")
    return {
        "k": lambda m, u: u.search("x", 2**62, embedding=v),
        "k of a lexical search": lambda m, u: u.search("x", 2**62, mode="lexical"),
        "candidates": lambda m, u: u.search("x", 3, embedding=v, candidates=2**63),
        "recency": lambda m, u: u.search("x", 3, embedding=v, recency="0.5"),
        "recency_decay": lambda m, u: u.search("x", 3, embedding=v, recency=0.5, recency_decay=nan),
        "fusion_k": lambda m, u: u.search("x", 3, embedding=v, fusion_k=nan),
        "vector_weight": lambda m, u: u.search("x", 3, embedding=v, vector_weight=inf),
        "lexical_weight": lambda m, u: u.search("x", 3, embedding=v, lexical_weight=1e308),
        "k of sessions": lambda m, u: u.sessions("x", 2**62, embedding=v),
        "checkpoint_every": lambda m, u: setattr(m, "checkpoint_every", 0),
        "forget_rebuild_share": lambda m, u: setattr(m, "forget_rebuild_share", nan),
    }


NUMERIC = _numeric_calls()


@pytest.mark.parametrize("case", sorted(NUMERIC))
def test_numeric_parameters_are_checked_naming_their_range(memory, case):
    user = memory.user("u")
    user.add_many(["the words x and y", "more x"], embeddings=vectors(2, seed=5))
    name = case.split(" ")[0]
    with pytest.raises(InvalidInputError, match=rf"^{name} must be .*(from|above) ") as raised:
        NUMERIC[case](memory, user)
    assert str(raised.value).split(",")[-1].strip().startswith("got")
    assert (memory.checkpoint_every, memory.forget_rebuild_share) == (None, 0.25)


@pytest.mark.parametrize(
    ("setting", "value"),
    [
        ("dimension", True),
        ("checkpoint_every", "often"),
        ("cache_bytes", float("nan")),
        ("busy_timeout", float("nan")),
        ("busy_timeout", 1e300),
    ],
)
def test_settings_of_open_are_checked_naming_their_range(memory_url, setting, value):
    settings = {"dimension": DIM, setting: value}
    with pytest.raises(InvalidInputError, match=f"^{setting} must be "):
        Memory.open(memory_url, **settings)


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_input_raises_and_changes_nothing(memory, case):
    user = memory.user("u")
    user.new_session("s")
    user.add_many(["kept one", "kept two"], embeddings=vectors(2, seed=5))
    before = _snapshot_of(user)
    with pytest.raises(ERRORS.get(case, InvalidInputError)) as raised:
        BAD[case](user)
    assert str(raised.value)
    assert _snapshot_of(user) == before


def test_an_add_retried_with_its_ids_is_stored_once(memory):
    user = memory.user("u")
    v = vectors(3)
    batch = [NewTurn("flight", id="aa" * 16), NewTurn("hotel", id="bb" * 16, metadata={"n": 1})]
    ids = user.add_many(batch, embeddings=v[:2])
    assert user.add_many(batch, embeddings=v[:2]) == ids  # the retry
    assert user.add("flight", id="aa" * 16, embedding=v[0]) == ids[0]
    changed = [
        [NewTurn("flight!", id="aa" * 16)],  # other text
        [NewTurn("flight", id="aa" * 16, role="assistant")],
        [batch[1], batch[0]],  # other order
        [batch[0], NewTurn("new", id="cc" * 16)],  # only partly stored
        [batch[0], NewTurn("new")],  # a turn without an id cannot be a retry
    ]
    for turns in changed:
        with pytest.raises(DuplicateIdError):
            user.add_many(turns, embeddings=v[: len(turns)])
    stats = user.stats()
    assert stats.turns == stats.index_points == stats.head_seq == 2


def test_closed_memory_refuses_every_call(memory_url):
    memory = Memory.open(memory_url, dimension=DIM)
    user = memory.user("u")
    memory.close()
    memory.close()
    for call in (
        lambda: user.add("x", embedding=vectors(1)[0]),
        lambda: user.search("x", embedding=vectors(1)[0]),
        lambda: user.sessions(),
        lambda: memory.user("v"),
    ):
        with pytest.raises(ClosedError):
            call()


def test_settings_are_fixed_by_the_first_open(memory_url):
    with pytest.raises(InvalidInputError):
        Memory.open(memory_url)  # a new memory needs a dimension
    Memory.open(memory_url, dimension=DIM).close()
    with pytest.raises(SettingsMismatchError):
        Memory.open(memory_url, dimension=DIM + 1)
    with Memory.open(memory_url) as reopened:
        assert reopened.dimension == DIM


def test_a_memory_opened_without_its_embedder_names_the_model(memory_url):
    model = orlo_memory.CallableEmbedder(lambda texts: vectors(len(texts)), DIM, name="my-model")
    with Memory.open(memory_url, embedder=model) as memory:
        memory.user("u").add("built with my model")
    with Memory.open(memory_url) as memory:
        user = memory.user("u")
        for call in (lambda: user.search("model", 1), lambda: user.add("another")):
            with pytest.raises(InvalidInputError, match="embedded with 'my-model'"):
                call()


def test_callable_embedder_and_in_memory_store():
    calls = []

    def embed(texts):
        calls.append(len(texts))
        return [[float(len(t)), 1.0, 0.0] for t in texts]

    embedder = orlo_memory.CallableEmbedder(embed, 3, name="lengths", batch_size=2)
    with Memory.open(":memory:", embedder=embedder) as memory:
        user = memory.user("u")
        ids = user.add_many(["a", "bbb", "cc"])
        assert calls == [2, 1]
        assert user.search("bbbb", 1, mode="vector")[0].id == ids[1]
    bad = orlo_memory.CallableEmbedder(lambda texts: [[1.0, 2.0]] * len(texts), 3)
    with Memory.open(":memory:", embedder=bad) as memory, pytest.raises(DimensionMismatchError):
        memory.user("u").add("x")


def test_importing_the_package_loads_no_optional_library():
    import subprocess
    import sys

    code = (
        "import sys, orlo_memory; "
        "print(sorted(m for m in ('torch', 'sentence_transformers', 'onnxruntime', 'tokenizers',"
        " 'langchain_core', 'psycopg') if m in sys.modules))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


def test_jsonl_export_then_import_round_trips(memory):
    import io
    import json

    lines = [
        {
            "session": "s01",
            "session_title": "Trip",
            "text": "Flying to Lisbon",
            "created_at": "2026-03-02T09:15:00Z",
            "metadata": {"key": "t1"},
        },
        {"session": "s01", "role": "assistant", "text": "Noted", "new_topic": True},
        {"session": "s02", "session_title": "Work", "text": "Report due Friday"},
    ]
    for number, line in enumerate(lines):
        line["embedding"] = [float(x) for x in vectors(3, seed=8)[number]]
    source = memory.user("a")
    orlo_memory.import_jsonl(source, io.StringIO("\n".join(json.dumps(x) for x in lines)))
    exported = io.StringIO()
    assert orlo_memory.export_jsonl(source, exported, embeddings=True) == 3
    with Memory.open(":memory:", dimension=DIM) as other:
        target = other.user("a")
        orlo_memory.import_jsonl(target, io.StringIO(exported.getvalue()))
        again = io.StringIO()
        orlo_memory.export_jsonl(target, again, embeddings=True)
        first = [json.loads(x) for x in exported.getvalue().splitlines()]
        second = [json.loads(x) for x in again.getvalue().splitlines()]
        strip = ("session",)  # new session ids; titles, order and boundaries agree
        assert [{k: v for k, v in e.items() if k not in strip} for e in first] == [
            {k: v for k, v in e.items() if k not in strip} for e in second
        ]
        assert [s.title for s in target.sessions()] == ["Work", "Trip"]
        assert first[0]["created_at"] == "2026-03-02T09:15:00Z" and first[1]["new_topic"]
        bad = io.StringIO('{"text": "fine"}\n{"text": ""}\n')
        with pytest.raises(InvalidInputError, match="input:2"):
            orlo_memory.import_jsonl(target, bad)
        assert target.stats().turns == 3
