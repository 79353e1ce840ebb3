"""The PostgreSQL backend of the memory: the store behind "postgresql://" URLs.

The store's methods are the `Store` roles, each one call of its
`PostgresConnection` (connection.py: the pool shared by the calling threads,
the user's write lock, the retry of a call whose connection died, and the one
place where errors become the memory's). Its tables and their versions are
in schema.py; reading turns back in reads.py; index snapshots, stored in the
database in parts of PART_BYTES, in snapshots.py; full-text search is
PostgreSQL's own, a generated tsvector column with a GIN index, ranked by
bm25 computed from the user's own statistics (lexical.py); the servers'
tokens in tokens.py.
Parameters always travel separately from the SQL.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping, Sequence
from contextlib import AbstractContextManager
from functools import partial
from typing import Any

from ...contract.filters import Filter
from ...contract.values import MAX_WAIT_SECONDS, real_argument
from ...errors import OrloMemoryError
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
from ..snapshot import split_parts
from ..tokens import TokenRecord
from . import erase as postgres_erase
from . import filters as postgres_filters
from . import lexical as postgres_lexical
from . import reads
from . import schema as postgres_schema
from . import snapshots as postgres_snapshots
from . import tokens as postgres_tokens
from .connection import Connection, PostgresConnection

SCHEMA_VERSION = postgres_schema.SCHEMA_VERSION
# Snapshot parts: 1 MiB values are stored and read back faster than larger
# ones; reads fetch READ_PARTS of them per statement.
PART_BYTES = 1 << 20
READ_PARTS = 32
# Events per statement when a log is replayed (see reads.BATCH_ROWS).
BATCH_ROWS = reads.BATCH_ROWS

_TURN_COPY_TYPES = [
    "int8", "text", "int8", "text", "int2", "text", "text", "text", "int8", "text", "bytea"
]  # fmt: skip
_SESSION_COLUMNS = "id, title, created_us, turn_count, vector_sum"
_LAST_SEQ = (1 << 63) - 1


def _session(row: tuple[Any, ...]) -> SessionRecord:
    session_id, title, created_us, turn_count, vector_sum = row
    return SessionRecord(
        id=session_id,
        title=title,
        created_us=created_us,
        turn_count=turn_count,
        vector_sum=vector_sum,
    )


class PostgresStore:
    """A `Store` on a PostgreSQL database, given as a libpq URL; several
    threads may call it at once."""

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
        self._db = PostgresConnection(url, timeout, postgres_schema.prepare)

    def close(self) -> None:
        self._db.close()

    def __repr__(self) -> str:
        return f"PostgresStore({self._db.where})"

    def transaction(self, uid: int, *, wait: bool = True) -> AbstractContextManager[None]:
        return self._db.transaction(uid, wait=wait)

    # -- settings and users -----------------------------------------------------

    def read_settings(self) -> dict[str, str]:
        rows = self._db.run(
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

        self._db.run(work)

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

        return self._db.run(work)

    def user_names(self) -> list[str]:
        rows = self._db.run(
            lambda c: c.execute("SELECT name FROM orlo_memory.users ORDER BY uid").fetchall()
        )
        return [str(name) for (name,) in rows]

    def erase_user(self, name: str) -> int | None:
        return postgres_erase.erase_user(self._db, name)

    # -- the log ----------------------------------------------------------------

    def user_state(self, uid: int) -> UserState:
        row = self._db.run(
            lambda c: c.execute(
                "SELECT head_seq, epoch, live_count, forgotten_count, forgotten_since_rebuild,"
                " current_session, pending_boundary FROM orlo_memory.users WHERE uid = %s",
                (uid,),
            ).fetchone()
        )
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

    def save_user_state(self, state: UserState) -> None:
        self._db.run(
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

    def existing_turn_ids(self, uid: int, ids: Sequence[str]) -> list[str]:
        if not ids:
            return []
        rows = self._db.run(
            lambda c: c.execute(
                "SELECT id FROM orlo_memory.turns WHERE uid = %s AND id = ANY(%s::text[])",
                (uid, list(ids)),
            ).fetchall()
        )
        return [str(turn_id) for (turn_id,) in rows]

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
                for t in turns:
                    copy.write_row(
                        (
                            uid,
                            t.id,
                            t.seq,
                            t.session_id,
                            t.boundary,
                            t.role,
                            t.text,
                            t.metadata,
                            t.created_us,
                            t.alias,
                            t.embedding,
                        )
                    )
            if any(turn.metadata is not None for turn in turns):
                conn.execute(postgres_filters.ADD_FIELDS, (uid, turns[0].seq, turns[-1].seq))

        self._db.run(work)
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
            conn.execute(postgres_filters.REMOVE_FIELDS, (uid, keys))
            with conn.cursor() as cursor:
                cursor.executemany(
                    "INSERT INTO orlo_memory.forgets (uid, seq, turn_id, forgotten_us)"
                    " VALUES (%s, %s, %s, %s)",
                    [(uid, forget.seq, forget.turn_id, now_us) for forget in forgets],
                )

        self._db.run(work)

    def sessions(self, uid: int, ids: Sequence[str] | None = None) -> list[SessionRecord]:
        if ids is not None and not ids:
            return []
        order = " ORDER BY created_us DESC, ordinal DESC"

        def work(conn: Connection) -> list[tuple[Any, ...]]:
            with conn.cursor(binary=True) as cursor:
                if ids is None:
                    return cursor.execute(
                        f"SELECT {_SESSION_COLUMNS} FROM orlo_memory.sessions"
                        f" WHERE uid = %s{order}",
                        (uid,),
                    ).fetchall()
                return cursor.execute(
                    f"SELECT {_SESSION_COLUMNS} FROM orlo_memory.sessions WHERE uid = %s"
                    f" AND id = ANY(%s::text[]){order}",
                    (uid, list(ids)),
                ).fetchall()

        return [_session(row) for row in self._db.run(work)]

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

        self._db.run(work)

    def events_after(self, uid: int, seq: int, until: int | None = None) -> Iterator[Event]:
        # Batches by seq: the log only grows, and a turn forgotten between two
        # batches is read either live and then forgotten by its later event,
        # or already forgotten, which replay treats alike.
        last = _LAST_SEQ if until is None else until
        after = seq
        while True:
            rows = self._db.run(partial(_events_batch, uid=uid, after=after, last=last))
            for event_seq, kind, key, session_id, boundary, embedding in rows:
                yield Event(
                    seq=event_seq,
                    kind=EventKind(kind),
                    key=key,
                    session_id=session_id,
                    boundary=boundary,
                    embedding=embedding,
                )
            if len(rows) < BATCH_ROWS:
                return
            after = event_seq

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

    def hit_rows(self, uid: int, keys: Sequence[int], where: Filter | None = None) -> Found[HitRow]:
        return reads.hit_rows(self._db, uid, keys, where)

    def search_rows(
        self,
        uid: int,
        keys: Sequence[int],
        around: Sequence[int],
        where: Filter | None = None,
    ) -> Found[SearchRow]:
        return reads.search_rows(self._db, uid, keys, around, where)

    def matching_vectors(
        self, uid: int, where: Filter, limit: int
    ) -> Found[tuple[int, bytes]] | None:
        return reads.matching_vectors(self._db, uid, where, limit)

    def matching_sessions(self, uid: int, where: Filter) -> set[str]:
        return reads.matching_sessions(self._db, uid, where)

    # -- snapshots ----------------------------------------------------------------

    def write_snapshot(self, uid: int, header: SnapshotHeader, data: bytes) -> None:
        parts = split_parts(data, PART_BYTES)
        self._db.run(lambda c: postgres_snapshots.write_snapshot(c, uid, header, parts))

    def read_snapshot(self, uid: int, *, data: bool = True) -> StoredSnapshot | None:
        read_parts = READ_PARTS

        def work(conn: Connection) -> StoredSnapshot | None:
            return postgres_snapshots.read_snapshot(conn, uid, data, read_parts)

        # The header, the head and the parts from one snapshot of the database.
        return self._db.run_consistent(work) if data else self._db.run(work)

    # -- full-text search -----------------------------------------------------------

    def lexical_search(
        self,
        uid: int,
        terms: list[str],
        limit: int,
        session_id: str | None = None,
        span: tuple[int, int] | None = None,
        where: Filter | None = None,
    ) -> list[tuple[int, float]]:
        if not terms or limit <= 0:
            return []
        share = self.common_term_share
        return self._db.run(
            lambda c: postgres_lexical.lexical_search(
                c, uid, terms, limit, session_id, share, span, where
            )
        )

    # -- access tokens (the servers' TokenStore) --------------------------------

    def add_token(self, token: TokenRecord) -> None:
        self._db.run(lambda c: postgres_tokens.add_token(c, token))

    def find_token(self, token_id: str) -> TokenRecord | None:
        return self._db.run(lambda c: postgres_tokens.find_token(c, token_id))

    def list_tokens(self) -> list[TokenRecord]:
        return self._db.run(postgres_tokens.list_tokens)

    def remove_token(self, token_id: str) -> bool:
        return self._db.run(lambda c: postgres_tokens.remove_token(c, token_id))

    def has_tokens(self) -> bool:
        return self._db.run(postgres_tokens.has_tokens)


def _events_batch(conn: Connection, uid: int, after: int, last: int) -> list[tuple[Any, ...]]:
    """Up to BATCH_ROWS events of the user after seq `after` (up to `last`)."""
    with conn.cursor(binary=True) as cursor:
        return cursor.execute(
            "(SELECT seq, 0 AS kind, seq AS key, session_id, boundary, embedding"
            "  FROM orlo_memory.turns WHERE uid = %(uid)s AND seq > %(after)s"
            "  AND seq <= %(last)s ORDER BY seq LIMIT %(rows)s)"
            " UNION ALL"
            " (SELECT f.seq, 1, t.seq, t.session_id, 0, NULL"
            "  FROM orlo_memory.forgets f"
            "  JOIN orlo_memory.turns t ON t.uid = f.uid AND t.id = f.turn_id"
            "  WHERE f.uid = %(uid)s AND f.seq > %(after)s AND f.seq <= %(last)s"
            "  ORDER BY f.seq LIMIT %(rows)s)"
            " ORDER BY 1 LIMIT %(rows)s",
            {"uid": uid, "after": after, "last": last, "rows": BATCH_ROWS},
        ).fetchall()
