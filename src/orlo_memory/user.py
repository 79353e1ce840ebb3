"""`UserMemory`: one user's turns, sessions and searches.

It checks the caller's arguments, embeds texts, hands writes and reads to the
user's log (log.py: numbering, applying, syncing, checkpointing) and ranks
the results (search.py). Every public call holds its memory's lock.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from datetime import datetime
from typing import Any, ParamSpec, TypeVar

import numpy as np

from . import search as ranking
from .embedders import Embedder, FloatMatrix, as_matrix, as_vector, embed_queries
from .errors import DuplicateIdError, InvalidInputError, UnknownIdError
from .fusion import (
    DEFAULT_FUSION_K,
    DEFAULT_LEXICAL_WEIGHT,
    DEFAULT_NEIGHBOUR_WEIGHT,
    DEFAULT_VECTOR_WEIGHT,
    FUSIONS,
    Fused,
    Weights,
)
from .log import SESSION_SUM_DTYPE, Entry, Logs, UserLog
from .progress import ProgressBar
from .records import By, SessionRecord
from .results import Hit, MemoryStats, SessionInfo, Turn
from .user_index import LoadedIndex, normalized, now_us
from .values import (
    MAX_FACTOR,
    count_argument,
    from_us,
    ids_argument,
    metadata_json,
    new_ids,
    optional_text_argument,
    parse_id,
    real_argument,
    storable,
    stored_to_turn,
    text_argument,
    timestamp_us,
)

P = ParamSpec("P")
R = TypeVar("R")

MODES = ("vector", "lexical", "hybrid")
# Recency decays like the index's own temporal blend: exp(-decay * age in
# hours); 0.01 per hour halves a turn's recency in about three days.
DEFAULT_RECENCY_DECAY = 0.01
EMBED_BATCH = 256
PROGRESS_MIN_TURNS = 1000


@dataclass(frozen=True, slots=True)
class NewTurn:
    """A turn for `add_many`. `new_topic` opens a new document before it;
    `new_session` a new session (titled `session_title`) before it."""

    text: str
    role: str = "user"
    metadata: Mapping[str, Any] | None = None
    created_at: datetime | None = None
    id: str | None = None
    embedding: Any = None
    new_topic: bool = False
    new_session: bool = False
    session_title: str | None = None


def prepared(item: object, fresh_id: str) -> Entry:
    """A `NewTurn`'s values checked (all but its embedding) as a log entry;
    `fresh_id` is its id unless it names one."""
    if not isinstance(item, NewTurn):
        raise InvalidInputError(f"turns must be strings or NewTurn, got {type(item).__name__}")
    explicit = item.id is not None
    return Entry(
        id=parse_id(item.id) if explicit else fresh_id,
        explicit_id=explicit,
        text=text_argument(item.text, "text"),
        role=text_argument(item.role, "role"),
        metadata=metadata_json(item.metadata),
        created_us=timestamp_us(item.created_at),
        new_topic=bool(item.new_topic),
        new_session=bool(item.new_session),
        session_title=optional_text_argument(
            None if item.session_title is None else str(item.session_title), "session_title"
        ),
    )


def locked(method: Callable[P, R]) -> Callable[P, R]:
    """Runs a method under its memory's lock, after the open check."""

    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        logs = args[0]._logs  # type: ignore[attr-defined]
        with logs.lock:
            logs.check_open()
            return method(*args, **kwargs)

    wrapper.__name__ = method.__name__
    wrapper.__qualname__ = method.__qualname__
    wrapper.__doc__ = method.__doc__
    return wrapper


