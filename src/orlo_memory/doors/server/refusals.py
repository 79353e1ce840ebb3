"""Answers for requests refused before an application sees them.

A refusal is a problem response (`application/problem+json`); when the
request announced a body, the connection closes after the answer, so that
body is never read.
"""

from __future__ import annotations

from starlette.responses import Response
from starlette.types import Scope

from .problems import problem_response


def declares_body(scope: Scope) -> bool:
    """Whether a request's head announces a body (a non-zero Content-Length,
    or a Transfer-Encoding)."""
    for name, value in scope.get("headers") or ():
        name = name.lower()
        if name == b"transfer-encoding" or (name == b"content-length" and value.strip(b"0")):
            return True
    return False


def refuse(scope: Scope, status: int, detail: str, kind: str, **headers: str) -> Response:
    """The answer refusing `scope` with `status`; `headers` are added to it
    (underscores in their names stand for hyphens)."""
    sent = {name.replace("_", "-"): value for name, value in headers.items()}
    if declares_body(scope):
        sent["connection"] = "close"
    return problem_response(status, detail, kind, headers=sent)
