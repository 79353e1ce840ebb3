"""Nearest-neighbour and scoped queries through the module."""

import math
import time

import pytest

import orlo_kiv
from orlo_kiv import KivConfig, KivIndex


def unit(degrees, dims=4):
    radians = math.radians(degrees)
    return [math.cos(radians), math.sin(radians)] + [0.0] * (dims - 2)


def cosine(a, b):
    dot = sum(x * y for x, y in zip(a, b, strict=True))
    return dot / (math.sqrt(sum(x * x for x in a)) * math.sqrt(sum(y * y for y in b)))


def f32(x):
    import struct

    return struct.unpack("f", struct.pack("f", x))[0]


@pytest.fixture
def conversation():
    """Three sessions of two documents each, chunk ids by angle."""
    index = KivIndex.cosine(4)
    ids = {}
    for session in range(3):
        for document in range(2):
            for chunk in range(3):
                degrees = session * 60 + document * 20 + chunk * 5
                ids[degrees] = index.add(unit(degrees))
            index.new_document()
        index.new_session()
    return index, ids


class TestNear:
    def test_returns_search_results_best_first_with_cosine_scores(self, conversation):
        index, ids = conversation
        query = unit(62)
        results = index.near(query, 3)
        assert [type(r) for r in results] == [orlo_kiv.SearchResult] * 3
        assert results[0].id == ids[60]
        scores = [r.score for r in results]
        assert scores == sorted(scores, reverse=True)
        by_id = {v: k for k, v in ids.items()}
        for r in results:
            assert r.score == pytest.approx(cosine(query, unit(by_id[r.id])), abs=1e-6)

    @pytest.mark.parametrize("k", [0, 1, 5])
    def test_k_bounds_the_result_count(self, conversation, k):
        index, _ = conversation
        assert len(index.near(unit(10), k)) == k

    def test_k_beyond_the_chunks_reached_returns_those_reached(self):
        index = KivIndex.cosine(4)
        for degrees in (0, 10, 20):
            index.add(unit(degrees))
        assert len(index.near(unit(0), 50)) == 3

    def test_asking_for_more_results_widens_the_beam(self):
        index = KivIndex.with_config(4, KivConfig().with_beam_width(1))
        for _ in range(3):
            index.add([1.0, 0.0, 0.0, 0.0])
        index.new_session()
        for _ in range(3):
            index.add([0.0, 1.0, 0.0, 0.0])
        exact = index.add([0.0, 0.0, 1.0, 0.0])
        query = [0.6, 0.0, 0.8, 0.0]
        # Width 1 descends only the first session (cosine 0.6 against 0.25).
        assert index.near(query, 1)[0].score == pytest.approx(0.6, abs=1e-6)
        best = index.near(query, 2)[0]
        assert (best.id, best.score) == (exact, pytest.approx(0.8, abs=1e-6))

    def test_empty_index_and_wrong_length(self):
        index = KivIndex.cosine(4)
        assert index.near([0.0] * 4, 5) == []
        with pytest.raises(ValueError) as error:
            index.near([0.0] * 5, 1)
        assert error.value.args == ("Dimensionality mismatch: expected 4, got 5",)

    def test_equal_scores_keep_insertion_order(self):
        index = KivIndex.cosine(4)
        ids = [index.add(unit(30)) for _ in range(4)]
        assert [r.id for r in index.near(unit(0), 4)] == ids

    def test_removed_chunks_are_never_returned(self, conversation):
        index, ids = conversation
        index.remove(ids[60])
        results = index.near(unit(60), 10)
        assert ids[60] not in [r.id for r in results]
        assert results[0].id == ids[65]

    def test_chunk_added_twice_under_one_id_can_appear_twice(self):
        index = KivIndex.cosine(4)
        chunk_id = "ab" * 16
        index.add(unit(40))
        index.add_with_id(chunk_id, unit(0))
        index.add_with_id(chunk_id.upper(), unit(0))
        assert [r.id for r in index.near(unit(0), 3)][:2] == [chunk_id, chunk_id]

    def test_nan_scores_rank_last(self):
        index = KivIndex.cosine(4)
        broken = index.add([math.nan, 0.0, 0.0, 0.0])
        fine = index.add(unit(10))
        results = index.near(unit(0), 2)
        assert [r.id for r in results] == [fine, broken]
        assert math.isnan(results[1].score)

    def test_nan_query_keeps_tree_order(self):
        index = KivIndex.cosine(4)
        ids = [index.add(unit(d)) for d in (50, 0, 20)]
        results = index.near([math.nan, 1.0, 0.0, 0.0], 3)
        assert [r.id for r in results] == ids
        assert all(math.isnan(r.score) for r in results)

    def test_temporal_weight_blends_recency(self):
        index = KivIndex.with_config(4, KivConfig().with_temporal_weight(0.5))
        index.add(unit(60))
        # Seconds old at most: the recency distance is below 1e-6.
        assert index.near(unit(0), 1)[0].score == pytest.approx(0.75, abs=1e-5)

    def test_query_does_not_change_the_index(self, conversation):
        index, _ = conversation
        before = repr(index.stats())
        index.near(unit(5), 10)
        assert repr(index.stats()) == before

    def test_scores_are_widened_f32_values(self, conversation):
        index, _ = conversation
        for result in index.near(unit(33), 5):
            assert f32(result.score) == result.score