class UserMemory:
    """The memory of one user. Obtain it with `Memory.user(name)`."""

    def __init__(self, logs: Logs, embedder: Embedder | None, name: str, uid: int) -> None:
        self._logs = logs
        self._embedder = embedder
        self._dimension = logs.policy.dimension
        self._log = UserLog(logs, uid, name)
        self._name = name
        self._uid = uid

    @property
    def name(self) -> str:
        return self._name

    def __repr__(self) -> str:
        return f"UserMemory({self._name!r})"

    # -- writing -------------------------------------------------------------

    def add(
        self,
        text: str,
        *,
        role: str = "user",
        metadata: Mapping[str, Any] | None = None,
        embedding: Any = None,
        created_at: datetime | None = None,
        id: str | None = None,
        new_topic: bool = False,
    ) -> str:
        """Stores one turn in the current session and returns its id.

        The embedding comes from the memory's embedder unless given; `id` may be
        a caller's own (32 hex or a UUID), unique across the database. Adding
        the same turn with the same id again returns the id and stores nothing:
        the way to retry an add that failed with StoreUnavailableError."""
        turn = NewTurn(text, role, metadata, created_at, id, embedding, new_topic)
        return self.add_many([turn])[0]

    @locked
    def add_many(
        self,
        turns: Iterable[str | NewTurn],
        *,
        embeddings: Any = None,
        role: str = "user",
        progress: bool | None = None,
        replacing: str | Iterable[str] | None = None,
    ) -> list[str]:
        """Stores turns in order, in one transaction, and returns their ids.

        Items are texts (with `role`) or `NewTurn`s. Embeddings come from
        `embeddings` (one row per turn), a turn's own `embedding`, or the
        embedder in batches; a progress bar shows on long imports (`progress`
        None: from 1,000 turns when standard error is a terminal).
        `replacing` names live turns that the new ones take the place of: they
        are forgotten in the same transaction, so either the new turns are
        stored and those forgotten, or nothing changes (an id naming no live
        turn of this user raises UnknownIdError). A batch whose turns all
        carry ids and are all stored already, in this order and with the same
        content, is not stored again (a retry)."""
        items = list(turns)
        replaced = [] if replacing is None else ids_argument(replacing, "turn id")
        if not items:
            if replaced:
                raise InvalidInputError("replacing turns needs turns to store")
            return []
        entries = self._entries(items, role)
        matrix = self._embeddings(items, entries, embeddings, progress)
        return self._log.append(entries, matrix, replacing=replaced)

    def _entries(self, items: Sequence[str | NewTurn], role: str) -> list[Entry]:
        role = text_argument(role, "role")
        fresh = new_ids(len(items))
        entries: list[Entry] = []
        keep = entries.append
        for number, item in enumerate(items):
            if isinstance(item, str):
                # Plain texts are the bulk of large imports: checked inline.
                if not item.strip() or not storable(item):
                    text_argument(item, "text")  # raises, naming what is wrong
                keep(Entry(fresh[number], False, item, role, None, None, False, False, None))
            else:
                keep(prepared(item, fresh[number]))
        explicit = [entry.id for entry in entries if entry.explicit_id]
        if len(set(explicit)) != len(explicit):
            raise DuplicateIdError("the same id is given to several turns")
        return entries

    def _embeddings(
        self,
        items: Sequence[str | NewTurn],
        prepared: Sequence[Entry],
        embeddings: Any,
        progress: bool | None,
    ) -> FloatMatrix:
        dimension = self._dimension
        if embeddings is not None:
            if any(isinstance(item, NewTurn) and item.embedding is not None for item in items):
                raise InvalidInputError("give embeddings either per turn or for all, not both")
            return as_matrix(embeddings, len(items), dimension, "embeddings")
        matrix = np.empty((len(items), dimension), dtype=np.float32)
        missing: list[int] = []
        for row, item in enumerate(items):
            if isinstance(item, str) or item.embedding is None:
                missing.append(row)
            else:
                matrix[row] = as_matrix(item.embedding, 1, dimension, "embeddings")[0]
        if missing:
            embedder = self._embedder
            if embedder is None:
                raise InvalidInputError("this memory has no embedder: pass embeddings")
            show = progress if progress is not None else len(missing) >= PROGRESS_MIN_TURNS
            bar = ProgressBar(len(missing), "embedding", enabled=None if progress is None else show)
            try:
                for start in range(0, len(missing), EMBED_BATCH):
                    rows = missing[start : start + EMBED_BATCH]
                    vectors = as_matrix(
                        embedder.embed([prepared[row].text for row in rows]),
                        len(rows),
                        dimension,
                        "embeddings",
                    )
                    matrix[rows] = vectors
                    if show:
                        bar.advance(len(rows))
            finally:
                bar.close()
        return matrix

    @locked
    def new_session(self, title: str | None = None) -> str:
        """Starts a new session (the next turn opens it in the index) and
        returns its id."""
        return self._log.new_session(optional_text_argument(title, "title"))

    @locked
    def new_topic(self) -> None:
        """Starts a new document (topic) in the current session with the next turn."""
        self._log.new_topic()

    @locked
    def current_session(self) -> str | None:
        """The id of the session the next turn goes into (None before the first)."""
        return self._log.state().current_session

    @locked
    def forget(self, ids: str | Iterable[str]) -> int:
        """Deletes turns (text, metadata, embedding) and removes them from the
        index; returns how many were forgotten. Unknown ids raise UnknownIdError
        and nothing is forgotten."""
        wanted = ids_argument(ids, "turn id")
        if not wanted:
            return 0
        return self._log.forget(wanted)

    @locked
    def consolidate(self, *, full: bool = False) -> None:
        """Recomputes the index's centroids; `full` also merges, splits and
        prunes documents, after dropping forgotten turns from the index."""
        self._log.consolidate(full=full)

    @locked
    def checkpoint(self) -> None:
        """Stores a snapshot of the user's index now (reopening then replays nothing)."""
        self._log.checkpoint()

    # -- reading ---------------------------------------------------------------

    def _query_vector(self, query: str, embedding: Any) -> FloatMatrix:
        if embedding is not None:
            return as_vector(embedding, self._dimension, "query embedding")
        embedder = self._embedder
        if embedder is None:
            raise InvalidInputError("this memory has no embedder: pass embedding=")
        embedded = as_matrix(
            embed_queries(embedder, [query]), 1, self._dimension, "query embedding"
        )
        vector: FloatMatrix = embedded[0]
        return vector

    def _check_session(self, session: object) -> str:
        session_id = parse_id(session, "session id")
        if not self._log.sessions([session_id]):
            raise UnknownIdError(f"no session {session_id} for user {self._name!r}")
        return session_id

    @locked
    def search(
        self,
        query: str,
        k: int = 5,
        *,
        session: str | None = None,
        mode: str = "hybrid",
        embedding: Any = None,
        since: datetime | None = None,
        until: datetime | None = None,
        recency: float = 0.0,
        recency_decay: float = DEFAULT_RECENCY_DECAY,
        fusion: str | None = None,
        fusion_k: float | None = None,
        vector_weight: float = DEFAULT_VECTOR_WEIGHT,
        lexical_weight: float = DEFAULT_LEXICAL_WEIGHT,
        neighbour_weight: float = DEFAULT_NEIGHBOUR_WEIGHT,
        candidates: int | None = None,
    ) -> list[Hit]:
        """The k turns that best answer `query`, best first.

        `mode` "vector" ranks by cosine similarity (score: the cosine),
        "lexical" by bm25 over the texts (stemmed, stop words left out),
        "hybrid" fuses both (score: the fused value scaled to [0, 1] over the
        candidates, 1 the best). Hybrid fusion is by z-scores of both
        rankings weighted `vector_weight` : `lexical_weight` (`fusion="score"`,
        the default), or by reciprocal rank with constant `fusion_k`
        (`fusion="rank"`, also chosen when only `fusion_k` is given); then
        each candidate gains `neighbour_weight` times the lift of its best
        neighbour in its session (0: off). `session` restricts the search to
        one of the user's sessions, scored exactly; `since` and `until`
        (timezone-aware datetimes) to turns created in [since, until).
        `recency` (0 to 1) blends in exp(-recency_decay * age in hours) of each
        turn's created_at: score = (1 - recency) * relevance + recency * that.
        `candidates` is the depth of each ranking (default max(4k, 40))."""
        if mode not in MODES:
            raise InvalidInputError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
        k = count_argument(k, "k")
        if not isinstance(query, str):
            raise InvalidInputError("query must be a string")
        if not (mode == "vector" and embedding is not None):
            text_argument(query, "query")
        recency = real_argument(recency, "recency", 0.0, 1.0)
        recency_decay = real_argument(recency_decay, "recency_decay", 0.0, MAX_FACTOR)
        weights = _weights(fusion, fusion_k, vector_weight, lexical_weight, neighbour_weight)
        if candidates is not None:
            candidates = count_argument(candidates, "candidates", 1)
        span = _span(since, until)
        session_id = None if session is None else self._check_session(session)
        vector = None if mode == "lexical" else self._query_vector(query, embedding)
        if k == 0:
            return []
        plain_vector = mode == "vector" and recency == 0.0 and span is None
        depth = k if plain_vector else (candidates or max(4 * k, 40))
        params = ranking.Params(mode, k, depth, recency, recency_decay, weights, span)
        log = self._log
        for attempt in range(3):
            loaded, vector_ranked = self._vector_ranking(vector, depth, session_id, span)
            if plain_vector:
                found_hits = log.hit_rows([key for key, _ in vector_ranked])
                if log.is_current(loaded, found_hits) or attempt == 2:
                    return ranking.vector_hits(vector_ranked, found_hits.turns)
                log.synced(loaded)
                continue
            lexical_ranked: list[tuple[int, float]] = []
            if mode != "vector":
                terms = ranking.search_terms(query)
                lexical_ranked = log.lexical(terms, depth, session_id, span)
            around = ranking.spread(vector_ranked, lexical_ranked, weights)
            if mode != "hybrid":
                around = []
            keys = [key for key, _ in vector_ranked] + [key for key, _ in lexical_ranked]
            found = log.search_rows(list(dict.fromkeys(keys)), around)
            if log.is_current(loaded, found) or attempt == 2:
                if mode == "hybrid":
                    ordered, rows = ranking.candidates(
                        vector_ranked,
                        lexical_ranked,
                        found.turns,
                        vector,
                        weights,
                        span,
                    )
                else:
                    rows = {row[0]: row for row in found.turns}
                    single = vector_ranked if mode == "vector" else lexical_ranked
                    ordered = [
                        Fused(key, score, rank, None, score)
                        if mode == "vector"
                        else Fused(key, score, None, rank)
                        for rank, (key, score) in enumerate(single, start=1)
                        if key in rows
                    ]
                return ranking.hits(params, ordered, rows, now_us())
            log.synced(loaded)
        raise AssertionError("unreachable")

    def _vector_ranking(
        self,
        vector: FloatMatrix | None,
        depth: int,
        session_id: str | None,
        span: tuple[int, int] | None,
    ) -> tuple[LoadedIndex, list[tuple[int, float]]]:
        """The user's index and its `depth` nearest turns to `vector` (none
        without one), in the session and time span if given."""
        log = self._log
        if session_id is not None:
            loaded, cached = log.session_vectors(session_id)
            size = len(cached.keys)
        else:
            loaded = log.index()
            size = loaded.points
        if vector is None:
            return loaded, []
        query = vector
        index = loaded.index

        def top(width: int) -> list[tuple[int, float]]:
            if session_id is not None:
                return cached.top(query, width)
            return ranking.near(index, query, width)

        if span is None:
            return loaded, top(depth)

        def created(keys: list[int]) -> dict[int, int]:
            return {row[0]: row[6] for row in log.search_rows(keys, []).turns}

        return loaded, ranking.within(top, created, depth, size, span)

    @locked
    def sessions(
        self, query: str | None = None, k: int | None = None, *, embedding: Any = None
    ) -> list[SessionInfo]:
        """The user's sessions: newest first, or with a query (or an embedding)
        the k that best answer it, best first.

        A session is ranked by its best-matching turns: the mean of its best
        two fused scores (scaled to [0, 1]) among a hybrid search's candidates
        (the index's nearest turns and the lexical matches, not every turn);
        its score is that mean. Sessions none of whose turns is a candidate
        follow when k asks for more, by the cosine to the mean direction of
        their turns, with score None."""
        if k is not None:
            k = count_argument(k, "k")
        log = self._log
        if query is None and embedding is None:
            records = log.sessions()
            chosen = records if k is None else records[:k]
            return [SessionInfo(r.id, r.title, from_us(r.created_us), r.turn_count) for r in chosen]
        if embedding is None:
            text_argument(query, "query")
        vector = self._query_vector(query or "", embedding)
        if k == 0:
            return []
        weights = Weights()
        depth = max(4 * (k or 0), ranking.SESSION_DEPTH)
        for attempt in range(3):
            loaded = log.index()
            vector_ranked = ranking.near(loaded.index, vector, depth)
            lexical_ranked: list[tuple[int, float]] = []
            if query and query.strip():
                lexical_ranked = log.lexical(ranking.search_terms(query), depth, None)
            around = ranking.spread(vector_ranked, lexical_ranked, weights)
            keys = [key for key, _ in vector_ranked] + [key for key, _ in lexical_ranked]
            found = log.search_rows(list(dict.fromkeys(keys)), around)
            if log.is_current(loaded, found) or attempt == 2:
                break
            log.synced(loaded)
        ordered, rows = ranking.candidates(
            vector_ranked,
            lexical_ranked,
            found.turns,
            vector,
            weights,
        )
        scored = ranking.session_scores(ordered, rows)
        if k is not None and len(scored) >= k:
            scored = scored[:k]
            records = log.sessions([session_id for session_id, _ in scored])
        else:
            records = log.sessions()
        by_id = {record.id: record for record in records}
        out = [
            SessionInfo(r.id, r.title, from_us(r.created_us), r.turn_count, score)
            for session_id, score in scored
            if (r := by_id.get(session_id)) is not None
        ]
        if k is None or len(out) < k:
            ranked_ids = {info.id for info in out}
            rest = _by_mean_direction(
                [r for r in records if r.id not in ranked_ids], normalized(vector)
            )
            out += [
                SessionInfo(r.id, r.title, from_us(r.created_us), r.turn_count)
                for r in (rest if k is None else rest[: k - len(out)])
            ]
        return out

    @locked
    def get(self, ids: str | Iterable[str]) -> list[Turn]:
        """The live turns with these ids, in the order given; an id that names
        no live turn of this user raises UnknownIdError."""
        wanted = ids_argument(ids, "turn id")
        if not wanted:
            return []
        by_id = {turn.id: turn for turn in self._log.turns(By.ID, wanted).turns}
        missing = [turn_id for turn_id in wanted if turn_id not in by_id]
        if missing:
            raise UnknownIdError(f"no live turn {missing[0]} for user {self._name!r}")
        return [stored_to_turn(by_id[turn_id]) for turn_id in wanted]

    @locked
    def taken_ids(self, ids: str | Iterable[str]) -> list[str]:
        """Which of `ids` a new turn cannot have: the ids of turns stored in
        this database, live or forgotten, of any user (an id is never reused)."""
        return self._log.taken_ids(ids_argument(ids, "turn id"))

    @locked
    def embeddings(self, ids: str | Iterable[str]) -> dict[str, FloatMatrix]:
        """The stored embeddings of these live turns (unknown ids are left out)."""
        wanted = ids_argument(ids, "turn id")
        found = self._log.turns(By.ID, wanted, embeddings=True).turns
        return {turn.id: np.frombuffer(turn.embedding or b"", dtype="<f4").copy() for turn in found}

    @locked
    def turns(self) -> Iterator[Turn]:
        """Every live turn in the order it was added (read at the call)."""
        return iter([stored_to_turn(stored) for stored in self._log.turns(By.ALL).turns])

    @locked
    def stats(self) -> MemoryStats:
        loaded = self._log.synced()
        state = self._log.state()
        snapshot_seq = self._log.snapshot_seq()
        return MemoryStats(
            user=self._name,
            turns=state.live_count,
            sessions=len(self._log.sessions()),
            forgotten=state.forgotten_count,
            head_seq=state.head_seq,
            epoch=state.epoch,
            snapshot_seq=snapshot_seq,
            events_after_snapshot=state.head_seq - (snapshot_seq or 0),
            index_points=loaded.points,
            dimension=self._dimension,
        )

    # -- for the LangChain store: turns found by a caller's own name -------------

    @locked
    def _add_aliased(
        self, turns: Sequence[NewTurn], aliases: Sequence[str], *, embeddings: Any, role: str
    ) -> list[str]:
        """Stores `turns` (the i-th answering to aliases[i]) in place of the
        live turns that answer to those aliases, in one transaction."""
        entries = [
            entry._replace(alias=alias)
            for entry, alias in zip(self._entries(turns, role), aliases, strict=True)
        ]
        matrix = self._embeddings(turns, entries, embeddings, False)
        return self._log.append(entries, matrix, replacing_aliases=aliases)

    @locked
    def _forget_aliased(self, aliases: Sequence[str]) -> int:
        """Forgets the live turns answering to `aliases`; returns how many."""
        return self._log.forget(aliases=aliases) if aliases else 0

    @locked
    def _get_aliased(self, aliases: Sequence[str]) -> dict[str, Turn]:
        """The newest live turn answering to each alias (those that have one)."""
        found = self._log.by_alias(aliases)
        return {alias: stored_to_turn(turns[-1]) for alias, turns in found.items()}


