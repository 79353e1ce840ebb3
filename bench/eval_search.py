"""Retrieval quality of `UserMemory.search` and `UserMemory.sessions` as a
caller sees them, on every evaluation set (bench/eval_data.py describes them).

Every question is asked in the three modes through the public API with k = 10
(recall@5, recall@10, MRR) and k = 20 (recall@20): the candidate depth grows
with k, so each figure is measured at the k it names. A question tied to a
session is asked with session=. `sessions(query, k=5)` is scored on the
questions not tied to a session: "session top-1" is the share whose first
session holds an answering turn, "session hit@5" the share with one in the
first five.

Tables: per set, one row per conversation (a user each), "all" (every
question of the set, a user per conversation) and "one memory" (all the set's
conversations stored as one user's turns); then per question kind.

The defaults were chosen with bench/eval_fusion.py, which also says which
conversations chose them.

Usage: python bench/eval_search.py [--sets sample,pairs] [--postgres URL]
       [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

from eval_data import (
    DEFAULT_CACHE,
    SETS,
    Embeddings,
    Matrix,
    Scores,
    SessionScores,
    Stored,
    build,
    kinds_of,
    load_sets,
    mean,
    question_vectors,
    score,
    session_score,
    table,
)

MODES = ("vector", "lexical", "hybrid")
# The figures of the search before score-level fusion, neighbour smoothing,
# stop words and best-turn session ranking (written by --json).
BEFORE = Path(__file__).resolve().parent / "data" / "search_before.json"
BEFORE_POSTGRES = BEFORE.with_name("search_before_postgres.json")
COMPARED = (
    ("hybrid.recall5", "R@5"),
    ("hybrid.recall10", "R@10"),
    ("hybrid.recall20", "R@20"),
    ("hybrid.reciprocal_rank", "MRR"),
    ("sessions.top1", "session top-1"),
)


@dataclass(frozen=True)
class Result:
    """One question's figures: per mode, and of sessions(query)."""

    kind: str
    scoped: bool
    modes: dict[str, Scores]
    sessions: SessionScores | None  # None for a question tied to a session


def ask(stored: Stored, vectors: Matrix) -> list[Result]:
    user = stored.user
    results = []
    for question, vector in zip(stored.questions, vectors, strict=True):
        session = None if question.session is None else stored.session_id_of[question.session]
        by_mode = {}
        for mode in MODES:
            ten = user.search(question.text, 10, session=session, mode=mode, embedding=vector)
            twenty = user.search(question.text, 20, session=session, mode=mode, embedding=vector)
            keys = [stored.key_of[hit.id] for hit in ten]
            wider = score([stored.key_of[hit.id] for hit in twenty], question.answers)
            measured = score(keys, question.answers)
            by_mode[mode] = Scores(
                measured.recall5, measured.recall10, wider.recall20, measured.reciprocal_rank
            )
        ranked: SessionScores | None = None
        if session is None:
            answer_sessions = {stored.session_of_id[stored.id_of[key]] for key in question.answers}
            found = user.sessions(question.text, 5, embedding=vector)
            ranked = session_score([s.id for s in found], answer_sessions)
        results.append(Result(question.kind, session is not None, by_mode, ranked))
    return results


def figures(results: Sequence[Result]) -> dict[str, float]:
    """Means over `results`: per mode R@5/10/20 and MRR, then the sessions'."""
    out: dict[str, float] = {"questions": float(len(results))}
    for mode in MODES:
        for metric in ("recall5", "recall10", "recall20", "reciprocal_rank"):
            out[f"{mode}.{metric}"] = mean([getattr(r.modes[mode], metric) for r in results])
    unscoped = [r.sessions for r in results if r.sessions is not None]
    out["sessions.top1"] = mean([s.top1 for s in unscoped])
    out["sessions.hit5"] = mean([s.hit5 for s in unscoped])
    out["sessions.questions"] = float(len(unscoped))
    return out


