"""The embedding model a door opens from its options: the one place where the
command line and the servers turn "--model DIR", "--embed-url URL
--embed-model NAME" and "--precomputed" into an embedder."""

from __future__ import annotations

import os

from ..embedders import Embedder, MissingExtraError, open_embedder
from ..errors import OrloMemoryError


class NoModelError(OrloMemoryError):
    """The embedding model the options name cannot be loaded."""


def open_model(
    model: str | None,
    precomputed: bool,
    *,
    embed_url: str | None = None,
    embed_model: str | None = None,
    otherwise: str = "",
) -> Embedder | None:
    """None with `precomputed` (the caller brings every embedding); else the
    embedder `open_embedder` opens for the options. NoModelError when its
    libraries are missing: one line naming the extra and the command that
    installs it, ending with `otherwise`, another way to go on, when given."""
    # The model libraries' own progress bars and notices would clutter the
    # command line's output and the servers' logs.
    os.environ.setdefault("HF_HUB_DISABLE_PROGRESS_BARS", "1")
    os.environ.setdefault("TRANSFORMERS_VERBOSITY", "error")
    os.environ.setdefault("TRANSFORMERS_NO_ADVISORY_WARNINGS", "1")
    try:
        return open_embedder(
            model, embed_url=embed_url, embed_model=embed_model, precomputed=precomputed
        )
    except MissingExtraError as error:
        ways = f"; or give --model DIR, or {otherwise}" if otherwise else "; or give --model DIR"
        raise NoModelError(f"no embedding model: {error}{ways}") from None
