"""Opening the memory a server serves, with its embedding model."""

from __future__ import annotations

import os

from ..embedders import Embedder, MissingExtraError, open_embedder
from ..errors import OrloMemoryError
from ..memory import Memory
from .settings import ServerSettings


class NoModelError(OrloMemoryError):
    """The server was asked for a model that cannot be loaded."""


def load_embedder(settings: ServerSettings) -> Embedder | None:
    # The model libraries' own progress bars and notices would clutter the log.
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
    os.environ.setdefault("TRANSFORMERS_NO_ADVISORY_WARNINGS", "1")
    try:
        return open_embedder(
            settings.model,
            embed_url=settings.embed_url,
            embed_model=settings.embed_model,
            precomputed=settings.precomputed,
        )
    except MissingExtraError as error:
        raise NoModelError(
            f"no embedding model available: {error} (or serve with --precomputed)"
        ) from None


def open_memory(settings: ServerSettings) -> Memory:
    return Memory.open(
        settings.location, embedder=load_embedder(settings), dimension=settings.dimension
    )
