"""What the users' logs of one store share (log.py is one user's protocol):
the store, the checkpoint policy, the cache of loaded indexes, each user's
index lock, and the calls in flight.

Threads share a memory without waiting for each other on other users' work:
- a user's writes are serialised by the store's transaction (its write lock,
  waited for up to the store's timeout: then StoreUnavailableError);
- a user's cached index is used and changed under that user's index lock
  (`index_lock`), held by reads for their ranking and by writes only to
  apply what they committed; loading an index happens under it too;
- the cache itself has a small lock of its own, held for no store call;
- embedding happens before any of these (user.py).
Lock order: a thread inside a store transaction never waits for an index
lock, and a thread holding an index lock never opens a transaction, so no
two threads can wait for each other in a cycle. An index evicted for room is
checkpointed at the end of the call that evicted it, when the thread holds
no lock, and only if its locks are free at once (the log holds every turn:
skipping the checkpoint costs a longer replay at the next load).

The cache holds each user's index as last brought up to the log; an index
that leaves it (evicted, or on close) is checkpointed first when it has
events after its snapshot, so that a reload replays little. A failed
checkpoint is only logged: the log stays the truth, and the next load
replays it.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import ParamSpec, TypeVar

from ..errors import ClosedError, StoreUnavailableError, UnknownIdError
from ..stores.protocol import Store
from . import checkpoints
from .cache import LruCache
from .user_index import LoadedIndex

log = logging.getLogger("orlo_memory")

P = ParamSpec("P")
R = TypeVar("R")

# With checkpoint_every=None a checkpoint is taken once the events after the
# last one reach max(this, the live turn count): the snapshot's cost, about
# proportional to the live count, is then spread over as many adds.
MIN_CHECKPOINT_EVENTS = 10_000


@dataclass(frozen=True, slots=True)
class Policy:
    """What every user's log of one memory follows."""

    dimension: int
    checkpoint_every: int | None
    forget_rebuild_share: float


class _Depth(threading.local):
    """How deep the calling thread is in calls of the memory."""

    value = 0


