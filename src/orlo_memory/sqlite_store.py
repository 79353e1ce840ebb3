"""The SQLite backend of the memory: the only module that speaks SQL to SQLite.

One connection in autocommit mode; a write is `BEGIN IMMEDIATE` ... `COMMIT`,
which takes SQLite's single writer lock (a per-user lock is not needed on
top: the database lock covers every user), and multi-statement reads run in a
deferred transaction so they see one state of the file. The pragmas are set in
one place, `_configure`. Index snapshots live in files beside the database
(`<database>-snapshots/`), named by a row of the `snapshots` table that the
checkpoint transaction writes: reading a large snapshot from a file costs a
fraction of reading it from SQLite's overflow pages, and a torn or lost file
is caught by the checksum (the log stays the truth). A ":memory:" database
keeps its snapshots in memory. Full-text search is an FTS5 table whose `scope`
column holds the tokens "u<uid>" and "s<session id>", so a query is scoped by
the index itself, ranked by bm25 over the `text` column only.

FTS5 has no stop words, and bm25 scores every row that holds any query word:
"the" or "what" would rank most of the turns (slow, and in a fused ranking
those matches crowd out the turns found by meaning). So the query words are
counted first (each count stops at the bound, so it is cheap) and kept rarest
first while their matches add up to at most `common_term_share` of the stored
turns (at least COMMON_TERM_FLOOR): bm25 then scores a bounded number of rows,
and words found nearly everywhere, which say little, are left out. A query
whose rarest word alone passes the bound is ranked by that word over its
COMMON_TERM_POOL most recent matches. bm25 also computes the frequency of
every phrase of the query, the user's scope token included, which costs a pass
over all of the user's rows: when the user holds most of the stored turns the
query runs unscoped and the join keeps the user's rows instead.
"""

from __future__ import annotations

import json
import mmap
import os
import sqlite3
import uuid
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager, suppress
from typing import Any

from .errors import InvalidInputError, OrloMemoryError
from .lexical import rarest_terms
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

SCHEMA_VERSION = "1"
# Chosen on bench/eval_search.py and bench/bench_memory.py. The floor keeps
# small memories on plain bm25 (scoring up to 1,000 rows costs a few ms): only
# large ones leave their commonest words out.
DEFAULT_COMMON_TERM_SHARE = 0.02
COMMON_TERM_FLOOR = 1000
COMMON_TERM_POOL = 1000
_SNAPSHOT_SUFFIX = ".kiv"

