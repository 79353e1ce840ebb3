"""Filters on the PostgreSQL backend: a checked filter (contract/filters.py)
as SQL over a turn's row and over its field index (stores/filtering.py), and
the statements that keep that index.

A turn's metadata is its JSON text, read as jsonb once per condition; a key
is looked up by value (`->` with a parameter), so any key works, and each
value's JSON type is checked first (`jsonb_typeof`), so 1, 1.0, "1" and true
stay apart and no cast can fail. Numbers compare as `numeric`, exactly as
their JSON text says; strings by code point (COLLATE "C", as Python and
SQLite order them). Every condition is true or false, never NULL, so `NOT`
is the exact negation. Values are always parameters (named `f0`, `f1`, ...);
only the shape of the filter becomes SQL text.

jsonb cannot hold the character NUL, which JSON text can escape: metadata
stored before NUL was refused in it would fail the cast, so such metadata
reads as none here (`_document`).
"""

from __future__ import annotations

from decimal import Decimal
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
FIELDS_TABLE = """CREATE TABLE IF NOT EXISTS orlo_memory.turn_fields (
    uid bigint NOT NULL,
    seq bigint NOT NULL,
    key text NOT NULL,
    kind smallint NOT NULL,
    num numeric,
    str text COLLATE "C",
    PRIMARY KEY (uid, seq, key)
)"""
FIELDS_INDEX = (
    "CREATE INDEX IF NOT EXISTS turn_fields_by_value"
    " ON orlo_memory.turn_fields (uid, key, kind, num, str) INCLUDE (seq)"
)
TIME_INDEX = "CREATE INDEX IF NOT EXISTS turns_by_time ON orlo_memory.turns (uid, created_us)"


def _document(alias: str) -> str:
    """The turn row `alias`'s metadata as jsonb (NULL for none, and for JSON
    text holding an escaped NUL, which jsonb cannot hold)."""
    return (
        f"(CASE WHEN strpos({alias}.metadata, '\\u0000') > 0 THEN NULL"
        f" ELSE {alias}.metadata::jsonb END)"
    )


# The field index's rows of the turns that `where` selects (of the table
# turns, as t): each top-level key of a short name, with its JSON type and
# its scalar value (a string cut to its first INDEXED_CHARS characters).
_FIELD_ROWS = (
    "INSERT INTO orlo_memory.turn_fields (uid, seq, key, kind, num, str)"
    " SELECT t.uid, t.seq, j.key,"
    f" CASE jsonb_typeof(j.value) WHEN 'null' THEN {KIND_NULL} WHEN 'boolean' THEN {KIND_BOOLEAN}"
    f" WHEN 'number' THEN {KIND_NUMBER} WHEN 'string' THEN {KIND_STRING} ELSE {KIND_OTHER} END,"
    " CASE jsonb_typeof(j.value) WHEN 'number' THEN j.value::numeric"
    " WHEN 'boolean' THEN CASE WHEN j.value = 'true'::jsonb THEN 1 ELSE 0 END END,"
    f" CASE WHEN jsonb_typeof(j.value) = 'string' THEN left(j.value #>> '{{}}', {INDEXED_CHARS})"
    " END"
    f" FROM orlo_memory.turns t, jsonb_each({_document('t')}) AS j"
    " WHERE <which> AND t.metadata IS NOT NULL"
    f" AND length(j.key) <= {INDEXED_CHARS} ON CONFLICT DO NOTHING"
)
# Of the turns just appended (uid, first seq, last seq).
ADD_FIELDS = _FIELD_ROWS.replace("<which>", "t.uid = %s AND t.seq BETWEEN %s AND %s")
# Of every live turn, to fill the index of a database.
FILL_FIELDS = _FIELD_ROWS.replace("<which>", "t.text IS NOT NULL")
# Of turns forgotten (uid, their keys).
REMOVE_FIELDS = "DELETE FROM orlo_memory.turn_fields WHERE uid = %s AND seq = ANY(%s::bigint[])"

_OPERATORS = {"gt": ">", "gte": ">=", "lt": "<", "lte": "<="}
# A range over prefixes that holds every match of the range over strings.
_PREFIX_OPERATORS = {"gt": ">=", "gte": ">=", "lt": "<=", "lte": "<="}


