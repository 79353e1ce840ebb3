"""How to fuse the vector and the lexical rankings, how deep, and how to rank
sessions: a study on every evaluation set (bench/eval_data.py), with each
default chosen by leaving one conversation out.

The memory gives its raw rankings (the index's near turns with their cosines,
the store's bm25 ranking), both `DEPTHS[-1]` deep; every method is then
computed here on the first `depth` of each:

- rrf: reciprocal rank fusion, w_v / (fusion_k + r_v) + w_l / (fusion_k + r_l),
  over a grid of fusion_k and w_l / w_v.
- minmax, z, z0, zf, rank: score-level fusion of normalised scores,
  a * v + (1 - a) * l for a vector weight a; each ranking's scores are
  normalised over its own `depth` candidates per query: min-max to [0, 1],
  z-score, or by rank (1 - (r - 1) / depth). A candidate missing from one
  ranking gets that ranking's lowest normalised value (0, or the smallest
  z); in "z", as in the search, lexical matches that do not spread (a lone
  match) stand at +1 and the other candidates at -1. "z0" standardises bm25
  over every candidate, those without a query word at 0; "zf" over the
  matches, a non-match at the z-score of bm25 0. The
  neighbours added as candidates are scored by their own cosine,
  normalised like the others.

Each configuration is also run with the query's stop words dropped before
the lexical ranking (PostgreSQL's english list, `stop` column).

Sessions are ranked from the same candidates only (never every turn): a
session's score is the best fused score of its candidate turns ("max"), or
the mean of its best two or three ("top2", "top3", a missing one counting as
the lowest score); sessions with no candidate follow, by the cosine to the
mean direction of their turns. Baselines: the mean direction alone (what
`sessions(query)` did) and each session's best cosine.

Leave one conversation out: the four conversations (sample, c1, c2, c3) take
turns being held out; each configuration family's parameters are chosen on
the other three (best mean of their recall@10, MRR breaking ties within
0.002), and the figures reported are the held-out conversation's. Nothing is
random: a rerun prints the same numbers.

Then, with the chosen default: whether `context=n` (a hit's neighbouring
turns of its session) and a time filter (the months a question names) pay.

Usage: python bench/eval_fusion.py [--sets sample,pairs] [--cache DIR] [--postgres URL]
"""

from __future__ import annotations

import argparse
import calendar
import re
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from pathlib import Path

import numpy as np
import numpy.typing as npt
from eval_data import (
    DEFAULT_CACHE,
    MRR_DEPTH,
    SETS,
    Embeddings,
    Stored,
    build,
    kinds_of,
    load_sets,
    mean,
    question_vectors,
    table,
)

from orlo_memory.core import ranking
from orlo_memory.stores.lexical import query_terms

Floats = npt.NDArray[np.float64]
Bools = npt.NDArray[np.bool_]
Ints = npt.NDArray[np.int64]

DEPTHS = (10, 20, 40, 80, 160)
ALPHAS = tuple(round(0.2 + 0.05 * n, 2) for n in range(13))  # vector weight 0.2 .. 0.8
FUSION_KS = (1.0, 2.0, 5.0, 10.0, 20.0, 30.0, 60.0)
RATIOS = (0.25, 0.33, 0.5, 0.75, 1.0, 1.5, 2.0)  # lexical / vector weight for rrf
AGGREGATES = ("max", "top2", "top3", "sum")
TIE = 0.002
DEFAULT_DEPTH = 40

# PostgreSQL's english stop words (the Snowball list), dropped from the query
# before the lexical ranking in the "stop" configurations.
_STOP_WORDS = (
    "i me my myself we our ours ourselves you your yours yourself yourselves he him his "
    "himself she her hers herself it its itself they them their theirs themselves what which who "
    "whom this that these those am is are was were be been being have has had having do does did "
    "doing a an the and but if or because as until while of at by for with about against between "
    "into through during before after above below to from up down in out on off over under again "
    "further then once here there when where why how all any both each few more most other some "
    "such no nor not only own same so than too very s t can will just don should now"
)
STOP_WORDS = frozenset(_STOP_WORDS.split())

MONTHS = {name: n for n, name in enumerate(calendar.month_name) if name}


def lexical_terms(text: str, stop: bool) -> list[str]:
    terms = query_terms(text)
    if not stop:
        return terms
    kept = [term for term in terms if term not in STOP_WORDS]
    return kept or terms


# -- the raw rankings ----------------------------------------------------------------


@dataclass
class Probe:
    """One question against one memory: its raw rankings, deepest depth."""

    unit: str  # the conversation (or "<set>-all" for one memory)
    set_name: str
    kind: str
    session: str | None  # session id when the question is tied to one
    answers: frozenset[str]  # turn ids
    answer_sessions: frozenset[str]
    vector: dict[int, list[tuple[str, float]]]  # by depth (the index's beam widens with it)
    lexical: dict[bool, list[tuple[str, float]]]  # by stop-word dropping, deepest
    cosines: Floats  # the query's cosine to every stored turn (for "+cos" and filters)
    query: Floats  # normalised
    stored: Stored


