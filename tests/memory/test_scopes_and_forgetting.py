"""Session-scoped search is exact whatever the index does with its containers
(automatic boundaries at 50 children, consolidation merges and splits), and
forgotten turns never come back while live ones stay findable."""

import numpy as np
import pytest
from memory_helpers import DIM, vectors
from memory_helpers import memory_url as memory_url  # a fixture

from orlo_memory import Memory, NewTurn
from orlo_memory.core import user_index


def _exact_top(data, members, query, k):
    unit = query / np.linalg.norm(query)
    scores = data[members] @ unit
    return [members[i] for i in np.argsort(-scores, kind="stable")[:k]]


@pytest.fixture
def big_session(memory_url):
    """Session A: 60 topics of 55 turns (documents overflow at 50, the session
    at 50 documents); session B around it; 8 single-turn topics at the end
    that consolidation merges."""
    data = vectors(4000, seed=11)
    memory = Memory.open(memory_url, dimension=DIM)
    user = memory.user("u")
    turns, owner = [], []
    for number in range(300):
        turns.append(NewTurn(f"b {number}", new_session=number == 0, session_title="B"))
        owner.append("B")
    for number in range(3300 + 8):
        topic = number % 55 == 0 if number < 3300 else True
        turns.append(
            NewTurn(f"a {number}", new_topic=topic, new_session=number == 0, session_title="A")
        )
        owner.append("A")
    ids = user.add_many(turns, embeddings=data[: len(turns)])
    sessions = {s.title: s.id for s in user.sessions()}
    members = {name: [i for i, o in enumerate(owner) if o == name] for name in ("A", "B")}
    yield memory, user, data, ids, sessions, members
    memory.close()


@pytest.mark.parametrize("consolidation", [None, "light", "full"])
def test_scoped_search_is_exact_across_boundaries(big_session, consolidation):
    _, user, data, ids, sessions, members = big_session
    if consolidation:
        user.consolidate(full=consolidation == "full")
    for seed in range(12):
        query = vectors(1, seed=100 + seed)[0]
        for name in ("A", "B"):
            expected = [ids[i] for i in _exact_top(data, members[name], query, 10)]
            hits = user.search("", 10, mode="vector", embedding=query, session=sessions[name])
            assert [h.id for h in hits] == expected
            assert all(h.session_id == sessions[name] for h in hits)
    hybrid = user.search("a 17", 20, embedding=data[17], session=sessions["B"])
    assert {h.session_id for h in hybrid} == {sessions["B"]}


def test_sessions_rank_by_centroid(big_session):
    _, user, data, _, sessions, members = big_session
    centroid_b = data[members["B"]].sum(axis=0)
    assert user.sessions("x", k=1, embedding=centroid_b)[0].id == sessions["B"]
    counts = {s.title: s.turn_count for s in user.sessions()}
    assert counts == {"A": 3308, "B": 300}


