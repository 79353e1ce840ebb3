"""Stalls: what other clients of a server see while one of them waits or hangs.

Two tables:
- under load (8 clients on one user, 4 searching users of their own), one
  user's write lock held by another process (on SQLite that is the
  database's write lock) while one more client keeps writing to that user:
  p50/p99 of other users' searches, of the health check and of the loaded
  user's requests, and how long the blocked writes took to be refused (503
  after --lock-wait, 2 s here); SQLite with one server process and, with
  ORLO_MEMORY_TEST_POSTGRES, PostgreSQL with two;
- a flood of idle connections, a tenth as many sending half a request head
  and as many a body that never ends, against a real server: a normal
  client's health checks and searches, each on a new connection, timed.

Bounded (seconds each), loopback only; run by bench_server.py or alone.

Usage: python bench/bench_server_stalls.py [--seconds S] [--connections N]
"""

from __future__ import annotations

import argparse
import contextlib
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

import httpx
import numpy as np
from bench_memory import percentile, unit_rows
from bench_server import DIM, b64, backends, build_memory, post, serve, table, unit_rows_dim

# Holds one user's write lock (on SQLite: the database's) in a process of its own.
_HOLDER = """
import sys, time
from orlo_memory.stores import open_store
store = open_store(sys.argv[1])
uid = store.ensure_user(sys.argv[2], int(time.time() * 1e6))
with store.transaction(uid):
    print("held", flush=True)
    time.sleep(float(sys.argv[3]))
store.close()
"""


@dataclass
class Timings:
    """(seconds, status) of each request, by kind; failures by kind."""

    seen: dict[str, list[tuple[float, int]]] = field(default_factory=dict)
    lock: threading.Lock = field(default_factory=threading.Lock)

    def add(self, kind: str, seconds: float, status: int) -> None:
        with self.lock:
            self.seen.setdefault(kind, []).append((seconds, status))

    def summary(self, kind: str, ok: tuple[int, ...] = (200, 201)) -> str:
        """p50 / p99 of the answers with an `ok` status, and the others by status."""
        rows = self.seen.get(kind, [])
        good = [seconds for seconds, status in rows if status in ok]
        others: dict[int, int] = {}
        for _, status in rows:
            if status not in ok:
                others[status] = others.get(status, 0) + 1
        failed = ", ".join(f"{count} x {status or 'no answer'}" for status, count in others.items())
        shown = f"{len(good)} of {len(rows)}" + (f"; {failed}" if failed else "")
        if not good:
            return shown
        p50, p99 = percentile(good, 0.5) * 1e3, percentile(good, 0.99) * 1e3
        return f"{p50:.1f} / {p99:.1f} ms ({shown})"


def _timed(base: str, kind: str, user: str, seed: int, stop: threading.Event, out: Timings) -> None:
    """Requests of one kind until `stop`: "shared" alternates adds and
    searches, "search" searches, "health" checks health every 20 ms,
    "blocked" adds (each waits on the held lock)."""
    rng = np.random.default_rng(seed)
    path = f"{base}/v1/users/{user}"
    with httpx.Client(timeout=60.0) as http:
        n = 0
        while not stop.is_set():
            n += 1
            vector = b64(unit_rows_dim(rng, 1, DIM)[0])
            add = kind == "blocked" or (kind == "shared" and n % 2 == 0)
            began = time.perf_counter()
            try:
                if kind == "health":
                    response = http.get(base + "/v1/health")
                elif add:
                    turn = {"text": f"turn {n} of {seed} word{n % 200}", "embedding": vector}
                    response = http.post(path + "/turns", json=turn)
                else:
                    query = {"query": f"word{n % 200} turn", "k": 10, "embedding": vector}
                    response = http.post(path + "/search", json=query)
                status = response.status_code
            except httpx.HTTPError:
                status = 0
            out.add(kind, time.perf_counter() - began, status)
            if kind == "health":
                time.sleep(0.02)


