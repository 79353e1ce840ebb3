"""Speed of orlo_memory on a SQLite file at 100,000 turns.

Prints one table with the targets:
- turns added per second with precomputed 384-d embeddings, `add_many` in
  batches of 1,000 (checkpoints included, as they fall);
- vector `search` (k=10) over raw `KivIndex.near` on the same index, timed
  interleaved query by query, median of each;
- hybrid `search` p50 and p99 next to the lexical ranking alone (the store's
  FTS5 query), for the realistic queries (the evaluation's questions) and for
  the worst case (queries made of the words most frequent in the turns);
- `sessions(query)` p50 and p99 for the realistic queries;
- reopening with 1,000 turns after the last checkpoint (open, load the
  snapshot, replay, first search) over `KivIndex.load` of the same snapshot;
- with `--users N`: an add to one of N loaded users over an add to a memory
  of one user (timed interleaved), and `close()` per user with N users and
  with N/10 (every user has events to checkpoint).

The turns' texts are sentences drawn from the sample conversation's words
with their frequencies and its turn lengths, so common words are common and
rare words rare, as in a real conversation; embeddings are random unit
vectors. The machine is shared: measurements are interleaved and repeated,
and medians reported.

Usage: python bench/bench_memory.py [--turns N] [--rounds R] [--users N]
"""

from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import re
import shutil
import statistics
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt

import orlo_kiv
from orlo_memory import Memory, UserMemory
from orlo_memory.stores.lexical import query_terms

ROOT = Path(__file__).resolve().parent.parent
CONVERSATION = ROOT / "examples" / "data" / "conversation.jsonl"
QUESTIONS = ROOT / "bench" / "data" / "eval_questions.jsonl"
DIM = 384
BATCH = 1000
TAIL = 1000

Matrix = npt.NDArray[np.float32]


def unit_rows(rng: np.random.Generator, count: int) -> Matrix:
    rows = rng.standard_normal((count, DIM), dtype=np.float32)
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    return rows


class Texts:
    """Sentences drawn from the sample conversation's words and turn lengths."""

    def __init__(self, seed: int) -> None:
        counts: collections.Counter[str] = collections.Counter()
        lengths = []
        for line in CONVERSATION.read_text(encoding="utf-8").splitlines():
            words = re.findall(r"\S+", json.loads(line)["text"])
            lengths.append(len(words))
            counts.update(word.strip(".,!?;:()\"'") or word for word in words)
        self.words = list(counts)
        weights = np.array([counts[w] for w in self.words], dtype=np.float64)
        self.weights = weights / weights.sum()
        self.lengths = np.array(lengths)
        self.rng = np.random.default_rng(seed)
        # Query words for the worst case: the most frequent ones.
        self.common = [w for w, _ in counts.most_common(12)]

    def make(self, count: int) -> list[str]:
        lengths = self.rng.choice(self.lengths, size=count)
        picks = self.rng.choice(len(self.words), size=int(lengths.sum()), p=self.weights)
        out = []
        start = 0
        for length in lengths:
            out.append(" ".join(self.words[i] for i in picks[start : start + length]))
            start += length
        return out


