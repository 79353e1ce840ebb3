"""to_bytes and from_bytes: the exact layout, every check of the reader in its
order, round trips, and data of any shape loading safely."""

import pathlib
import struct
import sys

import pytest

from orlo_kiv import KivIndex

import kiv_format as fmt
from kiv_format import Record, encode, make_id, split

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
TRUNCATED = "IO error: failed to fill whole buffer"


def load_error(data):
    with pytest.raises(OSError) as caught:
        KivIndex.from_bytes(data)
    assert caught.value.args == (str(caught.value),)
    return str(caught.value)


def conversation(d=3, sessions=2, documents=2, chunks=3):
    """An index with several sessions, documents and chunks."""
    index = KivIndex.cosine(d)
    for s in range(sessions):
        index.new_session()
        for doc in range(documents):
            index.new_document()
            for c in range(chunks):
                index.add([float((s * 7 + doc * 3 + c + i) % 5) - 1.5 for i in range(d)])
    return index


# --- Exact bytes -------------------------------------------------------------------


def test_empty_index_is_69_bytes_and_reads_back():
    expected = b"KIV\0" + struct.pack("<IIQ", 1, 1536, 0) + bytes(16) + bytes(32) + b"\0"
    data = KivIndex.cosine(1536).to_bytes()
    assert data == expected == (DATA / "empty_d1536.kiv").read_bytes()
    loaded = KivIndex.from_bytes(data)
    assert (len(loaded), loaded.is_empty(), repr(loaded)) == (
        0,
        True,
        "KivIndex(points=0, sessions=0)",
    )
    assert loaded.to_bytes() == data


def test_data_ending_after_current_document_is_complete():
    loaded = KivIndex.from_bytes(KivIndex.cosine(1536).to_bytes()[:68])
    assert loaded.to_bytes() == (DATA / "empty_d1536.kiv").read_bytes()


def test_first_insertion_writes_the_333_byte_example():
    index = KivIndex.cosine(2)
    chunk = index.add([3.0, 4.0])
    data = index.to_bytes()
    assert len(data) == 333
    parts = split(data)
    by_level = {record[16]: record for record in parts.records}
    assert sorted(by_level) == [0, 1, 2, 3]
    assert [len(by_level[level]) for level in range(4)] == [70, 70, 70, 54]
    root, session, document = (by_level[level][:16] for level in range(3))
    assert (parts.root, parts.session, parts.document) == (root, session, document)
    assert by_level[3][:16].hex() == chunk
    # Each record lists the next level down as its only child.
    for level in range(3):
        assert by_level[level][25:29] == struct.pack("<I", 1)
        assert by_level[level][29:45] == by_level[level + 1][:16]
    # The chunk: no children, one point, centroid and sum both the embedding.
    assert by_level[3][25:] == struct.pack("<IQ2fB2f", 0, 1, 3.0, 4.0, 1, 3.0, 4.0)
    assert parts.weights is None and data[-1] == 0


def test_golden_file_reads_and_writes_the_same_content():
    golden = (DATA / "four_containers_d2.kiv").read_bytes()
    assert golden == fmt.four_containers()
    loaded = KivIndex.from_bytes(golden)
    assert repr(loaded) == "KivIndex(points=1, sessions=1)"
    stats = loaded.stats()
    assert (stats.global_count, stats.session_count, stats.document_count, stats.chunk_count) == (
        1,
        1,
        1,
        1,
    )
    assert fmt.same_content(loaded.to_bytes(), golden)


