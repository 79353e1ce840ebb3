"""Retrieval quality of `UserMemory.search` on the sample conversation, and the
sweep of the fusion parameters that chose their defaults.

The conversation (examples/data/conversation.jsonl, 506 turns in 18 sessions)
is imported with all-MiniLM-L6-v2 embeddings (cached under build/eval-cache/,
keyed by the model and the texts, so a second run loads no model), then every
question of bench/data/eval_questions.jsonl is asked in the three modes; a
question tied to a session is asked with session=. A turn answers a question
when its metadata "key" is among the question's "answers".

Metrics, averaged over the questions: recall@k is the share of a question's
answering turns among the first k hits; MRR is 1 / the rank of the first
answering hit within the first 10 (0 when there is none).

Question kinds. The question file carries no labels, so the kind is derived
from the words the question shares with its answering turns (lower-cased,
stop words dropped, a light suffix strip): "lexical" when a shared word occurs
in at most 1% of the turns (a name, a code, a rare term pins the answer),
"semantic" when no word is shared, "mixed" when only common words are.

Fusion is reciprocal rank fusion: score = w_v / (fusion_k + r_v) + w_l /
(fusion_k + r_l). Scaling both weights by the same factor scales every score
and leaves every ranking unchanged, so the sweep varies fusion_k and the
ratio w_l / w_v (with w_v = 1). The defaults are chosen by the best mean of
recall@10 over each grid point and its neighbours (a robust region, not the
single best point), and checked by two-fold cross-validation.

Usage: python bench/eval_search.py [--cache DIR] [--no-sweep]
"""

from __future__ import annotations

import argparse
import collections
import hashlib
import json
import re
import statistics
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from orlo_memory import (
    DEFAULT_FUSION_K,
    DEFAULT_LEXICAL_WEIGHT,
    DEFAULT_VECTOR_WEIGHT,
    Memory,
    SentenceTransformerEmbedder,
    SqliteStore,
    UserMemory,
    read_turns,
)

ROOT = Path(__file__).resolve().parent.parent
CONVERSATION = ROOT / "examples" / "data" / "conversation.jsonl"
QUESTIONS = ROOT / "bench" / "data" / "eval_questions.jsonl"
MODES = ("vector", "lexical", "hybrid")
KINDS = ("lexical", "mixed", "semantic")
FUSION_KS = (1.0, 2.0, 3.0, 5.0, 7.0, 10.0, 15.0, 20.0, 30.0, 45.0, 60.0, 90.0, 120.0)
LEXICAL_RATIOS = (0.1, 0.15, 0.2, 0.25, 0.33, 0.4, 0.5, 0.67, 0.8, 1.0, 1.25, 1.5, 2.0)
RARE_SHARE = 0.01
NOISE = 0.005

Matrix = npt.NDArray[np.float32]

_STOP_WORDS = (
    "a about after again all am an and any are as at be been before being both but by can "
    "could did do does doing done for from get got had has have how i if in into is it its "
    "just me more most my no not now of on once one or our ours out over own s same should "
    "so some still such than that the their them then there these they this those through "
    "to too up us very was we were what when where which while who whom why will with would "
    "you your yours he she his her him t ll m re ve d"
)
_STOP = frozenset(_STOP_WORDS.split())


@dataclass(frozen=True)
class Question:
    text: str
    answers: frozenset[str]  # turn ids
    session: str | None  # session id
    kind: str


@dataclass(frozen=True)
class Scores:
    recall5: float
    recall10: float
    reciprocal_rank: float


# -- data ------------------------------------------------------------------------


def _stem(word: str) -> str:
    for suffix in ("ing", "ed", "es", "s"):
        if word.endswith(suffix) and len(word) - len(suffix) >= 3:
            return word[: -len(suffix)]
    return word


def _words(text: str) -> set[str]:
    return {_stem(w) for w in re.findall(r"[^\W_]+", text.lower()) if w not in _STOP}


def question_kind(
    question: str, answers: Sequence[str], frequency: dict[str, int], rare: int
) -> str:
    shared = _words(question) & set().union(*(_words(text) for text in answers))
    if not shared:
        return "semantic"
    return "lexical" if any(frequency[word] <= rare for word in shared) else "mixed"


