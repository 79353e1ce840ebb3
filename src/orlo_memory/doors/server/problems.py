"""HTTP errors as problem details (`application/problem+json`, RFC 9457).

Every failure of the HTTP API leaves through here: the library's exceptions
keep their message and get the status that fits, pydantic's validation errors
become 422 (400 for a body that is not JSON at all), and anything unexpected
is a 500 that names no internals.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from http import HTTPStatus
from typing import Any

import orjson
from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from starlette.exceptions import HTTPException
from starlette.responses import Response

from ...errors import (
    ClosedError,
    DimensionMismatchError,
    DuplicateIdError,
    InvalidInputError,
    OrloMemoryError,
    SettingsMismatchError,
    StoreUnavailableError,
    UnknownIdError,
)
from .access import Unauthorized
from .turns import ReusedKeyError

log = logging.getLogger("orlo_memory.doors.server")

MEDIA_TYPE = "application/problem+json"
_TITLES = {
    400: "Bad Request",
    401: "Unauthorized",
    403: "Forbidden",
    404: "Not Found",
    405: "Method Not Allowed",
    408: "Request Timeout",
    409: "Conflict",
    413: "Content Too Large",
    415: "Unsupported Media Type",
    421: "Misdirected Request",
    422: "Unprocessable Content",
    500: "Internal Server Error",
    503: "Service Unavailable",
}


class Problem(Exception):
    """A failure to answer with `status`; `kind` names its type URI."""

    def __init__(self, status: int, detail: str, kind: str | None = None) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail
        self.kind = kind


def problem_response(
    status: int,
    detail: str,
    kind: str | None = None,
    *,
    headers: Mapping[str, str] | None = None,
    extra: dict[str, Any] | None = None,
) -> Response:
    body: dict[str, Any] = {
        "type": f"urn:orlo-memory:problem:{kind}" if kind else "about:blank",
        "title": _TITLES.get(status) or HTTPStatus(status).phrase,
        "status": status,
        "detail": detail,
    }
    if extra:
        body.update(extra)
    return Response(orjson.dumps(body), status_code=status, media_type=MEDIA_TYPE, headers=headers)


def library_problem(error: OrloMemoryError) -> tuple[int, str]:
    """The HTTP status and problem kind of a library exception."""
    if isinstance(error, DuplicateIdError):
        return 409, "duplicate-id"
    if isinstance(error, ReusedKeyError):
        return 422, "idempotency-key-reused"
    if isinstance(error, DimensionMismatchError):
        return 422, "dimension-mismatch"
    if isinstance(error, InvalidInputError):
        return 422, "invalid-input"
    if isinstance(error, UnknownIdError):
        return 404, "not-found"
    if isinstance(error, StoreUnavailableError | ClosedError):
        return 503, "store-unavailable"
    if isinstance(error, SettingsMismatchError):
        return 500, "settings-mismatch"
    return 500, "memory-error"


def _validation_detail(errors: list[Any]) -> tuple[str, list[dict[str, Any]]]:
    described = []
    for error in errors:
        where = ".".join(str(part) for part in error.get("loc", ()) if part != "body")
        described.append({"field": where or "body", "message": str(error.get("msg", ""))})
    first = described[0] if described else {"field": "body", "message": "invalid"}
    detail = f"{first['field']}: {first['message']}"
    if len(described) > 1:
        detail += f" (and {len(described) - 1} more)"
    return detail, described


def install(app: FastAPI) -> None:
    """Registers the handlers that turn every error into a problem."""

    async def on_problem(request: Request, error: Exception) -> Response:
        assert isinstance(error, Problem)
        headers = {"Retry-After": "1"} if error.status == 503 else None
        return problem_response(error.status, error.detail, error.kind, headers=headers)

    async def on_library(request: Request, error: Exception) -> Response:
        assert isinstance(error, OrloMemoryError)
        status, kind = library_problem(error)
        if status >= 500:
            log.warning("%s %s: %s", request.method, request.url.path, error)
        headers = {"Retry-After": "1"} if status == 503 else None
        return problem_response(status, str(error), kind, headers=headers)

    async def on_unauthorized(request: Request, error: Exception) -> Response:
        headers = {"WWW-Authenticate": 'Bearer realm="orlo-memory"'}
        return problem_response(401, str(error), "unauthorized", headers=headers)

    async def on_validation(request: Request, error: Exception) -> Response:
        assert isinstance(error, RequestValidationError)
        errors = list(error.errors())
        if any(e.get("type") == "json_invalid" for e in errors):
            return problem_response(400, "the request body is not valid JSON", "malformed-json")
        detail, described = _validation_detail(errors)
        # The first errors say enough; a batch of bad turns would list them all.
        extra = {"errors": described[:20]}
        return problem_response(422, detail, "invalid-input", extra=extra)

    async def on_http(request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        detail = error.detail if isinstance(error.detail, str) else _TITLES.get(error.status_code)
        return problem_response(error.status_code, str(detail), headers=error.headers)

    async def on_unexpected(request: Request, error: Exception) -> Response:
        log.exception("%s %s failed", request.method, request.url.path)
        return problem_response(500, "the server failed to answer; see its log", "internal")

    app.add_exception_handler(Problem, on_problem)
    app.add_exception_handler(OrloMemoryError, on_library)
    app.add_exception_handler(Unauthorized, on_unauthorized)
    app.add_exception_handler(RequestValidationError, on_validation)
    app.add_exception_handler(HTTPException, on_http)
    app.add_exception_handler(Exception, on_unexpected)


def _problem_content(schema: dict[str, Any]) -> dict[str, Any]:
    for path in schema.get("paths", {}).values():
        for operation in path.values():
            for response in operation.get("responses", {}).values():
                content = response.get("content", {})
                if MEDIA_TYPE in content and "application/json" in content:
                    content[MEDIA_TYPE] = content.pop("application/json")
    return schema


def document_problems(app: FastAPI) -> None:
    """Shows error bodies on the OpenAPI page under the type they are served
    as, application/problem+json (FastAPI files a response's model under
    the route's own type, application/json)."""
    generate = app.openapi

    def openapi() -> dict[str, Any]:
        return app.openapi_schema or _problem_content(generate())

    app.openapi = openapi  # type: ignore[method-assign]
