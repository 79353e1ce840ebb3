"""Ranking for `UserMemory.search` and `UserMemory.sessions`: the vector
ranking from the index, its fusion with the lexical ranking (fusion.py), the
time span, the recency blend and the hits.

Everything here works on the candidates only, the index's nearest turns and
the lexical ranking's matches (and the turns next to the best of them), never
on every turn of the user.

Recency is blended here, from each turn's stored created_at, and not by the
index's temporal weight: the index dates its containers by the clock at
insertion, which a replay or rebuild resets, so its own blend would change
with every reload.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime

import numpy as np

import orlo_kiv

from ..contract.results import Hit, new_hit
from ..stores.lexical import search_terms
from ..stores.records import HitRow, SearchRow
from .fusion import NEIGHBOUR_SPREAD, Fused, Weights, fuse, lift_by_neighbours, ranked, scaled
from .user_index import Vector

__all__ = [
    "SESSION_DEPTH",
    "Params",
    "candidates",
    "hits",
    "near",
    "search_terms",
    "session_scores",
    "spread",
    "vector_hits",
    "within",
]

_US_PER_HOUR = 3_600_000_000.0
# A session's score is the mean of its best SESSION_TOP candidate scores (a
# missing one counts as the lowest, 0): chosen by leaving one conversation
# out with bench/eval_fusion.py, against the best turn alone and the sum.
SESSION_TOP = 2
SESSION_DEPTH = 40  # each ranking's depth for sessions(query), as search's for k = 10

Ranking = list[tuple[int, float]]


@dataclass(frozen=True, slots=True)
class Params:
    mode: str
    k: int
    depth: int
    recency: float
    recency_decay: float
    weights: Weights
    span: tuple[int, int] | None  # created_us in [since, until)


def near(index: orlo_kiv.KivIndex, vector: Vector, depth: int) -> Ranking:
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


def within(
    ranking: Callable[[int], Ranking],
    created: Callable[[list[int]], dict[int, int]],
    depth: int,
    size: int,
    span: tuple[int, int],
) -> Ranking:
    """The first `depth` turns of a vector ranking created within `span`:
    `ranking(width)` gives the first `width` turns of all, `created(keys)`
    their creation times, `size` how many there are. The ranking is widened
    fourfold until enough turns of the span are found or all are ranked."""
    width = depth
    while True:
        ranked_now = ranking(width)
        when = created([key for key, _ in ranked_now])
        kept = [item for item in ranked_now if span[0] <= when.get(item[0], span[1]) < span[1]]
        if len(kept) >= depth or len(ranked_now) < width or width >= size:
            return kept[:depth]
        width = min(size, width * 4)


def spread(vector_ranked: Ranking, lexical_ranked: Ranking, weights: Weights) -> list[int]:
    """The keys whose neighbours join a hybrid search's candidates."""
    if weights.neighbours <= 0.0:
        return []
    firsts = [key for key, _ in vector_ranked[:NEIGHBOUR_SPREAD]]
    firsts += [key for key, _ in lexical_ranked[:NEIGHBOUR_SPREAD]]
    return list(dict.fromkeys(firsts))


