"""A LangChain vector store over one user's conversation memory.

`OrloVectorStore(embedding, memory=":memory:", user="default")` keeps
LangChain documents as turns of one user of an orlo_memory `Memory` (a SQLite
path, ":memory:" for a throw-away store, a "postgresql://" URL, or an open
`Memory`), embedding them with the LangChain `Embeddings` given. `OrloEmbeddings`
adapts an orlo_memory `Embedder` (e.g. the packaged MiniLM model) to LangChain.
Needs the `langchain` extra (`langchain-core`); `import orlo_memory` does not
import this module.

Ids. A LangChain id is any string; a turn id is 128 bits, and a turn's id stays
taken after the turn is forgotten. So the document with id X is stored as a
turn with a new random id whose alias is X (a column the store indexes), with
X also kept in the turn's metadata under "langchain_id" (removed from every
Document returned, so ids and metadata come back exactly as given). Adding X
again stores a new turn and forgets the old one in the same transaction,
which looks X up under the user's write lock: the replacement is atomic, and a
failed add leaves the old document in place. Turns written through
orlo_memory directly (no alias) answer to their turn id, and appear with it as
the Document id.

Searches take these keyword arguments (also through `as_retriever(search_kwargs=
...)`): `session` (one of the user's session ids: search that session only),
`mode` ("vector", the default unless `search_mode` says otherwise; "hybrid" or
"lexical", orlo_memory's fusion with full-text search) and `recency` (see
`UserMemory.search`) and `filter`, a metadata filter in the dict form LangChain's
stores share (`{"source": "email", "year": {"$gte": 2020}}`; `$eq`, `$ne`, `$in`,
`$nin`, `$gt`, `$gte`, `$lt`, `$lte`, `$exists`, `$between`, combined with `$and`,
`$or` and `$not`), mapped onto the memory's filter language: every key is a
key of the documents' metadata (so "role" is a document's own key, not the
turn's role), and `$between: [low, high]` is `$gte` low and `$lte` high. The
search returns the best k among the matching documents.
"""

from __future__ import annotations

import os
import uuid
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Self

try:
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import VectorStore
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        f"orlo_memory.doors.langchain needs the langchain extra ({error.name or 'langchain_core'}"
        " is missing): pip install 'orlo_kiv[langchain]'"
    ) from error

import numpy as np

from ..contract.filters import MAX_FILTER_DEPTH, METADATA_PREFIX
from ..contract.results import Hit
from ..contract.turns import NewTurn
from ..contract.values import MODES, count_argument, optional_text_argument, real_argument, storable
from ..core.aliases import AliasedUserMemory
from ..core.memory import Memory
from ..core.user import UserMemory
from ..embedders import Embedder, embed_queries
from ..stores import open_store

__all__ = ["ID_KEY", "OrloEmbeddings", "OrloVectorStore"]

ID_KEY = "langchain_id"
# An id is indexed (as the turn's alias): PostgreSQL's index entries hold at
# most 2,704 bytes, so longer ids are refused on every backend alike.
MAX_ID_BYTES = 2000
DEFAULT_USER = "default"


class OrloEmbeddings(Embeddings):
    """LangChain `Embeddings` over an orlo_memory `Embedder`, e.g.
    `OrloEmbeddings(SentenceTransformerEmbedder.packaged())`."""

    def __init__(self, embedder: Embedder) -> None:
        if not isinstance(embedder, Embedder):
            raise TypeError("embedder must provide dimension, name and embed()")
        self.embedder = embedder

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        if not texts:
            return []
        rows: list[list[float]] = self.embedder.embed(texts).tolist()
        return rows

    def embed_query(self, text: str) -> list[float]:
        # The embedder's query side (its query prompt), not the stored texts' one.
        row: list[float] = np.asarray(embed_queries(self.embedder, [text]))[0].tolist()
        return row


@dataclass(frozen=True, slots=True)
class _Options:
    session: str | None
    mode: str
    recency: float
    where: dict[str, Any] | None = None