def embed_cached(texts: list[str], cache: Path, embedder: Callable[[], Any]) -> Matrix:
    """The model's embeddings of `texts`, from the cache when it holds them."""
    digest = hashlib.sha256(("all-MiniLM-L6-v2\0" + "\0".join(texts)).encode()).hexdigest()
    path = cache / f"minilm-{digest[:20]}.npy"
    if path.exists():
        cached: Matrix = np.load(path)
        return cached
    vectors: Matrix = embedder().embed(texts)
    cache.mkdir(parents=True, exist_ok=True)
    np.save(path, vectors)
    return vectors


def load(cache: Path) -> tuple[UserMemory, Memory, list[Question], Matrix]:
    lines = CONVERSATION.read_text(encoding="utf-8").splitlines()
    entries = [json.loads(line) for line in lines if line.strip()]
    turns = read_turns(lines, str(CONVERSATION))
    asked = [json.loads(line) for line in QUESTIONS.read_text(encoding="utf-8").splitlines()]
    model: list[SentenceTransformerEmbedder] = []

    def embedder() -> SentenceTransformerEmbedder:
        if not model:
            print("loading all-MiniLM-L6-v2 ...", file=sys.stderr)
            model.append(SentenceTransformerEmbedder.packaged())
        return model[0]

    turn_vectors = embed_cached([t.text for t in turns], cache, embedder)
    question_vectors = embed_cached([q["question"] for q in asked], cache, embedder)
    memory = Memory.open(":memory:", dimension=turn_vectors.shape[1])
    user = memory.user("maya")
    ids = user.add_many(turns, embeddings=turn_vectors)
    by_key = {
        entry["metadata"]["key"]: turn_id for entry, turn_id in zip(entries, ids, strict=True)
    }
    texts = {entry["metadata"]["key"]: entry["text"] for entry in entries}
    session_of = {
        entry["session"]: stored.session_id
        for entry, stored in zip(entries, user.get(ids), strict=True)
    }
    frequency: collections.Counter[str] = collections.Counter()
    for entry in entries:
        frequency.update(_words(entry["text"]))
    rare = int(RARE_SHARE * len(entries))
    questions = [
        Question(
            q["question"],
            frozenset(by_key[key] for key in q["answers"]),
            None if q["session"] is None else session_of[q["session"]],
            question_kind(q["question"], [texts[key] for key in q["answers"]], frequency, rare),
        )
        for q in asked
    ]
    return user, memory, questions, question_vectors


# -- measuring -------------------------------------------------------------------


def score(hits: Sequence[str], answers: frozenset[str]) -> Scores:
    first = next((rank for rank, hit in enumerate(hits[:10], 1) if hit in answers), None)
    return Scores(
        len(answers.intersection(hits[:5])) / len(answers),
        len(answers.intersection(hits[:10])) / len(answers),
        0.0 if first is None else 1.0 / first,
    )


def run(
    user: UserMemory,
    questions: Sequence[Question],
    vectors: Matrix,
    mode: str,
    *,
    fusion_k: float = DEFAULT_FUSION_K,
    vector_weight: float = DEFAULT_VECTOR_WEIGHT,
    lexical_weight: float = DEFAULT_LEXICAL_WEIGHT,
) -> list[Scores]:
    results = []
    for question, vector in zip(questions, vectors, strict=True):
        hits = user.search(
            question.text,
            10,
            session=question.session,
            mode=mode,
            embedding=vector,
            fusion_k=fusion_k,
            vector_weight=vector_weight,
            lexical_weight=lexical_weight,
        )
        results.append(score([hit.id for hit in hits], question.answers))
    return results


def mean(values: Sequence[float]) -> float:
    return statistics.fmean(values) if values else float("nan")


def summary_table(questions: Sequence[Question], by_mode: dict[str, list[Scores]]) -> list[str]:
    groups: list[tuple[str, list[int]]] = [("all", list(range(len(questions))))]
    for kind in KINDS:
        groups.append((kind, [n for n, q in enumerate(questions) if q.kind == kind]))
    groups.append(("scoped", [n for n, q in enumerate(questions) if q.session is not None]))
    out = [
        "| questions | n | "
        + " | ".join(f"{m} R@10" for m in MODES)
        + " | "
        + " | ".join(f"{m} R@5" for m in MODES)
        + " | "
        + " | ".join(f"{m} MRR" for m in MODES)
        + " |",
        "|---|---:|" + "---:|" * 9,
    ]
    for name, members in groups:
        cells = []
        for metric in ("recall10", "recall5", "reciprocal_rank"):
            for mode in MODES:
                values = [getattr(by_mode[mode][n], metric) for n in members]
                cells.append(f"{mean(values):.3f}")
        out.append(f"| {name} | {len(members)} | " + " | ".join(cells) + " |")
    return out


