"""The SQLite backend's connections: their pragmas, the write transactions
and the one place where SQLite's and the snapshot files' errors become the
memory's.

Each call of the store runs on a connection of its own, taken from a small
pool for the call's duration (`bound`) and handed back after it: with
write-ahead logging a reader never waits for a writer, so a write that waits
for the file lock (held by another process) holds up no other thread's
reads. A write is `BEGIN IMMEDIATE` ... `COMMIT`, which takes SQLite's single
writer lock; the threads of this process queue for it on `_writer` first
(SQLite's own busy handler polls, a Python lock hands over at once), and the
two waits together are bounded by `busy_timeout`, past which the call fails
with StoreUnavailableError. Multi-statement reads run in a deferred
transaction so that they see one state of the file. Actions that must follow
the outcome of a write (removing the snapshot file it replaced, or the one it
wrote) are queued with `on_commit` and `on_rollback`.

":memory:" is one database per connection, so there every call shares one
connection, one call at a time (a throw-away store waits for no other
process).
"""

from __future__ import annotations

import sqlite3
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager, suppress

from ...errors import (
    ClosedError,
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    StoreError,
    StoreUnavailableError,
)

SYNCHRONOUS = ("OFF", "NORMAL", "FULL", "EXTRA")
# Idle connections kept for later calls; more are opened while more calls run
# at once, and closed when handed back beyond this many.
MAX_IDLE = 16


def is_in_memory(path: str) -> bool:
    return path in ("", ":memory:") or path.startswith("file::memory:")


class _Call(threading.local):
    """What one thread's current call holds: its connection and, inside a
    write, the actions queued for its outcome."""

    conn: sqlite3.Connection | None = None
    in_write: bool = False

    def __init__(self) -> None:
        self.on_commit: list[Callable[[], None]] = []
        self.on_rollback: list[Callable[[], None]] = []


