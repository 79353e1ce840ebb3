"""orlo_memory on PostgreSQL next to SQLite, on the same data: adds per second
(batches, from 1 and from 4 processes), search latency (vector mode over raw
`near` on the same index; hybrid and lexical), and reopening with turns after
the last checkpoint. Needs a server; a throw-away one:

    bash .ci/postgres .venv/bin/python bench/bench_memory_postgres.py [--turns 100000]

Each PostgreSQL run gets a fresh database, dropped afterwards.
"""

from __future__ import annotations

import argparse
import contextlib
import multiprocessing
import os
import statistics
import sys
import tempfile
import time
import urllib.parse
from collections.abc import Iterator

import numpy as np
import psycopg
from psycopg import sql

import orlo_kiv
from orlo_memory import Memory

WORDS = [f"word{n}" for n in range(500)]


@contextlib.contextmanager
def fresh_database(server: str) -> Iterator[str]:
    name = "orlo_bench_" + os.urandom(4).hex()
    with psycopg.connect(server, autocommit=True) as admin:
        admin.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(name)))
    try:
        yield urllib.parse.urlunsplit(urllib.parse.urlsplit(server)._replace(path="/" + name))
    finally:
        with psycopg.connect(server, autocommit=True) as admin:
            admin.execute(sql.SQL("DROP DATABASE {} WITH (FORCE)").format(sql.Identifier(name)))


def data(count: int, dim: int, seed: int) -> np.ndarray:
    v = np.random.default_rng(seed).standard_normal((count, dim)).astype(np.float32)
    v /= np.linalg.norm(v, axis=1, keepdims=True)
    return v


def texts(start: int, count: int) -> list[str]:
    rng = np.random.default_rng(start)
    picks = rng.integers(0, len(WORDS), size=(count, 6))
    return [f"turn {start + i} " + " ".join(WORDS[w] for w in row) for i, row in enumerate(picks)]


def add_all(url: str, user: str, count: int, dim: int, batch: int, seed: int) -> float:
    """Adds `count` turns in batches; returns the seconds the adds took."""
    vectors = data(count, dim, seed)
    with Memory.open(url, dimension=dim) as memory:
        target = memory.user(user)
        start = time.perf_counter()
        for first in range(0, count, batch):
            last = min(count, first + batch)
            target.add_many(texts(first, last - first), embeddings=vectors[first:last])
        return time.perf_counter() - start


def _worker(url: str, user: str, count: int, dim: int, batch: int, seed: int, go, out) -> None:
    vectors = data(count, dim, seed)
    with Memory.open(url, dimension=dim) as memory:
        target = memory.user(user)
        chunks = [texts(seed * count + f, min(batch, count - f)) for f in range(0, count, batch)]
        go.wait()
        for number, first in enumerate(range(0, count, batch)):
            target.add_many(chunks[number], embeddings=vectors[first : first + batch])
        out.put(time.perf_counter())


