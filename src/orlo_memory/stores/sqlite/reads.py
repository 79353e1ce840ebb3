"""How the SQLite backend reads live turns back: a selection of a user's
turns (`read_turns`) and the rows behind search results (`hit_rows`,
`search_rows`), each as named records with the user's head and epoch.

Where it can, one statement reads the head and the rows: its first row is
the user's (head seq, epoch, then NULLs), read in the same state of the file
as the turns after it, so a reader learns in one step whether its index is
behind. Beyond BATCH_VALUES values the rows are read in batches inside one
deferred transaction instead.
"""

from __future__ import annotations

import functools
from collections.abc import Sequence
from typing import Any

from ...errors import OrloMemoryError
from ..records import By, Found, HitRow, SearchRow, StoredTurn
from .connection import SqliteConnection

# Values per statement where a call names many turns: SQLite caps the
# parameters of a statement (at 999 in older builds).
BATCH_VALUES = 500

# StoredTurn's fields, in order (its embedding comes after them).
_TURN_COLUMNS = (
    "t.row, t.id, t.seq, t.session_id, t.boundary, t.role, t.text, t.metadata, t.created_us,"
    " t.alias"
)
# HitRow's fields, in order (SearchRow adds the seq and the embedding).
_HIT_COLUMNS = "t.row, t.id, t.session_id, t.role, t.text, t.metadata, t.created_us"
# How each selection of `read_turns` is written; the values come first, the
# uid last. Turns named by id are found through the (uid, id) index; for a
# session's turns a `+` keeps the planner from walking the (uid, seq) index,
# which holds the user's whole log: they come through turns_by_session, and
# the uid only checks their owner.
_SELECTIONS = {
    By.ID: "t.id IN ({marks}) AND t.uid = ?",
    By.ALIAS: "t.alias IN ({marks}) AND t.uid = ?",
    By.SESSION: "t.session_id = ? AND +t.uid = ?",
    By.ALL: "t.uid = ?",
}
# The head row of a statement that reads turns: as many columns as a turn.
_HEAD_ROW = "SELECT head_seq, epoch" + ", NULL" * 9 + " FROM users WHERE uid = ?"


@functools.lru_cache(maxsize=256)
def _turns_sql(by: str, count: int, embeddings: bool, head: bool, paged: bool) -> str:
    """The statement of a `read_turns` selection (`by`: a By value); with
    `head`, its first row holds the user's head seq and epoch. A session or
    all turns come in seq order (merged after the head row along the
    index: no sort), `paged` ones one page of them (LIMIT, OFFSET last)."""
    where = _SELECTIONS[By(by)].format(marks=",".join("?" * count))
    joined = " JOIN embeddings e ON e.row = t.row" if embeddings else ""
    sql = (
        f"SELECT {_TURN_COLUMNS}, {'e.data' if embeddings else 'NULL'} FROM turns t{joined}"
        f" WHERE {where} AND t.text IS NOT NULL"
    )
    if not head:
        return sql
    if by in (By.ID.value, By.ALIAS.value):
        # Sorted by the caller: an ORDER BY would turn the planner to the
        # index that yields seq order, the user's whole log.
        return f"{_HEAD_ROW} UNION ALL {sql}"
    if paged:
        sql = f"SELECT * FROM ({sql} ORDER BY t.seq LIMIT ? OFFSET ?)"
    # The head row's seq is NULL, which sorts first.
    return f"{_HEAD_ROW} UNION ALL {sql} ORDER BY 3"


@functools.lru_cache(maxsize=64)
def _hits_sql(count: int, head: bool) -> str:
    """The statement of `hit_rows`; with `head`, its first row holds the
    user's head seq and epoch."""
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


def batches(values: Sequence[Any]) -> list[Sequence[Any]]:
    """`values` cut into runs of at most BATCH_VALUES."""
    return [values[start : start + BATCH_VALUES] for start in range(0, len(values), BATCH_VALUES)]


def _seq_of(turn: StoredTurn) -> int:
    return turn.seq