def probe(stored: Stored, vectors: npt.NDArray[np.float32], unit: str) -> list[Probe]:
    user = stored.user
    log = user._log
    deepest = DEPTHS[-1]
    out = []
    for question, raw in zip(stored.questions, vectors, strict=True):
        session = None if question.session is None else stored.session_id_of[question.session]
        if session is None:
            loaded = log.index()
            by_key = {d: ranking.near(loaded.index, raw, d) for d in DEPTHS}
        else:
            _, cached = log.session_vectors(session)
            exact = cached.top(raw, deepest)
            by_key = {d: exact[:d] for d in DEPTHS}
        lexical_keys = {
            stop: log.lexical(lexical_terms(question.text, stop), deepest, session)
            for stop in (False, True)
        }
        keys = {key for ranked in by_key.values() for key, _ in ranked}
        keys |= {key for ranked in lexical_keys.values() for key, _ in ranked}
        id_of = {row[0]: row[1] for row in log.hit_rows(sorted(keys)).turns}
        near = {d: [(id_of[key], score) for key, score in r] for d, r in by_key.items()}
        lexical = {
            stop: [(id_of[key], score) for key, score in r] for stop, r in lexical_keys.items()
        }
        query = raw / np.linalg.norm(raw)
        answers = frozenset(stored.id_of[key] for key in question.answers)
        out.append(
            Probe(
                unit,
                stored.conversations[0].set_name,
                question.kind,
                session,
                answers,
                frozenset(stored.session_of_id[a] for a in answers),
                near,
                lexical,
                (stored.vectors @ query).astype(np.float64),
                query.astype(np.float64),
                stored,
            )
        )
    return out


# -- fusion ------------------------------------------------------------------------


@dataclass(frozen=True)
class Candidates:
    ids: list[str]
    v_rank: Floats  # 1-based; inf when not among the vector candidates
    v_score: Floats  # cosine; nan when missing
    l_rank: Floats
    l_score: Floats  # bm25 (larger is better); nan when missing
    cos: Floats  # every candidate's own cosine
    answer: Bools
    previous: Ints  # the candidate index of the turn before in its session, or -1
    following: Ints  # ... and of the turn after
    extra: Bools  # added as a neighbour of a top candidate, in neither ranking


@dataclass(frozen=True)
class Neighbours:
    """The turn before and after each turn of a memory, within its session."""

    before: dict[str, str]
    after: dict[str, str]


def neighbours_of(stored: Stored) -> Neighbours:
    before, after = {}, {}
    for first, second in zip(stored.ids, stored.ids[1:], strict=False):
        if stored.session_of_id[first] == stored.session_of_id[second]:
            after[first] = second
            before[second] = first
    return Neighbours(before, after)


def candidates(
    p: Probe,
    depth: int,
    stop: bool,
    position: dict[str, int],
    near: Neighbours | None = None,
    expand: int = 0,
) -> Candidates:
    """The union of both rankings' first `depth`, and with `expand` the turns
    next to the first `expand` of each ranking."""
    vector = p.vector[depth] if depth in p.vector else p.vector[DEPTHS[-1]][:depth]
    lexical = p.lexical[stop][:depth]
    ids = [turn_id for turn_id, _ in vector]
    seen = set(ids)
    ids.extend(turn_id for turn_id, _ in lexical if turn_id not in seen)
    ranked = len(ids)
    if expand and near is not None:
        seen = set(ids)
        tops = [t for t, _ in vector[:expand]] + [t for t, _ in lexical[:expand]]
        for turn_id in tops:
            for other in (near.before.get(turn_id), near.after.get(turn_id)):
                if other is not None and other not in seen:
                    seen.add(other)
                    ids.append(other)
    n = len(ids)
    index = {turn_id: i for i, turn_id in enumerate(ids)}
    v_rank = np.full(n, np.inf)
    v_score = np.full(n, np.nan)
    l_rank = np.full(n, np.inf)
    l_score = np.full(n, np.nan)
    for rank, (_, value) in enumerate(vector, 1):
        v_rank[rank - 1], v_score[rank - 1] = rank, value
    for rank, (turn_id, value) in enumerate(lexical, 1):
        i = index[turn_id]
        l_rank[i], l_score[i] = rank, value
    cos = np.array([p.cosines[position[turn_id]] for turn_id in ids])
    answer = np.array([turn_id in p.answers for turn_id in ids], dtype=bool)
    previous = np.full(n, -1, dtype=np.int64)
    following = np.full(n, -1, dtype=np.int64)
    if near is not None:
        for i, turn_id in enumerate(ids):
            previous[i] = index.get(near.before.get(turn_id, ""), -1)
            following[i] = index.get(near.after.get(turn_id, ""), -1)
    extra = np.arange(n) >= ranked
    return Candidates(
        ids, v_rank, v_score, l_rank, l_score, cos, answer, previous, following, extra
    )


def _minmax(values: Floats, present: Bools) -> tuple[Floats, float, float]:
    if not present.any():
        return np.zeros_like(values), 0.0, 1.0
    low, high = float(values[present].min()), float(values[present].max())
    span = high - low if high > low else 1.0
    return np.where(present, (values - low) / span, 0.0), low, span


def _z(values: Floats, present: Bools) -> tuple[Floats, float, float]:
    if not present.any():
        return np.zeros_like(values), 0.0, 1.0
    mu, sigma = float(values[present].mean()), float(values[present].std())
    sigma = sigma if sigma > 0 else 1.0
    z = (values - mu) / sigma
    return np.where(present, z, float(z[present].min())), mu, sigma


