"""A small bounded load test (the benchmark's, at a tenth of a percent of its
size): concurrent clients mixing adds and searches on one user and on users
of their own, against SQLite (one server process) and PostgreSQL (two worker
processes on one database). No request may fail, and every acknowledged
turn must be stored exactly once."""

import concurrent.futures
import contextlib
import sqlite3
import time

import httpx
import pytest
from server_helpers import DIM, fresh_database, load, postgres_server, serve, vector_for

from orlo_memory import Memory


@pytest.mark.slow
@pytest.mark.parametrize(("backend", "workers"), [("sqlite", 1), ("postgresql", 2)])
def test_concurrent_clients_lose_and_duplicate_nothing(tmp_path, backend, workers):
    with contextlib.ExitStack() as stack:
        if backend == "sqlite":
            location = str(tmp_path / "load.db")
        else:
            location = stack.enter_context(fresh_database(postgres_server()))
        options = ("--create", "--precomputed", "--dimension", str(DIM))
        base = stack.enter_context(serve(location, *options, workers=workers))
        result = load(base, requests=30, dim=DIM, shared=8, others=4)
    assert result.errors == []
    assert len(result.latencies) == 12 * 30
    assert sum(len(ids) for ids in result.acknowledged.values()) == 12 * 15
    assert (result.lost, result.duplicated, result.unacknowledged) == (0, 0, 0)


def test_a_write_waiting_on_another_process_leaves_health_answering(tmp_path):
    """Another process holds the SQLite write lock: a write waits for it at
    most --lock-wait seconds, then 503 problem+json with Retry-After; the
    health check answers meanwhile; once the lock is free writes succeed."""
    path = str(tmp_path / "memory.db")
    with Memory.open(path, dimension=DIM) as memory:
        memory.user("alice").add("hello", embedding=vector_for("hello"))
    turn = {"text": "waits", "embedding": vector_for("waits").tolist()}
    options = ("--precomputed", "--lock-wait", "2")
    with serve(path, *options) as base, httpx.Client(base_url=base, timeout=30) as http:
        holder = sqlite3.connect(path, timeout=0, isolation_level=None)
        holder.execute("BEGIN IMMEDIATE")
        try:
            with concurrent.futures.ThreadPoolExecutor(1) as pool:
                waiting = pool.submit(http.post, "/v1/users/alice/turns", json=turn)
                time.sleep(0.5)
                assert not waiting.done()
                health = http.get("/v1/health", timeout=1.0)
                assert health.status_code == 200 and not waiting.done()
                refused = waiting.result()
        finally:
            holder.rollback()
            holder.close()
        assert refused.status_code == 503
        assert refused.headers["content-type"] == "application/problem+json"
        assert refused.headers["retry-after"] == "1"
        assert http.post("/v1/users/alice/turns", json=turn).status_code == 201


def test_health_says_when_the_database_does_not_answer():
    """Another session locks the token table the health probe reads: health
    answers 503 problem+json with Retry-After within about a second, then
    200 again once the lock is gone (PostgreSQL only: SQLite readers never wait)."""
    import psycopg

    with (
        fresh_database(postgres_server()) as url,
        serve(url, "--precomputed", "--dimension", str(DIM)) as base,
        httpx.Client(base_url=base, timeout=10) as http,
    ):
        assert http.get("/v1/health").status_code == 200
        with psycopg.connect(url) as locker:
            locker.execute("LOCK TABLE orlo_memory.tokens IN ACCESS EXCLUSIVE MODE")
            time.sleep(1.1)  # the last probe's answer is no longer fresh
            began = time.monotonic()
            answer = http.get("/v1/health")
            assert time.monotonic() - began < 2.0
            assert answer.status_code == 503, answer.text
            assert answer.headers["content-type"] == "application/problem+json"
            assert answer.headers["retry-after"] == "1"
            assert "database" in answer.json()["detail"]
            locker.rollback()
        deadline = time.monotonic() + 10
        while http.get("/v1/health").status_code != 200:
            assert time.monotonic() < deadline, "health stayed 503 after the lock was gone"
            time.sleep(0.1)
