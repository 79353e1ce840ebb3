"""The PostgreSQL backend's connections: a psycopg pool, the connection held
between calls, the retry of a call whose connection was found dead, the
user's write transaction, and the one place where psycopg's errors become
the memory's.

Connections are in autocommit mode. A write is one transaction that first
takes the user's transaction-scoped advisory lock, so writers to one user
are serialised and commit in seq order, while writers to different users run
side by side; the commit releases the lock. Reads that need several
statements to agree run in a REPEATABLE READ transaction (`consistent`).

Failures: a lost connection, a server restart or a lock wait past the
timeout raise StoreUnavailableError, and only failures that may pass by
themselves do (`retryable`): a value past a limit of the server is a
StoreError. A write's transaction is then rolled back by the server, or, if
the commit itself was cut off, either fully stored or absent; the caller may
retry. A pooled connection found dead at the first statement of a call is
replaced once, so the call after a restart reconnects.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from typing import Any, TypeVar

import psycopg
import psycopg_pool
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
from .schema import LOCK_SPACE, LOCK_SQL

Connection = psycopg.Connection[tuple[Any, ...]]
T = TypeVar("T")

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


def describe(url: str) -> str:
    """The server and database of `url`, without credentials."""
    try:
        parts = conninfo_to_dict(url)
    except psycopg.Error:
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
        if diag.constraint_name == "turns_id_key":
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


class PostgresConnection:
    """The connections of one store to the database at `url`. `prepare`
    runs once on a first connection (creating or migrating the schema)
    before the pool opens. It serves one caller at a time."""

    def __init__(self, url: str, timeout: float, prepare: Callable[[Connection], None]) -> None:
        self.where = describe(url)
        self._timeout = timeout
        self._held: Connection | None = None
        self._tx: Connection | None = None
        settings: dict[str, Any] = {"autocommit": True, "connect_timeout": max(1, round(timeout))}
        try:
            with psycopg.connect(url, **settings) as first:
                prepare(first)
        except psycopg.Error as error:
            # A server out of reach may come back; a refusal (no right to
            # create the schema, say) stays.
            failure = StoreUnavailableError if retryable(error) else StoreError
            raise failure(f"cannot open {self.where}: {error}") from error
        # One connection in use at a time, and a second while the pool opens
        # a replacement for one that broke.
        self._pool: psycopg_pool.ConnectionPool[Connection] = psycopg_pool.ConnectionPool(
            url,
            min_size=1,
            max_size=2,
            timeout=timeout,
            kwargs=settings,
            configure=self._configure,
            open=False,
            name="orlo_memory",
        )
        try:
            self._pool.open(wait=True, timeout=timeout)
        except psycopg.Error as error:
            self._pool.close()
            raise StoreUnavailableError(f"cannot open {self.where}: {error}") from error

    def _configure(self, conn: Connection) -> None:
        # A lock wait (the user's write lock) gives up like SQLite's busy timeout.
        conn.execute(
            "SELECT set_config('lock_timeout', %s, false)", (f"{round(self._timeout * 1000)}ms",)
        )

    def close(self) -> None:
        if self._held is not None:
            self._give_back(self._held)
        self._pool.close()

    # The connection taken from the pool is kept between calls: taking one
    # out and handing it back for every statement would cost more than a
    # short statement. One that broke goes back to the pool, which drops it
    # and connects anew.

    def _connection(self) -> Connection:
        conn = self._held
        if conn is not None and not conn.closed:
            return conn
        if conn is not None:
            self._give_back(conn)
        try:
            conn = self._pool.getconn()
        except psycopg_pool.PoolClosed:
            raise ClosedError("this store is closed") from None
        except psycopg.Error as error:
            raise StoreUnavailableError(
                f"no connection to {self.where} within {self._timeout:g} s ({error});"
                " the call may be retried"
            ) from error
        self._held = conn
        return conn

    def _give_back(self, conn: Connection) -> None:
        self._held = None
        self._pool.putconn(conn)

    def _settle(self, conn: Connection) -> None:
        """After a failure: ends what `conn` left open; a connection that
        broke goes back to the pool."""
        if not conn.closed and conn.info.transaction_status != TransactionStatus.IDLE:
            try:
                conn.rollback()
            except psycopg.Error:
                conn.close()
        if conn.closed:
            self._give_back(conn)

    def _reconnecting(self, work: Callable[[Connection], T], during: str = "") -> T:
        """`work` on the held connection; one found dead is replaced and
        `work` run once more (a read repeats harmlessly, and a write that
        failed on a dead connection never reached the server)."""
        for attempt in range(2):
            conn = self._connection()
            try:
                return work(conn)
            except psycopg.Error as error:
                dead = conn.closed
                self._settle(conn)
                if dead and attempt == 0:
                    continue
                raise converted(error, during) from error
            except BaseException:
                self._settle(conn)
                raise
        raise AssertionError("unreachable")

    def run(self, work: Callable[[Connection], T]) -> T:
        """`work` inside the open write transaction, or else on its own."""
        if self._tx is None:
            return self._reconnecting(work)
        try:
            return work(self._tx)
        except psycopg.Error as error:
            raise converted(error) from error

    def run_consistent(self, work: Callable[[Connection], T]) -> T:
        """`work`, whose statements see one snapshot of the database: inside
        the open write transaction, or else in a read-only REPEATABLE READ
        transaction of its own."""

        def consistent(conn: Connection) -> T:
            if self._tx is not None:
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

    @staticmethod
    def _locked(conn: Connection, uid: int) -> ExitStack:
        """A transaction on `conn` that holds the user's write lock; closing
        the stack commits it (rolls it back when closed by an exception)."""
        with ExitStack() as stack:
            stack.enter_context(conn.transaction())
            conn.execute(LOCK_SQL, (LOCK_SPACE, _user_lock_key(uid)))
            return stack.pop_all()

    @contextmanager
    def transaction(self, uid: int) -> Iterator[None]:
        """The user's write transaction: `run` uses it until the block ends."""
        if self._tx is not None:
            raise OrloMemoryError("a write transaction is already open")

        def begin(conn: Connection) -> tuple[Connection, ExitStack]:
            return conn, self._locked(conn, uid)

        conn, stack = self._reconnecting(begin, " taking the user's write lock")
        try:
            with stack:
                self._tx = conn
                try:
                    yield
                finally:
                    self._tx = None
        except psycopg.Error as error:
            self._settle(conn)
            # A commit cut off may or may not have reached the server: the
            # transaction is whole either way.
            raise converted(error, " while committing (it may or may not be stored)") from error
        except BaseException:
            self._settle(conn)
            raise
