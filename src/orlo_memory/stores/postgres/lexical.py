"""Lexical ranking of the PostgreSQL backend: full-text search over one
user's turns, with the cost of common words bounded.

The matches are ranked by bm25 as SQLite's FTS5 computes it (k1 1.2, b 0.75,
idf log((N - n + 0.5) / (n + 0.5)) floored at 1e-6), from the user's own
statistics: N its live turns, n each word's matches, a turn's length its
count of distinct lexemes against their mean over the turns scored.
ts_rank_cd alone, which does not weigh a word by its rarity, ranked the same
turns visibly worse (bench/eval_search.py on PostgreSQL), and the fused
ranking standardises bm25 values: both backends hand it the same kind of
score. bm25 is summed in SQL over each turn's lexemes, which costs far more
per row than ts_rank_cd (in C), so it re-ranks the best max(4 * limit, 200)
matches by ts_rank_cd, not all of them (2 * limit, 80 cost 0.02 of recall@10
and saved no measurable time).

The `english` configuration leaves out stop words ("what was the ...");
other words that many of a user's turns share would still make bm25
score most of them. So the query words are counted first (each up to a bound),
and kept rarest first while their matches add up to at most `share` of the
user's live turns (at least COMMON_TERM_FLOOR): the ranking then reads a
bounded number of rows. When even the rarest word is that common, its
COMMON_TERM_POOL most recent matches are ranked. Terms are runs of letters
and digits (lexical.query_terms), so none carries tsquery syntax; each is
quoted as a lexeme regardless.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import psycopg

from ...contract.filters import Filter
from ..lexical import rarest_terms
from .filters import Parameters, narrowing
from .schema import FOLD_FROM, FOLD_TO

DEFAULT_COMMON_TERM_SHARE = 0.02
_K1 = 1.2
_B = 0.75
PRESELECT_FACTOR = 4
PRESELECT_MIN = 200
COMMON_TERM_FLOOR = 1000  # as on SQLite: small memories rank every word
COMMON_TERM_POOL = 1000

Connection = psycopg.Connection[tuple[Any, ...]]


_FOLD = str.maketrans(FOLD_FROM, FOLD_TO)


class _Scope(NamedTuple):
    """Which of the user's turns a ranking considers: those of one session,
    of a span of creation times and matching a filter (each when given)."""

    session_id: str | None
    span: tuple[int, int] | None
    where: Filter | None


def _word(lexeme: str) -> str:
    """A quoted lexeme (`_lexeme`) back as its folded word."""
    return lexeme[1:-1]


def _lexeme(term: str) -> str:
    """The term as a quoted tsquery lexeme, its diacritics folded as the
    stored texts' are."""
    return "'" + term.translate(_FOLD).replace("\\", "").replace("'", "") + "'"


def _counted(conn: Connection, uid: int, lexemes: list[str], bound: int) -> list[tuple[int, str]]:
    """(matching turns up to bound + 1, lexeme) of the lexemes found among
    the user's turns, rarest first."""
    counts = conn.execute(
        "SELECT term, (SELECT count(*) FROM (SELECT 1 FROM orlo_memory.turns"
        "  WHERE uid = %(uid)s AND tsv @@ to_tsquery('english'::regconfig, term)"
        "  LIMIT %(bound)s + 1) AS found)"
        " FROM unnest(%(terms)s::text[]) AS term",
        {"uid": uid, "bound": bound, "terms": lexemes},
    ).fetchall()
    return sorted((int(found), str(term)) for term, found in counts if found)


def lexical_search(
    conn: Connection,
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
    live = conn.execute(
        "SELECT live_count FROM orlo_memory.users WHERE uid = %s", (uid,)
    ).fetchone()
    if live is None:
        return []
    bound = max(int(share * live[0]), COMMON_TERM_FLOOR)
    counted = _counted(conn, uid, [_lexeme(term) for term in terms], bound)
    if not counted:
        return []
    kept, newest_only = rarest_terms(counted, bound)
    matches = {term: found for found, term in counted}
    # Each statement reads its own snapshot: turns committed after the live
    # count was read may already be counted, so a word can match more turns
    # than the count says are live. N is at least every word's matches,
    # which keeps idf's argument positive.
    total = max(int(live[0]), max(matches.values()), 1)
    idf = [max(math.log((total - matches[t] + 0.5) / (matches[t] + 0.5)), 1e-6) for t in kept]
    scope = _Scope(session_id, span, where)
    return _bm25_ranked(conn, uid, kept, idf, newest_only, limit, scope)


def _bm25_ranked(
    conn: Connection,
    uid: int,
    kept: list[str],
    idf: list[float],
    newest_only: bool,
    limit: int,
    narrowed: _Scope,
) -> list[tuple[int, float]]:
    """The best `limit` (turn key, bm25) of the user's turns that hold any
    of the `kept` lexemes, each weighed by its `idf`."""
    # bm25 is summed in SQL over each turn's lexemes, which costs far more
    # per row than ts_rank_cd (in C): it scores only the pool of the best
    # matches by ts_rank_cd, or the newest matches of a common word.
    pool = COMMON_TERM_POOL if newest_only else max(PRESELECT_FACTOR * limit, PRESELECT_MIN)
    session_id, span = narrowed.session_id, narrowed.span
    scope = "" if session_id is None else " AND session_id = %(session)s"
    if span is not None:
        scope += " AND created_us >= %(since)s AND created_us < %(until)s"
    params = Parameters()
    scope += narrowing(narrowed.where, params)
    order = "seq DESC" if newest_only else "ts_rank_cd(tsv, tq) DESC, seq"
    # Each kept word as the lexeme the configuration makes of it (a term is
    # one token: one lexeme), with its idf; bm25 sums over the lexemes a
    # matching turn holds.
    rows = conn.execute(
        "WITH q AS (SELECT (tsvector_to_array(to_tsvector('english'::regconfig, w)))[1]"
        "  AS lexeme, idf FROM unnest(%(words)s::text[], %(idf)s::float8[]) AS t(w, idf)),"
        " m AS (SELECT seq, tsv, length(tsv)::float8 AS dl FROM orlo_memory.turns t,"
        "  to_tsquery('english'::regconfig, %(query)s) AS tq"
        f"  WHERE uid = %(uid)s AND tsv @@ tq{scope} ORDER BY {order} LIMIT %(pool)s),"
        " a AS (SELECT greatest(avg(dl), 1.0) AS mean FROM m)"
        " SELECT m.seq, sum(q.idf * (u.tf * (%(k1)s::float8 + 1.0))"
        "  / (u.tf + %(k1)s::float8 * (1.0 - %(b)s::float8 + %(b)s::float8 * m.dl / a.mean)))"
        "  AS score"
        " FROM m CROSS JOIN a CROSS JOIN LATERAL"
        "  (SELECT lexeme, coalesce(array_length(positions, 1), 1) AS tf FROM unnest(m.tsv))"
        "  AS u JOIN q ON q.lexeme = u.lexeme"
        " GROUP BY m.seq ORDER BY score DESC, m.seq LIMIT %(limit)s",
        {
            "words": [_word(term) for term in kept],
            "idf": idf,
            "query": " | ".join(kept),
            "uid": uid,
            "session": session_id,
            "since": None if span is None else span[0],
            "until": None if span is None else span[1],
            "pool": pool,
            "limit": limit,
            "k1": _K1,
            "b": _B,
            **params.values,
        },
    ).fetchall()
    return [(int(key), float(score)) for key, score in rows]
