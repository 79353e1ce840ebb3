"""How the PostgreSQL backend reads live turns back: a selection of a user's
turns (`read_turns`), the rows behind search results (`hit_rows`,
`search_rows`) and the embeddings of the turns a filter selects
(`matching_vectors`), each as named records with the user's head and epoch.

One statement reads the head and the rows (the user's row joined to the
turns found), so they agree; only all of a user's turns are read in batches,
inside one REPEATABLE READ transaction. A turn's key is its seq.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from ...contract.filters import Condition, Filter
from ...errors import OrloMemoryError
from ..filtering import COUNT_BOUND, Sizes
from ..records import By, Found, HitRow, SearchRow, StoredTurn, unknown_user
from .connection import Connection, PostgresConnection
from .filters import Parameters, matching_keys, narrowing, selection, union

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
        raise unknown_user(uid)
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
        raise unknown_user(uid)
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


def hit_rows(
    db: PostgresConnection, uid: int, keys: Sequence[int], where: Filter | None = None
) -> Found[HitRow]:
    """`Store.hit_rows`, in one statement."""
    params = Parameters()
    condition = narrowing(where, params)
    rows = db.run(
        lambda c: c.execute(
            "SELECT u.head_seq, u.epoch, t.uid, t.seq, t.id, t.session_id, t.role, t.text,"
            " t.metadata, t.created_us FROM orlo_memory.users u LEFT JOIN orlo_memory.turns t"
            " ON t.uid = u.uid AND t.seq = ANY(%(keys)s::bigint[]) AND t.text IS NOT NULL"
            f"{condition} WHERE u.uid = %(uid)s",
            {"keys": list(keys), "uid": uid, **params.values},
        ).fetchall()
    )
    if not rows:
        raise unknown_user(uid)
    found = [HitRow._make(row[3:]) for row in rows if row[2] is not None]
    return Found(int(rows[0][0]), int(rows[0][1]), found)


def search_rows(
    db: PostgresConnection,
    uid: int,
    keys: Sequence[int],
    around: Sequence[int],
    where: Filter | None = None,
) -> Found[SearchRow]:
    """`Store.search_rows`, in one statement: a turn's key is its seq, so its
    neighbours are the keys next to it."""
    params = Parameters()
    condition = narrowing(where, params)
    rows = db.run(
        lambda c: c.execute(
            "SELECT u.head_seq, u.epoch, t.uid, t.seq, t.id, t.session_id, t.role, t.text,"
            " t.metadata, t.created_us, t.seq, NULL::bytea"
            " FROM orlo_memory.users u LEFT JOIN orlo_memory.turns t"
            " ON t.uid = u.uid AND t.seq = ANY(%(keys)s::bigint[]) AND t.text IS NOT NULL"
            f"{condition} WHERE u.uid = %(uid)s"
            " UNION ALL SELECT NULL, NULL, t.uid, t.seq, t.id, t.session_id, t.role, t.text,"
            " t.metadata, t.created_us, t.seq, t.embedding"
            " FROM (SELECT t.* FROM orlo_memory.turns a JOIN orlo_memory.turns t"
            " ON t.uid = a.uid AND t.seq IN (a.seq - 1, a.seq + 1)"
            " AND t.session_id = a.session_id AND t.text IS NOT NULL"
            " WHERE a.uid = %(uid)s AND a.seq = ANY(%(around)s::bigint[])"
            " AND t.seq <> ALL(%(keys)s::bigint[])"
            # The fence keeps the filter on the neighbours found, never on a
            # scan of all the user's turns.
            f" OFFSET 0) AS t WHERE true{condition}",
            {"keys": list(keys), "around": list(around), "uid": uid, **params.values},
        ).fetchall()
    )
    head = next((row for row in rows if row[0] is not None), None)
    if head is None:
        raise unknown_user(uid)
    found = [
        SearchRow._make((*row[3:11], None if row[11] is None else bytes(row[11])))
        for row in rows
        if row[2] is not None
    ]
    return Found(int(head[0]), int(head[1]), found)


def matching_vectors(
    db: PostgresConnection, uid: int, where: Filter, limit: int
) -> Found[tuple[int, bytes]] | None:
    """`Store.matching_vectors`, in one statement: the matching turns' keys
    (driven by the indexes that answer the filter), up to one past `limit`,
    then, when there are no more than `limit`, their embeddings."""
    params = Parameters()
    keys = matching_keys(where, uid, params, _sizes(db, uid, limit + 1))
    sql = (
        f"WITH m AS MATERIALIZED ({keys} LIMIT %(more)s),"
        " n AS (SELECT count(*) AS found FROM m)"
        " SELECT u.head_seq, u.epoch, n.found, t.seq, t.embedding"
        " FROM orlo_memory.users u CROSS JOIN n LEFT JOIN orlo_memory.turns t"
        " ON n.found <= %(limit)s AND t.uid = u.uid AND t.seq IN (SELECT seq FROM m)"
        " WHERE u.uid = %(uid)s"
    )
    values = {"more": limit + 1, "limit": limit, "uid": uid, **params.values}

    def work(conn: Connection) -> list[tuple[Any, ...]]:
        with conn.cursor(binary=True) as cursor:
            return cursor.execute(sql, values).fetchall()

    rows = db.run(work)
    if not rows:
        raise OrloMemoryError(f"no user with key {uid}")
    if int(rows[0][2]) > limit:
        return None
    turns = [(int(row[3]), row[4]) for row in rows if row[3] is not None]
    return Found(int(rows[0][0]), int(rows[0][1]), turns)


def matching_sessions(db: PostgresConnection, uid: int, where: Filter) -> set[str]:
    """`Store.matching_sessions`, in one statement."""
    params = Parameters()
    clauses = selection(where, uid, params, _sizes(db, uid, COUNT_BOUND))
    sql = f"SELECT DISTINCT t.session_id {clauses}"
    rows = db.run(lambda c: c.execute(sql, params.values).fetchall())
    return {str(session_id) for (session_id,) in rows}


def _sizes(db: PostgresConnection, uid: int, bound: int) -> Sizes:
    """How many keys each alternative of driving conditions finds, up to
    `bound`, in one statement."""

    def sizes(alternatives: list[list[Condition]]) -> list[int]:
        params = Parameters("c")
        user = params.add(uid, "::bigint")
        most = params.add(bound, "::bigint")
        counts = [
            f"(SELECT count(*) FROM (SELECT 1 FROM ({union(conditions, user, params)}) AS k"
            f" LIMIT {most}) AS n)"
            for conditions in alternatives
        ]
        row = db.run(lambda c: c.execute("SELECT " + ", ".join(counts), params.values).fetchone())
        return [int(n) for n in row or ()]

    return sizes