def normalised(c: Candidates, how: str, depth: int, fill: bool) -> tuple[Floats, Floats]:
    """(vector, lexical) normalised scores of the candidates."""
    v_present = np.isfinite(c.v_rank)
    l_present = np.isfinite(c.l_rank)
    if how == "rank":
        v = np.where(v_present, 1.0 - (c.v_rank - 1.0) / depth, 0.0)
        lex = np.where(l_present, 1.0 - (c.l_rank - 1.0) / depth, 0.0)
        return v, lex
    norm = _minmax if how == "minmax" else _z
    v, shift, scale = norm(np.nan_to_num(c.v_score), v_present)
    filled = c.extra | (fill & ~v_present)
    v = np.where(filled, (c.cos - shift) / scale, v)
    if how == "zf":
        # z-scores over the lexical ranking's own candidates, but a turn
        # without a query word at the z-score of bm25 0 (and, when the
        # matches' spread is nil, their mean as the unit).
        values = np.nan_to_num(c.l_score)
        if not l_present.any():
            return v, np.zeros_like(values)
        mu, sigma = float(values[l_present].mean()), float(values[l_present].std())
        unit = sigma if sigma > 0 else (mu if mu > 0 else 1.0)
        return v, np.where(l_present, (values - mu) / unit, -mu / unit)
    if how == "z0":
        # bm25 is 0 where a turn holds no query word: standardise over every
        # candidate, so that a lone match stands out.
        lex, _, _ = _z(np.nan_to_num(c.l_score), np.ones_like(l_present))
        return v, lex
    if how == "z":
        values = np.nan_to_num(c.l_score)
        if l_present.any() and float(values[l_present].std()) <= 0:
            # As the search does: matches that do not spread stand at +1,
            # the other candidates at -1.
            return v, np.where(l_present, 1.0, -1.0)
    lex, _, _ = norm(np.nan_to_num(c.l_score), l_present)
    return v, lex


BETAS = (0.0, 0.1, 0.2, 0.3, 0.4, 0.5)
EXPANDS = (0, 10)
METHODS = ("rrf", "minmax", "z", "z0", "zf", "rank")
SELECTED_METHODS: list[str] = []  # --methods: a subset to study


@dataclass(frozen=True)
class Family:
    """A fusion method, its neighbour smoothing, and its grid: `rows`
    parameter points, each a label. Smoothing adds `beta` times the lift of a
    turn's best neighbour (the turn before or after it in its session, when a
    candidate) above the lowest candidate score; `expand` adds the neighbours
    of each ranking's first `expand` turns as candidates (scored by their own
    cosine and the lexical floor)."""

    method: str
    beta: float
    expand: int
    rows: tuple[str, ...]

    @property
    def name(self) -> str:
        if self.beta == 0.0:
            return self.method
        return f"{self.method} neighbours={self.beta:g} expand={self.expand}"


def families() -> list[Family]:
    rrf = tuple(f"fusion_k={k:g} ratio={r:g}" for k in FUSION_KS for r in RATIOS)
    alphas = tuple(f"a={a:g}" for a in ALPHAS)
    out = []
    for method in SELECTED_METHODS or METHODS:
        for beta in BETAS:
            for expand in EXPANDS if beta > 0 else (0,):
                out.append(Family(method, beta, expand, rrf if method == "rrf" else alphas))
    return out


def fused(c: Candidates, family: Family, depth: int) -> Floats:
    """The fused score of every candidate at every grid point (rows)."""
    scores: Floats
    if family.method == "rrf":
        ks = np.repeat(np.array(FUSION_KS), len(RATIOS))[:, None]
        ratios = np.tile(np.array(RATIOS), len(FUSION_KS))[:, None]
        v = np.where(np.isfinite(c.v_rank), 1.0 / (ks + c.v_rank[None, :]), 0.0)
        lex = np.where(np.isfinite(c.l_rank), ratios / (ks + c.l_rank[None, :]), 0.0)
        scores = v + lex
    else:
        v, lex = normalised(c, family.method, depth, False)
        a = np.array(ALPHAS)[:, None]
        scores = a * v[None, :] + (1.0 - a) * lex[None, :]
    return smooth(scores, c, family.beta)


def smooth(scores: Floats, c: Candidates, beta: float) -> Floats:
    """Each candidate lifted by `beta` times its best neighbour's lift above
    the row's lowest score."""
    if beta == 0.0 or scores.shape[1] == 0:
        return scores
    floor = scores.min(axis=1, keepdims=True)
    best = np.broadcast_to(floor, scores.shape).copy()
    for side in (c.previous, c.following):
        has = side >= 0
        best[:, has] = np.maximum(best[:, has], scores[:, side[has]])
    result: Floats = scores + beta * (best - floor)
    return result


def single(c: Candidates, which: str) -> Floats:
    """A single ranking as scores (its candidates only, in its order)."""
    rank = c.v_rank if which == "vector" else c.l_rank
    return np.where(np.isfinite(rank), -rank, -np.inf)[None, :]


@dataclass
class Measured:
    """Per grid point (rows) and question (columns)."""

    recall5: Floats
    recall10: Floats
    recall20: Floats
    mrr: Floats
    top1: Floats  # sessions, by aggregate: nan for questions tied to a session
    hit5: Floats


def turn_metrics(scores: Floats, c: Candidates, answers: int) -> tuple[Floats, ...]:
    order = np.argsort(-scores, axis=1, kind="stable")[:, :20]
    finite = np.take_along_axis(np.isfinite(scores), order, axis=1)
    hit = c.answer[order] & finite
    cumulative = np.cumsum(hit, axis=1)
    width = hit.shape[1]

    def recall(k: int) -> Floats:
        if width == 0:
            return np.zeros(scores.shape[0])
        result: Floats = cumulative[:, min(k, width) - 1] / answers
        return result

    first = np.where(hit[:, :MRR_DEPTH].any(axis=1), hit[:, :MRR_DEPTH].argmax(axis=1) + 1, 0)
    mrr = np.where(first > 0, 1.0 / np.maximum(first, 1), 0.0)
    return recall(5), recall(10), recall(20), mrr


