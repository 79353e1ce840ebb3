"""The SQLite backend of the memory: one database file, with its tables and
their versions in schema.py, and a folder of index snapshot files beside it.

The store's connections are a `SqliteConnection` (connection.py: the pool of
connections, one per call at a time, the pragmas, the transactions and the
one place where errors become the memory's); its methods are the `Store`
roles, each run on the calling thread's connection and mapped by `_mapped`.
A turn's key is its `turns.row`, so search reads its hits by rowid, with the
user's head, in one statement (reads.py). Snapshots live in files
(snapshot_files.py); the lexical ranking is FTS5 with bm25 (lexical.py); the
servers' tokens have a table of their own (tokens.py). All of the backend's
SQL is in this folder.
"""

from __future__ import annotations

import functools
import os
import sqlite3
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import AbstractContextManager
from typing import Any, Concatenate, ParamSpec, TypeVar

from ...contract.filters import Filter
from ...contract.values import MAX_WAIT_SECONDS, real_argument
from ...errors import InvalidInputError, OrloMemoryError
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
    checked_page,
    unknown_user,
)
from ..tokens import TokenRecord
from . import erase as sqlite_erase
from . import filters as sqlite_filters
from . import lexical as sqlite_lexical
from . import reads
from . import schema as sqlite_schema
from . import tokens as sqlite_tokens
from .connection import SYNCHRONOUS, SqliteConnection, is_in_memory
from .snapshot_files import SnapshotFiles

_LAST_SEQ = (1 << 63) - 1
_SESSION_COLUMNS = "id, title, created_us, turn_count, vector_sum"
_USER_STATE_COLUMNS = (
    "head_seq, epoch, live_count, forgotten_count, forgotten_since_rebuild, current_session,"
    " pending_boundary"
)

P = ParamSpec("P")
T = TypeVar("T")


def _mapped(
    method: Callable[Concatenate[SqliteStore, P], T],
) -> Callable[Concatenate[SqliteStore, P], T]:
    """The store's method on a connection of the calling thread's, with
    SQLite's and the snapshot files' errors turned into the memory's
    (`SqliteConnection.converted`)."""

    @functools.wraps(method)
    def wrapper(self: SqliteStore, /, *args: P.args, **kwargs: P.kwargs) -> T:
        try:
            with self._db.bound():
                return method(self, *args, **kwargs)
        except (sqlite3.Error, OSError) as error:
            raise self._db.converted(error) from error

    return wrapper


def _session(row: tuple[Any, ...]) -> SessionRecord:
    session_id, title, created_us, turn_count, vector_sum = row
    return SessionRecord(
        id=session_id,
        title=title,
        created_us=created_us,
        turn_count=turn_count,
        vector_sum=vector_sum,
    )


