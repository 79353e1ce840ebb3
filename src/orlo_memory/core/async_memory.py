"""`AsyncMemory`: the memory for asyncio programs, whose calls never block
the event loop.

Every call runs the synchronous library (`Memory`, `UserMemory`) in a worker
thread of a bounded pool that belongs to the `AsyncMemory`; the coroutine
awaits it, so the loop goes on with its other tasks meanwhile. The methods
are the synchronous ones with the same arguments, as coroutines (each is made
from the synchronous method, so the two cannot drift apart). The memory
serialises its calls as it does for threads, so more workers add waiting,
not speed, beyond a few.

A call whose coroutine is cancelled still finishes in its thread: a write
cancelled after it started may be stored (retried with the same ids, an add
stores nothing twice).
"""

from __future__ import annotations

import asyncio
import functools
import os
from collections.abc import Callable, Coroutine, Generator
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Concatenate, ParamSpec, TypeVar

from ..contract.values import count_argument
from ..embedders import Embedder
from ..errors import ClosedError
from .memory import Memory
from .user import UserMemory

P = ParamSpec("P")
R = TypeVar("R")

DEFAULT_WORKERS = 4
MAX_WORKERS = 64


class _Worker:
    """The bounded pool of threads that runs an `AsyncMemory`'s calls. Calls
    beyond the pool's size wait on the loop's side, for a semaphore, rather
    than in the pool's queue: handing hundreds of calls to the threads at
    once wakes them all, and their fight for the interpreter's lock would
    hold up the loop itself."""

    def __init__(self, workers: int) -> None:
        self._pool = ThreadPoolExecutor(workers, thread_name_prefix="orlo-memory")
        self._slots = asyncio.Semaphore(workers)
        self._closed = False

    async def run(self, call: Callable[[], R]) -> R:
        async with self._slots:
            if self._closed:
                raise ClosedError("this memory is closed")
            return await asyncio.get_running_loop().run_in_executor(self._pool, call)

    def close(self) -> None:
        """Lets the threads end once the calls handed to them are done."""
        self._closed = True
        self._pool.shutdown(wait=False)


def _in_thread(
    method: Callable[Concatenate[UserMemory, P], R],
) -> Callable[Concatenate[AsyncUserMemory, P], Coroutine[Any, Any, R]]:
    """The coroutine face of a `UserMemory` method: same arguments, run in a
    worker thread."""

    @functools.wraps(method)
    async def call(self: AsyncUserMemory, /, *args: P.args, **kwargs: P.kwargs) -> R:
        return await self._worker.run(functools.partial(method, self.sync, *args, **kwargs))

    return call


class AsyncUserMemory:
    """The memory of one user, as coroutines. Obtain it with
    `await AsyncMemory.user(name)`; `sync` is the `UserMemory` it calls."""

    def __init__(self, user: UserMemory, worker: _Worker) -> None:
        self.sync = user
        self._worker = worker

    @property
    def name(self) -> str:
        return self.sync.name

    def __repr__(self) -> str:
        return f"AsyncUserMemory({self.sync.name!r})"

    add = _in_thread(UserMemory.add)
    add_many = _in_thread(UserMemory.add_many)
    new_session = _in_thread(UserMemory.new_session)
    new_topic = _in_thread(UserMemory.new_topic)
    current_session = _in_thread(UserMemory.current_session)
    forget = _in_thread(UserMemory.forget)
    consolidate = _in_thread(UserMemory.consolidate)
    checkpoint = _in_thread(UserMemory.checkpoint)
    search = _in_thread(UserMemory.search)
    sessions = _in_thread(UserMemory.sessions)
    get = _in_thread(UserMemory.get)
    taken_ids = _in_thread(UserMemory.taken_ids)
    embeddings = _in_thread(UserMemory.embeddings)
    turns = _in_thread(UserMemory.turns)
    stats = _in_thread(UserMemory.stats)


class AsyncMemory:
    """A conversation memory for asyncio: `Memory`'s calls as coroutines.

    Open one with `async with AsyncMemory.open(path, ...) as memory:` (or
    `memory = await AsyncMemory.open(...)`, then `await memory.close()`); the
    options are `Memory.open`'s, and `workers` bounds the threads that run
    the calls. `AsyncMemory(memory)` wraps a `Memory` already open (closing
    the `AsyncMemory` closes it); `sync` is that `Memory`."""

    def __init__(self, memory: Memory, *, workers: int = DEFAULT_WORKERS) -> None:
        workers = count_argument(workers, "workers", 1, MAX_WORKERS)
        self.sync = memory
        self._worker = _Worker(workers)

    @classmethod
    def open(
        cls, path: str | os.PathLike[str], *, workers: int = DEFAULT_WORKERS, **options: Any
    ) -> _Opening:
        """Opens the memory at `path` (as `Memory.open(path, **options)`, in a
        worker thread): await the result, or use it in `async with`."""
        workers = count_argument(workers, "workers", 1, MAX_WORKERS)
        return _Opening(cls, path, workers, options)

    @property
    def dimension(self) -> int:
        return self.sync.dimension

    @property
    def embedder(self) -> Embedder | None:
        return self.sync.embedder

    @property
    def checkpoint_every(self) -> int | None:
        return self.sync.checkpoint_every

    @checkpoint_every.setter
    def checkpoint_every(self, value: int | None) -> None:
        self.sync.checkpoint_every = value

    @property
    def forget_rebuild_share(self) -> float:
        return self.sync.forget_rebuild_share

    @forget_rebuild_share.setter
    def forget_rebuild_share(self, value: float) -> None:
        self.sync.forget_rebuild_share = value

    @property
    def closed(self) -> bool:
        return self.sync.closed

    async def user(self, name: str) -> AsyncUserMemory:
        """The memory of one user (created on first use)."""
        return AsyncUserMemory(await self._worker.run(lambda: self.sync.user(name)), self._worker)

    async def users(self) -> list[str]:
        return await self._worker.run(self.sync.users)

    async def erase_user(self, name: str) -> bool:
        """`Memory.erase_user`: erases the user and all that is theirs."""
        return await self._worker.run(lambda: self.sync.erase_user(name))

    async def checkpoint(self) -> None:
        await self._worker.run(self.sync.checkpoint)

    async def close(self) -> None:
        """Closes the memory (after the call running now); calls still
        waiting then raise ClosedError. Closing twice is harmless."""
        try:
            await self._worker.run(self.sync.close)
        except ClosedError:
            pass
        finally:
            self._worker.close()

    async def __aenter__(self) -> AsyncMemory:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.close()

    def __repr__(self) -> str:
        return f"Async{self.sync!r}"


class _Opening:
    """An `AsyncMemory` being opened: awaited, it is the memory; in `async
    with`, the memory is closed when the block ends."""

    def __init__(
        self, kind: type[AsyncMemory], path: str | os.PathLike[str], workers: int, options: Any
    ) -> None:
        self._open = functools.partial(Memory.open, path, **options)
        self._kind = kind
        self._workers = workers
        self._opened: AsyncMemory | None = None

    async def _opening(self) -> AsyncMemory:
        memory = await asyncio.to_thread(self._open)
        return self._kind(memory, workers=self._workers)

    def __await__(self) -> Generator[Any, None, AsyncMemory]:
        return self._opening().__await__()

    async def __aenter__(self) -> AsyncMemory:
        self._opened = await self._opening()
        return self._opened

    async def __aexit__(self, *exc_info: object) -> None:
        if self._opened is not None:
            await self._opened.close()