# --- The reader's checks, in order -----------------------------------------------------


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", TRUNCATED),
        (b"KIV", TRUNCATED),  # three bytes: length before magic
        (b"abc", TRUNCATED),
        (b"abcd", "Invalid KIV file magic bytes"),
        (b"KIV\x01", "Invalid KIV file magic bytes"),
        (b"kiv\0" + bytes(100), "Invalid KIV file magic bytes"),
        (b"KIV\0", TRUNCATED),  # the magic alone
        (b"KIV\0\x01\0\0", TRUNCATED),
        (b"KIV\0\x02\0\0\0", "Unsupported KIV version: 2"),  # version before length
        (b"KIV\0\0\0\0\0" + bytes(28), "Unsupported KIV version: 0"),
        (b"KIV\0\xff\xff\xff\xff", "Unsupported KIV version: 4294967295"),
        (b"KIV\0\x01\0\0\0" + bytes(27), TRUNCATED),  # 35 bytes of header
        (encode(2, [])[:36], TRUNCATED),  # no trailer
        (encode(2, [])[:67], TRUNCATED),
    ],
)
def test_header_checks_run_in_order(data, message):
    assert load_error(data) == message


@pytest.mark.parametrize("level", [4, 7, 9, 255])
def test_level_is_checked_before_the_rest_of_the_record(level):
    header = encode(2, [], count=1)[:36]
    assert (
        load_error(header + make_id(5) + bytes([level]))
        == f"Data corruption: Invalid level: {level}"
    )
    whole = encode(2, [Record(make_id(5), level, centroid=(1.0, 2.0))])
    assert load_error(whole) == f"Data corruption: Invalid level: {level}"


def test_level_of_a_later_record_is_checked_after_earlier_records():
    records = [Record(make_id(1), 3, centroid=(1.0,)), Record(make_id(2), 4, centroid=(1.0,))]
    assert load_error(encode(1, records)) == "Data corruption: Invalid level: 4"
    assert load_error(encode(1, records)[:40]) == TRUNCATED


@pytest.mark.parametrize(
    "data",
    [
        encode(2, [], count=2**64 - 1),  # records that are not there
        encode(2**32 - 1, [], count=1),  # vectors that are not there
        encode(2**32 - 1, [])[:-1] + b"\x01" + bytes(64),  # weights that are not there
        encode(2, [Record(make_id(1), 2, centroid=(1.0, 1.0))])[: 36 + 25]
        + b"\xff\xff\xff\xff"
        + bytes(64),
        encode(2, [Record(make_id(1), 3, centroid=(1.0, 1.0), sum=(1.0, 1.0))])[
            :-40
        ],  # sum cut short
    ],
    ids=["records", "dimensionality", "weights", "children", "sum"],
)
def test_counts_larger_than_the_data_fail_fast(data):
    assert load_error(data) == TRUNCATED


def test_sum_flag_other_than_one_means_no_sum_and_nothing_skipped():
    first = Record(make_id(1), 3, centroid=(1.0, 2.0), sum_flag=2)
    second = Record(make_id(2), 3, centroid=(5.0, 6.0), sum=(5.0, 6.0))
    loaded = KivIndex.from_bytes(encode(2, [first, second]))
    assert len(loaded) == 2
    records = {r[:16]: r for r in split(loaded.to_bytes()).records}
    assert records[make_id(1)] == Record(make_id(1), 3, centroid=(1.0, 2.0)).encode()
    assert records[make_id(2)] == second.encode()


@pytest.mark.parametrize(
    "tail, kept",
    [
        (b"", None),
        (b"\x00", None),
        (b"\x00garbage", None),
        (b"\x02" + bytes(20), None),
        (b"\x01" + struct.pack("<2f", 0.5, -2.0), struct.pack("<2f", 0.5, -2.0)),
        (b"\x01" + struct.pack("<2f", 0.5, -2.0) + b"trailing", struct.pack("<2f", 0.5, -2.0)),
        (
            b"\x01" + struct.pack("<2I", 0x7FC00001, 0xFF800000),
            struct.pack("<2I", 0x7FC00001, 0xFF800000),
        ),
    ],
)
def test_weights_flag_and_trailing_bytes(tail, kept):
    body = encode(2, [Record(make_id(1), 3, centroid=(1.0, 2.0))])[:-1]
    saved = split(KivIndex.from_bytes(body + tail).to_bytes())
    assert saved.weights == kept


