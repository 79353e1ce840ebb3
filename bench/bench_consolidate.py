"""Light and full consolidation runs on a large index, against numpy.

Two indexes of 100,000 chunks at 1536 dimensions:

* built by `add`: 1,996 documents of 50 chunks and 100 under-filled documents
  of 2, in sessions of at most 50 documents (insertion closes them);
* loaded by `KivIndex.from_bytes` from bytes composed here in the binary index
  format: 40 sessions of 50 documents, 1,850 of 50 chunks, 100 under-filled of
  2 and 50 over-full of 146, which only loaded data can hold.

For each it times a light run, a full run (merging and splitting) and a second
full run (nothing left to reshape), and compares them with numpy summing the
same float32 matrix three times (once per ancestor level, the arithmetic a run
has to do). Targets: full <= 1.5 x light, light <= 3 x numpy.

With --chain it times instead a full run on loaded chains: root -> session ->
document 0 -> document 1 -> ... -> the last document, which is empty, so the
run prunes the chain one document per pass. For 64,000, 128,000 and 256,000
documents (or the lengths given); targets: 256,000 in under 2 s, and twice the
documents in no more than 2.5 times the time.

    python bench/bench_consolidate.py [--chunks N] [--dim D] [--repeat R]
    python bench/bench_consolidate.py --chain [LENGTH ...] [--repeat R]
"""

import argparse
import statistics
import struct
import time

import numpy as np

import orlo_kiv

CHUNK, DOCUMENT, SESSION, GLOBAL = 3, 2, 1, 0