class TestNearSessions:
    def test_ranks_every_session_best_first(self, conversation):
        index, _ = conversation
        summaries = index.near_sessions(unit(125), 10)
        assert len(summaries) == 3
        assert all(type(s) is orlo_kiv.SessionSummary for s in summaries)
        assert [s.chunk_count for s in summaries] == [6, 6, 6]
        scores = [s.score for s in summaries]
        assert scores == sorted(scores, reverse=True)
        best_documents = index.near_documents(summaries[0].id, unit(125), 1)
        best_chunk = index.near_in_document(best_documents[0].id, unit(125), 1)
        assert best_chunk[0].score == pytest.approx(1.0, abs=1e-6)

    def test_timestamps_are_the_session_creation_times(self):
        index = KivIndex.cosine(4)
        before = time.time_ns() // 1_000_000
        index.add(unit(0))
        after = time.time_ns() // 1_000_000
        [summary] = index.near_sessions(unit(0), 1)
        assert before <= summary.timestamp_ms <= after

    def test_full_temporal_weight_ranks_newest_first(self):
        index = KivIndex.with_config(4, KivConfig().with_temporal_weight(1.0))
        ids = []
        for degrees in (0, 90, 180):
            ids.append(index.add(unit(degrees)))
            index.new_session()
            time.sleep(0.005)
        # Ages differ by milliseconds: distances of a few 1e-9 apart, which
        # the beam ranks by distance.
        assert [r.id for r in index.near(unit(0), 3)] == ids[::-1]

    def test_k_zero_and_no_root(self, conversation):
        index, _ = conversation
        assert index.near_sessions(unit(0), 0) == []
        assert KivIndex.cosine(4).near_sessions(unit(0), 3) == []


class TestScopedQueries:
    def test_near_documents_ranks_documents_of_a_session(self, conversation):
        index, _ = conversation
        [session] = index.near_sessions(unit(60), 1)
        documents = index.near_documents(session.id, unit(82), 10)
        assert [type(d) for d in documents] == [orlo_kiv.DocumentSummary] * 2
        assert [d.chunk_count for d in documents] == [3, 3]
        assert documents[0].score >= documents[1].score
        assert index.near_documents(session.id, unit(0), 0) == []

    def test_near_in_document_ranks_its_chunks(self, conversation):
        index, ids = conversation
        [session] = index.near_sessions(unit(60), 1)
        [document] = index.near_documents(session.id, unit(60), 1)
        results = index.near_in_document(document.id, unit(68), 10)
        assert [r.id for r in results] == [ids[70], ids[65], ids[60]]
        assert results[0].score == pytest.approx(cosine(unit(68), unit(70)), abs=1e-6)

    def test_scoped_queries_of_the_wrong_level_are_empty(self, conversation):
        index, ids = conversation
        [session] = index.near_sessions(unit(0), 1)
        [document] = index.near_documents(session.id, unit(0), 1)
        assert index.near_documents(document.id, unit(0), 5) == []
        assert index.near_documents(ids[0], unit(0), 5) == []
        assert index.near_in_document(session.id, unit(0), 5) == []
        assert index.near_in_document(ids[0], unit(0), 5) == []
        assert index.near_documents("0" * 32, unit(0), 5) == []
        assert index.near_in_document("F" * 32, unit(0), 5) == []

    def test_removed_chunk_is_skipped_and_duplicate_scored_twice(self):
        index = KivIndex.cosine(4)
        dup = "cd" * 16
        index.add_with_id(dup, unit(10))
        gone = index.add(unit(0))
        index.add_with_id(dup, unit(10))
        index.remove(gone)
        [session] = index.near_sessions(unit(0), 1)
        [document] = index.near_documents(session.id, unit(0), 1)
        assert [r.id for r in index.near_in_document(document.id, unit(0), 5)] == [dup, dup]

    @pytest.mark.parametrize(
        "call",
        [
            lambda ix, q: ix.near(q, 0),
            lambda ix, q: ix.near_sessions(q, 0),
            lambda ix, q: ix.near_documents("0" * 32, q, 3),
            lambda ix, q: ix.near_in_document("0" * 32, q, 3),
        ],
    )
    def test_wrong_length_fails_even_on_an_empty_index(self, call):
        with pytest.raises(ValueError, match=r"^Dimensionality mismatch: expected 4, got 1$"):
            call(KivIndex.cosine(4), [1.0])

    @pytest.mark.parametrize("method", ["near_documents", "near_in_document"])
    def test_identifier_errors_come_before_the_length_check(self, conversation, method):
        index, _ = conversation
        query = getattr(index, method)
        with pytest.raises(ValueError, match=r"^ID must be 32 hex characters, got 31$"):
            query("0" * 31, [0.0] * 3, 1)
        with pytest.raises(ValueError, match=r"^Invalid hex character: g$"):
            query("0" * 5 + "g" + "0" * 26, [0.0] * 4, 1)
        with pytest.raises(ValueError, match=r"^Dimensionality mismatch: expected 4, got 3$"):
            query("0" * 32, [0.0] * 3, 1)