def _weights(
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
    if fusion not in FUSIONS:
        raise InvalidInputError(f"fusion must be one of {', '.join(FUSIONS)}, got {fusion!r}")
    return Weights(
        fusion,
        DEFAULT_FUSION_K
        if fusion_k is None
        else real_argument(fusion_k, "fusion_k", 0.0, MAX_FACTOR),
        real_argument(vector_weight, "vector_weight", 0.0, MAX_FACTOR),
        real_argument(lexical_weight, "lexical_weight", 0.0, MAX_FACTOR),
        real_argument(neighbour_weight, "neighbour_weight", 0.0, MAX_FACTOR),
    )


def _span(since: object, until: object) -> tuple[int, int] | None:
    """[since, until) in microseconds, or None when neither is given."""
    if since is None and until is None:
        return None
    low = timestamp_us(since, "since")
    high = timestamp_us(until, "until")
    span = (-(2**62) if low is None else low, 2**62 if high is None else high)
    if span[0] >= span[1]:
        raise InvalidInputError("since must be earlier than until")
    return span


def _by_mean_direction(
    records: Sequence[SessionRecord], vector: FloatMatrix
) -> list[SessionRecord]:
    """`records` by the cosine of their turns' mean direction to `vector`
    (sessions with no live turn last, newest first as given)."""
    scored: list[tuple[float, int, SessionRecord]] = []
    for number, record in enumerate(records):
        cosine = -2.0
        if record.vector_sum is not None and record.turn_count > 0:
            centroid = np.frombuffer(record.vector_sum, dtype=SESSION_SUM_DTYPE)
            norm = float(np.linalg.norm(centroid))
            if norm > 0.0:
                cosine = float(centroid @ vector) / norm
        scored.append((-cosine, number, record))
    scored.sort(key=lambda item: item[:2])
    return [record for _, _, record in scored]