def sweep(
    user: UserMemory, questions: Sequence[Question], vectors: Matrix
) -> dict[tuple[float, float], list[Scores]]:
    grid: dict[tuple[float, float], list[Scores]] = {}
    for fusion_k in FUSION_KS:
        for ratio in LEXICAL_RATIOS:
            grid[(fusion_k, ratio)] = run(
                user,
                questions,
                vectors,
                "hybrid",
                fusion_k=fusion_k,
                vector_weight=1.0,
                lexical_weight=ratio,
            )
    return grid


def smoothed(
    grid: dict[tuple[float, float], list[Scores]], members: Sequence[int], metric: str = "recall10"
) -> dict[tuple[float, float], float]:
    """Mean of `metric` at each grid point and its (up to 8) neighbours."""
    plain = {
        point: mean([getattr(scores[n], metric) for n in members]) for point, scores in grid.items()
    }
    out = {}
    for i, fusion_k in enumerate(FUSION_KS):
        for j, ratio in enumerate(LEXICAL_RATIOS):
            around = [
                plain[(FUSION_KS[a], LEXICAL_RATIOS[b])]
                for a in range(max(i - 1, 0), min(i + 2, len(FUSION_KS)))
                for b in range(max(j - 1, 0), min(j + 2, len(LEXICAL_RATIOS)))
            ]
            out[(fusion_k, ratio)] = mean(around)
    return out


def report_sweep(
    grid: dict[tuple[float, float], list[Scores]], questions: Sequence[Question]
) -> None:
    everyone = list(range(len(questions)))
    plain = {point: mean([s.recall10 for s in scores]) for point, scores in grid.items()}
    for metric, label in (
        ("recall10", "recall@10"),
        ("recall5", "recall@5"),
        ("reciprocal_rank", "MRR"),
    ):
        table = {
            point: mean([getattr(s, metric) for s in scores]) for point, scores in grid.items()
        }
        print(f"\nhybrid {label} by fusion_k (rows) and lexical/vector weight ratio (columns):\n")
        print("| fusion_k | " + " | ".join(f"{r:g}" for r in LEXICAL_RATIOS) + " |")
        print("|---:|" + "---:|" * len(LEXICAL_RATIOS))
        for fusion_k in FUSION_KS:
            cells = " | ".join(f"{table[(fusion_k, r)]:.3f}" for r in LEXICAL_RATIOS)
            print(f"| {fusion_k:g} | {cells} |")
    chosen = choose(grid, everyone)
    region = smoothed(grid, everyone)
    best_point = max(plain, key=lambda p: plain[p])
    print(
        f"\nbest single point: fusion_k={best_point[0]:g}, ratio={best_point[1]:g}: "
        f"recall@10 {plain[best_point]:.3f} (neighbourhood {region[best_point]:.3f})"
    )
    print(
        f"chosen (robust region, then MRR): fusion_k={chosen[0]:g}, "
        f"ratio={chosen[1]:g}: recall@10 {plain[chosen]:.3f} (neighbourhood {region[chosen]:.3f})"
    )
    current = (DEFAULT_FUSION_K, DEFAULT_LEXICAL_WEIGHT / DEFAULT_VECTOR_WEIGHT)
    if current in plain:
        print(
            f"the defaults: fusion_k={current[0]:g}, ratio={current[1]:g}: "
            f"recall@10 {plain[current]:.3f} (neighbourhood {region[current]:.3f})"
        )
    # Two-fold cross-validation: choose on one half of the questions, measure
    # on the other; a large gap to the in-sample figure would mean overfitting.
    print("\ntwo-fold cross-validation (choose on one half, measure on the other):")
    for fold in (0, 1):
        train = [n for n in everyone if n % 2 == fold]
        test = [n for n in everyone if n % 2 != fold]
        point = choose(grid, train)
        held_out = mean([grid[point][n].recall10 for n in test])
        in_sample = mean([grid[point][n].recall10 for n in train])
        fixed = mean([grid[chosen][n].recall10 for n in test])
        print(
            f"  fold {fold}: picked fusion_k={point[0]:g}, ratio={point[1]:g}; recall@10 "
            f"{in_sample:.3f} on its half, {held_out:.3f} held out "
            f"(the overall choice: {fixed:.3f} there)"
        )