def test_a_repeated_id_keeps_the_later_record():
    records = [Record(make_id(1), 3, centroid=(1.0,)), Record(make_id(1), 1, centroid=(2.0,))]
    loaded = KivIndex.from_bytes(encode(1, records))
    assert (len(loaded), loaded.stats().session_count) == (0, 1)
    assert split(loaded.to_bytes()).records == [records[1].encode()]


def test_zero_id_fields_read_as_absent_and_other_ids_as_given():
    data = encode(1, [], root=make_id(9), session=bytes(16), document=make_id(8))
    parts = split(KivIndex.from_bytes(data).to_bytes())
    assert (parts.root, parts.session, parts.document) == (make_id(9), bytes(16), make_id(8))


# --- Round trips -----------------------------------------------------------------------


@pytest.mark.parametrize("boundary", ["none", "new_document", "new_session"])
def test_round_trip_keeps_containers_root_and_current_slots(boundary):
    index = conversation()
    getattr(index, boundary, lambda: None)()
    data = index.to_bytes()
    loaded = KivIndex.from_bytes(data)
    assert fmt.same_content(loaded.to_bytes(), data)
    assert (len(loaded), repr(loaded)) == (len(index), repr(index))
    assert vars_of(loaded.stats()) == vars_of(index.stats())
    parts = split(data)
    assert (parts.session == bytes(16)) == (boundary == "new_session")
    assert (parts.document == bytes(16)) == (boundary != "none")


def vars_of(stats):
    return (stats.global_count, stats.session_count, stats.document_count, stats.chunk_count)


def test_loaded_index_is_independent_of_the_bytes_object():
    index = conversation(sessions=1)
    data = bytearray(index.to_bytes())
    loaded = KivIndex.from_bytes(bytes(data))
    data[:] = b"\0" * len(data)
    assert fmt.same_content(loaded.to_bytes(), index.to_bytes())


def test_dimensionality_beyond_32_bits_is_refused_rather_than_truncated():
    with pytest.raises(OSError) as caught:
        KivIndex.cosine(2**32).to_bytes()
    assert (
        str(caught.value)
        == "IO error: dimensionality 4294967296 does not fit the format's 32-bit field"
    )
    assert (
        KivIndex.from_bytes(KivIndex.cosine(2**32 - 1).to_bytes()).to_bytes()[8:12] == b"\xff" * 4
    )


def test_bytes_subclass_is_read_and_other_buffers_are_refused():
    class Blob(bytes):
        pass

    assert len(KivIndex.from_bytes(Blob(KivIndex.cosine(3).to_bytes()))) == 0
    for value, name in [
        (bytearray(b"KIV\0"), "bytearray"),
        (memoryview(b"KIV\0"), "memoryview"),
        ("KIV", "str"),
        (None, "NoneType"),
    ]:
        with pytest.raises(TypeError) as caught:
            KivIndex.from_bytes(value)
        assert (
            str(caught.value)
            == f"argument 'data': '{name}' object cannot be converted to 'PyBytes'"
        )


def test_conversions_keep_reference_counts():
    data = conversation(sessions=1).to_bytes()
    bad = b"abcd"
    before = (sys.getrefcount(data), sys.getrefcount(bad))
    for _ in range(10):
        KivIndex.from_bytes(data).to_bytes()
        with pytest.raises(OSError):
            KivIndex.from_bytes(bad)
    assert (sys.getrefcount(data), sys.getrefcount(bad)) == before


# --- Any bytes at all --------------------------------------------------------------------


def exercise(index, d):
    """What a caller may do with any loaded index: add to it and save it again."""
    len(index), repr(index), index.stats(), index.is_empty()
    index.add([0.5] * d)
    index.new_document()
    index.add([-0.25] * d)
    again = KivIndex.from_bytes(index.to_bytes())
    assert len(again) == len(index)


def sample_file():
    index = conversation(d=3, sessions=2, documents=2, chunks=2)
    body = index.to_bytes()[:-1]
    return body + b"\x01" + struct.pack("<3f", 1.0, 0.5, 2.0)


