"""Checks the evaluation set of one person talking with an assistant over months
(bench/data/assistant/turns.jsonl and questions.jsonl) before any script relies on it.

A turn is a JSON object with "session", "session_title", "role" ("user" or
"assistant"), "text", "created_at" (ISO 8601 in UTC, ending in "Z") and
"metadata": {"key": ...}. A question has "question", "answers" (the keys of the
turns that hold the answer) and "kind" (single, paraphrase, trap, temporal or
multi-session). A trap question also names, under "trap", the turn that
asks the same thing or repeats its words without answering it (the assistant's
"Where are you staying?" before the user says where): that turn is no answer,
and it comes before the first answer, in the same session.

The check fails (exit status 1, one line per problem) when a line is not such an
object, a key repeats, an answer names a turn that does not exist, times do not
increase, a session's turns are not together or change title, a multi-session
question's answers sit in one session, a trap turn is missing or misplaced, or
the set is smaller than the minimums below. It then prints the counts: turns,
sessions, questions per kind, and the turns of each session.

Usage: python bench/check_eval_set.py [--turns FILE] [--questions FILE]
"""

from __future__ import annotations

import argparse
import collections
import json
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent / "data" / "assistant"
ROLES = ("user", "assistant")
KINDS = ("single", "paraphrase", "trap", "temporal", "multi-session")
MINIMUMS = {"turns": 520, "sessions": 30, "questions": 160, "months": 5}
KIND_MINIMUMS = {"paraphrase": 40, "trap": 40, "temporal": 25, "multi-session": 20}


@dataclass(frozen=True)
class Turn:
    where: str  # file and line, for messages
    key: str
    session: str
    title: str
    role: str
    created_at: datetime


@dataclass(frozen=True)
class Question:
    where: str
    text: str
    answers: tuple[str, ...]
    kind: str
    trap: str | None  # the key of the turn that asks but does not answer


def read_lines(path: Path, problems: list[str]) -> list[tuple[int, dict[str, Any]]]:
    """The file's JSON objects with their line numbers; a bad line becomes a problem."""
    objects = []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not line.strip():
            continue
        try:
            value = json.loads(line)
        except json.JSONDecodeError as error:
            problems.append(f"{path.name}:{number}: not JSON ({error.msg})")
            continue
        if not isinstance(value, dict):
            problems.append(f"{path.name}:{number}: expected a JSON object")
            continue
        objects.append((number, value))
    return objects


def parse_time(value: object) -> datetime | None:
    if not isinstance(value, str) or not value.endswith("Z"):
        return None
    try:
        return datetime.fromisoformat(value[:-1] + "+00:00")
    except ValueError:
        return None


def parse_turn(where: str, entry: dict[str, Any], problems: list[str]) -> Turn | None:
    metadata = entry.get("metadata")
    key = metadata.get("key") if isinstance(metadata, dict) else None
    created_at = parse_time(entry.get("created_at"))
    fields = (entry.get("session"), entry.get("session_title"), entry.get("text"))
    if not isinstance(key, str) or not key:
        problems.append(f'{where}: "metadata" needs a non-empty "key"')
    elif not all(isinstance(value, str) and value.strip() for value in fields):
        problems.append(f'{where}: "session", "session_title" and "text" must be non-empty text')
    elif entry.get("role") not in ROLES:
        problems.append(f'{where}: "role" must be one of {", ".join(ROLES)}')
    elif created_at is None:
        problems.append(
            f'{where}: "created_at" must be ISO 8601 ending in Z, like 2025-09-08T20:15:00Z'
        )
    else:
        return Turn(where, key, entry["session"], entry["session_title"], entry["role"], created_at)
    return None


def parse_question(where: str, entry: dict[str, Any], problems: list[str]) -> Question | None:
    text, answers, kind = entry.get("question"), entry.get("answers"), entry.get("kind")
    trap = entry.get("trap")
    if not isinstance(text, str) or not text.strip():
        problems.append(f'{where}: "question" must be non-empty text')
    elif not isinstance(answers, list) or not answers:
        problems.append(f'{where}: "answers" must be a non-empty list of turn keys')
    elif not all(isinstance(key, str) for key in answers) or len(set(answers)) != len(answers):
        problems.append(f'{where}: "answers" must hold distinct turn keys')
    elif kind not in KINDS:
        problems.append(f'{where}: "kind" must be one of {", ".join(KINDS)}')
    elif (kind == "trap") != isinstance(trap, str):
        problems.append(f'{where}: a "trap" question, and only such a one, names its "trap" turn')
    else:
        return Question(where, text, tuple(answers), kind, trap)
    return None


