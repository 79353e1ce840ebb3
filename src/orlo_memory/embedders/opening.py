"""`open_embedder`: the embedder a command line or a server was told to use."""

from __future__ import annotations

import importlib.util

from ..errors import InvalidInputError
from .base import Embedder, MissingExtraError, UnsupportedModelError
from .onnx_model import ONNX_INSTALL, OnnxEmbedder
from .openai_server import OpenAIEmbedder
from .torch_model import TORCH_INSTALL, SentenceTransformerEmbedder


def open_embedder(
    model: str | None = None,
    *,
    embed_url: str | None = None,
    embed_model: str | None = None,
    precomputed: bool = False,
) -> Embedder | None:
    """The embedder for the options --model DIR, --embed-url URL with
    --embed-model NAME, and --precomputed (at most one of the three):

    - `precomputed`: None, no model (callers give embeddings);
    - `embed_url`: the OpenAI-compatible server there, serving `embed_model`
      (its key from ORLO_MEMORY_EMBED_KEY; see OpenAIEmbedder);
    - `model`: that sentence-transformers directory on ONNX Runtime when it
      can run it (an ONNX export inside, or a BERT model), else on
      sentence-transformers;
    - nothing: the packaged all-MiniLM-L6-v2 on ONNX Runtime (or on
      sentence-transformers where only that is installed).

    Raises MissingExtraError (an ImportError) when what is needed is not
    installed, with the pip command in its one-line message."""
    chosen = [name for name, given in (("--model", model), ("--embed-url", embed_url)) if given]
    if precomputed:
        chosen.append("--precomputed")
    if len(chosen) > 1:
        raise InvalidInputError(f"give one of {' and '.join(chosen)}, not both")
    if embed_model is not None and embed_url is None:
        raise InvalidInputError("--embed-model names a server's model: give --embed-url too")
    if precomputed:
        return None
    if embed_url is not None:
        if not embed_model:
            raise InvalidInputError("--embed-url needs --embed-model, the model the server serves")
        return OpenAIEmbedder(embed_url, embed_model)
    if model is not None:
        return _directory(model)
    try:
        return OnnxEmbedder.packaged()
    except MissingExtraError:
        if importlib.util.find_spec("sentence_transformers") is None:
            raise
    return SentenceTransformerEmbedder.packaged()  # where only the torch path is installed


def _directory(path: str) -> Embedder:
    try:
        return OnnxEmbedder(path)
    except (UnsupportedModelError, MissingExtraError) as error:
        reason = error
    try:
        return SentenceTransformerEmbedder(path)
    except MissingExtraError:
        if isinstance(reason, MissingExtraError):
            raise MissingExtraError(
                f"no runtime for the model at {path!r}: {ONNX_INSTALL} (ONNX Runtime) "
                f"or {TORCH_INSTALL}"
            ) from None
        raise MissingExtraError(
            f"ONNX Runtime cannot run the model at {path!r} ({reason}); sentence-transformers "
            f"may: {TORCH_INSTALL}"
        ) from None
