"""Insertion, boundaries, removal and size, as the Python surface shows them."""

import re

import pytest

from orlo_kiv import KivIndex

import kiv_format
from conftest import run_python, running_under_asan

E4 = [1.0, 0.0, 0.0, 0.0]


def counts(index):
    s = index.stats()
    return (s.global_count, s.session_count, s.document_count, s.chunk_count)


def test_fresh_index_is_empty(index4):
    assert (len(index4), index4.is_empty(), bool(index4)) == (0, True, False)
    assert repr(index4) == "KivIndex(points=0, sessions=0)"
    assert str(index4) == repr(index4)
    assert counts(index4) == (0, 0, 0, 0)


def test_first_add_creates_root_session_document_and_chunk(index4):
    id_hex = index4.add(E4)
    assert re.fullmatch(r"[0-9a-f]{32}", id_hex)
    assert counts(index4) == (1, 1, 1, 1)
    assert (len(index4), index4.is_empty(), bool(index4)) == (1, False, True)
    assert repr(index4) == "KivIndex(points=1, sessions=1)"


def test_generated_ids_are_distinct_and_time_ordered(index4):
    ids = [index4.add(E4) for _ in range(200)]
    assert len(set(ids)) == 200
    assert [i[:12] for i in ids] == sorted(i[:12] for i in ids)


def test_wrong_length_changes_nothing(index4):
    index4.add(E4)
    for bad in ([0.0] * 3, [0.0] * 5, []):
        with pytest.raises(ValueError) as info:
            index4.add(bad)
        assert info.value.args == (f"Dimensionality mismatch: expected 4, got {len(bad)}",)
    with pytest.raises(ValueError, match=r"^Dimensionality mismatch: expected 4, got 3$"):
        index4.add_with_id("a" * 32, [0.0] * 3)
    assert counts(index4) == (1, 1, 1, 1)


def test_documents_hold_fifty_chunks_and_sessions_fifty_documents():
    index = KivIndex.cosine(1)
    for _ in range(50):
        index.add([1.0])
    assert counts(index) == (1, 1, 1, 50)
    index.add([1.0])  # the 51st chunk opens a second document
    assert counts(index) == (1, 1, 2, 51)
    for _ in range(48):  # documents 3..50, one chunk each
        index.new_document()
        index.add([1.0])
    assert counts(index) == (1, 1, 50, 99)
    index.add([1.0])  # the session is full: a new session opens
    assert counts(index) == (1, 2, 51, 100)


def test_boundary_calls_open_containers_only_on_the_next_add(index4):
    index4.add(E4)
    index4.new_session()
    index4.new_session()
    index4.new_document()
    assert counts(index4) == (1, 1, 1, 1)
    index4.add(E4)
    assert counts(index4) == (1, 2, 2, 2)
    index4.new_document()
    index4.add(E4)
    assert counts(index4) == (1, 2, 3, 3)
    assert index4.new_session() is None and index4.new_document() is None


def test_add_with_id_replaces_an_existing_chunk(index4):
    assert index4.add_with_id("0123456789abcdef" * 2, E4) is None
    index4.add_with_id("0123456789ABCDEF" * 2, [0.0, 1.0, 0.0, 0.0])
    assert counts(index4) == (1, 1, 1, 1)


MIX = 6364136223846793005


def upcoming_ids(draws, window_ms):
    """Every id the next `draws` generated ids could be while the clock moves
    through the next `window_ms` milliseconds: a returned id shows the clock
    reading and the process-wide counter it was made from."""
    probe = bytes.fromhex(KivIndex.cosine(1).add([1.0]))
    ms = int.from_bytes(probe[:6], "big")
    counter = (int.from_bytes(probe[8:], "big") - ms * MIX) % 2**64
    return [
        (
            t.to_bytes(8, "big")[2:]
            + ((counter + k) & 0xFFFF).to_bytes(2, "big")
            + ((t * MIX + counter + k) % 2**64).to_bytes(8, "big")
        )
        for t in range(ms, ms + window_ms)
        for k in range(1, draws + 1)
    ]


@pytest.mark.parametrize("call", ["add", "add_with_id"])
def test_generated_ids_never_replace_a_stored_chunk(call):
    # A loaded index holds chunks under every id the next additions could
    # generate (for the chunk itself, the root, the session and the document).
    planted = upcoming_ids(4, 5_000)
    records = [kiv_format.Record(i, 3, 0, [], 1, (2.0,), (2.0,)) for i in planted]
    index = KivIndex.from_bytes(kiv_format.encode(1, records))
    if call == "add":
        new = bytes.fromhex(index.add([3.0]))
    else:
        new = bytes(range(16))
        index.add_with_id(new.hex(), [3.0])
    assert {new}.isdisjoint(planted)
    assert counts(index) == (1, 1, 1, len(planted) + 1)
    decoded = kiv_format.parse(index.to_bytes())[1]
    assert all(decoded[i].level == 3 and decoded[i].centroid == (2.0,) for i in planted)
    assert [r.children for r in decoded.values() if r.level == 2] == [[new]]


def test_remove_deletes_one_entry(index4):
    first = index4.add(E4)
    assert index4.remove(first) is None
    assert (len(index4), index4.is_empty()) == (0, True)
    assert counts(index4) == (1, 1, 1, 0)
    index4.remove(first)  # twice: nothing happens
    index4.add(E4)  # goes into the same document
    assert counts(index4) == (1, 1, 1, 1)


def test_memory_exhaustion_raises_memory_error_and_keeps_the_index_usable():
    if running_under_asan():
        pytest.skip("an address-space limit conflicts with the sanitizer's shadow memory")
    result = run_python("""
        import array, resource
        import orlo_kiv

        def address_space():
            with open("/proc/self/status") as status:
                for line in status:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        def limit(extra):
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + extra, hard))

        # Converting a 32M-item list needs 128 MB more than allowed here.
        small = orlo_kiv.KivIndex.cosine(4)
        small.add([1.0, 0.0, 0.0, 0.0])
        big_list = [0.5] * (1 << 25)
        limit(64 << 20)
        try:
            small.add(big_list)
        except MemoryError:
            print("conversion: MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        del big_list
        small.add([0.0, 1.0, 0.0, 0.0])
        print(len(small), small.stats())

        # Inserting an 8M-dimension vector needs several more copies of it.
        d = 8_000_000
        embedding = array.array("f", bytes(4 * d))
        index = orlo_kiv.KivIndex.cosine(d)
        limit(80 << 20)
        try:
            index.add(embedding)
        except MemoryError:
            print("insertion: MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        index.add(embedding)
        s = index.stats()
        print(s.global_count, s.session_count, s.document_count, s.chunk_count in (1, 2))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "conversion: MemoryError",
        "2 KivStats(points=2, sessions=1, documents=1, chunks=2)",
        "insertion: MemoryError",
        "1 1 1 True",
    ]