class Parameters:
    """The named parameters of a statement a filter becomes part of."""

    def __init__(self, prefix: str = "f") -> None:
        self.values: dict[str, Any] = {}
        self._prefix = prefix

    def add(self, value: Any, cast: str = "") -> str:
        """A placeholder for `value` (with a cast, e.g. "::text[]")."""
        name = f"{self._prefix}{len(self.values)}"
        self.values[name] = value
        return f"%({name})s{cast}"


def _number(value: int | float) -> Decimal:
    """A filter's number as the numeric its JSON text is (a float by its
    shortest form, as Python writes it into metadata)."""
    return Decimal(value) if isinstance(value, int) else Decimal(repr(value))


def predicate(where: Filter, params: Parameters, alias: str = "t") -> str:
    """`where` as an SQL condition on the turn row `alias`, its values added
    to `params`."""
    if isinstance(where, All | AnyOf):
        if not where.parts:  # every turn, or none
            return "true" if isinstance(where, All) else "false"
        joint = " AND " if isinstance(where, All) else " OR "
        return "(" + joint.join(predicate(part, params, alias) for part in where.parts) + ")"
    if isinstance(where, Not):
        return f"NOT {predicate(where.part, params, alias)}"
    if where.field == METADATA:
        return _metadata(where, params, alias)
    if where.field == CREATED_AT:
        column, array, collation = f"{alias}.created_us", "::bigint[]", ""
    else:
        column = f"{alias}.{'role' if where.field == ROLE else 'session_id'}"
        array, collation = "::text[]", ' COLLATE "C"'
    if where.op == "in":
        return f"{column} = ANY({params.add(list(where.values), array)})"
    return f"{column}{collation} {_OPERATORS[where.op]} {params.add(where.values[0])}"


def _metadata(condition: Condition, params: Parameters, alias: str) -> str:
    """A condition on a metadata key: the value under the key (v, read once)
    passes a test for its JSON type; a missing key fails every test."""
    value = f"({_document(alias)} -> {params.add(condition.key, '::text')})"
    if condition.op == "exists":
        return f"({value} IS NOT NULL)"
    tests: list[str] = []
    if condition.op == "in":
        booleans, numbers, strings = grouped(condition.values)
        if booleans:  # true, false: no value of the caller's becomes SQL text
            listed = ", ".join("'true'::jsonb" if b else "'false'::jsonb" for b in booleans)
            tests.append(f"WHEN 'boolean' THEN v IN ({listed})")
        if numbers:
            listed = params.add([_number(number) for number in numbers], "::numeric[]")
            tests.append(f"WHEN 'number' THEN v::numeric = ANY({listed})")
        if strings:
            tests.append(f"WHEN 'string' THEN (v #>> '{{}}') = ANY({params.add(strings)}::text[])")
    else:
        [bound] = condition.values
        operator = _OPERATORS[condition.op]
        if isinstance(bound, str):
            placeholder = params.add(bound, "::text")
            tests.append(
                f"WHEN 'string' THEN (v #>> '{{}}') COLLATE \"C\" {operator} {placeholder}"
            )
        else:
            assert isinstance(bound, int | float)
            placeholder = params.add(_number(bound), "::numeric")
            tests.append(f"WHEN 'number' THEN v::numeric {operator} {placeholder}")
    cases = " ".join(tests)
    return f"(SELECT CASE jsonb_typeof(v) {cases} ELSE false END FROM (SELECT {value} AS v) AS f)"


