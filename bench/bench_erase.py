"""Cost of erasing a user, and what of the user's texts stays in the files.

Fills a SQLite memory with one user of N turns (default 100,000) at 384
dimensions, a few of them forgotten, checkpointed, beside OTHERS turns of
another user (default 10,000); every text of the first user carries a marker
word. Then times `Memory.erase_user` split into its transaction (rows,
full-text entries, snapshot) and the cleanup after the commit (VACUUM, the
log's checkpoint and truncation), and counts the marker's bytes left in every
file under the memory's folder, while the memory is still open and after it
is closed. With --postgres URL it times the same erase on PostgreSQL (whose
files it cannot read: what stays there is told in the README).

Usage: python bench/bench_erase.py [--turns N] [--others N] [--dims D] [--postgres URL]
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

from orlo_memory import Memory
from orlo_memory.stores.sqlite import erase as sqlite_erase

MARKER = b"marker7f3a"
BATCH = 10_000


def fill(memory: Memory, name: str, turns: int, dims: int, marked: bool, seed: int) -> None:
    """`turns` turns of random unit vectors, added in batches; with `marked`
    each text carries the marker word and one turn in a hundred is forgotten."""
    rng = np.random.default_rng(seed)
    user = memory.user(name)
    for start in range(0, turns, BATCH):
        count = min(BATCH, turns - start)
        data = rng.standard_normal((count, dims), dtype=np.float32)
        data /= np.linalg.norm(data, axis=1, keepdims=True)
        word = "zebramarker7f3a" if marked else "plain"
        texts = [f"turn {start + n} of {name} {word} with a few more words" for n in range(count)]
        ids = user.add_many(texts, embeddings=data, progress=False)
        if marked:
            user.forget(ids[::100])
    user.checkpoint()


def marker_bytes(folder: str) -> int:
    found = 0
    for root, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(root, name), "rb") as stream:
                found += stream.read().count(MARKER)
    return found


def timed_erase(memory: Memory, name: str) -> tuple[float, float]:
    """Seconds of the whole erase and of its cleanup after the commit (SQLite)."""
    spent = {"scrub": 0.0}
    scrub = sqlite_erase.scrub

    def timed_scrub(db: object) -> None:
        started = time.perf_counter()
        scrub(db)
        spent["scrub"] += time.perf_counter() - started

    sqlite_erase.scrub = timed_scrub
    try:
        started = time.perf_counter()
        assert memory.erase_user(name)
        return time.perf_counter() - started, spent["scrub"]
    finally:
        sqlite_erase.scrub = scrub


def sqlite_run(args: argparse.Namespace) -> None:
    with tempfile.TemporaryDirectory(dir=".") as folder:
        path = os.path.join(folder, "memory.db")
        print(f"filling: {args.turns:,} turns to erase, {args.others:,} to keep", file=sys.stderr)
        with Memory.open(path, dimension=args.dims) as memory:
            fill(memory, "erased", args.turns, args.dims, True, 1)
            fill(memory, "kept", args.others, args.dims, False, 2)
        size = sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(folder) for f in fs)
        with Memory.open(path) as memory:
            total, scrub = timed_erase(memory, "erased")
            left_open = marker_bytes(folder)
        left_closed = marker_bytes(folder)
        print(f"SQLite, {size / 2**20:.0f} MiB of files before the erase:")
        print(f"  erase_user          {total:6.2f} s")
        print(f"    transaction       {total - scrub:6.2f} s")
        print(f"    VACUUM and log    {scrub:6.2f} s")
        print(f"  marker bytes left   {left_open} (memory open), {left_closed} (closed)")


def postgres_run(args: argparse.Namespace) -> None:
    with Memory.open(args.postgres, dimension=args.dims) as memory:
        print(f"filling: {args.turns:,} turns on PostgreSQL", file=sys.stderr)
        fill(memory, "erased", args.turns, args.dims, True, 1)
        started = time.perf_counter()
        assert memory.erase_user("erased")
        print(f"PostgreSQL: erase_user {time.perf_counter() - started:6.2f} s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=100_000, help="turns of the erased user")
    parser.add_argument("--others", type=int, default=10_000, help="turns of the user kept")
    parser.add_argument("--dims", type=int, default=384, help="embedding dimensions")
    parser.add_argument("--postgres", metavar="URL", help="also time the erase on this database")
    args = parser.parse_args()
    sqlite_run(args)
    if args.postgres:
        postgres_run(args)


if __name__ == "__main__":
    main()
