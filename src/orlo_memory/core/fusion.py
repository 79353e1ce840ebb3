"""Fusion of the vector and the lexical rankings, and the lift a turn takes
from its neighbours in the conversation.

Score fusion (the default): each ranking's scores are standardised for this
query (z-scores: a cosine and a bm25 value have unrelated scales, and their
spread changes from query to query) and the fused score is
(w_v * z_v + w_l * z_l) / (w_v + w_l), each over its own ranking's
candidates, a candidate that one ranking did not list taking that ranking's
lowest z-score: its score is unknown, only below the listed ones. Lexical
scores that do not spread at all (a lone match of a rare code or name) would
all be z 0, level with the candidates that did not match: the matches are
put at +1 and the others at -1, the two ends of a spread ranking. (Counting
the candidates without a query word as bm25 0 in the standardisation, which
also lifts lone matches, scored 0.01 to 0.02 lower held out.) Rank fusion
(`fusion="rank"`) is reciprocal rank fusion, w_v / (fusion_k + r_v) +
w_l / (fusion_k + r_l), the method before score fusion.

Neighbours: in a conversation an answer is often a short reply ("Gavin. With
the padlock on the fridge drawer.") to the turn before it, which holds the
words of the question. So each candidate is lifted by `neighbour_weight`
times how far its best neighbour (the turn just before or after it in the
same session, when that is a candidate) stands above the lowest candidate;
the neighbours of each ranking's first NEIGHBOUR_SPREAD turns join the
candidates, scored by their own cosine and the lexical floor.

The defaults were chosen with bench/eval_fusion.py by leaving one
conversation out of four (the sample conversation and three two-person
conversations, at the search's candidate depth of 40): every fold chose
score fusion with a vector weight of 0.6 against 0.4, and a neighbour weight
of 0.4. Held out, hybrid recall@10 rose from 0.57 to 0.65 (the vector
ranking alone: 0.53); rank fusion with the same lift reached 0.61.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

DEFAULT_VECTOR_WEIGHT = 0.6
DEFAULT_LEXICAL_WEIGHT = 0.4
DEFAULT_NEIGHBOUR_WEIGHT = 0.4
DEFAULT_FUSION_K = 5.0  # rank fusion's constant
NEIGHBOUR_SPREAD = 10


@dataclass(slots=True)
class Fused:
    key: int  # the turn's key in the store
    score: float
    vector_rank: int | None = None
    lexical_rank: int | None = None
    cosine: float | None = None  # known for the vector ranking's turns and added neighbours
    # What made `score` in a hybrid search: it is vector + lexical + lift.
    vector: float = 0.0  # the vector ranking's share (its weighted z-score, or 1 / rank)
    lexical: float = 0.0  # the lexical ranking's share (its floor when it did not list the turn)
    lift: float = 0.0  # what the best neighbour added


@dataclass(frozen=True, slots=True)
class Weights:
    """How a hybrid search fuses: `fusion` "score" or "rank" (which uses
    `fusion_k`), the two rankings' weights and the neighbours' lift."""

    fusion: str = "score"
    fusion_k: float = DEFAULT_FUSION_K
    vector: float = DEFAULT_VECTOR_WEIGHT
    lexical: float = DEFAULT_LEXICAL_WEIGHT
    neighbours: float = DEFAULT_NEIGHBOUR_WEIGHT


@dataclass(frozen=True, slots=True)
class _Scale:
    """How one ranking's raw scores map to z-scores for one query."""

    mean: float
    deviation: float
    floor: float  # the z-score of a candidate the ranking did not list

    @classmethod
    def of(cls, values: Sequence[float], *, lexical: bool = False) -> _Scale:
        """The scale of `values`; a candidate not among them takes their
        lowest z-score. Lexical `values` that do not spread (a lone match of
        a rare code or name, say) are placed as the two ends of a spread
        ranking would be: the matches at +1, the other candidates at -1."""
        if not values:
            return cls(0.0, 1.0, 0.0)
        mean = math.fsum(values) / len(values)
        deviation = math.sqrt(math.fsum((v - mean) ** 2 for v in values) / len(values))
        if deviation > 0.0:
            return cls(mean, deviation, (min(values) - mean) / deviation)
        if lexical:
            return cls(mean - 1.0, 1.0, -1.0)
        return cls(mean, 1.0, 0.0)

    def z(self, value: float) -> float:
        return (value - self.mean) / self.deviation


