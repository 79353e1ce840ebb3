"""How `UserMemory.search` and `UserMemory.sessions` rank.

A search ranks the user's turns by meaning (the index's nearest turns, or
one session's turns exactly) and by words (the store's bm25), reads the rows
of both rankings' candidates and of the turns next to the best of them, and
makes them results (hits.py, fusing by fusion.py). The rankings and the rows
come from one state of the log (`UserLog.at_one_head`). Everything works on
the candidates only, never on every turn of the user.

`sessions(query)` ranks the sessions by their best candidates of the same
hybrid search; the sessions none of whose turns is a candidate follow by
their turns' mean direction (session_sums.py).
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass

import orlo_kiv

from ..contract.results import Hit, SessionInfo
from ..contract.values import factor_argument, fusion_argument, timestamp_us
from ..errors import InvalidInputError
from ..stores.lexical import search_terms
from ..stores.records import Found, HitRow, SearchRow, SessionRecord
from .fusion import DEFAULT_FUSION_K, NEIGHBOUR_SPREAD, Weights
from .hits import Ranking, alone, candidates, hits, session_scores, vector_hits
from .log import UserLog
from .session_sums import mean_direction_cosine
from .turns import session_info
from .user_index import LoadedIndex, Vector, normalized, now_us

SESSION_DEPTH = 40  # each ranking's depth for sessions(query), as search's for k = 10


@dataclass(frozen=True, slots=True)
class Params:
    """What one search asks for, its arguments checked."""

    mode: str
    k: int
    candidates: int | None
    recency: float
    recency_decay: float
    weights: Weights
    span: tuple[int, int] | None  # created_us in [since, until)

    @property
    def plain(self) -> bool:
        """Whether the hits are the index's k nearest turns as they come."""
        return self.mode == "vector" and self.recency == 0.0 and self.span is None

    @property
    def depth(self) -> int:
        """Each ranking's depth when the search is not plain: `candidates`
        (default max(4k, 40))."""
        return self.candidates or max(4 * self.k, 40)


def weights(
    fusion: str | None,
    fusion_k: float | None,
    vector_weight: float,
    lexical_weight: float,
    neighbour_weight: float,
) -> Weights:
    """The hybrid fusion the caller asked for: rank fusion when `fusion` says
    so or when only `fusion_k` (rank fusion's constant) is given."""
    if fusion is None:
        fusion = "score" if fusion_k is None else "rank"
    return Weights(
        fusion=fusion_argument(fusion),
        fusion_k=DEFAULT_FUSION_K if fusion_k is None else factor_argument(fusion_k, "fusion_k"),
        vector=factor_argument(vector_weight, "vector_weight"),
        lexical=factor_argument(lexical_weight, "lexical_weight"),
        neighbours=factor_argument(neighbour_weight, "neighbour_weight"),
    )


def span(since: object, until: object) -> tuple[int, int] | None:
    """[since, until) in microseconds, or None when neither is given."""
    if since is None and until is None:
        return None
    low = timestamp_us(since, "since")
    high = timestamp_us(until, "until")
    span = (-(2**62) if low is None else low, 2**62 if high is None else high)
    if span[0] >= span[1]:
        raise InvalidInputError("since must be earlier than until")
    return span


# -- search ------------------------------------------------------------------------


def search(
    log: UserLog, params: Params, query: str, vector: Vector | None, session_id: str | None
) -> list[Hit]:
    """The hits of a search whose arguments are checked (`vector`: the query
    embedding, None for a lexical search; `session_id`: a session of the
    user's, or None for all)."""
    if params.plain:

        def read_hits() -> tuple[LoadedIndex, Found[HitRow], Ranking]:
            loaded, ranking = vector_ranking(log, vector, params.k, session_id, None)
            return loaded, log.hit_rows([key for key, _ in ranking]), ranking

        found_hits, ranking = log.at_one_head(read_hits)
        return vector_hits(ranking, found_hits.turns)

    mode, depth, span = params.mode, params.depth, params.span

    def read_candidates() -> tuple[LoadedIndex, Found[SearchRow], tuple[Ranking, Ranking]]:
        loaded, vector_ranked = vector_ranking(log, vector, depth, session_id, span)
        lexical_ranked: Ranking = []
        if mode != "vector":
            lexical_ranked = log.lexical(search_terms(query), depth, session_id, span)
        around = spread(vector_ranked, lexical_ranked, params.weights) if mode == "hybrid" else []
        found = log.search_rows(_keys(vector_ranked, lexical_ranked), around)
        return loaded, found, (vector_ranked, lexical_ranked)

    found, (vector_ranked, lexical_ranked) = log.at_one_head(read_candidates)
    if mode == "hybrid":
        ordered, rows = candidates(
            vector_ranked, lexical_ranked, found.turns, vector, params.weights, span
        )
    else:
        single = vector_ranked if mode == "vector" else lexical_ranked
        ordered, rows = alone(mode, single, found.turns)
    return hits(
        ordered,
        rows,
        mode=mode,
        k=params.k,
        recency=params.recency,
        recency_decay=params.recency_decay,
        now_us=now_us(),
    )


