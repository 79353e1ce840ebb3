"""The evaluation sets of bench/eval_search.py and bench/eval_fusion.py, stored
in a memory, with the question kinds and the metrics both scripts report.

Set "sample": examples/data/conversation.jsonl (one user and an assistant,
506 turns in 18 sessions) with bench/data/eval_questions.jsonl (165 questions;
a question tied to a session is asked with session=). Its questions carry no
labels: the kind is derived from the words a question shares with its
answering turns (lower-cased, stop words dropped, a light suffix strip):
"lexical" when a shared word occurs in at most 1% of the turns, "semantic"
when none is shared, "mixed" when only common words are.

Set "pairs": bench/data/pairs/c{1,2,3}, three conversations between two
people over months (306/347/328 turns, 15-16 sessions), about 100 questions
each, labelled single / multi (answer across sessions) / temporal. A turn is
stored as "Speaker: text" with the speaker as its role, one user per
conversation.

Embeddings are all-MiniLM-L6-v2's (the packaged model), cached under
build/eval-cache/ by the model and the texts, so a second run loads no model.
"""

from __future__ import annotations

import collections
import hashlib
import json
import re
import statistics
import sys
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from orlo_memory import Embedder, Memory, NewTurn, UserMemory, open_embedder

ROOT = Path(__file__).resolve().parent.parent
SAMPLE_TURNS = ROOT / "examples" / "data" / "conversation.jsonl"
SAMPLE_QUESTIONS = ROOT / "bench" / "data" / "eval_questions.jsonl"
PAIRS = ROOT / "bench" / "data" / "pairs"
DEFAULT_CACHE = ROOT / "build" / "eval-cache"
SETS = ("sample", "pairs")
SAMPLE_KINDS = ("lexical", "mixed", "semantic")
PAIRS_KINDS = ("single", "multi", "temporal")
RARE_SHARE = 0.01
MRR_DEPTH = 10

Matrix = npt.NDArray[np.float32]

_STOP_WORDS = (
    "a about after again all am an and any are as at be been before being both but by can "
    "could did do does doing done for from get got had has have how i if in into is it its "
    "just me more most my no not now of on once one or our ours out over own s same should "
    "so some still such than that the their them then there these they this those through "
    "to too up us very was we were what when where which while who whom why will with would "
    "you your yours he she his her him t ll m re ve d"
)
STOP_WORDS = frozenset(_STOP_WORDS.split())


@dataclass(frozen=True)
class Question:
    text: str
    answers: frozenset[str]  # turn keys
    session: str | None  # the key of the session it is asked in, if any
    kind: str


@dataclass(frozen=True)
class Conversation:
    """One conversation of a set: its turns as stored and its questions."""

    set_name: str
    name: str
    keys: list[str]
    sessions: list[str]  # session key of each turn ("<conversation>/<session>")
    texts: list[str]  # as stored
    roles: list[str]
    times: list[datetime]
    titles: list[str | None]
    questions: list[Question]


def _stem(word: str) -> str:
    for suffix in ("ing", "ed", "es", "s"):
        if word.endswith(suffix) and len(word) - len(suffix) >= 3:
            return word[: -len(suffix)]
    return word


def _words(text: str) -> set[str]:
    return {_stem(w) for w in re.findall(r"[^\W_]+", text.lower()) if w not in STOP_WORDS}


def _derived_kind(
    question: str, answers: Sequence[str], frequency: collections.Counter[str], rare: int
) -> str:
    shared = _words(question) & set().union(*(_words(text) for text in answers))
    if not shared:
        return "semantic"
    return "lexical" if any(frequency[word] <= rare for word in shared) else "mixed"


def _time(value: str) -> datetime:
    return datetime.fromisoformat(value.replace("Z", "+00:00"))


def _jsonl(path: Path) -> list[dict[str, Any]]:
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines() if line]