def fuse(
    vector_ranked: Sequence[tuple[int, float]],
    lexical_ranked: Sequence[tuple[int, float]],
    weights: Weights,
    added: Sequence[tuple[int, float]] = (),
) -> list[Fused]:
    """The candidates of both rankings (best first each, as (key, score)) and
    the `added` turns (key, cosine), fused, in candidate order: the vector
    ranking's, then the lexical ranking's others, then the added ones."""
    fused: dict[int, Fused] = {}
    if weights.fusion == "rank":
        k = weights.fusion_k
        for rank, (key, cosine) in enumerate(vector_ranked, start=1):
            share = weights.vector / (k + rank)
            fused.setdefault(key, Fused(key, share, rank, None, cosine, vector=share))
        for rank, (key, _) in enumerate(lexical_ranked, start=1):
            entry = fused.get(key)
            share = weights.lexical / (k + rank)
            if entry is None:
                fused[key] = Fused(key, share, None, rank, lexical=share)
            elif entry.lexical_rank is None:
                entry.score += share
                entry.lexical = share
                entry.lexical_rank = rank
        for key, cosine in added:
            fused.setdefault(key, Fused(key, 0.0, cosine=cosine))
        return list(fused.values())
    total = weights.vector + weights.lexical
    wv, wl = (0.5, 0.5) if total <= 0.0 else (weights.vector / total, weights.lexical / total)
    vector = _Scale.of([score for _, score in vector_ranked])
    lexical = _Scale.of([score for _, score in lexical_ranked], lexical=True)
    for rank, (key, cosine) in enumerate(vector_ranked, start=1):
        if key not in fused:
            v, lex = wv * vector.z(cosine), wl * lexical.floor
            fused[key] = Fused(key, v + lex, rank, None, cosine, v, lex)
    for rank, (key, value) in enumerate(lexical_ranked, start=1):
        entry = fused.get(key)
        lex = wl * lexical.z(value)
        if entry is None:
            v = wv * vector.floor
            fused[key] = Fused(key, v + lex, None, rank, vector=v, lexical=lex)
        elif entry.lexical_rank is None:
            entry.score += wl * (lexical.z(value) - lexical.floor)
            entry.lexical = lex
            entry.lexical_rank = rank
    for key, cosine in added:
        if key not in fused:
            v, lex = wv * vector.z(cosine), wl * lexical.floor
            fused[key] = Fused(key, v + lex, cosine=cosine, vector=v, lexical=lex)
    return list(fused.values())


def lift_by_neighbours(
    candidates: Sequence[Fused], before: Mapping[int, int], weight: float
) -> None:
    """Adds to each candidate `weight` times its best neighbour's lift above
    the lowest candidate score (`before`: the key of the turn just before a
    key in its session, where both are candidates). Neighbours are read from
    the scores before any lift."""
    if weight <= 0.0 or not candidates:
        return
    score = {entry.key: entry.score for entry in candidates}
    floor = min(score.values())
    best = dict.fromkeys(score, floor)
    for key, previous in before.items():
        if key in score and previous in score:
            best[key] = max(best[key], score[previous])
            best[previous] = max(best[previous], score[key])
    for entry in candidates:
        entry.lift = weight * (best[entry.key] - floor)
        entry.score += entry.lift


def ranked(candidates: Sequence[Fused]) -> list[Fused]:
    """Best first; equal scores keep candidate order (stable sort)."""
    return sorted(candidates, key=lambda entry: -entry.score)


def scaled(candidates: Sequence[Fused]) -> dict[int, float]:
    """Each candidate's score mapped to [0, 1]: 1 the best, 0 the lowest
    (all 1 when they are equal)."""
    if not candidates:
        return {}
    low = min(entry.score for entry in candidates)
    high = max(entry.score for entry in candidates)
    span = high - low
    if span <= 0.0:
        return {entry.key: 1.0 for entry in candidates}
    return {entry.key: (entry.score - low) / span for entry in candidates}
