"""What a server process is told: where the memory is and how to serve it.

Settings travel to uvicorn's worker processes as JSON in an environment
variable, so every worker opens the same memory the same way.
"""

from __future__ import annotations

import json
import os
from dataclasses import asdict, dataclass

ENVIRONMENT_VARIABLE = "ORLO_MEMORY_SERVER_SETTINGS"
DEFAULT_MAX_BODY = 64 << 20
DEFAULT_MAX_BATCH = 5000


@dataclass(frozen=True, slots=True)
class ServerSettings:
    location: str  # a SQLite file or a PostgreSQL URL
    host: str = "127.0.0.1"
    port: int = 8765
    model: str | None = None  # a sentence-transformers directory; None: the packaged one
    embed_url: str | None = None  # an OpenAI-compatible embedding server instead
    embed_model: str | None = None  # the model that server serves
    precomputed: bool = False  # load no model: clients send embeddings
    dimension: int | None = None  # for a new memory without a model
    max_body: int = DEFAULT_MAX_BODY  # bytes per request body
    max_batch: int = DEFAULT_MAX_BATCH  # turns per batch, ids per forget
    user: str = "default"  # the MCP server's user when no token names one

    def to_environment(self) -> None:
        os.environ[ENVIRONMENT_VARIABLE] = json.dumps(asdict(self))

    @classmethod
    def from_environment(cls) -> ServerSettings:
        return cls(**json.loads(os.environ[ENVIRONMENT_VARIABLE]))
