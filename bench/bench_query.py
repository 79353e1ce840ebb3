"""Query latency and recall of KivIndex.near against brute force and ANN peers.

Builds one index per case from clustered synthetic embeddings shaped like
conversations (sessions of documents of about 50 chunks; each document a noisy
cluster around a topic direction that drifts within its session), then runs
the same Python query lists through every method and prints, per method, the
median and p99 latency of one query and recall@k against exact search.

    python bench/bench_query.py                      # both cases of the table
    python bench/bench_query.py --case 20000x1536    # a quicker run
    python bench/bench_query.py --huge-pages         # malloc on transparent huge pages

Every method runs on one thread, as near does: the BLAS behind numpy and
faiss's OpenMP pool are limited to one thread. Peers that are not installed
(pip install .[bench]) are skipped.
"""

import argparse
import gc
import os
import statistics
import sys
import time

# Before numpy loads its BLAS: one thread, like every other method here.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402

import orlo_kiv  # noqa: E402

try:
    import hnswlib
except ImportError:  # pragma: no cover - optional peer
    hnswlib = None
try:
    import faiss
except ImportError:  # pragma: no cover - optional peer
    faiss = None

DEFAULT_CASES = ["100000x1536", "1000000x384"]
CHUNKS_PER_DOCUMENT = 50
DOCUMENTS_PER_SESSION = 20
CHUNK_NOISE = 0.6  # chunk = topic + noise: cosine to its topic about 0.86
TOPIC_DRIFT = 0.5  # next document's topic = this one + drift
QUERY_NOISE = 0.6


def unit_rows(x):
    return x / np.linalg.norm(x, axis=1, keepdims=True)


def conversations(n, d, rng):
    """n chunk vectors (float32, unit length) and the document of each."""
    chunks = np.empty((n, d), dtype=np.float32)
    boundaries = []  # (start, end, new_session)
    start = 0
    topic = None
    documents = 0
    while start < n:
        new_session = documents % DOCUMENTS_PER_SESSION == 0
        if new_session:
            topic = unit_rows(rng.standard_normal((1, d)))
        else:
            topic = unit_rows(topic + TOPIC_DRIFT * rng.standard_normal((1, d)) / np.sqrt(d))
        size = min(n - start, int(rng.integers(40, 61)))
        noise = rng.standard_normal((size, d)) / np.sqrt(d)
        chunks[start : start + size] = unit_rows(topic + CHUNK_NOISE * noise)
        boundaries.append((start, start + size, new_session))
        start += size
        documents += 1
    return chunks, boundaries


def make_queries(chunks, count, rng):
    picks = rng.integers(0, len(chunks), count)
    noise = rng.standard_normal((count, chunks.shape[1])) / np.sqrt(chunks.shape[1])
    queries = unit_rows(chunks[picks] + QUERY_NOISE * noise).astype(np.float32)
    return [q.tolist() for q in queries]  # what a caller holds: Python lists


def exact_top_k(chunks, queries, k):
    q = np.asarray(queries, dtype=np.float32)
    truth = []
    for start in range(0, len(q), 100):
        scores = q[start : start + 100] @ chunks.T
        top = np.argpartition(-scores, k, axis=1)[:, :k]
        truth.extend(set(row) for row in top)
    return truth


def measure(search, queries, truth, k):
    """Median and p99 latency in microseconds and mean recall@k."""
    for q in queries[:20]:
        search(q)  # warm caches and lazy initialisation
    latencies = []
    found = 0
    gc.disable()
    try:
        for q, expected in zip(queries, truth, strict=True):
            start = time.perf_counter_ns()
            ids = search(q)
            latencies.append((time.perf_counter_ns() - start) / 1000.0)
            found += len(expected.intersection(ids))
    finally:
        gc.enable()
    latencies.sort()
    p99 = latencies[min(len(latencies) - 1, int(0.99 * len(latencies)))]
    return statistics.median(latencies), p99, found / (k * len(queries))


def build_kiv(chunks, boundaries, beam_width):
    config = orlo_kiv.KivConfig().with_beam_width(beam_width)
    index = orlo_kiv.KivIndex.with_config(chunks.shape[1], config)
    row_of = {}
    for start, end, new_session in boundaries:
        if new_session:
            index.new_session()
        index.new_document()
        for row in range(start, end):
            row_of[index.add(chunks[row])] = row
    return index, row_of