@dataclass(frozen=True)
class SessionTable:
    """A memory's sessions: ids, and each turn's session position."""

    ids: list[str]
    of_turn: dict[str, int]
    centroids: Floats  # normalised mean direction of each session's turns


def session_table(stored: Stored) -> SessionTable:
    ids = list(dict.fromkeys(stored.session_of_id[turn_id] for turn_id in stored.ids))
    position = {session: n for n, session in enumerate(ids)}
    of_turn = {turn_id: position[stored.session_of_id[turn_id]] for turn_id in stored.ids}
    sums = np.zeros((len(ids), stored.vectors.shape[1]))
    for row, turn_id in enumerate(stored.ids):
        sums[of_turn[turn_id]] += stored.vectors[row]
    norms = np.linalg.norm(sums, axis=1, keepdims=True)
    return SessionTable(ids, of_turn, sums / np.where(norms > 0, norms, 1.0))


def session_metrics(
    scores: Floats, c: Candidates, p: Probe, sessions: SessionTable, query_cos: Floats
) -> dict[str, tuple[Floats, Floats]]:
    """Session top-1 and hit@5 per grid point, per aggregate."""
    rows = scores.shape[0]
    of = np.array([sessions.of_turn[turn_id] for turn_id in c.ids], dtype=np.int64)
    finite = np.isfinite(scores)
    low = np.where(finite, scores, np.inf).min(axis=1, keepdims=True)
    high = np.where(finite, scores, -np.inf).max(axis=1, keepdims=True)
    span = np.where(high > low, high - low, 1.0)
    shifted = np.where(finite, (scores - low) / span, -np.inf)  # in [0, 1]; missing: -inf
    answer = np.array([s in p.answer_sessions for s in sessions.ids], dtype=bool)
    out = {}
    best: list[Floats] = []
    remaining = shifted.copy()
    row_index = np.repeat(np.arange(rows), len(of))
    columns = np.tile(of, rows)
    for _ in range(3):
        top = np.full((rows, len(sessions.ids)), -np.inf)
        np.maximum.at(top, (row_index, columns), remaining.ravel())
        best.append(top)
        taken = remaining >= top[:, of]
        remaining = np.where(taken & np.isfinite(remaining), -np.inf, remaining)
    total = np.zeros((rows, len(sessions.ids)))
    np.add.at(total, (row_index, columns), np.where(np.isfinite(shifted), shifted, 0.0).ravel())
    scored = np.isfinite(best[0])
    fallback = np.broadcast_to(query_cos[None, :], scored.shape)
    for name in AGGREGATES:
        value: Floats
        if name == "sum":
            value = total
        elif name.startswith("max+"):
            value = np.where(scored, best[0], 0.0) + float(name[4:]) * query_cos[None, :]
        else:
            n = {"max": 1, "top2": 2, "top3": 3}[name]
            value = np.sum([np.where(np.isfinite(b), b, 0.0) for b in best[:n]], axis=0) / n
        final = np.where(scored, 10.0 + value, fallback)
        order = np.argsort(-final, axis=1, kind="stable")[:, :5]
        hits = answer[order]
        out[name] = (hits[:, 0].astype(float), hits.any(axis=1).astype(float))
    return out


@dataclass(frozen=True)
class Config:
    stop: bool
    depth: int
    family: str
    row: str
    aggregate: str = "max"

    def label(self) -> str:
        stop = "stop words dropped" if self.stop else "every word"
        return f"{self.family} {self.row}, depth {self.depth}, {stop}"


