"""A turn as a caller hands it in: its fields, once, in Python (`NewTurn`) and
in JSON (`TURN_FIELDS`, `turn_from_json`).

JSON Lines import, the HTTP API and the MCP server all read a turn through
these: a field added here is a field every door accepts.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from datetime import datetime
from typing import Any, NamedTuple

from ..errors import InvalidInputError


@dataclass(frozen=True, slots=True)
class NewTurn:
    """A turn for `add_many`. `new_topic` opens a new document before it;
    `new_session` a new session (titled `session_title`) before it. (A JSON
    turn's "session_title" opens one by itself: see `turn_from_json`.)"""

    text: str
    role: str = "user"
    metadata: Mapping[str, Any] | None = None
    created_at: datetime | None = None
    id: str | None = None
    embedding: Any = None
    new_topic: bool = False
    new_session: bool = False
    session_title: str | None = None


class TurnField(NamedTuple):
    """One field of a turn in its JSON form."""

    name: str
    # The JSON type: "text" (a non-empty string), "string", "object", "time",
    # "id", "embedding" or "boolean".
    kind: str
    default: Any
    description: str


# The JSON form of a turn, in the order the doors list it. `NewTurn` has one
# attribute of each name (plus nothing else): the tests keep them in step.
TURN_FIELDS: tuple[TurnField, ...] = (
    TurnField("text", "text", None, "what was said"),
    TurnField("role", "text", "user", 'who said it, e.g. "user" or "assistant"'),
    TurnField("metadata", "object", None, "any JSON object, returned as is"),
    TurnField("created_at", "time", None, "when it was said, ISO 8601 with a zone (default: now)"),
    TurnField("id", "id", None, "the caller's own id: 32 hex characters or a UUID"),
    TurnField(
        "embedding",
        "embedding",
        None,
        "the turn's embedding (default: computed by the memory's model)",
    ),
    TurnField("new_topic", "boolean", False, "open a new topic (document) with this turn"),
    TurnField("new_session", "boolean", False, "open a new session with this turn"),
    TurnField("session_title", "string", None, "opens a new session with this title"),
)
TURN_FIELD_NAMES = frozenset(field.name for field in TURN_FIELDS)


# What a time in JSON must look like, in every JSON door's refusal.
ISO_TIME = "an ISO 8601 time with a zone, e.g. 2026-04-02T10:40:00Z or +02:00"


def parse_time(value: object, name: str) -> datetime | None:
    """An ISO 8601 time with a zone ("2026-04-02T10:40:00Z") as a datetime
    (None and datetimes as given); a time without a zone is refused, as the
    library refuses a naive datetime. The JSON doors read times with it, so
    that a refusal speaks of ISO 8601 text rather than of Python's datetimes."""
    if value is None or isinstance(value, datetime):
        return value  # a datetime from Python: the library checks it, in Python's terms
    if not isinstance(value, str):
        raise InvalidInputError(f"{name} must be {ISO_TIME}, got {type(value).__name__}")
    try:
        parsed = datetime.fromisoformat(value.replace("Z", "+00:00"))
    except ValueError:
        raise InvalidInputError(f"{name} {value!r} is not {ISO_TIME}") from None
    if parsed.tzinfo is None or parsed.utcoffset() is None:
        raise InvalidInputError(f"{name} {value!s} has no time zone: give {ISO_TIME}")
    return parsed


_JSON_TYPES: dict[str, tuple[type, ...]] = {"string": (str,), "boolean": (bool,)}


def turn_from_json(entry: Mapping[str, Any], *, extra: frozenset[str] = frozenset()) -> NewTurn:
    """A turn from its JSON object: unknown fields (beyond `extra`, which the
    caller reads itself) and values of the wrong JSON type are refused,
    naming the field; the values themselves are checked when the turn is
    stored. An embedding stays as given (numbers, or whatever the door
    decoded). A "session_title" opens a new session, as "new_session" does,
    at every JSON door alike (a title given alone is never dropped)."""
    unknown = set(entry) - TURN_FIELD_NAMES - extra
    if unknown:
        raise InvalidInputError(f"unknown field {sorted(unknown)[0]!r}")
    values: dict[str, Any] = {}
    for field in TURN_FIELDS:
        value = entry.get(field.name)
        if value is None:
            continue
        if field.kind == "time":
            value = parse_time(value, field.name)
        elif field.kind == "embedding":
            if not isinstance(value, list | str) or not value:
                raise InvalidInputError(f"{field.name} must be a non-empty list of numbers")
        elif field.kind in _JSON_TYPES and not isinstance(value, _JSON_TYPES[field.kind]):
            wanted = "true or false" if field.kind == "boolean" else "a string"
            raise InvalidInputError(f"{field.name} must be {wanted}, got {value!r}")
        values[field.name] = value
    if "session_title" in values:
        values["new_session"] = True
    return NewTurn(**{"text": "", **values})  # a missing text is refused when stored
