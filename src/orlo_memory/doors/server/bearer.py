"""The bearer token checked from a request's head, before its body is read.

A caller without a valid token learns nothing from the body it sends (no
JSON or field errors) and costs nothing to read: the 401 goes out at once and
the connection closes over any announced body. The caller found is left in
`scope["state"]["principal"]` (Starlette's `request.state.principal`), so
the application need not check the token again.
"""

from __future__ import annotations

from collections.abc import Collection

import anyio.to_thread
from starlette.types import ASGIApp, Receive, Scope, Send

from .access import Access, Unauthorized
from .refusals import refuse

PRINCIPAL = "principal"
CHALLENGE = 'Bearer realm="orlo-memory"'


class RequireBearer:
    """ASGI middleware: requests whose path starts with `prefix`, except the
    `public` paths, need a token that `access` accepts (401 otherwise)."""

    def __init__(
        self, app: ASGIApp, access: Access, *, prefix: str = "/", public: Collection[str] = ()
    ) -> None:
        self.app = app
        self.access = access
        self.prefix = prefix
        self.public = frozenset(public)

    def guards(self, scope: Scope) -> bool:
        """Whether the request needs a token (paths as the application routes
        them: below the root path a proxy may have added)."""
        path: str = scope["path"]
        root: str = scope.get("root_path", "")
        if root and path.startswith(root):
            path = path[len(root) :]
        return path.startswith(self.prefix) and path not in self.public

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not self.guards(scope):
            await self.app(scope, receive, send)
            return
        header = None
        for name, value in scope.get("headers") or ():
            if name.lower() == b"authorization":
                header = value.decode("latin-1")
                break
        try:
            # The token store may wait on its database: not on the event loop.
            principal = await anyio.to_thread.run_sync(self.access.authenticate, header)
        except Unauthorized as error:
            response = refuse(scope, 401, str(error), "unauthorized", www_authenticate=CHALLENGE)
            await response(scope, receive, send)
            return
        scope.setdefault("state", {})[PRINCIPAL] = principal
        await self.app(scope, receive, send)
