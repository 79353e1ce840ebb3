"""What the users' logs of one store share (log.py is one user's protocol):
the store, the checkpoint policy, the cache of loaded indexes and the lock
that every call of the memory holds.

The cache holds each user's index as last brought up to the log; an index
that leaves it (evicted for room, or on close) is checkpointed first when it
has events after its snapshot, so that a reload replays little. A failed
checkpoint is only logged: the log stays the truth, and the next load
replays it.
"""

from __future__ import annotations

import logging
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import ParamSpec, TypeVar

from ..errors import ClosedError, UnknownIdError
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


class Logs:
    """The logs of every user of one store, the cache of their loaded indexes
    and the lock that every call of the memory holds."""

    def __init__(self, store: Store, policy: Policy, cache_bytes: int) -> None:
        self.store = store
        self.policy = policy
        self.lock = threading.RLock()
        self.closed = False
        self._cache: LruCache[int, LoadedIndex] = LruCache(cache_bytes, self._evict)

    def check_open(self) -> None:
        if self.closed:
            raise ClosedError("this memory is closed")

    def cached_users(self) -> list[int]:
        """The keys of the users whose indexes are loaded, least recently used first."""
        return self._cache.keys()

    def checkpoint(self) -> None:
        """Checkpoints every loaded index that has events after its snapshot;
        the index of a user that another process erased is dropped."""
        for uid, loaded in self._cache.items():
            try:
                self.checkpoint_user(uid, loaded)
            except UnknownIdError:
                self._cache.pop(uid)

    def close(self) -> None:
        """Checkpoints the loaded indexes (a failure is logged: the log stays
        the truth) and closes the store."""
        if self.closed:
            return
        try:
            for uid, loaded in self._cache.items():
                try:
                    self.checkpoint_user(uid, loaded)
                except Exception as error:
                    log.warning("checkpoint of user key %d failed on close: %s", uid, error)
        finally:
            self._cache.clear()
            self.closed = True
            self.store.close()

    # -- the cache of loaded indexes ---------------------------------------------

    def loaded(self, uid: int) -> LoadedIndex:
        """The user's cached index, loaded (snapshot and log) when missing."""
        loaded = self._cache.get(uid)
        if loaded is None:
            loaded = checkpoints.load(self.store, uid, self.policy.dimension)
            self._cache.put(uid, loaded)
        return loaded

    def cache(self, uid: int, loaded: LoadedIndex) -> None:
        self._cache.put(uid, loaded)

    def drop(self, uid: int) -> None:
        """Forgets the user's cached index (the next use loads it again)."""
        self._cache.pop(uid)

    def resized(self, uid: int) -> None:
        """Accounts for a change in the size of the user's cached index."""
        self._cache.resized(uid)

    def _evict(self, uid: int, loaded: LoadedIndex) -> None:
        try:
            self.checkpoint_user(uid, loaded)
        except Exception as error:  # dropping is safe: the log holds every turn
            log.warning("checkpoint of user key %d failed on eviction: %s", uid, error)

    def _checkpoint_due(self, loaded: LoadedIndex) -> bool:
        pending = loaded.applied_seq - loaded.snapshot_seq
        if self.policy.checkpoint_every is not None:
            return pending >= self.policy.checkpoint_every
        return pending >= max(MIN_CHECKPOINT_EVENTS, loaded.points)

    def checkpoint_user(self, uid: int, loaded: LoadedIndex) -> None:
        """Snapshots `loaded` at the log head unless a snapshot already holds
        its state, or another process moved the user to a newer epoch."""
        if loaded.applied_seq == loaded.snapshot_seq:
            return
        store = self.store
        with store.transaction(uid):
            if store.user_state(uid).epoch != loaded.epoch:
                return
            loaded.apply_events(store.events_after(uid, loaded.applied_seq))
            stored = store.read_snapshot(uid, data=False)
            if stored is not None and stored.header.seq >= loaded.applied_seq:
                loaded.snapshot_seq = stored.header.seq
                return
            checkpoints.write_checkpoint(store, uid, loaded)

    def after_write(self, uid: int, loaded: LoadedIndex) -> None:
        """After a committed write: checkpoints when due, then accounts for
        the index's new size (which may evict others)."""
        if self._checkpoint_due(loaded):
            try:
                self.checkpoint_user(uid, loaded)
            except Exception as error:
                # The write is committed: reporting it failed would invite a
                # retry that stores it twice. A later write checkpoints again.
                log.warning("checkpoint of user key %d failed after a write: %s", uid, error)
        self.resized(uid)


def locked(method: Callable[P, R]) -> Callable[P, R]:
    """Runs a method of an object with `_logs` under their lock, after the
    open check."""

    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        logs = args[0]._logs  # type: ignore[attr-defined]
        with logs.lock:
            logs.check_open()
            return method(*args, **kwargs)

    wrapper.__name__ = method.__name__
    wrapper.__qualname__ = method.__qualname__
    wrapper.__doc__ = method.__doc__
    return wrapper