def fill(
    user: UserMemory, texts: Texts, rng: np.random.Generator, turns: int
) -> tuple[float, float]:
    """Adds `turns` turns in batches; returns the turns per second of wall
    time and of the process's CPU time."""
    batches = [(texts.make(BATCH), unit_rows(rng, BATCH)) for _ in range(turns // BATCH)]
    gc.collect()
    started = time.perf_counter()
    cpu = time.process_time()
    for number, (batch, vectors) in enumerate(batches):
        if number % 20 == 0:
            user.new_session(f"session {number // 20}")
        user.add_many(batch, embeddings=vectors)
    return turns / (time.perf_counter() - started), turns / (time.process_time() - cpu)


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def interleaved(
    calls: dict[str, Callable[[int], object]], count: int, rounds: int
) -> dict[str, list[float]]:
    """Seconds per call of each function, alternating them call by call; the
    order flips from one call to the next, so neither always runs second on
    the caches the other warmed."""
    times: dict[str, list[float]] = {name: [] for name in calls}
    named = list(calls.items())
    for round_number in range(rounds):
        for n in range(count):
            turn = named if (n + round_number) % 2 == 0 else named[::-1]
            for name, call in turn:
                started = time.perf_counter()
                call(n)
                times[name].append(time.perf_counter() - started)
    return times


def filled_users(
    path: str, users: int, rng: np.random.Generator
) -> tuple[Memory, list[UserMemory]]:
    """A memory of `users` users with two turns each, every index loaded
    (and with events after its snapshot)."""
    memory = Memory.open(path, dimension=DIM, checkpoint_every=10**9)
    loaded = [memory.user(f"user {n}") for n in range(users)]
    for user in loaded:
        user.add_many(["hello", "how are you"], embeddings=unit_rows(rng, 2))
    return memory, loaded


def many_users(
    folder: str, users: int, rounds: int, rng: np.random.Generator
) -> list[tuple[str, str, str, str]]:
    """Rows of the table for the cost of an add and of close() with many users."""
    alone, [single] = filled_users(os.path.join(folder, "one.db"), 1, rng)
    crowd, loaded = filled_users(os.path.join(folder, "many.db"), users, rng)
    vectors = unit_rows(rng, 200)
    picks = rng.integers(0, users, size=200)
    same = loaded[users // 2]
    timed = interleaved(
        {
            "one": lambda n: single.add("one more", embedding=vectors[n]),
            "same": lambda n: same.add("one more", embedding=vectors[n]),
            "any": lambda n: loaded[picks[n]].add("one more", embedding=vectors[n]),
        },
        len(vectors),
        rounds,
    )
    alone.close()
    one_us = statistics.median(timed["one"]) * 1e6
    same_us = statistics.median(timed["same"]) * 1e6
    any_us = statistics.median(timed["any"]) * 1e6
    started = time.perf_counter()
    crowd.close()
    close_many = (time.perf_counter() - started) / users
    few = max(users // 10, 1)
    crowd, _ = filled_users(os.path.join(folder, "few.db"), few, rng)
    started = time.perf_counter()
    crowd.close()
    close_few = (time.perf_counter() - started) / few
    return [
        (
            f"add, to one of {users:,} loaded users / to a one-user memory",
            f"{same_us:.0f} / {one_us:.0f} us = {same_us / one_us:.2f}x",
            "<= 1.2x",
            "met" if same_us / one_us <= 1.2 else "NOT met",
        ),
        (
            f"add, each to a random one of {users:,} users / to a one-user memory",
            f"{any_us:.0f} / {one_us:.0f} us = {any_us / one_us:.2f}x",
            "(reported: adds cache misses)",
            "",
        ),
        (
            f"close() per user, {users:,} users / {few:,} users",
            f"{close_many * 1e3:.2f} / {close_few * 1e3:.2f} ms = {close_many / close_few:.2f}x",
            "independent of the users",
            "",
        ),
    ]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument(
        "--users", type=int, default=0, help="only the many-users case, with this many users"
    )
    args = parser.parse_args()
    if args.users:
        with tempfile.TemporaryDirectory() as folder:
            rows = many_users(folder, args.users, args.rounds, np.random.default_rng(3))
        print_table(
            f"{args.users:,} users of {DIM} dimensions, {args.rounds} interleaved rounds", rows
        )
        return
    rng = np.random.default_rng(3)
    texts = Texts(seed=5)
    rows: list[tuple[str, str, str, str]] = []
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.db")
        # -- adding ---------------------------------------------------------------
        rates = []
        for round_number in range(args.rounds):
            scratch = os.path.join(folder, f"rate{round_number}", "rate.db")
            os.makedirs(os.path.dirname(scratch))
            with Memory.open(scratch, dimension=DIM) as memory:
                rates.append(fill(memory.user("bench"), texts, rng, min(args.turns, 20_000)))
            shutil.rmtree(os.path.dirname(scratch))
        with Memory.open(path, dimension=DIM) as memory:
            user = memory.user("bench")
            full_wall, full_cpu = fill(user, texts, rng, args.turns)
        wall = statistics.median(rate[0] for rate in rates)
        cpu = statistics.median(rate[1] for rate in rates)
        rows.append(
            (
                "add_many, 1,000-turn batches, to 20,000 turns",
                f"{wall:,.0f}/s wall, {cpu:,.0f}/s of CPU time",
                ">= 20,000/s",
                "met" if cpu >= 20_000 else "NOT met",
            )
        )
        rows.append(
            (
                f"add_many, 1,000-turn batches, to {args.turns:,} turns",
                f"{full_wall:,.0f}/s wall, {full_cpu:,.0f}/s of CPU time",
                ">= 20,000/s",
                "met" if full_cpu >= 20_000 else "NOT met",
            )
        )

        # -- searching --------------------------------------------------------------
        questions = [
            json.loads(line)["question"]
            for line in QUESTIONS.read_text(encoding="utf-8").splitlines()
        ]
        query_vectors = unit_rows(rng, len(questions))
        worst = [" ".join(texts.common[i : i + 4]) for i in range(0, 9)]
        with Memory.open(path, dimension=DIM) as memory:
            user = memory.user("bench")
            user.search("warm up", 10, embedding=query_vectors[0])
            index = user._log.index().index  # the very index the memory searches
            store = memory._store
            uid = user._uid
            vector = interleaved(
                {
                    "near": lambda n: index.near(query_vectors[n], 10),
                    "search": lambda n: user.search(
                        "", 10, mode="vector", embedding=query_vectors[n]
                    ),
                },
                len(questions),
                args.rounds,
            )
            near_ms = statistics.median(vector["near"]) * 1e3
            search_ms = statistics.median(vector["search"]) * 1e3
            ratio = search_ms / near_ms
            rows.append(
                (
                    "vector search / raw near (k=10)",
                    f"{search_ms:.3f} / {near_ms:.3f} ms = {ratio:.2f}x",
                    "<= 1.5x",
                    "met" if ratio <= 1.5 else "NOT met",
                )
            )
            for label, queries in (("realistic", questions), ("worst case", worst)):

                def hybrid_call(n: int, q: list[str] = queries) -> object:
                    return user.search(q[n], 10, embedding=query_vectors[n])

                def lexical_call(n: int, q: list[str] = queries) -> object:
                    return store.lexical_search(uid, query_terms(q[n]), 40)

                measured = interleaved(
                    {"hybrid": hybrid_call, "lexical": lexical_call}, len(queries), args.rounds
                )
                hybrid, lexical = measured["hybrid"], measured["lexical"]
                rows.append(
                    (
                        f"hybrid search, {label} queries",
                        f"p50 {percentile(hybrid, 0.5) * 1e3:.2f} ms, "
                        f"p99 {percentile(hybrid, 0.99) * 1e3:.2f} ms; lexical ranking alone "
                        f"p50 {percentile(lexical, 0.5) * 1e3:.2f} ms, "
                        f"p99 {percentile(lexical, 0.99) * 1e3:.2f} ms",
                        "(reported)",
                        "",
                    )
                )
            ranked = interleaved(
                {
                    "sessions": lambda n: user.sessions(
                        questions[n], 5, embedding=query_vectors[n]
                    ),
                },
                len(questions),
                args.rounds,
            )["sessions"]
            sessions_ms = percentile(ranked, 0.5) * 1e3
            rows.append(
                (
                    "sessions(query, k=5), realistic queries",
                    f"p50 {sessions_ms:.2f} ms, p99 {percentile(ranked, 0.99) * 1e3:.2f} ms",
                    "p50 < 5 ms",
                    "met" if sessions_ms < 5.0 else "NOT met",
                )
            )
            memory.checkpoint()
        # -- reopening ------------------------------------------------------------------
        with Memory.open(path, dimension=DIM) as memory:
            user = memory.user("bench")
            user.add_many(texts.make(TAIL), embeddings=unit_rows(rng, TAIL))
            memory._logs._cache.clear()  # leave the tail after the checkpoint, as a crash would
        snapshots = os.path.join(folder, "bench.db-snapshots")
        [snapshot] = [os.path.join(snapshots, name) for name in os.listdir(snapshots)]
        probe = query_vectors[0]

        def reopen() -> None:
            with Memory.open(path, dimension=DIM) as memory:
                user = memory.user("bench")
                user.search("", 1, mode="vector", embedding=probe)
                memory._logs._cache.clear()  # keep the tail: every reopen replays it

        def load() -> None:
            orlo_kiv.KivIndex.load(snapshot)

        timed = interleaved({"reopen": lambda n: reopen(), "load": lambda n: load()}, 1, 5)
        reopen_s = statistics.median(timed["reopen"])
        load_s = statistics.median(timed["load"])
        rows.append(
            (
                f"reopen, {TAIL:,} turns after the checkpoint / KivIndex.load",
                f"{reopen_s * 1e3:.0f} / {load_s * 1e3:.0f} ms = {reopen_s / load_s:.2f}x",
                "<= 2x",
                "met" if reopen_s / load_s <= 2.0 else "NOT met",
            )
        )
    print_table(f"{args.turns:,} turns of {DIM} dimensions, {args.rounds} interleaved rounds", rows)


def print_table(title: str, rows: list[tuple[str, str, str, str]]) -> None:
    busy = os.getloadavg()[0]
    print(f"\n{title}, load average {busy:.1f} on {os.cpu_count()} cores\n")
    print("| measure | result | target | |")
    print("|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
