"""What the memory returns, in its JSON form: one shape per result, used as it
is by the command line's --json output, JSON Lines export, the HTTP API (its
response models) and the MCP tools (their results).

Times are ISO 8601 in UTC with a "Z"; a turn's session is `session`.
"""

from __future__ import annotations

from datetime import datetime
from typing import Any, TypedDict

from .results import Hit, MemoryStats, SessionInfo, Turn


class HitJson(TypedDict):
    """One search result, best first in the list that holds it. In hybrid
    mode `vector_part` + `lexical_part` + `neighbour_lift` is the fused value
    that `score` scales to [0, 1] over the candidates (null in other modes)."""

    id: str
    text: str
    score: float
    role: str
    session: str
    created_at: str
    metadata: dict[str, Any]
    vector_score: float | None
    vector_rank: int | None
    lexical_rank: int | None
    vector_part: float | None
    lexical_part: float | None
    neighbour_lift: float | None


class TurnJson(TypedDict):
    """A stored turn."""

    id: str
    text: str
    role: str
    session: str
    created_at: str
    metadata: dict[str, Any]
    new_topic: bool
    seq: int


class SessionJson(TypedDict):
    """One of a user's sessions; `score` is set when they were ranked by a query."""

    id: str
    title: str | None
    created_at: str
    turns: int
    score: float | None


class StatsJson(TypedDict):
    """Counts for one user: `head_seq` is the number of events in the user's
    log, `epoch` how many times the index was rebuilt or restructured."""

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


def iso(moment: datetime) -> str:
    return moment.isoformat().replace("+00:00", "Z")


def hit_json(hit: Hit) -> HitJson:
    return {
        "id": hit.id,
        "text": hit.text,
        "score": hit.score,
        "role": hit.role,
        "session": hit.session_id,
        "created_at": iso(hit.created_at),
        "metadata": hit.metadata,
        "vector_score": hit.vector_score,
        "vector_rank": hit.vector_rank,
        "lexical_rank": hit.lexical_rank,
        "vector_part": hit.vector_part,
        "lexical_part": hit.lexical_part,
        "neighbour_lift": hit.neighbour_lift,
    }


def turn_json(turn: Turn) -> TurnJson:
    return {
        "id": turn.id,
        "text": turn.text,
        "role": turn.role,
        "session": turn.session_id,
        "created_at": iso(turn.created_at),
        "metadata": turn.metadata,
        "new_topic": turn.new_topic,
        "seq": turn.seq,
    }


def session_json(info: SessionInfo) -> SessionJson:
    return {
        "id": info.id,
        "title": info.title,
        "created_at": iso(info.created_at),
        "turns": info.turn_count,
        "score": info.score,
    }


def stats_json(stats: MemoryStats) -> StatsJson:
    return {
        "user": stats.user,
        "turns": stats.turns,
        "sessions": stats.sessions,
        "forgotten": stats.forgotten,
        "head_seq": stats.head_seq,
        "epoch": stats.epoch,
        "snapshot_seq": stats.snapshot_seq,
        "events_after_snapshot": stats.events_after_snapshot,
        "index_points": stats.index_points,
        "dimension": stats.dimension,
    }
