"""Light and full consolidation runs as seen from Python: return values, the
shape of the tree through stats() and len(), insertion after a run that
removed the current document."""

import random

import pytest

from orlo_kiv import KivIndex

DIM = 8
RUNS = ["consolidate", "consolidate_full"]


def vector(rng):
    return [rng.uniform(-1.0, 1.0) for _ in range(DIM)]


def index_with_documents(sizes, seed=0):
    """One session whose documents hold `sizes` chunks, in order."""
    rng = random.Random(seed)
    index = KivIndex.cosine(DIM)
    for size in sizes:
        index.new_document()
        for _ in range(size):
            index.add(vector(rng))
    return index


def shape(index):
    stats = index.stats()
    return (stats.global_count, stats.session_count, stats.document_count, len(index))


@pytest.mark.parametrize("run", RUNS)
@pytest.mark.parametrize("sizes", [[], [5], [3, 7, 4]])
def test_run_returns_none_and_keeps_well_filled_documents(run, sizes):
    index = index_with_documents(sizes)
    before = shape(index)
    assert getattr(index, run)() is None
    assert shape(index) == before
    assert repr(index) == f"KivIndex(points={sum(sizes)}, sessions={1 if sizes else 0})"


def test_light_run_never_merges():
    index = index_with_documents([1, 10])
    index.consolidate()
    assert shape(index) == (1, 1, 2, 11)


def test_full_run_merges_a_one_chunk_document_into_a_sibling():
    # 101 additions fill documents of 50, 50 and 1 chunks; the last absorbs
    # one of the full ones, leaving 50 and 51.
    rng = random.Random(1)
    index = KivIndex.cosine(DIM)
    for _ in range(101):
        index.add(vector(rng))
    assert shape(index) == (1, 1, 3, 101)
    index.consolidate_full()
    assert shape(index) == (1, 1, 2, 101)


@pytest.mark.parametrize(
    "sizes, documents_after",
    [
        ([1, 10], 1),  # 1 child: merged
        ([2, 10], 1),  # 2 children: merged
        ([3, 10], 2),  # exactly the threshold: kept
        ([1, 2], 1),  # two small siblings choose each other: one merge happens
        ([1], 1),  # an only child has no sibling
    ],
)
def test_full_run_merges_documents_below_three_children(sizes, documents_after):
    index = index_with_documents(sizes)
    index.consolidate_full()
    assert shape(index) == (1, 1, documents_after, sum(sizes))


def test_merges_stay_within_their_session():
    rng = random.Random(2)
    index = KivIndex.cosine(DIM)
    for _ in range(2):
        index.new_session()
        index.add(vector(rng))
    index.consolidate_full()
    assert shape(index) == (1, 2, 2, 2)


def test_document_whose_chunks_were_removed_absorbs_its_sibling():
    rng = random.Random(3)
    index = KivIndex.cosine(DIM)
    removed = [index.add(vector(rng)) for _ in range(2)]
    index.new_document()
    for _ in range(5):
        index.add(vector(rng))
    for id_hex in removed:
        index.remove(id_hex)
    index.consolidate_full()
    assert shape(index) == (1, 1, 1, 5)


@pytest.mark.parametrize("more", [1, 60])
def test_add_after_the_current_document_was_merged_away(more):
    # The current document (3 chunks) is the sibling that the 1-chunk document
    # absorbs, so the run deletes it; the next addition opens a new document
    # in the same session.
    index = index_with_documents([1, 3])
    index.consolidate_full()
    assert shape(index) == (1, 1, 1, 4)
    rng = random.Random(4)
    for _ in range(more):
        assert len(index.add(vector(rng))) == 32
    assert shape(index) == (1, 1, 2 + (more - 1) // 50, 4 + more)
    index.consolidate_full()
    assert len(index) == 4 + more