def timed(fn, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def numpy_three_sums(matrix, repeat):
    def three_sums():
        for _ in range(3):
            matrix.sum(axis=0)

    return timed(three_sums, repeat)


def build_by_add(matrix):
    """Full documents of 50 with a 2-chunk document after every 20th."""
    index = orlo_kiv.KivIndex.cosine(matrix.shape[1])
    rows = iter(matrix)
    remaining = matrix.shape[0]
    document = 0
    while remaining:
        size = 2 if document % 21 == 20 else 50
        size = min(size, remaining)
        index.new_document()
        for _ in range(size):
            index.add(next(rows).tolist())
        remaining -= size
        document += 1
    return index


def make_id(kind, number):
    return struct.pack("<QQ", kind + 1, number + 1)


def record(id_bytes, level, children, point_count, centroid, summed):
    head = id_bytes + struct.pack("<BQI", level, 1_700_000_000_000, len(children))
    tail = struct.pack("<Q", point_count) + centroid
    if summed is None:
        return b"".join([head, *children, tail, b"\x00"])
    return b"".join([head, *children, tail, b"\x01", summed])


def document_sizes(chunks):
    """40 x 50 documents: 100 of 2 and 50 of 146 chunks, the rest of 50."""
    sizes = [50] * 2000
    for i in range(100):
        sizes[i * 20 + 7] = 2
    for i in range(50):
        sizes[i * 40 + 13] = 146
    assert sum(sizes) == 100_000, sum(sizes)
    scale = chunks / 100_000
    return [max(1, round(s * scale)) for s in sizes]


def compose_loaded_bytes(matrix):
    """The binary form of an index laid out by `document_sizes`."""
    dim = matrix.shape[1]
    zeros = bytes(4 * dim)
    sizes = document_sizes(matrix.shape[0])
    parts = []
    row = 0
    sessions = []
    documents = []
    for d, size in enumerate(sizes):
        size = min(size, matrix.shape[0] - row)
        chunk_ids = []
        for _ in range(size):
            chunk_id = make_id(CHUNK, row)
            embedding = matrix[row].tobytes()
            parts.append(record(chunk_id, CHUNK, [], 1, embedding, embedding))
            chunk_ids.append(chunk_id)
            row += 1
        doc_id = make_id(DOCUMENT, d)
        parts.append(record(doc_id, DOCUMENT, chunk_ids, 0, zeros, None))
        documents.append(doc_id)
        if len(documents) == 50 or d == len(sizes) - 1:
            session_id = make_id(SESSION, len(sessions))
            parts.append(record(session_id, SESSION, documents, 0, zeros, None))
            sessions.append(session_id)
            documents = []
    root = make_id(GLOBAL, 0)
    parts.append(record(root, GLOBAL, sessions, 0, zeros, None))
    header = b"KIV\x00" + struct.pack("<IIQ", 1, dim, len(parts)) + root
    trailer = bytes(32) + b"\x00"  # no current session or document, no weights
    return header + b"".join(parts) + trailer


def compose_chain_bytes(length, dim=2):
    """A root, a session and `length` documents that each list the next."""
    zeros = bytes(4 * dim)
    documents = [make_id(DOCUMENT, d) for d in range(length)]
    parts = [
        record(doc_id, DOCUMENT, documents[d + 1 : d + 2], 0, zeros, None)
        for d, doc_id in enumerate(documents)
    ]
    session = make_id(SESSION, 0)
    parts.append(record(session, SESSION, documents[:1], 0, zeros, None))
    root = make_id(GLOBAL, 0)
    parts.append(record(root, GLOBAL, [session], 0, zeros, None))
    header = b"KIV\x00" + struct.pack("<IIQ", 1, dim, len(parts)) + root
    return header + b"".join(parts) + bytes(33)


def measure_chains(lengths, repeat):
    """Median wall and CPU seconds of a full run; CPU time is the steadier on a busy machine."""
    print(f"{'documents':>10}{'full run, s':>14}{'x previous':>12}{'CPU s':>10}{'x previous':>12}")
    previous = None
    for length in lengths:
        data = compose_chain_bytes(length)
        wall, cpu = [], []
        for _ in range(repeat):
            index = orlo_kiv.KivIndex.from_bytes(data)  # each run prunes the whole chain
            start, start_cpu = time.perf_counter(), time.process_time()
            index.consolidate_full()
            wall.append(time.perf_counter() - start)
            cpu.append(time.process_time() - start_cpu)
            assert index.stats().document_count == 0
        seconds = (statistics.median(wall), statistics.median(cpu))
        ratios = (
            ["", ""]
            if previous is None
            else [f"{s / p:.2f}" for s, p in zip(seconds, previous, strict=True)]
        )
        print(f"{length:>10,}{seconds[0]:>14.3f}{ratios[0]:>12}{seconds[1]:>10.3f}{ratios[1]:>12}")
        previous = seconds


def measure(name, index, baseline, repeat):
    stats = index.stats()
    print(
        f"\n{name}: {len(index)} chunks, {stats.document_count} documents, "
        f"{stats.session_count} sessions"
    )
    light = timed(index.consolidate, repeat)
    start = time.perf_counter()
    index.consolidate_full()
    full = time.perf_counter() - start
    after = index.stats()
    full_again = timed(index.consolidate_full, repeat)
    print(f"  full run reshaped documents {stats.document_count} -> {after.document_count}")
    print(f"  {'run':<28}{'seconds':>10}{'x light':>10}{'x numpy':>10}")
    for label, seconds in [
        ("numpy: 3 x matrix.sum(0)", baseline),
        ("light", light),
        ("full (reshaping)", full),
        ("full (nothing to reshape)", full_again),
    ]:
        print(f"  {label:<28}{seconds:>10.3f}{seconds / light:>10.2f}{seconds / baseline:>10.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chunks", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=1536)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--chain",
        type=int,
        nargs="*",
        metavar="LENGTH",
        help="time full runs on chains of documents (default 64,000, 128,000, 256,000)",
    )
    args = parser.parse_args()
    if args.chain is not None:
        measure_chains(args.chain or [64_000, 128_000, 256_000], args.repeat)
        return

    rng = np.random.default_rng(7)
    matrix = rng.standard_normal((args.chunks, args.dim), dtype=np.float32)
    baseline = numpy_three_sums(matrix, args.repeat)

    start = time.perf_counter()
    index = build_by_add(matrix)
    print(f"built by add in {time.perf_counter() - start:.1f} s")
    measure("built by add", index, baseline, args.repeat)
    del index

    data = compose_loaded_bytes(matrix)
    try:
        loaded = orlo_kiv.KivIndex.from_bytes(data)
    except NotImplementedError:
        print("\nloaded with over-full documents: pending (from_bytes is not available)")
        return
    del data
    measure("loaded, with over-full documents", loaded, baseline, args.repeat)


if __name__ == "__main__":
    main()