def _head_of(rows: list[Any], uid: int) -> tuple[int, int]:
    """The head seq and epoch from a statement's head row (its third column
    is NULL, where a turn's is not)."""
    if not rows or rows[0][2] is not None:
        raise OrloMemoryError(f"no user with key {uid}")
    return int(rows[0][0]), int(rows[0][1])


def head(db: SqliteConnection, uid: int) -> tuple[int, int]:
    """The user's head seq and epoch."""
    row = db.conn.execute("SELECT head_seq, epoch FROM users WHERE uid = ?", (uid,)).fetchone()
    if row is None:
        raise OrloMemoryError(f"no user with key {uid}")
    return int(row[0]), int(row[1])


def read_turns(
    db: SqliteConnection,
    uid: int,
    by: By,
    values: Sequence[str],
    embeddings: bool,
    page: tuple[int, int | None],
) -> Found[StoredTurn]:
    """`Store.read_turns`; `page` is (offset, limit or None)."""
    execute = db.conn.execute
    offset, limit = page
    in_order = by is By.SESSION or by is By.ALL
    paged = offset > 0 or limit is not None
    if by is not By.ALL and not values:
        return Found(*head(db, uid), [])
    if by is By.SESSION:
        values = values[:1]  # one session's id
    if in_order or len(values) <= BATCH_VALUES:
        bounds = (-1 if limit is None else limit, offset) if in_order and paged else ()
        sql = _turns_sql(by.value, len(values), embeddings, True, in_order and paged)
        rows = execute(sql, (uid, *values, uid, *bounds)).fetchall()
        head_seq, epoch = _head_of(rows, uid)
        turns = [StoredTurn._make(row) for row in rows[1:]]
    else:
        with db.read():
            head_seq, epoch = head(db, uid)
            turns = [
                StoredTurn._make(row)
                for batch in batches(values)
                for row in execute(
                    _turns_sql(by.value, len(batch), embeddings, False, False), (*batch, uid)
                )
            ]
    if not in_order:
        turns.sort(key=_seq_of)
        if paged:
            turns = turns[offset : None if limit is None else offset + limit]
    return Found(head_seq, epoch, turns)


def hit_rows(db: SqliteConnection, uid: int, keys: Sequence[int]) -> Found[HitRow]:
    """`Store.hit_rows`: one statement where the keys fit in it."""
    execute = db.conn.execute
    if len(keys) <= BATCH_VALUES:
        rows = execute(_hits_sql(len(keys), True), (uid, *keys, uid)).fetchall()
        head_seq, epoch = _head_of(rows, uid)
        return Found(head_seq, epoch, list(map(HitRow._make, rows[1:])))
    with db.read():
        head_seq, epoch = head(db, uid)
        found = [
            HitRow._make(row)
            for batch in batches(keys)
            for row in execute(_hits_sql(len(batch), False), (*batch, uid))
        ]
    return Found(head_seq, epoch, found)


def search_rows(
    db: SqliteConnection, uid: int, keys: Sequence[int], around: Sequence[int]
) -> Found[SearchRow]:
    """`Store.search_rows`: one statement where the keys fit in it."""
    execute = db.conn.execute
    if 2 * len(keys) + len(around) <= BATCH_VALUES:
        rows = execute(
            _search_sql(len(keys), len(around)), (uid, *keys, uid, *around, uid, *keys)
        ).fetchall()
        head_seq, epoch = _head_of(rows, uid)
        return Found(head_seq, epoch, list(map(SearchRow._make, rows[1:])))
    with db.read():
        head_seq, epoch = head(db, uid)
        found: list[SearchRow] = []
        for batch in batches(keys):
            rows = execute(_search_sql(len(batch), 0), (uid, *batch, uid, uid, *batch)).fetchall()
            found += list(map(SearchRow._make, rows[1:]))
        for batch in batches(around):
            # Neighbours that are candidates too come again, with embeddings.
            rows = execute(_search_sql(0, len(batch)), (uid, uid, *batch, uid)).fetchall()
            found += list(map(SearchRow._make, rows[1:]))
    return Found(head_seq, epoch, found)
