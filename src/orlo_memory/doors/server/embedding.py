"""Embedding in the servers: outside the memory's locks, one model call at a time.

The turns of a request that carry no embedding are embedded here, in the
request's worker thread, before the library is called: the seconds a large
batch takes to embed then hold no lock that other requests wait on (the
library only checks and stores the vectors). The model runs one call at a
time (`SerialEmbedder`: a tokenizer is not safe to share between threads),
in chunks of `CHUNK` texts, so a long batch lets other requests' short
embeddings (a query) in between its chunks.
"""

from __future__ import annotations

import dataclasses
import threading
from collections.abc import Sequence
from typing import Any

import numpy as np

from ...contract.turns import NewTurn
from ...embedders import Embedder, FloatMatrix, as_matrix

CHUNK = 64


class SerialEmbedder:
    """`inner` called by one thread at a time, `CHUNK` texts per call; every
    other attribute (a query side, prompts) is the inner embedder's."""

    def __init__(self, inner: Embedder) -> None:
        self._inner = inner
        self._lock = threading.Lock()

    @property
    def dimension(self) -> int:
        return self._inner.dimension

    @property
    def name(self) -> str:
        return self._inner.name

    def embed(self, texts: Sequence[str]) -> FloatMatrix:
        return self._chunked(self._inner.embed, texts)

    def embed_query(self, texts: Sequence[str]) -> FloatMatrix:
        """The inner embedder's query side, or its `embed` when it has none."""
        side = getattr(self._inner, "embed_query", None)
        return self._chunked(side if callable(side) else self._inner.embed, texts)

    def _chunked(self, embed: Any, texts: Sequence[str]) -> FloatMatrix:
        texts = list(texts)
        parts = []
        for start in range(0, len(texts), CHUNK):
            chunk = texts[start : start + CHUNK]
            with self._lock:
                vectors = embed(chunk)
            parts.append(as_matrix(vectors, len(chunk), self.dimension, "embeddings"))
        if not parts:
            return np.zeros((0, self.dimension), dtype=np.float32)
        return parts[0] if len(parts) == 1 else np.concatenate(parts)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._inner, name)


def embedded(turns: Sequence[NewTurn], embedder: Embedder | None) -> list[NewTurn]:
    """`turns`, each with an embedding: the model's for those without one
    (their values checked already: `turns.check_turns`); without an
    embedder the turns are returned as they are, for the library to refuse."""
    missing = [number for number, turn in enumerate(turns) if turn.embedding is None]
    if not missing or embedder is None:
        return list(turns)
    vectors = embedder.embed([turns[number].text for number in missing])
    rows = as_matrix(vectors, len(missing), embedder.dimension, "embeddings")
    done = list(turns)
    for number, row in zip(missing, rows, strict=True):
        done[number] = dataclasses.replace(turns[number], embedding=row)
    return done
