"""Who may reach which user's memory: bearer tokens and the loopback rule.

A token reads `om_<id>_<secret>`: the id finds its row, the secret is checked
against the stored SHA-256 in constant time, so a stolen database yields no
usable token. A server with no tokens in its store is open, and only on a
loopback address; once a token exists every request needs one.
"""

from __future__ import annotations

import hashlib
import hmac
import ipaddress
import re
import secrets
import threading
from collections.abc import Iterable
from dataclasses import dataclass

from ...errors import InvalidInputError
from ...stores import open_store
from ...stores.tokens import TokenRecord, TokenStore

TOKEN_PREFIX = "om_"
_TOKEN = re.compile(r"om_([0-9a-f]{12})_([A-Za-z0-9_-]{43})")


# Where a caller without a valid token gets one (the path of the memory is the
# server's own business: the caller is not told it).
HOW_TO_GET = "the memory's owner creates one with 'orlo-memory token create DB --user NAME'"


class Unauthorized(Exception):
    """No credentials, or credentials that name no token (HTTP 401)."""


@dataclass(frozen=True, slots=True)
class Principal:
    """A caller: the users it may reach (None: every user)."""

    token_id: str | None  # None: an open server without tokens
    users: frozenset[str] | None

    def allows(self, user: str) -> bool:
        return self.users is None or user in self.users

    def visible(self, names: Iterable[str]) -> list[str]:
        return [name for name in names if self.allows(name)]


EVERYONE = Principal(None, None)


def _digest(secret: str) -> str:
    return hashlib.sha256(secret.encode("ascii")).hexdigest()


def issue_token(
    store: TokenStore, name: str, users: Iterable[str] | None, now_us: int
) -> tuple[str, TokenRecord]:
    """Makes and stores a token; returns its text (to show once) and its record."""
    if not name.strip():
        raise InvalidInputError("a token needs a non-empty name")
    allowed = None if users is None else tuple(dict.fromkeys(users))
    if allowed is not None and (not allowed or not all(u and "\0" not in u for u in allowed)):
        raise InvalidInputError("a token needs at least one user name (or --admin)")
    token_id = secrets.token_hex(6)
    secret = secrets.token_urlsafe(32)
    record = TokenRecord(token_id, name, _digest(secret), allowed, now_us)
    store.add_token(record)
    return f"{TOKEN_PREFIX}{token_id}_{secret}", record


def open_token_store(location: str, *, wait: float = 60.0) -> TokenStore:
    """The token table of the memory at `location` (a SQLite file or a
    PostgreSQL URL), on a connection of its own that waits at most `wait`
    seconds for the database."""
    return open_store(location, busy_timeout=wait)


def is_loopback(host: str) -> bool:
    """Whether listening on `host` keeps the server on this machine."""
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return False


class Access:
    """Checks callers against the token store (thread-safe).

    `open_without_tokens`: whether a store without any token lets every caller
    in (the loopback rule; a server on another address passes False)."""

    def __init__(self, store: TokenStore, *, open_without_tokens: bool) -> None:
        self._store = store
        self._open = open_without_tokens
        self._lock = threading.Lock()

    def authenticate(self, authorization: str | None) -> Principal:
        """The caller behind an Authorization header value; raises Unauthorized."""
        if not authorization:
            with self._lock:
                required = not self._open or self._store.has_tokens()
            if required:
                raise Unauthorized(
                    f"this server needs a bearer token (Authorization: Bearer ...): {HOW_TO_GET}"
                )
            return EVERYONE
        scheme, _, credentials = authorization.partition(" ")
        match = _TOKEN.fullmatch(credentials.strip())
        if scheme.lower() != "bearer" or match is None:
            raise Unauthorized("malformed credentials: expected 'Authorization: Bearer om_...'")
        with self._lock:
            record = self._store.find_token(match.group(1))
        # Compared even for an unknown id, so that timing does not tell ids apart.
        stored = record.digest if record is not None else "0" * 64
        if not hmac.compare_digest(_digest(match.group(2)), stored) or record is None:
            raise Unauthorized(f"unknown or revoked token: {HOW_TO_GET}")
        return Principal(record.id, None if record.users is None else frozenset(record.users))

    def probe(self) -> None:
        """Reads the token table: raises the store's error (StoreError) when
        the database does not answer. The health check's probe."""
        with self._lock:
            self._store.has_tokens()

    def close(self) -> None:
        with self._lock:
            self._store.close()