def _driver(condition: Condition, uid: str, params: Parameters) -> list[str]:
    """Subqueries of the keys of the user's live turns among which are all
    that match `condition` (the field index holds live turns only); `uid` is
    the user's placeholder."""
    if condition.field != METADATA:
        turns = f"SELECT seq FROM orlo_memory.turns WHERE uid = {uid} AND text IS NOT NULL"
        if condition.field != CREATED_AT:  # a session
            ids = params.add(list(condition.values), "::text[]")
            return [f"{turns} AND session_id = ANY({ids})"]
        if condition.op == "in":
            test = f"= ANY({params.add(list(condition.values), '::bigint[]')})"
        else:
            test = f"{_OPERATORS[condition.op]} {params.add(condition.values[0], '::bigint')}"
        return [f"{turns} AND created_us {test}"]
    key = params.add(condition.key, "::text")
    field = f"SELECT seq FROM orlo_memory.turn_fields WHERE uid = {uid} AND key = {key}"
    if condition.op == "exists":
        return [field]
    if condition.op != "in":
        [value] = condition.values
        if isinstance(value, str):
            bound = params.add(value[:INDEXED_CHARS], "::text")
            operator = _PREFIX_OPERATORS[condition.op]
            return [f"{field} AND kind = {KIND_STRING} AND num IS NULL AND str {operator} {bound}"]
        assert isinstance(value, int | float)
        bound = params.add(_number(value), "::numeric")
        return [f"{field} AND kind = {KIND_NUMBER} AND num {_OPERATORS[condition.op]} {bound}"]
    booleans, numbers, strings = grouped(condition.values)
    parts = []
    if booleans:
        listed = params.add([int(value) for value in booleans], "::numeric[]")
        parts.append(f"{field} AND kind = {KIND_BOOLEAN} AND num = ANY({listed})")
    if numbers:
        listed = params.add([_number(value) for value in numbers], "::numeric[]")
        parts.append(f"{field} AND kind = {KIND_NUMBER} AND num = ANY({listed})")
    if strings:
        prefixes = list(dict.fromkeys(value[:INDEXED_CHARS] for value in strings))
        listed = params.add(prefixes, "::text[]")
        parts.append(f"{field} AND kind = {KIND_STRING} AND num IS NULL AND str = ANY({listed})")
    return parts


def union(conditions: list[Condition], user: str, params: Parameters) -> str:
    """A subquery of the keys the driving conditions find (each once); `user`
    is the user's placeholder."""
    subqueries = [sql for condition in conditions for sql in _driver(condition, user, params)]
    return " UNION ".join(subqueries) or "SELECT NULL::bigint AS seq WHERE false"


def selection(where: Filter, uid: int, params: Parameters, sizes: Sizes | None = None) -> str:
    """The FROM and WHERE clauses selecting the user's live turns (as t) that
    match `where`, driven by the field and turn indexes where they answer
    (`sizes` counts the alternatives), else by the user's turns; its values
    are added to `params`."""
    return _selection(where, drivers(where, sizes), uid, params)


def _selection(where: Filter, found: list[Condition] | None, uid: int, params: Parameters) -> str:
    user = params.add(uid, "::bigint")
    if found is None:
        scope = f"FROM orlo_memory.turns t WHERE t.uid = {user}"
    elif not found:
        return "FROM orlo_memory.turns t WHERE false"
    else:
        keys = union(found, user, params)
        # Each key found reads its turn by the primary key, and the filter
        # is checked on that row only: the fence (OFFSET 0) keeps the
        # planner from checking it on a scan of all the user's turns.
        scope = (
            f"FROM ({keys}) AS d CROSS JOIN LATERAL (SELECT * FROM orlo_memory.turns t"
            f" WHERE t.uid = {user} AND t.seq = d.seq OFFSET 0) AS t WHERE true"
        )
    rest = where if found is None else residual(where, found)
    if rest is None:
        return f"{scope} AND t.text IS NOT NULL"
    return f"{scope} AND t.text IS NOT NULL AND {predicate(rest, params)}"


def matching_keys(where: Filter, uid: int, params: Parameters, sizes: Sizes | None = None) -> str:
    """A statement of the keys of the user's live turns that match `where`:
    where the indexes answer the filter exactly, their keys alone, without
    reading the turns; its values are added to `params`."""
    found = drivers(where, sizes)
    if found and covered(where):
        return f"SELECT seq FROM ({union(found, params.add(uid, '::bigint'), params)}) AS k"
    return f"SELECT t.seq {_selection(where, found, uid, params)}"


def narrowing(where: Filter | None, params: Parameters, alias: str = "t") -> str:
    """The condition of `where` on the turn row `alias` as text to append to
    a statement's conditions (" AND ..."; nothing without a filter)."""
    return "" if where is None else f" AND {predicate(where, params, alias)}"