def run_case(n, d, query_count, k, beam_widths, seed):
    rng = np.random.default_rng(seed)
    t = time.perf_counter()
    chunks, boundaries = conversations(n, d, rng)
    queries = make_queries(chunks, query_count, rng)
    truth = exact_top_k(chunks, queries, k)
    print(
        f"# {n} x {d}: {len(boundaries)} documents, data in {time.perf_counter() - t:.1f} s",
        file=sys.stderr,
    )
    rows = []

    def brute_force(q):
        scores = chunks @ np.asarray(q, dtype=np.float32)
        top = np.argpartition(-scores, k)[:k]
        return top[np.argsort(-scores[top])]

    rows.append(("numpy brute force", "-", *measure(brute_force, queries, truth, k)))

    for width in beam_widths:
        t = time.perf_counter()
        index, row_of = build_kiv(chunks, boundaries, width)
        build = time.perf_counter() - t

        def near(q, index=index, row_of=row_of):
            return [row_of[r.id] for r in index.near(q, k)]

        rows.append(
            (f"orlo_kiv near, beam {width}", f"{build:.0f}", *measure(near, queries, truth, k))
        )
        del index, row_of, near
        gc.collect()

    if hnswlib is not None:
        t = time.perf_counter()
        graph = hnswlib.Index(space="cosine", dim=d)
        graph.init_index(max_elements=n)
        graph.add_items(chunks, np.arange(n), num_threads=2)
        build = time.perf_counter() - t
        graph.set_num_threads(1)
        for ef in (10, 100):
            graph.set_ef(ef)

            def hnsw(q, graph=graph):
                labels, _ = graph.knn_query(np.asarray(q, dtype=np.float32), k=k)
                return labels[0]

            rows.append((f"hnswlib ef={ef}", f"{build:.0f}", *measure(hnsw, queries, truth, k)))
        del graph
        gc.collect()
    else:
        print("# hnswlib not installed: skipped", file=sys.stderr)

    if faiss is not None:
        faiss.omp_set_num_threads(1)
        t = time.perf_counter()
        flat = faiss.IndexFlatIP(d)
        flat.add(chunks)
        build = time.perf_counter() - t

        def flat_ip(q):
            _, labels = flat.search(np.asarray(q, dtype=np.float32).reshape(1, -1), k)
            return labels[0]

        rows.append(("faiss IndexFlatIP", f"{build:.0f}", *measure(flat_ip, queries, truth, k)))
        del flat
        gc.collect()
    else:
        print("# faiss not installed: skipped", file=sys.stderr)

    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--case",
        action="append",
        metavar="CHUNKSxDIMS",
        help=f"chunks x dimensions, repeatable (default: {', '.join(DEFAULT_CASES)})",
    )
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("-k", type=int, default=10)
    parser.add_argument(
        "--beam-width", type=int, action="append", help="repeatable (default: 3 and 10)"
    )
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--huge-pages",
        action="store_true",
        help="restart with glibc's malloc asking for transparent huge pages, "
        "which saves most TLB misses of scattered vectors (all methods)",
    )
    args = parser.parse_args()
    if args.huge_pages and "glibc.malloc.hugetlb" not in os.environ.get("GLIBC_TUNABLES", ""):
        tunables = ":".join(
            filter(None, [os.environ.get("GLIBC_TUNABLES"), "glibc.malloc.hugetlb=1"])
        )
        os.execve(
            sys.executable, [sys.executable, *sys.argv], dict(os.environ, GLIBC_TUNABLES=tunables)
        )

    print(f"| case | method | build s | median µs | p99 µs | recall@{args.k} | vs numpy |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for case in args.case or DEFAULT_CASES:
        n, d = (int(part) for part in case.lower().split("x"))
        rows = run_case(n, d, args.queries, args.k, args.beam_width or [3, 10], args.seed)
        numpy_median = rows[0][2]
        for name, build, median, p99, recall in rows:
            print(
                f"| {n:,} x {d} | {name} | {build} | {median:,.0f} | {p99:,.0f} | "
                f"{recall:.3f} | {numpy_median / median:,.1f}x |",
                flush=True,
            )


if __name__ == "__main__":
    main()
