"""Lexical ranking of the SQLite backend: FTS5 and bm25 over one user's turns,
with the cost of common words bounded.

The full-text table's `scope` column holds the tokens "u<uid>" and
"s<session id>", so a query is scoped by the index itself, ranked by bm25
over the `text` column only. FTS5 has no stop words, and bm25 scores every
row that holds any query word: "the" or "what" would rank most of the turns
(slow, and in a fused ranking those matches crowd out the turns found by
meaning). So the query words are counted first (each count stops at the
bound, so it is cheap) and kept rarest first while their matches add up to at
most `share` of the stored turns (at least COMMON_TERM_FLOOR): bm25 then
scores a bounded number of rows, and words found nearly everywhere, which say
little, are left out. A query whose rarest word alone passes the bound is
ranked by that word over its COMMON_TERM_POOL most recent matches among the
user's turns.

bm25 also computes the frequency of every phrase of the query, the user's
scope token included, which costs a pass over all of the user's rows: when
the user holds most of the stored turns the query runs unscoped and the join
keeps the user's rows instead.
"""

from __future__ import annotations

from ...contract.filters import Filter
from ..lexical import rarest_terms
from .connection import SqliteConnection
from .filters import narrowing

# Chosen on bench/eval_search.py and bench/bench_memory.py. The floor keeps
# small memories on plain bm25 (scoring up to 1,000 rows costs a few ms): only
# large ones leave their commonest words out.
DEFAULT_COMMON_TERM_SHARE = 0.02
COMMON_TERM_FLOOR = 1000
COMMON_TERM_POOL = 1000


def _quoted(term: str) -> str:
    """`term` as an FTS5 string: no query syntax inside it takes effect."""
    return '"' + term.replace('"', '""') + '"'


def _counted(db: SqliteConnection, terms: list[str], bound: int) -> list[tuple[int, str]]:
    """(matching rows up to bound + 1, term) of the terms found, rarest first."""
    counted: list[tuple[int, str]] = []
    for term in terms:
        found = db.conn.execute(
            "SELECT count(*) FROM (SELECT rowid FROM turns_fts WHERE turns_fts MATCH ? LIMIT ?)",
            ("text : " + _quoted(term), bound + 1),
        ).fetchone()[0]
        if found:
            counted.append((found, term))
    counted.sort()
    return counted


def lexical_search(
    db: SqliteConnection,
    uid: int,
    terms: list[str],
    limit: int,
    session_id: str | None,
    share: float,
    span: tuple[int, int] | None = None,
    where: Filter | None = None,
) -> list[tuple[int, float]]:
    """Up to `limit` (turn key, bm25) of the user's live turns (in the
    session and the span of creation times, and matching the filter, if
    given) that hold any kept term, best first."""
    if not terms or limit <= 0:
        return []
    execute = db.conn.execute
    with db.read():
        stored = execute("SELECT max(row) FROM turns").fetchone()[0] or 0
        live = execute("SELECT live_count FROM users WHERE uid = ?", (uid,)).fetchone()
        bound = max(int(share * stored), COMMON_TERM_FLOOR)
        counted = _counted(db, terms, bound)
        if not counted:
            return []
        if session_id is not None:
            scope = "scope : " + _quoted("s" + session_id) + " AND "
        elif live is not None and 2 * live[0] >= stored:
            scope = ""
        else:
            scope = f'scope : "u{uid}" AND '
        kept, newest_only = rarest_terms(counted, bound)
        spanned = () if span is None else span
        within = "" if span is None else " AND {0}.created_us >= ? AND {0}.created_us < ?"
        inner_where, inner_filter = narrowing(where, "o")
        outer_where, outer_filter = narrowing(where, "t")
        if newest_only:
            query = f"{scope}text : {_quoted(kept[0])}"
            # The user's newest matches (in the time span): without a scope
            # token the join must keep the user's rows before the limit, or
            # other users' newer matches would take every place.
            inner = (
                "SELECT turns_fts.rowid AS rowid, bm25(turns_fts, 1.0, 0.0) AS score"
                " FROM turns_fts JOIN turns o ON o.row = turns_fts.rowid"
                f" WHERE turns_fts MATCH ? AND o.uid = ?{within.format('o')}{inner_where}"
                " ORDER BY turns_fts.rowid DESC"
            )
            inner_params: tuple[object, ...] = (
                query,
                uid,
                *spanned,
                *inner_filter,
                COMMON_TERM_POOL,
            )
        else:
            words = " OR ".join(_quoted(term) for term in kept)
            query = f"{scope}text : ({words})"
            inner = (
                "SELECT rowid, bm25(turns_fts, 1.0, 0.0) AS score FROM turns_fts"
                " WHERE turns_fts MATCH ?"
            )
            inner_params = (query, -1)
        rows = execute(
            f"SELECT t.row, -m.score FROM ({inner} LIMIT ?) AS m"
            f" JOIN turns t ON t.row = m.rowid WHERE t.uid = ?{within.format('t')}{outer_where}"
            " ORDER BY m.score LIMIT ?",
            (*inner_params, uid, *spanned, *outer_filter, limit),
        ).fetchall()
    return [(int(key), float(score)) for key, score in rows]
