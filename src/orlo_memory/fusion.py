"""Reciprocal rank fusion of the vector and the lexical rankings.

A turn at 1-based rank r of a ranking earns weight / (fusion_k + r) from it; the
fused score is the sum over both rankings. Only the ratio of the two weights
matters to the order (scaling both scales every score).

The defaults were chosen with bench/eval_search.py (165 questions over a
506-turn conversation, all-MiniLM-L6-v2): hybrid recall@10 lies within
0.85-0.87 for fusion_k 2-45 with a lexical/vector ratio of 0.1-0.5, a flat
region; the point taken (fusion_k 5, ratio 0.33) is the region's best by MRR,
not the single best point. The usual constant 60 with equal weights gave 0.79 there, below the
vector ranking alone (0.85): with equal weights, turns matched only by a few
words outrank turns the model placed near the top. Raise `lexical_weight`
(e.g. to 0.5) where exact codes and names that the model blurs matter most.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

DEFAULT_FUSION_K = 5.0
DEFAULT_VECTOR_WEIGHT = 1.0
DEFAULT_LEXICAL_WEIGHT = 0.33


@dataclass(slots=True)
class Fused:
    key: int  # the turn's key in the store
    score: float
    vector_rank: int | None = None
    lexical_rank: int | None = None


def reciprocal_rank_fusion(
    vector_keys: Sequence[int],
    lexical_keys: Sequence[int],
    *,
    fusion_k: float = DEFAULT_FUSION_K,
    vector_weight: float = DEFAULT_VECTOR_WEIGHT,
    lexical_weight: float = DEFAULT_LEXICAL_WEIGHT,
) -> list[Fused]:
    """Both rankings fused, best first; equal scores keep vector-ranking order,
    then lexical order."""
    fused: dict[int, Fused] = {}
    for rank, key in enumerate(vector_keys, start=1):
        if key not in fused:
            fused[key] = Fused(key, vector_weight / (fusion_k + rank), vector_rank=rank)
    for rank, key in enumerate(lexical_keys, start=1):
        entry = fused.get(key)
        if entry is None:
            fused[key] = Fused(key, lexical_weight / (fusion_k + rank), lexical_rank=rank)
        elif entry.lexical_rank is None:
            entry.score += lexical_weight / (fusion_k + rank)
            entry.lexical_rank = rank
    # Stable sort: ties keep the order of first appearance.
    return sorted(fused.values(), key=lambda entry: -entry.score)


def best_fused_score(fusion_k: float, vector_weight: float, lexical_weight: float) -> float:
    """The score of a turn ranked first by both rankings (used to scale fused
    scores into [0, 1] before a recency blend)."""
    return (max(vector_weight, 0.0) + max(lexical_weight, 0.0)) / (fusion_k + 1.0)
