"""Shared helpers and fixtures of the orlo_memory tests (kept out of
conftest.py, whose module name the other test directory already uses; test
modules import the fixtures they use).

`memory_url` runs a test once per backend: a SQLite file in the test's
temporary directory, and a fresh PostgreSQL database on the server named by
ORLO_MEMORY_TEST_POSTGRES (`bash .ci/postgres ...` starts a throw-away one),
dropped afterwards. Without a server the PostgreSQL runs are skipped, unless
ORLO_MEMORY_REQUIRE_POSTGRES=1 (CI) makes that a failure."""

import contextlib
import hashlib
import os
import shlex
import subprocess
import urllib.parse

import numpy as np
import pytest

from orlo_memory.stores import is_url

DIM = 16
POSTGRES_URL_VARIABLE = "ORLO_MEMORY_TEST_POSTGRES"
POSTGRES_CTL_VARIABLE = "ORLO_MEMORY_TEST_POSTGRES_CTL"
HOW_TO_RUN_POSTGRES = (
    "PostgreSQL tests need a server: run `bash .ci/postgres make py-test`"
    f" (or set {POSTGRES_URL_VARIABLE}=postgresql://...)"
)


def vector_for(key: str, dim: int = DIM) -> np.ndarray:
    """A fixed pseudo-random unit vector for `key` (any process computes the same)."""
    seed = int.from_bytes(hashlib.sha256(key.encode()).digest()[:8], "little")
    v = np.random.default_rng(seed).standard_normal(dim).astype(np.float32)
    return v / np.linalg.norm(v)


def vectors(n: int, dim: int = DIM, seed: int = 0) -> np.ndarray:
    v = np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)
    return v / np.linalg.norm(v, axis=1, keepdims=True)


def skip_or_fail(reason: str) -> None:
    if os.environ.get("ORLO_MEMORY_REQUIRE_POSTGRES") == "1":
        pytest.fail(f"{reason} (ORLO_MEMORY_REQUIRE_POSTGRES=1)")
    pytest.skip(reason)


def postgres_server() -> str:
    """The URL of the test server's maintenance database."""
    url = os.environ.get(POSTGRES_URL_VARIABLE)
    if not url:
        skip_or_fail(HOW_TO_RUN_POSTGRES)
    try:
        import psycopg  # noqa: F401
    except ImportError:
        skip_or_fail("PostgreSQL tests need the [postgres] extra (psycopg)")
    return url


def is_postgres(url: str) -> bool:
    return is_url(url)  # the memory's own rule, so tests and memory agree


@contextlib.contextmanager
def fresh_database(server: str):
    """A new empty database on the server, as a URL; dropped on exit."""
    import psycopg
    from psycopg import sql

    name = "orlo_test_" + os.urandom(6).hex()
    with psycopg.connect(server, autocommit=True) as admin:
        admin.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(name)))
    try:
        yield urllib.parse.urlunsplit(urllib.parse.urlsplit(server)._replace(path="/" + name))
    finally:
        with psycopg.connect(server, autocommit=True) as admin:
            admin.execute(
                sql.SQL("DROP DATABASE IF EXISTS {} WITH (FORCE)").format(sql.Identifier(name))
            )


@pytest.fixture(params=["sqlite", "postgresql"])
def memory_url(request, tmp_path):
    """Where a test's memory lives: a SQLite file or a fresh PostgreSQL database."""
    if request.param == "sqlite":
        yield str(tmp_path / "memory.db")
        return
    with fresh_database(postgres_server()) as url:
        yield url


@pytest.fixture
def private_postgres():
    """A throw-away PostgreSQL server of the test's own, as (URL of its
    maintenance database, pg_ctl command): for a test that stops and starts its
    server, which would cut off the connections of the tests running beside it
    on the shared one. Started by .ci/postgres, which removes it when its
    command (here: waiting for standard input to close) ends."""
    postgres_server()  # skipped, or failed, as every PostgreSQL test is without a server
    script = os.path.join(os.path.dirname(__file__), "..", "..", ".ci", "postgres")
    if not os.path.exists(script):
        skip_or_fail(f"a private PostgreSQL server needs {script}")
    report = f'echo "url ${POSTGRES_URL_VARIABLE}"; echo "ctl ${POSTGRES_CTL_VARIABLE}"'
    child = subprocess.Popen(
        ["bash", script, "sh", "-c", report + "; read -r _"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    found = {}
    try:
        for line in child.stdout:
            key, _, value = line.rstrip("\n").partition(" ")
            if key in ("url", "ctl"):
                found[key] = value
            if len(found) == 2:
                break
        assert len(found) == 2, f"{script} started no server (exit code {child.wait()})"
        yield found["url"], shlex.split(found["ctl"])
    finally:
        child.stdin.close()
        child.wait(timeout=120)


@pytest.fixture
def postgres_url():
    """A fresh PostgreSQL database only, for the server's own tests."""
    with fresh_database(postgres_server()) as url:
        yield url


def run_sql(url: str, sqlite_statement: str, postgres_statement: str, params=()) -> list:
    """Runs one statement on the backend behind `url` outside the memory (to
    damage what it stored) and returns the rows."""
    if is_postgres(url):
        import psycopg

        with psycopg.connect(url, autocommit=True) as conn:
            cursor = conn.execute(postgres_statement, params)
            return cursor.fetchall() if cursor.description else []
    import sqlite3

    with contextlib.closing(sqlite3.connect(url)) as conn, conn:
        return conn.execute(sqlite_statement, params).fetchall()
