"""`Memory`: one store, its settings, the embedder and the cache of user indexes.

Every public call of a `Memory` and of its `UserMemory` objects holds one lock
per `Memory`, so threads may share it; several processes (or several `Memory`
objects) on one file stay consistent through the store's own locking and the
per-user log (see `user.py`).
"""

from __future__ import annotations

import logging
import os
import threading

from . import user_index
from .cache import LruCache
from .embedders import Embedder
from .errors import ClosedError, InvalidInputError, OrloMemoryError, SettingsMismatchError
from .sqlite_store import SCHEMA_VERSION, SqliteStore
from .store import Store
from .user import UserMemory
from .user_index import LoadedIndex, now_us

log = logging.getLogger("orlo_memory")

DEFAULT_CACHE_BYTES = 1 << 30
DEFAULT_FORGET_REBUILD_SHARE = 0.25
# With checkpoint_every=None a checkpoint is taken once the events after the
# last one reach max(this, the live turn count): the snapshot's cost, about
# proportional to the live count, is then spread over as many adds.
MIN_CHECKPOINT_EVENTS = 10_000
PRECOMPUTED = "precomputed"


class Memory:
    """A conversation memory: users, their sessions and turns, on one store.

    Use `Memory.open(path, embedder=...)` for SQLite (":memory:" gives a
    throw-away store) or PostgreSQL ("postgresql://" URLs); the constructor
    takes any `Store`."""

    def __init__(
        self,
        store: Store,
        *,
        embedder: Embedder | None = None,
        dimension: int | None = None,
        cache_bytes: int = DEFAULT_CACHE_BYTES,
        checkpoint_every: int | None = None,
        forget_rebuild_share: float = DEFAULT_FORGET_REBUILD_SHARE,
    ) -> None:
        if embedder is not None and not isinstance(embedder, Embedder):
            raise InvalidInputError("embedder must provide dimension, name and embed()")
        if checkpoint_every is not None and checkpoint_every <= 0:
            raise InvalidInputError(f"checkpoint_every must be positive, got {checkpoint_every}")
        if not 0.0 < forget_rebuild_share <= 1.0:
            raise InvalidInputError(
                f"forget_rebuild_share must be in (0, 1], got {forget_rebuild_share}"
            )
        if cache_bytes < 0:
            raise InvalidInputError(f"cache_bytes must not be negative, got {cache_bytes}")
        self._store = store
        self._embedder = embedder
        self._dimension = self._agree_settings(embedder, dimension)
        self._lock = threading.RLock()
        self._closed = False
        self.checkpoint_every = checkpoint_every
        self.forget_rebuild_share = forget_rebuild_share
        self._cache: LruCache[int, LoadedIndex] = LruCache(cache_bytes, self._evict)
        self._users: dict[str, int] = {}

    @classmethod
    def open(
        cls,
        path: str | os.PathLike[str],
        *,
        embedder: Embedder | None = None,
        dimension: int | None = None,
        cache_bytes: int = DEFAULT_CACHE_BYTES,
        checkpoint_every: int | None = None,
        forget_rebuild_share: float = DEFAULT_FORGET_REBUILD_SHARE,
        synchronous: str = "normal",
        busy_timeout: float = 60.0,
    ) -> Memory:
        """Opens (creating if needed) a SQLite memory file, ":memory:", or a
        PostgreSQL database given as a "postgresql://" URL (needs the
        `postgres` extra; `synchronous` applies to SQLite only, `busy_timeout`
        bounds the waits for a connection and for a user's write lock)."""
        location = os.fspath(path)
        store: Store
        if location.startswith(("postgresql://", "postgres://")):
            try:  # psycopg is imported only when asked for
                from .postgres_store import PostgresStore
            except ImportError as error:
                raise OrloMemoryError(
                    "a PostgreSQL memory needs psycopg: pip install 'orlo_kiv[postgres]'"
                ) from error
            store = PostgresStore(location, timeout=busy_timeout)
        else:
            store = SqliteStore(location, synchronous=synchronous, busy_timeout=busy_timeout)
        try:
            return cls(
                store,
                embedder=embedder,
                dimension=dimension,
                cache_bytes=cache_bytes,
                checkpoint_every=checkpoint_every,
                forget_rebuild_share=forget_rebuild_share,
            )
        except BaseException:
            store.close()
            raise

    def _agree_settings(self, embedder: Embedder | None, dimension: int | None) -> int:
        """The dimension every process of this database uses; the first open
        records it (with the schema version and the embedder's name)."""
        if dimension is not None and (not isinstance(dimension, int) or dimension <= 0):
            raise InvalidInputError(f"dimension must be a positive integer, got {dimension!r}")
        if embedder is not None:
            if dimension is not None and dimension != embedder.dimension:
                raise InvalidInputError(
                    f"dimension {dimension} differs from the embedder's {embedder.dimension}"
                )
            dimension = embedder.dimension
        stored = self._store.read_settings()
        if "dimension" not in stored:
            if dimension is None:
                raise InvalidInputError(
                    "a new memory needs an embedder or a dimension for precomputed embeddings"
                )
            self._store.write_settings(
                {
                    "schema_version": SCHEMA_VERSION,
                    "dimension": str(dimension),
                    "embedder": embedder.name if embedder is not None else PRECOMPUTED,
                }
            )
            stored = self._store.read_settings()
        if stored.get("schema_version") != SCHEMA_VERSION:
            raise SettingsMismatchError(
                f"database schema version {stored.get('schema_version')!r}, "
                f"this library reads {SCHEMA_VERSION!r}"
            )
        stored_dimension = int(stored["dimension"])
        if dimension is not None and dimension != stored_dimension:
            raise SettingsMismatchError(
                f"the database holds {stored_dimension}-dimensional embeddings, "
                f"the embedder gives {dimension}"
            )
        stored_embedder = stored.get("embedder", PRECOMPUTED)
        if embedder is not None and stored_embedder not in (PRECOMPUTED, embedder.name):
            raise SettingsMismatchError(
                f"the database was written with embedder {stored_embedder!r}, not {embedder.name!r}"
            )
        return stored_dimension

    # -- public surface ----------------------------------------------------

    @property
    def dimension(self) -> int:
        return self._dimension

    @property
    def embedder(self) -> Embedder | None:
        return self._embedder

    @property
    def closed(self) -> bool:
        return self._closed

    def user(self, name: str) -> UserMemory:
        """The memory of one user (created on first use); its index is loaded
        when first needed."""
        if not isinstance(name, str) or not name or len(name) > 256:
            raise InvalidInputError("a user name must be a non-empty string of at most 256 chars")
        with self._lock:
            self._check_open()
            uid = self._users.get(name)
            if uid is None:
                uid = self._store.ensure_user(name, now_us())
                self._users[name] = uid
            return UserMemory(self, name, uid)

    def users(self) -> list[str]:
        with self._lock:
            self._check_open()
            return self._store.user_names()

    def checkpoint(self) -> None:
        """Checkpoints every loaded index that has events after its snapshot."""
        with self._lock:
            self._check_open()
            for uid, loaded in self._cache.items():
                self._checkpoint(uid, loaded)

    def close(self) -> None:
        """Checkpoints loaded indexes and closes the store; later calls raise
        ClosedError. Closing twice is harmless."""
        with self._lock:
            if self._closed:
                return
            try:
                for uid, loaded in self._cache.items():
                    try:
                        self._checkpoint(uid, loaded)
                    except Exception as error:  # the log stays the truth
                        log.warning("checkpoint of user key %d failed on close: %s", uid, error)
            finally:
                self._cache.clear()
                self._closed = True
                self._store.close()

    def __enter__(self) -> Memory:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"dimension={self._dimension}"
        return f"Memory({state})"

    # -- internals shared with UserMemory ------------------------------------

    def _check_open(self) -> None:
        if self._closed:
            raise ClosedError("this memory is closed")

    def _loaded(self, uid: int) -> LoadedIndex:
        loaded = self._cache.get(uid)
        if loaded is None:
            loaded = user_index.load(self._store, uid, self._dimension)
            self._cache.put(uid, loaded)
        return loaded

    def _drop(self, uid: int) -> None:
        self._cache.pop(uid)

    def _checkpoint_due(self, loaded: LoadedIndex) -> bool:
        pending = loaded.applied_seq - loaded.snapshot_seq
        if self.checkpoint_every is not None:
            return pending >= self.checkpoint_every
        return pending >= max(MIN_CHECKPOINT_EVENTS, loaded.points)

    def _checkpoint(self, uid: int, loaded: LoadedIndex) -> None:
        """Snapshots `loaded` at the log head unless a snapshot already holds
        its state, or another process moved the user to a newer epoch."""
        if loaded.applied_seq == loaded.snapshot_seq:
            return
        with self._store.transaction(uid):
            state = self._store.user_state(uid)
            if state.epoch != loaded.epoch:
                return
            loaded.catch_up(self._store, uid)
            header = self._store.snapshot_header(uid)
            if header is not None and header.seq >= loaded.applied_seq:
                loaded.snapshot_seq = header.seq
                return
            user_index.write_checkpoint(self._store, uid, loaded, now_us())

    def _evict(self, uid: int, loaded: LoadedIndex) -> None:
        try:
            self._checkpoint(uid, loaded)
        except Exception as error:  # dropping is safe: the log holds every turn
            log.warning("checkpoint of user key %d failed on eviction: %s", uid, error)

    def _after_write(self, uid: int, loaded: LoadedIndex) -> None:
        if self._checkpoint_due(loaded):
            try:
                self._checkpoint(uid, loaded)
            except Exception as error:
                # The write is committed: reporting it failed would invite a
                # retry that stores it twice. A later write checkpoints again.
                log.warning("checkpoint of user key %d failed after a write: %s", uid, error)
        self._cache.shrink()