_SCHEMA = (
    """CREATE TABLE IF NOT EXISTS meta (
        key TEXT PRIMARY KEY,
        value TEXT NOT NULL
    )""",
    """CREATE TABLE IF NOT EXISTS users (
        uid INTEGER PRIMARY KEY,
        name TEXT NOT NULL UNIQUE,
        created_us INTEGER NOT NULL,
        head_seq INTEGER NOT NULL DEFAULT 0,
        epoch INTEGER NOT NULL DEFAULT 0,
        live_count INTEGER NOT NULL DEFAULT 0,
        forgotten_count INTEGER NOT NULL DEFAULT 0,
        forgotten_since_rebuild INTEGER NOT NULL DEFAULT 0,
        current_session TEXT,
        pending_boundary INTEGER NOT NULL DEFAULT 0
    )""",
    """CREATE TABLE IF NOT EXISTS sessions (
        id TEXT PRIMARY KEY,
        uid INTEGER NOT NULL,
        title TEXT,
        created_us INTEGER NOT NULL,
        turn_count INTEGER NOT NULL DEFAULT 0,
        vector_sum BLOB
    )""",
    "CREATE INDEX IF NOT EXISTS sessions_by_user ON sessions (uid, created_us)",
    # The log of added turns; text and metadata become NULL (and the embedding
    # row goes) when the turn is forgotten, the row stays for its place in the
    # log. Embeddings sit in their own table so that the turns stay small and
    # the rows a search reads stay in the cache.
    """CREATE TABLE IF NOT EXISTS turns (
        row INTEGER PRIMARY KEY,
        id TEXT NOT NULL UNIQUE,
        uid INTEGER NOT NULL,
        seq INTEGER NOT NULL,
        session_id TEXT NOT NULL,
        boundary INTEGER NOT NULL,
        role TEXT NOT NULL,
        text TEXT,
        metadata TEXT,
        created_us INTEGER NOT NULL,
        UNIQUE (uid, seq)
    )""",
    """CREATE TABLE IF NOT EXISTS embeddings (
        row INTEGER PRIMARY KEY,
        data BLOB NOT NULL
    )""",
    "CREATE INDEX IF NOT EXISTS turns_by_session ON turns (session_id, seq)",
    """CREATE TABLE IF NOT EXISTS forgets (
        uid INTEGER NOT NULL,
        seq INTEGER NOT NULL,
        turn_id TEXT NOT NULL,
        forgotten_us INTEGER NOT NULL,
        PRIMARY KEY (uid, seq)
    )""",
    # Contentless: the texts stay in `turns` only. A row is removed with the
    # 'delete' command and the values it was indexed with.
    """CREATE VIRTUAL TABLE IF NOT EXISTS turns_fts USING fts5(
        text, scope, content = '', tokenize = 'porter unicode61 remove_diacritics 2'
    )""",
    """CREATE TABLE IF NOT EXISTS snapshots (
        uid INTEGER PRIMARY KEY,
        seq INTEGER NOT NULL,
        epoch INTEGER NOT NULL,
        live_count INTEGER NOT NULL,
        dimension INTEGER NOT NULL,
        size INTEGER NOT NULL,
        checksum TEXT NOT NULL,
        created_us INTEGER NOT NULL,
        file TEXT
    )""",
)
# The servers' bearer tokens (see tokens.py): created on open where missing, so
# files written before it keep opening. `users` is a JSON array of user names,
# NULL for a token that reaches every user.
_TOKEN_SCHEMA = """CREATE TABLE IF NOT EXISTS tokens (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    digest TEXT NOT NULL,
    users TEXT,
    created_us INTEGER NOT NULL
)"""
_HEADER_COLUMNS = "seq, epoch, live_count, dimension, size, checksum, created_us"

_TURN_COLUMNS = "id, seq, session_id, boundary, role, text, metadata, created_us"


def _fts_quote(term: str) -> str:
    return '"' + term.replace('"', '""') + '"'