def check_turns(turns: Sequence[Turn], problems: list[str]) -> None:
    """Unique keys, times that increase, each session's turns together under one title."""
    seen: set[str] = set()
    finished: set[str] = set()
    for previous, turn in zip([None, *turns], turns, strict=False):
        if turn.key in seen:
            problems.append(f"{turn.where}: key {turn.key} is used twice")
        seen.add(turn.key)
        if previous is None:
            continue
        if turn.created_at <= previous.created_at:
            problems.append(f"{turn.where}: created_at is not after the turn before it")
        if turn.session == previous.session:
            if turn.title != previous.title:
                problems.append(f"{turn.where}: session {turn.session} changes its title")
            continue
        finished.add(previous.session)
        if turn.session in finished:
            problems.append(f"{turn.where}: session {turn.session} resumes after another")


def check_trap(q: Question, place: dict[str, tuple[str, int]], problems: list[str]) -> None:
    """The trap turn exists, is no answer, and comes before the first answer in its session."""
    if q.trap is None:
        return
    first = min((place[key] for key in q.answers), key=lambda session_index: session_index[1])
    if q.trap not in place:
        problems.append(f"{q.where}: no turn has the trap key {q.trap}")
    elif q.trap in q.answers:
        problems.append(f"{q.where}: the trap turn {q.trap} is also an answer")
    elif place[q.trap][0] != first[0] or place[q.trap][1] > first[1]:
        problems.append(
            f"{q.where}: the trap turn {q.trap} is not before the answer in its session"
        )


def check_questions(
    questions: Sequence[Question], turns: Sequence[Turn], problems: list[str]
) -> None:
    """Answer keys that exist, no question asked twice, multi-session answers that span,
    trap turns where they belong."""
    place = {turn.key: (turn.session, n) for n, turn in enumerate(turns)}
    texts = collections.Counter(q.text.strip().lower() for q in questions)
    for q in questions:
        missing = [key for key in q.answers if key not in place]
        if missing:
            problems.append(f"{q.where}: no turn has key {', '.join(missing)}")
        elif q.kind == "multi-session" and len({place[k][0] for k in q.answers}) < 2:
            problems.append(f"{q.where}: a multi-session question's answers are in one session")
        else:
            check_trap(q, place, problems)
        if texts[q.text.strip().lower()] > 1:
            problems.append(f"{q.where}: the same question is asked more than once")


def months_between(first: datetime, last: datetime) -> int:
    """Whole calendar months from `first` to `last`."""
    months = (last.year - first.year) * 12 + last.month - first.month
    return months - 1 if (last.day, last.time()) < (first.day, first.time()) else months


def check_size(turns: Sequence[Turn], questions: Sequence[Question], problems: list[str]) -> None:
    kinds = collections.Counter(q.kind for q in questions)
    sizes = {
        "turns": len(turns),
        "sessions": len({t.session for t in turns}),
        "questions": len(questions),
        "months": months_between(turns[0].created_at, turns[-1].created_at) if turns else 0,
    }
    for name, least in MINIMUMS.items():
        if sizes[name] < least:
            problems.append(f"the set has {sizes[name]} {name}; it needs at least {least}")
    for kind, least in KIND_MINIMUMS.items():
        if kinds[kind] < least:
            problems.append(f'{kinds[kind]} questions of kind "{kind}"; at least {least} needed')


def report(turns: Sequence[Turn], questions: Sequence[Question]) -> list[str]:
    sessions: dict[str, list[Turn]] = collections.defaultdict(list)
    for turn in turns:
        sessions[turn.session].append(turn)
    kinds = collections.Counter(q.kind for q in questions)
    roles = collections.Counter(t.role for t in turns)
    lines = [
        f"{len(turns)} turns ({roles['user']} user, {roles['assistant']} assistant) in "
        f"{len(sessions)} sessions, {turns[0].created_at:%Y-%m-%d} to "
        f"{turns[-1].created_at:%Y-%m-%d}",
        f"{len(questions)} questions: " + ", ".join(f"{kind} {kinds[kind]}" for kind in KINDS),
        "",
        "session  first turn   turns  title",
    ]
    for name, members in sessions.items():
        lines.append(
            f"{name:<8} {members[0].created_at:%Y-%m-%d}  {len(members):>5}  {members[0].title}"
        )
    return lines


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Check the assistant evaluation set: answer keys, times, sessions, counts.",
    )
    parser.add_argument("--turns", type=Path, default=HERE / "turns.jsonl", help="turns file")
    parser.add_argument(
        "--questions", type=Path, default=HERE / "questions.jsonl", help="questions file"
    )
    args = parser.parse_args(argv)
    problems: list[str] = []
    turns = [
        turn
        for number, entry in read_lines(args.turns, problems)
        if (turn := parse_turn(f"{args.turns.name}:{number}", entry, problems)) is not None
    ]
    questions = [
        question
        for number, entry in read_lines(args.questions, problems)
        if (question := parse_question(f"{args.questions.name}:{number}", entry, problems))
        is not None
    ]
    check_turns(turns, problems)
    check_questions(questions, turns, problems)
    check_size(turns, questions, problems)
    if turns:
        print("\n".join(report(turns, questions)))
    for problem in problems:
        print(f"problem: {problem}", file=sys.stderr)
    if problems:
        print(f"{len(problems)} problems: fix the data files and run again", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
