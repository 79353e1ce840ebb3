"""Other users' latency while one user's writes wait for a lock held by another
process, on one `Memory` shared by threads (as a server's worker shares it):

  - `quiet`: 4 clients search their own users (hybrid, embeddings given) and
    4 read those users' stats, each one call every --interval ms;
  - `busy`: the same, and 8 clients on a fifth user: 4 add to it and 4
    search it, paced alike;
  - `held`: as `busy` while another process holds that user's write lock
    (on SQLite the file's): each add waits up to --busy-timeout, fails with
    StoreUnavailableError, and its client tries again.
`busy` against `held` is the cost of the wait to the others.

It prints p50, p99 and max per phase for the other users' searches and stats,
and for the blocked user's searches; with --server-down (PostgreSQL, needs
ORLO_MEMORY_TEST_POSTGRES_CTL, set by .ci/postgres) also how long calls take
to fail while the server is stopped, and the first call after it is back.

    .venv/bin/python bench/bench_concurrency.py
    bash .ci/postgres .venv/bin/python bench/bench_concurrency.py --postgres --server-down
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import os
import shlex
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterator

import numpy as np

from orlo_memory import Memory, StoreUnavailableError

OTHERS = 4
WRITERS = 4  # on the blocked user
READERS = 4  # on the blocked user
KINDS = ("search", "stats")
WORDS = [f"word{n}" for n in range(5000)]  # each in about 0.2% of the turns

_HOLD_LOCK = """
import sys
url, uid = sys.argv[1], int(sys.argv[2])
if url.startswith("postgresql://"):
    import psycopg
    from orlo_memory.stores.postgres.schema import LOCK_SPACE, LOCK_SQL
    conn = psycopg.connect(url, autocommit=True)
    conn.execute("BEGIN")
    conn.execute(LOCK_SQL, (LOCK_SPACE, uid))
else:
    import sqlite3
    conn = sqlite3.connect(url, isolation_level=None)
    conn.execute("BEGIN IMMEDIATE")
print("held", flush=True)
sys.stdin.read()
"""


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def unit_rows(count: int, dim: int, seed: int) -> np.ndarray:
    rows = np.random.default_rng(seed).standard_normal((count, dim)).astype(np.float32)
    return rows / np.linalg.norm(rows, axis=1, keepdims=True)


def texts(count: int, seed: int) -> list[str]:
    picks = np.random.default_rng(seed).integers(0, len(WORDS), size=(count, 8))
    return [" ".join(WORDS[w] for w in row) for row in picks]


@contextlib.contextmanager
def fresh_database(server: str) -> Iterator[str]:
    import psycopg
    from psycopg import sql

    name = "orlo_bench_" + os.urandom(4).hex()
    with psycopg.connect(server, autocommit=True) as admin:
        admin.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(name)))
    try:
        yield urllib.parse.urlunsplit(urllib.parse.urlsplit(server)._replace(path="/" + name))
    finally:
        with psycopg.connect(server, autocommit=True) as admin:
            admin.execute(sql.SQL("DROP DATABASE {} WITH (FORCE)").format(sql.Identifier(name)))


@contextlib.contextmanager
def lock_held(url: str, uid: int) -> Iterator[None]:
    """Another process holds the user's write lock (SQLite: the file's)."""
    holder = subprocess.Popen(
        [sys.executable, "-c", _HOLD_LOCK, url, str(uid)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        if holder.stdout is None or holder.stdout.readline() != "held\n":
            raise RuntimeError("the lock holder did not start")
        yield
    finally:
        if holder.stdin is not None:
            holder.stdin.close()
        holder.wait(timeout=60)


class Timings:
    """Latencies in ms per kind, from several threads."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.found: dict[str, list[float]] = {}

    def timed(self, kind: str, call: Callable[[], object]) -> None:
        start = time.perf_counter()
        call()
        spent = (time.perf_counter() - start) * 1000
        with self._lock:
            self.found.setdefault(kind, []).append(spent)

    def report(self, phase: str) -> None:
        for kind, values in sorted(self.found.items()):
            p50, p99 = np.percentile(values, [50, 99])
            print(
                f"| {phase} | {kind} | {len(values)} | {p50:.2f} | {p99:.2f} | {max(values):.1f} |"
            )


def fill(memory: Memory, names: list[str], turns: int, dim: int) -> None:
    for number, name in enumerate(names):
        user = memory.user(name)
        for first in range(0, turns, 1000):
            count = min(1000, turns - first)
            user.add_many(
                texts(count, number * 7919 + first),
                embeddings=unit_rows(count, dim, number * 7919 + first),
            )
        progress(f"  {name}: {turns} turns")


