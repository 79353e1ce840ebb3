"""What consolidation runs do to the tree, read back through the binary form."""

import math
import random

import pytest

from orlo_kiv import KivIndex

import kiv_format
from kiv_format import Record, make_id

DIM = 3


def tree(index):
    return kiv_format.parse(index.to_bytes())[1]


def by_level(records, level):
    return [r for r in records.values() if r.level == kiv_format.LEVELS[level]]


def leaf_vectors(records, container):
    """Embeddings of the chunks beneath `container`, in children order."""
    out = []
    for child in container.children:
        record = records.get(child)
        if record is None:
            continue
        if record.level == kiv_format.LEVELS["chunk"]:
            out.append(record.centroid)
        else:
            out.extend(leaf_vectors(records, record))
    return out


def f32(x):
    import struct

    return struct.unpack("<f", struct.pack("<f", x))[0]


def expected_centroid(vectors):
    n = len(vectors)
    total = [f32(sum(v[i] for v in vectors)) for i in range(DIM)]
    mean = [t / n for t in total]
    norm = math.sqrt(sum(m * m for m in mean))
    return total, [m / norm for m in mean]


def filled_index(documents=(4, 3), sessions=2, seed=5):
    rng = random.Random(seed)
    index = KivIndex.cosine(DIM)
    for _ in range(sessions):
        index.new_session()
        for size in documents:
            index.new_document()
            for _ in range(size):
                index.add([rng.uniform(-1, 1) for _ in range(DIM)])
    return index


def test_light_run_recomputes_every_branch_from_its_chunks():
    index = filled_index()
    index.consolidate()
    records = tree(index)
    for level in ("document", "session", "global"):
        for container in by_level(records, level):
            vectors = leaf_vectors(records, container)
            total, centroid = expected_centroid(vectors)
            assert container.point_count == len(vectors)
            assert container.sum == pytest.approx(total, rel=1e-5)
            assert container.centroid == pytest.approx(centroid, rel=1e-5)


def test_second_light_run_changes_no_bit():
    index = filled_index()
    index.consolidate()
    first = index.to_bytes()
    index.consolidate()
    assert kiv_format.same_content(first, index.to_bytes())


def test_chunks_are_never_recomputed():
    index = filled_index()
    before = {r.id: r.centroid for r in by_level(tree(index), "chunk")}
    index.consolidate_full()
    after = {r.id: r.centroid for r in by_level(tree(index), "chunk")}
    assert after == before


def test_removed_chunks_leave_their_document_as_it_was():
    index = KivIndex.cosine(DIM)
    ids = [index.add([1.0, float(i), 0.0]) for i in range(3)]
    document_before = by_level(tree(index), "document")[0]
    for id_hex in ids:
        index.remove(id_hex)
    index.consolidate()
    document_after = by_level(tree(index), "document")[0]
    assert document_after.centroid == document_before.centroid
    assert document_after.point_count == 3


def test_full_run_merges_the_small_document_into_the_first_of_equal_siblings():
    index = KivIndex.cosine(DIM)
    for _ in range(101):
        index.add([1.0, 0.5, 0.25])
    records = tree(index)
    session = by_level(records, "session")[0]
    sizes = [len(records[d].children) for d in session.children]
    assert sizes == [50, 50, 1]
    index.consolidate_full()
    records = tree(index)
    session = by_level(records, "session")[0]
    assert [len(records[d].children) for d in session.children] == [50, 51]
    assert all(records[d].point_count == len(records[d].children) for d in session.children)


def chunk(n, vector=(1.0, 0.0, 0.0)):
    return Record(make_id(n), 3, 0, [], 1, vector, vector)


def loaded(records, root=None):
    return KivIndex.from_bytes(kiv_format.encode(DIM, records, root=root))


def test_full_run_splits_an_over_full_document_and_appends_the_new_half():
    chunks = [
        Record(
            bytes([1, 0]) + i.to_bytes(14, "little"),
            3,
            0,
            [],
            1,
            (1.0, float(i), 0.0),
            (1.0, float(i), 0.0),
        )
        for i in range(101)
    ]
    document = Record(make_id(200), 2, 0, [c.id for c in chunks], 101, (0, 0, 0))
    other = Record(make_id(201), 2, 0, [chunks[0].id] * 3, 3, (0, 0, 0))
    session = Record(make_id(210), 1, 0, [document.id, other.id], 0, (0, 0, 0))
    root = Record(make_id(220), 0, 0, [session.id], 0, (0, 0, 0))
    index = loaded([*chunks, document, other, session, root], root=root.id)
    index.consolidate_full()
    records = tree(index)
    children = records[session.id].children
    assert children[:2] == [document.id, other.id]
    assert len(children) == 3
    new_document = records[children[2]]
    assert records[document.id].children == [c.id for c in chunks[:50]]
    assert new_document.children == [c.id for c in chunks[50:]]
    assert new_document.level == 2
    assert (records[document.id].point_count, new_document.point_count) == (50, 51)
    _, centroid = expected_centroid([c.centroid for c in chunks[50:]])
    assert new_document.centroid == pytest.approx(centroid, rel=1e-5)