class OrloVectorStore(VectorStore):
    """LangChain documents as the turns of one user of an orlo_memory `Memory`.

    `memory` is a SQLite path (":memory:" by default: a throw-away store), a
    "postgresql://" URL, or an open `Memory`, which the caller keeps and
    closes; a path or URL is opened here and closed by `close()`. A new
    database takes its dimension from `dimension`, else from one embedded
    probe text. New documents go into the user's current session
    (`store.user.new_session()` starts another).
    `similarity_search_with_score` gives, best first, the cosine similarity
    (-1 to 1) in vector mode, and in hybrid or lexical mode the fused (or
    bm25) score scaled to 0..1 over the search's candidates (1: the best);
    relevance scores are these clipped to 0..1.
    """

    def __init__(
        self,
        embedding: Embeddings,
        memory: Memory | str | os.PathLike[str] = ":memory:",
        *,
        user: str = DEFAULT_USER,
        dimension: int | None = None,
        search_mode: str = "vector",
    ) -> None:
        if search_mode not in MODES:
            raise ValueError(f"search_mode must be one of {', '.join(MODES)}, got {search_mode!r}")
        self._embedding = embedding
        self._search_mode = search_mode
        if isinstance(memory, Memory):
            self._memory, self._owns_memory = memory, False
        else:
            self._memory, self._owns_memory = _open(os.fspath(memory), embedding, dimension), True
        try:
            self._user = AliasedUserMemory.of(self._memory.user(user))
        except BaseException:
            self.close()
            raise

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def memory(self) -> Memory:
        return self._memory

    @property
    def user(self) -> UserMemory:
        """The user's memory, for what LangChain has no call for: sessions,
        topics, consolidation, statistics."""
        return self._user

    def close(self) -> None:
        """Closes the memory when this store opened it (harmless twice)."""
        if self._owns_memory:
            self._memory.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- writing --------------------------------------------------------------

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and stores `texts` in one transaction; returns their ids.

        An id that names a stored document replaces it (same transaction). A
        missing or empty id gets a new UUID. Raises ValueError, storing
        nothing, when the metadatas or ids do not match the texts in number,
        an id repeats, a text is empty or metadata is not a JSON object."""
        role = kwargs.pop("role", "user")
        _no_more_options(kwargs)
        texts = list(texts)
        # As in LangChain, an empty list of metadatas or ids stands for none.
        if metadatas and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")
        given: list[str | None] = list(ids) if ids else [None] * len(texts)
        keys = [_key(key) or str(uuid.uuid4()) for key in given]
        if len(set(keys)) != len(keys):
            raise ValueError("the same id is given to several texts")
        for text in texts:
            if not isinstance(text, str) or not text.strip():
                raise ValueError("texts must be non-empty strings")
        bodies = [_metadata(metadatas[row] if metadatas else None) for row in range(len(texts))]
        if not texts:
            return []
        vectors = self._embedding.embed_documents(texts)
        turns = [
            NewTurn(text, role=role, metadata={**body, ID_KEY: key})
            for text, body, key in zip(texts, bodies, keys, strict=True)
        ]
        self._user.add_aliased(turns, keys, embeddings=vectors, role=role)
        return keys

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool:
        """Forgets the documents with these ids in one transaction. Ids that
        name no stored document are ignored; returns True when every id named
        one. `ids=None` (delete everything) is refused with ValueError."""
        _no_more_options(kwargs)
        if ids is None:
            raise ValueError("delete needs the ids of the documents to forget")
        keys = list(dict.fromkeys(_checked_key(given) for given in ids))
        return self._user.forget_aliased(keys) == len(keys)

    # -- reading --------------------------------------------------------------

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents among `ids`, in the order given; unknown and
        repeated ids are left out."""
        keys = list(dict.fromkeys(_checked_key(given) for given in ids))
        live = self._user.get_aliased(keys)
        return [
            _document(live[key].id, live[key].text, live[key].metadata)
            for key in keys
            if key in live
        ]

    def _search(
        self, query: str, vector: list[float] | None, k: int, options: _Options
    ) -> list[Hit]:
        return self._user.search(
            query,
            k,
            session=options.session,
            mode=options.mode,
            embedding=vector,
            recency=options.recency,
            filter=options.where,
        )

    def _options(self, kwargs: dict[str, Any], *, by_vector: bool = False) -> _Options:
        options = dict(kwargs)
        session = options.pop("session", None)
        mode = options.pop("mode", "vector" if by_vector else self._search_mode)
        recency = real_argument(options.pop("recency", 0.0), "recency", 0.0, 1.0)
        where = _filter(options.pop("filter", None))
        _no_more_options(options)
        if by_vector and mode != "vector":
            raise ValueError("a search by vector has no text: mode must be 'vector'")
        if mode not in MODES:
            raise ValueError(f"mode must be one of {', '.join(MODES)}, got {mode!r}")
        return _Options(session, mode, recency, where)

    def _query_vector(self, query: str, options: _Options) -> list[float] | None:
        return None if options.mode == "lexical" else self._embedding.embed_query(query)

    def similarity_search_with_score(
        self, query: str, k: int = 4, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The k documents nearest `query` with their scores, best first (see
        the class for what a score is)."""
        options = self._options(kwargs)
        hits = self._search(query, self._query_vector(query, options), k, options)
        return [(_document(hit.id, hit.text, hit.metadata), hit.score) for hit in hits]

    def similarity_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        return [document for document, _ in self.similarity_search_with_score(query, k, **kwargs)]

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, **kwargs: Any
    ) -> list[Document]:
        hits = self._search("", embedding, k, self._options(kwargs, by_vector=True))
        return [_document(hit.id, hit.text, hit.metadata) for hit in hits]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return _clip

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, **kwargs
        )

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        **kwargs: Any,
    ) -> list[Document]:
        """k of the `fetch_k` documents nearest `embedding`, chosen one by one
        for similarity to it minus similarity to those already chosen."""
        options = self._options(kwargs, by_vector=True)
        k = count_argument(k, "k")
        fetch_k = count_argument(fetch_k, "fetch_k")
        lambda_mult = real_argument(lambda_mult, "lambda_mult", 0.0, 1.0)
        hits = self._search("", embedding, max(fetch_k, k), options)
        stored = self._user.embeddings([hit.id for hit in hits])
        hits = [hit for hit in hits if hit.id in stored]  # forgotten meanwhile
        if not hits:
            return []
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32),
            [stored[hit.id].tolist() for hit in hits],
            lambda_mult=lambda_mult,
            k=k,
        )
        return [_document(hits[i].id, hits[i].text, hits[i].metadata) for i in chosen]

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        memory: Memory | str | os.PathLike[str] = ":memory:",
        user: str = DEFAULT_USER,
        dimension: int | None = None,
        search_mode: str = "vector",
        **kwargs: Any,
    ) -> Self:
        """A store (on ":memory:" unless `memory` says otherwise) holding `texts`."""
        store = cls(embedding, memory, user=user, dimension=dimension, search_mode=search_mode)
        try:
            store.add_texts(texts, metadatas, ids=ids, **kwargs)
        except BaseException:
            store.close()
            raise
        return store


def _open(path: str, embedding: Embeddings, dimension: int | None) -> Memory:
    """Opens a memory; a new one takes `dimension` or the length of a probe
    embedding. With an `OrloEmbeddings` the database records the model's name
    and refuses another model later."""
    embedder = embedding.embedder if isinstance(embedding, OrloEmbeddings) else None
    if embedder is not None or dimension is not None:
        return Memory.open(path, embedder=embedder, dimension=dimension)
    store = open_store(path)
    try:
        if "dimension" not in store.read_settings():
            dimension = len(embedding.embed_query("dimension probe"))
        return Memory(store, dimension=dimension)
    except BaseException:
        store.close()
        raise


def _key(given: object) -> str | None:
    """A document id to store (None: make one)."""
    if given is None or given == "":
        return None
    key = _checked_key(given)
    if len(key) > MAX_ID_BYTES // 4 and len(key.encode("utf-8")) > MAX_ID_BYTES:
        raise ValueError(f"ids must take at most {MAX_ID_BYTES:,} bytes in UTF-8")
    return key


def _checked_key(given: object) -> str:
    if not isinstance(given, str):
        raise ValueError(f"ids must be strings, got {type(given).__name__}")
    if not storable(given):
        optional_text_argument(given, "an id")  # raises, naming what is wrong
    return given


def _metadata(given: object) -> dict[str, Any]:
    if given is None:
        return {}
    if not isinstance(given, dict):
        raise ValueError(f"metadata must be a dict, got {type(given).__name__}")
    if ID_KEY in given:
        raise ValueError(f"metadata key {ID_KEY!r} is reserved for the document id")
    return given


def _document(turn_id: str, text: str, metadata: dict[str, Any]) -> Document:
    body = dict(metadata)
    key = body.get(ID_KEY)
    if isinstance(key, str):
        del body[ID_KEY]
        return Document(id=key, page_content=text, metadata=body)
    return Document(id=turn_id, page_content=text, metadata=body)


def _filter(given: object) -> dict[str, Any] | None:
    """A LangChain filter in the memory's language (checked by the memory)."""
    if given is None:
        return None
    if not isinstance(given, dict):
        raise ValueError(f"filter must be a dict, got {type(given).__name__}")
    return _mapped(given, MAX_FILTER_DEPTH + 1)


def _mapped(node: dict[Any, Any], depth: int) -> dict[Any, Any]:
    """`node` with its keys named as metadata keys and `$between` spelled
    out; nodes deeper than `depth` stay as they are (the memory refuses
    them as too deep)."""
    if depth <= 0:
        return node
    out: dict[Any, Any] = {}
    for key, value in node.items():
        if isinstance(key, str) and key.startswith("$"):
            if isinstance(value, list):
                value = [_mapped(v, depth - 1) if isinstance(v, dict) else v for v in value]
            elif isinstance(value, dict):
                value = _mapped(value, depth - 1)
            out[key] = value
            continue
        if isinstance(value, dict) and "$between" in value:
            value = dict(value)
            bounds = value.pop("$between")
            if not isinstance(bounds, list | tuple) or len(bounds) != 2:
                raise ValueError(f"filter: $between of {key!r} needs [low, high], got {bounds!r}")
            value.update({"$gte": bounds[0], "$lte": bounds[1]})
        out[f"{METADATA_PREFIX}{key}" if isinstance(key, str) else key] = value
    return out


def _no_more_options(options: dict[str, Any]) -> None:
    if options:
        raise TypeError(f"unexpected keyword argument {next(iter(options))!r}")


def _clip(score: float) -> float:
    return min(1.0, max(0.0, score))
