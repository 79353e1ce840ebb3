"""From a search's rankings and the rows read for them to results: the live
candidates fused and lifted by their neighbours (fusion.py), the sessions'
scores, and the hits with the recency blend.

Recency is blended here, from each turn's stored created_at, and not by the
index's temporal weight: the index dates its containers by the clock at
insertion, which a replay or rebuild resets, so its own blend would change
with every reload.
"""

from __future__ import annotations

import json
import math
from collections.abc import Sequence
from datetime import UTC, datetime

import numpy as np

from ..contract.results import Hit, new_hit
from ..stores.records import HitRow, SearchRow
from .fusion import Fused, Weights, fuse, lift_by_neighbours, ranked, scaled
from .user_index import Vector

Ranking = list[tuple[int, float]]  # (turn key, score), best first

_US_PER_HOUR = 3_600_000_000.0
# A session's score is the mean of its best SESSION_TOP candidate scores (a
# missing one counts as the lowest, 0): chosen by leaving one conversation
# out with bench/eval_fusion.py, against the best turn alone and the sum.
SESSION_TOP = 2


def _first(row: tuple[int, bytes]) -> int:
    return row[0]


def exact_ranking(rows: Sequence[tuple[int, bytes]], query: Vector, depth: int) -> Ranking:
    """The `depth` best of (key, embedding) rows by their exact cosine to
    `query`, as (key, cosine) best first; ties keep the order of the keys."""
    if not rows or depth <= 0:
        return []
    ordered = sorted(rows, key=_first)
    matrix = np.frombuffer(b"".join(data for _, data in ordered), dtype="<f4")
    matrix = matrix.reshape(len(ordered), -1)
    norms = np.sqrt(np.einsum("ij,ij->i", matrix, matrix))
    unit = query / max(float(np.linalg.norm(query)), 1e-30)
    cosines = (matrix @ unit) / np.where(norms > 0.0, norms, 1.0)
    best = np.argsort(-cosines, kind="stable")[:depth]
    return [(ordered[row][0], float(cosines[row])) for row in best]


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
        if span is not None and not span[0] <= row.created_us < span[1]:
            continue
        # A neighbour that is a candidate too comes twice: keep its row without an embedding.
        if row.embedding is None or row.key not in by_key:
            by_key[row.key] = row
    ranked_keys = {key for key, _ in vector_ranked} | {key for key, _ in lexical_ranked}
    added: Ranking = []
    if query is not None:
        extra = [row for row in by_key.values() if row.key not in ranked_keys and row.embedding]
        if extra:
            matrix = np.frombuffer(b"".join(row.embedding or b"" for row in extra), dtype="<f4")
            matrix = matrix.reshape(len(extra), -1)
            norms = np.linalg.norm(matrix, axis=1)
            unit = query / max(float(np.linalg.norm(query)), 1e-30)
            cosines = (matrix @ unit) / np.where(norms > 0.0, norms, 1.0)
            added = [(row.key, float(c)) for row, c in zip(extra, cosines, strict=True)]
    fused = fuse(vector_ranked, lexical_ranked, weights, added)
    live = [entry for entry in fused if entry.key in by_key]
    at = {(row.session_id, row.seq): key for key, row in by_key.items()}
    before = {}
    for key, row in by_key.items():
        previous = at.get((row.session_id, row.seq - 1))
        if previous is not None:
            before[key] = previous
    lift_by_neighbours(live, before, weights.neighbours)
    return ranked(live), by_key


def alone(
    mode: str, ranking: Ranking, rows: Sequence[SearchRow]
) -> tuple[list[Fused], dict[int, SearchRow]]:
    """One ranking's live candidates ("vector" or "lexical", as `mode`
    says), best first, with their rows (by key)."""
    by_key = {row.key: row for row in rows}
    if mode == "vector":
        ordered = [
            Fused(key=key, score=score, vector_rank=rank, cosine=score)
            for rank, (key, score) in enumerate(ranking, start=1)
            if key in by_key
        ]
    else:
        ordered = [
            Fused(key=key, score=score, lexical_rank=rank)
            for rank, (key, score) in enumerate(ranking, start=1)
            if key in by_key
        ]
    return ordered, by_key


def session_scores(ordered: Sequence[Fused], rows: dict[int, SearchRow]) -> list[tuple[str, float]]:
    """Sessions by the mean of their best SESSION_TOP candidates' scores
    (scaled to [0, 1]; a missing one counts 0), best first."""
    score = scaled(ordered)
    best: dict[str, list[float]] = {}
    for entry in ordered:  # best first, so each session's list is sorted
        kept = best.setdefault(rows[entry.key].session_id, [])
        if len(kept) < SESSION_TOP:
            kept.append(score[entry.key])
    by_session = [(session, sum(values) / SESSION_TOP) for session, values in best.items()]
    by_session.sort(key=lambda item: -item[1])  # stable: ties keep the best turn's order
    return by_session


def vector_hits(ranking: Ranking, rows: Sequence[HitRow]) -> list[Hit]:
    """The hits of a plain vector ranking, (key, cosine) best first, whose
    turns were found (live)."""
    by_key = {row.key: row for row in rows}
    found = []
    for rank, (key, score) in enumerate(ranking, start=1):
        row = by_key.get(key)
        if row is not None:
            found.append(
                new_hit(
                    id=row.id,
                    text=row.text,
                    score=score,
                    role=row.role,
                    session_id=row.session_id,
                    created_at=datetime.fromtimestamp(row.created_us / 1e6, tz=UTC),
                    metadata=json.loads(row.metadata) if row.metadata else {},
                    vector_score=score,
                    vector_rank=rank,
                    lexical_rank=None,
                )
            )
    return found


def hits(
    ordered: Sequence[Fused],
    rows: dict[int, SearchRow],
    *,
    mode: str,
    k: int,
    recency: float,
    recency_decay: float,
    now_us: int,
) -> list[Hit]:
    """The first k hits of the candidates (`ordered`: best first, each with
    a row). A hit's score is its cosine in vector mode, else its fused (or
    bm25) score scaled to [0, 1] over the candidates; a `recency` blend then
    mixes in the turn's freshness, exp(-recency_decay * age in hours). A
    hybrid hit carries the parts of its fused score."""
    score = {entry.key: entry.score for entry in ordered} if mode == "vector" else scaled(ordered)
    explained = mode == "hybrid"  # the parts of a fused score
    scored: list[tuple[float, Fused, SearchRow]] = []
    for entry in ordered:
        row = rows[entry.key]
        value = score[entry.key]
        if recency > 0.0:
            age_hours = abs(now_us - row.created_us) / _US_PER_HOUR
            fresh = math.exp(-recency_decay * age_hours)
            value = (1.0 - recency) * value + recency * fresh
        scored.append((value, entry, row))
    if recency > 0.0:
        scored.sort(key=lambda item: -item[0])  # stable: ties keep relevance order
    return [
        new_hit(
            id=row.id,
            text=row.text,
            score=value,
            role=row.role,
            session_id=row.session_id,
            created_at=datetime.fromtimestamp(row.created_us / 1e6, tz=UTC),
            metadata=json.loads(row.metadata) if row.metadata else {},
            vector_score=entry.cosine,
            vector_rank=entry.vector_rank,
            lexical_rank=entry.lexical_rank,
            vector_part=entry.vector if explained else None,
            lexical_part=entry.lexical if explained else None,
            neighbour_lift=entry.lift if explained else None,
        )
        for value, entry, row in scored[:k]
    ]
