"""Filtered search at 100,000 turns: recall@10 against exact brute force over
the matching turns, and median latency next to the same search unfiltered,
for filters matching about 0.1%, 1%, 10% and 50% of the turns (and two
combined ones), on SQLite and, with a server, on PostgreSQL.

The turns: 384-d embeddings of synthetic conversations as bench_query.py
draws them for the index's own benchmark (sessions of documents of 40 to 60
turns, each a noisy cluster around a drifting topic; each document a topic of
the memory, each session one of its sessions), texts made of the sample
conversation's words with their frequencies (bench_memory.Texts), roles
alternating user and assistant, and metadata drawn independently of the
embeddings (so the matching turns are spread over every topic): {"p": an
integer from 0 to 999, "tag": one of ten strings}. The queries: noisy copies
of random turns (bench_query.py's), each with one of the evaluation's
questions as its text (for hybrid search). The targets: recall@10
at least 0.95 and the filtered p50 at most twice the unfiltered one, for
every filter.

The SQLite memory is built once and kept in --cache (rebuilt when its size
differs); a PostgreSQL one is built in a fresh database of the server that
ORLO_MEMORY_TEST_POSTGRES names, dropped afterwards:

    python bench/bench_filters.py [--turns N] [--queries Q]
    bash .ci/postgres python bench/bench_filters.py --postgres
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import statistics
import sys
import tempfile
import time
import urllib.parse
from collections.abc import Callable, Iterator
from typing import Any

import numpy as np
import numpy.typing as npt
from bench_memory import QUESTIONS, Texts, interleaved
from bench_query import QUERY_NOISE, conversations

from orlo_memory import Memory, NewTurn, UserMemory
from orlo_memory.core import ranking

Mask = npt.NDArray[np.bool_]
DIM = 384
BATCH = 2000
TAGS = [f"t{n}" for n in range(10)]
# (label, filter, the turns it matches as computed here)
FILTERS: list[tuple[str, dict[str, Any], Callable[[Data], Mask]]] = [
    ("0.1%", {"p": 7}, lambda d: d.p == 7),
    ("1%", {"p": {"$lt": 10}}, lambda d: d.p < 10),
    ("10%", {"tag": "t3"}, lambda d: d.tag == 3),
    ("50%", {"p": {"$gte": 500}}, lambda d: d.p >= 500),
    (
        "1%, two keys",
        {"role": "user", "p": {"$in": list(range(11, 31))}},
        lambda d: d.user & (d.p >= 11) & (d.p <= 30),
    ),
    (
        "0.15%, $or",
        {"$or": [{"p": 3}, {"tag": "t1", "p": {"$lt": 5}}]},
        lambda d: (d.p == 3) | ((d.tag == 1) & (d.p < 5)),
    ),
]

Matrix = npt.NDArray[np.float32]


class Data:
    """The turns and queries, drawn from fixed seeds (the same on every run)."""

    def __init__(self, turns: int, queries: int) -> None:
        rng = np.random.default_rng(26)
        self.vectors, boundaries = conversations(turns, DIM, rng)
        self.topic = np.zeros(turns, dtype=bool)
        self.session = np.zeros(turns, dtype=bool)
        for start, _, new_session in boundaries:
            (self.session if new_session else self.topic)[start] = True
        self.p = rng.integers(0, 1000, size=turns)
        self.tag = rng.integers(0, len(TAGS), size=turns)
        self.user = np.arange(turns) % 2 == 0
        picks = self.vectors[rng.integers(0, turns, size=queries)]
        noise = rng.standard_normal((queries, DIM)).astype(np.float32) / np.sqrt(DIM)
        self.queries = picks + QUERY_NOISE * noise
        self.queries /= np.linalg.norm(self.queries, axis=1, keepdims=True)
        questions = [
            json.loads(line)["question"]
            for line in QUESTIONS.read_text(encoding="utf-8").splitlines()
        ]
        self.texts = [questions[n % len(questions)] for n in range(queries)]

    def turns(self, start: int, end: int, texts: Texts) -> list[NewTurn]:
        words = texts.make(end - start)
        return [
            NewTurn(
                words[n - start] or "hello",
                role="user" if self.user[n] else "assistant",
                metadata={"p": int(self.p[n]), "tag": TAGS[self.tag[n]]},
                new_topic=bool(self.topic[n]),
                new_session=bool(self.session[n]),
            )
            for n in range(start, end)
        ]


def build(memory: Memory, data: Data) -> None:
    user = memory.user("bench")
    texts = Texts(seed=5)
    total = len(data.vectors)
    started = time.perf_counter()
    for start in range(0, total, BATCH):
        end = min(total, start + BATCH)
        user.add_many(data.turns(start, end, texts), embeddings=data.vectors[start:end])
        print(
            f"\r  building: {end:,} of {total:,} turns ({time.perf_counter() - started:.0f} s)",
            end="",
            file=sys.stderr,
            flush=True,
        )
    print(file=sys.stderr)


@contextlib.contextmanager
def sqlite_memory(folder: str, data: Data) -> Iterator[Memory]:
    path = os.path.join(folder, f"filters-{len(data.vectors)}.db")
    if os.path.exists(path):
        with Memory.open(path) as memory:
            if memory.user("bench").stats().turns == len(data.vectors):
                yield memory
                return
        for leftover in (path, path + "-wal", path + "-shm"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(leftover)
    os.makedirs(folder, exist_ok=True)
    with Memory.open(path, dimension=DIM) as memory:
        build(memory, data)
        memory.checkpoint()
        yield memory


@contextlib.contextmanager
def postgres_memory(data: Data) -> Iterator[Memory]:
    import psycopg
    from psycopg import sql

    server = os.environ.get("ORLO_MEMORY_TEST_POSTGRES")
    if not server:
        sys.exit("--postgres needs a server: bash .ci/postgres python bench/bench_filters.py ...")
    name = "orlo_bench_" + os.urandom(4).hex()
    with psycopg.connect(server, autocommit=True) as admin:
        admin.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(name)))
    try:
        url = urllib.parse.urlunsplit(urllib.parse.urlsplit(server)._replace(path="/" + name))
        with Memory.open(url, dimension=DIM) as memory:
            build(memory, data)
            with psycopg.connect(url, autocommit=True) as conn:
                conn.execute("ANALYZE")  # as autovacuum would, soon after a bulk load
            memory.checkpoint()
            yield memory
    finally:
        with psycopg.connect(server, autocommit=True) as admin:
            admin.execute(
                sql.SQL("DROP DATABASE IF EXISTS {} WITH (FORCE)").format(sql.Identifier(name))
            )


def exact_top(data: Data, mask: Mask, query: Matrix, k: int) -> set[int]:
    """The rows of the k matching turns nearest `query`, by brute force."""
    scores = np.where(mask, data.vectors @ query, -np.inf)
    best = np.argpartition(-scores, k)[:k]
    return {int(row) for row in best if np.isfinite(scores[row])}


class ExactCounter:
    """Counts the filtered vector rankings answered by exact scoring."""

    def __init__(self) -> None:
        self.calls = 0
        self._original = ranking.exact_ranking

    def __enter__(self) -> ExactCounter:
        def counted(*args: Any) -> Any:
            self.calls += 1
            return self._original(*args)

        ranking.exact_ranking = counted  # type: ignore[assignment]
        return self

    def __exit__(self, *exc: object) -> None:
        ranking.exact_ranking = self._original  # type: ignore[assignment]


def measure(user: UserMemory, data: Data, rows: dict[str, int], rounds: int) -> list[list[str]]:
    queries = len(data.queries)
    out = []

    def vector(where: dict[str, Any] | None) -> Callable[[int], object]:
        return lambda n: user.search("", 10, mode="vector", embedding=data.queries[n], filter=where)

    def hybrid(where: dict[str, Any] | None) -> Callable[[int], object]:
        return lambda n: user.search(data.texts[n], 10, embedding=data.queries[n], filter=where)

    everything = np.ones(len(data.vectors), dtype=bool)
    plain = []
    for n in range(queries):
        hits = vector(None)(n)
        truth = exact_top(data, everything, data.queries[n], 10)
        plain.append(len({rows[hit.id] for hit in hits} & truth) / 10)
    out.append(["none", f"{len(data.vectors):,}", "", f"{statistics.mean(plain):.3f}", "", ""])
    for label, where, matching in FILTERS:
        mask = matching(data)
        with ExactCounter() as counter:
            found = [vector(where)(n) for n in range(queries)]
        recall = []
        for n, hits in enumerate(found):
            truth = exact_top(data, mask, data.queries[n], 10)
            recall.append(len({rows[hit.id] for hit in hits} & truth) / max(len(truth), 1))
        cells = [label, f"{int(mask.sum()):,}", f"{counter.calls / queries:.0%}"]
        cells.append(f"{statistics.mean(recall):.3f}")
        for make in (vector, hybrid):
            times = interleaved({"plain": make(None), "filtered": make(where)}, queries, rounds)
            plain_ms = statistics.median(times["plain"]) * 1e3
            filtered_ms = statistics.median(times["filtered"]) * 1e3
            cells.append(f"{filtered_ms:.2f} / {plain_ms:.2f} ms = {filtered_ms / plain_ms:.1f}x")
        out.append(cells)
        print(f"  measured {label}", file=sys.stderr)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=100_000, help="default: 100,000")
    parser.add_argument("--queries", type=int, default=100, help="default: 100")
    parser.add_argument("--rounds", type=int, default=2, help="timed rounds (default: 2)")
    parser.add_argument(
        "--cache",
        default=os.path.join(tempfile.gettempdir(), "orlo_bench_filters"),
        help="where the SQLite memory is kept between runs",
    )
    parser.add_argument("--postgres", action="store_true", help="on PostgreSQL instead")
    args = parser.parse_args()
    data = Data(args.turns, args.queries)
    opened = postgres_memory(data) if args.postgres else sqlite_memory(args.cache, data)
    with opened as memory:
        user = memory.user("bench")
        rows = {turn.id: number for number, turn in enumerate(user.turns())}
        user.search("warm up", 10, embedding=data.queries[0])
        table = measure(user, data, rows, args.rounds)
    backend = "PostgreSQL" if args.postgres else "SQLite"
    print(f"\n{backend}, {args.turns:,} turns x {DIM}, {args.queries} queries, k = 10")
    head = ["filter", "matching", "exact", "recall@10", "vector p50 (vs none)", "hybrid p50"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    for cells in table:
        print("| " + " | ".join(cells) + " |")


if __name__ == "__main__":
    main()
