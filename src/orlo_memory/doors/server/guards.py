"""Refusals before an application sees a request, and headers on every answer.

`Guards` wraps either server's ASGI app (the HTTP API, the MCP streamable-HTTP
app) and checks each request from its head alone, in this order:

- Host: the address the server listens on, in any of its spellings, or a
  name the operator configured (a reverse proxy's); else 421. A web page
  whose name was made to resolve to 127.0.0.1 (DNS rebinding) sends its own
  name as Host and so reaches nothing. A server listening beyond loopback
  needs tokens anyway, and a browser never attaches a bearer token on its
  own, so there any Host is accepted unless names are configured.
- Origin: a POST, PUT, PATCH or DELETE that carries an Origin must come from
  the server's own origin (or a configured name), else 403; and it may not
  use a content type an HTML form can send (415): a page on another site can
  neither script nor post a form into the memory.
- the path and query, percent-decoded, must be UTF-8 (400): otherwise
  distinct bytes would all turn into U+FFFD and name one user.
- a Content-Length over the body limit is refused (413) before any of the
  body is read.

Every response, the app's and these refusals alike, leaves with a strict
Content-Security-Policy (nothing inline, nothing from another origin, never
framed), nosniff and no referrer. `guard` composes these checks with the
bearer-token check and the bounded body read, in the order they must run.
"""

from __future__ import annotations

import ipaddress
from collections.abc import Collection, Iterable
from dataclasses import dataclass
from urllib.parse import unquote_to_bytes, urlsplit

from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .access import Access, is_loopback
from .bearer import RequireBearer
from .bodies import BodyGuard
from .refusals import refuse
from .settings import ServerSettings

Address = ipaddress.IPv4Address | ipaddress.IPv6Address

CHANGING = frozenset({"POST", "PUT", "PATCH", "DELETE"})
# What an HTML form can send without a script (and so without CORS).
FORM_TYPES = frozenset({"application/x-www-form-urlencoded", "multipart/form-data", "text/plain"})
CONTENT_SECURITY_POLICY = (
    "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none'; "
    "form-action 'self'; frame-ancestors 'none'"
)
SECURITY_HEADERS = (
    (b"content-security-policy", CONTENT_SECURITY_POLICY.encode("ascii")),
    (b"x-frame-options", b"DENY"),
    (b"x-content-type-options", b"nosniff"),
    (b"referrer-policy", b"no-referrer"),
    (b"cross-origin-resource-policy", b"same-origin"),
)
_DEFAULT_PORTS = {"http": 80, "https": 443}


def _address(text: str) -> Address | None:
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        return None
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


def split_host(value: str) -> tuple[str, int | None] | None:
    """A Host header value as (host, port): an IP address in its canonical
    spelling (`[0:0:0:0:0:0:0:1]` is `::1`) or a lower-case name without its
    trailing dot; None when it is not a host at all."""
    value = value.strip().lower()
    port: str | None = None
    if value.startswith("["):
        inside, bracket, rest = value[1:].partition("]")
        address = _address(inside) if bracket else None
        if address is None or (rest and not rest.startswith(":")):
            return None
        host, port = str(address), rest[1:] if rest else None
    else:
        host, colon, tail = value.rpartition(":")
        if not colon:
            host = value
        elif ":" in host:
            return None  # an IPv6 address needs brackets in a Host header
        else:
            port = tail
        address = _address(host)
        if address is not None:
            host = str(address)
        else:
            host = host.removesuffix(".")
            if not host or not all(part and _name_part(part) for part in host.split(".")):
                return None
    if port is not None and not (port.isdigit() and len(port) <= 5 and int(port) < 65536):
        return None
    return host, None if port is None else int(port)


def _name_part(label: str) -> bool:
    return label.isascii() and all(ch.isalnum() or ch in "-_" for ch in label)


@dataclass(frozen=True, slots=True)
class HostRule:
    """The Host values a server answers, and the origins it takes writes from.

    Ports are never compared for the Host: an SSH tunnel or a container's
    port mapping changes the port a client sees, and an attacker cannot
    choose the host part of a loopback address anyway."""

    names: frozenset[str]  # configured, as `split_host` spells them
    addresses: frozenset[Address]  # the listening address (both for "localhost")
    loopback: bool  # "localhost" is the listening address too
    any_host: bool  # listening beyond loopback and no names configured

    @classmethod
    def for_server(cls, host: str, allowed: Iterable[str] = ()) -> HostRule:
        """The rule of a server listening on `host` with the operator's
        `allowed` names (a reverse proxy's; a port written with one is ignored)."""
        names = set()
        for entry in allowed:
            parsed = split_host(entry)
            if parsed is None:
                raise ValueError(
                    f"allowed host {entry!r} is not a host name or address: "
                    "write a name such as memory.example.org"
                )
            names.add(parsed[0])
        addresses: set[Address] = set()
        bound = _address(host.strip("[]"))
        if bound is not None:
            addresses.add(bound)
        elif host.lower() == "localhost":
            addresses.update({ipaddress.IPv4Address("127.0.0.1"), ipaddress.IPv6Address("::1")})
        loopback = is_loopback(host)
        return cls(frozenset(names), frozenset(addresses), loopback, not loopback and not names)

    def allows(self, host: str, local: str | None = None) -> bool:
        """Whether a request with Host `host` (already split) is for this server;
        `local`: the address the connection arrived at."""
        if host in self.names or self.any_host:
            return True
        arrived = _address(local) if local is not None else None
        if host == "localhost":  # browsers resolve it to loopback only, never by DNS
            return self.loopback or (arrived is not None and arrived.is_loopback)
        address = _address(host)
        return address is not None and (address in self.addresses or address == arrived)

    def allows_origin(self, origin: str, host: tuple[str, int | None]) -> bool:
        """Whether a state-changing request from the page at `origin` may reach
        the server that the request's Host (`host`, split) names: only the
        server's own origin, or a configured name."""
        try:
            parts = urlsplit(origin)
            port = parts.port
        except ValueError:
            return False
        if parts.scheme not in _DEFAULT_PORTS or not parts.hostname or parts.path:
            return False
        own = split_host(parts.netloc)
        if own is None:
            return False
        if own[0] in self.names:
            return True
        default = _DEFAULT_PORTS[parts.scheme]
        return own[0] == host[0] and (port or default) == (host[1] or default)


