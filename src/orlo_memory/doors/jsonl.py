"""Import and export of conversations as JSON Lines.

One object per line: "text" (required), "session" (an opaque name; a change of
value starts a new session), "session_title", "role" (default "user"),
"created_at" (ISO 8601 with a zone, default now; a time without one is
refused), "new_topic", "metadata" (object), "id" (32 hex) and "embedding"
(list of floats). Export writes each turn in its shared JSON form (the session
as its id) with its session's title and, on request, its embedding, so export
then import round-trips.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Iterator
from dataclasses import replace
from typing import IO, Any

from ..contract.results import Turn
from ..contract.shapes import turn_json
from ..contract.turns import NewTurn, turn_from_json
from ..core.user import UserMemory, prepared
from ..embedders import as_matrix
from ..errors import InvalidInputError

# Turns whose embeddings one read of an export fetches.
EXPORT_BATCH = 500
# What a line holds besides a turn's own fields: the name of its session (a
# change of value starts a new one).
_LINE_FIELDS = frozenset({"session"})


def read_turns(lines: Iterable[str], source: str = "input") -> list[NewTurn]:
    """Parses conversation lines into turns (blank lines are skipped).

    Raises InvalidInputError naming the line of the first malformed entry."""
    return [turn for _, turn in read_located_turns(lines, source)]


def read_located_turns(lines: Iterable[str], source: str = "input") -> list[tuple[str, NewTurn]]:
    """Parses conversation lines into turns, each with where it was read
    ("SOURCE:LINE"). Every field is checked as `add_many` checks it, the
    embeddings also for one length and the ids for repeats, so that a bad
    line names itself: InvalidInputError "SOURCE:LINE: what is wrong"."""
    located: list[tuple[str, NewTurn]] = []
    previous_session: object = None
    first_embedding: tuple[int, str] | None = None  # its length, and where it was
    ids: dict[str, str] = {}  # turn id -> where it was given
    for number, line in enumerate(lines, start=1):
        if not line.strip():
            continue
        where = f"{source}:{number}"
        try:
            entry = json.loads(line)
        except json.JSONDecodeError as error:
            raise InvalidInputError(f"{where}: not JSON ({error.msg})") from None
        except RecursionError:
            raise InvalidInputError(f"{where}: nested too deeply") from None
        if not isinstance(entry, dict):
            raise InvalidInputError(f"{where}: each line must be a JSON object")
        session = entry.get("session")
        starts_session = "session" in entry and (not located or session != previous_session)
        previous_session = session
        try:
            turn = _turn(entry, starts_session)
            checked = prepared(turn, "0" * 32)
        except InvalidInputError as error:
            raise InvalidInputError(f"{where}: {error}") from None
        if checked.explicit_id:
            if checked.id in ids:
                raise InvalidInputError(
                    f"{where}: id {checked.id} is also given on {ids[checked.id]}"
                )
            ids[checked.id] = where
        if turn.embedding is not None:
            length = len(turn.embedding)
            if first_embedding is None:
                first_embedding = (length, where)
            elif length != first_embedding[0]:
                raise InvalidInputError(
                    f"{where}: embedding has {length} numbers, the one on {first_embedding[1]}"
                    f" has {first_embedding[0]}"
                )
        located.append((where, turn))
    return located


def _turn(entry: dict[str, Any], starts_session: bool) -> NewTurn:
    """A line's entry as a turn, its fields' types checked (their values are
    checked by `prepared`); "session" names the line's session."""
    turn = turn_from_json(entry, extra=_LINE_FIELDS)
    if turn.embedding is not None:
        if isinstance(turn.embedding, str) or isinstance(turn.embedding[0], list):
            raise InvalidInputError("embedding must be a non-empty list of numbers")
        as_matrix(turn.embedding, 1, len(turn.embedding), "embedding values")
    # Every line of a session may repeat its title: here the title names the
    # session its line opens (by "session" or "new_session") and opens none.
    opens = starts_session or entry.get("new_session") is True
    return replace(turn, new_session=opens, session_title=turn.session_title if opens else None)


def import_jsonl(
    user: UserMemory, stream: IO[str], *, source: str = "input", progress: bool | None = None
) -> list[str]:
    """Adds every turn of a conversation file in one transaction; returns the
    ids. A malformed line raises InvalidInputError and nothing is stored."""
    return user.add_many(read_turns(stream, source), progress=progress)


def iter_export(user: UserMemory, *, embeddings: bool = False) -> Iterator[dict[str, Any]]:
    """The user's live turns as conversation entries, in log order: those
    live when the export began, read at once. With `embeddings` each batch
    of them comes with its embeddings, read later; a turn forgotten in
    between has none any more and is left out, so that every line is whole
    (an import of the file takes every line or refuses it)."""
    turns = list(user.turns())
    # Read after the turns: every session they name is there (sessions are
    # never removed and keep their titles).
    titles = {session.id: session.title for session in user.sessions()}
    for start in range(0, len(turns), EXPORT_BATCH):
        batch = turns[start : start + EXPORT_BATCH]
        if not embeddings:
            yield from (_entry(turn, titles, None) for turn in batch)
            continue
        vectors = user.embeddings([turn.id for turn in batch])
        for turn in batch:
            vector = vectors.get(turn.id)
            if vector is not None:
                yield _entry(turn, titles, vector)


def _entry(turn: Turn, titles: dict[str, str | None], vector: Any) -> dict[str, Any]:
    """A turn as a conversation line: its shared JSON form, less `seq` (its
    place in this memory's log, which an import gives anew), with its
    session's title and, on request, its embedding."""
    entry: dict[str, Any] = dict(turn_json(turn))
    del entry["seq"]
    entry["session_title"] = titles.get(turn.session_id)
    if vector is not None:
        entry["embedding"] = [float(x) for x in vector]
    return entry


def export_jsonl(user: UserMemory, stream: IO[str], *, embeddings: bool = False) -> int:
    """Writes the user's live turns as JSON Lines; returns how many."""
    count = 0
    for entry in iter_export(user, embeddings=embeddings):
        stream.write(json.dumps(entry, ensure_ascii=False) + "\n")
        count += 1
    return count
