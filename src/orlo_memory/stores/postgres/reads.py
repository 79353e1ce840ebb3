"""How the PostgreSQL backend reads live turns back: a selection of a user's
turns (`read_turns`) and the rows behind search results (`hit_rows`,
`search_rows`), each as named records with the user's head and epoch.

One statement reads the head and the rows (the user's row joined to the
turns found), so they agree; only all of a user's turns are read in batches,
inside one REPEATABLE READ transaction. A turn's key is its seq.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ...errors import OrloMemoryError
from ..records import By, Found, HitRow, SearchRow, StoredTurn
from .connection import Connection, PostgresConnection

# Rows per statement when all turns are read, so that neither the server's
# result nor the client's copy of it grows with the user.
BATCH_ROWS = 4096

# StoredTurn's fields, in order (its embedding comes after them).
_TURN_COLUMNS = (
    "t.seq AS key, t.id, t.seq, t.session_id, t.boundary, t.role, t.text, t.metadata,"
    " t.created_us, t.alias"
)
# How a selection by values joins the user's row to the turns: by id through
# the (uid, id) index, by alias through turns_by_alias.
_BY_VALUES = {
    By.ID: "t.uid = u.uid AND t.id = ANY(%(values)s::text[])",
    By.ALIAS: "t.uid = u.uid AND t.alias = ANY(%(values)s::text[])",
}
# The turns of a page, in seq order. A session's turns are found through
# turns_by_session alone, for the same reason, and their owner checked
# afterwards (a session's turns are all one user's).
_PAGED = {
    By.SESSION: "t.session_id = %(session)s",
    By.ALL: "t.uid = %(uid)s",
}


def _embedding(embeddings: bool) -> str:
    return "t.embedding" if embeddings else "NULL::bytea"


def _found(rows: list[tuple[Any, ...]], uid: int) -> Found[StoredTurn]:
    """Rows of (head seq, epoch, owner, the turn's fields...), a turn's
    fields NULL where the join found none, as the user's turns."""
    if not rows:
        raise OrloMemoryError(f"no user with key {uid}")
    turns = [StoredTurn._make(row[3:]) for row in rows if row[2] == uid]
    return Found(int(rows[0][0]), int(rows[0][1]), turns)


def read_turns(
    db: PostgresConnection,
    uid: int,
    by: By,
    values: Sequence[str],
    embeddings: bool,
    page: tuple[int, int | None],
) -> Found[StoredTurn]:
    """`Store.read_turns`; `page` is (offset, limit or None)."""
    offset, limit = page
    paged = offset > 0 or limit is not None
    if by is By.ALL and not paged:
        return db.run_consistent(lambda conn: _all_turns(conn, uid, embeddings))
    if by is not By.ALL and not values:
        return Found(*db.run(lambda conn: _head(conn, uid)), [])
    params: dict[str, Any] = {"uid": uid}
    if by is By.SESSION or by is By.ALL:
        sql = (
            "SELECT u.head_seq, u.epoch, p.* FROM orlo_memory.users u LEFT JOIN LATERAL"
            f" (SELECT t.uid, {_TURN_COLUMNS}, {_embedding(embeddings)} FROM orlo_memory.turns t"
            f" WHERE {_PAGED[by]} AND t.text IS NOT NULL"
            " ORDER BY t.seq LIMIT %(limit)s OFFSET %(offset)s) p ON true"
            " WHERE u.uid = %(uid)s ORDER BY p.seq"
        )
        params.update(session=values[0] if values else None, limit=limit, offset=offset)
    else:
        sql = (
            f"SELECT u.head_seq, u.epoch, t.uid, {_TURN_COLUMNS}, {_embedding(embeddings)}"
            " FROM orlo_memory.users u LEFT JOIN orlo_memory.turns t"
            f" ON {_BY_VALUES[by]} AND t.text IS NOT NULL WHERE u.uid = %(uid)s ORDER BY t.seq"
        )
        params["values"] = list(values)

    def work(conn: Connection) -> list[tuple[Any, ...]]:
        with conn.cursor(binary=embeddings) as cursor:
            return cursor.execute(sql, params).fetchall()

    found = _found(db.run(work), uid)
    if paged and (by is By.ID or by is By.ALIAS):
        end = None if limit is None else offset + limit
        return Found(found.head_seq, found.epoch, found.turns[offset:end])
    return found


def _head(conn: Connection, uid: int) -> tuple[int, int]:
    row = conn.execute(
        "SELECT head_seq, epoch FROM orlo_memory.users WHERE uid = %s", (uid,)
    ).fetchone()
    if row is None:
        raise OrloMemoryError(f"no user with key {uid}")
    return int(row[0]), int(row[1])


def _all_turns(conn: Connection, uid: int, embeddings: bool) -> Found[StoredTurn]:
    """Every live turn with the head, in batches (the caller makes them see
    one snapshot of the database)."""
    head_seq, epoch = _head(conn, uid)
    turns: list[StoredTurn] = []
    after = 0
    with conn.cursor(binary=embeddings) as cursor:
        while True:
            rows = cursor.execute(
                f"SELECT {_TURN_COLUMNS}, {_embedding(embeddings)} FROM orlo_memory.turns t"
                " WHERE t.uid = %s AND t.seq > %s AND t.text IS NOT NULL"
                " ORDER BY t.seq LIMIT %s",
                (uid, after, BATCH_ROWS),
            ).fetchall()
            turns.extend(StoredTurn._make(row) for row in rows)
            if len(rows) < BATCH_ROWS:
                return Found(head_seq, epoch, turns)
            after = turns[-1].seq


def hit_rows(db: PostgresConnection, uid: int, keys: Sequence[int]) -> Found[HitRow]:
    """`Store.hit_rows`, in one statement."""
    rows = db.run(
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


def search_rows(
    db: PostgresConnection, uid: int, keys: Sequence[int], around: Sequence[int]
) -> Found[SearchRow]:
    """`Store.search_rows`, in one statement: a turn's key is its seq, so its
    neighbours are the keys next to it."""
    rows = db.run(
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
