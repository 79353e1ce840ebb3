"""Features meeting each other: queries on loaded and consolidated indexes, and
insertion after the containers it was filling have gone."""

import random

import pytest

from orlo_kiv import KivConfig, KivIndex

import kiv_format
from kiv_format import Record, encode, make_id
from test_persistence_format import STRANGE_TREES


def results(hits):
    return [(hit.id, hit.score) for hit in hits]


def conversation(dim=8, sessions=3, documents=3, chunks=5, seed=11):
    rng = random.Random(seed)
    index = KivIndex.cosine(dim)
    for _ in range(sessions):
        index.new_session()
        topic = [rng.gauss(0, 1) for _ in range(dim)]
        for _ in range(documents):
            index.new_document()
            for _ in range(chunks):
                index.add([t + rng.gauss(0, 0.3) for t in topic])
    return index, rng


def every_query(index, query, k=4):
    sessions = index.near_sessions(query, 100)
    out = [
        results(index.near(query, k)),
        [(s.id, s.score, s.chunk_count, s.timestamp_ms) for s in sessions],
    ]
    for session in sessions:
        documents = index.near_documents(session.id, query, 100)
        out.append([(d.id, d.score, d.chunk_count) for d in documents])
        for document in documents:
            out.append(results(index.near_in_document(document.id, query, k)))
    return out


def test_round_trip_gives_the_same_answers_to_every_query():
    index, rng = conversation()
    loaded = KivIndex.from_bytes(index.to_bytes())
    for _ in range(5):
        query = [rng.gauss(0, 1) for _ in range(8)]
        assert every_query(loaded, query) == every_query(index, query)


def test_loaded_index_searches_with_the_default_beam():
    # Eleven sessions: ten hold one chunk near the query; the last holds the
    # best chunk of all, but its centroid ranks last. Only a beam wider than
    # ten sessions reaches it.
    index = KivIndex.with_config(2, KivConfig().with_beam_width(11))
    for _ in range(10):
        index.new_session()
        index.add([0.98, 0.2])
    index.new_session()
    best = index.add([1.0, 0.0])
    index.add([-1.0, 3.0])
    assert index.near([1.0, 0.0], 1)[0].id == best
    loaded = KivIndex.from_bytes(index.to_bytes())
    assert loaded.near([1.0, 0.0], 1)[0].id != best
    assert loaded.near([1.0, 0.0], 11)[0].id == best  # k widens the beam again


@pytest.mark.parametrize("shape", sorted(STRANGE_TREES))
def test_strange_loaded_trees_are_safe_to_query_and_consolidate(shape):
    data = encode(2, **STRANGE_TREES[shape])
    ids = {record[:16].hex() for record in kiv_format.split(data).records}
    for run in ("consolidate", "consolidate_full"):
        index = KivIndex.from_bytes(data)
        for query in ([1.0, 0.0], [float("nan"), 1.0], [0.0, 0.0]):
            index.near(query, 5)
            index.near_sessions(query, 5)
            for id_hex in ids:
                index.near_documents(id_hex, query, 5)
                index.near_in_document(id_hex, query, 5)
        getattr(index, run)()
        getattr(index, run)()
        index.add([0.5, 0.5])
        index.near([0.5, 0.5], 3)
        again = KivIndex.from_bytes(index.to_bytes())
        assert len(again) == len(index)


def current_session_and_document(index, query):
    """The ids of the session and document that received the last chunk, found
    by the coarse-to-fine queries (the newest session holds the query vector)."""
    for session in index.near_sessions(query, 100):
        for document in index.near_documents(session.id, query, 100):
            if any(hit.score > 0.999 for hit in index.near_in_document(document.id, query, 100)):
                return session.id, document.id
    raise AssertionError("chunk not found")


def root_id(index):
    return kiv_format.split(index.to_bytes()).root.hex()


@pytest.mark.parametrize("removed", ["document", "session", "root"])
def test_add_after_removing_a_current_container_is_found(removed):
    index = KivIndex.cosine(2)
    index.add([1.0, 0.0])
    session, document = current_session_and_document(index, [1.0, 0.0])
    index.remove({"document": document, "session": session, "root": root_id(index)}[removed])
    new = index.add([0.0, 1.0])
    assert [hit.id for hit in index.near([0.0, 1.0], 1)] == [new]
    assert index.stats().global_count == 1


def test_add_after_a_full_run_merged_the_current_document_away():
    index = KivIndex.cosine(2)
    for _ in range(50):
        index.add([1.0, 0.0])
    index.add([1.0, 0.1])  # a one-chunk document ...
    index.new_document()
    for _ in range(3):  # ... absorbs this current document of three
        index.add([0.8, 0.6])
    index.consolidate_full()
    assert index.stats().document_count == 2
    new = index.add([0.0, 1.0])
    assert index.stats().document_count == 3
    assert [hit.id for hit in index.near([0.0, 1.0], 1)] == [new]


def test_add_after_a_full_run_pruned_the_current_session():
    root, session, document = make_id(1), make_id(2), make_id(3)
    data = encode(
        2,
        [
            Record(root, 0, children=[session], centroid=(0.0, 0.0)),
            Record(session, 1, children=[document], centroid=(0.0, 0.0)),
            Record(document, 2, centroid=(0.0, 0.0)),
        ],
        root=root,
        session=session,
        document=document,
    )
    index = KivIndex.from_bytes(data)
    index.consolidate_full()
    assert (index.stats().session_count, index.stats().document_count) == (0, 0)
    new = index.add([0.0, 1.0])
    assert (index.stats().session_count, index.stats().document_count) == (1, 1)
    assert [hit.id for hit in index.near([0.0, 1.0], 1)] == [new]


def test_consolidation_moves_centroids_to_the_exact_mean():
    # With a high propagation threshold the session and root centroids lag
    # behind; a light run makes their scores those of the exact means.
    index = KivIndex.with_config(2, KivConfig().with_propagation_threshold(10.0))
    for vector in ([1.0, 0.0], [0.0, 1.0], [0.0, 1.0], [0.0, 1.0]):
        index.add(vector)
    before = index.near_sessions([0.0, 1.0], 1)[0].score
    index.consolidate()
    after = index.near_sessions([0.0, 1.0], 1)[0]
    assert before == pytest.approx(0.0, abs=1e-6)  # still the first vector
    assert after.score == pytest.approx(3 / 10**0.5, rel=1e-6)
    assert after.chunk_count == 4
