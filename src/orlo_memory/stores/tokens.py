"""Bearer tokens of the memory's servers, as the stores keep them.

A token is stored as its public id, a label, the SHA-256 of its secret part
(the secret itself is shown once, when it is made, and never stored) and the
users it may reach (None: every user). Each backend keeps them in a
`tokens` table of its schema; `TokenStore` is the role a store plays for the
servers. Issuing and checking tokens lives in
`orlo_memory.doors.server.access`.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol


@dataclass(frozen=True, slots=True)
class TokenRecord:
    """One stored token: `digest` is the hex SHA-256 of its secret part."""

    id: str
    name: str
    digest: str
    users: tuple[str, ...] | None  # None: every user (an admin token)
    created_us: int


class TokenStore(Protocol):
    """The token table of a backend; each call is one transaction."""

    def add_token(self, token: TokenRecord) -> None:
        """Stores a new token (its id must be new)."""
        ...

    def find_token(self, token_id: str) -> TokenRecord | None: ...

    def list_tokens(self) -> list[TokenRecord]:
        """Every token, oldest first."""
        ...

    def remove_token(self, token_id: str) -> bool:
        """Deletes a token; False when no token has that id."""
        ...

    def has_tokens(self) -> bool: ...

    def close(self) -> None: ...
