"""The SQLite backend's one connection: its pragmas, its transactions and the
one place where SQLite's and the snapshot files' errors become the memory's.

The connection runs in autocommit mode; a write is `BEGIN IMMEDIATE` ...
`COMMIT`, which takes SQLite's single writer lock (a per-user lock is not
needed on top: the database lock covers every user), and multi-statement
reads run in a deferred transaction so they see one state of the file.
Actions that must follow the outcome of a write (removing the snapshot file
it replaced, or the one it wrote) are queued with `on_commit` and
`on_rollback`.
"""

from __future__ import annotations

import sqlite3
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress

from ...errors import (
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    StoreError,
    StoreUnavailableError,
)

SYNCHRONOUS = ("OFF", "NORMAL", "FULL", "EXTRA")


class SqliteConnection:
    """One SQLite file (or ":memory:") opened for the store; `conn` runs the
    statements of the backend's modules."""

    def __init__(self, path: str, busy_timeout: float) -> None:
        self.path = path
        self._busy_timeout = busy_timeout
        try:
            self.conn = sqlite3.connect(
                path, timeout=busy_timeout, isolation_level=None, check_same_thread=False
            )
        except sqlite3.Error as error:
            raise StoreError(f"cannot open {path!r}: {error}") from error
        self._in_write = False
        self._on_commit: list[Callable[[], None]] = []
        self._on_rollback: list[Callable[[], None]] = []

    def configure(self, synchronous: str) -> None:
        """Every pragma of the store, set once at open (`synchronous`: one of
        SYNCHRONOUS, checked by the caller)."""
        execute = self.conn.execute
        execute("PRAGMA page_size = 8192")  # only takes effect on a new file
        if execute("PRAGMA journal_mode = WAL").fetchone()[0] not in ("wal", "memory"):
            raise StoreError(f"{self.path!r} cannot use write-ahead logging")
        # WAL with NORMAL survives a crash of the process; FULL also a power
        # loss. A pragma takes no parameters: the text is one of SYNCHRONOUS.
        execute(f"PRAGMA synchronous = {SYNCHRONOUS[SYNCHRONOUS.index(synchronous)]}")
        execute("PRAGMA cache_size = -65536")
        execute("PRAGMA temp_store = MEMORY")
        execute("PRAGMA mmap_size = 1073741824")  # reads without a system call per page
        execute("PRAGMA foreign_keys = OFF")

    def converted(self, error: sqlite3.Error | OSError) -> OrloMemoryError:
        """The memory's exception for an error of SQLite or of a snapshot file."""
        if isinstance(error, OSError):
            where = f" {error.filename!r}" if error.filename else ""
            return StoreError(f"index snapshot file{where}: {error.strerror or error}")
        message = str(error) or type(error).__name__
        code = getattr(error, "sqlite_errorcode", None)
        primary = None if code is None else code & 0xFF
        if primary in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
            return StoreUnavailableError(
                f"{self.path!r} stayed locked by another writer for {self._busy_timeout:g} s"
                f" ({message}); the call may be retried"
            )
        if primary == sqlite3.SQLITE_FULL:
            return StoreError(f"cannot write to {self.path!r}: {message}")
        if primary == sqlite3.SQLITE_NOTADB:
            return InvalidInputError(f"{self.path!r} is not a memory database ({message})")
        if primary == sqlite3.SQLITE_CONSTRAINT and "turns.id" in message:
            return DuplicateIdError(f"turn id already stored ({message})")
        return StoreError(f"SQLite failed on {self.path!r}: {message}")

    def close(self) -> None:
        self.conn.close()

    @contextmanager
    def write(self) -> Iterator[None]:
        """One write transaction: commits on normal exit, rolls back when the
        block raises; then runs the actions queued for that outcome."""
        if self._in_write:
            raise OrloMemoryError("a write transaction is already open")
        try:
            self.conn.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as error:
            raise self.converted(error) from error
        self._in_write = True
        try:
            yield
            self.conn.execute("COMMIT")
        except BaseException as failure:
            self._in_write = False
            if self.conn.in_transaction:
                with suppress(sqlite3.Error):
                    self.conn.execute("ROLLBACK")
            self._finish(self._on_rollback)
            if isinstance(failure, sqlite3.Error):  # the commit, or a statement of ours
                raise self.converted(failure) from failure
            raise
        self._in_write = False
        self._finish(self._on_commit)

    def on_commit(self, action: Callable[[], None]) -> None:
        """Runs `action` once the open write transaction commits."""
        self._on_commit.append(action)

    def on_rollback(self, action: Callable[[], None]) -> None:
        """Runs `action` if the open write transaction rolls back."""
        self._on_rollback.append(action)

    def _finish(self, actions: list[Callable[[], None]]) -> None:
        done = list(actions)
        self._on_commit.clear()
        self._on_rollback.clear()
        for action in done:
            action()

    @contextmanager
    def read(self) -> Iterator[None]:
        """A deferred transaction so that several statements see one state;
        inside a write transaction the statements simply run in it."""
        if self._in_write:
            yield
            return
        self.conn.execute("BEGIN")
        try:
            yield
        finally:
            if self.conn.in_transaction:
                self.conn.execute("COMMIT")