class Study:
    """Every configuration measured on every probe."""

    def __init__(self, probes: list[Probe]) -> None:
        self.probes = probes
        self.units = sorted({p.unit for p in probes}, key=_unit_order)
        self.turns: dict[tuple[bool, int, str], Measured] = {}  # rows: the family's grid
        self.sessions: dict[tuple[bool, int, str, str], tuple[Floats, Floats]] = {}
        self.baselines: dict[str, Measured] = {}
        self.session_baselines: dict[str, tuple[Floats, Floats]] = {}
        self.neighbours: dict[int, Neighbours] = {}

    def run(self) -> None:
        positions = {id(s): {t: n for n, t in enumerate(s.ids)} for s in self._stored()}
        tables = {id(s): session_table(s) for s in self._stored()}
        self.neighbours = {id(s): neighbours_of(s) for s in self._stored()}
        fams = families()
        count = len(self.probes)
        for stop in (False, True):
            for depth in DEPTHS:
                for fam in fams:
                    self.turns[(stop, depth, fam.name)] = _empty(len(fam.rows), count)
                    for agg in AGGREGATES:
                        key = (stop, depth, fam.name, agg)
                        self.sessions[key] = (
                            np.full((len(fam.rows), count), np.nan),
                            np.full((len(fam.rows), count), np.nan),
                        )
        for which in ("vector", "lexical", "lexical+stop"):
            self.baselines[which] = _empty(1, count)
        for name in ("mean direction", "best cosine"):
            self.session_baselines[name] = (np.full(count, np.nan), np.full(count, np.nan))
        for q, p in enumerate(self.probes):
            position = positions[id(p.stored)]
            sessions = tables[id(p.stored)]
            query_cos = sessions.centroids @ p.query
            # The single rankings as the search returns them for k = 10 (and
            # 20 for recall@20): the vector ranking from near(k).
            for which, stop in (("vector", False), ("lexical", False), ("lexical+stop", True)):
                base = which if which == "vector" else "lexical"
                c = candidates(p, 10, stop, position)
                ten = turn_metrics(single(c, base), c, len(p.answers))
                c = candidates(p, 20, stop, position)
                twenty = turn_metrics(single(c, base), c, len(p.answers))
                _store(self.baselines[which], q, (ten[0], ten[1], twenty[2], ten[3]))
            if p.session is None:
                answer = np.array([s in p.answer_sessions for s in sessions.ids])
                order = np.argsort(-query_cos, kind="stable")[:5]
                mean_direction = self.session_baselines["mean direction"]
                mean_direction[0][q] = float(answer[order[0]])
                mean_direction[1][q] = float(answer[order].any())
                c = candidates(p, 40, False, position)
                cos_only = np.where(np.isfinite(c.v_rank), c.v_score, -np.inf)[None, :]
                by = session_metrics(cos_only, c, p, sessions, query_cos)
                self.session_baselines["best cosine"][0][q] = by["max"][0][0]
                self.session_baselines["best cosine"][1][q] = by["max"][1][0]
            for stop in (False, True):
                for depth in DEPTHS:
                    near = self.neighbours[id(p.stored)]
                    by_expand = {e: candidates(p, depth, stop, position, near, e) for e in EXPANDS}
                    for fam in fams:
                        c = by_expand[fam.expand]
                        scores = fused(c, fam, depth)
                        measured = self.turns[(stop, depth, fam.name)]
                        _store(measured, q, turn_metrics(scores, c, len(p.answers)))
                        if p.session is None:
                            by = session_metrics(scores, c, p, sessions, query_cos)
                            for agg, (top1, hit5) in by.items():
                                self.sessions[(stop, depth, fam.name, agg)][0][:, q] = top1
                                self.sessions[(stop, depth, fam.name, agg)][1][:, q] = hit5

    def _stored(self) -> list[Stored]:
        return list({id(p.stored): p.stored for p in self.probes}.values())

    # -- choosing ----------------------------------------------------------------

    def members(self, units: Iterable[str]) -> dict[str, Ints]:
        return {
            u: np.array([q for q, p in enumerate(self.probes) if p.unit == u], dtype=np.int64)
            for u in units
        }

    def choose_turns(
        self, train: Sequence[str], keys: Sequence[tuple[bool, int, str]]
    ) -> tuple[tuple[bool, int, str], int]:
        """The (configuration, grid row) with the best mean over the training
        conversations of their recall@10 (MRR within TIE)."""
        groups = self.members(train)
        best: tuple[float, float, tuple[bool, int, str], int] | None = None
        candidates_found = []
        for key in keys:
            m = self.turns[key]
            recall = np.mean([m.recall10[:, g].mean(axis=1) for g in groups.values()], axis=0)
            mrr = np.mean([m.mrr[:, g].mean(axis=1) for g in groups.values()], axis=0)
            for row in range(len(recall)):
                candidates_found.append((float(recall[row]), float(mrr[row]), key, row))
        top = max(r for r, _, _, _ in candidates_found)
        near = [c for c in candidates_found if c[0] >= top - TIE]
        best = max(near, key=lambda c: (c[1], c[0]))
        return best[2], best[3]

    def choose_sessions(
        self, train: Sequence[str], keys: Sequence[tuple[bool, int, str, str]]
    ) -> tuple[tuple[bool, int, str, str], int]:
        groups = self.members(train)
        found = []
        for key in keys:
            top1, hit5 = self.sessions[key]
            t = np.mean([np.nanmean(top1[:, g], axis=1) for g in groups.values()], axis=0)
            h = np.mean([np.nanmean(hit5[:, g], axis=1) for g in groups.values()], axis=0)
            for row in range(len(t)):
                found.append((float(t[row]), float(h[row]), key, row))
        top = max(f[0] for f in found)
        near = [f for f in found if f[0] >= top - TIE]
        best = max(near, key=lambda f: (f[1], f[0]))
        return best[2], best[3]


def _unit_order(unit: str) -> tuple[int, str]:
    return (0 if unit == "sample" else 1, unit)


def _empty(rows: int, count: int) -> Measured:
    return Measured(*(np.full((rows, count), np.nan) for _ in range(6)))


def _store(m: Measured, q: int, values: tuple[Floats, ...]) -> None:
    m.recall5[:, q], m.recall10[:, q], m.recall20[:, q], m.mrr[:, q] = values


Printer = Callable[[str], None]


# -- reporting ---------------------------------------------------------------------

TurnKey = tuple[bool, int, str]


def turn_keys(
    *,
    families_in: Sequence[str] | None = None,
    depths: Sequence[int] = DEPTHS,
    stops: Sequence[bool] = (False, True),
) -> list[TurnKey]:
    names = [f.name for f in families()] if families_in is None else list(families_in)
    return [(stop, depth, name) for stop in stops for depth in depths for name in names]


def family_named(name: str) -> Family:
    return next(f for f in families() if f.name == name)


def row_label(key: TurnKey, row: int) -> str:
    return Config(key[0], key[1], key[2], family_named(key[2]).rows[row]).label()


