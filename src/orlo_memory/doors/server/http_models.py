"""The HTTP API's bodies (pydantic models at the edge), derived from the contract.

Requests are strict: no unknown fields, no strings taken for numbers or
booleans; times are ISO 8601 text with a zone, read by the contract. A
turn's fields are the contract's `TURN_FIELDS` (names, order, defaults,
descriptions) and every limit comes from `contract.values`; the library
checks the values themselves (non-empty text, no NUL, ids, dimensions,
modes, times) and its message is what the caller sees.

Responses are the contract's result shapes (`contract.shapes`), wrapped in
the object a route answers ({"hits": [...]}). Routes return plain dicts that
FastAPI validates against these models and serialises, so a body cannot
leave in a form the OpenAPI page does not show.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Annotated, Any, get_type_hints

import typing_extensions
from pydantic import BaseModel, ConfigDict, Field, WithJsonSchema, create_model

from ...contract import shapes
from ...contract.filters import FILTER_DESCRIPTION
from ...contract.turns import ISO_TIME, TURN_FIELDS, TurnField
from ...contract.values import MAX_RECENCY, MAX_RESULTS, MODES

# A time is ISO 8601 text with a zone. It is handed on as it came and read
# by the contract's `parse_time` (with the turn, or in the route), so that a
# refusal is the one every JSON door gives; the schema documents the text.
Time = Annotated[
    Any,
    WithJsonSchema({"anyOf": [{"type": "string", "format": "date-time"}, {"type": "null"}]}),
]
# An embedding as numbers, or as the base64 of its little-endian float32 bytes
# (a quarter of the size, and no number parsing).
Embedding = list[float] | str
_BASE64 = "numbers, or the base64 of its little-endian float32 values"


class _Strict(BaseModel):
    model_config = ConfigDict(strict=True, extra="forbid")


# The JSON type of each kind of turn field, as a request model declares it.
_KINDS: dict[str, Any] = {
    "text": str,
    "string": str | None,
    "object": dict[str, Any] | None,
    "time": Time,
    "id": str | None,
    "embedding": Embedding | None,
    "boolean": bool,
}


def _turn_field(field: TurnField) -> tuple[Any, Any]:
    # A text without a default is the one field a turn cannot do without.
    required = field.kind == "text" and field.default is None
    description = field.description
    if field.kind == "embedding":
        description += f": {_BASE64}"
    return _KINDS[field.kind], Field(... if required else field.default, description=description)


def _turn_model() -> type[_Strict]:
    """The request model of one turn, field for field `TURN_FIELDS`: a field
    added to the contract is a field the HTTP API accepts and documents."""
    fields: dict[str, Any] = {field.name: _turn_field(field) for field in TURN_FIELDS}
    return create_model("TurnIn", __base__=_Strict, __doc__="A turn to store.", **fields)


if TYPE_CHECKING:  # a model to the type checker; its fields exist only at run time
    TurnIn = _Strict
else:
    TurnIn = _turn_model()


class TurnBatch(_Strict):
    turns: list[TurnIn] = Field(description="turns to store in order, in one transaction")
    replacing: list[str] | None = Field(
        None, description="ids of live turns to forget in the same transaction"
    )


class IdsIn(_Strict):
    ids: list[str] = Field(description="turn ids")


class SearchIn(_Strict):
    query: str = Field("", description="the question or words to look for")
    k: int = Field(5, ge=0, le=MAX_RESULTS, description="how many turns")
    mode: str = Field(
        "hybrid",
        description="vector (meaning), lexical (words) or hybrid (both, fused)",
        json_schema_extra={"enum": list(MODES)},
    )
    session: str | None = Field(None, description="search this session only (its id)")
    recency: float = Field(
        0.0, ge=0.0, le=MAX_RECENCY, description="weight of recency, 0 (none) to 1"
    )
    embedding: Embedding | None = Field(
        None,
        description=f"the query's embedding (default: computed by the memory's model): {_BASE64}",
    )
    since: Time = Field(None, description=f"only turns from this time on: {ISO_TIME}")
    until: Time = Field(None, description=f"only turns before this time: {ISO_TIME}")
    # Any JSON value: the library checks it, naming the part that is wrong.
    filter: Any = Field(
        None,
        description=FILTER_DESCRIPTION,
        json_schema_extra={"anyOf": [{"type": "object"}, {"type": "null"}]},
    )


class NewSessionIn(_Strict):
    title: str | None = Field(None, description="the session's title")


class RankSessionsIn(_Strict):
    query: str | None = Field(None, description="rank sessions by closeness to this text")
    embedding: Embedding | None = Field(None, description=f"or to this embedding: {_BASE64}")
    k: int | None = Field(None, ge=0, le=MAX_RESULTS, description="at most this many")


# -- responses ----------------------------------------------------------------------

# The functional form of typing_extensions' TypedDict, for shapes whose fields
# are read at run time (pydantic reads typing's own only from Python 3.12).
_TypedDict: Any = typing_extensions.TypedDict


def _shape(shape: type) -> Any:
    """`shape` as pydantic reads it: its name, fields and docstring."""
    copy = _TypedDict(shape.__name__, get_type_hints(shape))
    copy.__doc__ = shape.__doc__
    return copy


def _envelope(name: str, key: str, item: Any, doc: str) -> Any:
    """An object holding one list: {key: [item, ...]}."""
    envelope = _TypedDict(name, {key: list[item]})
    envelope.__doc__ = doc
    return envelope


HitJson = _shape(shapes.HitJson)
TurnJson = _shape(shapes.TurnJson)
SessionJson = _shape(shapes.SessionJson)
StatsJson = _shape(shapes.StatsJson)
HitsOut = _envelope("HitsOut", "hits", HitJson, "Search results, best first.")
TurnsOut = _envelope("TurnsOut", "turns", TurnJson, "Stored turns.")
SessionsOut = _envelope("SessionsOut", "sessions", SessionJson, "A user's sessions.")
UsersOut = _envelope("UsersOut", "users", str, "The users the caller may reach.")
IdsOut = _envelope("IdsOut", "ids", str, "The ids of the stored turns, in order.")


class IdOut(typing_extensions.TypedDict):
    """The id of what was stored."""

    id: str


class ForgottenOut(typing_extensions.TypedDict):
    """How many turns were forgotten."""

    forgotten: int


class HealthOut(typing_extensions.TypedDict):
    """The server answers; `dimension` is its memory's embedding dimension."""

    status: str
    dimension: int


class FieldProblem(BaseModel):
    field: str
    message: str


class ProblemOut(BaseModel):
    """An error, as application/problem+json (RFC 9457)."""

    type: str
    title: str
    status: int
    detail: str
    errors: list[FieldProblem] | None = Field(
        None, description="for a request the models refused: its first faults, by field"
    )