def stall(base: str, location: str, seconds: float) -> Timings:
    """Load on the server (8 clients on one user, 4 searching users of their
    own, one checking health) while another process holds the write lock of
    a fifth user, whom one more client keeps writing to."""
    with httpx.Client(timeout=120.0) as http:
        for n, user in enumerate(["shared", "own-0", "own-1", "own-2", "own-3"]):
            turns = [
                {"text": f"turn {i} word{i % 200}", "embedding": b64(row)}
                for i, row in enumerate(unit_rows_dim(np.random.default_rng(n), 500, DIM))
            ]
            post(http, f"{base}/v1/users/{user}/turns/batch", {"turns": turns}).raise_for_status()
    holder = subprocess.Popen(
        [sys.executable, "-c", _HOLDER, location, "blocked", str(seconds + 60)],
        stdout=subprocess.PIPE,
        text=True,
    )
    out = Timings()
    stop = threading.Event()
    try:
        assert holder.stdout is not None and holder.stdout.readline().strip() == "held"
        kinds = [("shared", "shared")] * 8 + [("search", f"own-{n}") for n in range(4)]
        kinds += [("health", ""), ("blocked", "blocked")]
        threads = [
            threading.Thread(target=_timed, args=(base, kind, user, seed, stop, out))
            for seed, (kind, user) in enumerate(kinds)
        ]
        for thread in threads:
            thread.start()
        time.sleep(seconds)
        stop.set()
        for thread in threads:
            thread.join()
    finally:
        holder.kill()
        holder.wait()
    return out


def stall_rows(seconds: float) -> list[tuple[str, ...]]:
    rows = []
    for backend, workers, location in backends():
        with contextlib.ExitStack() as stack:
            where = stack.enter_context(location())
            options = ("--precomputed", "--dimension", str(DIM), "--lock-wait", "2")
            base = stack.enter_context(serve(where, *options, workers=workers))
            out = stall(base, where, seconds)
        rows.append(
            (
                f"{backend}, {workers} process{'es' if workers > 1 else ''}",
                out.summary("search"),
                out.summary("health"),
                out.summary("shared"),
                out.summary("blocked", ok=(503,)),
            )
        )
    return rows


def _flood(port: int, count: int, stack: contextlib.ExitStack) -> None:
    """`count` idle connections, a tenth sending half a request head, a tenth
    a body that never ends."""
    head = f"POST /v1/health HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
    for n in range(count + count // 5):
        sock = stack.enter_context(socket.create_connection(("127.0.0.1", port)))
        if n >= count + count // 10:
            sock.sendall((head + "Content-Length: 1000\r\n\r\n{").encode())
        elif n >= count:
            sock.sendall(head.encode())


def flood_rows(connections: int, requests: int) -> list[tuple[str, ...]]:
    """Health checks and searches of a normal client, each on a new
    connection, while `connections` idle and slow ones are open."""
    rows = []
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "bench.db")
        build_memory(path, 2000)
        with serve(path, "--precomputed") as base, contextlib.ExitStack() as stack:
            port = int(base.rsplit(":", 1)[1])
            _flood(port, connections, stack)
            out = Timings()
            rng = np.random.default_rng(5)
            # A new connection for every request (httpx's own setup kept out of the timing).
            with httpx.Client(base_url=base, timeout=10, headers={"Connection": "close"}) as http:
                for n in range(requests):
                    kind = "search" if n % 2 else "health"
                    began = time.perf_counter()
                    try:
                        if kind == "search":
                            vector = b64(unit_rows(rng, 1)[0])
                            body = {"query": "the river", "k": 10, "embedding": vector}
                            status = http.post("/v1/users/bench/search", json=body).status_code
                        else:
                            status = http.get("/v1/health").status_code
                    except httpx.HTTPError:
                        status = 0
                    out.add(kind, time.perf_counter() - began, status)
    for kind in ("health", "search"):
        rows.append((f"{kind}, new connection each", out.summary(kind)))
    return rows


def report(seconds: float, connections: int) -> None:
    print(
        f"A user's write lock held by another process for {seconds:g} s, under load (8 "
        "clients on one user, 4 searching their own users, one writing to the blocked "
        "user): p50 / p99 of answered requests"
    )
    table(
        ("backend", "others' searches", "health", "the 8 on one user", "blocked: 503 after"),
        stall_rows(seconds),
    )
    print(
        f"{connections:,} idle connections, {connections // 10:,} sending half a head and "
        f"{connections // 10:,} a body that never ends (SQLite, 2,000 turns)"
    )
    table(("request", "p50 / p99"), flood_rows(connections, 400))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=20.0, help="the lock is held this long")
    parser.add_argument("--connections", type=int, default=1000, help="idle ones in the flood")
    args = parser.parse_args()
    report(args.seconds, args.connections)


if __name__ == "__main__":
    main()
