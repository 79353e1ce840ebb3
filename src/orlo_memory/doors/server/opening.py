"""Opening the memory a server serves, with the model its settings name."""

from __future__ import annotations

from ...core.memory import Memory
from ..models import open_model
from .embedding import SerialEmbedder
from .settings import ServerSettings


def open_memory(settings: ServerSettings) -> Memory:
    """The memory at `settings.location`; its waits for the database end after
    `settings.lock_wait` seconds (StoreUnavailableError: 503 with Retry-After)
    and its model is called by one thread at a time."""
    model = open_model(
        settings.model,
        settings.precomputed,
        embed_url=settings.embed_url,
        embed_model=settings.embed_model,
        otherwise="serve with --precomputed",
    )
    embedder = None if model is None else SerialEmbedder(model)
    return Memory.open(
        settings.location,
        embedder=embedder,
        dimension=settings.dimension,
        busy_timeout=settings.lock_wait,
    )
