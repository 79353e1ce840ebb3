"""The embedder protocol, its query side, and the checks of what embedders return.

An embedder turns texts into one float32 row per text. `embed` embeds the
texts a memory stores; an embedder whose model reads queries differently
(a "query: " prompt, an instruction) also has `embed_query` and says what it
does on each side in `prompts`, which the memory records beside the model's
name. The memory checks every matrix an embedder returns (shape, finiteness)
before it stores anything.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

from ..contract.values import count_argument
from ..errors import DimensionMismatchError, InvalidInputError, OrloMemoryError

FloatMatrix = npt.NDArray[np.float32]


class MissingExtraError(OrloMemoryError, ImportError):
    """An optional package an embedder needs is not installed; the message
    names the extra and the pip command that installs it."""


class UnsupportedModelError(OrloMemoryError):
    """A model directory holds something this runtime cannot run."""


class EmbeddingServerError(OrloMemoryError):
    """An embedding server could not be reached or gave an unusable answer."""


@runtime_checkable
class Embedder(Protocol):
    """Turns texts into a float32 array of shape (len(texts), dimension).

    `embed` embeds the texts the memory stores, and also queries unless the
    embedder has an `embed_query` method (see `QueryEmbedder`)."""

    @property
    def dimension(self) -> int: ...

    @property
    def name(self) -> str:
        """Identifies the model; the database refuses a different one."""
        ...

    def embed(self, texts: Sequence[str]) -> FloatMatrix: ...


@dataclass(frozen=True, slots=True)
class Prompts:
    """What an embedder puts before a query and before a stored text. Both
    empty: the model reads both sides alike."""

    query: str = ""
    document: str = ""

    def describe(self) -> str:
        if self == Prompts():
            return "no prompts"
        return f"query prompt {self.query!r} and document prompt {self.document!r}"

    def to_setting(self) -> str:
        """The form the memory stores, one JSON object."""
        return json.dumps({"query": self.query, "document": self.document}, ensure_ascii=False)

    @classmethod
    def from_setting(cls, text: str | None) -> Prompts:
        """The stored form back; a memory from before prompts were recorded has none."""
        if text is None:
            return cls()
        values = json.loads(text)
        return cls(str(values.get("query", "")), str(values.get("document", "")))


@runtime_checkable
class QueryEmbedder(Embedder, Protocol):
    """An embedder that embeds a query differently from a stored text."""

    @property
    def prompts(self) -> Prompts:
        """What each side adds; the memory records it and refuses an
        embedder whose prompts differ from the recorded ones."""
        ...

    def embed_query(self, texts: Sequence[str]) -> FloatMatrix: ...


def embed_queries(embedder: Embedder, texts: Sequence[str]) -> Any:
    """The query side of `embedder`: `embed_query` where it has one, else
    `embed` (unchecked: the caller checks what comes back with as_matrix)."""
    embed_query = getattr(embedder, "embed_query", None)
    return embed_query(texts) if callable(embed_query) else embedder.embed(texts)


def prompts_of(embedder: Embedder | None) -> Prompts:
    """The prompts `embedder` records; none for a symmetric embedder or none."""
    prompts = getattr(embedder, "prompts", None)
    return prompts if isinstance(prompts, Prompts) else Prompts()


def with_prompt(prompt: str, texts: Sequence[str]) -> list[str]:
    return [prompt + text for text in texts] if prompt else list(texts)


_FLOAT32 = np.dtype(np.float32)
# The index and the session sums normalise rows in float32: a row whose
# squared norm overflows float32 would turn into zeros or NaNs there and spoil
# the centroids of the containers holding it. Half the float32 maximum leaves
# room for any order of summation (a norm up to about 1.3e19 passes).
MAX_SQUARED_NORM = float(np.finfo(np.float32).max) / 2


def _squared_norm(vector: FloatMatrix) -> float:
    """In float64, where squares of float32 values cannot overflow."""
    wide = vector.astype(np.float64)
    return float(np.dot(wide, wide))


def _refuse_unusable(squared: Any, values: FloatMatrix, what: str) -> None:
    """Raises InvalidInputError unless every squared norm (one per row of
    `values`) is at most MAX_SQUARED_NORM; NaN or infinite components give
    NaN or infinite squared norms, so they fail the same test."""
    if np.all(squared <= MAX_SQUARED_NORM):
        return
    if not np.isfinite(values).all():
        raise InvalidInputError(f"{what} contain NaN or infinite values")
    raise InvalidInputError(
        f"{what} have a norm too large to normalise in float32 (the limit is about 1.3e19)"
    )


def as_vector(values: Any, dimension: int, what: str) -> FloatMatrix:
    """`values` as one float32 row of length `dimension` (see `as_matrix`
    for the errors)."""
    if (
        type(values) is np.ndarray
        and values.dtype is _FLOAT32
        and values.ndim == 1
        and values.size == dimension
    ):
        # The common query case, checked without views (a query is only
        # read, so it need not be contiguous).
        _refuse_unusable(_squared_norm(values), values, what)
        return values
    vector: FloatMatrix = as_matrix(values, 1, dimension, what)[0]
    return vector


def as_matrix(values: Any, rows: int, dimension: int, what: str) -> FloatMatrix:
    """`values` as a C-contiguous float32 matrix of shape (rows, dimension).

    Raises DimensionMismatchError for a wrong row length and InvalidInputError for
    a wrong row count, a non-numeric value, a non-finite component or a row
    whose norm float32 cannot hold (MAX_SQUARED_NORM)."""
    if (
        type(values) is np.ndarray
        and values.dtype == np.float32
        and values.shape == (dimension,)
        and rows == 1
        and values.flags.c_contiguous
    ):
        # The common query case, checked without copies of it.
        _refuse_unusable(_squared_norm(values), values, what)
        return values.reshape(1, dimension)
    try:
        matrix = np.ascontiguousarray(values, dtype=np.float32)
    except (TypeError, ValueError, OverflowError) as error:
        raise InvalidInputError(f"{what} must be numbers: {error}") from None
    if matrix.ndim == 1 and rows == 1:
        matrix = matrix.reshape(1, -1)
    if matrix.ndim != 2 or matrix.shape[0] != rows:
        raise InvalidInputError(
            f"{what} must have shape ({rows}, {dimension}), got {tuple(matrix.shape)}"
        )
    if matrix.shape[1] != dimension:
        raise DimensionMismatchError(
            f"{what} have {matrix.shape[1]} dimensions, the memory has {dimension}"
        )
    with np.errstate(over="ignore", invalid="ignore"):  # an overflow is what is checked
        squared = np.einsum("ij,ij->i", matrix, matrix)
    _refuse_unusable(squared, matrix, what)
    return matrix


class CallableEmbedder:
    """Adapts `function(texts) -> array-like (n, dimension)`, e.g. a call to an
    embedding service, optionally in batches of `batch_size` texts."""

    def __init__(
        self,
        function: Callable[[list[str]], Any],
        dimension: int,
        *,
        name: str = "callable",
        batch_size: int | None = None,
    ) -> None:
        self._function = function
        self._dimension = count_argument(dimension, "dimension", 1)
        self._name = name
        self._batch_size = (
            None if batch_size is None else count_argument(batch_size, "batch_size", 1)
        )

    @property
    def dimension(self) -> int:
        return self._dimension

    @property
    def name(self) -> str:
        return self._name

    def embed(self, texts: Sequence[str]) -> FloatMatrix:
        texts = list(texts)
        step = self._batch_size or max(len(texts), 1)
        parts = [
            as_matrix(
                self._function(texts[start : start + step]),
                len(texts[start : start + step]),
                self._dimension,
                "embeddings",
            )
            for start in range(0, len(texts), step)
        ]
        if not parts:
            return np.zeros((0, self._dimension), dtype=np.float32)
        return parts[0] if len(parts) == 1 else np.concatenate(parts)