def _headers(scope: Scope) -> dict[bytes, list[bytes]]:
    found: dict[bytes, list[bytes]] = {}
    for name, value in scope.get("headers") or ():
        found.setdefault(name.lower(), []).append(value)
    return found


def _utf8(raw: bytes) -> bool:
    try:
        unquote_to_bytes(raw).decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def with_security_headers(send: Send) -> Send:
    """`send` adding the security headers to a response that lacks them
    (a page that needs its own policy sets it, and keeps it)."""

    async def sending(message: Message) -> None:
        if message["type"] == "http.response.start":
            headers = list(message.get("headers") or ())
            present = {name.lower() for name, _ in headers}
            headers += [(name, value) for name, value in SECURITY_HEADERS if name not in present]
            message = {**message, "headers": headers}
        await send(message)

    return sending


class Guards:
    """ASGI middleware: the Host, Origin, content-type, path and
    Content-Length checks, and the security headers (see the module)."""

    def __init__(self, app: ASGIApp, rule: HostRule, *, max_body: int) -> None:
        self.app = app
        self.rule = rule
        self.max_body = max_body

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        send = with_security_headers(send)
        refusal = self.refusal(scope)
        if refusal is not None:
            status, detail, kind = refusal
            await refuse(scope, status, detail, kind)(scope, receive, send)
            return
        await self.app(scope, receive, send)

    def refusal(self, scope: Scope) -> tuple[int, str, str] | None:
        """Why a request must be refused, as (status, detail, problem kind)."""
        headers = _headers(scope)
        hosts = headers.get(b"host", [])
        if len(hosts) != 1:
            return 400, "a request needs exactly one Host header", "bad-host"
        shown = hosts[0].decode("latin-1")[:200]
        host = split_host(shown)
        local = (scope.get("server") or (None,))[0]
        if host is None or not self.rule.allows(host[0], local):
            return (
                421,
                f"this server does not answer for the host {shown!r}: use the address it "
                "listens on, or add the name to the server's allowed hosts",
                "misdirected",
            )
        if scope["method"] in CHANGING:
            refused = self._changing(headers, host)
            if refused is not None:
                return refused
        if not _utf8(scope.get("raw_path") or b"") or not _utf8(scope.get("query_string", b"")):
            return 400, "the path or query is not valid UTF-8 once percent-decoded", "bad-path"
        for length in headers.get(b"content-length", []):
            if length.isdigit() and int(length) > self.max_body:
                return 413, f"the request body is larger than {self.max_body} bytes", "too-large"
        return None

    def _changing(
        self, headers: dict[bytes, list[bytes]], host: tuple[str, int | None]
    ) -> tuple[int, str, str] | None:
        for value in headers.get(b"origin", []):
            origin = value.decode("latin-1")[:200]
            if not self.rule.allows_origin(origin, host):
                return (
                    403,
                    f"a request that changes data must come from this server's own pages, "
                    f"not from {origin!r}",
                    "foreign-origin",
                )
        for value in headers.get(b"content-type", []):
            media = value.decode("latin-1").partition(";")[0].strip().lower()
            if media in FORM_TYPES:
                return (
                    415,
                    f"{media} is what an HTML form sends: send JSON (application/json)",
                    "unsupported-media-type",
                )
        return None


def guard(
    app: ASGIApp,
    settings: ServerSettings,
    *,
    access: Access | None = None,
    protected: str = "/",
    public: Collection[str] = (),
) -> ASGIApp:
    """`app` behind every check, in order: `Guards` (from the request's head),
    then, with `access`, the bearer token for paths under `protected` except
    the `public` ones (401 before any body is read; the caller is left in
    scope["state"]["principal"]), then the body read whole within
    `settings.body_timeout` seconds (408) and `settings.max_body` bytes (413)."""
    inner: ASGIApp = BodyGuard(app, limit=settings.max_body, timeout=settings.body_timeout)
    if access is not None:
        inner = RequireBearer(inner, access, prefix=protected, public=public)
    rule = HostRule.for_server(settings.host, settings.allowed_hosts)
    return Guards(inner, rule, max_body=settings.max_body)
