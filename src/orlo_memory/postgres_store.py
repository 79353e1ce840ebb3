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
raise StoreUnavailableError. A write's transaction is then rolled back by the
server, or, if the commit itself was cut off, either fully stored or absent;
the caller may retry. A pooled connection found dead at the first statement
of a call is replaced once, so the call after a restart reconnects.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from functools import partial
from typing import Any, TypeVar

import psycopg
import psycopg_pool
from psycopg import errors as pg_errors
from psycopg.conninfo import conninfo_to_dict
from psycopg.pq import TransactionStatus

from . import postgres_lexical, postgres_schema
from .errors import (
    ClosedError,
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    StoreUnavailableError,
)
from .postgres_schema import (
    LOCK_SPACE,
    LOCK_SQL,
    SCHEMA_LOCK_KEY,
    SCHEMA_LOCK_SQL,
    SCHEMA_UNLOCK_SQL,
)
from .snapshot import split_parts
from .store import (
    Event,
    EventKind,
    Found,
    SessionRecord,
    SnapshotHeader,
    StoredSnapshot,
    StoredTurn,
    TurnRecord,
    UserState,
)
from .tokens import TokenRecord

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

_TURN_COLUMNS = "id, seq, session_id, boundary, role, text, metadata, created_us"
_JOINED_TURN_COLUMNS = ", ".join("t." + column for column in _TURN_COLUMNS.split(", "))
_HEADER_COLUMNS = "seq, epoch, live_count, dimension, size, checksum, created_us"
_TURN_COPY_TYPES = ["int8", "text", "int8", "text", "int2", "text", "text", "text", "int8", "bytea"]
_READ_SNAPSHOT = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"


def is_postgres_url(location: str) -> bool:
    return location.startswith(("postgresql://", "postgres://"))


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