@pytest.mark.parametrize("share", [0.25, 1.0])  # with and without automatic rebuilds
def test_forgotten_turns_never_return_and_live_ones_stay_found(memory_url, share):
    # Topics as clusters, as in a conversation: the beam search can follow them.
    centers = np.repeat(vectors(40, seed=12), 30, axis=0)
    data = centers + 0.3 * vectors(1200, seed=13)
    with Memory.open(memory_url, dimension=DIM, forget_rebuild_share=share) as memory:
        user = memory.user("u")
        session = user.new_session("s")
        ids = user.add_many(
            [NewTurn(f"word{n % 40} turn {n}", new_topic=n % 30 == 0) for n in range(1200)],
            embeddings=data,
        )
        # The turns to forget are drawn in the order they were added, not by
        # their random ids, so every run forgets the same ones: a full
        # consolidation merges a nearly emptied document into the sibling with
        # the fewest children, whatever its topic, and which documents those
        # are decides whether the beam still reaches every chunk.
        rng = np.random.default_rng(3)
        gone: set[str] = set()
        for _ in range(6):
            live = [i for i in ids if i not in gone]
            batch = list(rng.choice(live, size=len(live) // 4, replace=False))
            assert user.forget(batch) == len(batch)
            gone |= set(batch)
        live = [i for i in ids if i not in gone]
        assert user.stats().index_points == len(live)
        for number in rng.choice(len(ids), size=60, replace=False):
            for scope in (None, session):
                for mode in ("vector", "hybrid", "lexical"):
                    hits = user.search(
                        f"word{number % 40}", 10, mode=mode, embedding=data[number], session=scope
                    )
                    assert not gone & {h.id for h in hits}
                    if mode == "vector":
                        assert len(hits) == 10
                        if ids[number] not in gone:
                            assert ids[number] == hits[0].id or scope is None
                            assert ids[number] in {h.id for h in hits}
                    elif mode == "hybrid" and ids[number] not in gone:
                        assert ids[number] in {h.id for h in hits}
        user.consolidate(full=True)
        assert user.stats().index_points == len(live)
        probe = [ids.index(i) for i in live[:40]]
        for number in probe:
            hits = user.search("", 10, mode="vector", embedding=data[number])
            assert ids[number] in {h.id for h in hits}


@pytest.mark.parametrize("share", [0.25, 1.0])  # the replacement rebuilds the index, or not
def test_replacing_forgets_and_adds_in_one_write_that_replays(memory_url, share):
    data = vectors(4, seed=21)
    with Memory.open(memory_url, dimension=DIM, forget_rebuild_share=share) as memory:
        user = memory.user("u")
        old = user.add_many(["old a", "old b", "kept"], embeddings=data[:3])
        head = user.stats().head_seq
        [new] = user.add_many(["new a"], embeddings=data[3:], replacing=old[:2])
        stats = user.stats()
        assert (stats.head_seq, stats.turns, stats.index_points) == (head + 3, 2, 2)
        assert sorted(user.taken_ids([*old, new, "ab" * 16])) == sorted([*old, new])
        assert [s.turn_count for s in user.sessions()] == [2]
        expected = [h.id for h in user.search("", 4, mode="vector", embedding=data[0])]
        assert sorted(expected) == sorted([old[2], new])
        # A second memory on the file loads its index from the log (and a
        # snapshot, when the replacement rebuilt the index).
        with Memory.open(memory_url) as other:
            replayed = other.user("u")
            assert replayed.stats().index_points == 2
            hits = replayed.search("", 4, mode="vector", embedding=data[0])
            assert [h.id for h in hits] == expected


def test_a_forget_racing_a_session_search_does_not_stay_in_its_cache(memory_url, monkeypatch):
    # Another memory adds a turn, and forgets it while this one is building
    # the session's cache (after reading the session's turns): every later
    # search of the session must still find k live turns.
    data = vectors(11, seed=31)
    with Memory.open(memory_url, dimension=DIM) as mine, Memory.open(memory_url) as theirs:
        searcher, writer = mine.user("u"), theirs.user("u")
        session = writer.new_session("s")
        writer.add_many([f"turn {n}" for n in range(10)], embeddings=data[:10])
        searcher.search("", 1, mode="vector", embedding=data[0])  # loads the index
        late = writer.add("late", embedding=data[10])
        build = user_index.SessionVectors.build

        def forget_meanwhile(*args, **kwargs):
            monkeypatch.setattr(user_index.SessionVectors, "build", build)
            writer.forget(late)
            return build(*args, **kwargs)

        monkeypatch.setattr(user_index.SessionVectors, "build", forget_meanwhile)
        searcher.search("", 10, mode="vector", embedding=data[10], session=session)
        for _ in range(2):
            hits = searcher.search("", 10, mode="vector", embedding=data[10], session=session)
            assert sorted(hit.text for hit in hits) == sorted(f"turn {n}" for n in range(10))
