"""A conversation memory that keeps texts with their vectors, on the orlo_kiv index.

`Memory.open(path, embedder=...)` opens a SQLite file, or a PostgreSQL
database for a "postgresql://" URL; `memory.user(name)`
gives a `UserMemory` with add, add_many, new_session, new_topic, search,
sessions, get, forget and consolidate; `AsyncMemory` offers the same calls
as coroutines for asyncio programs.
"""

from .contract.results import Hit, MemoryStats, SessionInfo, Turn
from .contract.turns import NewTurn
from .core.async_memory import AsyncMemory, AsyncUserMemory
from .core.fusion import (
    DEFAULT_FUSION_K,
    DEFAULT_LEXICAL_WEIGHT,
    DEFAULT_NEIGHBOUR_WEIGHT,
    DEFAULT_VECTOR_WEIGHT,
)
from .core.memory import Memory
from .core.user import DEFAULT_RECENCY_DECAY, UserMemory
from .doors.jsonl import export_jsonl, import_jsonl, read_turns
from .embedders import (
    CallableEmbedder,
    Embedder,
    OnnxEmbedder,
    OpenAIEmbedder,
    Prompts,
    SentenceTransformerEmbedder,
    open_embedder,
)
from .errors import (
    ClosedError,
    DimensionMismatchError,
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    SettingsMismatchError,
    StoreError,
    StoreUnavailableError,
    UnknownIdError,
)
from .stores import Store, open_store
from .stores.sqlite import SqliteStore

__all__ = [
    "DEFAULT_FUSION_K",
    "DEFAULT_LEXICAL_WEIGHT",
    "DEFAULT_NEIGHBOUR_WEIGHT",
    "DEFAULT_RECENCY_DECAY",
    "DEFAULT_VECTOR_WEIGHT",
    "AsyncMemory",
    "AsyncUserMemory",
    "CallableEmbedder",
    "ClosedError",
    "DimensionMismatchError",
    "DuplicateIdError",
    "Embedder",
    "Hit",
    "InvalidInputError",
    "Memory",
    "MemoryStats",
    "NewTurn",
    "OnnxEmbedder",
    "OpenAIEmbedder",
    "OrloMemoryError",
    "Prompts",
    "SentenceTransformerEmbedder",
    "SessionInfo",
    "SettingsMismatchError",
    "SqliteStore",
    "Store",
    "StoreError",
    "StoreUnavailableError",
    "Turn",
    "UnknownIdError",
    "UserMemory",
    "export_jsonl",
    "import_jsonl",
    "open_embedder",
    "open_store",
    "read_turns",
]