def candidates(
    vector_ranked: Ranking,
    lexical_ranked: Ranking,
    rows: Sequence[SearchRow],
    query: Vector | None,
    weights: Weights,
    span: tuple[int, int] | None = None,
) -> tuple[list[Fused], dict[int, SearchRow]]:
    """A hybrid search's live candidates, fused and lifted by their
    neighbours, best first, with their rows (by key). `rows` are the
    candidates' and the added neighbours' (`Store.search_rows`); with a
    `span`, neighbours created outside it are left out."""
    by_key: dict[int, SearchRow] = {}
    for row in rows:
        if span is not None and not span[0] <= row[6] < span[1]:
            continue
        if row[8] is None or row[0] not in by_key:
            by_key[row[0]] = row
    ranked_keys = {key for key, _ in vector_ranked} | {key for key, _ in lexical_ranked}
    added: Ranking = []
    if query is not None:
        extra = [row for row in by_key.values() if row[0] not in ranked_keys and row[8]]
        if extra:
            matrix = np.frombuffer(b"".join(row[8] or b"" for row in extra), dtype="<f4")
            matrix = matrix.reshape(len(extra), -1)
            norms = np.linalg.norm(matrix, axis=1)
            unit = query / max(float(np.linalg.norm(query)), 1e-30)
            cosines = (matrix @ unit) / np.where(norms > 0.0, norms, 1.0)
            added = [(row[0], float(c)) for row, c in zip(extra, cosines, strict=True)]
    fused = fuse(vector_ranked, lexical_ranked, weights, added)
    live = [entry for entry in fused if entry.key in by_key]
    at = {(row[2], row[7]): key for key, row in by_key.items()}
    before = {}
    for key, row in by_key.items():
        previous = at.get((row[2], row[7] - 1))
        if previous is not None:
            before[key] = previous
    lift_by_neighbours(live, before, weights.neighbours)
    return ranked(live), by_key


def session_scores(ordered: Sequence[Fused], rows: dict[int, SearchRow]) -> list[tuple[str, float]]:
    """Sessions by the mean of their best SESSION_TOP candidates' scores
    (scaled to [0, 1]; a missing one counts 0), best first."""
    score = scaled(ordered)
    best: dict[str, list[float]] = {}
    for entry in ordered:  # best first, so each session's list is sorted
        kept = best.setdefault(rows[entry.key][2], [])
        if len(kept) < SESSION_TOP:
            kept.append(score[entry.key])
    by_session = [(session, sum(values) / SESSION_TOP) for session, values in best.items()]
    by_session.sort(key=lambda item: -item[1])  # stable: ties keep the best turn's order
    return by_session


def _when(created_us: int) -> datetime:
    return datetime.fromtimestamp(created_us / 1_000_000, tz=UTC)


def vector_hits(ranked_now: Sequence[tuple[int, float]], turns: Sequence[HitRow]) -> list[Hit]:
    """The hits of a plain vector ranking, (key, cosine) best first, whose
    turns were found (live)."""
    by_key = {turn[0]: turn for turn in turns}
    found = []
    for rank, (key, score) in enumerate(ranked_now, start=1):
        turn = by_key.get(key)
        if turn is not None:
            _, turn_id, session_id, role, text, metadata, created_us = turn
            found.append(
                new_hit(
                    turn_id,
                    text,
                    score,
                    role,
                    session_id,
                    _when(created_us),
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
    rows: dict[int, SearchRow],
    now_us: int,
) -> list[Hit]:
    """The hits of the candidates, best first (`ordered`: best first, each
    with a row). A hit's score is its cosine in vector mode, else its fused
    (or bm25) score scaled to [0, 1] over the candidates; a recency blend
    then mixes in the turn's freshness."""
    if params.mode == "vector":
        score = {entry.key: entry.score for entry in ordered}
    else:
        score = scaled(ordered)
    scored: list[tuple[float, Fused, SearchRow]] = []
    for entry in ordered:
        row = rows[entry.key]
        value = score[entry.key]
        if params.recency > 0.0:
            age_hours = abs(now_us - row[6]) / _US_PER_HOUR
            fresh = math.exp(-params.recency_decay * age_hours)
            value = (1.0 - params.recency) * value + params.recency * fresh
        scored.append((value, entry, row))
    if params.recency > 0.0:
        scored.sort(key=lambda item: -item[0])  # stable: ties keep relevance order
    return [
        new_hit(
            row[1],
            row[4],
            value,
            row[3],
            row[2],
            _when(row[6]),
            json.loads(row[5]) if row[5] else {},
            entry.cosine,
            entry.vector_rank,
            entry.lexical_rank,
        )
        for value, entry, row in scored[: params.k]
    ]