@pytest.mark.parametrize("size, expected", [(100, [100]), (101, [50, 51])])
def test_split_threshold_is_strict(size, expected):
    chunks = [
        Record(
            bytes([2, 0]) + i.to_bytes(14, "little"), 3, 0, [], 1, (1.0, 0.0, 0.0), (1.0, 0.0, 0.0)
        )
        for i in range(size)
    ]
    document = Record(make_id(200), 2, 0, [c.id for c in chunks], size, (0, 0, 0))
    session = Record(make_id(210), 1, 0, [document.id], 0, (0, 0, 0))
    root = Record(make_id(220), 0, 0, [session.id], 0, (0, 0, 0))
    index = loaded([*chunks, document, session, root], root=root.id)
    index.consolidate_full()
    records = tree(index)
    assert [len(records[d].children) for d in records[session.id].children] == expected


@pytest.mark.parametrize("size, merged", [(2, True), (3, False)])
def test_merge_threshold_is_strict(size, merged):
    index = KivIndex.cosine(DIM)
    for _ in range(size):
        index.add([1.0, 0.0, 0.0])
    index.new_document()
    for _ in range(10):
        index.add([0.0, 1.0, 0.0])
    index.consolidate_full()
    assert index.stats().document_count == (1 if merged else 2)


def test_pruning_runs_in_passes_and_keeps_the_root():
    document = Record(make_id(1), 2, 0, [], 0, (0, 0, 0))
    session = Record(make_id(2), 1, 0, [document.id], 0, (0, 0, 0))
    lonely_root = Record(make_id(3), 0, 0, [session.id], 0, (0, 0, 0))
    index = loaded([document, session, lonely_root], root=lonely_root.id)
    index.consolidate_full()
    records = tree(index)
    assert list(records) == [lonely_root.id]
    assert records[lonely_root.id].children == []
    assert (index.stats().global_count, index.stats().session_count) == (1, 0)


def test_sessions_and_the_root_are_never_split():
    shared = chunk(250)
    documents = [
        Record(bytes([3, 0]) + i.to_bytes(14, "little"), 2, 0, [shared.id] * 3, 3, (0, 0, 0))
        for i in range(101)
    ]
    session = Record(make_id(210), 1, 0, [d.id for d in documents], 0, (0, 0, 0))
    root = Record(make_id(220), 0, 0, [session.id] * 101, 0, (0, 0, 0))
    index = loaded([*documents, shared, session, root], root=root.id)
    index.consolidate_full()
    records = tree(index)
    assert len(records[session.id].children) == 101
    assert len(records[root.id].children) == 101
    assert index.stats().session_count == 1


def positive_vector(rng):
    return tuple(rng.uniform(0.1, 1.0) for _ in range(DIM))


def shared_document_moved_by_a_merge():
    """A document listed by two parents is merged away from the deep one of them.

    root -> session -> [target, full, holder]; target -> [deep_parent, nest] is
    more than four levels deep; `shared` is listed by deep_parent (its owner, by
    the walk from the root) and by holder (its first lister in file order),
    where the one-chunk `small` absorbs it. Then target absorbs `full`.
    """
    rng = random.Random(11)
    chunks = []

    def chunks_of(count):
        made = [chunk(100 + len(chunks) + i, positive_vector(rng)) for i in range(count)]
        chunks.extend(made)
        return [c.id for c in made]

    def document(n, children):
        return Record(make_id(n), 2, 0, children, 0, (0, 0, 0))

    inner = document(10, chunks_of(3))
    middle = document(11, [inner.id, *chunks_of(2)])
    nest = document(12, [middle.id, *chunks_of(2)])
    shared = document(13, chunks_of(3))
    deep_parent = document(14, [shared.id, *chunks_of(2)])
    target = document(15, [deep_parent.id, nest.id])
    full = document(16, chunks_of(3))
    small = document(17, chunks_of(1))
    holder = document(18, [small.id, shared.id, *chunks_of(1)])
    session = Record(make_id(20), 1, 0, [target.id, full.id, holder.id], 0, (0, 0, 0))
    root = Record(make_id(21), 0, 0, [session.id], 0, (0, 0, 0))
    documents = [holder, target, small, deep_parent, nest, middle, inner, shared, full]
    return [*documents, session, root, *chunks], root.id, target.id


