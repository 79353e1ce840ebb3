"""Other clients' latency while a flood of idle and slow connections is open.

Runs a small ASGI app in a server process of its own, once as plain uvicorn
(h11) and once behind the servers' guards and connection options, each
started with a soft limit of 1,024 open files (a common default). Against
each it opens N idle connections (nothing sent), N/10 that send half a
request head and N/10 that send a body one byte at a time, then times
requests of a normal client, each on a new connection (stopping after five
failures in a row): p50/p99, failed of tried, and
how many flood connections the server still holds once its head and body
deadlines (both 3 s here) have passed.

Usage: python bench/bench_slow_clients.py [--connections N] [--requests R]
"""

from __future__ import annotations

import argparse
import contextlib
import resource
import socket
import statistics
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

HEADER_TIMEOUT = 3.0


async def app(scope, receive, send):  # type: ignore[no-untyped-def]
    """Answers every request with 200 after reading its body."""
    if scope["type"] != "http":
        return
    while (await receive()).get("more_body"):
        pass
    await send({"type": "http.response.start", "status": 200, "headers": []})
    await send({"type": "http.response.body", "body": b"ok"})


def serve(port: int, guarded: bool) -> None:
    import uvicorn

    if not guarded:
        uvicorn.run(app, host="127.0.0.1", port=port, http="h11", log_level="error")
        return
    from orlo_memory.doors.server.connections import uvicorn_options
    from orlo_memory.doors.server.guards import guard
    from orlo_memory.doors.server.settings import ServerSettings

    settings = ServerSettings(
        "unused", port=port, header_timeout=HEADER_TIMEOUT, body_timeout=HEADER_TIMEOUT
    )
    uvicorn.run(guard(app, settings), **uvicorn_options(settings), log_level="error")


def _small_file_limit() -> None:
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, hard))


@contextlib.contextmanager
def server(guarded: bool) -> Iterator[int]:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    mode = "--guarded" if guarded else "--plain"
    command = [sys.executable, __file__, "--serve", str(port), mode]
    # A starved asyncio server logs every refused accept: its output is dropped.
    process = subprocess.Popen(
        command, preexec_fn=_small_file_limit, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    try:
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError), socket.create_connection(("127.0.0.1", port), 1):
                break
            time.sleep(0.05)
        yield port
    finally:
        process.terminate()
        process.wait(10)


def timed_request(port: int) -> float | None:
    """Seconds for one GET on a new connection; None when it fails or takes 5 s."""
    started = time.perf_counter()
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
            sock.sendall(b"GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            answer = b""
            while chunk := sock.recv(4096):
                answer += chunk
    except OSError:
        return None
    return time.perf_counter() - started if answer.startswith(b"HTTP/1.1 200") else None


def still_open(socks: list[socket.socket]) -> int:
    """How many of `socks` the server has not closed (what it sent is drained)."""
    count = 0
    for sock in socks:
        sock.setblocking(False)
        try:
            while sock.recv(65536):
                pass
        except BlockingIOError:
            count += 1  # nothing more to read, and not closed
        except OSError:
            pass  # reset: closed
    return count


def flood(port: int, connections: int) -> list[socket.socket]:
    socks = []
    for number in range(connections + connections // 5):
        try:
            sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError:
            continue
        if connections <= number < connections + connections // 10:
            sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n")
        elif number >= connections:
            sock.sendall(b"POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\n{")
        socks.append(sock)
    return socks


def run(guarded: bool, connections: int, requests: int) -> str:
    with server(guarded) as port:
        socks = flood(port, connections)
        times: list[float | None] = []
        while len(times) < requests and times[-5:] != [None] * 5:
            times.append(timed_request(port))  # five failures in a row: starved
        served = [t * 1000 for t in times if t is not None]
        time.sleep(HEADER_TIMEOUT + 1)
        held = still_open(socks)
        for sock in socks:
            sock.close()
    name = "guarded" if guarded else "plain uvicorn"
    p50 = statistics.median(served) if served else float("nan")
    p99 = statistics.quantiles(served, n=100)[98] if len(served) > 1 else float("nan")
    return (
        f"{name:14} {len(socks):6} {p50:8.2f} {p99:8.2f} "
        f"{len(times) - len(served):>3}/{len(times):<3} {held:6}"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--connections", type=int, default=1000, help="idle connections")
    parser.add_argument("--requests", type=int, default=200, help="timed requests")
    parser.add_argument("--serve", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--guarded", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--plain", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve is not None:
        serve(args.serve, args.guarded)
        return
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    print(f"{'server':14} {'flood':>6} {'p50 ms':>8} {'p99 ms':>8} {'failed':>7} {'held':>6}")
    for guarded in (False, True):
        print(run(guarded, args.connections, args.requests), flush=True)


if __name__ == "__main__":
    main()
