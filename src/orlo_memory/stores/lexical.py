"""The lexical ranking a store offers next to the vector index.

A backend turns the query terms into its own full-text query (SQLite: FTS5
with its bm25; PostgreSQL: a tsvector match, scored by the same bm25 computed
from the user's own statistics), always scoped to one user and optionally to
one session and a span of creation times. Terms are extracted
here, so no query text ever reaches a backend's query syntax unescaped.

Both backends stem (SQLite's tokenizer is Porter's over unicode61 with
diacritics folded; PostgreSQL's `english` configuration stems with Snowball),
so "flights" meets "flight". The query's stop words are dropped here, with
PostgreSQL's english list, so that both backends rank by the same words:
"what", "did", "the" match most turns and only dilute bm25 (a query of stop
words alone keeps them).
"""

from __future__ import annotations

import re
from typing import Protocol

from ..contract.filters import Filter

# Words as full-text tokenizers see them: runs of letters and digits.
_WORD = re.compile(r"[^\W_]+", re.UNICODE)
MAX_QUERY_TERMS = 64

# PostgreSQL's english stop words (the Snowball list).
_STOP_WORDS = (
    "i me my myself we our ours ourselves you your yours yourself yourselves he him his "
    "himself she her hers herself it its itself they them their theirs themselves what which "
    "who whom this that these those am is are was were be been being have has had having do "
    "does did doing a an the and but if or because as until while of at by for with about "
    "against between into through during before after above below to from up down in out on "
    "off over under again further then once here there when where why how all any both each "
    "few more most other some such no nor not only own same so than too very s t can will "
    "just don should now"
)
STOP_WORDS = frozenset(_STOP_WORDS.split())


def query_terms(text: str) -> list[str]:
    """The distinct words of `text`, lower-cased, in order, at most MAX_QUERY_TERMS."""
    seen: dict[str, None] = {}
    for match in _WORD.finditer(text.lower()):
        seen.setdefault(match.group(0), None)
        if len(seen) == MAX_QUERY_TERMS:
            break
    return list(seen)


def search_terms(text: str) -> list[str]:
    """The query terms a lexical ranking uses: `query_terms` without the stop
    words, unless nothing else is left."""
    terms = query_terms(text)
    kept = [term for term in terms if term not in STOP_WORDS]
    return kept or terms


def rarest_terms(counted: list[tuple[int, str]], bound: int) -> tuple[list[str], bool]:
    """The terms to rank by, from (matching turns, term) pairs sorted rarest
    first, and whether the ranking must be cut to the newest matches. Rare
    terms are kept while their matches add up to at most `bound`, so bm25
    scores a bounded number of rows; when even the rarest matches more, it
    alone is kept and the caller ranks only its newest matches."""
    if counted[0][0] > bound:
        return [counted[0][1]], True
    kept: list[str] = []
    total = 0
    for found, term in counted:
        if total + found > bound:
            break
        kept.append(term)
        total += found
    return kept, False


class LexicalIndex(Protocol):
    def lexical_search(
        self,
        uid: int,
        terms: list[str],
        limit: int,
        session_id: str | None = None,
        span: tuple[int, int] | None = None,
        where: Filter | None = None,
    ) -> list[tuple[int, float]]:
        """Up to `limit` (turn key, relevance) pairs of the user's live turns that
        contain any of `terms`, most relevant first (relevance: larger is better;
        bm25 on both backends). `span` keeps turns created in [since, until)
        (microseconds), `where` those matching a filter (contract/filters.py),
        both in the ranking's own query: the best `limit` among them."""
        ...
