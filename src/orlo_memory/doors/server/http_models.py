"""The HTTP API's request and response bodies (pydantic models at the edge).

Requests are strict: no unknown fields, no strings taken for numbers or
booleans; times are ISO 8601 with a zone. The library checks the values
themselves (non-empty text, no NUL, ids, dimensions) and its message is what
the caller sees.
"""

from __future__ import annotations

from datetime import datetime
from typing import Annotated, Any, Literal

from pydantic import AwareDatetime, BaseModel, BeforeValidator, ConfigDict, Field

Mode = Literal["vector", "lexical", "hybrid"]


def _iso_text(value: object) -> object:
    if not isinstance(value, str | datetime):
        raise ValueError("expected an ISO 8601 time with a zone, e.g. 2026-04-02T10:40:00Z")
    return value


# Parsed from its ISO 8601 text (JSON has no time type, so the strict models
# would refuse any), with a zone; numbers are not taken for times.
Time = Annotated[AwareDatetime, Field(strict=False), BeforeValidator(_iso_text)]
# An embedding as numbers, or as the base64 of its little-endian float32 bytes
# (a quarter of the size, and no number parsing).
Embedding = list[float] | str


class _Strict(BaseModel):
    model_config = ConfigDict(strict=True, extra="forbid")


class TurnIn(_Strict):
    """A turn to store."""

    text: str = Field(description="what was said")
    role: str = Field("user", description='who said it, e.g. "user" or "assistant"')
    metadata: dict[str, Any] | None = Field(None, description="any JSON object, returned as is")
    created_at: Time | None = Field(None, description="when it was said (default: now)")
    id: str | None = Field(None, description="the caller's own id: 32 hex characters or a UUID")
    embedding: Embedding | None = Field(
        None,
        description="the turn's embedding, numbers or base64 of little-endian float32 "
        "(default: computed by the server's model)",
    )
    new_topic: bool = Field(False, description="open a new topic (document) with this turn")
    new_session: bool = Field(False, description="open a new session with this turn")
    session_title: str | None = Field(None, description="the title of the session it opens")


class TurnBatch(_Strict):
    turns: list[TurnIn] = Field(description="turns to store in order, in one transaction")
    replacing: list[str] | None = Field(
        None, description="ids of live turns to forget in the same transaction"
    )


class IdsIn(_Strict):
    ids: list[str] = Field(description="turn ids")


class SearchIn(_Strict):
    query: str = Field("", description="the question or words to look for")
    k: int = Field(5, ge=0, le=1000, description="how many turns")
    mode: Mode = Field("hybrid", description="vector, lexical or hybrid (both, fused)")
    session: str | None = Field(None, description="search this session only")
    recency: float = Field(0.0, ge=0.0, le=1.0, description="weight of recency, 0 to 1")
    embedding: Embedding | None = Field(
        None,
        description="the query's embedding, numbers or base64 of little-endian float32 "
        "(default: computed by the server's model)",
    )
    since: Time | None = Field(
        None, description="only turns from this time on (where the library filters by time)"
    )
    until: Time | None = Field(
        None, description="only turns before this time (where the library filters by time)"
    )


class NewSessionIn(_Strict):
    title: str | None = Field(None, description="the session's title")


class RankSessionsIn(_Strict):
    query: str | None = Field(None, description="rank sessions by closeness to this text")
    embedding: Embedding | None = Field(None, description="or to this embedding")
    k: int | None = Field(None, ge=0, le=10000, description="at most this many")


class IdOut(BaseModel):
    id: str


class IdsOut(BaseModel):
    ids: list[str]


class ForgottenOut(BaseModel):
    forgotten: int


class HitOut(BaseModel):
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


class HitsOut(BaseModel):
    hits: list[HitOut]


class TurnOut(BaseModel):
    id: str
    text: str
    role: str
    session: str
    created_at: str
    metadata: dict[str, Any]
    new_topic: bool
    seq: int


class TurnsOut(BaseModel):
    turns: list[TurnOut]


class SessionOut(BaseModel):
    id: str
    title: str | None
    created_at: str
    turns: int
    score: float | None


class SessionsOut(BaseModel):
    sessions: list[SessionOut]


class StatsOut(BaseModel):
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


class UsersOut(BaseModel):
    users: list[str]


class ProblemOut(BaseModel):
    """An error, as application/problem+json."""

    type: str
    title: str
    status: int
    detail: str