class SqliteStore:
    """A `Store` on one SQLite file (or ":memory:")."""

    def __init__(
        self,
        path: str,
        *,
        synchronous: str = "NORMAL",
        busy_timeout: float = 60.0,
        common_term_share: float = sqlite_lexical.DEFAULT_COMMON_TERM_SHARE,
    ) -> None:
        if not isinstance(synchronous, str) or synchronous.upper() not in SYNCHRONOUS:
            raise InvalidInputError(
                f"synchronous must be one of {', '.join(SYNCHRONOUS).lower()}, got {synchronous!r}"
            )
        busy_timeout = real_argument(busy_timeout, "busy_timeout", 0.0, MAX_WAIT_SECONDS)
        self.common_term_share = real_argument(
            common_term_share, "common_term_share", 0.0, 1.0, above_low=True
        )
        self._db = SqliteConnection(path, busy_timeout)
        folder = None if is_in_memory(path) else os.path.abspath(path) + "-snapshots"
        self._snapshots = SnapshotFiles(self._db, folder)
        try:
            self._open(synchronous.upper())
        except BaseException:
            self._db.close()
            raise

    @_mapped
    def _open(self, synchronous: str) -> None:
        # The file is checked before anything (even a pragma) changes it.
        sqlite_schema.check_ours(self._db.conn, self._db.path)
        self._db.configure(synchronous)
        with self._db.write():
            sqlite_schema.prepare(self._db.conn, self._db.path)
            self._snapshots.remove_strays()
        sqlite_erase.scrub_if_pending(self._db)

    def close(self) -> None:
        self._db.close()

    def transaction(self, uid: int, *, wait: bool = True) -> AbstractContextManager[None]:
        # SQLite's one writer lock covers every user.
        return self._db.write(wait=wait)

    # -- settings and users ---------------------------------------------------

    @_mapped
    def read_settings(self) -> dict[str, str]:
        rows = self._db.conn.execute(
            "SELECT key, value FROM meta WHERE key NOT IN ('schema_version', ?, ?)",
            sqlite_erase.BOOKKEEPING,
        )
        return dict(rows.fetchall())

    @_mapped
    def write_settings(self, values: Mapping[str, str]) -> None:
        with self._db.write():
            self._db.conn.executemany(
                "INSERT OR IGNORE INTO meta (key, value) VALUES (?, ?)", list(values.items())
            )

    @_mapped
    def ensure_user(self, name: str, now_us: int) -> int:
        execute = self._db.conn.execute
        row = execute("SELECT uid FROM users WHERE name = ?", (name,)).fetchone()
        if row is None:
            with self._db.write():
                execute(
                    "INSERT OR IGNORE INTO users (uid, name, created_us)"
                    f" VALUES ({sqlite_erase.NEXT_UID}, ?, ?)",
                    (sqlite_erase.ERASED_UID, name, now_us),
                )
                row = execute("SELECT uid FROM users WHERE name = ?", (name,)).fetchone()
        return int(row[0])

    @_mapped
    def user_names(self) -> list[str]:
        return [name for (name,) in self._db.conn.execute("SELECT name FROM users ORDER BY uid")]

    @_mapped
    def erase_user(self, name: str) -> int | None:
        return sqlite_erase.erase_user(self._db, name, self._snapshots.remove)

    # -- the log --------------------------------------------------------------

    @_mapped
    def user_state(self, uid: int) -> UserState:
        row = self._db.conn.execute(
            f"SELECT {_USER_STATE_COLUMNS} FROM users WHERE uid = ?", (uid,)
        ).fetchone()
        if row is None:
            raise unknown_user(uid)
        head_seq, epoch, live, forgotten, since_rebuild, current_session, pending = row
        return UserState(
            uid=uid,
            head_seq=head_seq,
            epoch=epoch,
            live_count=live,
            forgotten_count=forgotten,
            forgotten_since_rebuild=since_rebuild,
            current_session=current_session,
            pending_boundary=pending,
        )

    @_mapped
    def save_user_state(self, state: UserState) -> None:
        self._db.conn.execute(
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
    def existing_turn_ids(self, uid: int, ids: Sequence[str]) -> list[str]:
        found: list[str] = []
        for batch in reads.batches(ids):
            marks = ",".join("?" * len(batch))
            rows = self._db.conn.execute(
                f"SELECT id FROM turns WHERE uid = ? AND id IN ({marks})", (uid, *batch)
            )
            found.extend(turn_id for (turn_id,) in rows)
        return found

    @_mapped
    def append_turns(self, uid: int, turns: Sequence[TurnRecord]) -> list[int]:
        if not turns:
            return []
        conn = self._db.conn
        conn.executemany(
            "INSERT INTO turns (id, seq, session_id, boundary, role, text, metadata,"
            " created_us, alias, uid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [
                (
                    t.id,
                    t.seq,
                    t.session_id,
                    t.boundary,
                    t.role,
                    t.text,
                    t.metadata,
                    t.created_us,
                    t.alias,
                    uid,
                )
                for t in turns
            ],
        )
        first_seq, last_seq = turns[0].seq, turns[-1].seq
        # Rows are mapped by seq, not assumed consecutive.
        keys = [
            key
            for (key,) in conn.execute(
                "SELECT row FROM turns WHERE uid = ? AND seq BETWEEN ? AND ? ORDER BY seq",
                (uid, first_seq, last_seq),
            )
        ]
        conn.executemany(
            "INSERT INTO embeddings (row, data) VALUES (?, ?)",
            [(key, turn.embedding) for key, turn in zip(keys, turns, strict=True)],
        )
        conn.execute(
            "INSERT INTO turns_fts (rowid, text, scope)"
            " SELECT row, text, 'u' || uid || ' s' || session_id FROM turns"
            " WHERE uid = ? AND seq BETWEEN ? AND ?",
            (uid, first_seq, last_seq),
        )
        if any(turn.metadata is not None for turn in turns):
            conn.execute(sqlite_filters.ADD_FIELDS, (uid, first_seq, last_seq))
        return keys

    @_mapped
    def forget_turns(self, uid: int, forgets: Sequence[ForgetRecord], now_us: int) -> None:
        execute = self._db.conn.execute
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
            execute(sqlite_filters.REMOVE_FIELDS, (forget.key,))
            execute(
                "INSERT INTO forgets (uid, seq, turn_id, forgotten_us) VALUES (?, ?, ?, ?)",
                (uid, forget.seq, forget.turn_id, now_us),
            )

    @_mapped
    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        if ids is None:
            rows = self._db.conn.execute(
                f"SELECT {_SESSION_COLUMNS} FROM sessions WHERE uid = ?"
                " ORDER BY created_us DESC, rowid DESC",
                (uid,),
            ).fetchall()
            return [_session(row) for row in rows]
        if not ids:
            return []
        ordered: list[tuple[int, int, SessionRecord]] = []
        with self._db.read():
            for batch in reads.batches(ids):
                marks = ",".join("?" * len(batch))
                # By id, sorted here: an ORDER BY, or a bare uid, would turn
                # the planner to sessions_by_user, all of the user's sessions.
                for *row, rowid in self._db.conn.execute(
                    f"SELECT {_SESSION_COLUMNS}, rowid FROM sessions"
                    f" WHERE id IN ({marks}) AND +uid = ?",
                    (*batch, uid),
                ):
                    record = _session(tuple(row))
                    ordered.append((-record.created_us, -rowid, record))
        ordered.sort(key=lambda entry: entry[:2])
        return [record for _, _, record in ordered]

    @_mapped
    def save_sessions(self, uid: int, sessions: Sequence[SessionRecord]) -> None:
        self._db.conn.executemany(
            "INSERT INTO sessions (id, uid, title, created_us, turn_count, vector_sum)"
            " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (id) DO UPDATE"
            " SET turn_count = excluded.turn_count, vector_sum = excluded.vector_sum"
            " WHERE sessions.uid = excluded.uid",
            [(s.id, uid, s.title, s.created_us, s.turn_count, s.vector_sum) for s in sessions],
        )

    @_mapped
    def events_after(self, uid: int, seq: int, until: int | None = None) -> Iterator[Event]:
        last = _LAST_SEQ if until is None else until
        with self._db.read():
            rows = self._db.conn.execute(
                "SELECT t.seq, 0, t.row, t.session_id, t.boundary, e.data FROM turns t"
                " LEFT JOIN embeddings e ON e.row = t.row"
                " WHERE t.uid = ? AND t.seq > ? AND t.seq <= ?"
                " UNION ALL"
                " SELECT f.seq, 1, t.row, t.session_id, 0, NULL FROM forgets f"
                " JOIN turns t ON t.uid = f.uid AND t.id = f.turn_id"
                " WHERE f.uid = ? AND f.seq > ? AND f.seq <= ?"
                " ORDER BY 1",
                (uid, seq, last, uid, seq, last),
            ).fetchall()
        return iter(
            [
                Event(
                    seq=event_seq,
                    kind=EventKind(kind),
                    key=key,
                    session_id=session_id,
                    boundary=boundary,
                    embedding=embedding,
                )
                for event_seq, kind, key, session_id, boundary, embedding in rows
            ]
        )

    @_mapped
    def read_turns(
        self,
        uid: int,
        by: By,
        values: Sequence[str] = (),
        *,
        embeddings: bool = False,
        offset: int = 0,
        limit: int | None = None,
    ) -> Found[StoredTurn]:
        page = checked_page(offset, limit)
        return reads.read_turns(self._db, uid, by, values, embeddings, page)

    @_mapped
    def hit_rows(self, uid: int, keys: Sequence[int], where: Filter | None = None) -> Found[HitRow]:
        return reads.hit_rows(self._db, uid, keys, where)

    @_mapped
    def search_rows(
        self,
        uid: int,
        keys: Sequence[int],
        around: Sequence[int],
        where: Filter | None = None,
    ) -> Found[SearchRow]:
        return reads.search_rows(self._db, uid, keys, around, where)

    @_mapped
    def matching_vectors(
        self, uid: int, where: Filter, limit: int
    ) -> Found[tuple[int, bytes]] | None:
        return reads.matching_vectors(self._db, uid, where, limit)

    @_mapped
    def matching_sessions(self, uid: int, where: Filter) -> set[str]:
        return reads.matching_sessions(self._db, uid, where)

    # -- snapshots ------------------------------------------------------------

    @_mapped
    def write_snapshot(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        self._snapshots.write(uid, header, data)

    @_mapped
    def read_snapshot(self, uid: int, *, data: bool = True) -> StoredSnapshot | None:
        return self._snapshots.read(uid, data=data)

    # -- full-text search -------------------------------------------------------

    @_mapped
    def lexical_search(
        self,
        uid: int,
        terms: list[str],
        limit: int,
        session_id: str | None = None,
        span: tuple[int, int] | None = None,
        where: Filter | None = None,
    ) -> list[tuple[int, float]]:
        share = self.common_term_share
        return sqlite_lexical.lexical_search(
            self._db, uid, terms, limit, session_id, share, span, where
        )

    # -- access tokens (the servers' TokenStore) --------------------------------

    @_mapped
    def add_token(self, token: TokenRecord) -> None:
        sqlite_tokens.add_token(self._db, token)

    @_mapped
    def find_token(self, token_id: str) -> TokenRecord | None:
        return sqlite_tokens.find_token(self._db, token_id)

    @_mapped
    def list_tokens(self) -> list[TokenRecord]:
        return sqlite_tokens.list_tokens(self._db)

    @_mapped
    def remove_token(self, token_id: str) -> bool:
        return sqlite_tokens.remove_token(self._db, token_id)

    @_mapped
    def has_tokens(self) -> bool:
        return sqlite_tokens.has_tokens(self._db)
