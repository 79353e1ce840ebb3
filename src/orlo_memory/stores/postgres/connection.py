"""The PostgreSQL backend's connections: a small pool of its own, the
retry of a call whose connection was found dead, the user's write
transaction, and the one place where psycopg's errors become the memory's.

Connections are in autocommit mode. Each call takes one from the pool for
its duration (a write transaction keeps it until it ends), so calls of
several threads run side by side. A write is one transaction that first
takes the user's transaction-scoped advisory lock, so writers to one user
are serialised and commit in seq order, while writers to different users run
side by side; the commit releases the lock. The threads of this process
queue for a user's lock in Python first (at most one connection per user
waits on the server), and the two waits together are bounded by the store's
timeout. Reads that need several statements to agree run in a REPEATABLE
READ transaction (`consistent`).

Every connection is opened in the calling thread, when a call needs one,
within CONNECT_SECONDS: nothing runs in the background, so a server out of
reach fails the call at once (StoreUnavailableError), the next call tries
again, and a call that raised never goes on to be applied later. A lost
connection, a server restart or a lock wait past the timeout raise
StoreUnavailableError, and only failures that may pass by themselves do
(`retryable`): a value past a limit of the server is a StoreError. A write's
transaction is then rolled back by the server, or, if the commit itself was
cut off, either fully stored or absent; the caller may retry. A pooled
connection found dead at the first statement of a call is replaced once
(with the other idle ones, dead too after a restart), so the call after a
restart reconnects.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import Any, TypeVar

import psycopg
from psycopg import errors as pg_errors
from psycopg.conninfo import conninfo_to_dict
from psycopg.pq import TransactionStatus

from ...errors import (
    ClosedError,
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    StoreError,
    StoreUnavailableError,
)
from .schema import LOCK_SPACE, LOCK_SQL, TRY_LOCK_SQL, TURN_ID_CONSTRAINT

Connection = psycopg.Connection[tuple[Any, ...]]
T = TypeVar("T")

# How long a connection attempt may take unless the URL says (psycopg's
# least): a server out of reach fails a call within it.
CONNECT_SECONDS = 2
# Connections open at once, at most: calls beyond wait for one, up to the
# store's timeout.
MAX_CONNECTIONS = 16

# The SQLSTATEs (besides class 08, the connection's) of failures that may pass
# by themselves: a serialisation failure or deadlock, an outcome unknown, a
# server short of memory or connections, a lock wait or statement timed out,
# an object in use, a server shutting down, restarting or starting.
_RETRYABLE = frozenset(
    {
        *("40001", "40P01", "40003"),
        *("53200", "53300"),
        *("55P03", "55006", "57014"),
        *("57P01", "57P02", "57P03", "57P05"),
    }
)


def _parameters(url: str) -> dict[str, Any]:
    """The connection parameters `url` gives (none when it is malformed:
    connecting then says what is wrong)."""
    try:
        return conninfo_to_dict(url)
    except psycopg.Error:
        return {}


def describe(url: str) -> str:
    """The server and database of `url`, without credentials."""
    parts = _parameters(url)
    if not parts:
        return "the PostgreSQL server"
    host = parts.get("host") or "localhost"
    port = parts.get("port") or "5432"
    return f"database {parts.get('dbname') or '(default)'} on {host}:{port}"


def retryable(error: psycopg.Error) -> bool:
    """Whether a later attempt may succeed: a failure of the connection (the
    client's own errors carry no SQLSTATE), or one of _RETRYABLE. psycopg
    calls many permanent errors operational too (a value past a limit of
    the server, a disk full, a bad password): those are not."""
    code = error.sqlstate
    if code is None:
        return isinstance(error, psycopg.OperationalError | psycopg.InterfaceError)
    return code.startswith("08") or code in _RETRYABLE


def converted(error: psycopg.Error, during: str = "") -> OrloMemoryError:
    """The memory's exception for a psycopg error: the one place they are mapped."""
    message = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
    if isinstance(error, pg_errors.UniqueViolation):
        diag = error.diag
        if diag.constraint_name == TURN_ID_CONSTRAINT:
            return DuplicateIdError(f"turn id already stored ({diag.message_detail})")
    if isinstance(error, psycopg.DataError):
        return InvalidInputError(f"PostgreSQL refused a value: {message}")
    if retryable(error):
        return StoreUnavailableError(
            f"the PostgreSQL call failed{during}: {message}; it may be retried"
            " (an add retried with the same turn ids is not stored twice)"
        )
    return StoreError(f"PostgreSQL error{during}: {message}")


def _user_lock_key(uid: int) -> int:
    # Two users may share a key only beyond 2**31 users: they then merely wait
    # for each other.
    return uid % (1 << 31)


class _Call(threading.local):
    """The connection of the calling thread's open write transaction."""

    conn: Connection | None = None


class PostgresConnection:
    """The connections of one store to the database at `url`, shared by
    the threads that call it. `prepare` runs once on the first connection
    (creating or migrating the schema)."""

    def __init__(self, url: str, timeout: float, prepare: Callable[[Connection], None]) -> None:
        self.where = describe(url)
        self._url = url
        self._timeout = timeout
        self._settings: dict[str, Any] = {"autocommit": True}
        if "connect_timeout" not in _parameters(url):
            self._settings["connect_timeout"] = CONNECT_SECONDS
        self._call = _Call()
        self._ready = threading.Condition()  # the pool's state below
        self._idle: list[Connection] = []
        self._open = 0
        self._closed = False
        self._user_locks: dict[int, threading.Lock] = {}
        first = self._connect()
        try:
            prepare(first)
        except psycopg.Error as error:
            first.close()
            # A server out of reach may come back; a refusal (no right to
            # create the schema, say) stays.
            failure = StoreUnavailableError if retryable(error) else StoreError
            raise failure(f"cannot open {self.where}: {error}") from error
        except BaseException:
            first.close()
            raise
        self._open = 1
        self._idle.append(first)

    def _connect(self) -> Connection:
        """A new connection, made in the calling thread within the connect timeout."""
        try:
            conn = psycopg.connect(self._url, **self._settings)
        except psycopg.Error as error:
            detail = str(error).strip().splitlines()[0] if str(error).strip() else repr(error)
            message = f"cannot connect to {self.where} ({detail})"
            if retryable(error):
                raise StoreUnavailableError(f"{message}; the call may be retried") from error
            raise StoreError(message) from error
        try:
            # A lock wait (the user's write lock) gives up like SQLite's busy timeout.
            conn.execute(
                "SELECT set_config('lock_timeout', %s, false)",
                (f"{max(1, round(self._timeout * 1000))}ms",),
            )
        except psycopg.Error as error:
            conn.close()
            raise converted(error, " preparing a connection") from error
        return conn

    def close(self) -> None:
        """Closes the idle connections; those in use close when handed back."""
        with self._ready:
            self._closed = True
            idle, self._idle = self._idle, []
            self._open -= len(idle)
            self._ready.notify_all()
        for conn in idle:
            conn.close()

    # -- the pool -------------------------------------------------------------------

    def _checkout(self, deadline: float) -> Connection:
        """An idle connection, or a new one while fewer than MAX_CONNECTIONS
        are open, or else one handed back before `deadline`."""
        with self._ready:
            while True:
                if self._closed:
                    raise ClosedError("this store is closed")
                if self._idle:
                    return self._idle.pop()
                if self._open < MAX_CONNECTIONS:
                    self._open += 1
                    break
                left = deadline - time.monotonic()
                if left <= 0:
                    raise StoreUnavailableError(
                        f"no connection to {self.where} came free within {self._timeout:g} s"
                        f" ({MAX_CONNECTIONS} in use); the call may be retried"
                    )
                self._ready.wait(left)
        try:
            return self._connect()
        except BaseException:
            with self._ready:
                self._open -= 1
                self._ready.notify()
            raise

    def _checkin(self, conn: Connection) -> None:
        """Hands `conn` back: kept when it is sound and idle, else closed. A
        dead one takes the idle ones with it: after a restart they are dead
        too."""
        if not conn.closed and conn.info.transaction_status != TransactionStatus.IDLE:
            try:
                conn.rollback()
            except psycopg.Error:
                conn.close()
        dead = conn.closed
        stale: list[Connection] = []
        with self._ready:
            if dead or self._closed:
                stale = [conn]
                if dead:
                    stale += self._idle
                    self._idle = []
                self._open -= len(stale)
            else:
                self._idle.append(conn)
            self._ready.notify_all()
        for other in stale:
            other.close()

    def _attempt(
        self, work: Callable[[Connection], T], during: str, deadline: float, keep: bool
    ) -> tuple[Connection, T]:
        """`work` on a pooled connection; one found dead is replaced and
        `work` run once more (a read repeats harmlessly, and a write that
        failed on a dead connection never reached the server). With `keep`
        the connection stays checked out (the caller hands it back)."""
        for attempt in range(2):
            conn = self._checkout(deadline)
            try:
                result = work(conn)
            except psycopg.Error as error:
                dead = conn.closed
                self._checkin(conn)
                if dead and attempt == 0:
                    continue
                raise converted(error, during) from error
            except BaseException:
                self._checkin(conn)
                raise
            if not keep:
                self._checkin(conn)
            return conn, result
        raise AssertionError("unreachable")

    # -- calls ------------------------------------------------------------------------

    def run(self, work: Callable[[Connection], T]) -> T:
        """`work` inside the calling thread's open write transaction, or else
        on a pooled connection of its own."""
        conn = self._call.conn
        if conn is None:
            return self._attempt(work, "", time.monotonic() + self._timeout, False)[1]
        try:
            return work(conn)
        except psycopg.Error as error:
            raise converted(error) from error

    def run_consistent(self, work: Callable[[Connection], T]) -> T:
        """`work`, whose statements see one snapshot of the database: inside
        the open write transaction, or else in a read-only REPEATABLE READ
        transaction of its own."""

        def consistent(conn: Connection) -> T:
            if self._call.conn is not None:
                return work(conn)
            conn.isolation_level = psycopg.IsolationLevel.REPEATABLE_READ
            conn.read_only = True
            try:
                with conn.transaction():
                    return work(conn)
            finally:
                conn.isolation_level = None
                conn.read_only = None

        return self.run(consistent)

    def _user_lock(self, uid: int) -> threading.Lock:
        lock = self._user_locks.get(uid)
        if lock is None:
            lock = self._user_locks.setdefault(uid, threading.Lock())
        return lock

    def _locked(self, conn: Connection, uid: int, deadline: float | None) -> ExitStack:
        """A transaction on `conn` that holds the user's write lock, waited
        for until `deadline` (None: not at all); closing the stack commits it
        (rolls it back when closed by an exception)."""
        with ExitStack() as stack:
            stack.enter_context(conn.transaction())
            key = (LOCK_SPACE, _user_lock_key(uid))
            if deadline is None:
                row = conn.execute(TRY_LOCK_SQL, key).fetchone()
                if row is None or not row[0]:
                    raise StoreUnavailableError(
                        f"the write lock of user key {uid} is taken; the call may be retried"
                    )
            else:
                left = deadline - time.monotonic()
                if left < self._timeout - 0.001:  # the session's own timeout is too long now
                    conn.execute(
                        "SELECT set_config('lock_timeout', %s, true)",
                        (f"{max(1, round(left * 1000))}ms",),
                    )
                conn.execute(LOCK_SQL, key)
            return stack.pop_all()

    @contextmanager
    def transaction(self, uid: int, *, wait: bool = True) -> Iterator[None]:
        """The user's write transaction: `run` uses it, in this thread, until
        the block ends."""
        call = self._call
        if call.conn is not None:
            raise OrloMemoryError("a write transaction is already open")
        bound = self._timeout if wait else 0.0
        deadline = time.monotonic() + bound
        lock = self._user_lock(uid)
        if not lock.acquire(timeout=bound):
            raise StoreUnavailableError(
                f"the write lock of user key {uid} stayed taken by another call of this"
                f" process for {bound:g} s; the call may be retried"
            )
        try:
            conn, stack = self._attempt(
                lambda conn: self._locked(conn, uid, deadline if wait else None),
                " taking the user's write lock",
                deadline,
                True,
            )
            try:
                call.conn = conn
                try:
                    with stack:
                        yield
                finally:
                    call.conn = None
            except psycopg.Error as error:
                # A commit cut off may or may not have reached the server:
                # the transaction is whole either way.
                raise converted(error, " while committing (it may or may not be stored)") from error
            finally:
                self._checkin(conn)
        finally:
            lock.release()
