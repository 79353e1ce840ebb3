"""The PostgreSQL backend of the memory: the store behind "postgresql://" URLs.

Connections come from a psycopg pool, in autocommit mode. A write is one
transaction that first takes the user's transaction-scoped advisory lock, so
writers to one user are serialised and commit in seq order, while writers to
different users run side by side; the lock is released by the commit. Reads
that need several statements to agree run in a REPEATABLE READ transaction.
Index snapshots are stored in the database in parts of `PART_BYTES` (one bytea
value is capped near 1 GB) and written in the checkpoint's transaction.
Full-text search is PostgreSQL's own: a generated tsvector column with a GIN
index, ranked by ts_rank_cd (postgres_lexical.py). Parameters always travel
separately from the SQL.

Failures: a lost connection, a server restart or a lock wait past the timeout
raise StoreUnavailableError, and only failures that may pass by themselves
do (`_retryable`): a value past a limit of the server is a StoreError. A
write's transaction is then rolled back by the server, or, if the commit
itself was cut off, either fully stored or absent; the caller may retry. A
pooled connection found dead at the first statement of a call is replaced
once, so the call after a restart reconnects.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import ExitStack, contextmanager
from functools import partial
from typing import Any, TypeVar

import psycopg
import psycopg_pool
from psycopg import errors as pg_errors
from psycopg.conninfo import conninfo_to_dict
from psycopg.pq import TransactionStatus

from ...contract.values import MAX_WAIT_SECONDS, real_argument
from ...errors import (
    ClosedError,
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    StoreError,
    StoreUnavailableError,
)
from ..records import (
    By,
    Event,
    EventKind,
    ForgetRecord,
    Found,
    HitRow,
    SearchRow,
    SessionRecord,
    SnapshotHeader,
    StoredSnapshot,
    StoredTurn,
    TurnRecord,
    UserState,
)
from ..snapshot import split_parts
from ..tokens import TokenRecord
from . import lexical as postgres_lexical
from . import schema as postgres_schema
from .schema import LOCK_SPACE, LOCK_SQL

SCHEMA_VERSION = postgres_schema.SCHEMA_VERSION
# Snapshot parts: 1 MiB values are stored and read back faster than larger
# ones; reads fetch READ_PARTS of them per statement. A part missing or moved
# shows in the snapshot's size or checksum.
PART_BYTES = 1 << 20
READ_PARTS = 32
# Rows per statement when a whole log or all turns are read, so that neither
# the server's result nor the client's copy of it grows with the user.
BATCH_ROWS = 4096

Connection = psycopg.Connection[tuple[Any, ...]]
T = TypeVar("T")

_TURN_COLUMNS = (
    "t.seq, t.id, t.seq, t.session_id, t.boundary, t.role, t.text, t.metadata, t.created_us,"
    " t.alias"
)
_HEADER_COLUMNS = "seq, epoch, live_count, dimension, size, checksum, created_us"
_TURN_COPY_TYPES = [
    "int8", "text", "int8", "text", "int2", "text", "text", "text", "int8", "text", "bytea"
]  # fmt: skip
_LAST_SEQ = (1 << 63) - 1
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
# How each selection of `read_turns` joins the user's row to the turns. By id
# the turns are found by id alone (the owner is checked afterwards): a
# condition on uid would tempt the planner into scanning the user's whole log.
_SELECTIONS = {
    By.ID: "t.id = ANY(%(values)s::text[])",
    By.ALIAS: "t.uid = u.uid AND t.alias = ANY(%(values)s::text[])",
    By.SESSION: "t.session_id = %(session)s AND t.uid = u.uid",
}


def _user_lock_key(uid: int) -> int:
    # Two users may share a key only beyond 2**31 users: they then merely wait
    # for each other.
    return uid % (1 << 31)


def _describe(url: str) -> str:
    """The server and database of `url`, without credentials."""
    try:
        parts = conninfo_to_dict(url)
    except psycopg.Error:
        return "the PostgreSQL server"
    host = parts.get("host") or "localhost"
    port = parts.get("port") or "5432"
    return f"database {parts.get('dbname') or '(default)'} on {host}:{port}"


def _retryable(error: psycopg.Error) -> bool:
    """Whether a later attempt may succeed: a failure of the connection (the
    client's own errors carry no SQLSTATE), or one of _RETRYABLE. psycopg
    calls many permanent errors operational too (a value past a limit of
    the server, a disk full, a bad password): those are not."""
    code = error.sqlstate
    if code is None:
        return isinstance(error, psycopg.OperationalError | psycopg.InterfaceError)
    return code.startswith("08") or code in _RETRYABLE


def _converted(error: psycopg.Error, during: str = "") -> OrloMemoryError:
    """The memory's exception for a psycopg error: the one place they are mapped."""
    message = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
    if isinstance(error, pg_errors.UniqueViolation):
        diag = error.diag
        if diag.constraint_name == "turns_id_key":
            return DuplicateIdError(f"turn id already stored ({diag.message_detail})")
    if isinstance(error, psycopg.DataError):
        return InvalidInputError(f"PostgreSQL refused a value: {message}")
    if _retryable(error):
        return StoreUnavailableError(
            f"the PostgreSQL call failed{during}: {message}; it may be retried"
            " (an add retried with the same turn ids is not stored twice)"
        )
    return StoreError(f"PostgreSQL error{during}: {message}")


class PostgresStore:
    """A `Store` on a PostgreSQL database, given as a libpq URL. It serves
    one caller at a time (a `Memory` serialises its calls)."""

    def __init__(
        self,
        url: str,
        *,
        timeout: float = 60.0,
        common_term_share: float = postgres_lexical.DEFAULT_COMMON_TERM_SHARE,
    ) -> None:
        # A lock_timeout of 0 would mean no timeout at all.
        timeout = real_argument(timeout, "timeout", 0.0, MAX_WAIT_SECONDS, above_low=True)
        self.common_term_share = real_argument(
            common_term_share, "common_term_share", 0.0, 1.0, above_low=True
        )
        self._where = _describe(url)
        self._timeout = timeout
        self._held: Connection | None = None
        self._tx: Connection | None = None
        settings: dict[str, Any] = {"autocommit": True, "connect_timeout": max(1, round(timeout))}
        try:
            with psycopg.connect(url, **settings) as first:
                postgres_schema.prepare(first)
        except psycopg.Error as error:
            # A server out of reach may come back; a refusal (no right to
            # create the schema, say) stays.
            failure = StoreUnavailableError if _retryable(error) else StoreError
            raise failure(f"cannot open {self._where}: {error}") from error
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
            raise StoreUnavailableError(f"cannot open {self._where}: {error}") from error

    def _configure(self, conn: Connection) -> None:
        # A lock wait (the user's write lock) gives up like SQLite's busy timeout.
        conn.execute(
            "SELECT set_config('lock_timeout', %s, false)", (f"{round(self._timeout * 1000)}ms",)
        )

    def close(self) -> None:
        if self._held is not None:
            self._give_back(self._held)
        self._pool.close()

    def __repr__(self) -> str:
        return f"PostgresStore({self._where})"

    # -- connections ------------------------------------------------------------
    # The store keeps the connection it took from the pool between calls:
    # taking one out and handing it back for every statement would cost more
    # than a short statement. One that broke goes back to the pool, which
    # drops it and connects anew.

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
                f"no connection to {self._where} within {self._timeout:g} s ({error});"
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
                raise _converted(error, during) from error
            except BaseException:
                self._settle(conn)
                raise
        raise AssertionError("unreachable")

    def _run(self, work: Callable[[Connection], T]) -> T:
        """`work` inside the open write transaction, or else on its own."""
        if self._tx is None:
            return self._reconnecting(work)
        try:
            return work(self._tx)
        except psycopg.Error as error:
            raise _converted(error) from error

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
            raise _converted(error, " while committing (it may or may not be stored)") from error
        except BaseException:
            self._settle(conn)
            raise

    # -- settings and users -----------------------------------------------------

    def read_settings(self) -> dict[str, str]:
        rows = self._run(
            lambda c: c.execute(
                "SELECT key, value FROM orlo_memory.meta WHERE key != 'schema_version'"
            ).fetchall()
        )
        return {str(key): str(value) for key, value in rows}

    def write_settings(self, values: Mapping[str, str]) -> None:
        items = list(values.items())

        def work(conn: Connection) -> None:
            with conn.cursor() as cursor:
                cursor.executemany(
                    "INSERT INTO orlo_memory.meta (key, value) VALUES (%s, %s)"
                    " ON CONFLICT (key) DO NOTHING",
                    items,
                )

        self._run(work)

    def ensure_user(self, name: str, now_us: int) -> int:
        def work(conn: Connection) -> int:
            select = "SELECT uid FROM orlo_memory.users WHERE name = %s"
            row = conn.execute(select, (name,)).fetchone()
            if row is None:
                conn.execute(
                    "INSERT INTO orlo_memory.users (name, created_us) VALUES (%s, %s)"
                    " ON CONFLICT (name) DO NOTHING",
                    (name, now_us),
                )
                row = conn.execute(select, (name,)).fetchone()
            if row is None:
                raise OrloMemoryError(f"user {name!r} could not be created")
            return int(row[0])

        return self._run(work)

    def user_names(self) -> list[str]:
        rows = self._run(
            lambda c: c.execute("SELECT name FROM orlo_memory.users ORDER BY uid").fetchall()
        )
        return [str(row[0]) for row in rows]

    # -- the log ----------------------------------------------------------------

    def user_state(self, uid: int) -> UserState:
        row = self._run(
            lambda c: c.execute(
                "SELECT head_seq, epoch, live_count, forgotten_count, forgotten_since_rebuild,"
                " current_session, pending_boundary FROM orlo_memory.users WHERE uid = %s",
                (uid,),
            ).fetchone()
        )
        if row is None:
            raise OrloMemoryError(f"no user with key {uid}")
        return UserState(uid, *row)

    def save_user_state(self, state: UserState) -> None:
        self._run(
            lambda c: c.execute(
                "UPDATE orlo_memory.users SET head_seq = %s, epoch = %s, live_count = %s,"
                " forgotten_count = %s, forgotten_since_rebuild = %s, current_session = %s,"
                " pending_boundary = %s WHERE uid = %s",
                (
                    state.head_seq,
                    state.epoch,
                    state.live_count,
                    state.forgotten_count,
                    state.forgotten_since_rebuild,
                    state.current_session,
                    state.pending_boundary,
                    state.uid,
                ),
            )
        )

    def existing_turn_ids(self, ids: Sequence[str]) -> list[str]:
        if not ids:
            return []
        rows = self._run(
            lambda c: c.execute(
                "SELECT id FROM orlo_memory.turns WHERE id = ANY(%s::text[])", (list(ids),)
            ).fetchall()
        )
        return [str(row[0]) for row in rows]

    def append_turns(self, uid: int, turns: Sequence[TurnRecord]) -> list[int]:
        def work(conn: Connection) -> None:
            with (
                conn.cursor() as cursor,
                cursor.copy(
                    "COPY orlo_memory.turns (uid, id, seq, session_id, boundary, role, text,"
                    " metadata, created_us, alias, embedding) FROM STDIN (FORMAT BINARY)"
                ) as copy,
            ):
                copy.set_types(_TURN_COPY_TYPES)
                for turn in turns:
                    copy.write_row((uid, *turn))

        self._run(work)
        return [turn.seq for turn in turns]

    def forget_turns(self, uid: int, forgets: Sequence[ForgetRecord], now_us: int) -> None:
        keys = [forget.key for forget in forgets]

        def work(conn: Connection) -> None:
            cleared = conn.execute(
                "UPDATE orlo_memory.turns SET text = NULL, metadata = NULL, alias = NULL,"
                " embedding = NULL WHERE uid = %s AND seq = ANY(%s::bigint[]) AND text IS NOT NULL",
                (uid, keys),
            ).rowcount
            if cleared != len(set(keys)):
                raise OrloMemoryError("a turn to forget is not a live turn of this user")
            with conn.cursor() as cursor:
                cursor.executemany(
                    "INSERT INTO orlo_memory.forgets (uid, seq, turn_id, forgotten_us)"
                    " VALUES (%s, %s, %s, %s)",
                    [(uid, forget.seq, forget.turn_id, now_us) for forget in forgets],
                )

        self._run(work)

    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        if ids is not None and not ids:
            return []
        columns = "id, title, created_us, turn_count, vector_sum"
        order = " ORDER BY created_us DESC, ordinal DESC"

        def work(conn: Connection) -> list[tuple[Any, ...]]:
            with conn.cursor(binary=True) as cursor:
                if ids is None:
                    return cursor.execute(
                        f"SELECT {columns} FROM orlo_memory.sessions WHERE uid = %s{order}",
                        (uid,),
                    ).fetchall()
                return cursor.execute(
                    f"SELECT {columns} FROM orlo_memory.sessions WHERE uid = %s"
                    f" AND id = ANY(%s::text[]){order}",
                    (uid, list(ids)),
                ).fetchall()

        return [SessionRecord(*row) for row in self._run(work)]

    def save_sessions(self, uid: int, sessions: Sequence[SessionRecord]) -> None:
        def work(conn: Connection) -> None:
            with conn.cursor() as cursor:
                cursor.executemany(
                    "INSERT INTO orlo_memory.sessions (id, uid, title, created_us, turn_count,"
                    " vector_sum) VALUES (%s, %s, %s, %s, %s, %b) ON CONFLICT (id) DO UPDATE"
                    " SET turn_count = excluded.turn_count, vector_sum = excluded.vector_sum"
                    " WHERE orlo_memory.sessions.uid = excluded.uid",
                    [
                        (s.id, uid, s.title, s.created_us, s.turn_count, s.vector_sum)
                        for s in sessions
                    ],
                )

        self._run(work)

    def events_after(self, uid: int, seq: int, until: int | None = None) -> Iterator[Event]:
        # Batches by seq: the log only grows, and a turn forgotten between two
        # batches is read either live and then forgotten by its later event,
        # or already forgotten, which replay treats alike.
        last = _LAST_SEQ if until is None else until
        after = seq
        while True:
            rows = self._run(partial(self._events_batch, uid=uid, after=after, last=last))
            for row in rows:
                yield Event(row[0], EventKind(row[1]), *row[2:])
            if len(rows) < BATCH_ROWS:
                return
            after = rows[-1][0]

    @staticmethod
    def _events_batch(conn: Connection, uid: int, after: int, last: int) -> list[tuple[Any, ...]]:
        with conn.cursor(binary=True) as cursor:
            return cursor.execute(
                "(SELECT seq, 0 AS kind, seq AS key, session_id, boundary, embedding"
                "  FROM orlo_memory.turns WHERE uid = %(uid)s AND seq > %(after)s"
                "  AND seq <= %(last)s ORDER BY seq LIMIT %(rows)s)"
                " UNION ALL"
                " (SELECT f.seq, 1, t.seq, t.session_id, 0, NULL"
                "  FROM orlo_memory.forgets f JOIN orlo_memory.turns t ON t.id = f.turn_id"
                "  WHERE f.uid = %(uid)s AND f.seq > %(after)s AND f.seq <= %(last)s"
                "  ORDER BY f.seq LIMIT %(rows)s)"
                " ORDER BY 1 LIMIT %(rows)s",
                {"uid": uid, "after": after, "last": last, "rows": BATCH_ROWS},
            ).fetchall()

    def read_turns(
        self, uid: int, by: By, values: Sequence[str] = (), *, embeddings: bool = False
    ) -> Found[StoredTurn]:
        if by is By.ALL or not values:
            # (An empty selection reads the head only.)
            return self._run(
                partial(self._all_turns, uid=uid, embeddings=embeddings, none=by is not By.ALL)
            )
        embedding = "t.embedding" if embeddings else "NULL::bytea"
        sql = (
            f"SELECT u.head_seq, u.epoch, t.uid, {_TURN_COLUMNS}, {embedding}"
            " FROM orlo_memory.users u LEFT JOIN orlo_memory.turns t"
            f" ON {_SELECTIONS[by]} AND t.text IS NOT NULL WHERE u.uid = %(uid)s ORDER BY t.seq"
        )
        params: dict[str, Any] = {"uid": uid}
        if by is By.SESSION:
            params["session"] = values[0]
        else:
            params["values"] = list(values)

        def work(conn: Connection) -> list[tuple[Any, ...]]:
            # One statement, so the head and epoch agree with the rows found.
            with conn.cursor(binary=embeddings) as cursor:
                return cursor.execute(sql, params).fetchall()

        rows = self._run(work)
        if not rows:
            raise OrloMemoryError(f"no user with key {uid}")
        turns = [StoredTurn._make(row[3:]) for row in rows if row[2] == uid]
        return Found(int(rows[0][0]), int(rows[0][1]), turns)

    def hit_rows(self, uid: int, keys: Sequence[int]) -> Found[HitRow]:
        # One statement, so the head and epoch agree with the rows found.
        rows = self._run(
            lambda c: c.execute(
                "SELECT u.head_seq, u.epoch, t.uid, t.seq, t.id, t.session_id, t.role, t.text,"
                " t.metadata, t.created_us FROM orlo_memory.users u LEFT JOIN orlo_memory.turns t"
                " ON t.uid = u.uid AND t.seq = ANY(%s::bigint[]) AND t.text IS NOT NULL"
                " WHERE u.uid = %s",
                (list(keys), uid),
            ).fetchall()
        )
        if not rows:
            raise OrloMemoryError(f"no user with key {uid}")
        found = [HitRow._make(row[3:]) for row in rows if row[2] is not None]
        return Found(int(rows[0][0]), int(rows[0][1]), found)

    def search_rows(self, uid: int, keys: Sequence[int], around: Sequence[int]) -> Found[SearchRow]:
        # One statement, so the head and epoch agree with the rows found; a
        # turn's key is its seq, so its neighbours are the keys next to it.
        rows = self._run(
            lambda c: c.execute(
                "SELECT u.head_seq, u.epoch, t.uid, t.seq, t.id, t.session_id, t.role, t.text,"
                " t.metadata, t.created_us, t.seq, NULL::bytea"
                " FROM orlo_memory.users u LEFT JOIN orlo_memory.turns t"
                " ON t.uid = u.uid AND t.seq = ANY(%(keys)s::bigint[]) AND t.text IS NOT NULL"
                " WHERE u.uid = %(uid)s"
                " UNION ALL SELECT NULL, NULL, t.uid, t.seq, t.id, t.session_id, t.role, t.text,"
                " t.metadata, t.created_us, t.seq, t.embedding"
                " FROM orlo_memory.turns a JOIN orlo_memory.turns t ON t.uid = a.uid"
                " AND t.seq IN (a.seq - 1, a.seq + 1) AND t.session_id = a.session_id"
                " AND t.text IS NOT NULL"
                " WHERE a.uid = %(uid)s AND a.seq = ANY(%(around)s::bigint[])"
                " AND t.seq <> ALL(%(keys)s::bigint[])",
                {"keys": list(keys), "around": list(around), "uid": uid},
            ).fetchall()
        )
        head = next((row for row in rows if row[0] is not None), None)
        if head is None:
            raise OrloMemoryError(f"no user with key {uid}")
        found = [
            SearchRow._make((*row[3:11], None if row[11] is None else bytes(row[11])))
            for row in rows
            if row[2] is not None
        ]
        return Found(int(head[0]), int(head[1]), found)

    def _all_turns(
        self, conn: Connection, uid: int, embeddings: bool, none: bool
    ) -> Found[StoredTurn]:
        """Every live turn (or, if `none`, no turn) with the head, in batches
        read in one snapshot of the database."""
        if self._tx is not None or none:
            return self._all_turns_batched(conn, uid, embeddings, none)
        with self._consistent(conn):
            return self._all_turns_batched(conn, uid, embeddings, none)

    @staticmethod
    def _all_turns_batched(
        conn: Connection, uid: int, embeddings: bool, none: bool
    ) -> Found[StoredTurn]:
        head = conn.execute(
            "SELECT head_seq, epoch FROM orlo_memory.users WHERE uid = %s", (uid,)
        ).fetchone()
        if head is None:
            raise OrloMemoryError(f"no user with key {uid}")
        if none:
            return Found(int(head[0]), int(head[1]), [])
        embedding = "t.embedding" if embeddings else "NULL::bytea"
        turns: list[StoredTurn] = []
        after = 0
        with conn.cursor(binary=embeddings) as cursor:
            while True:
                rows = cursor.execute(
                    f"SELECT {_TURN_COLUMNS}, {embedding} FROM orlo_memory.turns t"
                    " WHERE t.uid = %s AND t.seq > %s AND t.text IS NOT NULL"
                    " ORDER BY t.seq LIMIT %s",
                    (uid, after, BATCH_ROWS),
                ).fetchall()
                turns.extend(StoredTurn._make(row) for row in rows)
                if len(rows) < BATCH_ROWS:
                    return Found(int(head[0]), int(head[1]), turns)
                after = rows[-1][0]

    @staticmethod
    @contextmanager
    def _consistent(conn: Connection) -> Iterator[None]:
        """A read-only transaction in which several statements see one
        snapshot of the database."""
        conn.isolation_level = psycopg.IsolationLevel.REPEATABLE_READ
        conn.read_only = True
        try:
            with conn.transaction():
                yield
        finally:
            conn.isolation_level = None
            conn.read_only = None

    # -- snapshots ----------------------------------------------------------------

    def write_snapshot(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        parts = split_parts(data, PART_BYTES)

        def work(conn: Connection) -> None:
            conn.execute("DELETE FROM orlo_memory.snapshot_parts WHERE uid = %s", (uid,))
            with (
                conn.cursor() as cursor,
                cursor.copy(
                    "COPY orlo_memory.snapshot_parts (uid, part, data) FROM STDIN (FORMAT BINARY)"
                ) as copy,
            ):
                copy.set_types(["int8", "int4", "bytea"])
                for number, part in enumerate(parts):
                    copy.write_row((uid, number, part))
            conn.execute(
                f"INSERT INTO orlo_memory.snapshots (uid, {_HEADER_COLUMNS}, parts)"
                " VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s)"
                " ON CONFLICT (uid) DO UPDATE SET seq = excluded.seq, epoch = excluded.epoch,"
                " live_count = excluded.live_count, dimension = excluded.dimension,"
                " size = excluded.size, checksum = excluded.checksum,"
                " created_us = excluded.created_us, parts = excluded.parts",
                (
                    uid,
                    header.seq,
                    header.epoch,
                    header.live_count,
                    header.dimension,
                    header.size,
                    header.checksum,
                    header.created_us,
                    len(parts),
                ),
            )

        self._run(work)

    def read_snapshot(self, uid: int, *, data: bool = True) -> StoredSnapshot | None:
        def work(conn: Connection) -> StoredSnapshot | None:
            # One snapshot of the database: the header, the head and the parts agree.
            if self._tx is not None or not data:
                return self._read_snapshot(conn, uid, data)
            with self._consistent(conn):
                return self._read_snapshot(conn, uid, data)

        return self._run(work)

    @staticmethod
    def _read_snapshot(conn: Connection, uid: int, data: bool) -> StoredSnapshot | None:
        row = conn.execute(
            "SELECT s.seq, s.epoch, s.live_count, s.dimension, s.size, s.checksum, s.created_us,"
            " s.parts, u.head_seq, u.epoch FROM orlo_memory.snapshots s"
            " JOIN orlo_memory.users u ON u.uid = s.uid WHERE s.uid = %s",
            (uid,),
        ).fetchone()
        if row is None:
            return None
        header = SnapshotHeader(*row[:7])
        count, head_seq, epoch = int(row[7]), int(row[8]), int(row[9])
        if not data:
            return StoredSnapshot(header, b"", head_seq, epoch)
        parts: list[bytes] = []
        with conn.cursor(binary=True) as cursor:
            # A bounded number of parts per statement: the client holds at
            # most that much twice.
            for first in range(0, count, READ_PARTS):
                cursor.execute(
                    "SELECT data FROM orlo_memory.snapshot_parts"
                    " WHERE uid = %s AND part >= %s AND part < %s ORDER BY part",
                    (uid, first, first + READ_PARTS),
                )
                parts.extend(data for (data,) in cursor)
        return StoredSnapshot(header, b"".join(parts), head_seq, epoch)

    # -- full-text search -----------------------------------------------------------

    def lexical_search(
        self,
        uid: int,
        terms: list[str],
        limit: int,
        session_id: str | None = None,
        span: tuple[int, int] | None = None,
    ) -> list[tuple[int, float]]:
        if not terms or limit <= 0:
            return []
        share = self.common_term_share
        return self._run(
            lambda c: postgres_lexical.lexical_search(c, uid, terms, limit, session_id, share, span)
        )

    # -- access tokens (the servers' TokenStore) --------------------------------

    def add_token(self, token: TokenRecord) -> None:
        users = None if token.users is None else json.dumps(list(token.users))
        self._run(
            lambda c: c.execute(
                "INSERT INTO orlo_memory.tokens (id, name, digest, users, created_us)"
                " VALUES (%s, %s, %s, %s, %s)",
                (token.id, token.name, token.digest, users, token.created_us),
            )
        )

    def find_token(self, token_id: str) -> TokenRecord | None:
        row = self._run(
            lambda c: c.execute(
                f"SELECT {_TOKEN_COLUMNS} FROM orlo_memory.tokens WHERE id = %s", (token_id,)
            ).fetchone()
        )
        return None if row is None else _token_record(row)

    def list_tokens(self) -> list[TokenRecord]:
        rows = self._run(
            lambda c: c.execute(
                f"SELECT {_TOKEN_COLUMNS} FROM orlo_memory.tokens ORDER BY created_us, id"
            ).fetchall()
        )
        return [_token_record(row) for row in rows]

    def remove_token(self, token_id: str) -> bool:
        count = self._run(
            lambda c: (
                c.execute("DELETE FROM orlo_memory.tokens WHERE id = %s", (token_id,)).rowcount
            )
        )
        return count > 0

    def has_tokens(self) -> bool:
        row = self._run(lambda c: c.execute("SELECT 1 FROM orlo_memory.tokens LIMIT 1").fetchone())
        return row is not None


# The columns of the servers' bearer tokens (see tokens.py).
_TOKEN_COLUMNS = "id, name, digest, users, created_us"


def _token_record(row: tuple[Any, ...]) -> TokenRecord:
    users = None if row[3] is None else tuple(json.loads(row[3]))
    return TokenRecord(str(row[0]), str(row[1]), str(row[2]), users, int(row[4]))
