"""Opening the memory a server serves, with the model its settings name."""

from __future__ import annotations

from ...core.memory import Memory
from ..models import open_model
from .settings import ServerSettings


def open_memory(settings: ServerSettings) -> Memory:
    embedder = open_model(
        settings.model, settings.precomputed, otherwise="serve with --precomputed"
    )
    return Memory.open(settings.location, embedder=embedder, dimension=settings.dimension)