def held_out(
    study: Study, keys: Sequence[TurnKey], units: Sequence[str]
) -> list[tuple[str, TurnKey, int]]:
    """Per held-out conversation: the configuration chosen on the others."""
    out = []
    for unit in units:
        train = [u for u in units if u != unit]
        key, row = study.choose_turns(train, keys)
        out.append((unit, key, row))
    return out


def unit_mean(values: Floats, members: Ints) -> float:
    return float(np.nanmean(values[members])) if len(members) else float("nan")


def report(study: Study, print_: Printer) -> tuple[TurnKey, int]:
    units = [u for u in study.units if not u.endswith("-all")]
    members = study.members(study.units)

    def fold_figures(folds: list[tuple[str, TurnKey, int]]) -> list[float]:
        values = [unit_mean(study.turns[k].recall10[r], members[u]) for u, k, r in folds]
        return [*values, float(np.mean(values))]

    print_("\n## Fusion methods, held out (recall@10 of the held-out conversation)\n")
    print_(
        "Each row's parameters (depth and the method's own) are chosen on the three"
        " other conversations.\n"
    )
    rows: list[list[object]] = []
    for method in SELECTED_METHODS or METHODS:
        for smoothing in (False, True):
            names = [f.name for f in families() if f.method == method and (f.beta > 0) == smoothing]
            for stop in (False, True):
                folds = held_out(study, turn_keys(families_in=names, stops=[stop]), units)
                rows.append(
                    [
                        method,
                        "yes" if smoothing else "no",
                        "dropped" if stop else "kept",
                        *fold_figures(folds),
                    ]
                )
    for which in ("vector", "lexical", "lexical+stop"):
        base = study.baselines[which]
        values = [unit_mean(base.recall10[0], members[u]) for u in units]
        rows.append([f"{which} alone", "", "", *values, float(np.mean(values))])
    for line in table(["method", "neighbours", "stop words", *units, "mean"], rows):
        print_(line)

    print_("\n## Neighbour smoothing, held out (recall@10)\n")
    rows = []
    for beta in BETAS:
        for expand in EXPANDS if beta > 0 else (0,):
            names = [f.name for f in families() if f.beta == beta and f.expand == expand]
            folds = held_out(study, turn_keys(families_in=names), units)
            rows.append([beta, expand, *fold_figures(folds)])
    for line in table(["beta", "expand", *units, "mean"], rows):
        print_(line)

    print_("\n## Candidate depth (each ranking's depth), held out\n")
    rows = []
    for depth in DEPTHS:
        folds = held_out(study, turn_keys(depths=[depth]), units)
        rows.append([depth, *fold_figures(folds)])
    for line in table(["depth", *units, "mean"], rows):
        print_(line)

    # The depth is fixed at the search's candidate depth for k = 10 (max(4k,
    # 40)): the table above is flat from 20 on, and depth costs time in large
    # memories.
    everything = turn_keys(depths=[DEFAULT_DEPTH])
    folds = held_out(study, everything, units)
    print_(f"\n## The default at depth {DEFAULT_DEPTH}, chosen by leaving one conversation out\n")
    for unit, key, row in folds:
        chosen_on = ", ".join(u for u in units if u != unit)
        print_(f"- held out {unit}: chosen on {chosen_on}: {row_label(key, row)}")
    final_key, final_row = study.choose_turns(units, everything)
    print_(f"- chosen on all four: {row_label(final_key, final_row)}")
    print_("\nHeld-out figures (each conversation measured with the choice of the other three):\n")
    header = ["conversation", "n", "R@5", "R@10", "R@20", "MRR", "vector R@10", "lexical R@10"]
    rows = []
    for unit, key, row in folds:
        m = study.turns[key]
        g = members[unit]
        lexical = study.baselines["lexical+stop" if key[0] else "lexical"]
        rows.append(
            [
                unit,
                len(g),
                unit_mean(m.recall5[row], g),
                unit_mean(m.recall10[row], g),
                unit_mean(m.recall20[row], g),
                unit_mean(m.mrr[row], g),
                unit_mean(study.baselines["vector"].recall10[0], g),
                unit_mean(lexical.recall10[0], g),
            ]
        )
    for line in table(header, rows):
        print_(line)

    print_("\nHeld-out figures by question kind:\n")
    rows = []
    for set_name in dict.fromkeys(p.set_name for p in study.probes):
        for kind in kinds_of(set_name):
            cells: list[list[float]] = [[], [], [], [], [], []]
            for unit, key, row in folds:
                m = study.turns[key]
                lexical = study.baselines["lexical+stop" if key[0] else "lexical"]
                for q in members[unit]:
                    if study.probes[q].kind != kind or study.probes[q].set_name != set_name:
                        continue
                    cells[0].append(m.recall5[row, q])
                    cells[1].append(m.recall10[row, q])
                    cells[2].append(m.recall20[row, q])
                    cells[3].append(m.mrr[row, q])
                    cells[4].append(study.baselines["vector"].recall10[0, q])
                    cells[5].append(lexical.recall10[0, q])
            rows.append([f"{set_name} {kind}", len(cells[0]), *(mean(c) for c in cells)])
    for line in table(
        ["kind", "n", "R@5", "R@10", "R@20", "MRR", "vector R@10", "lexical R@10"], rows
    ):
        print_(line)

    combined = [u for u in study.units if u.endswith("-all")]
    if combined:
        print_("\nAll conversations of a set as one memory, with the default chosen on all four:\n")
        rows = []
        m = study.turns[final_key]
        for unit in combined:
            g = members[unit]
            rows.append(
                [
                    unit,
                    len(g),
                    unit_mean(m.recall5[final_row], g),
                    unit_mean(m.recall10[final_row], g),
                    unit_mean(m.recall20[final_row], g),
                    unit_mean(m.mrr[final_row], g),
                    unit_mean(study.baselines["vector"].recall10[0], g),
                    unit_mean(
                        study.baselines["lexical+stop" if final_key[0] else "lexical"].recall10[0],
                        g,
                    ),
                ]
            )
        for line in table(header, rows):
            print_(line)
    report_sessions(study, units, members, folds, print_)
    return final_key, final_row