def load_sample() -> Conversation:
    entries = _jsonl(SAMPLE_TURNS)
    keys = [entry["metadata"]["key"] for entry in entries]
    texts = [entry["text"] for entry in entries]
    frequency: collections.Counter[str] = collections.Counter()
    for text in texts:
        frequency.update(_words(text))
    rare = int(RARE_SHARE * len(entries))
    by_key = dict(zip(keys, texts, strict=True))
    questions = [
        Question(
            q["question"],
            frozenset(q["answers"]),
            None if q["session"] is None else f"sample/{q['session']}",
            _derived_kind(q["question"], [by_key[key] for key in q["answers"]], frequency, rare),
        )
        for q in _jsonl(SAMPLE_QUESTIONS)
    ]
    return Conversation(
        "sample",
        "sample",
        keys,
        [f"sample/{entry['session']}" for entry in entries],
        texts,
        [entry["role"] for entry in entries],
        [_time(entry["created_at"]) for entry in entries],
        [entry.get("session_title") for entry in entries],
        questions,
    )


def load_pair(name: str) -> Conversation:
    entries = _jsonl(PAIRS / f"{name}_turns.jsonl")
    questions = [
        Question(q["question"], frozenset(q["answers"]), None, q["kind"])
        for q in _jsonl(PAIRS / f"{name}_questions.jsonl")
    ]
    return Conversation(
        "pairs",
        name,
        [entry["metadata"]["key"] for entry in entries],
        [f"{name}/{entry['session']}" for entry in entries],
        [f"{entry['role']}: {entry['text']}" for entry in entries],
        [entry["role"] for entry in entries],
        [_time(entry["created_at"]) for entry in entries],
        [None] * len(entries),
        questions,
    )


def load_sets(names: Sequence[str] = SETS) -> dict[str, list[Conversation]]:
    found: dict[str, list[Conversation]] = {}
    for name in names:
        if name == "sample":
            found[name] = [load_sample()]
        elif name == "pairs":
            found[name] = [load_pair(f"c{n}") for n in (1, 2, 3)]
        else:
            raise SystemExit(f"unknown evaluation set {name!r}: choose from {', '.join(SETS)}")
    return found


def kinds_of(set_name: str) -> tuple[str, ...]:
    return SAMPLE_KINDS if set_name == "sample" else PAIRS_KINDS


class Embeddings:
    """The packaged model's embeddings, from the disk cache when it holds them
    (the model is loaded only on a miss, on ONNX Runtime: the torch path gives
    the same vectors)."""

    def __init__(self, cache: Path) -> None:
        self._cache = cache
        self._model: list[Embedder] = []

    def _embedder(self) -> Embedder:
        if not self._model:
            print("loading all-MiniLM-L6-v2 ...", file=sys.stderr)
            embedder = open_embedder()
            assert embedder is not None
            self._model.append(embedder)
        return self._model[0]

    def of(self, texts: list[str]) -> Matrix:
        digest = hashlib.sha256(("all-MiniLM-L6-v2\0" + "\0".join(texts)).encode()).hexdigest()
        path = self._cache / f"minilm-{digest[:20]}.npy"
        if path.exists():
            cached: Matrix = np.load(path)
            return cached
        vectors: Matrix = self._embedder().embed(texts)
        self._cache.mkdir(parents=True, exist_ok=True)
        np.save(path, vectors)
        return vectors


@dataclass
class Stored:
    """Conversations stored as one user's memory: the maps between keys and
    ids, and every turn's embedding (normalised) for the study's checks."""

    name: str
    user: UserMemory
    memory: Memory
    conversations: list[Conversation]
    id_of: dict[str, str] = field(default_factory=dict)  # turn key -> id
    key_of: dict[str, str] = field(default_factory=dict)  # turn id -> key
    session_id_of: dict[str, str] = field(default_factory=dict)  # session key -> id
    session_of_id: dict[str, str] = field(default_factory=dict)  # turn id -> session id
    created_us: dict[str, int] = field(default_factory=dict)  # turn id -> created_at
    ids: list[str] = field(default_factory=list)  # in the order stored
    vectors: Matrix = field(default_factory=lambda: np.zeros((0, 0), dtype=np.float32))

    @property
    def questions(self) -> list[Question]:
        return [q for c in self.conversations for q in c.questions]


