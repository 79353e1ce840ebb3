"""How the SQLite backend reads live turns back: a selection of a user's
turns (`read_turns`), the rows behind search results (`hit_rows`,
`search_rows`) and the embeddings of the turns a filter selects
(`matching_vectors`), each as named records with the user's head and epoch.

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

from ...contract.filters import Condition, Filter
from ..filtering import COUNT_BOUND, Sizes
from ..records import By, Found, HitRow, SearchRow, StoredTurn, unknown_user
from .connection import SqliteConnection
from .filters import matching_keys, narrowing, selection, union

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
def _hits_sql(count: int, head: bool, condition: str = "") -> str:
    """The statement of `hit_rows`; with `head`, its first row holds the
    user's head seq and epoch; `condition` (on t) narrows the turns."""
    sql = (
        f"SELECT {_HIT_COLUMNS} FROM turns t"
        f" WHERE t.row IN ({','.join('?' * count)}) AND +t.uid = ? AND t.text IS NOT NULL"
        f"{condition}"
    )
    if not head:
        return sql
    head_row = "SELECT head_seq, epoch, NULL, NULL, NULL, NULL, NULL FROM users WHERE uid = ?"
    return f"{head_row} UNION ALL {sql}"


def _search_sql(keys: int, around: int, condition: str = "") -> str:
    """The statement of `search_rows`: the head row, the turns among the
    keys, then the neighbours of the turns among `around` that are not among
    the keys, with embeddings; `condition` (on t) narrows both."""
    return (
        "SELECT head_seq, epoch, NULL, NULL, NULL, NULL, NULL, NULL, NULL FROM users"
        f" WHERE uid = ? UNION ALL SELECT {_HIT_COLUMNS}, t.seq, NULL FROM turns t"
        f" WHERE t.row IN ({','.join('?' * keys)}) AND +t.uid = ? AND t.text IS NOT NULL"
        f"{condition}"
        f" UNION ALL SELECT {_HIT_COLUMNS}, t.seq, e.data FROM turns a"
        " JOIN turns t ON t.uid = a.uid AND t.seq IN (a.seq - 1, a.seq + 1)"
        " AND t.session_id = a.session_id AND t.text IS NOT NULL"
        " JOIN embeddings e ON e.row = t.row"
        f" WHERE a.row IN ({','.join('?' * around)}) AND +a.uid = ?"
        f" AND t.row NOT IN ({','.join('?' * keys)}){condition}"
    )


def _search_params(
    uid: int, keys: Sequence[int], around: Sequence[int], extra: Sequence[Any]
) -> tuple[Any, ...]:
    """The parameters of `_search_sql`, `extra` being its condition's."""
    return (uid, *keys, uid, *extra, *around, uid, *keys, *extra)


def batches(values: Sequence[Any]) -> list[Sequence[Any]]:
    """`values` cut into runs of at most BATCH_VALUES."""
    return [values[start : start + BATCH_VALUES] for start in range(0, len(values), BATCH_VALUES)]


def _seq_of(turn: StoredTurn) -> int:
    return turn.seq


def _head_of(rows: list[Any], uid: int) -> tuple[int, int]:
    """The head seq and epoch from a statement's head row (its third column
    is NULL, where a turn's is not)."""
    if not rows or rows[0][2] is not None:
        raise unknown_user(uid)
    return int(rows[0][0]), int(rows[0][1])


def head(db: SqliteConnection, uid: int) -> tuple[int, int]:
    """The user's head seq and epoch."""
    row = db.conn.execute("SELECT head_seq, epoch FROM users WHERE uid = ?", (uid,)).fetchone()
    if row is None:
        raise unknown_user(uid)
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


