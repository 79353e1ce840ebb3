"""What the memory returns: frozen records, owning copies of their values."""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime
from typing import Any


@dataclass(frozen=True, slots=True)
class Hit:
    """One search result, best first in the list that holds it.

    `score` is the value the results are ordered by (see `UserMemory.search`);
    `vector_score` is the cosine similarity to the query where the search knew
    it (the vector ranking's turns, and the neighbours a hybrid search added),
    `vector_rank` and `lexical_rank` its 1-based places in the two rankings
    (None where it was not ranked).

    A hybrid search also says what made the score (None in the other modes):
    the fused value is `vector_part` + `lexical_part` + `neighbour_lift`,
    each ranking's weighted share (with score fusion its standardised score
    times its weight: negative for a turn below the ranking's mean, and the
    ranking's lowest where it did not list the turn) and what the turn's best
    neighbour in its session added; `score` maps the fused value to [0, 1]
    over the search's candidates (before any recency blend).
    """

    id: str
    text: str
    score: float
    role: str
    session_id: str
    created_at: datetime
    metadata: dict[str, Any] = field(default_factory=dict)
    vector_score: float | None = None
    vector_rank: int | None = None
    lexical_rank: int | None = None
    vector_part: float | None = None
    lexical_part: float | None = None
    neighbour_lift: float | None = None


# Search builds many hits: setting the slots directly costs half of the
# frozen dataclass's __init__, which goes through object.__setattr__ per field.
_HIT_SLOTS = tuple(
    getattr(Hit, name).__set__
    for name in (
        "id",
        "text",
        "score",
        "role",
        "session_id",
        "created_at",
        "metadata",
        "vector_score",
        "vector_rank",
        "lexical_rank",
        "vector_part",
        "lexical_part",
        "neighbour_lift",
    )
)


def new_hit(
    id: str,
    text: str,
    score: float,
    role: str,
    session_id: str,
    created_at: datetime,
    metadata: dict[str, Any],
    vector_score: float | None,
    vector_rank: int | None,
    lexical_rank: int | None,
    vector_part: float | None = None,
    lexical_part: float | None = None,
    neighbour_lift: float | None = None,
) -> Hit:
    """`Hit(...)` with every field given, built faster."""
    hit: Hit = object.__new__(Hit)
    (
        set_id,
        set_text,
        set_score,
        set_role,
        set_session,
        set_created,
        set_metadata,
        set_vector_score,
        set_vector_rank,
        set_lexical_rank,
        set_vector_part,
        set_lexical_part,
        set_neighbour_lift,
    ) = _HIT_SLOTS
    set_id(hit, id)
    set_text(hit, text)
    set_score(hit, score)
    set_role(hit, role)
    set_session(hit, session_id)
    set_created(hit, created_at)
    set_metadata(hit, metadata)
    set_vector_score(hit, vector_score)
    set_vector_rank(hit, vector_rank)
    set_lexical_rank(hit, lexical_rank)
    set_vector_part(hit, vector_part)
    set_lexical_part(hit, lexical_part)
    set_neighbour_lift(hit, neighbour_lift)
    return hit


@dataclass(frozen=True, slots=True)
class Turn:
    """A stored turn, as `get` and `export_jsonl` see it."""

    id: str
    text: str
    role: str
    session_id: str
    created_at: datetime
    metadata: dict[str, Any]
    new_topic: bool
    seq: int


@dataclass(frozen=True, slots=True)
class SessionInfo:
    """One of a user's sessions; `score` is set when sessions were ranked by a query."""

    id: str
    title: str | None
    created_at: datetime
    turn_count: int
    score: float | None = None


@dataclass(frozen=True, slots=True)
class MemoryStats:
    """Counts for one user, read from the store and the loaded index."""

    user: str
    turns: int
    sessions: int
    forgotten: int
    head_seq: int
    epoch: int
    snapshot_seq: int | None
    events_after_snapshot: int
    index_points: int
    dimension: int