def rows_of(groups: Sequence[tuple[str, dict[str, float]]]) -> list[list[object]]:
    rows: list[list[object]] = []
    for name, f in groups:
        rows.append(
            [name, int(f["questions"])]
            + [f[f"{mode}.recall10"] for mode in MODES]
            + [f["hybrid.recall5"], f["hybrid.recall20"]]
            + [f[f"{mode}.reciprocal_rank"] for mode in MODES]
            + [f["sessions.top1"], f["sessions.hit5"]]
        )
    return rows


HEADER = (
    ["", "n"]
    + [f"{mode} R@10" for mode in MODES]
    + ["hybrid R@5", "hybrid R@20"]
    + [f"{mode} MRR" for mode in MODES]
    + ["session top-1", "session hit@5"]
)


def compare(
    before: dict[str, dict[str, float]], now: dict[str, dict[str, float]], set_name: str
) -> None:
    """Default (hybrid) figures and session top-1, before -> now."""
    print(f"\nset {set_name}, default search before -> now:\n")
    rows: list[list[object]] = []
    for group, figures_now in now.items():
        earlier = before.get(group)
        if earlier is None:
            continue
        cells: list[object] = [group]
        cells.extend(f"{earlier[key]:.3f} -> {figures_now[key]:.3f}" for key, _ in COMPARED)
        rows.append(cells)
    for line in table(["", *(label for _, label in COMPARED)], rows):
        print(line)


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--sets", default=",".join(SETS), help="comma-separated sets to run")
    parser.add_argument("--cache", type=Path, default=DEFAULT_CACHE, help="embedding cache")
    parser.add_argument(
        "--postgres", metavar="URL", help="store the memories on this PostgreSQL server"
    )
    parser.add_argument("--json", type=Path, help="also write the figures to this file")
    parser.add_argument(
        "--before",
        type=Path,
        help=f"figures of an earlier run (--json) to compare with (default: {BEFORE.name},"
        f" or {BEFORE_POSTGRES.name} with --postgres)",
    )
    args = parser.parse_args()
    if args.before is None:
        args.before = BEFORE_POSTGRES if args.postgres else BEFORE
    embeddings = Embeddings(args.cache)
    sets = load_sets([name for name in args.sets.split(",") if name])
    layout = build(sets, embeddings, args.postgres or ":memory:")
    started = time.perf_counter()
    recorded: dict[str, dict[str, dict[str, float]]] = {}
    for set_name, per_user in layout.per_conversation.items():
        answered = {s.name: ask(s, question_vectors(s, embeddings)) for s in per_user}
        everyone = [r for results in answered.values() for r in results]
        groups = [(s.conversations[0].name, figures(answered[s.name])) for s in per_user]
        if len(per_user) > 1:
            groups.append(("all", figures(everyone)))
        combined = layout.combined.get(set_name)
        if combined is not None:
            together = ask(combined, question_vectors(combined, embeddings))
            groups.append(("one memory", figures(together)))
        turns = sum(len(c.texts) for c in sets[set_name])
        print(f"\n### set {set_name}: {turns} turns, {len(everyone)} questions\n")
        for line in table(HEADER, rows_of(groups)):
            print(line)
        kinds = [(k, figures([r for r in everyone if r.kind == k])) for k in kinds_of(set_name)]
        scoped = [r for r in everyone if r.scoped]
        if scoped:
            kinds.append(("scoped to a session", figures(scoped)))
        print(f"\nset {set_name} by question kind:\n")
        for line in table(HEADER, rows_of(kinds)):
            print(line)
        recorded[set_name] = dict(groups) | {f"kind {name}": f for name, f in kinds}
        if args.before is not None and args.before.exists():
            earlier = json.loads(args.before.read_text(encoding="utf-8")).get(set_name, {})
            compare(earlier, recorded[set_name], set_name)
    print(f"\n({time.perf_counter() - started:.1f} s of searches)", file=sys.stderr)
    if args.json is not None:
        args.json.write_text(json.dumps(recorded, indent=1) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