def shared_document_split_away_from_a_deep_parent():
    """A document listed by two parents is split, its new half going to the other.

    root -> session -> [top, other]; top -> outer -> inner -> shared is more
    than four levels deep, and inner owns `shared` (101 chunks), which `other`
    lists first in file order and so receives its second half. Then top, over-
    full too, is split.
    """
    rng = random.Random(12)
    chunks = []
    for i in range(203):
        vector = positive_vector(rng)
        chunks.append(Record(bytes([1, 0]) + i.to_bytes(14, "little"), 3, 0, [], 1, vector, vector))
    ids = [c.id for c in chunks]
    shared = Record(make_id(10), 2, 0, ids[:101], 0, (0, 0, 0))
    other = Record(make_id(11), 2, 0, [shared.id, *ids[101:103]], 0, (0, 0, 0))
    inner = Record(make_id(12), 2, 0, [shared.id], 0, (0, 0, 0))
    outer = Record(make_id(13), 2, 0, [inner.id], 0, (0, 0, 0))
    top = Record(make_id(14), 2, 0, [outer.id, *ids[103:]], 0, (0, 0, 0))
    session = Record(make_id(20), 1, 0, [top.id, other.id], 0, (0, 0, 0))
    root = Record(make_id(21), 0, 0, [session.id], 0, (0, 0, 0))
    return [top, other, inner, outer, shared, session, root, *chunks], root.id, top.id


@pytest.mark.parametrize(
    "shape", [shared_document_moved_by_a_merge, shared_document_split_away_from_a_deep_parent]
)
def test_deep_containers_reshaped_late_in_a_run_count_the_chunks_beneath_them(shape):
    # Subtotals computed for deep containers early in the run once outlived the
    # edits beneath them, and the last container reshaped counted chunks that
    # had moved elsewhere.
    records, root, reshaped = shape()
    index = loaded(records, root=root)
    index.consolidate_full()
    after = tree(index)
    container = after[reshaped]
    vectors = leaf_vectors(after, container)
    total, centroid = expected_centroid(vectors)
    assert container.point_count == len(vectors)
    assert container.sum == pytest.approx(total, rel=1e-5)
    assert container.centroid == pytest.approx(centroid, rel=1e-5)


def test_chain_of_documents_from_a_small_file_is_consolidated_quickly():
    # 32,000 documents that each list the next, and nothing else: a 1.7 MB file
    # on which both runs used to walk the rest of the chain from every document
    # (about a minute each). Now the work is linear.
    n = 32_000
    ids = [b"\x07" + i.to_bytes(15, "little") for i in range(n)]
    records = [Record(ids[i], 2, 0, ids[i + 1 : i + 2], 0, ()) for i in range(n)]
    data = kiv_format.encode(0, records)
    assert len(data) > 1_700_000
    index = KivIndex.from_bytes(data)
    index.consolidate()
    assert index.stats().document_count == n
    index.consolidate_full()  # the last document is empty, then the one before it, ...
    assert index.stats().document_count == 0


def test_full_run_after_removals_lets_queries_find_the_live_chunks():
    rng = random.Random(7)
    d = 64
    query = [1.0] + [0.0] * (d - 1)

    def around_query(spread):
        return [1.0] + [rng.gauss(0, spread) for _ in range(d - 1)]

    index = KivIndex.cosine(d)
    removed = []
    for _ in range(6):
        index.new_document()
        removed += [index.add(around_query(0.01)) for _ in range(20)]
    live = {}
    index.new_session()
    for _ in range(30):
        vector = around_query(0.3)
        live[index.add(vector)] = vector
    index.new_session()
    for _ in range(80):
        vector = [rng.gauss(0, 1) for _ in range(d)]
        live[index.add(vector)] = vector
    for id_hex in removed:
        index.remove(id_hex)
    # The emptied documents keep centroids next to the query and fill the beam.
    assert index.near(query, 5) == []
    index.consolidate()
    assert index.near(query, 5) == []

    index.consolidate_full()
    records = tree(index)
    assert all(child in records for r in records.values() for child in r.children)
    assert index.stats().session_count == 2 and len(index) == 110

    def cosine(v):
        return v[0] / math.sqrt(sum(x * x for x in v))

    best = sorted(live, key=lambda i: -cosine(live[i]))[:5]
    assert [hit.id for hit in index.near(query, 5)] == best