def vector_ranking(
    log: UserLog,
    vector: Vector | None,
    depth: int,
    session_id: str | None,
    span: tuple[int, int] | None,
) -> tuple[LoadedIndex, Ranking]:
    """The user's index and its `depth` nearest turns to `vector` (none
    without one), in the session and time span if given."""
    if vector is None:
        return log.index(), []
    query = vector
    if session_id is not None:
        loaded, cached = log.session_vectors(session_id)
        size = len(cached.keys)
    else:
        loaded = log.index()
        size = loaded.points
    index = loaded.index

    def top(width: int) -> Ranking:
        if session_id is not None:
            return cached.top(query, width)
        return near(index, query, width)

    if span is None:
        return loaded, top(depth)

    def created(keys: list[int]) -> dict[int, int]:
        return {row.key: row.created_us for row in log.search_rows(keys, []).turns}

    return loaded, within(top, created, depth, size, span)


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


def _keys(vector_ranked: Ranking, lexical_ranked: Ranking) -> list[int]:
    """Both rankings' keys, each once, in candidate order."""
    keys = [key for key, _ in vector_ranked] + [key for key, _ in lexical_ranked]
    return list(dict.fromkeys(keys))


# -- sessions ----------------------------------------------------------------------


def sessions(log: UserLog, query: str | None, vector: Vector, k: int | None) -> list[SessionInfo]:
    """The user's sessions ranked for a query (its text, if any, and its
    embedding), best first: the k first, or all when k is None."""
    weights = Weights()
    depth = max(4 * (k or 0), SESSION_DEPTH)
    terms = search_terms(query) if query and query.strip() else None

    def read_candidates() -> tuple[LoadedIndex, Found[SearchRow], tuple[Ranking, Ranking]]:
        loaded = log.index()
        vector_ranked = near(loaded.index, vector, depth)
        lexical_ranked = [] if terms is None else log.lexical(terms, depth, None)
        around = spread(vector_ranked, lexical_ranked, weights)
        found = log.search_rows(_keys(vector_ranked, lexical_ranked), around)
        return loaded, found, (vector_ranked, lexical_ranked)

    found, (vector_ranked, lexical_ranked) = log.at_one_head(read_candidates)
    ordered, rows = candidates(vector_ranked, lexical_ranked, found.turns, vector, weights)
    scored = session_scores(ordered, rows)
    if k is not None and len(scored) >= k:
        scored = scored[:k]
        records = log.sessions([session_id for session_id, _ in scored])
    else:
        records = log.sessions()
    by_id = {record.id: record for record in records}
    out = [
        session_info(record, score)
        for session_id, score in scored
        if (record := by_id.get(session_id)) is not None
    ]
    if k is None or len(out) < k:
        ranked_ids = {info.id for info in out}
        rest = by_mean_direction(
            [record for record in records if record.id not in ranked_ids], normalized(vector)
        )
        out += [session_info(record) for record in (rest if k is None else rest[: k - len(out)])]
    return out


def by_mean_direction(records: Sequence[SessionRecord], unit: Vector) -> list[SessionRecord]:
    """`records` by the cosine of their turns' mean direction to the unit
    vector `unit` (sessions with no live turn last, newest first as given)."""
    scored: list[tuple[float, int, SessionRecord]] = []
    for number, record in enumerate(records):
        cosine = mean_direction_cosine(record, unit)
        scored.append((2.0 if cosine is None else -cosine, number, record))
    scored.sort(key=lambda item: item[:2])
    return [record for _, _, record in scored]
