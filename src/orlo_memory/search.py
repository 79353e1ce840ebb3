"""Ranking for `UserMemory.search`: the vector ranking from the index, fusion
with the lexical ranking, the recency blend and the hits.

Recency is blended here, from each turn's stored created_at, and not by the
index's temporal weight: the index dates its containers by the clock at
insertion, which a replay or rebuild resets, so its own blend would change
with every reload.
"""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, datetime

import orlo_kiv

from .fusion import Fused, best_fused_score, reciprocal_rank_fusion
from .lexical import query_terms
from .records import HitRow
from .results import Hit, new_hit
from .user_index import Vector

__all__ = ["Params", "hits", "near", "order", "query_terms", "vector_hits"]

_US_PER_HOUR = 3_600_000_000.0


@dataclass(frozen=True, slots=True)
class Params:
    mode: str
    k: int
    depth: int
    recency: float
    recency_decay: float
    fusion_k: float
    vector_weight: float
    lexical_weight: float


def near(index: orlo_kiv.KivIndex, vector: Vector, depth: int) -> list[tuple[int, float]]:
    """The index's `depth` nearest turns as (key, cosine), best first. Removed
    turns stay listed by their documents until a rebuild and can crowd the
    beam out, so a short answer is retried with a wider search (a larger k
    widens the beam), up to the whole index."""
    results = index.near(vector, depth)
    if len(results) < depth:
        size = len(index)
        width = depth
        while len(results) < min(depth, size) and width < size:
            width = min(size, width * 4)
            results = index.near(vector, width)[:depth]
    return [(int(result.id, 16), result.score) for result in results]


def order(
    params: Params, vector_ranked: list[tuple[int, float]], lexical_ranked: list[int]
) -> list[Fused]:
    """Candidates best first: by cosine in vector mode, else by fused score."""
    if params.mode == "vector":
        return [
            Fused(key, score, vector_rank=rank)
            for rank, (key, score) in enumerate(vector_ranked, start=1)
        ]
    return reciprocal_rank_fusion(
        [key for key, _ in vector_ranked],
        lexical_ranked,
        fusion_k=params.fusion_k,
        vector_weight=params.vector_weight if params.mode == "hybrid" else 0.0,
        lexical_weight=params.lexical_weight,
    )


def vector_hits(ranked: Sequence[tuple[int, float]], turns: Sequence[HitRow]) -> list[Hit]:
    """The hits of a plain vector ranking, (key, cosine) best first, whose
    turns were found (live)."""
    by_key = {turn[0]: turn for turn in turns}
    found: list[Hit] = []
    keep = found.append
    when = datetime.fromtimestamp
    for rank, (key, score) in enumerate(ranked, start=1):
        turn = by_key.get(key)
        if turn is not None:
            _, turn_id, session_id, role, text, metadata, created_us = turn
            keep(
                new_hit(
                    turn_id,
                    text,
                    score,
                    role,
                    session_id,
                    when(created_us / 1_000_000, UTC),
                    json.loads(metadata) if metadata else {},
                    score,
                    rank,
                    None,
                )
            )
    return found


def hits(
    params: Params,
    ordered: Sequence[Fused],
    turns: Sequence[HitRow],
    vector_scores: dict[int, float],
    now_us: int,
) -> list[Hit]:
    """The hits of the candidates whose turns were found (live), best first."""
    by_key = {turn[0]: turn for turn in turns}
    scale = 1.0
    if params.mode != "vector":
        weight = params.vector_weight if params.mode == "hybrid" else 0.0
        best = best_fused_score(params.fusion_k, weight, params.lexical_weight)
        scale = 1.0 / best if best > 0 else 1.0
    scored: list[tuple[float, Fused, HitRow]] = []
    for entry in ordered:
        turn = by_key.get(entry.key)
        if turn is None:
            continue
        score = entry.score
        if params.recency > 0.0:
            age_hours = abs(now_us - turn[6]) / _US_PER_HOUR
            fresh = math.exp(-params.recency_decay * age_hours)
            score = (1.0 - params.recency) * score * scale + params.recency * fresh
        scored.append((score, entry, turn))
    if params.recency > 0.0:
        scored.sort(key=lambda item: -item[0])  # stable: ties keep relevance order
    found: list[Hit] = []
    for score, entry, (key, turn_id, session_id, role, text, metadata, created_us) in scored[
        : params.k
    ]:
        found.append(
            new_hit(
                turn_id,
                text,
                score,
                role,
                session_id,
                datetime.fromtimestamp(created_us / 1_000_000, tz=UTC),
                json.loads(metadata) if metadata else {},
                vector_scores.get(key),
                entry.vector_rank,
                entry.lexical_rank,
            )
        )
    return found