def _converted(error: psycopg.Error, during: str = "") -> OrloMemoryError:
    """The memory's exception for a psycopg error."""
    message = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
    if isinstance(error, pg_errors.UniqueViolation):
        diag = error.diag
        if diag.constraint_name == "turns_id_key":
            return DuplicateIdError(f"turn id already stored ({diag.message_detail})")
    if isinstance(error, psycopg.DataError):
        return InvalidInputError(f"PostgreSQL refused a value: {message}")
    if isinstance(error, psycopg.OperationalError | psycopg.InterfaceError):
        return StoreUnavailableError(
            f"the PostgreSQL call failed{during}: {message}; it may be retried"
            " (an add retried with the same turn ids is not stored twice)"
        )
    return OrloMemoryError(f"PostgreSQL error: {message}")


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
        if timeout <= 0:
            raise InvalidInputError(f"timeout must be positive, got {timeout}")
        if not 0.0 < common_term_share <= 1.0:
            raise InvalidInputError(
                f"common_term_share must be in (0, 1], got {common_term_share!r}"
            )
        self.common_term_share = common_term_share
        self._where = _describe(url)
        self._timeout = timeout
        self._held: Connection | None = None
        self._tx: Connection | None = None
        settings: dict[str, Any] = {"autocommit": True, "connect_timeout": max(1, round(timeout))}
        try:
            with psycopg.connect(url, **settings) as first:
                postgres_schema.prepare(first)
                _create_token_table(first)
        except psycopg.Error as error:
            raise StoreUnavailableError(f"cannot open {self._where}: {error}") from error
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
        """After a failure: rolls back what `conn` left open; a connection
        that broke goes back to the pool."""
        if not conn.closed and conn.info.transaction_status != TransactionStatus.IDLE:
            try:
                conn.execute("ROLLBACK")
            except psycopg.Error:
                conn.close()
        if conn.closed:
            self._give_back(conn)

    def _run(self, work: Callable[[Connection], T]) -> T:
        """`work` inside the open write transaction, or else on its own; out
        of a transaction a connection found dead is replaced and `work`
        repeated once (a read repeats harmlessly, and a write that failed on
        a dead connection never reached the server)."""
        if self._tx is not None:
            try:
                return work(self._tx)
            except psycopg.Error as error:
                raise _converted(error) from error
        for attempt in range(2):
            conn = self._connection()
            try:
                return work(conn)
            except psycopg.Error as error:
                dead = conn.closed
                self._settle(conn)
                if dead and attempt == 0:
                    continue
                raise _converted(error) from error
            except BaseException:
                self._settle(conn)
                raise
        raise AssertionError("unreachable")

    def _begin(self, uid: int) -> Connection:
        """The connection in a transaction that holds the user's write lock."""
        for attempt in range(2):
            conn = self._connection()
            try:
                conn.execute("BEGIN")
                conn.execute(LOCK_SQL, (LOCK_SPACE, _user_lock_key(uid)))
                return conn
            except psycopg.Error as error:
                dead = conn.closed
                self._settle(conn)
                if dead and attempt == 0:
                    continue
                raise _converted(error, " taking the user's write lock") from error
            except BaseException:
                self._settle(conn)
                raise
        raise AssertionError("unreachable")

    @contextmanager
    def transaction(self, uid: int) -> Iterator[None]:
        if self._tx is not None:
            raise OrloMemoryError("a write transaction is already open")
        conn = self._begin(uid)
        self._tx = conn
        try:
            try:
                yield
            finally:
                self._tx = None
            conn.execute("COMMIT")
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
        rows = self._run(lambda c: c.execute("SELECT key, value FROM orlo_memory.meta").fetchall())
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

    # -- writing (inside `transaction`) -------------------------------------------

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
        rows = self._run(
            lambda c: c.execute(
                "SELECT id FROM orlo_memory.turns WHERE id = ANY(%s)", (list(ids),)
            ).fetchall()
        )
        return [str(row[0]) for row in rows]

    def append_turns(self, uid: int, turns: Sequence[TurnRecord]) -> None:
        def work(conn: Connection) -> None:
            with (
                conn.cursor() as cursor,
                cursor.copy(
                    "COPY orlo_memory.turns (uid, id, seq, session_id, boundary, role, text,"
                    " metadata, created_us, embedding) FROM STDIN (FORMAT BINARY)"
                ) as copy,
            ):
                copy.set_types(_TURN_COPY_TYPES)
                for turn in turns:
                    copy.write_row((uid, *turn))

        self._run(work)

    def forget_turns(self, uid: int, forgets: Sequence[tuple[str, int]], now_us: int) -> None:
        ids = [turn_id for turn_id, _ in forgets]

        def work(conn: Connection) -> None:
            cleared = conn.execute(
                "UPDATE orlo_memory.turns SET text = NULL, metadata = NULL, embedding = NULL"
                " WHERE uid = %s AND id = ANY(%s) AND text IS NOT NULL",
                (uid, ids),
            ).rowcount
            if cleared != len(set(ids)):
                raise OrloMemoryError("a turn to forget is not a live turn of this user")
            with conn.cursor() as cursor:
                cursor.executemany(
                    "INSERT INTO orlo_memory.forgets (uid, seq, turn_id, forgotten_us)"
                    " VALUES (%s, %s, %s, %s)",
                    [(uid, seq, turn_id, now_us) for turn_id, seq in forgets],
                )

        self._run(work)

    def create_session(self, uid: int, session: SessionRecord) -> None:
        self._run(
            lambda c: c.execute(
                "INSERT INTO orlo_memory.sessions (id, uid, title, created_us, turn_count,"
                " vector_sum) VALUES (%s, %s, %s, %s, %s, %b)",
                (
                    session.id,
                    uid,
                    session.title,
                    session.created_us,
                    session.turn_count,
                    session.vector_sum,
                ),
            )
        )

    def write_session_sums(self, uid: int, sessions: Sequence[SessionRecord]) -> None:
        def work(conn: Connection) -> None:
            with conn.cursor() as cursor:
                cursor.executemany(
                    "UPDATE orlo_memory.sessions SET turn_count = %s, vector_sum = %b"
                    " WHERE id = %s AND uid = %s",
                    [(s.turn_count, s.vector_sum, s.id, uid) for s in sessions],
                )

        self._run(work)

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

    def delete_snapshot(self, uid: int) -> None:
        def work(conn: Connection) -> None:
            conn.execute("DELETE FROM orlo_memory.snapshot_parts WHERE uid = %s", (uid,))
            conn.execute("DELETE FROM orlo_memory.snapshots WHERE uid = %s", (uid,))

        self._run(work)

    # -- reading ----------------------------------------------------------------

    def head(self, uid: int) -> tuple[int, int]:
        row = self._run(
            lambda c: c.execute(
                "SELECT head_seq, epoch FROM orlo_memory.users WHERE uid = %s", (uid,)
            ).fetchone()
        )
        if row is None:
            raise OrloMemoryError(f"no user with key {uid}")
        return (int(row[0]), int(row[1]))

    def events_after(self, uid: int, seq: int) -> Iterator[Event]:
        # Batches by seq: the log only grows, and a turn forgotten between two
        # batches is read either live and then forgotten by its later event,
        # or already forgotten, which replay treats alike.
        after = seq
        while True:
            rows = self._run(partial(self._events_batch, uid=uid, after=after))
            for row in rows:
                yield Event(row[0], EventKind(row[1]), row[2], row[3], row[4], row[5])
            if len(rows) < BATCH_ROWS:
                return
            after = rows[-1][0]

    @staticmethod
    def _events_batch(conn: Connection, uid: int, after: int) -> list[tuple[Any, ...]]:
        with conn.cursor(binary=True) as cursor:
            return cursor.execute(
                "(SELECT seq, 0 AS kind, id, session_id, boundary, embedding"
                "  FROM orlo_memory.turns WHERE uid = %(uid)s AND seq > %(after)s"
                "  ORDER BY seq LIMIT %(rows)s)"
                " UNION ALL"
                " (SELECT seq, 1, turn_id, NULL, 0, NULL"
                "  FROM orlo_memory.forgets WHERE uid = %(uid)s AND seq > %(after)s"
                "  ORDER BY seq LIMIT %(rows)s)"
                " ORDER BY 1 LIMIT %(rows)s",
                {"uid": uid, "after": after, "rows": BATCH_ROWS},
            ).fetchall()

    def live_turns(self, uid: int, ids: Sequence[str]) -> Found:
        # One statement, so the head and epoch agree with the rows found. The
        # turns are found by id alone (the owner is checked here): a condition
        # on uid would tempt the planner into scanning the user's whole log.
        rows = self._run(
            lambda c: c.execute(
                f"SELECT u.head_seq, u.epoch, t.uid, {_JOINED_TURN_COLUMNS}"
                " FROM orlo_memory.users u LEFT JOIN orlo_memory.turns t"
                " ON t.id = ANY(%s) AND t.text IS NOT NULL WHERE u.uid = %s",
                (list(ids), uid),
            ).fetchall()
        )
        if not rows:
            raise OrloMemoryError(f"no user with key {uid}")
        turns = [StoredTurn._make(row[3:]) for row in rows if row[2] == uid]
        return Found(int(rows[0][0]), int(rows[0][1]), turns)

    def turn_embeddings(self, uid: int, ids: Sequence[str]) -> list[tuple[str, str, bytes]]:
        def work(conn: Connection) -> list[tuple[str, str, bytes]]:
            with conn.cursor(binary=True) as cursor:
                return cursor.execute(
                    "SELECT id, session_id, embedding FROM orlo_memory.turns"
                    " WHERE uid = %s AND id = ANY(%s) AND text IS NOT NULL",
                    (uid, list(ids)),
                ).fetchall()

        return self._run(work)

    def iter_turns(self, uid: int) -> Iterator[StoredTurn]:
        after = 0
        while True:
            rows = self._run(partial(self._turns_batch, uid=uid, after=after))
            for row in rows:
                yield StoredTurn._make(row)
            if len(rows) < BATCH_ROWS:
                return
            after = rows[-1][1]

    @staticmethod
    def _turns_batch(conn: Connection, uid: int, after: int) -> list[tuple[Any, ...]]:
        return conn.execute(
            f"SELECT {_TURN_COLUMNS} FROM orlo_memory.turns"
            " WHERE uid = %s AND seq > %s AND text IS NOT NULL ORDER BY seq LIMIT %s",
            (uid, after, BATCH_ROWS),
        ).fetchall()

    def session_embeddings(self, uid: int, session_id: str) -> list[tuple[str, bytes]]:
        def work(conn: Connection) -> list[tuple[str, bytes]]:
            with conn.cursor(binary=True) as cursor:
                return cursor.execute(
                    "SELECT id, embedding FROM orlo_memory.turns"
                    " WHERE session_id = %s AND uid = %s AND embedding IS NOT NULL ORDER BY seq",
                    (session_id, uid),
                ).fetchall()

        return self._run(work)

    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        columns = "id, title, created_us, turn_count, vector_sum"

        def work(conn: Connection) -> list[tuple[Any, ...]]:
            with conn.cursor(binary=True) as cursor:
                if ids is None:
                    return cursor.execute(
                        f"SELECT {columns} FROM orlo_memory.sessions WHERE uid = %s"
                        " ORDER BY created_us DESC, ordinal DESC",
                        (uid,),
                    ).fetchall()
                return cursor.execute(
                    f"SELECT {columns} FROM orlo_memory.sessions WHERE uid = %s AND id = ANY(%s)"
                    " ORDER BY created_us DESC, ordinal DESC",
                    (uid, list(ids)),
                ).fetchall()

        return [SessionRecord(*row) for row in self._run(work)]

    def snapshot_header(self, uid: int) -> SnapshotHeader | None:
        row = self._run(
            lambda c: c.execute(
                f"SELECT {_HEADER_COLUMNS} FROM orlo_memory.snapshots WHERE uid = %s", (uid,)
            ).fetchone()
        )
        return None if row is None else SnapshotHeader(*row)

    def read_snapshot(self, uid: int) -> StoredSnapshot | None:
        def work(conn: Connection) -> StoredSnapshot | None:
            # One snapshot of the database: the header, the head and the parts agree.
            if self._tx is not None:
                return self._read_snapshot(conn, uid)
            conn.execute(_READ_SNAPSHOT)
            stored = self._read_snapshot(conn, uid)
            conn.execute("COMMIT")
            return stored

        return self._run(work)

    @staticmethod
    def _read_snapshot(conn: Connection, uid: int) -> StoredSnapshot | None:
        row = conn.execute(
            f"SELECT {_HEADER_COLUMNS}, parts FROM orlo_memory.snapshots WHERE uid = %s", (uid,)
        ).fetchone()
        head = conn.execute(
            "SELECT head_seq, epoch FROM orlo_memory.users WHERE uid = %s", (uid,)
        ).fetchone()
        if row is None or head is None:
            return None
        parts: list[bytes] = []
        count = int(row[-1])
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
        header = SnapshotHeader(*row[:-1])
        return StoredSnapshot(header, b"".join(parts), int(head[0]), int(head[1]))

    def lexical_search(
        self, uid: int, terms: list[str], limit: int, session_id: str | None = None
    ) -> list[tuple[str, float]]:
        if not terms or limit <= 0:
            return []
        share = self.common_term_share
        return self._run(
            lambda c: postgres_lexical.lexical_search(c, uid, terms, limit, session_id, share)
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


# The servers' bearer tokens (see tokens.py). Not part of the versioned schema:
# created on open where missing, under the schema lock (two sessions creating
# one table at once collide in the catalog), so databases made before it keep
# opening. `users` is a JSON array of user names, NULL for every user.
_TOKEN_COLUMNS = "id, name, digest, users, created_us"
_TOKEN_DDL = """CREATE TABLE IF NOT EXISTS orlo_memory.tokens (
    id text PRIMARY KEY,
    name text NOT NULL,
    digest text NOT NULL,
    users text,
    created_us bigint NOT NULL
)"""


def _create_token_table(conn: Connection) -> None:
    exists = "SELECT to_regclass('orlo_memory.tokens') IS NOT NULL"
    row = conn.execute(exists).fetchone()
    if row is not None and row[0]:
        return
    conn.execute(SCHEMA_LOCK_SQL, (LOCK_SPACE, SCHEMA_LOCK_KEY))
    try:
        conn.execute(_TOKEN_DDL)
    finally:
        conn.execute(SCHEMA_UNLOCK_SQL, (LOCK_SPACE, SCHEMA_LOCK_KEY))


def _token_record(row: tuple[Any, ...]) -> TokenRecord:
    users = None if row[3] is None else tuple(json.loads(row[3]))
    return TokenRecord(str(row[0]), str(row[1]), str(row[2]), users, int(row[4]))
