"""The lexical ranking a store offers next to the vector index.

A backend turns the query terms into its own full-text query (SQLite: FTS5
with bm25; PostgreSQL: tsvector with ts_rank), always scoped to one user and
optionally to one session. Terms are extracted here, so no query text ever
reaches a backend's query syntax unescaped.
"""

from __future__ import annotations

import re
from typing import Protocol

# Words as full-text tokenizers see them: runs of letters and digits.
_WORD = re.compile(r"[^\W_]+", re.UNICODE)
MAX_QUERY_TERMS = 64


def query_terms(text: str) -> list[str]:
    """The distinct words of `text`, lower-cased, in order, at most MAX_QUERY_TERMS."""
    seen: dict[str, None] = {}
    for match in _WORD.finditer(text.lower()):
        seen.setdefault(match.group(0), None)
        if len(seen) == MAX_QUERY_TERMS:
            break
    return list(seen)


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
        self, uid: int, terms: list[str], limit: int, session_id: str | None = None
    ) -> list[tuple[int, float]]:
        """Up to `limit` (turn key, relevance) pairs of the user's live turns that
        contain any of `terms`, most relevant first (relevance: larger is better)."""
        ...