def choose(
    grid: dict[tuple[float, float], list[Scores]], members: Sequence[int]
) -> tuple[float, float]:
    """A point of the most robust region: among the points inside the grid
    whose neighbourhood mean of recall@10 is within NOISE of the best one
    (less than one question's worth apart), the best neighbourhood MRR. Edge
    points are left out: their neighbourhood is one-sided, and the low edge of
    the ratio means "lexical ranking nearly off", which vector mode measures."""
    recall = smoothed(grid, members)
    reciprocal = smoothed(grid, members, "reciprocal_rank")
    inside = [(k, r) for k in FUSION_KS[1:-1] for r in LEXICAL_RATIOS[1:-1]]
    best = max(recall[p] for p in inside)
    near_best = [p for p in inside if recall[p] >= best - NOISE]
    return max(near_best, key=lambda p: reciprocal[p])


def complementary(user: UserMemory, questions: Sequence[Question], vectors: Matrix) -> None:
    """How often each ranking alone has an answering turn in its first 10."""
    counts: collections.Counter[str] = collections.Counter()
    for question, vector in zip(questions, vectors, strict=True):
        found = []
        for mode in ("vector", "lexical"):
            hits = user.search(
                question.text, 10, session=question.session, mode=mode, embedding=vector
            )
            found.append(any(hit.id in question.answers for hit in hits))
        counts[("vector" if found[0] else "") + ("+lexical" if found[1] else "")] += 1
    print(
        "\nan answering turn in the first 10: "
        f"both rankings {counts['vector+lexical']}, vector only {counts['vector']}, "
        f"lexical only {counts['+lexical']}, neither {counts['']}"
    )


def common_words(
    memory: Memory, user: UserMemory, questions: Sequence[Question], vectors: Matrix
) -> None:
    """Recall with other shares for leaving common words out of the lexical ranking."""
    store = memory._store
    if not isinstance(store, SqliteStore):
        return
    kept = store.common_term_share
    print("\nquery words left out when in more than a share of the turns (at least 20 turns):\n")
    print("| share | lexical R@10 | hybrid R@10 | hybrid MRR |")
    print("|---:|---:|---:|---:|")
    for share in (1.0, 0.2, 0.1, 0.05, 0.02):
        store.common_term_share = share
        lexical = run(user, questions, vectors, "lexical")
        hybrid = run(user, questions, vectors, "hybrid")
        print(
            f"| {share:g} | {mean([s.recall10 for s in lexical]):.3f} | "
            f"{mean([s.recall10 for s in hybrid]):.3f} | "
            f"{mean([s.reciprocal_rank for s in hybrid]):.3f} |"
        )
    store.common_term_share = kept


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=Path, default=ROOT / "build" / "eval-cache")
    parser.add_argument("--no-sweep", action="store_true", help="only the table of the defaults")
    args = parser.parse_args()
    user, memory, questions, vectors = load(args.cache)
    counts = collections.Counter(q.kind for q in questions)
    print(
        f"{len(questions)} questions ({', '.join(f'{counts[k]} {k}' for k in KINDS)}; "
        f"{sum(q.session is not None for q in questions)} scoped to a session), "
        f"{user.stats().turns} turns\n"
    )
    print(
        f"defaults: fusion_k={DEFAULT_FUSION_K:g}, vector_weight={DEFAULT_VECTOR_WEIGHT:g}, "
        f"lexical_weight={DEFAULT_LEXICAL_WEIGHT:g}\n"
    )
    started = time.perf_counter()
    by_mode = {mode: run(user, questions, vectors, mode) for mode in MODES}
    for line in summary_table(questions, by_mode):
        print(line)
    complementary(user, questions, vectors)
    if not args.no_sweep:
        common_words(memory, user, questions, vectors)
        report_sweep(sweep(user, questions, vectors), questions)
    print(f"\n({time.perf_counter() - started:.1f} s of searches)", file=sys.stderr)
    memory.close()


if __name__ == "__main__":
    main()