def add_parallel(url: str, shared: bool, total: int, dim: int, batch: int) -> float:
    """Turns per second of 4 processes adding total/4 turns each, to one user
    (`shared`) or to one user each; measured from the common start."""
    Memory.open(url, dimension=dim).close()
    context = multiprocessing.get_context("spawn")
    go, out = context.Event(), context.Queue()
    processes = [
        context.Process(
            target=_worker,
            args=(url, "shared" if shared else f"u{n}", total // 4, dim, batch, n + 1, go, out),
        )
        for n in range(4)
    ]
    for process in processes:
        process.start()
    time.sleep(3.0)  # let them import and connect
    start = time.perf_counter()
    go.set()
    ends = [out.get(timeout=3600) for _ in processes]
    for process in processes:
        process.join()
    return total / (max(ends) - start)


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def search_latencies(url: str, dim: int, queries: int) -> dict[str, list[float]]:
    vectors = data(queries, dim, 99)
    words = np.random.default_rng(7).integers(0, len(WORDS), size=(queries, 3))
    questions = [" ".join(WORDS[w] for w in row) for row in words]
    out: dict[str, list[float]] = {"near": [], "vector": [], "hybrid": [], "lexical": []}
    with Memory.open(url) as memory:
        user = memory.user("solo")
        user.search("", 10, mode="vector", embedding=vectors[0])  # loads the index
        index = user._log.index().index  # the very index the memory searches
        modes = ("near", "vector", "hybrid", "lexical")
        for number, (query, question) in enumerate(zip(vectors, questions, strict=True)):
            # The first call of a query warms the caches for the next: `near`
            # and vector mode take turns at going first.
            for mode in modes if number % 2 else (modes[1], modes[0], *modes[2:]):
                start = time.perf_counter()
                if mode == "near":
                    index.near(query, 10)
                else:
                    user.search(question, 10, mode=mode, embedding=query)
                out[mode].append(time.perf_counter() - start)
    return out


def reopen(url: str, dim: int, tail: int, seed: int) -> tuple[float, float]:
    """Seconds to reopen the user (snapshot + `tail` events) and to
    `KivIndex.from_bytes` the same snapshot."""
    vectors = data(tail, dim, seed)
    with Memory.open(url, checkpoint_every=10**9) as memory:
        user = memory.user("solo")
        user.checkpoint()
        user.add_many(texts(10**7, tail), embeddings=vectors)
        memory._logs._cache.clear()  # close without a checkpoint: the tail stays a tail
    start = time.perf_counter()
    with Memory.open(url) as memory:
        user = memory.user("solo")
        user.stats()
        opened = time.perf_counter() - start
        snapshot = memory._store.read_snapshot(user._uid)
        memory._logs._cache.clear()
    assert snapshot is not None
    content = bytes(snapshot.data)  # SQLite maps the snapshot file
    snapshot.close()
    start = time.perf_counter()
    orlo_kiv.KivIndex.from_bytes(content)
    return opened, time.perf_counter() - start


def run_backend(name: str, url: str, args: argparse.Namespace) -> dict[str, object]:
    seconds = add_all(url, "solo", args.turns, args.dim, args.batch, 1)
    if name == "PostgreSQL":
        # What autovacuum does within a minute of a bulk load; until then the
        # planner does not know that one user holds every row, and the full-text
        # index's pending list is not merged (lexical ranking 2-5x slower).
        with psycopg.connect(url, autocommit=True) as conn:
            conn.execute("VACUUM ANALYZE orlo_memory.turns")
    latencies = search_latencies(url, args.dim, args.queries)
    opened, loaded = reopen(url, args.dim, 1000, 2)
    return {"adds": args.turns / seconds, "latencies": latencies, "reopen": (opened, loaded)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--server", default=os.environ.get("ORLO_MEMORY_TEST_POSTGRES"))
    parser.add_argument("--turns", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--batch", type=int, default=1000)
    parser.add_argument("--queries", type=int, default=1000)
    args = parser.parse_args()
    if not args.server:
        sys.exit("give --server postgresql://... or run under `bash .ci/postgres`")
    results = {}
    with tempfile.TemporaryDirectory() as directory:
        results["SQLite"] = run_backend("SQLite", os.path.join(directory, "m.db"), args)
    with fresh_database(args.server) as url:
        results["PostgreSQL"] = run_backend("PostgreSQL", url, args)
    parallel = {}
    for shared in (False, True):
        with fresh_database(args.server) as url:
            parallel[shared] = add_parallel(url, shared, args.turns, args.dim, args.batch)

    print(f"\n{args.turns:,} turns x {args.dim}, batches of {args.batch}, k = 10\n")
    print(
        "| backend | adds/s (1 process) | near p50 | vector p50 | vector/near |"
        " hybrid p50 / p99 | lexical p50 | reopen (1,000 after snapshot) | from_bytes |"
    )
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, result in results.items():
        lat = result["latencies"]
        near = statistics.median(lat["near"]) * 1e6
        vector = statistics.median(lat["vector"]) * 1e6
        opened, loaded = result["reopen"]
        print(
            f"| {name} | {result['adds']:,.0f} | {near:,.0f} µs | {vector:,.0f} µs |"
            f" {vector / near:.2f}x | {statistics.median(lat['hybrid']) * 1e3:.1f} /"
            f" {percentile(lat['hybrid'], 0.99) * 1e3:.1f} ms |"
            f" {statistics.median(lat['lexical']) * 1e3:.1f} ms | {opened:.2f} s | {loaded:.2f} s |"
        )
    print(f"\nPostgreSQL, 4 processes, {args.turns // 4:,} turns each:")
    print(f"  one user each:  {parallel[False]:,.0f} adds/s")
    print(f"  the same user:  {parallel[True]:,.0f} adds/s")


if __name__ == "__main__":
    main()
