"""`Memory`: one store, the settings its processes agree on, the embedder,
and the users' logs with the cache of their indexes (logs.py).

Threads may share a `Memory`: a user's writes are serialised by the store's
write lock for that user, a user's cached index by a lock of its own, and
calls for different users never wait for each other here (logs.py); several
processes (or several `Memory` objects) on one store stay consistent through
the store's own locking and the per-user log. Every wait is bounded by the
store's `busy_timeout`, past which a call raises StoreUnavailableError.
"""

from __future__ import annotations

import os
from dataclasses import replace

from ..contract.values import (
    MAX_COUNT,
    count_argument,
    dimension_argument,
    real_argument,
    user_name,
)
from ..embedders import Embedder, Prompts, prompts_of
from ..errors import InvalidInputError, SettingsMismatchError
from ..stores import Store, open_store
from . import erasing
from .logs import Logs, Policy
from .user import PRECOMPUTED_EMBEDDINGS, UserMemory
from .user_index import now_us

DEFAULT_CACHE_BYTES = 1 << 30
MAX_BYTES = (1 << 63) - 1
DEFAULT_FORGET_REBUILD_SHARE = 0.25


def _checkpoint_every(value: object) -> int | None:
    return None if value is None else count_argument(value, "checkpoint_every", 1, MAX_COUNT)


def _forget_rebuild_share(value: object) -> float:
    return real_argument(value, "forget_rebuild_share", 0.0, 1.0, above_low=True)


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
        checkpoint_every = _checkpoint_every(checkpoint_every)
        forget_rebuild_share = _forget_rebuild_share(forget_rebuild_share)
        cache_bytes = count_argument(cache_bytes, "cache_bytes", 0, MAX_BYTES)
        self._store = store
        self._embedder = embedder
        self._dimension = self._agree_settings(embedder, dimension)
        policy = Policy(self._dimension, checkpoint_every, forget_rebuild_share)
        self._logs = Logs(store, policy, cache_bytes)

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
        `postgres` extra; `synchronous` applies to SQLite only).

        `busy_timeout` (seconds) bounds every wait of a call: for a write
        lock (another writer of the user, or on SQLite of the file, in this
        process or another) and for a connection; past it the call raises
        StoreUnavailableError and may be retried. A server should set a few
        seconds, below its clients' own timeouts, and answer 503 then. A
        PostgreSQL server out of reach fails a call within about two seconds
        whatever the bound."""
        store = open_store(path, synchronous=synchronous, busy_timeout=busy_timeout)
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
        records it with the embedder's name. (The store checks its own schema
        version when it opens.)"""
        if dimension is not None:
            dimension = dimension_argument(dimension)
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
                    "dimension": str(dimension),
                    "embedder": embedder.name if embedder is not None else PRECOMPUTED_EMBEDDINGS,
                    "prompts": prompts_of(embedder).to_setting(),
                }
            )
            stored = self._store.read_settings()
        stored_dimension = int(stored["dimension"])
        stored_embedder = stored.get("embedder", PRECOMPUTED_EMBEDDINGS)
        if dimension is not None and dimension != stored_dimension:
            raise SettingsMismatchError(
                f"the database holds {stored_dimension}-dimensional embeddings (from "
                f"{stored_embedder!r}), the embedder gives {dimension}"
            )
        if embedder is not None and stored_embedder not in (PRECOMPUTED_EMBEDDINGS, embedder.name):
            raise SettingsMismatchError(
                f"the database was written with embedder {stored_embedder!r}, not {embedder.name!r}"
            )
        stored_prompts = Prompts.from_setting(stored.get("prompts"))
        prompts = prompts_of(embedder)
        if (
            embedder is not None
            and stored_embedder != PRECOMPUTED_EMBEDDINGS
            and prompts != stored_prompts
        ):
            raise SettingsMismatchError(
                f"the database was written with {stored_prompts.describe()}, the embedder "
                f"uses {prompts.describe()}: give the embedder the recorded prompts"
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
    def checkpoint_every(self) -> int | None:
        return self._logs.policy.checkpoint_every

    @checkpoint_every.setter
    def checkpoint_every(self, value: int | None) -> None:
        self._logs.policy = replace(self._logs.policy, checkpoint_every=_checkpoint_every(value))

    @property
    def forget_rebuild_share(self) -> float:
        return self._logs.policy.forget_rebuild_share

    @forget_rebuild_share.setter
    def forget_rebuild_share(self, value: float) -> None:
        share = _forget_rebuild_share(value)
        self._logs.policy = replace(self._logs.policy, forget_rebuild_share=share)

    @property
    def closed(self) -> bool:
        return self._logs.closed

    def user(self, name: str) -> UserMemory:
        """The memory of one user (created on first use); its index is loaded
        when first needed."""
        name = user_name(name)
        with self._logs.call():
            # Looked up every time (no cache of names): a user erased by
            # another process gets a new key when it is created again.
            uid = self._store.ensure_user(name, now_us())
            return UserMemory(self._logs, self._embedder, name, uid)

    def users(self) -> list[str]:
        with self._logs.call():
            return self._store.user_names()

    def erase_user(self, name: str) -> bool:
        """Erases the user `name` and all that is theirs (turns, embeddings,
        full-text entries, sessions, snapshot, and their place in the servers'
        tokens) in one step that a crash leaves done or undone; returns False
        when there is no such user. A `UserMemory` of the erased user, in any
        process, raises UnknownIdError from then on; `user(name)` starts a new,
        empty one. On SQLite no byte of the user's texts stays in the files
        (the file is rewritten: the cost grows with the whole database); on
        PostgreSQL the deleted rows stay on disk until VACUUM (see the README)."""
        name = user_name(name)
        with self._logs.call():
            return erasing.erase_user(self._logs, name)

    def checkpoint(self) -> None:
        """Checkpoints every loaded index that has events after its snapshot."""
        with self._logs.call():
            self._logs.checkpoint()

    def close(self) -> None:
        """Waits for the calls in flight, checkpoints loaded indexes and
        closes the store; later calls raise ClosedError. Closing twice is
        harmless."""
        self._logs.close()

    def __enter__(self) -> Memory:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._logs.closed else f"dimension={self._dimension}"
        return f"Memory({state})"
