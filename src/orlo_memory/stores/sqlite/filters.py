"""Filters on the SQLite backend: a checked filter (contract/filters.py) as
SQL over a turn's row and over its field index (stores/filtering.py), and
the statements that keep that index.

A turn's metadata is read with JSON1's `json_each`, which names a key by
value (any key, with any characters in it: no JSON path is built from it)
and gives each value's JSON type, so 1, 1.0, "1" and true stay apart. Every
condition is 1 or 0, never NULL, so `NOT` is the exact negation. Values are
always parameters; only the shape of the filter becomes SQL text.
"""

from __future__ import annotations

from typing import Any

from ...contract.filters import CREATED_AT, METADATA, ROLE, All, AnyOf, Condition, Filter, Not
from ..filtering import (
    INDEXED_CHARS,
    KIND_BOOLEAN,
    KIND_NULL,
    KIND_NUMBER,
    KIND_OTHER,
    KIND_STRING,
    Sizes,
    covered,
    drivers,
    grouped,
    residual,
)

# The field index: a row per top-level key of a live turn's metadata.
FIELDS_TABLE = """CREATE TABLE IF NOT EXISTS turn_fields (
    row INTEGER NOT NULL,
    key TEXT NOT NULL,
    uid INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    value,
    PRIMARY KEY (row, key)
) WITHOUT ROWID"""
FIELDS_INDEX = (
    "CREATE INDEX IF NOT EXISTS turn_fields_by_value ON turn_fields (uid, key, kind, value)"
)
TIME_INDEX = "CREATE INDEX IF NOT EXISTS turns_by_time ON turns (uid, created_us)"

# The field index's rows of the turns that `where` selects (of the table
# turns, as t): each top-level key of a short name, with its JSON type and
# its scalar value (a string cut to its first INDEXED_CHARS characters).
_FIELD_ROWS = (
    "INSERT OR IGNORE INTO turn_fields (row, key, uid, kind, value)"
    " SELECT t.row, j.key, t.uid,"
    f" CASE j.type WHEN 'null' THEN {KIND_NULL} WHEN 'true' THEN {KIND_BOOLEAN}"
    f" WHEN 'false' THEN {KIND_BOOLEAN} WHEN 'integer' THEN {KIND_NUMBER}"
    f" WHEN 'real' THEN {KIND_NUMBER} WHEN 'text' THEN {KIND_STRING} ELSE {KIND_OTHER} END,"
    f" CASE j.type WHEN 'text' THEN substr(j.atom, 1, {INDEXED_CHARS})"
    " WHEN 'true' THEN 1 WHEN 'false' THEN 0 WHEN 'integer' THEN j.atom WHEN 'real' THEN j.atom"
    " END"
    " FROM turns t, json_each(t.metadata) AS j"
    f" WHERE {{where}} AND t.metadata IS NOT NULL AND length(j.key) <= {INDEXED_CHARS}"
)
# Of the turns just appended (uid, first seq, last seq).
ADD_FIELDS = _FIELD_ROWS.format(where="t.uid = ? AND t.seq BETWEEN ? AND ?")
# Of the live turns with keys in [start, end), to fill the index of a file.
FILL_FIELDS = _FIELD_ROWS.format(where="t.row >= ? AND t.row < ? AND t.text IS NOT NULL")
# Of a turn forgotten (its key).
REMOVE_FIELDS = "DELETE FROM turn_fields WHERE row = ?"

_NUMBER = "j.type IN ('integer', 'real')"
_OPERATORS = {"gt": ">", "gte": ">=", "lt": "<", "lte": "<="}
# A range over prefixes that holds every match of the range over strings.
_PREFIX_OPERATORS = {"gt": ">=", "gte": ">=", "lt": "<=", "lte": "<="}
_COLUMNS = {ROLE: "role", CREATED_AT: "created_us"}


def _marks(count: int) -> str:
    return ",".join("?" * count)


def predicate(where: Filter, alias: str = "t") -> tuple[str, list[Any]]:
    """`where` as an SQL condition on the turn row `alias`, and its parameters."""
    params: list[Any] = []
    return _render(where, alias, params), params


def narrowing(where: Filter | None, alias: str = "t") -> tuple[str, list[Any]]:
    """The condition of `where` on the turn row `alias` as text to append to
    a statement's conditions (" AND ..."; nothing without a filter), with
    its parameters."""
    if where is None:
        return "", []
    condition, params = predicate(where, alias)
    return f" AND {condition}", params


def _render(where: Filter, alias: str, params: list[Any]) -> str:
    if isinstance(where, All | AnyOf):
        if not where.parts:  # every turn, or none
            return "1" if isinstance(where, All) else "0"
        joint = " AND " if isinstance(where, All) else " OR "
        return "(" + joint.join(_render(part, alias, params) for part in where.parts) + ")"
    if isinstance(where, Not):
        return f"NOT {_render(where.part, alias, params)}"
    if where.field == METADATA:
        return _metadata(where, alias, params)
    column = f"{alias}.{_COLUMNS.get(where.field, 'session_id')}"
    params.extend(where.values)
    if where.op == "in":
        return f"{column} IN ({_marks(len(where.values))})"
    return f"{column} {_OPERATORS[where.op]} ?"


