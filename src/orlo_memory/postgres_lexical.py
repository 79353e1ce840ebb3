"""Lexical ranking of the PostgreSQL backend: full-text search over one
user's turns, with the cost of common words bounded.

The `english` configuration leaves out stop words ("what was the ...");
other words that many of a user's turns share would still make ts_rank_cd
rank most of them. So the query words are counted first (each up to a bound),
and kept rarest first while their matches add up to at most `share` of the
user's live turns (at least COMMON_TERM_FLOOR): the ranking then reads a
bounded number of rows. When even the rarest word is that common, its
COMMON_TERM_POOL most recent matches are ranked. Terms are runs of letters
and digits (lexical.query_terms), so none carries tsquery syntax; each is
quoted as a lexeme regardless.
"""

from __future__ import annotations

from typing import Any

import psycopg

from .lexical import rarest_terms
from .postgres_schema import FOLD_FROM, FOLD_TO

DEFAULT_COMMON_TERM_SHARE = 0.02
COMMON_TERM_FLOOR = 1000  # as on SQLite: small memories rank every word
COMMON_TERM_POOL = 1000

Connection = psycopg.Connection[tuple[Any, ...]]


_FOLD = str.maketrans(FOLD_FROM, FOLD_TO)


def _lexeme(term: str) -> str:
    """The term as a quoted tsquery lexeme, its diacritics folded as the
    stored texts' are."""
    return "'" + term.translate(_FOLD).replace("\\", "").replace("'", "") + "'"


def lexical_search(
    conn: Connection,
    uid: int,
    terms: list[str],
    limit: int,
    session_id: str | None,
    share: float,
    span: tuple[int, int] | None = None,
) -> list[tuple[int, float]]:
    """Up to `limit` (turn key, ts_rank_cd) of the user's live turns (in the
    session, if given) that hold any kept term, best first."""
    live = conn.execute(
        "SELECT live_count FROM orlo_memory.users WHERE uid = %s", (uid,)
    ).fetchone()
    if live is None:
        return []
    bound = max(int(share * live[0]), COMMON_TERM_FLOOR)
    lexemes = [_lexeme(term) for term in terms]
    counts = conn.execute(
        "SELECT term, (SELECT count(*) FROM (SELECT 1 FROM orlo_memory.turns"
        "  WHERE uid = %(uid)s AND tsv @@ to_tsquery('english'::regconfig, term)"
        "  LIMIT %(bound)s + 1) AS found)"
        " FROM unnest(%(terms)s::text[]) AS term",
        {"uid": uid, "bound": bound, "terms": lexemes},
    ).fetchall()
    counted = sorted((int(found), str(term)) for term, found in counts if found)
    if not counted:
        return []
    kept, newest_only = rarest_terms(counted, bound)
    pool = COMMON_TERM_POOL if newest_only else None
    scope = "" if session_id is None else " AND session_id = %(session)s"
    if span is not None:
        scope += " AND created_us >= %(since)s AND created_us < %(until)s"
    recent = "" if pool is None else " ORDER BY seq DESC LIMIT %(pool)s"
    rows = conn.execute(
        "SELECT seq, ts_rank_cd(tsv, q) AS rank FROM"
        " (SELECT seq, tsv FROM orlo_memory.turns,"
        "   to_tsquery('english'::regconfig, %(query)s) AS q"
        f"  WHERE uid = %(uid)s AND tsv @@ q{scope}{recent}) AS m,"
        " to_tsquery('english'::regconfig, %(query)s) AS q"
        " ORDER BY rank DESC, seq LIMIT %(limit)s",
        {
            "query": " | ".join(kept),
            "uid": uid,
            "session": session_id,
            "since": None if span is None else span[0],
            "until": None if span is None else span[1],
            "pool": pool,
            "limit": limit,
        },
    ).fetchall()
    return [(int(row[0]), float(row[1])) for row in rows]
