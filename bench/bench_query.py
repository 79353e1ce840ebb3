"""Query latency and recall of KivIndex.near against its memory floor, brute force and ANN peers.

Builds one index per case from clustered synthetic embeddings shaped like
conversations (sessions of documents of about 50 chunks; each document a noisy
cluster around a topic direction that drifts within its session), then runs
the same Python query lists through every method and prints, per method, the
median and p99 latency of one query and recall@k against exact search.

The floor: a query has to read every vector it scores once from memory. For
each query the scoped queries count the vectors `near` scores (every session,
the documents of the best B sessions, the chunks of the best B documents,
B = max(beam width, k)); numpy then scores that many rows of the corpus,
`X[o:o+m] @ q`, at a random offset o, so that no cache holds them. `near` and
the floor run interleaved, query by query, so that both see the same machine;
the table gives the medians and the median of the per-query ratios.

    python bench/bench_query.py                      # both cases of the table
    python bench/bench_query.py --case 20000x1536    # a quicker run
    python bench/bench_query.py --plot               # also docs/latency_recall.png
    python bench/bench_query.py --huge-pages         # malloc on transparent huge pages

Every method runs on one thread, as near does: the BLAS behind numpy and
faiss's OpenMP pool are limited to one thread. Peers that are not installed
(pip install .[bench]) are skipped.

Resident memory per chunk: a fresh process maps the embeddings from a file
(so they are not anonymous memory), builds the index, and reports how much its
anonymous resident memory grew, per chunk and over the raw embedding size. The
excess is split into the centroids of the containers above the chunks (one full
vector per document and session, so set by how many documents the tree has)
and everything else a chunk costs.
"""

import argparse
import gc
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

# Before numpy loads its BLAS: one thread, like every other method here.
for _variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_variable, "1")

import numpy as np  # noqa: E402

import orlo_kiv  # noqa: E402

try:
    from threadpoolctl import threadpool_limits
except ImportError:  # pragma: no cover - optional; the environment already asks for one thread
    threadpool_limits = None
try:
    import hnswlib
except ImportError:  # pragma: no cover - optional peer
    hnswlib = None
try:
    import faiss
except ImportError:  # pragma: no cover - optional peer
    faiss = None

DEFAULT_CASES = ["100000x1536", "1000000x384"]
HNSW_EFS = (10, 20, 50, 100, 200, 400)
CHUNKS_PER_DOCUMENT = 50
DOCUMENTS_PER_SESSION = 20
CHUNK_NOISE = 0.6  # chunk = topic + noise: cosine to its topic about 0.86
TOPIC_DRIFT = 0.5  # next document's topic = this one + drift
QUERY_NOISE = 0.6
PLOT_PATH = pathlib.Path(__file__).resolve().parent.parent / "docs" / "latency_recall.png"


def anonymous_resident_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon in /proc/self/status")


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


def timed_us(function, argument):
    start = time.perf_counter_ns()
    result = function(argument)
    return (time.perf_counter_ns() - start) / 1000.0, result


def summarise(latencies, found, total):
    """Median and p99 latency in microseconds and mean recall."""
    latencies = sorted(latencies)
    p99 = latencies[min(len(latencies) - 1, int(0.99 * len(latencies)))]
    return statistics.median(latencies), p99, found / total


def measure(search, queries, truth, k):
    """Median and p99 latency in microseconds and mean recall@k."""
    for q in queries[:20]:
        search(q)  # warm caches and lazy initialisation
    latencies = []
    found = 0
    gc.disable()
    try:
        for q, expected in zip(queries, truth, strict=True):
            elapsed, ids = timed_us(search, q)
            latencies.append(elapsed)
            found += len(expected.intersection(ids))
    finally:
        gc.enable()
    return summarise(latencies, found, k * len(queries))


def build_kiv(chunks, boundaries, beam_width):
    """The index, with chunk ids that are the row numbers in hex."""
    config = orlo_kiv.KivConfig().with_beam_width(beam_width)
    index = orlo_kiv.KivIndex.with_config(chunks.shape[1], config)
    for start, end, new_session in boundaries:
        if new_session:
            index.new_session()
        index.new_document()
        for row in range(start, end):
            index.add_with_id(f"{row:032x}", chunks[row])
    return index


def memory_child(path, boundaries_path):
    """Run in a fresh process: build from mapped embeddings, print the growth."""
    chunks = np.asarray(np.load(path, mmap_mode="r"))  # a plain array over the mapping
    boundaries = [tuple(row) for row in np.load(boundaries_path).tolist()]
    gc.collect()
    before = anonymous_resident_bytes()
    index = build_kiv(chunks, boundaries, 3)
    grown = anonymous_resident_bytes() - before
    stats = index.stats()
    print(grown, stats.global_count + stats.session_count + stats.document_count)
    del index


