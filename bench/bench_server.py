"""The HTTP API against the library it serves, and a bounded load test.

Prints four tables:
- search p50 through the HTTP API (a real `orlo-memory serve` process,
  httpx with keep-alive) next to the same search called in-process on the
  same file, timed interleaved query by query, at 100,000 turns with
  precomputed 384-d embeddings (texts and vectors made as bench_memory.py
  makes them); and turns added per second through the batch endpoint next to
  `add_many` in-process, batches of 1,000;
- a load test on loopback: 8 clients x 2,000 requests mixing adds and
  searches on one user, plus 4 clients on users of their own, against SQLite
  (one server process) and PostgreSQL (two worker processes; needs
  ORLO_MEMORY_TEST_POSTGRES, e.g. `bash .ci/postgres python bench/...`):
  errors, p50/p99 latency, and whether every acknowledged turn is stored
  exactly once afterwards.

- stalls (bench_server_stalls.py): under that load, a user's write lock held
  by another process, and a flood of idle and slow connections.

`serve` and `load` are also what tests/server runs, at a small size.

Usage: python bench/bench_server.py [--turns N] [--requests R] [--skip-speed] [--skip-load]
       [--skip-stalls] [--stall-seconds S] [--connections N]
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import httpx
import numpy as np
import numpy.typing as npt
import orjson

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench_memory import Texts, percentile, unit_rows

from orlo_memory import Memory

DIM = 384
BATCH = 1000
JSON = {"Content-Type": "application/json"}
Matrix = npt.NDArray[np.float32]


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


@contextlib.contextmanager
def serve(location: str, *options: str, workers: int = 1, timeout: float = 120.0) -> Iterator[str]:
    """Runs `orlo-memory serve` on a free loopback port until the block ends
    (stopped even when it fails); yields the base URL."""
    port = free_port()
    command = [sys.executable, "-m", "orlo_memory", "serve", location, "--port", str(port)]
    command += [*options, "--workers", str(workers)]
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(command, stdout=log, stderr=log, start_new_session=True)
        base = f"http://127.0.0.1:{port}"
        try:
            deadline = time.monotonic() + timeout
            while not _healthy(base):
                if process.poll() is not None:
                    log.seek(0)
                    output = log.read().decode(errors="replace")
                    raise RuntimeError(f"the server exited: {output}")
                if time.monotonic() > deadline:
                    raise RuntimeError("the server did not start in time")
                time.sleep(0.1)
            yield base
        finally:
            # The server's own process group: its workers go with it.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGTERM)
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


def _healthy(base: str) -> bool:
    try:
        return httpx.get(base + "/v1/health", timeout=1.0).status_code == 200
    except httpx.TransportError:
        return False


# -- load test ---------------------------------------------------------------------


@dataclass
class LoadResult:
    latencies: list[float] = field(default_factory=list)
    errors: list[str] = field(default_factory=list)
    acknowledged: dict[str, list[str]] = field(default_factory=dict)  # user -> ids
    stored: dict[str, list[str]] = field(default_factory=dict)  # user -> ids afterwards
    seconds: float = 0.0

    @property
    def lost(self) -> int:
        return sum(
            len(set(ids) - set(self.stored.get(user, ())))
            for user, ids in self.acknowledged.items()
        )

    @property
    def duplicated(self) -> int:
        return sum(len(ids) - len(set(ids)) for ids in self.stored.values())

    @property
    def unacknowledged(self) -> int:
        return sum(
            len(set(ids) - set(self.acknowledged.get(user, ())))
            for user, ids in self.stored.items()
        )


def _client(
    base: str,
    user: str,
    requests: int,
    dim: int,
    seed: int,
    result: LoadResult,
    lock: threading.Lock,
    start: threading.Barrier,
) -> None:
    rng = np.random.default_rng(seed)
    vectors = unit_rows_dim(rng, requests, dim)
    acknowledged: list[str] = []
    latencies: list[float] = []
    errors: list[str] = []
    path = f"{base}/v1/users/{user}"
    with httpx.Client(timeout=60.0) as http:
        start.wait()
        for n in range(requests):
            vector = vectors[n].tolist()
            began = time.perf_counter()
            try:
                if n % 2 == 0:
                    key = f"load-{seed}-{n}"
                    text = f"turn {n} of client {seed}: word{int(rng.integers(0, 200))}"
                    response = http.post(
                        path + "/turns",
                        json={"text": text, "embedding": vector},
                        headers={"Idempotency-Key": key},
                    )
                    if response.status_code == 201:
                        acknowledged.append(response.json()["id"])
                else:
                    words = f"word{int(rng.integers(0, 200))} client"
                    response = http.post(
                        path + "/search", json={"query": words, "k": 10, "embedding": vector}
                    )
                latencies.append(time.perf_counter() - began)
                if response.status_code not in (200, 201):
                    errors.append(f"{response.status_code} {response.text[:200]}")
            except httpx.HTTPError as error:
                errors.append(repr(error))
    with lock:
        result.latencies.extend(latencies)
        result.errors.extend(errors)
        result.acknowledged.setdefault(user, []).extend(acknowledged)


def b64(vector: Matrix) -> str:
    """An embedding as the API's compact form: base64 of little-endian float32."""
    return base64.b64encode(np.ascontiguousarray(vector, dtype="<f4").tobytes()).decode()


