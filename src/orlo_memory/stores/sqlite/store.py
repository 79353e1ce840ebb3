"""The SQLite backend of the memory: the only module that speaks SQL to SQLite
(its tables and their versions: sqlite_schema.py).

One connection in autocommit mode; a write is `BEGIN IMMEDIATE` ... `COMMIT`,
which takes SQLite's single writer lock (a per-user lock is not needed on
top: the database lock covers every user), and multi-statement reads run in a
deferred transaction so they see one state of the file. The pragmas are set in
one place, `_configure`; every error of SQLite or of a snapshot file becomes
one of the memory's exceptions in one place, `_converted`. A turn's key is
its `turns.row`, so search reads its hits by rowid, with the user's head, in
one statement.

Index snapshots live in files beside the database (`<database>-snapshots/`),
named after the user, epoch and seq they hold and recorded in the `snapshots`
row that the checkpoint transaction writes: reading a large snapshot from a
file costs a fraction of reading it from SQLite's overflow pages, and a torn
or lost file is caught by the checksum (the log stays the truth). A
checkpoint removes the file it replaces once it commits; files left by a
crash are removed when the store is next opened. A ":memory:" database keeps
its snapshots in memory.

Full-text search is an FTS5 table whose `scope` column holds the tokens
"u<uid>" and "s<session id>", so a query is scoped by the index itself,
ranked by bm25 over the `text` column only. FTS5 has no stop words, and bm25
scores every row that holds any query word: "the" or "what" would rank most of
the turns (slow, and in a fused ranking those matches crowd out the turns
found by meaning). So the query words are counted first (each count stops at
the bound, so it is cheap) and kept rarest first while their matches add up to
at most `common_term_share` of the stored turns (at least COMMON_TERM_FLOOR):
bm25 then scores a bounded number of rows, and words found nearly everywhere,
which say little, are left out. A query whose rarest word alone passes the
bound is ranked by that word over its COMMON_TERM_POOL most recent matches
among the user's turns.
bm25 also computes the frequency of every phrase of the query, the user's
scope token included, which costs a pass over all of the user's rows: when the
user holds most of the stored turns the query runs unscoped and the join keeps
the user's rows instead.
"""

from __future__ import annotations

import errno
import functools
import json
import mmap
import os
import sqlite3
import stat
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager, suppress
from typing import Any, Concatenate, ParamSpec, TypeVar

from ...contract.values import MAX_WAIT_SECONDS, real_argument
from ...errors import (
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    StoreError,
    StoreUnavailableError,
)
from ..lexical import rarest_terms
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
from ..tokens import TokenRecord
from . import schema as sqlite_schema

# Chosen on bench/eval_search.py and bench/bench_memory.py. The floor keeps
# small memories on plain bm25 (scoring up to 1,000 rows costs a few ms): only
# large ones leave their commonest words out.
DEFAULT_COMMON_TERM_SHARE = 0.02
COMMON_TERM_FLOOR = 1000
COMMON_TERM_POOL = 1000
# Values per statement where a call names many turns: SQLite caps the
# parameters of a statement (at 999 in older builds).
BATCH_VALUES = 500
_SNAPSHOT_SUFFIX = ".kiv"
_SYNCHRONOUS = ("OFF", "NORMAL", "FULL", "EXTRA")
_LAST_SEQ = (1 << 63) - 1

_HEADER_COLUMNS = "seq, epoch, live_count, dimension, size, checksum, created_us"
_TURN_COLUMNS = (
    "t.row, t.id, t.seq, t.session_id, t.boundary, t.role, t.text, t.metadata, t.created_us,"
    " t.alias"
)
_TURN_COLUMN_COUNT = 10
_USER_STATE_COLUMNS = (
    "head_seq, epoch, live_count, forgotten_count, forgotten_since_rebuild, current_session,"
    " pending_boundary"
)
_HIT_COLUMNS = "t.row, t.id, t.session_id, t.role, t.text, t.metadata, t.created_us"
# How each selection of `read_turns` is written; the values come first, the uid last.
_SELECTIONS = {
    By.ID: "t.id IN ({marks}) AND +t.uid = ?",
    By.ALIAS: "t.alias IN ({marks}) AND t.uid = ?",
    By.SESSION: "t.session_id = ? AND t.uid = ?",
    By.ALL: "t.uid = ?",
}