def store(
    memory: Memory,
    user_name: str,
    conversations: Sequence[Conversation],
    embeddings: Embeddings,
) -> Stored:
    """Adds the conversations, in order, as the turns of one user."""
    user = memory.user(user_name)
    stored = Stored(user_name, user, memory, list(conversations))
    for conversation in conversations:
        vectors = embeddings.of(conversation.texts)
        turns = []
        previous = None
        for n, text in enumerate(conversation.texts):
            session = conversation.sessions[n]
            turns.append(
                NewTurn(
                    text,
                    role=conversation.roles[n],
                    metadata={"key": conversation.keys[n]},
                    created_at=conversation.times[n],
                    new_session=session != previous,
                    session_title=conversation.titles[n],
                )
            )
            previous = session
        ids = user.add_many(turns, embeddings=vectors, progress=False)
        for n, turn in enumerate(user.get(ids)):
            stored.id_of[conversation.keys[n]] = turn.id
            stored.key_of[turn.id] = conversation.keys[n]
            stored.session_id_of[conversation.sessions[n]] = turn.session_id
            stored.session_of_id[turn.id] = turn.session_id
            stored.created_us[turn.id] = int(turn.created_at.timestamp() * 1_000_000)
        stored.ids.extend(ids)
        norms = np.linalg.norm(vectors, axis=1, keepdims=True)
        normal = (vectors / np.where(norms > 0, norms, 1)).astype(np.float32)
        stored.vectors = normal if stored.vectors.size == 0 else np.vstack([stored.vectors, normal])
    return stored


def open_memory(location: str) -> Memory:
    """ ":memory:" or a PostgreSQL URL (its users are named per run, so runs
    against the same server never meet)."""
    return Memory.open(location, dimension=384)


def user_name(location: str, name: str) -> str:
    if location.startswith(("postgresql://", "postgres://")):
        return f"eval-{name}-{uuid.uuid4().hex[:8]}"
    return name


@dataclass(frozen=True)
class Layout:
    """The memories of one run: a user per conversation (the conversations of
    a set share a database) and, for a set of several conversations, all of
    them in one user's memory."""

    per_conversation: dict[str, list[Stored]]  # set -> one per conversation
    combined: dict[str, Stored]  # set -> all its conversations as one user


def build(
    sets: dict[str, list[Conversation]], embeddings: Embeddings, location: str = ":memory:"
) -> Layout:
    per: dict[str, list[Stored]] = {}
    combined: dict[str, Stored] = {}
    for set_name, conversations in sets.items():
        memory = open_memory(location)
        per[set_name] = [
            store(memory, user_name(location, c.name), [c], embeddings) for c in conversations
        ]
        if len(conversations) > 1:
            together = open_memory(location)
            combined[set_name] = store(
                together, user_name(location, f"{set_name}-all"), conversations, embeddings
            )
    return Layout(per, combined)


def question_vectors(stored: Stored, embeddings: Embeddings) -> Matrix:
    return embeddings.of([q.text for q in stored.questions])


# -- metrics -----------------------------------------------------------------------


@dataclass(frozen=True)
class Scores:
    recall5: float
    recall10: float
    recall20: float
    reciprocal_rank: float  # 1 / rank of the first answering hit within MRR_DEPTH, else 0


def score(hits: Sequence[str], answers: frozenset[str]) -> Scores:
    """`hits` and `answers` as turn keys."""
    first = next(
        (rank for rank, hit in enumerate(hits[:MRR_DEPTH], 1) if hit in answers),
        None,
    )
    return Scores(
        len(answers.intersection(hits[:5])) / len(answers),
        len(answers.intersection(hits[:10])) / len(answers),
        len(answers.intersection(hits[:20])) / len(answers),
        0.0 if first is None else 1.0 / first,
    )


@dataclass(frozen=True)
class SessionScores:
    top1: float  # 1 when the first session holds an answering turn
    hit5: float  # 1 when one of the first five does


def session_score(ranked: Sequence[str], answer_sessions: set[str]) -> SessionScores:
    return SessionScores(
        float(bool(ranked) and ranked[0] in answer_sessions),
        float(any(s in answer_sessions for s in ranked[:5])),
    )


def mean(values: Sequence[float]) -> float:
    return statistics.fmean(values) if values else float("nan")


def table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> list[str]:
    """A Markdown table: text columns left, numbers right, floats with 3 places."""

    def cell(value: object) -> str:
        return f"{value:.3f}" if isinstance(value, float) else str(value)

    aligns = [
        "---:" if rows and isinstance(rows[0][n], int | float) else "---"
        for n in range(len(header))
    ]
    out = ["| " + " | ".join(header) + " |", "|" + "|".join(aligns) + "|"]
    out.extend("| " + " | ".join(cell(v) for v in row) + " |" for row in rows)
    return out


Printer = Callable[[str], None]