def _stored_turn(row: tuple[Any, ...]) -> StoredTurn:
    return StoredTurn(row[0], row[1], row[2], row[3], row[4], row[5], row[6], row[7])


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
        if synchronous.upper() not in ("OFF", "NORMAL", "FULL", "EXTRA"):
            raise InvalidInputError(f"unknown synchronous mode {synchronous!r}")
        if not 0.0 < common_term_share <= 1.0:
            raise InvalidInputError(
                f"common_term_share must be in (0, 1], got {common_term_share!r}"
            )
        self.common_term_share = common_term_share
        try:
            self._conn = sqlite3.connect(
                path, timeout=busy_timeout, isolation_level=None, check_same_thread=False
            )
        except sqlite3.Error as error:
            raise OrloMemoryError(f"cannot open {path!r}: {error}") from error
        self._in_transaction = False
        self._on_commit: list[Callable[[], None]] = []
        self._on_rollback: list[Callable[[], None]] = []
        in_memory = path in ("", ":memory:") or path.startswith("file::memory:")
        self._snapshot_dir = None if in_memory else os.path.abspath(path) + "-snapshots"
        self._memory_snapshots: dict[int, bytes] = {}
        # (head seq, epoch) per user as last read, valid while no other
        # connection committed (PRAGMA data_version) and this one wrote nothing.
        self._heads: dict[int, tuple[int, int]] = {}
        self._data_version = -1
        try:
            self._configure(synchronous.upper())
            with self._write():
                for statement in _SCHEMA:
                    self._conn.execute(statement)
                self._conn.execute(_TOKEN_SCHEMA)
                # Databases of the first schema keep a copy of each text in the
                # full-text table (removed by a plain DELETE); both kinds work.
                fts_sql = self._conn.execute(
                    "SELECT sql FROM sqlite_master WHERE name = 'turns_fts'"
                ).fetchone()[0]
                self._fts_contentless = "content=''" in "".join(fts_sql.split())
        except BaseException:
            self._conn.close()
            raise

    def _configure(self, synchronous: str) -> None:
        """Every pragma of the store, set once at open."""
        execute = self._conn.execute
        execute("PRAGMA page_size = 8192")  # only takes effect on a new file
        if execute("PRAGMA journal_mode = WAL").fetchone()[0] not in ("wal", "memory"):
            raise OrloMemoryError("the database cannot use write-ahead logging")
        # WAL with NORMAL survives a crash of the process; FULL also a power loss.
        execute(f"PRAGMA synchronous = {synchronous}")
        execute("PRAGMA cache_size = -65536")
        execute("PRAGMA temp_store = MEMORY")
        execute("PRAGMA mmap_size = 1073741824")  # reads without a system call per page
        execute("PRAGMA foreign_keys = OFF")

    def close(self) -> None:
        self._conn.close()

    # -- transactions -------------------------------------------------------

    @contextmanager
    def _write(self) -> Iterator[None]:
        if self._in_transaction:
            raise OrloMemoryError("a write transaction is already open")
        self._conn.execute("BEGIN IMMEDIATE")
        self._in_transaction = True
        try:
            yield
            self._conn.execute("COMMIT")
        except BaseException:
            self._in_transaction = False
            if self._conn.in_transaction:
                self._conn.execute("ROLLBACK")
            self._finish(self._on_rollback)
            raise
        self._in_transaction = False
        self._heads.clear()
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

    def read_settings(self) -> dict[str, str]:
        return dict(self._conn.execute("SELECT key, value FROM meta").fetchall())

    def write_settings(self, values: Mapping[str, str]) -> None:
        with self._write():
            self._conn.executemany(
                "INSERT OR IGNORE INTO meta (key, value) VALUES (?, ?)", list(values.items())
            )

    def ensure_user(self, name: str, now_us: int) -> int:
        row = self._conn.execute("SELECT uid FROM users WHERE name = ?", (name,)).fetchone()
        if row is None:
            self._conn.execute(
                "INSERT OR IGNORE INTO users (name, created_us) VALUES (?, ?)", (name, now_us)
            )
            row = self._conn.execute("SELECT uid FROM users WHERE name = ?", (name,)).fetchone()
        return int(row[0])

    def user_names(self) -> list[str]:
        return [row[0] for row in self._conn.execute("SELECT name FROM users ORDER BY uid")]

    # -- writing (inside `transaction`) ---------------------------------------

    def user_state(self, uid: int) -> UserState:
        row = self._conn.execute(
            "SELECT head_seq, epoch, live_count, forgotten_count, forgotten_since_rebuild,"
            " current_session, pending_boundary FROM users WHERE uid = ?",
            (uid,),
        ).fetchone()
        if row is None:
            raise OrloMemoryError(f"no user with key {uid}")
        return UserState(uid, *row)

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

    def existing_turn_ids(self, ids: Sequence[str]) -> list[str]:
        found: list[str] = []
        for start in range(0, len(ids), 500):
            batch = ids[start : start + 500]
            marks = ",".join("?" * len(batch))
            found.extend(
                row[0]
                for row in self._conn.execute(
                    f"SELECT id FROM turns WHERE id IN ({marks})", tuple(batch)
                )
            )
        return found

    def append_turns(self, uid: int, turns: Sequence[TurnRecord]) -> None:
        self._conn.executemany(
            "INSERT INTO turns (id, seq, session_id, boundary, role, text, metadata,"
            " created_us, uid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [(*turn[:8], uid) for turn in turns],
        )
        rows = self._conn.execute(
            "SELECT row FROM turns WHERE uid = ? AND seq BETWEEN ? AND ? ORDER BY seq",
            (uid, turns[0].seq, turns[-1].seq),
        ).fetchall()
        self._conn.executemany(
            "INSERT INTO embeddings (row, data) VALUES (?, ?)",
            [(row[0], turn.embedding) for row, turn in zip(rows, turns, strict=True)],
        )
        # The rows just inserted have consecutive `row` values only if nothing
        # else wrote in between, which the write lock guarantees; still, map by
        # seq so the FTS rows always point at the right turns.
        first_seq = turns[0].seq
        last_seq = turns[-1].seq
        self._conn.execute(
            "INSERT INTO turns_fts (rowid, text, scope)"
            " SELECT row, text, 'u' || uid || ' s' || session_id FROM turns"
            " WHERE uid = ? AND seq BETWEEN ? AND ?",
            (uid, first_seq, last_seq),
        )

    def forget_turns(self, uid: int, forgets: Sequence[tuple[str, int]], now_us: int) -> None:
        for turn_id, seq in forgets:
            row = self._conn.execute(
                "SELECT row FROM turns WHERE id = ? AND uid = ? AND text IS NOT NULL",
                (turn_id, uid),
            ).fetchone()
            if row is None:
                raise OrloMemoryError(f"turn {turn_id} is not a live turn of this user")
            if self._fts_contentless:
                self._conn.execute(
                    "INSERT INTO turns_fts (turns_fts, rowid, text, scope)"
                    " SELECT 'delete', row, text, 'u' || uid || ' s' || session_id"
                    " FROM turns WHERE row = ?",
                    (row[0],),
                )
            else:
                self._conn.execute("DELETE FROM turns_fts WHERE rowid = ?", (row[0],))
            self._conn.execute(
                "UPDATE turns SET text = NULL, metadata = NULL WHERE row = ?", (row[0],)
            )
            self._conn.execute("DELETE FROM embeddings WHERE row = ?", (row[0],))
            self._conn.execute(
                "INSERT INTO forgets (uid, seq, turn_id, forgotten_us) VALUES (?, ?, ?, ?)",
                (uid, seq, turn_id, now_us),
            )

    def create_session(self, uid: int, session: SessionRecord) -> None:
        self._conn.execute(
            "INSERT INTO sessions (id, uid, title, created_us, turn_count, vector_sum)"
            " VALUES (?, ?, ?, ?, ?, ?)",
            (
                session.id,
                uid,
                session.title,
                session.created_us,
                session.turn_count,
                session.vector_sum,
            ),
        )

    def write_session_sums(self, uid: int, sessions: Sequence[SessionRecord]) -> None:
        self._conn.executemany(
            "UPDATE sessions SET turn_count = ?, vector_sum = ? WHERE id = ? AND uid = ?",
            [(s.turn_count, s.vector_sum, s.id, uid) for s in sessions],
        )

    def write_snapshot(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        file = None
        if self._snapshot_dir is None:
            self._on_commit.append(lambda: self._memory_snapshots.__setitem__(uid, data))
        else:
            row = self._conn.execute("SELECT file FROM snapshots WHERE uid = ?", (uid,)).fetchone()
            current = None if row is None else row[0]
            # Under the write lock no other file of this user is being written:
            # any besides the current one was left by a crash.
            self._remove_snapshot_files(uid, keep=current)
            file = f"u{uid}-e{header.epoch}-s{header.seq}-{uuid.uuid4().hex[:8]}{_SNAPSHOT_SUFFIX}"
            path = os.path.join(self._snapshot_dir, file)
            _write_file(path, data)
            self._on_rollback.append(lambda: _remove(path))
            if current is not None:
                old = os.path.join(self._snapshot_dir, current)
                self._on_commit.append(lambda: _remove(old))
        self._conn.execute(
            f"INSERT OR REPLACE INTO snapshots (uid, {_HEADER_COLUMNS}, file)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (uid, *_header_values(header), file),
        )

    def delete_snapshot(self, uid: int) -> None:
        self._conn.execute("DELETE FROM snapshots WHERE uid = ?", (uid,))
        self._on_commit.append(lambda: self._forget_memory_snapshot(uid))
        self._remove_snapshot_files(uid, keep=None)

    def _forget_memory_snapshot(self, uid: int) -> None:
        self._memory_snapshots.pop(uid, None)

    def _remove_snapshot_files(self, uid: int, keep: str | None) -> None:
        """Drops the user's snapshot files but `keep` (called under the write lock)."""
        if self._snapshot_dir is None:
            return
        prefix = f"u{uid}-"
        try:
            names = os.listdir(self._snapshot_dir)
        except FileNotFoundError:
            return
        for name in names:
            if name.startswith(prefix) and name != keep:
                _remove(os.path.join(self._snapshot_dir, name))

    # -- reading --------------------------------------------------------------

    def head(self, uid: int) -> tuple[int, int]:
        row = self._conn.execute(
            "SELECT head_seq, epoch FROM users WHERE uid = ?", (uid,)
        ).fetchone()
        return (int(row[0]), int(row[1]))

    def events_after(self, uid: int, seq: int) -> Iterator[Event]:
        with self._read():
            rows = self._conn.execute(
                "SELECT seq, 0, id, session_id, boundary, e.data FROM turns t"
                " LEFT JOIN embeddings e ON e.row = t.row WHERE uid = ? AND seq > ?"
                " UNION ALL"
                " SELECT seq, 1, turn_id, NULL, 0, NULL FROM forgets WHERE uid = ? AND seq > ?"
                " ORDER BY 1",
                (uid, seq, uid, seq),
            ).fetchall()
        for row in rows:
            yield Event(row[0], EventKind(row[1]), row[2], row[3], row[4], row[5])

    def live_turns(self, uid: int, ids: Sequence[str]) -> Found:
        marks = ",".join("?" * len(ids))
        turns_sql = (
            f"SELECT {_TURN_COLUMNS} FROM turns"
            f" WHERE id IN ({marks}) AND +uid = ? AND text IS NOT NULL"
        )
        version = self._conn.execute("PRAGMA data_version").fetchone()[0]
        if version != self._data_version:
            self._heads.clear()
            self._data_version = version
        known = self._heads.get(uid)
        if known is not None:
            # Nothing was committed since the head was read: one cheap statement.
            rows = self._conn.execute(turns_sql, (*ids, uid)).fetchall()
            return Found(known[0], known[1], [StoredTurn._make(row) for row in rows])
        # One statement, so the head and epoch agree with the rows: the first
        # row carries them, the others the turns.
        rows = self._conn.execute(
            "SELECT head_seq, epoch, NULL, NULL, NULL, NULL, NULL, NULL"
            f" FROM users WHERE uid = ? UNION ALL {turns_sql}",
            (uid, *ids, uid),
        ).fetchall()
        head = (int(rows[0][0]), int(rows[0][1]))
        if not self._conn.in_transaction:
            self._heads[uid] = head
        return Found(head[0], head[1], [StoredTurn._make(row) for row in rows[1:]])

    def turn_embeddings(self, uid: int, ids: Sequence[str]) -> list[tuple[str, str, bytes]]:
        found: list[tuple[str, str, bytes]] = []
        for start in range(0, len(ids), 500):
            batch = ids[start : start + 500]
            marks = ",".join("?" * len(batch))
            found.extend(
                self._conn.execute(
                    "SELECT id, session_id, e.data FROM turns t JOIN embeddings e ON e.row = t.row"
                    f" WHERE id IN ({marks}) AND +uid = ? AND text IS NOT NULL",
                    (*batch, uid),
                ).fetchall()
            )
        return found

    def iter_turns(self, uid: int) -> Iterator[StoredTurn]:
        with self._read():
            rows = self._conn.execute(
                f"SELECT {_TURN_COLUMNS} FROM turns WHERE uid = ? AND text IS NOT NULL"
                " ORDER BY seq",
                (uid,),
            ).fetchall()
        for row in rows:
            yield _stored_turn(row)

    def session_embeddings(self, uid: int, session_id: str) -> list[tuple[str, bytes]]:
        return self._conn.execute(
            "SELECT id, e.data FROM turns t JOIN embeddings e ON e.row = t.row"
            " WHERE session_id = ? AND uid = ? ORDER BY seq",
            (session_id, uid),
        ).fetchall()

    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        columns = "id, title, created_us, turn_count, vector_sum"
        if ids is None:
            rows = self._conn.execute(
                f"SELECT {columns} FROM sessions WHERE uid = ?"
                " ORDER BY created_us DESC, rowid DESC",
                (uid,),
            ).fetchall()
        else:
            marks = ",".join("?" * len(ids))
            rows = self._conn.execute(
                f"SELECT {columns} FROM sessions WHERE uid = ? AND id IN ({marks})"
                " ORDER BY created_us DESC, rowid DESC",
                (uid, *ids),
            ).fetchall()
        return [SessionRecord(*row) for row in rows]

    def snapshot_header(self, uid: int) -> SnapshotHeader | None:
        row = self._conn.execute(
            f"SELECT {_HEADER_COLUMNS} FROM snapshots WHERE uid = ?", (uid,)
        ).fetchone()
        return None if row is None else SnapshotHeader(*row)

    def read_snapshot(self, uid: int) -> StoredSnapshot | None:
        # A checkpoint of another process may replace the file between reading
        # the row and opening it: read the row again then.
        for _ in range(3):
            with self._read():
                row = self._conn.execute(
                    f"SELECT {_HEADER_COLUMNS}, file FROM snapshots WHERE uid = ?", (uid,)
                ).fetchone()
                head_seq, epoch = self.head(uid)
            if row is None:
                return None
            header, file = SnapshotHeader(*row[:-1]), row[-1]
            if file is None or self._snapshot_dir is None:
                data = self._memory_snapshots.get(uid, b"")
                return StoredSnapshot(header, data, head_seq, epoch)
            try:
                return _mapped_snapshot(
                    os.path.join(self._snapshot_dir, file), header, head_seq, epoch
                )
            except FileNotFoundError:
                continue
        return StoredSnapshot(header, b"", head_seq, epoch)

    def lexical_search(
        self, uid: int, terms: list[str], limit: int, session_id: str | None = None
    ) -> list[tuple[str, float]]:
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
            if newest_only:
                query = f"{scope}text : {_fts_quote(kept[0])}"
                order, pool = " ORDER BY rowid DESC", COMMON_TERM_POOL
            else:
                words = " OR ".join(_fts_quote(term) for term in kept)
                query = f"{scope}text : ({words})"
                order, pool = "", -1
            rows = execute(
                "SELECT t.id, -m.score FROM (SELECT rowid, bm25(turns_fts, 1.0, 0.0) AS score"
                f" FROM turns_fts WHERE turns_fts MATCH ?{order} LIMIT ?) AS m"
                " JOIN turns t ON t.row = m.rowid WHERE t.uid = ? ORDER BY m.score LIMIT ?",
                (query, pool, uid, limit),
            ).fetchall()
        return [(row[0], float(row[1])) for row in rows]

    # -- access tokens (the servers' TokenStore) --------------------------------

    def add_token(self, token: TokenRecord) -> None:
        users = None if token.users is None else json.dumps(list(token.users))
        with self._write():
            self._conn.execute(
                "INSERT INTO tokens (id, name, digest, users, created_us) VALUES (?, ?, ?, ?, ?)",
                (token.id, token.name, token.digest, users, token.created_us),
            )

    def find_token(self, token_id: str) -> TokenRecord | None:
        row = self._conn.execute(
            "SELECT id, name, digest, users, created_us FROM tokens WHERE id = ?", (token_id,)
        ).fetchone()
        return None if row is None else _token_record(row)

    def list_tokens(self) -> list[TokenRecord]:
        rows = self._conn.execute(
            "SELECT id, name, digest, users, created_us FROM tokens ORDER BY created_us, id"
        ).fetchall()
        return [_token_record(row) for row in rows]

    def remove_token(self, token_id: str) -> bool:
        with self._write():
            cursor = self._conn.execute("DELETE FROM tokens WHERE id = ?", (token_id,))
        return cursor.rowcount > 0

    def has_tokens(self) -> bool:
        return self._conn.execute("SELECT 1 FROM tokens LIMIT 1").fetchone() is not None


def _token_record(row: tuple[Any, ...]) -> TokenRecord:
    users = None if row[3] is None else tuple(json.loads(row[3]))
    return TokenRecord(row[0], row[1], row[2], users, int(row[4]))


def _header_values(header: SnapshotHeader) -> tuple[Any, ...]:
    return (
        header.seq,
        header.epoch,
        header.live_count,
        header.dimension,
        header.size,
        header.checksum,
        header.created_us,
    )


def _write_file(path: str, data: bytes) -> None:
    """Writes `data` under a temporary name, then renames it into place, so a
    snapshot file never has its final name before it is complete. No fsync:
    the checksum catches a file that a power loss tore."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    temporary = path + ".tmp"
    try:
        with open(temporary, "wb") as stream:
            stream.write(data)
        os.replace(temporary, path)
    except BaseException:
        _remove(temporary)
        raise


def _remove(path: str) -> None:
    with suppress(FileNotFoundError):
        os.remove(path)


def _mapped_snapshot(
    path: str, header: SnapshotHeader, head_seq: int, epoch: int
) -> StoredSnapshot:
    """The snapshot file, mapped rather than read: checking a large snapshot
    then costs no copy, and the index loads from the same open file (through
    /proc/self/fd, so a checkpoint that replaces the file meanwhile cannot
    swap the bytes checked for others)."""
    stream = open(path, "rb")  # noqa: SIM115 (closed by StoredSnapshot.close)
    try:
        size = os.fstat(stream.fileno()).st_size
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