class SqliteConnection:
    """The connections of one SQLite file (or ":memory:") opened for the
    store; `conn` is the current call's, which runs the statements of the
    backend's modules inside `bound` or a transaction."""

    def __init__(self, path: str, busy_timeout: float) -> None:
        self.path = path
        self._busy_timeout = busy_timeout
        self._synchronous: str | None = None
        self._shared = is_in_memory(path)
        self._call = _Call()
        self._lock = threading.Lock()  # the pool's lists
        self._idle: list[sqlite3.Connection] = []
        self._closed = False
        # The in-memory database's one connection serves one call at a time:
        # the same reentrant lock then also queues its writers.
        self._turn = threading.RLock()
        self._writer = self._turn if self._shared else threading.RLock()
        self._only = self._connect()
        if not self._shared:
            self._idle.append(self._only)

    def _connect(self) -> sqlite3.Connection:
        try:
            conn = sqlite3.connect(
                self.path,
                timeout=self._busy_timeout,
                isolation_level=None,
                check_same_thread=False,
            )
        except sqlite3.Error as error:
            raise StoreError(f"cannot open {self.path!r}: {error}") from error
        if self._synchronous is not None:
            self._set_pragmas(conn)
        return conn

    def configure(self, synchronous: str) -> None:
        """Every pragma of the store, set at open on the current connection
        and on each one opened later (`synchronous`: one of SYNCHRONOUS,
        checked by the caller)."""
        execute = self.conn.execute
        execute("PRAGMA page_size = 8192")  # only takes effect on a new file
        if execute("PRAGMA journal_mode = WAL").fetchone()[0] not in ("wal", "memory"):
            raise StoreError(f"{self.path!r} cannot use write-ahead logging")
        self._synchronous = SYNCHRONOUS[SYNCHRONOUS.index(synchronous)]
        self._set_pragmas(self.conn)

    def _set_pragmas(self, conn: sqlite3.Connection) -> None:
        execute = conn.execute
        # WAL with NORMAL survives a crash of the process; FULL also a power
        # loss. A pragma takes no parameters: the text is one of SYNCHRONOUS.
        execute(f"PRAGMA synchronous = {self._synchronous}")
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
            return self._locked_error(self._busy_timeout, f" ({message})")
        if primary == sqlite3.SQLITE_FULL:
            return StoreError(f"cannot write to {self.path!r}: {message}")
        if primary == sqlite3.SQLITE_NOTADB:
            return InvalidInputError(f"{self.path!r} is not a memory database ({message})")
        if primary == sqlite3.SQLITE_CONSTRAINT and "turns.id" in message:
            return DuplicateIdError(f"turn id already stored ({message})")
        return StoreError(f"SQLite failed on {self.path!r}: {message}")

    def _locked_error(self, seconds: float, detail: str = "") -> StoreUnavailableError:
        return StoreUnavailableError(
            f"{self.path!r} stayed locked by another writer for {seconds:g} s"
            f"{detail}; the call may be retried"
        )

    def close(self) -> None:
        """Closes the idle connections; those in use close when handed back."""
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        if self._shared:
            with self._turn:  # after the call that uses it
                idle = [self._only]
        for conn in idle:
            conn.close()

    # -- connections per call --------------------------------------------------

    @property
    def conn(self) -> sqlite3.Connection:
        """The current call's connection (inside `bound` or a transaction)."""
        conn = self._call.conn
        if conn is None:
            raise OrloMemoryError("a statement of the SQLite store ran outside a call")
        return conn

    @contextmanager
    def bound(self) -> Iterator[None]:
        """Gives the calling thread a connection until the block ends; a
        block inside another runs on the same one."""
        call = self._call
        if call.conn is not None:
            yield
            return
        conn = self._checkout()
        call.conn = conn
        try:
            yield
        finally:
            call.conn = None
            self._checkin(conn)

    def _checkout(self) -> sqlite3.Connection:
        if self._shared and not self._turn.acquire(timeout=self._busy_timeout):
            raise self._locked_error(self._busy_timeout)
        try:
            with self._lock:
                if self._closed:
                    raise ClosedError("this store is closed")
                if self._shared:
                    return self._only
                if self._idle:
                    return self._idle.pop()
            return self._connect()
        except BaseException:
            if self._shared:
                self._turn.release()
            raise

    def _checkin(self, conn: sqlite3.Connection) -> None:
        try:
            if conn.in_transaction:  # a read cut off by an error
                with suppress(sqlite3.Error):
                    conn.execute("ROLLBACK")
            with self._lock:
                keep = not self._closed and (self._shared or len(self._idle) < MAX_IDLE)
                if keep and not self._shared:
                    self._idle.append(conn)
            if not keep:
                conn.close()
        finally:
            if self._shared:
                self._turn.release()

    # -- transactions ------------------------------------------------------------

    @contextmanager
    def write(self, *, wait: bool = True) -> Iterator[None]:
        """One write transaction: commits on normal exit, rolls back when the
        block raises; then runs the actions queued for that outcome. The wait
        for the writer lock is bounded by the busy timeout (`wait` False: no
        wait at all); past it StoreUnavailableError."""
        call = self._call
        if call.in_write:
            raise OrloMemoryError("a write transaction is already open")
        bound = self._busy_timeout if wait else 0.0
        deadline = time.monotonic() + bound
        if not self._writer.acquire(timeout=bound):
            raise self._locked_error(bound)
        try:
            with self.bound():
                self._begin(max(0.0, deadline - time.monotonic()))
                call.in_write = True
                try:
                    yield
                    self.conn.execute("COMMIT")
                except BaseException as failure:
                    call.in_write = False
                    if self.conn.in_transaction:
                        with suppress(sqlite3.Error):
                            self.conn.execute("ROLLBACK")
                    _finish(call, call.on_rollback)
                    if isinstance(failure, sqlite3.Error):  # the commit, or a statement of ours
                        raise self.converted(failure) from failure
                    raise
                call.in_write = False
                _finish(call, call.on_commit)
        finally:
            self._writer.release()

    def _begin(self, seconds: float) -> None:
        """BEGIN IMMEDIATE, waiting at most `seconds` for the file lock."""
        conn = self.conn
        try:
            # A pragma takes no parameters: the text is a whole number.
            conn.execute(f"PRAGMA busy_timeout = {int(seconds * 1000)}")
            try:
                conn.execute("BEGIN IMMEDIATE")
            finally:
                conn.execute(f"PRAGMA busy_timeout = {int(self._busy_timeout * 1000)}")
        except sqlite3.Error as error:
            raise self.converted(error) from error

    def on_commit(self, action: Callable[[], None]) -> None:
        """Runs `action` once the open write transaction commits."""
        self._call.on_commit.append(action)

    def on_rollback(self, action: Callable[[], None]) -> None:
        """Runs `action` if the open write transaction rolls back."""
        self._call.on_rollback.append(action)

    @contextmanager
    def read(self) -> Iterator[None]:
        """A deferred transaction so that several statements see one state;
        inside a write transaction the statements simply run in it."""
        if self._call.in_write:
            yield
            return
        conn = self.conn
        conn.execute("BEGIN")
        try:
            yield
        finally:
            if conn.in_transaction:
                conn.execute("COMMIT")


def _finish(call: _Call, actions: list[Callable[[], None]]) -> None:
    done = list(actions)
    call.on_commit.clear()
    call.on_rollback.clear()
    for action in done:
        action()