def post(http: httpx.Client, url: str, body: Any) -> httpx.Response:
    return http.post(url, content=orjson.dumps(body), headers=JSON)


def unit_rows_dim(rng: np.random.Generator, count: int, dim: int) -> Matrix:
    rows = rng.standard_normal((count, dim), dtype=np.float32)
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    return rows


def stored_ids(base: str, user: str) -> list[str]:
    """Every live turn id of `user`, from the export (one line per turn)."""
    import orjson

    response = httpx.get(f"{base}/v1/users/{user}/export", timeout=120.0)
    response.raise_for_status()
    return [orjson.loads(line)["id"] for line in response.content.splitlines() if line]


def load(
    base: str, *, requests: int, dim: int, shared: int = 8, others: int = 4, tag: str = ""
) -> LoadResult:
    """`shared` clients on one user and `others` on a user each, `requests`
    requests per client (adds and searches alternating); then reads back
    every user's turns."""
    tag = tag or uuid.uuid4().hex[:6]
    users = [f"load-{tag}"] * shared + [f"load-{tag}-{n}" for n in range(others)]
    result = LoadResult()
    lock = threading.Lock()
    start = threading.Barrier(len(users) + 1)
    threads = [
        threading.Thread(
            target=_client, args=(base, user, requests, dim, seed + 1, result, lock, start)
        )
        for seed, user in enumerate(users)
    ]
    for thread in threads:
        thread.start()
    start.wait()
    began = time.perf_counter()
    for thread in threads:
        thread.join()
    result.seconds = time.perf_counter() - began
    for user in dict.fromkeys(users):
        result.stored[user] = stored_ids(base, user)
    return result


# -- speed against the library --------------------------------------------------------


def build_memory(path: str, turns: int, seed: int = 3) -> None:
    rng = np.random.default_rng(seed)
    texts = Texts(seed=5)
    with Memory.open(path, dimension=DIM) as memory:
        user = memory.user("bench")
        for number in range(turns // BATCH):
            if number % 20 == 0:
                user.new_session(f"session {number // 20}")
            user.add_many(texts.make(BATCH), embeddings=unit_rows(rng, BATCH))
            print(f"\rbuilding: {(number + 1) * BATCH:,} turns", end="", file=sys.stderr)
        print(file=sys.stderr)


def speed(turns: int, queries: int, batches: int) -> list[tuple[str, str, str, str]]:
    rows = []
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "bench.db")
        build_memory(path, turns)
        rng = np.random.default_rng(11)
        texts = Texts(seed=7)
        questions = texts.make(queries)
        vectors = unit_rows(rng, queries)
        with (
            serve(path, "--precomputed") as base,
            Memory.open(path) as memory,
            httpx.Client(timeout=60.0) as http,
        ):
            local = memory.user("bench")
            url = f"{base}/v1/users/bench/search"
            for mode in ("hybrid", "vector"):
                times: dict[str, list[float]] = {"http": [], "local": []}
                for n in range(queries):
                    body: dict[str, Any] = {
                        "query": questions[n],
                        "k": 10,
                        "mode": mode,
                        "embedding": b64(vectors[n]),
                    }
                    calls = [("http", body), ("local", body)]
                    for name, _ in calls if n % 2 == 0 else calls[::-1]:
                        began = time.perf_counter()
                        if name == "http":
                            post(http, url, body).raise_for_status()
                        else:
                            local.search(questions[n], 10, mode=mode, embedding=vectors[n])
                        times[name].append(time.perf_counter() - began)
                http_p50 = statistics.median(times["http"][10:])
                local_p50 = statistics.median(times["local"][10:])
                rows.append(
                    (
                        f"search {mode}, k=10, p50",
                        f"{http_p50 * 1e6:,.0f} µs",
                        f"{local_p50 * 1e6:,.0f} µs",
                        f"{http_p50 / local_p50:.2f}",
                    )
                )
            # Adds: the same batches through the endpoint (embeddings as base64
            # or as numbers, encoded by the client inside the timing) and
            # add_many, taking turns.
            spent = {"http, base64": 0.0, "http, numbers": 0.0, "local": 0.0}
            for number in range(batches):
                batch_texts = texts.make(BATCH)
                batch_vectors = unit_rows(rng, BATCH)
                names = list(spent)
                for name in names[number % 3 :] + names[: number % 3]:
                    began = time.perf_counter()
                    if name == "local":
                        memory.user("adds-local").add_many(batch_texts, embeddings=batch_vectors)
                    else:
                        rows_out: list[Any] = (
                            [b64(row) for row in batch_vectors]
                            if name == "http, base64"
                            else batch_vectors.tolist()
                        )
                        payload = {
                            "turns": [
                                {"text": text, "embedding": row}
                                for text, row in zip(batch_texts, rows_out, strict=True)
                            ]
                        }
                        user = name.replace(", ", "-")
                        url = f"{base}/v1/users/adds-{user}/turns/batch"
                        post(http, url, payload).raise_for_status()
                    spent[name] += time.perf_counter() - began
            local_rate = batches * BATCH / spent["local"]
            for name in ("http, base64", "http, numbers"):
                http_rate = batches * BATCH / spent[name]
                rows.append(
                    (
                        f"adds/s, batches of 1,000 ({name.split(', ')[1]})",
                        f"{http_rate:,.0f}",
                        f"{local_rate:,.0f}",
                        f"{http_rate / local_rate:.2f}",
                    )
                )
    return rows