def resident_per_chunk(chunks, boundaries):
    """Anonymous resident bytes an index of `chunks` adds, built in a fresh
    process, and the number of containers above the chunks."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "chunks.npy")
        boundaries_path = os.path.join(directory, "boundaries.npy")
        np.save(path, chunks)
        np.save(boundaries_path, np.array(boundaries, dtype=np.int64))
        output = subprocess.run(
            [sys.executable, __file__, "--memory-child", path, boundaries_path],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
    grown, containers = output.split()[-2:]
    return int(grown) / len(chunks), int(containers)


def scored_vectors(index, q, k, beam_width):
    """How many vectors one `near` scores, counted through the scoped queries."""
    width = max(beam_width, k)
    sessions = index.near_sessions(q, 1 << 30)
    documents = []
    for session in sessions[:width]:
        documents.extend(index.near_documents(session.id, q, 1 << 30))
    best_documents = sorted(documents, key=lambda doc: -doc.score)[:width]
    chunks = sum(len(index.near_in_document(doc.id, q, 1 << 30)) for doc in best_documents)
    return len(sessions) + len(documents) + chunks


def measure_near_and_floor(index, chunks, queries, truth, k, beam_width, rng):
    """near and the floor, interleaved query by query (order alternating)."""
    counts = [scored_vectors(index, q, k, beam_width) for q in queries]
    arrays = [np.asarray(q, dtype=np.float32) for q in queries]
    n = len(chunks)

    def near(q):
        return index.near(q, k)

    def floor(job):
        offset, m, q = job
        return chunks[offset : offset + m] @ q

    for q, a, m in zip(queries[:20], arrays[:20], counts[:20], strict=True):
        near(q)
        floor((0, m, a))
    near_times, floor_times, ratios = [], [], []
    found = 0
    gc.disable()
    try:
        for i, (q, a, m, expected) in enumerate(zip(queries, arrays, counts, truth, strict=True)):
            job = (int(rng.integers(0, n - m + 1)), m, a)
            if i % 2:
                floor_time, _ = timed_us(floor, job)
                near_time, ids = timed_us(near, q)
            else:
                near_time, ids = timed_us(near, q)
                floor_time, _ = timed_us(floor, job)
            near_times.append(near_time)
            floor_times.append(floor_time)
            ratios.append(near_time / floor_time)
            found += len(expected.intersection(int(hit.id, 16) for hit in ids))
    finally:
        gc.enable()
    near_stats = summarise(near_times, found, k * len(queries))
    floor_stats = summarise(floor_times, 0, 1)
    return near_stats, floor_stats, statistics.median(ratios), statistics.median(counts)


def size_query_times(index, calls=20_000):
    """Median time in microseconds of len(), bool(), is_empty() and stats()."""
    out = {}
    for name, call in [
        ("len()", lambda: len(index)),
        ("bool()", lambda: bool(index)),
        ("is_empty()", index.is_empty),
        ("stats()", index.stats),
    ]:
        samples = []
        for _ in range(calls // 100):
            start = time.perf_counter_ns()
            for _ in range(100):
                call()
            samples.append((time.perf_counter_ns() - start) / 100 / 1000.0)
        out[name] = statistics.median(samples)
    return out


def run_case(n, d, query_count, k, beam_widths, seed):
    rng = np.random.default_rng(seed)
    t = time.perf_counter()
    chunks, boundaries = conversations(n, d, rng)
    queries = make_queries(chunks, query_count, rng)
    print(
        f"# {n} x {d}: {len(boundaries)} documents, data in {time.perf_counter() - t:.1f} s",
        file=sys.stderr,
    )
    rows = []  # (method, build s, median µs, p99 µs, recall)
    notes = []

    per_chunk, containers = resident_per_chunk(chunks, boundaries)
    # Every root, session and document keeps a centroid of full width; that
    # share is set by the shape of the tree (documents close at the fill limit),
    # the rest is what storing a chunk costs beside its embedding.
    centroids = containers * d * 4 / n
    notes.append(
        f"resident memory per chunk: {per_chunk:,.0f} bytes, "
        f"{per_chunk / (d * 4):.3f} x the raw {d * 4:,} bytes; of the excess, "
        f"{centroids:,.0f} bytes are the centroids of {containers:,} containers above the "
        f"chunks and {per_chunk - d * 4 - centroids:,.0f} bytes the rest"
    )
    kiv = []
    for width in beam_widths:
        t = time.perf_counter()
        index = build_kiv(chunks, boundaries, width)
        kiv.append((width, index, time.perf_counter() - t))
    sizes = size_query_times(kiv[0][1])
    notes.append(
        "size queries (median per call, including the Python call): "
        + ", ".join(f"{name} {us:.3f} µs" for name, us in sizes.items())
    )
    truth = exact_top_k(chunks, queries, k)

    def brute_force(q):
        scores = chunks @ np.asarray(q, dtype=np.float32)
        top = np.argpartition(-scores, k)[:k]
        return top[np.argsort(-scores[top])]

    rows.append(("numpy brute force", "-", *measure(brute_force, queries, truth, k)))

    for width, index, build in kiv:
        near, floor, ratio, vectors = measure_near_and_floor(
            index, chunks, queries, truth, k, width, np.random.default_rng(seed + width)
        )
        rows.append((f"orlo_kiv near, beam {width}", f"{build:.0f}", *near))
        rows.append((f"floor: numpy X[o:o+m] @ q, m = {vectors:,.0f}", "-", *floor[:2], None))
        notes.append(
            f"beam {width}: near scores {vectors:,.0f} vectors per query (median); "
            f"near / floor: {near[0] / floor[0]:.2f} (medians), "
            f"{ratio:.2f} (median of per-query ratios)"
        )
    del kiv, index
    gc.collect()

    if hnswlib is not None:
        t = time.perf_counter()
        graph = hnswlib.Index(space="cosine", dim=d)
        graph.init_index(max_elements=n)
        graph.add_items(chunks, np.arange(n), num_threads=2)
        build = time.perf_counter() - t
        graph.set_num_threads(1)
        for ef in HNSW_EFS:
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

    return rows, notes


def plot(results, k, path):
    """Latency against recall, one panel per case."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(results), figsize=(6.5 * len(results), 4.8), squeeze=False)
    for axis, (case, rows) in zip(axes[0], results, strict=True):
        hnsw = [
            (recall, median) for name, _, median, _, recall in rows if name.startswith("hnswlib")
        ]
        if hnsw:
            recalls, medians = zip(*hnsw, strict=True)
            axis.plot(recalls, medians, "o-", color="tab:orange", label="hnswlib, ef 10 to 400")
            for ef, (recall, median) in zip(HNSW_EFS, hnsw, strict=True):
                axis.annotate(
                    f"ef={ef}",
                    (recall, median),
                    textcoords="offset points",
                    xytext=(4, -10),
                    fontsize=7,
                    color="tab:orange",
                )
        styles = {
            "orlo_kiv": ("*", "tab:blue", 14),
            "numpy": ("s", "tab:gray", 8),
            "faiss": ("D", "tab:green", 8),
        }
        for name, _, median, _, recall in rows:
            if recall is None or name.startswith("hnswlib"):
                continue
            marker, color, size = styles[name.split()[0]]
            axis.plot([recall], [median], marker, color=color, markersize=size, label=name)
        floors = [median for name, _, median, _, _ in rows if name.startswith("floor")]
        if floors:
            axis.axhline(
                floors[0],
                color="tab:blue",
                linestyle=":",
                linewidth=1,
                label="memory floor of near (numpy, same vectors)",
            )
        axis.set_yscale("log")
        axis.set_xlabel(f"recall@{k}")
        axis.set_ylabel("median latency per query (µs, log scale)")
        axis.set_title(f"{case}, one thread")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=7, loc="center left")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"# plot written to {path}", file=sys.stderr)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--memory-child":
        memory_child(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--case",
        action="append",
        metavar="CHUNKSxDIMS",
        help="chunks x dimensions, repeatable (default: {})".format(", ".join(DEFAULT_CASES)),
    )
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("-k", type=int, default=10)
    parser.add_argument("--beam-width", type=int, action="append", help="repeatable (default: 3)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument(
        "--plot",
        action="store_true",
        help=f"draw latency against recall into {PLOT_PATH.relative_to(PLOT_PATH.parent.parent)}",
    )
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
    limits = threadpool_limits(limits=1) if threadpool_limits is not None else None

    print(f"| case | method | build s | median µs | p99 µs | recall@{args.k} | vs numpy |")
    print("|---|---|---:|---:|---:|---:|---:|")
    results = []
    all_notes = []
    for case in args.case or DEFAULT_CASES:
        n, d = (int(part) for part in case.lower().split("x"))
        rows, notes = run_case(n, d, args.queries, args.k, args.beam_width or [3], args.seed)
        results.append((f"{n:,} x {d}", rows))
        all_notes.extend(f"{n:,} x {d}: {note}" for note in notes)
        numpy_median = rows[0][2]
        for name, build, median, p99, recall in rows:
            shown = "-" if recall is None else f"{recall:.3f}"
            print(
                f"| {n:,} x {d} | {name} | {build} | {median:,.0f} | {p99:,.0f} | "
                f"{shown} | {numpy_median / median:,.1f}x |",
                flush=True,
            )
    print()
    for note in all_notes:
        print(f"- {note}")
    if limits is not None:
        limits.unregister()
    if args.plot:
        plot(results, args.k, PLOT_PATH)


if __name__ == "__main__":
    main()
