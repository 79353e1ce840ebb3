"""Where the servers call the library: worker threads, shared fairly by users.

The library blocks: on its database, on a user's write lock, on another
process's lock. Its calls therefore run in worker threads, never on the event
loop, which stays free for the health check, for reading requests and for
writing answers. At most `threads` calls run at once, and at most `per_user`
of them for one user: calls of a user past its share wait (on the loop, in
no thread) for one of that user's calls to end, so a user whose calls all
wait on its lock leaves the other threads to the other users.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Callable
from contextlib import asynccontextmanager
from typing import TypeVar

import anyio
import anyio.to_thread

T = TypeVar("T")

DEFAULT_THREADS = 32
DEFAULT_PER_USER = 4


class _Share:
    """The calls of one user: a semaphore, and how many calls hold or wait on it."""

    def __init__(self, tokens: int) -> None:
        self.semaphore = anyio.Semaphore(tokens)
        self.holders = 0


class LibraryThreads:
    """Runs blocking calls in worker threads, `threads` at once at most and
    `per_user` for one user (the limits are made on first use, inside the
    event loop that uses them)."""

    def __init__(self, threads: int = DEFAULT_THREADS, per_user: int = DEFAULT_PER_USER) -> None:
        self.threads = threads
        self.per_user = min(per_user, threads)
        self._limiter: anyio.CapacityLimiter | None = None
        self._shares: dict[str, _Share] = {}

    async def run(self, user: str | None, call: Callable[[], T]) -> T:
        """`call()` in a worker thread, within `user`'s share (None: a call
        for no one user, bounded by the thread count only). A cancelled
        caller leaves the thread to finish its call."""
        if self._limiter is None:
            self._limiter = anyio.CapacityLimiter(self.threads)
        async with self._share(user):
            return await anyio.to_thread.run_sync(call, limiter=self._limiter)

    @asynccontextmanager
    async def _share(self, user: str | None) -> AsyncIterator[None]:
        if user is None:
            yield
            return
        share = self._shares.get(user)
        if share is None:
            share = self._shares[user] = _Share(self.per_user)
        share.holders += 1
        try:
            async with share.semaphore:
                yield
        finally:
            share.holders -= 1
            if share.holders == 0:  # no user's share outlives its calls
                del self._shares[user]