def test_every_truncation_fails_cleanly_or_loads():
    data = sample_file()
    end_of_document = len(data) - 1 - 12
    for length in range(len(data)):
        if length == end_of_document:
            exercise(KivIndex.from_bytes(data[:length]), 3)
        else:
            assert load_error(data[:length]) == TRUNCATED, length


@pytest.mark.parametrize(
    "change",
    [
        lambda b: b ^ 0xFF,
        lambda b: b ^ 0x01,
        lambda b: b ^ 0x80,
        lambda b: 0,
        lambda b: 1,
        lambda b: 4,
    ],
)
def test_every_single_byte_corruption_fails_cleanly_or_loads(change):
    data = sample_file()
    for position in range(len(data)):
        corrupted = bytearray(data)
        corrupted[position] = change(corrupted[position])
        try:
            index = KivIndex.from_bytes(bytes(corrupted))
        except OSError as error:
            assert str(error).startswith(
                ("IO error: ", "Invalid KIV", "Unsupported KIV", "Data corruption: ")
            )
            continue
        d = split(bytes(corrupted)).dimensionality
        if d <= 16:
            exercise(index, d)


S, D, C, R = make_id(0x51), make_id(0xD1), make_id(0xC1), make_id(0x01)
STRANGE_TREES = {
    "cycle": dict(
        records=[
            Record(R, 0, children=[S], centroid=(1.0, 0.0)),
            Record(S, 1, children=[R, S], centroid=(0.0, 1.0)),
            Record(D, 2, children=[D, S, R], centroid=(1.0, 1.0), point_count=3),
        ],
        root=R,
        session=S,
        document=D,
    ),
    "dangling": dict(
        records=[Record(R, 0, children=[make_id(0x77)] * 3, centroid=(1.0, 0.0))],
        root=R,
        session=make_id(0x78),
        document=make_id(0x79),
    ),
    "wrong_levels": dict(
        records=[
            Record(R, 3, children=[S], centroid=(1.0, 0.0), sum=(1.0, 0.0)),
            Record(S, 2, children=[C], centroid=(0.0, 1.0)),
            Record(D, 0, centroid=(0.0, 1.0)),
            Record(C, 1, centroid=(2.0, 2.0), point_count=2**64 - 1),
        ],
        root=R,
        session=D,
        document=C,
    ),
    "repeated_children": dict(
        records=[
            Record(R, 0, children=[S, S, S], centroid=(1.0, 0.0)),
            Record(S, 1, children=[D, D], centroid=(0.0, 1.0)),
            Record(D, 2, children=[C, C, C, C], centroid=(0.5, 0.5)),
            Record(C, 3, centroid=(0.5, 0.5), sum=(0.5, 0.5)),
        ],
        root=R,
        session=S,
        document=D,
    ),
    "no_root_but_containers": dict(
        records=[
            Record(S, 1, children=[D], centroid=(0.0, 1.0)),
            Record(D, 2, children=[C], centroid=(0.0, 1.0)),
            Record(C, 3, centroid=(0.0, 1.0)),
        ],
        session=S,
        document=D,
    ),
    "document_under_no_session": dict(
        records=[
            Record(R, 0, centroid=(1.0, 0.0)),
            Record(D, 2, centroid=(0.0, 0.0), sum=(0.0, 0.0), point_count=5),
        ],
        root=R,
        document=D,
    ),
    "nan_and_inf": dict(
        records=[Record(C, 3, centroid=(float("nan"), float("inf")), sum=(float("-inf"), 0.0))]
    ),
}


@pytest.mark.parametrize("shape", sorted(STRANGE_TREES))
def test_strange_tree_loads_and_is_safe_to_add_to_and_save(shape, tmp_path):
    index = KivIndex.from_bytes(encode(2, **STRANGE_TREES[shape]))
    before = len(index)
    exercise(index, 2)
    assert len(index) == before + 2
    path = tmp_path / "strange.kiv"
    index.save(str(path))
    assert fmt.same_content(KivIndex.load(str(path)).to_bytes(), index.to_bytes())
