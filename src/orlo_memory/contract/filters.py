"""The filter language: which turns a search may return, as one JSON object.

The same form is taken by the library (`search(..., filter={...})`, a dict),
the HTTP API (`"filter": {...}` in the body), the MCP `search` tool (its
`filter` argument) and the command line (`--filter '{...}'`); the LangChain
store maps its `filter=` onto it (all of its keys are metadata keys).

Keys name what is compared:
- `role`, `session` (a session id) and `created_at` (a time): the turn's
  own fields;
- any other key: that top-level key of the turn's metadata, exactly as
  written (a dot is part of the key: nested metadata is not reached);
- `metadata.K`: metadata key K, for a key that is also a field's name or
  starts with "$".

A key's value is a value to be equal to (`{"source": "email"}`) or an object
of operators, all of which must hold (`{"year": {"$gte": 2020, "$lt": 2025}}`):
- `$eq`, `$ne`: equal, not equal;
- `$in`, `$nin`: equal to one of a non-empty list, to none of them;
- `$gt`, `$gte`, `$lt`, `$lte`: ordered after or before a number, a string
  (by code point) or, for `created_at`, a time;
- `$exists`: true (the turn's metadata has the key) or false;
- `$not`: an object of operators that must not all hold.
The values compared are strings, numbers and booleans (null, lists and objects
are not: use `$exists` for presence). A comparison holds only between values
of one type, as JSON has them: 1 equals 1.0, but neither "1" nor true; a
`$gt` on numbers never matches a string. `$ne`, `$nin` and `$not` are the
exact negations, so they match turns without the key.
Times are ISO 8601 texts with a zone (or timezone-aware datetimes in
Python), compared as times; metadata holds no time type, so times kept in
metadata compare as strings (in one zone and format, e.g. UTC "Z", that is
their order in time too).

Conditions combine with `$and` and `$or` (non-empty lists of filters) and
`$not` (a filter); keys side by side must all hold. A filter nests at most
MAX_FILTER_DEPTH levels, holds at most MAX_FILTER_CONDITIONS comparisons,
and a list at most MAX_FILTER_VALUES values. `{}` (or None) filters nothing.

`parse_filter` checks a filter and returns its tree (`Condition`, `All`,
`AnyOf`, `Not`), with `$ne`, `$nin` and `$exists: false` turned into `Not`
and equality into `$in` of one value; a bad filter raises InvalidInputError
naming its part: "filter.$or[1].age: $gt needs a number, a string or a time,
got a list". The stores translate the tree (stores/*/filters.py).
"""

from __future__ import annotations

import math
import reprlib
from collections.abc import Mapping
from dataclasses import dataclass
from datetime import datetime
from typing import Any

from ..errors import InvalidInputError
from .turns import parse_time
from .values import parse_id, storable, timestamp_us

# How deeply $and, $or and $not may nest, how many comparisons one filter may
# hold and how many values one $in may list: far beyond a hand-written
# filter, and a bound on the statement a store builds from it.
MAX_FILTER_DEPTH = 8
MAX_FILTER_CONDITIONS = 64
MAX_FILTER_VALUES = 1000

# The turn's own fields, by their names in a filter.
ROLE = "role"
SESSION = "session"
CREATED_AT = "created_at"
FIELDS = (ROLE, SESSION, CREATED_AT)
METADATA = "metadata"  # a Condition's field for a metadata key
METADATA_PREFIX = "metadata."

# Operators on one key, and the ones that order.
COMPARISONS = ("$eq", "$ne", "$in", "$nin", "$gt", "$gte", "$lt", "$lte", "$exists", "$not")
RANGES = {"$gt": "gt", "$gte": "gte", "$lt": "lt", "$lte": "lte"}
LOGICAL = ("$and", "$or", "$not")

Scalar = str | int | float | bool

# How the doors publish the argument: a JSON object, checked by the library.
FILTER_SCHEMA: dict[str, Any] = {"type": "object"}
FILTER_DESCRIPTION = (
    "only the turns this JSON object matches: a key is a metadata key (or role, session,"
    ' created_at) and its value one to equal, or operators: {"year": {"$gte": 2020}};'
    " $eq, $ne, $in, $nin (lists), $gt, $gte, $lt, $lte, $exists (true or false); combine"
    ' with $and and $or (lists of filters) and $not, e.g. {"role": "user", "$or":'
    ' [{"topic": "travel"}, {"topic": {"$in": ["flights", "hotels"]}}]}'
)


@dataclass(frozen=True, slots=True)
class Condition:
    """One comparison: `field` is "role", "session", "created_at" or
    "metadata" (then `key` names the metadata key); `op` is "in" (equal to
    one of `values`), "gt", "gte", "lt", "lte" (against the one value) or
    "exists" (no values). Times are microseconds since the epoch, session ids
    their 32 hex characters."""

    field: str
    key: str
    op: str
    values: tuple[Scalar, ...]