def report_sessions(
    study: Study,
    units: Sequence[str],
    members: dict[str, Ints],
    folds: list[tuple[str, TurnKey, int]],
    print_: Printer,
) -> None:
    print_("\n## Sessions, held out (session top-1; hit@5 in brackets)\n")
    rows: list[list[object]] = []

    def cells(top1: Floats, hit5: Floats) -> list[object]:
        out: list[object] = []
        t_all, h_all = [], []
        for u in units:
            g = members[u]
            t, h = float(np.nanmean(top1[g])), float(np.nanmean(hit5[g]))
            t_all.append(t)
            h_all.append(h)
            out.append(f"{t:.3f} ({h:.3f})")
        out.append(f"{np.mean(t_all):.3f} ({np.mean(h_all):.3f})")
        return out

    def gathered(aggregate_of: Callable[[str, TurnKey, int], str]) -> tuple[Floats, Floats]:
        """Each held-out conversation's figures under its fold's fusion."""
        top1 = np.full(len(study.probes), np.nan)
        hit5 = np.full(len(study.probes), np.nan)
        for unit, key, row in folds:
            t, h = study.sessions[(*key, aggregate_of(unit, key, row))]
            top1[members[unit]] = t[row, members[unit]]
            hit5[members[unit]] = h[row, members[unit]]
        return top1, hit5

    base = study.session_baselines
    rows.append(["mean direction (before)", *cells(*base["mean direction"])])
    rows.append(["best cosine of a session's turns", *cells(*base["best cosine"])])
    for agg in AGGREGATES:
        rows.append([f"{agg}, the search's fused scores", *cells(*gathered(lambda *_, a=agg: a))])

    def pick(unit: str, key: TurnKey, row: int) -> str:
        train = [u for u in units if u != unit]
        return max(
            AGGREGATES,
            key=lambda agg: np.mean(
                [np.nanmean(study.sessions[(*key, agg)][0][row, members[u]]) for u in train]
            ),
        )

    picks = {unit: pick(unit, key, row) for unit, key, row in folds}
    rows.append(
        [
            "aggregate chosen on the other three: "
            + ", ".join(f"{u} {a}" for u, a in picks.items()),
            *cells(*gathered(lambda unit, *_: picks[unit])),
        ]
    )
    for agg in AGGREGATES:
        keys = [(*k, agg) for k in turn_keys()]
        chosen = {}
        fold_rows = {}
        for unit in units:
            k, r = study.choose_sessions([u for u in units if u != unit], keys)
            chosen[unit] = k
            fold_rows[unit] = r
        # Each fold has its own configuration: gather its held-out column.
        top1 = np.full(len(study.probes), np.nan)
        hit5 = np.full(len(study.probes), np.nan)
        for unit in units:
            t, h = study.sessions[chosen[unit]]
            top1[members[unit]] = t[fold_rows[unit], members[unit]]
            hit5[members[unit]] = h[fold_rows[unit], members[unit]]
        rows.append([f"{agg}, fusion chosen for sessions", *cells(top1, hit5)])
    for line in table(["session ranking", *units, "mean"], rows):
        print_(line)
    combined = [u for u in study.units if u.endswith("-all")]
    final_key, final_row = study.choose_turns(units, turn_keys(depths=[DEFAULT_DEPTH]))
    for unit in combined:
        g = members[unit]
        values = [f"mean direction {float(np.nanmean(base['mean direction'][0][g])):.3f}"]
        for agg in AGGREGATES:
            top1, _ = study.sessions[(*final_key, agg)]
            values.append(f"{agg} {float(np.nanmean(top1[final_row, g])):.3f}")
        print_(
            f"\n{unit} (one memory), session top-1 with the search's fusion: {', '.join(values)}"
        )


# -- context and time filters --------------------------------------------------------


def ranked_ids(
    study: Study, p: Probe, key: TurnKey, row: int, position: dict[str, int], limit: int
) -> list[str]:
    stop, depth, name = key
    fam = family_named(name)
    c = candidates(p, depth, stop, position, study.neighbours[id(p.stored)], fam.expand)
    scores = fused(c, fam, depth)[row]
    order = np.argsort(-scores, kind="stable")[:limit]
    return [c.ids[i] for i in order]