def hit_rows(
    db: SqliteConnection, uid: int, keys: Sequence[int], where: Filter | None = None
) -> Found[HitRow]:
    """`Store.hit_rows`: one statement where the keys fit in it."""
    execute = db.conn.execute
    condition, extra = narrowing(where)
    if len(keys) + len(extra) <= BATCH_VALUES:
        sql = _hits_sql(len(keys), True, condition)
        rows = execute(sql, (uid, *keys, uid, *extra)).fetchall()
        head_seq, epoch = _head_of(rows, uid)
        return Found(head_seq, epoch, list(map(HitRow._make, rows[1:])))
    with db.read():
        head_seq, epoch = head(db, uid)
        found = [
            HitRow._make(row)
            for batch in batches(keys)
            for row in execute(_hits_sql(len(batch), False, condition), (*batch, uid, *extra))
        ]
    return Found(head_seq, epoch, found)


def search_rows(
    db: SqliteConnection,
    uid: int,
    keys: Sequence[int],
    around: Sequence[int],
    where: Filter | None = None,
) -> Found[SearchRow]:
    """`Store.search_rows`: one statement where the keys fit in it."""
    execute = db.conn.execute
    condition, extra = narrowing(where)
    if 2 * (len(keys) + len(extra)) + len(around) <= BATCH_VALUES:
        sql = _search_sql(len(keys), len(around), condition)
        rows = execute(sql, _search_params(uid, keys, around, extra)).fetchall()
        head_seq, epoch = _head_of(rows, uid)
        return Found(head_seq, epoch, list(map(SearchRow._make, rows[1:])))
    with db.read():
        head_seq, epoch = head(db, uid)
        found: list[SearchRow] = []
        for batch in batches(keys):
            sql = _search_sql(len(batch), 0, condition)
            rows = execute(sql, _search_params(uid, batch, [], extra)).fetchall()
            found += list(map(SearchRow._make, rows[1:]))
        for batch in batches(around):
            # Neighbours that are candidates too come again, with embeddings.
            sql = _search_sql(0, len(batch), condition)
            rows = execute(sql, _search_params(uid, [], batch, extra)).fetchall()
            found += list(map(SearchRow._make, rows[1:]))
    return Found(head_seq, epoch, found)


def matching_vectors(
    db: SqliteConnection, uid: int, where: Filter, limit: int
) -> Found[tuple[int, bytes]] | None:
    """`Store.matching_vectors`: the matching turns' keys (driven by the
    indexes that answer the filter), up to one past `limit`, counted, then,
    when there are no more than `limit`, their embeddings; in one statement
    (its first row the count), read with the user's head."""
    with db.read():
        keys, params = matching_keys(where, uid, _sizes(db, uid, limit + 1))
        head_seq, epoch = head(db, uid)
        rows = db.conn.execute(
            f"WITH m AS MATERIALIZED ({keys} LIMIT ?)"
            " SELECT count(*), NULL FROM m UNION ALL SELECT e.row, e.data FROM m"
            " JOIN embeddings e ON e.row = m.row WHERE (SELECT count(*) FROM m) <= ?",
            (*params, limit + 1, limit),
        ).fetchall()
    if rows[0][0] > limit:
        return None
    return Found(head_seq, epoch, rows[1:])


def matching_sessions(db: SqliteConnection, uid: int, where: Filter) -> set[str]:
    """`Store.matching_sessions`, in one statement."""
    with db.read():
        clauses, params = selection(where, uid, _sizes(db, uid, COUNT_BOUND))
        rows = db.conn.execute(f"SELECT DISTINCT t.session_id {clauses}", params).fetchall()
    return {session_id for (session_id,) in rows}


def _sizes(db: SqliteConnection, uid: int, bound: int) -> Sizes:
    """How many keys each alternative of driving conditions finds, up to
    `bound`, in one statement."""

    def sizes(alternatives: list[list[Condition]]) -> list[int]:
        counts: list[str] = []
        params: list[Any] = []
        for conditions in alternatives:
            keys = union(conditions, uid, params)
            counts.append(f"(SELECT count(*) FROM (SELECT 1 FROM ({keys}) LIMIT ?))")
            params.append(bound)
        return [int(n) for n in db.conn.execute("SELECT " + ", ".join(counts), params).fetchone()]

    return sizes
