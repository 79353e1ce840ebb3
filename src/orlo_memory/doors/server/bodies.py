"""Request bodies read whole before an application runs, bounded in size and time.

A body that announces more than the limit is refused from its Content-Length
(by `Guards`, before this runs); one sent chunked is counted as it arrives.
The whole body must arrive within a deadline: a client that trickles a byte
every few seconds gets 408 and loses its connection instead of holding the
request open for good. The application then receives the body in one
message, as if the client had sent it at once.
"""

from __future__ import annotations

import anyio
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from .refusals import declares_body, refuse


class _TooLarge(Exception):
    pass


class BodyGuard:
    """ASGI middleware: reads a request's body, at most `limit` bytes (413)
    within `timeout` seconds (408), and hands it to `app` in one message."""

    def __init__(self, app: ASGIApp, *, limit: int, timeout: float) -> None:
        self.app = app
        self.limit = limit
        self.timeout = timeout

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http" or not declares_body(scope):
            await self.app(scope, receive, send)
            return
        try:
            with anyio.fail_after(self.timeout):
                body = await self._read(receive)
        except TimeoutError:
            detail = f"the request body did not arrive within {self.timeout:g} seconds"
            await self._refuse(408, detail, "body-timeout", scope, receive, send)
            return
        except _TooLarge:
            detail = f"the request body is larger than {self.limit} bytes"
            await self._refuse(413, detail, "too-large", scope, receive, send)
            return
        if body is None:
            return  # the client went away: nobody to answer
        delivered = False

        async def replay() -> Message:
            nonlocal delivered
            if not delivered:
                delivered = True
                return {"type": "http.request", "body": body, "more_body": False}
            return await receive()  # later calls wait for the client to leave

        await self.app(scope, replay, send)

    async def _read(self, receive: Receive) -> bytes | None:
        chunks: list[bytes] = []
        size = 0
        while True:
            message = await receive()
            if message["type"] != "http.request":
                return None
            chunk = message.get("body", b"")
            size += len(chunk)
            if size > self.limit:
                raise _TooLarge
            chunks.append(chunk)
            if not message.get("more_body", False):
                return b"".join(chunks)

    @staticmethod
    async def _refuse(
        status: int, detail: str, kind: str, scope: Scope, receive: Receive, send: Send
    ) -> None:
        # The rest of the body is never read: the connection ends with the answer.
        await refuse(scope, status, detail, kind, connection="close")(scope, receive, send)