def report_context(study: Study, final: tuple[TurnKey, int], print_: Printer) -> None:
    print_("\n## context=n: each hit with its neighbours in its session\n")
    print_(
        "Recall of the answering turns among the hits and their neighbours, against"
        " the plain ranking cut at the same number of distinct turns.\n"
    )
    key, row = final
    rows: list[list[object]] = []
    units = [u for u in study.units]
    for k in (5, 10):
        for n in (1, 2):
            with_context, plain, plain_k, sizes = [], [], [], []
            for p in study.probes:
                if p.unit.endswith("-all"):
                    continue
                s = p.stored
                position = {t: i for i, t in enumerate(s.ids)}
                ranked = ranked_ids(study, p, key, row, position, 200)
                returned: dict[str, None] = {}
                for turn_id in ranked[:k]:
                    at = position[turn_id]
                    session = s.session_of_id[turn_id]
                    for j in range(max(at - n, 0), min(at + n + 1, len(s.ids))):
                        if s.session_of_id[s.ids[j]] == session:
                            returned.setdefault(s.ids[j], None)
                size = len(returned)
                with_context.append(len(p.answers.intersection(returned)) / len(p.answers))
                plain.append(len(p.answers.intersection(ranked[:size])) / len(p.answers))
                plain_k.append(len(p.answers.intersection(ranked[:k])) / len(p.answers))
                sizes.append(size)
            rows.append([k, n, mean(sizes), mean(plain_k), mean(with_context), mean(plain)])
    del units
    for line in table(
        [
            "k",
            "context",
            "turns returned",
            "recall, k hits",
            "recall with context",
            "recall, same number of hits",
        ],
        rows,
    ):
        print_(line)


def month_window(text: str, times: Sequence[datetime]) -> tuple[datetime, datetime] | None:
    """The months a question names, as [first day, first day after) in the
    conversation's years; None when it names none."""
    named = sorted({MONTHS[w] for w in re.findall(r"\b[A-Z][a-z]+\b", text) if w in MONTHS})
    if not named:
        return None
    start, end = min(times), max(times)
    starts = []
    for month in named:
        for year in range(start.year, end.year + 1):
            first = datetime(year, month, 1, tzinfo=UTC)
            if first <= end and (first.year, first.month) >= (start.year, start.month):
                starts.append(first)
                break
    if not starts:
        return None
    low, high = min(starts), max(starts)
    after = datetime(high.year + high.month // 12, high.month % 12 + 1, 1, tzinfo=UTC)
    return low, after


def report_time_filter(study: Study, final: tuple[TurnKey, int], print_: Printer) -> None:
    print_("\n## A time filter: the months a question names\n")
    key, row = final
    stop, depth, name = key
    fam = family_named(name)
    rows: list[list[object]] = []
    for set_name in dict.fromkeys(p.set_name for p in study.probes):
        before, after, lost = [], [], 0
        for p in study.probes:
            if p.set_name != set_name or p.unit.endswith("-all"):
                continue
            conversation = p.stored.conversations[0]
            window = month_window(
                next(
                    q.text
                    for q in conversation.questions
                    if frozenset(p.stored.id_of[a] for a in q.answers) == p.answers
                ),
                conversation.times,
            )
            if window is None:
                continue
            s = p.stored
            position = {t: i for i, t in enumerate(s.ids)}
            low = int(window[0].timestamp() * 1_000_000)
            high = int(window[1].timestamp() * 1_000_000)
            inside = np.array([low <= s.created_us[t] < high for t in s.ids])
            if p.session is not None:
                inside &= np.array([s.session_of_id[t] == p.session for t in s.ids])
            lost += sum(1 for a in p.answers if not inside[position[a]])
            ranked = ranked_ids(study, p, key, row, position, 10)
            before.append(len(p.answers.intersection(ranked)) / len(p.answers))
            masked = np.where(inside, p.cosines, -np.inf)
            order = np.argsort(-masked, kind="stable")[: DEPTHS[-1]]
            vector = [(s.ids[i], float(p.cosines[i])) for i in order if inside[i]]
            lexical = {
                st: [(t, v) for t, v in p.lexical[st] if inside[position[t]]]
                for st in (False, True)
            }
            filtered = Probe(
                p.unit,
                p.set_name,
                p.kind,
                p.session,
                p.answers,
                p.answer_sessions,
                {d: vector[:d] for d in DEPTHS},
                lexical,
                p.cosines,
                p.query,
                s,
            )
            c = candidates(filtered, depth, stop, position, study.neighbours[id(s)], fam.expand)
            scores = fused(c, fam, depth)[row]
            top = [c.ids[i] for i in np.argsort(-scores, kind="stable")[:10]]
            after.append(len(p.answers.intersection(top)) / len(p.answers))
        rows.append([set_name, len(before), mean(before), mean(after), lost])
    for line in table(
        [
            "set",
            "questions naming a month",
            "R@10 unfiltered",
            "R@10 filtered",
            "answers outside the window",
        ],
        rows,
    ):
        print_(line)


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
    parser.add_argument(
        "--methods", help=f"comma-separated fusion methods to study (default: {','.join(METHODS)})"
    )
    args = parser.parse_args()
    if args.methods:
        SELECTED_METHODS.extend(m for m in args.methods.split(",") if m in METHODS)
    embeddings = Embeddings(args.cache)
    sets = load_sets([name for name in args.sets.split(",") if name])
    layout = build(sets, embeddings, args.postgres or ":memory:")
    started = time.perf_counter()
    probes: list[Probe] = []
    for per_user in layout.per_conversation.values():
        for stored in per_user:
            probes.extend(
                probe(stored, question_vectors(stored, embeddings), stored.conversations[0].name)
            )
    for set_name, stored in layout.combined.items():
        probes.extend(probe(stored, question_vectors(stored, embeddings), f"{set_name}-all"))
    study = Study(probes)
    study.run()
    print(f"({time.perf_counter() - started:.1f} s of study)", file=sys.stderr)
    final = report(study, print)
    report_context(study, final, print)
    report_time_filter(study, final, print)


if __name__ == "__main__":
    main()
