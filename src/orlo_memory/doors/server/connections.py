"""Connections that cannot starve other clients: deadlines and a limit.

uvicorn closes a connection that idles between requests (`timeout_keep_alive`)
but waits for ever on one that never finishes its request head, or sends
nothing at all after connecting. `GuardedH11Protocol` adds the missing
deadline: a request head must arrive whole within `header_timeout` seconds
of its first byte (or of the connection, for its first request), or the
connection is closed (with 408 when part of a head had come).

It also keeps at most `max_connections` open. Past the limit a new connection
closes the oldest one that has not delivered a whole request (idle, or
sending its head or body), since that is what a flood of slow clients holds;
when every connection is busy with an answer, the newcomer gets 503. Bodies
have their own deadline in the application (`bodies.BodyGuard`).

`uvicorn_options(settings)` gives the keyword arguments for `uvicorn.run`
or `uvicorn.Config` that put all of this in place.
"""

from __future__ import annotations

import asyncio
import functools
import resource
from typing import Any

import h11
from uvicorn.config import Config
from uvicorn.protocols.http.h11_impl import H11Protocol
from uvicorn.server import ServerState

from .settings import ServerSettings

_TIMED_OUT = (
    b"HTTP/1.1 408 Request Timeout\r\ncontent-type: text/plain; charset=utf-8\r\n"
    b"content-length: 37\r\nconnection: close\r\n\r\nthe request head did not arrive whole"
)
_BUSY = (
    b"HTTP/1.1 503 Service Unavailable\r\ncontent-type: text/plain; charset=utf-8\r\n"
    b"content-length: 38\r\nretry-after: 1\r\nconnection: close\r\n\r\n"
    b"too many connections: try again later."
)
# Descriptors a server needs besides its connections: databases, logs, workers.
_SPARE_FILES = 256


class GuardedH11Protocol(H11Protocol):
    """uvicorn's h11 protocol with a request-head deadline and a connection
    limit that gives way to newcomers by closing the oldest unfinished request."""

    def __init__(
        self,
        config: Config,
        server_state: ServerState,
        app_state: dict[str, Any],
        _loop: asyncio.AbstractEventLoop | None = None,
        *,
        header_timeout: float,
        max_connections: int,
    ) -> None:
        super().__init__(config, server_state, app_state, _loop)
        self.header_timeout = header_timeout
        self.max_connections = max_connections
        self._head_deadline: asyncio.TimerHandle | None = None
        self._head_begun = False  # bytes of the coming request head have arrived
        self.waiting_since = 0.0  # when the request not yet whole began to be awaited

    def connection_made(self, transport: asyncio.Transport) -> None:  # type: ignore[override]
        super().connection_made(transport)
        self.waiting_since = self.loop.time()
        self._arm()
        if len(self.connections) > self.max_connections:
            self._make_room()

    def data_received(self, data: bytes) -> None:
        if self.conn.their_state is h11.IDLE:
            self._head_begun = True
            if self._head_deadline is None:
                self.waiting_since = self.loop.time()
                self._arm()
        super().data_received(data)
        if self.conn.their_state is not h11.IDLE and self._head_deadline is not None:
            self._cancel()  # the head is whole: the body has its own deadline
            self._head_begun = False

    def connection_lost(self, exc: Exception | None) -> None:
        self._cancel()
        super().connection_lost(exc)

    def on_response_complete(self) -> None:
        self.waiting_since = self.loop.time()
        super().on_response_complete()

    def unfinished(self) -> bool:
        """Whether this connection waits on its client: for a request head,
        or for the body of a request not yet answered."""
        if self.transport is None or self.transport.is_closing():
            return False
        state = self.conn.their_state
        if state is h11.IDLE:
            return True
        answering = self.cycle is not None and self.cycle.response_started
        return state is h11.SEND_BODY and not answering

    def _arm(self) -> None:
        self._cancel()
        self._head_deadline = self.loop.call_later(self.header_timeout, self._head_timed_out)

    def _cancel(self) -> None:
        if self._head_deadline is not None:
            self._head_deadline.cancel()
            self._head_deadline = None

    def _head_timed_out(self) -> None:
        self._head_deadline = None
        if self.transport.is_closing() or self.conn.their_state is not h11.IDLE:
            return
        if self._head_begun:
            self.transport.write(_TIMED_OUT)
        self.transport.close()

    def _make_room(self) -> None:
        waiting = [
            other
            for other in self.connections
            if other is not self and isinstance(other, GuardedH11Protocol) and other.unfinished()
        ]
        if waiting:
            oldest = min(waiting, key=lambda other: other.waiting_since)
            oldest.transport.close()
        else:
            self.transport.write(_BUSY)
            self.transport.close()


def _allow_open_files(wanted: int) -> None:
    """Raises this process's soft limit on open files towards `wanted` (as far
    as the hard limit lets it): 1,024, a common default, is fewer than a
    server with a thousand connections needs."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY or soft >= wanted:
        return
    target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
    if target > soft:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))


def uvicorn_options(settings: ServerSettings) -> dict[str, Any]:
    """Keyword arguments for `uvicorn.run` or `uvicorn.Config` (besides the
    app, `workers`, `factory`, `log_level`): the address, the guarded h11
    protocol with `settings.header_timeout` and `settings.max_connections`,
    and `settings.keep_alive` for idle connections.

    It also raises this process's open-file limit to fit the connections
    (worker processes inherit it). uvicorn's own `limit_concurrency` is left
    unset: it counts idle connections too, so a flood of them would turn
    every real request away with 503 instead of giving way to it."""
    _allow_open_files(settings.max_connections + _SPARE_FILES)
    protocol = functools.partial(
        GuardedH11Protocol,
        header_timeout=settings.header_timeout,
        max_connections=settings.max_connections,
    )
    return {
        "host": settings.host,
        "port": settings.port,
        "http": protocol,  # a partial pickles, so worker processes get it too
        "timeout_keep_alive": settings.keep_alive,
        "backlog": 2048,
    }