@contextlib.contextmanager
def postgres_database(server: str) -> Iterator[str]:
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


def load_rows(requests: int) -> list[tuple[str, ...]]:
    rows = []
    for backend, workers, location in backends():
        with contextlib.ExitStack() as stack:
            where = stack.enter_context(location())
            options = ("--create", "--precomputed", "--dimension", str(DIM))
            base = stack.enter_context(serve(where, *options, workers=workers))
            result = load(base, requests=requests, dim=DIM)
        count = len(result.latencies)
        rows.append(
            (
                f"{backend}, {workers} process{'es' if workers > 1 else ''}",
                f"{count:,}",
                f"{count / result.seconds:,.0f}",
                f"{statistics.median(result.latencies) * 1e3:.1f} ms",
                f"{percentile(result.latencies, 0.99) * 1e3:.1f} ms",
                str(len(result.errors)),
                f"{sum(len(ids) for ids in result.acknowledged.values()):,}",
                f"{result.lost} / {result.duplicated} / {result.unacknowledged}",
            )
        )
        for error in result.errors[:5]:
            print("error:", error, file=sys.stderr)
    return rows


def backends() -> list[tuple[str, int, Any]]:
    """(name, workers, a context manager yielding a fresh location) per backend."""

    @contextlib.contextmanager
    def sqlite_file() -> Iterator[str]:
        with tempfile.TemporaryDirectory() as directory:
            yield os.path.join(directory, "bench.db")

    found: list[tuple[str, int, Any]] = [("sqlite", 1, sqlite_file)]
    server = os.environ.get("ORLO_MEMORY_TEST_POSTGRES")
    if server:
        found.append(("postgresql", 2, lambda: postgres_database(server)))
    else:
        print("PostgreSQL skipped: set ORLO_MEMORY_TEST_POSTGRES", file=sys.stderr)
    return found


def table(header: tuple[str, ...], rows: list[tuple[str, ...]]) -> None:
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" if n == 0 else "---:" for n in range(len(header))) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    print()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--turns", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=400)
    parser.add_argument("--batches", type=int, default=10)
    parser.add_argument("--requests", type=int, default=2000, help="per client in the load test")
    parser.add_argument("--skip-speed", action="store_true")
    parser.add_argument("--skip-load", action="store_true")
    parser.add_argument("--skip-stalls", action="store_true")
    parser.add_argument("--stall-seconds", type=float, default=20.0)
    parser.add_argument("--connections", type=int, default=1000, help="idle ones in the flood")
    args = parser.parse_args()
    if not args.skip_speed:
        rows = speed(args.turns, args.queries, args.batches)
        print(f"HTTP API against the library, {args.turns:,} turns x {DIM}")
        table(("", "HTTP", "in-process", "ratio"), rows)
    if not args.skip_load:
        print(f"Load: 8 clients x {args.requests:,} requests on one user + 4 on their own users")
        table(
            (
                "backend",
                "requests",
                "req/s",
                "p50",
                "p99",
                "errors",
                "acknowledged adds",
                "lost / duplicated / unacknowledged",
            ),
            load_rows(args.requests),
        )
    if not args.skip_stalls:
        from bench_server_stalls import report

        report(args.stall_seconds, args.connections)


if __name__ == "__main__":
    main()
