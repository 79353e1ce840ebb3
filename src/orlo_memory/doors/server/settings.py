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
DEFAULT_HEADER_TIMEOUT = 10.0
DEFAULT_BODY_TIMEOUT = 60.0
DEFAULT_KEEP_ALIVE = 5
DEFAULT_MAX_CONNECTIONS = 1000
DEFAULT_LOCK_WAIT = 5.0


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
    # Host names besides the listening address that requests may carry (a
    # reverse proxy's), and the origins of state-changing requests.
    allowed_hosts: tuple[str, ...] = ()
    header_timeout: float = DEFAULT_HEADER_TIMEOUT  # seconds for a request's head to arrive
    body_timeout: float = DEFAULT_BODY_TIMEOUT  # seconds for a request's whole body
    keep_alive: int = DEFAULT_KEEP_ALIVE  # seconds an idle connection stays open
    max_connections: int = DEFAULT_MAX_CONNECTIONS  # open at once; idle ones give way first
    # Seconds a request waits for the database (a connection, a user's write
    # lock) before it is answered 503 with Retry-After.
    lock_wait: float = DEFAULT_LOCK_WAIT

    def to_environment(self) -> None:
        os.environ[ENVIRONMENT_VARIABLE] = json.dumps(asdict(self))

    @classmethod
    def from_environment(cls) -> ServerSettings:
        fields = json.loads(os.environ[ENVIRONMENT_VARIABLE])
        fields["allowed_hosts"] = tuple(fields.get("allowed_hosts", ()))  # JSON has no tuples
        return cls(**fields)