P = ParamSpec("P")
T = TypeVar("T")


@functools.lru_cache(maxsize=256)
def _turns_sql(by: str, count: int, embeddings: bool, head: bool) -> str:
    """The statement of a `read_turns` selection (`by`: a By value); with
    `head`, its first row holds the user's head seq and epoch (read in the
    same state as the turns)."""
    where = _SELECTIONS[By(by)].format(marks=",".join("?" * count))
    if not embeddings:
        sql = f"SELECT {_TURN_COLUMNS}, NULL FROM turns t WHERE {where} AND t.text IS NOT NULL"
    else:
        sql = (
            f"SELECT {_TURN_COLUMNS}, e.data FROM turns t JOIN embeddings e ON e.row = t.row"
            f" WHERE {where} AND t.text IS NOT NULL"
        )
    if not head:
        return sql
    padding = ", NULL" * (_TURN_COLUMN_COUNT - 1)
    return f"SELECT head_seq, epoch{padding} FROM users WHERE uid = ? UNION ALL {sql}"


@functools.lru_cache(maxsize=64)
def _hits_sql(count: int, head: bool) -> str:
    """The statement of `hit_rows`; with `head`, its first row holds the
    user's head seq and epoch (read in the same state as the turns)."""
    sql = (
        f"SELECT {_HIT_COLUMNS} FROM turns t"
        f" WHERE t.row IN ({','.join('?' * count)}) AND +t.uid = ? AND t.text IS NOT NULL"
    )
    if not head:
        return sql
    head_row = "SELECT head_seq, epoch, NULL, NULL, NULL, NULL, NULL FROM users WHERE uid = ?"
    return f"{head_row} UNION ALL {sql}"


def _search_sql(keys: int, around: int) -> str:
    """The statement of `search_rows`: the head row, the turns among the
    keys, then the neighbours of the turns among `around` that are not among
    the keys, with embeddings."""
    return (
        "SELECT head_seq, epoch, NULL, NULL, NULL, NULL, NULL, NULL, NULL FROM users"
        f" WHERE uid = ? UNION ALL SELECT {_HIT_COLUMNS}, t.seq, NULL FROM turns t"
        f" WHERE t.row IN ({','.join('?' * keys)}) AND +t.uid = ? AND t.text IS NOT NULL"
        f" UNION ALL SELECT {_HIT_COLUMNS}, t.seq, e.data FROM turns a"
        " JOIN turns t ON t.uid = a.uid AND t.seq IN (a.seq - 1, a.seq + 1)"
        " AND t.session_id = a.session_id AND t.text IS NOT NULL"
        " JOIN embeddings e ON e.row = t.row"
        f" WHERE a.row IN ({','.join('?' * around)}) AND +a.uid = ?"
        f" AND t.row NOT IN ({','.join('?' * keys)})"
    )


def _seq_of(turn: StoredTurn) -> int:
    return turn.seq


def _fts_quote(term: str) -> str:
    return '"' + term.replace('"', '""') + '"'


def _batches(values: Sequence[Any]) -> list[Sequence[Any]]:
    return [values[start : start + BATCH_VALUES] for start in range(0, len(values), BATCH_VALUES)]


def _mapped(
    method: Callable[Concatenate[SqliteStore, P], T],
) -> Callable[Concatenate[SqliteStore, P], T]:
    """The store's method with SQLite's and the snapshot files' errors turned
    into the memory's (`_converted`)."""

    @functools.wraps(method)
    def wrapper(self: SqliteStore, /, *args: P.args, **kwargs: P.kwargs) -> T:
        try:
            return method(self, *args, **kwargs)
        except (sqlite3.Error, OSError) as error:
            raise self._converted(error) from error

    return wrapper