def _metadata(condition: Condition, alias: str, params: list[Any]) -> str:
    """A condition on a metadata key: whether the turn's metadata has the key
    with a value that passes the test."""
    params.append(condition.key)
    found = f"EXISTS (SELECT 1 FROM json_each({alias}.metadata) AS j WHERE j.key = ?"
    if condition.op == "exists":
        return found + ")"
    if condition.op != "in":
        [value] = condition.values
        params.append(value)
        kind = "j.type = 'text'" if isinstance(value, str) else _NUMBER
        return f"{found} AND {kind} AND j.atom {_OPERATORS[condition.op]} ?)"
    booleans, numbers, strings = grouped(condition.values)
    tests = [f"j.type = '{'true' if value else 'false'}'" for value in booleans]
    if numbers:
        tests.append(f"({_NUMBER} AND j.atom IN ({_marks(len(numbers))}))")
        params.extend(numbers)
    if strings:
        tests.append(f"(j.type = 'text' AND j.atom IN ({_marks(len(strings))}))")
        params.extend(strings)
    return f"{found} AND ({' OR '.join(tests)}))"


def _driver(condition: Condition, uid: int, params: list[Any]) -> list[str]:
    """Subqueries of the keys of the user's live turns among which are all
    that match `condition` (the field index holds live turns only)."""
    if condition.field != METADATA:
        live = "+uid = ? AND text IS NOT NULL"
        if condition.field != CREATED_AT:  # a session
            params.extend((*condition.values, uid))
            marks = _marks(len(condition.values))
            return [f"SELECT row FROM turns WHERE session_id IN ({marks}) AND {live}"]
        params.extend((uid, *condition.values))
        test = (
            f"IN ({_marks(len(condition.values))})"
            if condition.op == "in"
            else _OPERATORS[condition.op] + " ?"
        )
        return [f"SELECT row FROM turns WHERE uid = ? AND created_us {test} AND text IS NOT NULL"]
    field = "SELECT row FROM turn_fields WHERE uid = ? AND key = ?"
    if condition.op == "exists":
        params.extend((uid, condition.key))
        return [field]
    if condition.op != "in":
        [value] = condition.values
        if isinstance(value, str):
            params.extend((uid, condition.key, KIND_STRING, value[:INDEXED_CHARS]))
            return [f"{field} AND kind = ? AND value {_PREFIX_OPERATORS[condition.op]} ?"]
        params.extend((uid, condition.key, KIND_NUMBER, value))
        return [f"{field} AND kind = ? AND value {_OPERATORS[condition.op]} ?"]
    booleans, numbers, strings = grouped(condition.values)
    parts = []
    for kind, values in (
        (KIND_BOOLEAN, [int(value) for value in booleans]),
        (KIND_NUMBER, numbers),
        (KIND_STRING, list(dict.fromkeys(value[:INDEXED_CHARS] for value in strings))),
    ):
        if values:
            params.extend((uid, condition.key, kind, *values))
            parts.append(f"{field} AND kind = ? AND value IN ({_marks(len(values))})")
    return parts


def union(conditions: list[Condition], uid: int, params: list[Any]) -> str:
    """A subquery of the keys the driving conditions find (each once), its
    parameters appended to `params`."""
    subqueries = [sql for condition in conditions for sql in _driver(condition, uid, params)]
    return " UNION ".join(subqueries) or "SELECT NULL AS row WHERE 0"


def selection(where: Filter, uid: int, sizes: Sizes | None = None) -> tuple[str, list[Any]]:
    """The FROM and WHERE clauses selecting the user's live turns (as t) that
    match `where`, and their parameters: driven by the field and turn
    indexes where they answer (their keys streamed, so that a LIMIT stops
    the reading early; `sizes` counts the alternatives), else by the
    user's turns."""
    return _selection(where, drivers(where, sizes), uid)


def _selection(where: Filter, found: list[Condition] | None, uid: int) -> tuple[str, list[Any]]:
    params: list[Any] = []
    if found is None:
        params.append(uid)
        scope = "FROM turns t WHERE t.uid = ? AND t.text IS NOT NULL"
    elif not found:
        return "FROM turns t WHERE 0", params
    else:
        keys = union(found, uid, params)
        scope = f"FROM ({keys}) AS d JOIN turns t ON t.row = d.row WHERE 1"
    rest = where if found is None else residual(where, found)
    if rest is None:
        return scope, params
    condition, more = predicate(rest)
    return f"{scope} AND {condition}", params + more


def matching_keys(where: Filter, uid: int, sizes: Sizes | None = None) -> tuple[str, list[Any]]:
    """A statement of the keys of the user's live turns that match `where`,
    and its parameters: where the indexes answer the filter exactly, their
    keys alone, without reading the turns."""
    found = drivers(where, sizes)
    if found and covered(where):
        params: list[Any] = []
        return f"SELECT row FROM ({union(found, uid, params)})", params
    clauses, params = _selection(where, found, uid)
    return f"SELECT t.row {clauses}", params