def run_phase(memory: Memory, args: argparse.Namespace, blocked: bool) -> Timings:
    """Runs the clients of one phase for `args.seconds` (with `blocked`,
    those of the fifth user too); returns the timings of the calls that
    answered. A client makes one call every `args.interval` ms, or at once
    when its last call took longer."""
    timings = Timings()
    stop = threading.Event()
    queries = unit_rows(64, args.dim, 99)
    words = texts(64, 98)

    def paced(kind: str, name: str, number: int) -> None:
        user = memory.user(name)
        label = f"{name.rstrip('0123456789')}: {kind}"
        n = number
        due = time.perf_counter()
        while not stop.is_set():
            n += 1
            call: Callable[[], object] = user.stats
            if kind == "search":
                call = functools.partial(
                    user.search, words[n % 64], 10, embedding=queries[n % 64], mode=args.mode
                )
            elif kind == "add":
                call = functools.partial(user.add, f"{number} {n}", embedding=queries[n % 64])
            with contextlib.suppress(StoreUnavailableError):
                timings.timed(label, call)
            due += args.interval / 1000
            stop.wait(max(0.0, due - time.perf_counter()))

    clients = [(kind, f"other{n}", n) for n in range(OTHERS) for kind in KINDS]
    if blocked:
        clients += [("add", "blocked", n) for n in range(WRITERS)]
        clients += [("search", "blocked", n) for n in range(READERS)]
    threads = [threading.Thread(target=paced, args=client) for client in clients]
    for thread in threads:
        thread.start()
    time.sleep(args.seconds)
    stop.set()
    for thread in threads:
        thread.join()
    return timings


def server_down(memory: Memory, pg_ctl: list[str], dim: int) -> None:
    """Seconds each call takes to fail while the server is stopped, and the
    first call after it is back."""
    user = memory.user("other0")
    query = unit_rows(1, dim, 5)[0]
    calls: dict[str, Callable[[], object]] = {
        "add": lambda: user.add("while down", embedding=query),
        "search": lambda: user.search("word1", 10, embedding=query),
        "stats": user.stats,
        "users": memory.users,
    }
    subprocess.run([*pg_ctl, "-m", "fast", "stop"], check=True, capture_output=True)
    try:
        for name, call in calls.items():
            spent = []
            for _ in range(5):
                start = time.perf_counter()
                with contextlib.suppress(StoreUnavailableError):
                    call()
                spent.append(time.perf_counter() - start)
            median, worst = np.median(spent) * 1000, max(spent) * 1000
            print(f"| server down | {name} | 5 | {median:.1f} | | {worst:.1f} |")
    finally:
        subprocess.run([*pg_ctl, "start"], check=True, capture_output=True)
    start = time.perf_counter()
    user.search("word1", 10, embedding=query)
    print(f"| server back | first search | 1 | {(time.perf_counter() - start) * 1000:.1f} | | |")


def bench(url: str, args: argparse.Namespace) -> None:
    names = [f"other{n}" for n in range(OTHERS)] + ["blocked"]
    with Memory.open(url, dimension=args.dim, busy_timeout=args.busy_timeout) as memory:
        progress("filling")
        fill(memory, names, args.turns, args.dim)
        for name in names:  # load every index before timing
            memory.user(name).stats()
        backend = "PostgreSQL" if url.startswith("postgresql://") else "SQLite"
        print(
            f"{backend}: {args.turns} turns x {args.dim} per user, {args.mode} search, one call"
            f" per client every {args.interval:g} ms, busy_timeout {args.busy_timeout:g} s\n"
        )
        print("| phase | calls | count | p50 ms | p99 ms | max ms |")
        print("|---|---|---|---|---|---|")
        progress("quiet phase")
        run_phase(memory, args, blocked=False).report("quiet")
        progress("busy phase")
        run_phase(memory, args, blocked=True).report("busy")
        progress("held phase: another process holds the lock")
        with lock_held(url, memory.user("blocked")._uid):
            timings = run_phase(memory, args, blocked=True)
        timings.report("held")
        ctl = os.environ.get("ORLO_MEMORY_TEST_POSTGRES_CTL")
        if args.server_down and url.startswith("postgresql://") and ctl:
            progress("server down")
            server_down(memory, shlex.split(ctl), args.dim)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--postgres",
        action="store_true",
        help="on a fresh database of the server at $ORLO_MEMORY_TEST_POSTGRES (else SQLite)",
    )
    parser.add_argument("--turns", type=int, default=2000, help="turns per user (2000)")
    parser.add_argument("--dim", type=int, default=384, help="embedding dimension (384)")
    parser.add_argument("--seconds", type=float, default=8.0, help="length of a phase (8)")
    parser.add_argument(
        "--interval", type=float, default=50.0, help="ms between a client's calls (50)"
    )
    parser.add_argument(
        "--mode",
        choices=["hybrid", "vector", "lexical"],
        default="hybrid",
        help="search mode (hybrid)",
    )
    parser.add_argument(
        "--busy-timeout", type=float, default=5.0, help="the memory's busy_timeout (5 s)"
    )
    parser.add_argument(
        "--server-down", action="store_true", help="also stop and restart the PostgreSQL server"
    )
    args = parser.parse_args()
    if args.postgres:
        server = os.environ.get("ORLO_MEMORY_TEST_POSTGRES")
        if not server:
            parser.error("--postgres needs ORLO_MEMORY_TEST_POSTGRES (run under .ci/postgres)")
        with fresh_database(server) as url:
            bench(url, args)
        return
    with tempfile.TemporaryDirectory() as folder:
        bench(os.path.join(folder, "memory.db"), args)


if __name__ == "__main__":
    main()