class Logs:
    """The logs of every user of one store, the cache of their loaded
    indexes, the users' index locks and the calls in flight."""

    def __init__(self, store: Store, policy: Policy, cache_bytes: int) -> None:
        self.store = store
        self.policy = policy
        self.closed = False
        self._cache: LruCache[int, LoadedIndex] = LruCache(cache_bytes, self._evict)
        self._cache_lock = threading.Lock()  # the cache and _evicted
        self._evicted: list[tuple[int, LoadedIndex]] = []
        self._index_locks: dict[int, threading.RLock] = {}
        self._calls = threading.Condition()  # closed and _active
        self._active = 0
        self._depth = _Depth()

    # -- calls -------------------------------------------------------------------

    @contextmanager
    def call(self) -> Iterator[None]:
        """One public call of the memory: refused once it is closed (close
        waits for those in flight). The indexes the call evicted are
        checkpointed at its end."""
        depth = self._depth.value
        if depth == 0:
            with self._calls:
                if self.closed:
                    raise ClosedError("this memory is closed")
                self._active += 1
        self._depth.value = depth + 1
        try:
            yield
        finally:
            self._depth.value = depth
            if depth == 0:
                try:
                    self._checkpoint_evicted()
                finally:
                    with self._calls:
                        self._active -= 1
                        self._calls.notify_all()

    def close(self) -> None:
        """Refuses new calls, waits for those in flight, checkpoints the
        loaded indexes (a failure is logged: the log stays the truth) and
        closes the store."""
        with self._calls:
            if self.closed:
                return
            self.closed = True
            own = 1 if self._depth.value > 0 else 0
            self._calls.wait_for(lambda: self._active <= own)
        try:
            for uid, loaded in self._cached_items():
                try:
                    self.checkpoint_user(uid, loaded)
                except Exception as error:
                    log.warning("checkpoint of user key %d failed on close: %s", uid, error)
        finally:
            with self._cache_lock:
                self._cache.clear()
                self._evicted.clear()
            self.store.close()

    # -- the cache of loaded indexes ---------------------------------------------

    def index_lock(self, uid: int) -> threading.RLock:
        """The lock under which the user's cached index is used and changed."""
        lock = self._index_locks.get(uid)
        if lock is None:
            lock = self._index_locks.setdefault(uid, threading.RLock())
        return lock

    def cached_users(self) -> list[int]:
        """The keys of the users whose indexes are loaded, least recently used first."""
        with self._cache_lock:
            return self._cache.keys()

    def _cached_items(self) -> list[tuple[int, LoadedIndex]]:
        with self._cache_lock:
            return list(self._cache.items())

    def cached(self, uid: int) -> LoadedIndex | None:
        """The user's cached index, if loaded."""
        with self._cache_lock:
            return self._cache.get(uid)

    def loaded(self, uid: int) -> LoadedIndex:
        """The user's cached index, loaded (snapshot and log) when missing,
        under the user's index lock."""
        with self.index_lock(uid):
            loaded = self.cached(uid)
            if loaded is None:
                loaded = checkpoints.load(self.store, uid, self.policy.dimension)
                self.cache(uid, loaded)
            return loaded

    def cache(self, uid: int, loaded: LoadedIndex) -> None:
        with self._cache_lock:
            self._cache.put(uid, loaded)

    def install(self, uid: int, loaded: LoadedIndex) -> None:
        """Caches `loaded` (under the user's index lock) unless the cached
        index is of a later state already."""
        current = self.cached(uid)
        if current is None or (current.epoch, current.applied_seq) <= (
            loaded.epoch,
            loaded.applied_seq,
        ):
            self.cache(uid, loaded)

    def drop(self, uid: int) -> None:
        """Forgets the user's cached index (the next use loads it again)."""
        with self._cache_lock:
            self._cache.pop(uid)

    def resized(self, uid: int) -> None:
        """Accounts for a change in the size of the user's cached index."""
        with self._cache_lock:
            self._cache.resized(uid)

    def _evict(self, uid: int, loaded: LoadedIndex) -> None:
        # Under the cache lock, perhaps under another user's index lock: the
        # checkpoint waits for the end of the call.
        self._evicted.append((uid, loaded))

    def _checkpoint_evicted(self) -> None:
        while True:
            with self._cache_lock:
                if not self._evicted:
                    return
                uid, loaded = self._evicted.pop()
            try:
                self.checkpoint_user(uid, loaded, wait=False)
            except StoreUnavailableError as error:
                log.info("no checkpoint of user key %d on eviction: %s", uid, error)
            except Exception as error:  # dropping is safe: the log holds every turn
                log.warning("checkpoint of user key %d failed on eviction: %s", uid, error)

    # -- checkpoints ------------------------------------------------------------------

    def checkpoint(self) -> None:
        """Checkpoints every loaded index that has events after its snapshot;
        the index of a user that another process erased is dropped."""
        for uid, loaded in self._cached_items():
            try:
                self.checkpoint_user(uid, loaded)
            except UnknownIdError:
                self.drop(uid)

    def _checkpoint_due(self, loaded: LoadedIndex) -> bool:
        pending = loaded.applied_seq - loaded.snapshot_seq
        if self.policy.checkpoint_every is not None:
            return pending >= self.policy.checkpoint_every
        return pending >= max(MIN_CHECKPOINT_EVENTS, loaded.points)

    def checkpoint_user(
        self, uid: int, loaded: LoadedIndex | None = None, *, wait: bool = True
    ) -> None:
        """Snapshots the user's index (`loaded`, or the cached one) at the log
        head unless a snapshot already holds its state, or another process
        moved the user to a newer epoch. The index is read under its lock,
        then the snapshot stored in a transaction of its own. With `wait`
        False nothing waits: a lock taken skips the checkpoint (or raises
        StoreUnavailableError for the store's)."""
        lock = self.index_lock(uid)
        if not lock.acquire(blocking=wait):
            return
        try:
            if loaded is None:
                loaded = self.cached(uid)
            if loaded is None or not self._at_head(uid, loaded):
                return
            if loaded.applied_seq == loaded.snapshot_seq:
                return
            header, data = checkpoints.snapshot_of(loaded)
        finally:
            lock.release()
        store = self.store
        with store.transaction(uid, wait=wait):
            if store.user_state(uid).epoch != header.epoch:
                return
            stored = store.read_snapshot(uid, data=False)
            held = stored.header if stored is not None else None
            if held is not None and held.epoch == header.epoch and held.seq >= header.seq:
                loaded.snapshot_seq = max(loaded.snapshot_seq, held.seq)
                return
            store.write_snapshot(uid, header, data)
        loaded.snapshot_seq = max(loaded.snapshot_seq, header.seq)

    def _at_head(self, uid: int, loaded: LoadedIndex) -> bool:
        """Brings `loaded` up to the log head (under the user's index lock);
        False when the user is at another epoch now."""
        state = self.store.user_state(uid)
        if state.epoch != loaded.epoch:
            return False
        if state.head_seq != loaded.applied_seq:
            loaded.apply_events(self.store.events_after(uid, loaded.applied_seq))
            self.resized(uid)
        return True

    def after_write(self, uid: int) -> None:
        """After a committed write (the thread holding no lock): checkpoints
        when due, if the store's lock is free at once (else a later write
        does)."""
        with self.index_lock(uid):
            loaded = self.cached(uid)
            if loaded is None or not self._checkpoint_due(loaded):
                return
        try:
            self.checkpoint_user(uid, loaded, wait=False)
        except StoreUnavailableError as error:
            log.info("no checkpoint of user key %d after a write yet: %s", uid, error)
        except Exception as error:
            # The write is committed: reporting it failed would invite a
            # retry that stores it twice. A later write checkpoints again.
            log.warning("checkpoint of user key %d failed after a write: %s", uid, error)


def guarded(method: Callable[P, R]) -> Callable[P, R]:
    """Runs a method of an object with `_logs` as one call of the memory
    (`Logs.call`: refused once it is closed)."""

    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        logs = args[0]._logs  # type: ignore[attr-defined]
        with logs.call():
            return method(*args, **kwargs)

    wrapper.__name__ = method.__name__
    wrapper.__qualname__ = method.__qualname__
    wrapper.__doc__ = method.__doc__
    return wrapper