@dataclass(frozen=True, slots=True)
class All:
    """Every part holds (no parts: every turn)."""

    parts: tuple[Filter, ...]


@dataclass(frozen=True, slots=True)
class AnyOf:
    """At least one part holds (no parts: no turn)."""

    parts: tuple[Filter, ...]


@dataclass(frozen=True, slots=True)
class Not:
    part: Filter


Filter = Condition | All | AnyOf | Not


def parse_filter(value: object, *, fields: bool = True, what: str = "filter") -> Filter | None:
    """A filter checked and as its tree, or None for no filter (None or {}).
    With `fields` False every key is a metadata key (LangChain's filters)."""
    if value is None:
        return None
    if not isinstance(value, Mapping):
        raise InvalidInputError(f"{what} must be a JSON object, got {_kind(value)}")
    if not value:
        return None
    parser = _Parser(fields)
    return parser.filter(value, what, 1)


def _kind(value: object) -> str:
    """What `value` is, in JSON's words."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, int | float):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list | tuple):
        return "a list"
    if isinstance(value, Mapping):
        return "an object"
    if isinstance(value, datetime):
        return "a time"
    return f"a {type(value).__name__} (not a JSON value)"


def _shown(key: str) -> str:
    return key if len(key) <= 60 and key.isprintable() else reprlib.repr(key)


class _Parser:
    def __init__(self, fields: bool) -> None:
        self.fields = fields
        self.conditions = 0

    def filter(self, value: Mapping[object, object], where: str, depth: int) -> Filter:
        """A filter object: its keys side by side, all of which must hold."""
        if depth > MAX_FILTER_DEPTH:
            raise InvalidInputError(
                f"{where}: the filter nests more than {MAX_FILTER_DEPTH} levels deep"
            )
        parts: list[Filter] = []
        for key, item in value.items():
            if not isinstance(key, str):
                raise InvalidInputError(f"{where}: keys must be strings, got {key!r}")
            if key.startswith("$"):
                parts.append(self.logical(key, item, where, depth))
            else:
                parts.append(self.key(key, item, f"{where}.{_shown(key)}", depth))
        return parts[0] if len(parts) == 1 else All(tuple(parts))

    def logical(self, op: str, value: object, where: str, depth: int) -> Filter:
        if op == "$not":
            if not isinstance(value, Mapping) or not value:
                raise InvalidInputError(
                    f"{where}: $not needs a non-empty object (a filter), got {_kind(value)}"
                )
            return Not(self.filter(value, f"{where}.$not", depth + 1))
        if op not in ("$and", "$or"):
            raise InvalidInputError(
                f"{where}: unknown operator {_shown(op)} (a filter's operators are"
                f" {', '.join(LOGICAL)}; a field's are {', '.join(COMPARISONS)})"
            )
        if not isinstance(value, list | tuple) or not value:
            raise InvalidInputError(
                f"{where}: {op} needs a non-empty list of filters, got {_kind(value)}"
            )
        parts = []
        for number, item in enumerate(value):
            at = f"{where}.{op}[{number}]"
            if not isinstance(item, Mapping) or not item:
                raise InvalidInputError(
                    f"{at}: {op} needs a list of non-empty objects, got {_kind(item)}"
                )
            parts.append(self.filter(item, at, depth + 1))
        return All(tuple(parts)) if op == "$and" else AnyOf(tuple(parts))

    def key(self, key: str, value: object, where: str, depth: int) -> Filter:
        field, name = METADATA, key
        if self.fields:
            if key in FIELDS:
                field = key
            elif key.startswith(METADATA_PREFIX):
                name = key[len(METADATA_PREFIX) :]
        if not storable(name):
            raise InvalidInputError(f"{where}: a key must not hold NUL or lone surrogates")
        if isinstance(value, Mapping):
            return self.operators(field, name, value, where, depth)
        return self.comparison(field, name, "$eq", value, where)

    def operators(
        self, field: str, name: str, value: Mapping[object, object], where: str, depth: int
    ) -> Filter:
        if not value:
            raise InvalidInputError(f"{where}: an object of operators needs at least one")
        if depth > MAX_FILTER_DEPTH:
            raise InvalidInputError(
                f"{where}: the filter nests more than {MAX_FILTER_DEPTH} levels deep"
            )
        parts: list[Filter] = []
        for op, item in value.items():
            if not isinstance(op, str) or not op.startswith("$"):
                raise InvalidInputError(
                    f"{where}: {_shown(str(op))} is not an operator: a value compared must be"
                    " a string, a number or a boolean, not an object"
                )
            if op not in COMPARISONS:
                raise InvalidInputError(
                    f"{where}: unknown operator {_shown(op)} (known: {', '.join(COMPARISONS)})"
                )
            if op == "$not":
                if not isinstance(item, Mapping):
                    raise InvalidInputError(
                        f"{where}: $not needs an object of operators, got {_kind(item)}"
                    )
                parts.append(Not(self.operators(field, name, item, f"{where}.$not", depth + 1)))
            else:
                parts.append(self.comparison(field, name, op, item, where))
        return parts[0] if len(parts) == 1 else All(tuple(parts))

    def comparison(self, field: str, name: str, op: str, value: object, where: str) -> Filter:
        self.conditions += 1
        if self.conditions > MAX_FILTER_CONDITIONS:
            raise InvalidInputError(
                f"{where}: the filter holds more than {MAX_FILTER_CONDITIONS} comparisons"
            )
        if op == "$exists":
            if not isinstance(value, bool):
                raise InvalidInputError(f"{where}: $exists needs true or false, got {_kind(value)}")
            if field != METADATA:  # a turn always has its own fields
                return All(()) if value else AnyOf(())
            found = Condition(METADATA, name, "exists", ())
            return found if value else Not(found)
        if op in ("$in", "$nin"):
            if not isinstance(value, list | tuple) or not value:
                raise InvalidInputError(f"{where}: {op} needs a non-empty list, got {_kind(value)}")
            if len(value) > MAX_FILTER_VALUES:
                raise InvalidInputError(
                    f"{where}: {op} lists {len(value):,} values, at most {MAX_FILTER_VALUES:,}"
                )
            values = tuple(dict.fromkeys(self.equal_value(field, op, v, where) for v in value))
            found = Condition(field, name, "in", values)
            return found if op == "$in" else Not(found)
        if op in ("$eq", "$ne"):
            found = Condition(field, name, "in", (self.equal_value(field, op, value, where),))
            return found if op == "$eq" else Not(found)
        return Condition(field, name, RANGES[op], (self.range_value(field, op, value, where),))

    def equal_value(self, field: str, op: str, value: object, where: str) -> Scalar:
        if field == SESSION:
            if not isinstance(value, str):
                raise InvalidInputError(f"{where}: {op} needs a session id, got {_kind(value)}")
            return parse_id(value, f"{where}: the session id")
        if field == CREATED_AT:
            return self.time(op, value, where)
        if field == ROLE:
            return self.text(op, value, where)
        if isinstance(value, str):
            return self.text(op, value, where)
        if isinstance(value, bool):
            return value
        if isinstance(value, int | float):
            return self.number(op, value, where)
        needs = "a string, a number or a boolean"
        hint = " (use $exists for a key's presence)" if value is None else ""
        raise InvalidInputError(f"{where}: {op} needs {needs}, got {_kind(value)}{hint}")

    def range_value(self, field: str, op: str, value: object, where: str) -> Scalar:
        if field == SESSION:
            raise InvalidInputError(
                f"{where}: {op} does not apply to session (use $eq, $ne, $in, $nin)"
            )
        if field == CREATED_AT:
            return self.time(op, value, where)
        if isinstance(value, str):
            return self.text(op, value, where)
        if field == METADATA and isinstance(value, int | float) and not isinstance(value, bool):
            return self.number(op, value, where)
        needs = "a string" if field == ROLE else "a number, a string or a time"
        raise InvalidInputError(f"{where}: {op} needs {needs}, got {_kind(value)}")

    @staticmethod
    def text(op: str, value: object, where: str) -> str:
        if not isinstance(value, str):
            raise InvalidInputError(f"{where}: {op} needs a string, got {_kind(value)}")
        if not storable(value):
            raise InvalidInputError(f"{where}: {op} needs text without NUL or lone surrogates")
        return value

    @staticmethod
    def number(op: str, value: int | float, where: str) -> int | float:
        if isinstance(value, float) and not math.isfinite(value):
            raise InvalidInputError(f"{where}: {op} needs a finite number, got {value!r}")
        if isinstance(value, int) and not -(2**63) <= value < 2**63:
            raise InvalidInputError(
                f"{where}: {op} needs an integer within 64 bits, got {reprlib.repr(value)}"
            )
        return value

    @staticmethod
    def time(op: str, value: object, where: str) -> int:
        if not isinstance(value, str | datetime):
            raise InvalidInputError(
                f"{where}: {op} needs an ISO 8601 time with a zone, got {_kind(value)}"
            )
        moment = parse_time(value, f"{where}: {op}")
        us = timestamp_us(moment, f"{where}: {op}")
        assert us is not None
        return us


def scoped(
    where: Filter | None, session_id: str | None, span: tuple[int, int] | None
) -> Filter | None:
    """`where` narrowed to one session and a span of creation times
    [since, until) in microseconds, when given."""
    parts: list[Filter] = [] if where is None else [where]
    if session_id is not None:
        parts.append(Condition(SESSION, "", "in", (session_id,)))
    if span is not None:
        parts.append(Condition(CREATED_AT, "", "gte", (span[0],)))
        parts.append(Condition(CREATED_AT, "", "lt", (span[1],)))
    if not parts:
        return None
    return parts[0] if len(parts) == 1 else All(tuple(parts))
