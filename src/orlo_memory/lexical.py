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


class LexicalIndex(Protocol):
    def lexical_search(
        self, uid: int, terms: list[str], limit: int, session_id: str | None = None
    ) -> list[tuple[str, float]]:
        """Up to `limit` (turn id, relevance) pairs of the user's live turns that
        contain any of `terms`, most relevant first (relevance: larger is better)."""
        ...
