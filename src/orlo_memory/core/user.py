"""`UserMemory`: one user's turns, sessions and searches.

It checks the caller's arguments (by the contract's rules), embeds texts,
hands writes and reads to the user's log (log.py: numbering, applying,
syncing, checkpointing) and searches through ranking.py. Texts are embedded
before any lock is taken; a search ranks under the user's index lock only,
so calls for other users never wait for it (logs.py).
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Mapping, Sequence
from datetime import datetime
from typing import Any

import numpy as np

from ..contract.filters import parse_filter
from ..contract.results import Hit, MemoryStats, SessionInfo, Turn
from ..contract.turns import NewTurn
from ..contract.values import (
    count_argument,
    factor_argument,
    ids_argument,
    k_argument,
    metadata_json,
    mode_argument,
    new_ids,
    optional_text_argument,
    parse_id,
    recency_argument,
    storable,
    text_argument,
    timestamp_us,
)
from ..embedders import Embedder, FloatMatrix, as_matrix, as_vector, embed_queries
from ..errors import DuplicateIdError, InvalidInputError, UnknownIdError
from ..progress import ProgressBar
from ..stores.records import By
from . import ranking
from .fusion import DEFAULT_LEXICAL_WEIGHT, DEFAULT_NEIGHBOUR_WEIGHT, DEFAULT_VECTOR_WEIGHT
from .log import Entry, UserLog
from .logs import Logs, guarded
from .turns import session_info, stored_to_turn

# Recency decays like the index's own temporal blend: exp(-decay * age in
# hours); 0.01 per hour halves a turn's recency in about three days.
DEFAULT_RECENCY_DECAY = 0.01
EMBED_BATCH = 256
# The embedder a memory's settings record when its embeddings come from callers.
PRECOMPUTED_EMBEDDINGS = "precomputed"
PROGRESS_MIN_TURNS = 1000


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
        a caller's own (32 hex or a UUID), unique among this user's turns
        (other users' ids are theirs alone). Adding the same turn with the
        same id again returns the id and stores nothing: the way to retry an
        add that failed with StoreUnavailableError."""
        turn = NewTurn(text, role, metadata, created_at, id, embedding, new_topic)
        return self.add_many([turn])[0]

    @guarded
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
                keep(Entry(id=fresh[number], explicit_id=False, text=item, role=role))
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
                raise self._no_embedder("embeddings")
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

    @guarded
    def new_session(self, title: str | None = None) -> str:
        """Starts a new session (the next turn opens it in the index) and
        returns its id."""
        return self._log.new_session(optional_text_argument(title, "title"))

    @guarded
    def new_topic(self) -> None:
        """Starts a new document (topic) in the current session with the next turn."""
        self._log.new_topic()

    @guarded
    def current_session(self) -> str | None:
        """The id of the session the next turn goes into (None before the first)."""
        return self._log.state().current_session

    @guarded
    def forget(self, ids: str | Iterable[str]) -> int:
        """Deletes turns (text, metadata, embedding) and removes them from the
        index; returns how many were forgotten. Unknown ids raise UnknownIdError
        and nothing is forgotten."""
        wanted = ids_argument(ids, "turn id")
        if not wanted:
            return 0
        return self._log.forget(wanted)

    @guarded
    def consolidate(self, *, full: bool = False) -> None:
        """Recomputes the index's centroids; `full` also merges, splits and
        prunes documents, after dropping forgotten turns from the index."""
        self._log.consolidate(full=full)

    @guarded
    def checkpoint(self) -> None:
        """Stores a snapshot of the user's index now (reopening then replays nothing)."""
        self._log.checkpoint()

    # -- reading ---------------------------------------------------------------

    def _query_vector(self, query: str, embedding: Any) -> FloatMatrix:
        if embedding is not None:
            return as_vector(embedding, self._dimension, "query embedding")
        embedder = self._embedder
        if embedder is None:
            raise self._no_embedder("the query's embedding")
        embedded = as_matrix(
            embed_queries(embedder, [query]), 1, self._dimension, "query embedding"
        )
        vector: FloatMatrix = embedded[0]
        return vector

    def _no_embedder(self, instead: str) -> InvalidInputError:
        """The refusal of a call that needs the embedder this memory was
        opened without; it names the model the stored turns were embedded
        with, as the database records it."""
        built = self._logs.store.read_settings().get("embedder")
        if built is None or built == PRECOMPUTED_EMBEDDINGS:
            return InvalidInputError(f"this memory has no embedder: pass {instead}")
        return InvalidInputError(
            f"this memory was opened without an embedder, but its turns were embedded with "
            f"{built!r}: open it with that model, or pass {instead}"
        )

    def _check_session(self, session: object) -> str:
        session_id = parse_id(session, "session id")
        if not self._log.sessions([session_id]):
            raise UnknownIdError(f"no session {session_id} for user {self._name!r}")
        return session_id

    @guarded
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
        filter: Mapping[str, Any] | None = None,
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
        `candidates` is the depth of each ranking (default max(4k, 40)).
        `filter` keeps the turns it matches, a JSON object over their
        metadata keys and own fields (role, session, created_at), e.g.
        {"source": "email", "year": {"$gte": 2020}} (contract/filters.py):
        the hits are the best k among the matching turns."""
        mode = mode_argument(mode)
        k = k_argument(k)
        if not isinstance(query, str):
            raise InvalidInputError("query must be a string")
        if not (mode == "vector" and embedding is not None):
            text_argument(query, "query")
        params = ranking.Params(
            mode=mode,
            k=k,
            recency=recency_argument(recency),
            recency_decay=factor_argument(recency_decay, "recency_decay"),
            weights=ranking.weights(
                fusion, fusion_k, vector_weight, lexical_weight, neighbour_weight
            ),
            candidates=None if candidates is None else count_argument(candidates, "candidates", 1),
            span=ranking.span(since, until),
            where=parse_filter(filter),
        )
        session_id = None if session is None else self._check_session(session)
        vector = None if mode == "lexical" else self._query_vector(query, embedding)
        if k == 0:
            return []
        with self._log.reading():
            return ranking.search(self._log, params, query, vector, session_id)

    @guarded
    def sessions(
        self,
        query: str | None = None,
        k: int | None = None,
        *,
        embedding: Any = None,
        filter: Mapping[str, Any] | None = None,
    ) -> list[SessionInfo]:
        """The user's sessions: newest first, or with a query (or an embedding)
        the k that best answer it, best first.

        A session is ranked by its best-matching turns: the mean of its best
        two fused scores (scaled to [0, 1]) among a hybrid search's candidates
        (the index's nearest turns and the lexical matches, not every turn);
        its score is that mean. Sessions none of whose turns is a candidate
        follow when k asks for more, by the cosine to the mean direction of
        their turns, with score None. `filter` (as `search`'s) keeps the
        sessions with a matching turn, ranked by their matching turns."""
        if k is not None:
            k = k_argument(k)
        where = parse_filter(filter)
        if query is None and embedding is None:
            records = self._log.sessions()
            if where is not None:
                matching = self._log.matching_sessions(where)
                records = [record for record in records if record.id in matching]
            return [session_info(record) for record in (records if k is None else records[:k])]
        if embedding is None:
            text_argument(query, "query")
        vector = self._query_vector(query or "", embedding)
        if k == 0:
            return []
        with self._log.reading():
            return ranking.sessions(self._log, query, vector, k, where)

    @guarded
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

    @guarded
    def taken_ids(self, ids: str | Iterable[str]) -> list[str]:
        """Which of `ids` a new turn of this user cannot have: the ids of the
        user's turns, live or forgotten (an id is never reused)."""
        return self._log.taken_ids(ids_argument(ids, "turn id"))

    @guarded
    def embeddings(self, ids: str | Iterable[str]) -> dict[str, FloatMatrix]:
        """The stored embeddings of these live turns (unknown ids are left out)."""
        wanted = ids_argument(ids, "turn id")
        found = self._log.turns(By.ID, wanted, embeddings=True).turns
        return {turn.id: np.frombuffer(turn.embedding or b"", dtype="<f4").copy() for turn in found}

    @guarded
    def turns(self, *, session: str | None = None) -> Iterator[Turn]:
        """Every live turn in the order it was added, or with `session` those
        of that session of the user's (read at the call; an unknown session
        raises UnknownIdError)."""
        if session is None:
            found = self._log.turns(By.ALL)
        else:
            found = self._log.turns(By.SESSION, [self._check_session(session)])
        return iter([stored_to_turn(stored) for stored in found.turns])

    @guarded
    def stats(self) -> MemoryStats:
        with self._log.reading():
            points = self._log.synced().points
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
            index_points=points,
            dimension=self._dimension,
        )
