"""How `UserMemory.search` and `UserMemory.sessions` rank.

A search ranks the user's turns by meaning (the index's nearest turns, or
one session's turns exactly) and by words (the store's bm25), reads the rows
of both rankings' candidates and of the turns next to the best of them, and
makes them results (hits.py, fusing by fusion.py). The rankings and the rows
come from one state of the log (`UserLog.at_one_head`). Everything works on
the candidates only, never on every turn of the user.

A filter (contract/filters.py), like a time span, narrows every ranking to
the matching turns, and the search still returns the best k among them,
whatever their share: the lexical ranking filters in its own query, the
neighbours added are only matching ones, and the vector ranking reads the
index deeper until enough of its nearest turns match (`within`), or, when
its first rounds show that few turns match (at most EXACT_LIMIT, as the
store counts them with its indexes), scores exactly those turns' embeddings
(`exact_ranking`), as a session's turns are scored.

`sessions(query)` ranks the sessions by their best candidates of the same
hybrid search; the sessions none of whose turns is a candidate follow by
their turns' mean direction (session_sums.py).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import orlo_kiv

from ..contract.filters import Filter, scoped
from ..contract.results import Hit, SessionInfo
from ..contract.values import factor_argument, fusion_argument, timestamp_us
from ..errors import InvalidInputError
from ..stores.lexical import search_terms
from ..stores.records import Found, HitRow, SearchRow, SessionRecord
from .fusion import DEFAULT_FUSION_K, NEIGHBOUR_SPREAD, Weights
from .hits import Ranking, alone, candidates, exact_ranking, hits, session_scores, vector_hits
from .log import UserLog
from .session_sums import mean_direction_cosine
from .turns import session_info
from .user_index import LoadedIndex, Vector, normalized, now_us

SESSION_DEPTH = 40  # each ranking's depth for sessions(query), as search's for k = 10
# The most matching turns a filtered vector ranking scores exactly; beyond
# them it reads the index deeper. At 100,000 turns of 384 dimensions on
# SQLite, reading a turn's embedding costs about 4 us (bench/bench_filters.py)
# and `near` about 9 us per turn asked for (near(640) 5.8 ms, near(2,560)
# 19 ms): scoring the 2,000 turns of a filter matching 2% exactly costs about
# what reading the index the 1,500 turns deep it would take does.
EXACT_LIMIT = 2000
# A filtered ranking first reads this many times its depth of nearest turns,
# then GROWTH times the turns the share of matches so far says it takes (a
# second round is dearer than reading deeper at once).
FIRST_WIDTH = 2
GROWTH = 3


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
    where: Filter | None = None  # the turns a search may return

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
    where = params.where
    if params.plain:

        def read_hits() -> tuple[LoadedIndex, Found[HitRow], Ranking]:
            loaded, ranking = vector_ranking(log, vector, params.k, session_id, None, where)
            return loaded, log.hit_rows([key for key, _ in ranking]), ranking

        found_hits, ranking = log.at_one_head(read_hits)
        return vector_hits(ranking, found_hits.turns)

    mode, depth, span = params.mode, params.depth, params.span

    def read_candidates() -> tuple[LoadedIndex, Found[SearchRow], tuple[Ranking, Ranking]]:
        loaded, vector_ranked = vector_ranking(log, vector, depth, session_id, span, where)
        lexical_ranked: Ranking = []
        if mode != "vector":
            lexical_ranked = log.lexical(search_terms(query), depth, session_id, span, where)
        around = spread(vector_ranked, lexical_ranked, params.weights) if mode == "hybrid" else []
        found = log.search_rows(_keys(vector_ranked, lexical_ranked), around, where)
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
    where: Filter | None = None,
) -> tuple[LoadedIndex, Ranking]:
    """The user's index and its `depth` nearest turns to `vector` (none
    without one), in the session and time span and matching the filter, if
    given."""
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

    if span is None and where is None:
        return loaded, top(depth)
    scope = scoped(where, session_id, span)
    assert scope is not None

    def matching(keys: list[int]) -> set[int]:
        return {row.key for row in log.hit_rows(keys, scope).turns}

    def exact() -> Ranking | None:
        found = log.matching_vectors(scope, EXACT_LIMIT)
        return None if found is None else exact_ranking(found.turns, query, depth)

    return loaded, within(top, matching, depth, size, exact)


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
    matching: Callable[[list[int]], set[int]],
    depth: int,
    size: int,
    exact: Callable[[], Ranking | None],
) -> Ranking:
    """The first `depth` turns of a vector ranking that match (a filter, a
    time span): `ranking(width)` gives the first `width` turns of all,
    `matching(keys)` those of `keys` that match, `size` how many turns there
    are. The ranking is read FIRST_WIDTH times deeper than asked, then
    deeper by what the share of matches so far says it takes, until enough
    match or all are ranked. When that share says few turns match at all
    (at most a few times EXACT_LIMIT), `exact()` is asked for the ranking
    of every matching turn, scored exactly; it answers None when more than
    EXACT_LIMIT match, and the index is read deeper after all."""
    width = min(size, FIRST_WIDTH * depth)
    asked = False
    while True:
        ranked = ranking(width)
        keep = matching([key for key, _ in ranked])
        kept = [item for item in ranked if item[0] in keep]
        if len(kept) >= depth or len(ranked) < width or width >= size:
            return kept[:depth]
        share = (len(kept) + 1) / max(len(ranked), 1)
        if not asked and share * size <= 4 * EXACT_LIMIT:
            asked = True
            scored = exact()
            if scored is not None:
                return scored
        width = min(size, max(2 * width, math.ceil(GROWTH * depth / share)))


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


def sessions(
    log: UserLog, query: str | None, vector: Vector, k: int | None, where: Filter | None = None
) -> list[SessionInfo]:
    """The user's sessions ranked for a query (its text, if any, and its
    embedding), best first: the k first, or all when k is None; with
    `where`, only the sessions with a matching turn, ranked by those turns."""
    weights = Weights()
    depth = max(4 * (k or 0), SESSION_DEPTH)
    terms = search_terms(query) if query and query.strip() else None

    def read_candidates() -> tuple[LoadedIndex, Found[SearchRow], tuple[Ranking, Ranking]]:
        loaded, vector_ranked = vector_ranking(log, vector, depth, None, None, where)
        lexical_ranked = [] if terms is None else log.lexical(terms, depth, None, None, where)
        around = spread(vector_ranked, lexical_ranked, weights)
        found = log.search_rows(_keys(vector_ranked, lexical_ranked), around, where)
        return loaded, found, (vector_ranked, lexical_ranked)

    found, (vector_ranked, lexical_ranked) = log.at_one_head(read_candidates)
    ordered, rows = candidates(vector_ranked, lexical_ranked, found.turns, vector, weights)
    scored = session_scores(ordered, rows)
    if k is not None and len(scored) >= k:
        scored = scored[:k]
        records = log.sessions([session_id for session_id, _ in scored])
    else:
        records = log.sessions()
        if where is not None:
            matching = log.matching_sessions(where)
            records = [record for record in records if record.id in matching]
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