class SqliteStore:
    """A `Store` on one SQLite file (or ":memory:")."""

    def __init__(
        self,
        path: str,
        *,
        synchronous: str = "NORMAL",
        busy_timeout: float = 60.0,
        common_term_share: float = DEFAULT_COMMON_TERM_SHARE,
    ) -> None:
        if not isinstance(synchronous, str) or synchronous.upper() not in _SYNCHRONOUS:
            raise InvalidInputError(
                f"synchronous must be one of {', '.join(_SYNCHRONOUS).lower()}, got {synchronous!r}"
            )
        busy_timeout = real_argument(busy_timeout, "busy_timeout", 0.0, MAX_WAIT_SECONDS)
        self.common_term_share = real_argument(
            common_term_share, "common_term_share", 0.0, 1.0, above_low=True
        )
        self._path = path
        self._busy_timeout = busy_timeout
        try:
            self._conn = sqlite3.connect(
                path, timeout=busy_timeout, isolation_level=None, check_same_thread=False
            )
        except sqlite3.Error as error:
            raise StoreError(f"cannot open {path!r}: {error}") from error
        self._in_transaction = False
        self._on_commit: list[Callable[[], None]] = []
        self._on_rollback: list[Callable[[], None]] = []
        in_memory = path in ("", ":memory:") or path.startswith("file::memory:")
        self._snapshot_dir = None if in_memory else os.path.abspath(path) + "-snapshots"
        self._memory_snapshots: dict[int, bytes] = {}
        try:
            self._open(synchronous.upper())
        except BaseException:
            self._conn.close()
            raise

    @_mapped
    def _open(self, synchronous: str) -> None:
        sqlite_schema.check_ours(self._conn, self._path)
        self._configure(synchronous)
        with self._write():
            sqlite_schema.prepare(self._conn, self._path)
            self._remove_stray_snapshots()

    def _configure(self, synchronous: str) -> None:
        """Every pragma of the store, set once at open."""
        execute = self._conn.execute
        execute("PRAGMA page_size = 8192")  # only takes effect on a new file
        if execute("PRAGMA journal_mode = WAL").fetchone()[0] not in ("wal", "memory"):
            raise StoreError(f"{self._path!r} cannot use write-ahead logging")
        # WAL with NORMAL survives a crash of the process; FULL also a power loss.
        execute(f"PRAGMA synchronous = {synchronous}")
        execute("PRAGMA cache_size = -65536")
        execute("PRAGMA temp_store = MEMORY")
        execute("PRAGMA mmap_size = 1073741824")  # reads without a system call per page
        execute("PRAGMA foreign_keys = OFF")

    def _converted(self, error: sqlite3.Error | OSError) -> OrloMemoryError:
        """The memory's exception for an error of SQLite or of a snapshot file."""
        if isinstance(error, OSError):
            where = f" {error.filename!r}" if error.filename else ""
            return StoreError(f"index snapshot file{where}: {error.strerror or error}")
        message = str(error) or type(error).__name__
        code = getattr(error, "sqlite_errorcode", None)
        primary = None if code is None else code & 0xFF
        if primary in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
            return StoreUnavailableError(
                f"{self._path!r} stayed locked by another writer for {self._busy_timeout:g} s"
                f" ({message}); the call may be retried"
            )
        if primary == sqlite3.SQLITE_FULL:
            return StoreError(f"cannot write to {self._path!r}: {message}")
        if primary == sqlite3.SQLITE_NOTADB:
            return InvalidInputError(f"{self._path!r} is not a memory database ({message})")
        if primary == sqlite3.SQLITE_CONSTRAINT and "turns.id" in message:
            return DuplicateIdError(f"turn id already stored ({message})")
        return StoreError(f"SQLite failed on {self._path!r}: {message}")

    def close(self) -> None:
        self._conn.close()

    # -- transactions -------------------------------------------------------

    @contextmanager
    def _write(self) -> Iterator[None]:
        if self._in_transaction:
            raise OrloMemoryError("a write transaction is already open")
        try:
            self._conn.execute("BEGIN IMMEDIATE")
        except sqlite3.Error as error:
            raise self._converted(error) from error
        self._in_transaction = True
        try:
            yield
            self._conn.execute("COMMIT")
        except BaseException as failure:
            self._in_transaction = False
            if self._conn.in_transaction:
                with suppress(sqlite3.Error):
                    self._conn.execute("ROLLBACK")
            self._finish(self._on_rollback)
            if isinstance(failure, sqlite3.Error):  # the commit, or a statement of ours
                raise self._converted(failure) from failure
            raise
        self._in_transaction = False
        self._finish(self._on_commit)

    def _finish(self, actions: list[Callable[[], None]]) -> None:
        done = list(actions)
        self._on_commit.clear()
        self._on_rollback.clear()
        for action in done:
            action()

    @contextmanager
    def _read(self) -> Iterator[None]:
        """A deferred transaction so that several statements see one state;
        inside a write transaction the statements simply run in it."""
        if self._in_transaction:
            yield
            return
        self._conn.execute("BEGIN")
        try:
            yield
        finally:
            if self._conn.in_transaction:
                self._conn.execute("COMMIT")

    def transaction(self, uid: int) -> Any:
        return self._write()

    # -- settings and users ---------------------------------------------------

    @_mapped
    def read_settings(self) -> dict[str, str]:
        rows = self._conn.execute("SELECT key, value FROM meta WHERE key != 'schema_version'")
        return dict(rows.fetchall())

    @_mapped
    def write_settings(self, values: Mapping[str, str]) -> None:
        with self._write():
            self._conn.executemany(
                "INSERT OR IGNORE INTO meta (key, value) VALUES (?, ?)", list(values.items())
            )

    @_mapped
    def ensure_user(self, name: str, now_us: int) -> int:
        row = self._conn.execute("SELECT uid FROM users WHERE name = ?", (name,)).fetchone()
        if row is None:
            self._conn.execute(
                "INSERT OR IGNORE INTO users (name, created_us) VALUES (?, ?)", (name, now_us)
            )
            row = self._conn.execute("SELECT uid FROM users WHERE name = ?", (name,)).fetchone()
        return int(row[0])

    @_mapped
    def user_names(self) -> list[str]:
        return [row[0] for row in self._conn.execute("SELECT name FROM users ORDER BY uid")]

    # -- the log --------------------------------------------------------------

    @_mapped
    def user_state(self, uid: int) -> UserState:
        row = self._conn.execute(
            f"SELECT {_USER_STATE_COLUMNS} FROM users WHERE uid = ?", (uid,)
        ).fetchone()
        if row is None:
            raise OrloMemoryError(f"no user with key {uid}")
        return UserState(uid, *row)

    @_mapped
    def save_user_state(self, state: UserState) -> None:
        self._conn.execute(
            "UPDATE users SET head_seq = ?, epoch = ?, live_count = ?, forgotten_count = ?,"
            " forgotten_since_rebuild = ?, current_session = ?, pending_boundary = ?"
            " WHERE uid = ?",
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

    @_mapped
    def existing_turn_ids(self, ids: Sequence[str]) -> list[str]:
        found: list[str] = []
        for batch in _batches(ids):
            marks = ",".join("?" * len(batch))
            rows = self._conn.execute(f"SELECT id FROM turns WHERE id IN ({marks})", tuple(batch))
            found.extend(row[0] for row in rows)
        return found

    @_mapped
    def append_turns(self, uid: int, turns: Sequence[TurnRecord]) -> list[int]:
        if not turns:
            return []
        execute = self._conn.execute
        self._conn.executemany(
            "INSERT INTO turns (id, seq, session_id, boundary, role, text, metadata,"
            " created_us, alias, uid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [(*turn[:9], uid) for turn in turns],
        )
        first_seq, last_seq = turns[0].seq, turns[-1].seq
        # Rows are mapped by seq, not assumed consecutive.
        keys = [
            row[0]
            for row in execute(
                "SELECT row FROM turns WHERE uid = ? AND seq BETWEEN ? AND ? ORDER BY seq",
                (uid, first_seq, last_seq),
            )
        ]
        self._conn.executemany(
            "INSERT INTO embeddings (row, data) VALUES (?, ?)",
            [(key, turn.embedding) for key, turn in zip(keys, turns, strict=True)],
        )
        execute(
            "INSERT INTO turns_fts (rowid, text, scope)"
            " SELECT row, text, 'u' || uid || ' s' || session_id FROM turns"
            " WHERE uid = ? AND seq BETWEEN ? AND ?",
            (uid, first_seq, last_seq),
        )
        return keys

    @_mapped
    def forget_turns(self, uid: int, forgets: Sequence[ForgetRecord], now_us: int) -> None:
        execute = self._conn.execute
        for forget in forgets:
            # The full-text table is contentless (schema version 3 on): a
            # row leaves it with the values it was indexed with.
            execute(
                "INSERT INTO turns_fts (turns_fts, rowid, text, scope)"
                " SELECT 'delete', row, text, 'u' || uid || ' s' || session_id"
                " FROM turns WHERE row = ? AND uid = ? AND text IS NOT NULL",
                (forget.key, uid),
            )
            cleared = execute(
                "UPDATE turns SET text = NULL, metadata = NULL, alias = NULL"
                " WHERE row = ? AND uid = ? AND text IS NOT NULL",
                (forget.key, uid),
            ).rowcount
            if cleared != 1:
                raise OrloMemoryError(f"turn {forget.turn_id} is not a live turn of this user")
            execute("DELETE FROM embeddings WHERE row = ?", (forget.key,))
            execute(
                "INSERT INTO forgets (uid, seq, turn_id, forgotten_us) VALUES (?, ?, ?, ?)",
                (uid, forget.seq, forget.turn_id, now_us),
            )

    @_mapped
    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        if ids is not None and not ids:
            return []
        columns = "id, title, created_us, turn_count, vector_sum"
        order = " ORDER BY created_us DESC, rowid DESC"
        if ids is None:
            rows = self._conn.execute(
                f"SELECT {columns} FROM sessions WHERE uid = ?{order}", (uid,)
            ).fetchall()
        else:
            rows = []
            with self._read():
                for batch in _batches(ids):
                    marks = ",".join("?" * len(batch))
                    rows += self._conn.execute(
                        f"SELECT {columns}, rowid FROM sessions WHERE id IN ({marks})"
                        f" AND uid = ?{order}",
                        (*batch, uid),
                    ).fetchall()
            rows.sort(key=lambda row: (-row[2], -row[5]))
            rows = [row[:5] for row in rows]
        return [SessionRecord(*row) for row in rows]

    @_mapped
    def save_sessions(self, uid: int, sessions: Sequence[SessionRecord]) -> None:
        self._conn.executemany(
            "INSERT INTO sessions (id, uid, title, created_us, turn_count, vector_sum)"
            " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO UPDATE"
            " SET turn_count = excluded.turn_count, vector_sum = excluded.vector_sum"
            " WHERE sessions.uid = excluded.uid",
            [(s.id, uid, s.title, s.created_us, s.turn_count, s.vector_sum) for s in sessions],
        )

    @_mapped
    def events_after(self, uid: int, seq: int, until: int | None = None) -> Iterator[Event]:
        last = _LAST_SEQ if until is None else until
        with self._read():
            rows = self._conn.execute(
                "SELECT t.seq, 0, t.row, t.session_id, t.boundary, e.data FROM turns t"
                " LEFT JOIN embeddings e ON e.row = t.row"
                " WHERE t.uid = ? AND t.seq > ? AND t.seq <= ?"
                " UNION ALL"
                " SELECT f.seq, 1, t.row, t.session_id, 0, NULL FROM forgets f"
                " JOIN turns t ON t.id = f.turn_id WHERE f.uid = ? AND f.seq > ? AND f.seq <= ?"
                " ORDER BY 1",
                (uid, seq, last, uid, seq, last),
            ).fetchall()
        return iter([Event(row[0], EventKind(row[1]), *row[2:]) for row in rows])

    @_mapped
    def read_turns(
        self, uid: int, by: By, values: Sequence[str] = (), *, embeddings: bool = False
    ) -> Found[StoredTurn]:
        execute = self._conn.execute
        if by is By.SESSION or by is By.ALL or len(values) <= BATCH_VALUES:
            # One statement: the head comes in its first row.
            rows = execute(
                _turns_sql(by.value, len(values), embeddings, True), (uid, *values, uid)
            ).fetchall()
            if not rows or rows[0][2] is not None:
                raise OrloMemoryError(f"no user with key {uid}")
            head = rows[0]
            turns = [StoredTurn._make(row) for row in rows[1:]]
        else:
            with self._read():
                head = self._head(uid)
                turns = [
                    StoredTurn._make(row)
                    for batch in _batches(values)
                    for row in execute(
                        _turns_sql(by.value, len(batch), embeddings, False), (*batch, uid)
                    )
                ]
        # By session or all the rows come in (session or uid, seq) order.
        if len(turns) > 1 and (by is By.ID or by is By.ALIAS):
            turns.sort(key=_seq_of)
        return Found(head[0], head[1], turns)

    @_mapped
    def hit_rows(self, uid: int, keys: Sequence[int]) -> Found[HitRow]:
        execute = self._conn.execute
        if len(keys) <= BATCH_VALUES:
            rows = execute(_hits_sql(len(keys), True), (uid, *keys, uid)).fetchall()
            if not rows or rows[0][2] is not None:
                raise OrloMemoryError(f"no user with key {uid}")
            return Found(rows[0][0], rows[0][1], rows[1:])
        with self._read():
            head = self._head(uid)
            found: list[HitRow] = []
            for batch in _batches(keys):
                found += execute(_hits_sql(len(batch), False), (*batch, uid)).fetchall()
        return Found(head[0], head[1], found)

    @_mapped
    def search_rows(self, uid: int, keys: Sequence[int], around: Sequence[int]) -> Found[SearchRow]:
        execute = self._conn.execute
        if 2 * len(keys) + len(around) <= BATCH_VALUES:
            rows = execute(
                _search_sql(len(keys), len(around)), (uid, *keys, uid, *around, uid, *keys)
            ).fetchall()
            if not rows or rows[0][2] is not None:
                raise OrloMemoryError(f"no user with key {uid}")
            return Found(rows[0][0], rows[0][1], rows[1:])
        with self._read():
            head = self._head(uid)
            found: list[SearchRow] = []
            for batch in _batches(keys):
                found += execute(
                    _search_sql(len(batch), 0), (uid, *batch, uid, uid, *batch)
                ).fetchall()[1:]
            for batch in _batches(around):
                # Neighbours that are candidates too come again, with embeddings.
                found += execute(_search_sql(0, len(batch)), (uid, uid, *batch, uid)).fetchall()[1:]
        return Found(head[0], head[1], found)

    def _head(self, uid: int) -> tuple[int, int]:
        head = self._conn.execute(
            "SELECT head_seq, epoch FROM users WHERE uid = ?", (uid,)
        ).fetchone()
        if head is None:
            raise OrloMemoryError(f"no user with key {uid}")
        return int(head[0]), int(head[1])

    # -- snapshots ------------------------------------------------------------

    @_mapped
    def write_snapshot(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        file = None
        if self._snapshot_dir is None:
            self._on_commit.append(lambda: self._memory_snapshots.__setitem__(uid, data))
        else:
            row = self._conn.execute("SELECT file FROM snapshots WHERE uid = ?", (uid,)).fetchone()
            current = None if row is None else row[0]
            file = f"u{uid}-e{header.epoch}-s{header.seq}{_SNAPSHOT_SUFFIX}"
            path = os.path.join(self._snapshot_dir, file)
            _write_file(path, data)
            if current != file:
                self._on_rollback.append(lambda: _remove(path))
                if current is not None:
                    old = os.path.join(self._snapshot_dir, current)
                    self._on_commit.append(lambda: _remove(old))
        self._conn.execute(
            f"INSERT OR REPLACE INTO snapshots (uid, {_HEADER_COLUMNS}, file)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (
                uid,
                header.seq,
                header.epoch,
                header.live_count,
                header.dimension,
                header.size,
                header.checksum,
                header.created_us,
                file,
            ),
        )

    def _remove_stray_snapshots(self) -> None:
        """Removes the snapshot files that no row names: written by a
        checkpoint that a crash cut off (under the write lock, so no other
        checkpoint is writing one now). What cannot be removed stays."""
        if self._snapshot_dir is None or not os.path.isdir(self._snapshot_dir):
            return
        named = {row[0] for row in self._conn.execute("SELECT file FROM snapshots")}
        with suppress(OSError), os.scandir(self._snapshot_dir) as entries:
            for entry in entries:
                if entry.name not in named:
                    _remove(entry.path)

    @_mapped
    def read_snapshot(self, uid: int, *, data: bool = True) -> StoredSnapshot | None:
        # A checkpoint of another process may replace the file between reading
        # the row and opening it: read the row again then.
        for _ in range(3):
            with self._read():
                row = self._conn.execute(
                    f"SELECT {_HEADER_COLUMNS}, file FROM snapshots WHERE uid = ?", (uid,)
                ).fetchone()
                head = self._conn.execute(
                    "SELECT head_seq, epoch FROM users WHERE uid = ?", (uid,)
                ).fetchone()
            if row is None or head is None:
                return None
            header, file = SnapshotHeader(*row[:-1]), row[-1]
            if not data:
                return StoredSnapshot(header, b"", head[0], head[1])
            if file is None or self._snapshot_dir is None:
                stored = self._memory_snapshots.get(uid, b"")
                return StoredSnapshot(header, stored, head[0], head[1])
            path = os.path.join(self._snapshot_dir, file)
            try:
                return _mapped_snapshot(path, header, head[0], head[1])
            except FileNotFoundError:
                continue
            except OSError as error:
                # A directory, a loop of links, a file this account cannot
                # read: like a damaged snapshot, never the caller's failure.
                problem = f"cannot read {path!r}: {error.strerror or error}"
                return StoredSnapshot(header, b"", head[0], head[1], problem=problem)
        return StoredSnapshot(header, b"", head[0], head[1])

    # -- full-text search -------------------------------------------------------

    @_mapped
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
        execute = self._conn.execute
        with self._read():
            stored = execute("SELECT max(row) FROM turns").fetchone()[0] or 0
            live = execute("SELECT live_count FROM users WHERE uid = ?", (uid,)).fetchone()
            bound = max(int(self.common_term_share * stored), COMMON_TERM_FLOOR)
            counted: list[tuple[int, str]] = []
            for term in terms:
                found = execute(
                    "SELECT count(*) FROM (SELECT rowid FROM turns_fts"
                    " WHERE turns_fts MATCH ? LIMIT ?)",
                    ("text : " + _fts_quote(term), bound + 1),
                ).fetchone()[0]
                if found:
                    counted.append((found, term))
            if not counted:
                return []
            counted.sort()
            if session_id is not None:
                scope = "scope : " + _fts_quote("s" + session_id) + " AND "
            elif live is not None and 2 * live[0] >= stored:
                scope = ""
            else:
                scope = f'scope : "u{uid}" AND '
            kept, newest_only = rarest_terms(counted, bound)
            spanned = () if span is None else span
            within = "" if span is None else " AND {0}.created_us >= ? AND {0}.created_us < ?"
            if newest_only:
                query = f"{scope}text : {_fts_quote(kept[0])}"
                # The user's newest matches (in the time span): without a
                # scope token the join must keep the user's rows before the
                # limit, or other users' newer matches would take every place.
                inner = (
                    "SELECT turns_fts.rowid AS rowid, bm25(turns_fts, 1.0, 0.0) AS score"
                    " FROM turns_fts JOIN turns o ON o.row = turns_fts.rowid"
                    f" WHERE turns_fts MATCH ? AND o.uid = ?{within.format('o')}"
                    " ORDER BY turns_fts.rowid DESC"
                )
                inner_params: tuple[object, ...] = (query, uid, *spanned, COMMON_TERM_POOL)
            else:
                words = " OR ".join(_fts_quote(term) for term in kept)
                query = f"{scope}text : ({words})"
                inner = (
                    "SELECT rowid, bm25(turns_fts, 1.0, 0.0) AS score FROM turns_fts"
                    " WHERE turns_fts MATCH ?"
                )
                inner_params = (query, -1)
            rows = execute(
                f"SELECT t.row, -m.score FROM ({inner} LIMIT ?) AS m"
                f" JOIN turns t ON t.row = m.rowid WHERE t.uid = ?{within.format('t')}"
                " ORDER BY m.score LIMIT ?",
                (*inner_params, uid, *spanned, limit),
            ).fetchall()
        return [(int(row[0]), float(row[1])) for row in rows]

    # -- access tokens (the servers' TokenStore) --------------------------------
    # A token's `users` is stored as a JSON array of names, NULL for every user.

    @_mapped
    def add_token(self, token: TokenRecord) -> None:
        users = None if token.users is None else json.dumps(list(token.users))
        with self._write():
            self._conn.execute(
                "INSERT INTO tokens (id, name, digest, users, created_us) VALUES (?, ?, ?, ?, ?)",
                (token.id, token.name, token.digest, users, token.created_us),
            )

    @_mapped
    def find_token(self, token_id: str) -> TokenRecord | None:
        row = self._conn.execute(
            "SELECT id, name, digest, users, created_us FROM tokens WHERE id = ?", (token_id,)
        ).fetchone()
        return None if row is None else _token_record(row)

    @_mapped
    def list_tokens(self) -> list[TokenRecord]:
        rows = self._conn.execute(
            "SELECT id, name, digest, users, created_us FROM tokens ORDER BY created_us, id"
        ).fetchall()
        return [_token_record(row) for row in rows]

    @_mapped
    def remove_token(self, token_id: str) -> bool:
        with self._write():
            cursor = self._conn.execute("DELETE FROM tokens WHERE id = ?", (token_id,))
        return cursor.rowcount > 0

    @_mapped
    def has_tokens(self) -> bool:
        return self._conn.execute("SELECT 1 FROM tokens LIMIT 1").fetchone() is not None


def _token_record(row: tuple[Any, ...]) -> TokenRecord:
    users = None if row[3] is None else tuple(json.loads(row[3]))
    return TokenRecord(row[0], row[1], row[2], users, int(row[4]))


def _write_file(path: str, data: bytes) -> None:
    """Writes `data` under a temporary name, then renames it into place, so a
    snapshot file never has its final name before it is complete. No fsync:
    the checksum catches a file that a power loss tore."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = path + ".tmp"
    try:
        # Non-blocking: a FIFO found under the name fails at once (no reader)
        # instead of waiting for one; a regular file is unaffected.
        flags = os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NONBLOCK | os.O_CLOEXEC
        with os.fdopen(os.open(temporary, flags, 0o666), "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        _remove(temporary)
        raise


def _remove(path: str) -> None:
    """Removes a snapshot file if it can: a file left behind costs only space
    (the next open tries again), and a commit must not fail over it."""
    with suppress(OSError):
        os.remove(path)


def _mapped_snapshot(
    path: str, header: SnapshotHeader, head_seq: int, epoch: int
) -> StoredSnapshot:
    """The snapshot file, mapped rather than read: checking a large snapshot
    then costs no copy, and the index loads from the same open file (through
    /proc/self/fd, so a checkpoint that replaces the file meanwhile cannot
    swap the bytes checked for others). Raises OSError for anything but a
    regular file, opened without blocking (a FIFO would wait for a writer)."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    stream = os.fdopen(descriptor, "rb")
    try:
        status = os.fstat(stream.fileno())
        if not stat.S_ISREG(status.st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        size = status.st_size
        if size == 0:  # an empty file cannot be mapped; it fails its checks anyway
            return StoredSnapshot(header, b"", head_seq, epoch, source=stream)
        flags = mmap.MAP_SHARED | getattr(mmap, "MAP_POPULATE", 0)
        data = mmap.mmap(stream.fileno(), size, flags=flags, prot=mmap.PROT_READ)
        through_fd = f"/proc/self/fd/{stream.fileno()}"
        loadable = through_fd if os.path.exists(through_fd) else None
        return StoredSnapshot(header, data, head_seq, epoch, path=loadable, source=stream)
    except BaseException:
        stream.close()
        raise
