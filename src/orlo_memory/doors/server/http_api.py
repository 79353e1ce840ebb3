"""The HTTP JSON API over one memory (FastAPI), with the inspector page at `/`.

Routes translate requests into `UserMemory` calls (through `service`) and
errors into problem details (`problems`); nothing here ranks or stores.
The library is called on the event loop itself: a `Memory` serialises its
calls under one lock anyway, so a thread pool would add a hand-off to every
request and no concurrency (a deployment scales with `--workers`).
`create_app` builds the application for one memory; `app_from_environment`
is the factory each uvicorn worker calls.
"""

from __future__ import annotations

import base64
import binascii
import re
import uuid
from collections.abc import Iterator
from contextlib import asynccontextmanager
from importlib import resources
from typing import Annotated, Any

import numpy as np
import orjson
from fastapi import FastAPI, Header, Query, Request, Security
from fastapi.responses import HTMLResponse, StreamingResponse
from fastapi.routing import APIRoute
from fastapi.security import HTTPBearer
from starlette.responses import Response
from starlette.staticfiles import StaticFiles

from ...contract import shapes
from ...contract.turns import NewTurn
from ...core.memory import Memory
from ...core.user import UserMemory
from ...errors import InvalidInputError
from ..jsonl import iter_export
from .access import Access, Principal, is_loopback, open_token_store
from .http_models import (
    ForgottenOut,
    HitsOut,
    IdOut,
    IdsIn,
    IdsOut,
    NewSessionIn,
    ProblemOut,
    RankSessionsIn,
    SearchIn,
    SessionsOut,
    StatsOut,
    TurnBatch,
    TurnIn,
    TurnOut,
    TurnsOut,
    UsersOut,
)
from .opening import open_memory
from .problems import BodyLimit, Problem, install
from .service import Users
from .settings import ServerSettings

API = "/v1"
# Turn ids made from an Idempotency-Key: the same key, user and position
# always give the same id, so a retried add finds its turns already stored.
_IDEMPOTENCY_NAMESPACE = uuid.UUID("6f726c6f-6d65-6d6f-7279-6964656d706f")
_IDEMPOTENCY_KEY = re.compile(r"[\x21-\x7e]{1,255}")
IdempotencyKey = Annotated[
    str | None,
    Header(
        alias="Idempotency-Key",
        description="a retry with the same key stores nothing again and returns the same ids",
    ),
]
_ERRORS: dict[int | str, dict[str, Any]] = {
    status: {"model": ProblemOut, "content": {"application/problem+json": {}}}
    for status in (401, 404, 409, 413, 422, 503)
}


def _json(data: Any, status: int = 200) -> Response:
    return Response(orjson.dumps(data), status_code=status, media_type="application/json")


class _OrjsonRequest(Request):
    async def json(self) -> Any:
        if not hasattr(self, "_json"):
            self._json = orjson.loads(await self.body())
        return self._json


class _Route(APIRoute):
    """Parses JSON bodies with orjson (several times faster on embeddings)."""

    def get_route_handler(self) -> Any:
        handler = super().get_route_handler()

        async def route(request: Request) -> Response:
            return await handler(_OrjsonRequest(request.scope, request.receive))

        return route


class _Server:
    """The memory, the users and the access rules behind the routes."""

    def __init__(self, memory: Memory, access: Access, max_batch: int) -> None:
        self.memory = memory
        self.access = access
        self.users = Users(memory)
        self.max_batch = max_batch

    def principal(self, request: Request) -> Principal:
        return self.access.authenticate(request.headers.get("authorization"))

    def existing(self, request: Request, name: str) -> UserMemory:
        return self.users.existing(self.principal(request), name)

    def writable(self, request: Request, name: str) -> UserMemory:
        return self.users.writable(self.principal(request), name)

    def bounded(self, count: int, what: str) -> None:
        if count > self.max_batch:
            raise Problem(
                413, f"{count} {what} in one request; at most {self.max_batch}", "too-large"
            )


def vector(value: list[float] | str | None) -> Any:
    """An embedding as the library takes it: numbers as given, base64 text
    decoded into float32 (the library checks the dimension and the values)."""
    if not isinstance(value, str):
        return value
    try:
        raw = base64.b64decode(value, validate=True)
    except binascii.Error:
        raise InvalidInputError("embedding: neither numbers nor base64 text") from None
    if len(raw) % 4:
        raise InvalidInputError("embedding: base64 of float32 values must hold 4 bytes each")
    return np.frombuffer(raw, dtype="<f4")


def _new_turn(turn: TurnIn, turn_id: str | None, with_embedding: bool) -> NewTurn:
    return NewTurn(
        text=turn.text,
        role=turn.role,
        metadata=turn.metadata,
        created_at=turn.created_at,
        id=turn_id,
        embedding=vector(turn.embedding) if with_embedding else None,
        new_topic=turn.new_topic,
        new_session=turn.new_session,
        session_title=turn.session_title,
    )


def _turn_ids(user: str, turns: list[TurnIn], key: str | None) -> list[str | None]:
    """The ids to store turns under: the caller's own, else with an
    Idempotency-Key ids derived from it, else None (random ones)."""
    if key is None:
        return [turn.id for turn in turns]
    if not _IDEMPOTENCY_KEY.fullmatch(key):
        raise InvalidInputError("Idempotency-Key must be 1 to 255 visible ASCII characters")
    return [
        turn.id or uuid.uuid5(_IDEMPOTENCY_NAMESPACE, f"{user}\n{key}\n{number}").hex
        for number, turn in enumerate(turns)
    ]


def _add(user: UserMemory, turns: list[TurnIn], key: str | None, replacing: Any) -> list[str]:
    ids = _turn_ids(user.name, turns, key)
    embedded = [turn.embedding for turn in turns if turn.embedding is not None]
    matrix = None
    if len(embedded) == len(turns) and len({len(row) for row in embedded}) == 1:
        # One conversion for the whole batch instead of one per turn.
        if all(isinstance(row, str) for row in embedded):
            matrix = np.stack([vector(row) for row in embedded])
        elif not any(isinstance(row, str) for row in embedded):
            matrix = np.array(embedded, dtype=np.float32)
    items = [
        _new_turn(turn, turn_id, matrix is None) for turn, turn_id in zip(turns, ids, strict=True)
    ]
    return user.add_many(items, embeddings=matrix, replacing=replacing)


def create_app(memory: Memory, access: Access, *, max_body: int, max_batch: int) -> FastAPI:
    """The HTTP API over `memory`; the app closes both on shutdown."""
    server = _Server(memory, access, max_batch)

    @asynccontextmanager
    async def lifespan(app: FastAPI) -> Any:
        try:
            yield
        finally:
            memory.close()
            access.close()

    app = FastAPI(
        title="orlo-memory",
        summary="A conversation memory: store turns, search them by meaning and by words.",
        version="1",
        lifespan=lifespan,
        docs_url="/docs",
        redoc_url=None,
    )
    app.router.route_class = _Route
    install(app)
    bearer = HTTPBearer(auto_error=False, description="a token from `orlo-memory token create`")
    auth = [Security(bearer)]

    @app.get(f"{API}/health", tags=["server"])
    async def health() -> Response:
        return _json({"status": "ok", "dimension": memory.dimension})

    @app.get(f"{API}/users", response_model=UsersOut, dependencies=auth, tags=["users"])
    async def list_users(request: Request) -> Response:
        """The users this token may reach."""
        return _json({"users": server.users.visible(server.principal(request))})

    @app.post(
        f"{API}/users/{{user}}/turns",
        status_code=201,
        response_model=IdOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["turns"],
    )
    async def add_turn(
        request: Request, user: str, turn: TurnIn, key: IdempotencyKey = None
    ) -> Response:
        """Stores one turn (creating the user on first use). With an
        Idempotency-Key a retry returns the stored id and stores nothing."""
        target = server.writable(request, user)
        return _json({"id": _add(target, [turn], key, None)[0]}, 201)

    @app.post(
        f"{API}/users/{{user}}/turns/batch",
        status_code=201,
        response_model=IdsOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["turns"],
    )
    async def add_turns(
        request: Request, user: str, batch: TurnBatch, key: IdempotencyKey = None
    ) -> Response:
        """Stores turns in order, in one transaction: all or none."""
        server.bounded(len(batch.turns), "turns")
        target = server.writable(request, user)
        return _json({"ids": _add(target, batch.turns, key, batch.replacing)}, 201)

    @app.get(
        f"{API}/users/{{user}}/turns",
        response_model=TurnsOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["turns"],
    )
    async def get_turns(
        request: Request,
        user: str,
        ids: Annotated[str | None, Query(description="comma-separated ids to fetch")] = None,
        session: Annotated[str | None, Query(description="list this session's turns")] = None,
        offset: Annotated[int, Query(ge=0)] = 0,
        limit: Annotated[int, Query(ge=1, le=1000)] = 100,
    ) -> Response:
        """The turns with these ids (404 if one is unknown), or a page of the
        user's turns in the order they were added (of one session)."""
        target = server.existing(request, user)
        if ids is not None:
            wanted = [part for part in ids.split(",") if part]
            server.bounded(len(wanted), "ids")
            turns = target.get(wanted)
        else:
            session_id = None
            if session is not None:
                session_id = next(
                    (s.id for s in target.sessions() if s.id == session.strip().lower()), None
                )
                if session_id is None:
                    raise Problem(404, f"no session {session} for user {user!r}", "not-found")
            chosen = (t for t in target.turns() if session_id is None or t.session_id == session_id)
            turns = [t for n, t in enumerate(chosen) if offset <= n < offset + limit]
        return _json({"turns": [shapes.turn_json(turn) for turn in turns]})

    @app.get(
        f"{API}/users/{{user}}/turns/{{turn_id}}",
        response_model=TurnOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["turns"],
    )
    async def get_turn(request: Request, user: str, turn_id: str) -> Response:
        target = server.existing(request, user)
        return _json(shapes.turn_json(target.get([turn_id])[0]))

    @app.delete(
        f"{API}/users/{{user}}/turns/{{turn_id}}",
        response_model=ForgottenOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["turns"],
    )
    async def forget_turn(request: Request, user: str, turn_id: str) -> Response:
        """Forgets a turn: its text, metadata and embedding are deleted."""
        target = server.existing(request, user)
        return _json({"forgotten": target.forget([turn_id])})

    @app.post(
        f"{API}/users/{{user}}/turns/forget",
        response_model=ForgottenOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["turns"],
    )
    async def forget_turns(request: Request, user: str, body: IdsIn) -> Response:
        """Forgets turns, all or none (404 if one is unknown)."""
        server.bounded(len(body.ids), "ids")
        target = server.existing(request, user)
        return _json({"forgotten": target.forget(body.ids)})

    @app.post(
        f"{API}/users/{{user}}/search",
        response_model=HitsOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["search"],
    )
    async def search(request: Request, user: str, body: SearchIn) -> Response:
        """The k turns that best answer a query, best first, with each
        ranking's place (vector_rank, lexical_rank) and the cosine."""
        target = server.existing(request, user)
        hits = target.search(
            body.query,
            body.k,
            mode=body.mode,
            session=body.session,
            recency=body.recency,
            embedding=vector(body.embedding),
            since=body.since,
            until=body.until,
        )
        return _json({"hits": [shapes.hit_json(hit) for hit in hits]})

    @app.post(
        f"{API}/users/{{user}}/sessions",
        status_code=201,
        response_model=IdOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["sessions"],
    )
    async def new_session(request: Request, user: str, body: NewSessionIn) -> Response:
        """Starts a session: the user's next turn opens it."""
        target = server.writable(request, user)
        return _json({"id": target.new_session(body.title)}, 201)

    @app.get(
        f"{API}/users/{{user}}/sessions",
        response_model=SessionsOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["sessions"],
    )
    async def list_sessions(
        request: Request, user: str, k: Annotated[int | None, Query(ge=0)] = None
    ) -> Response:
        """The user's sessions, newest first."""
        target = server.existing(request, user)
        return _json({"sessions": [shapes.session_json(s) for s in target.sessions(None, k)]})

    @app.post(
        f"{API}/users/{{user}}/sessions/rank",
        response_model=SessionsOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["sessions"],
    )
    async def rank_sessions(request: Request, user: str, body: RankSessionsIn) -> Response:
        """The sessions whose turns are closest in meaning to a query, best first."""
        target = server.existing(request, user)
        if body.query is None and body.embedding is None:
            raise InvalidInputError("ranking sessions needs a query or an embedding")
        found = target.sessions(body.query, body.k, embedding=vector(body.embedding))
        return _json({"sessions": [shapes.session_json(s) for s in found]})

    @app.post(
        f"{API}/users/{{user}}/topics",
        status_code=204,
        responses=_ERRORS,
        dependencies=auth,
        tags=["sessions"],
    )
    async def new_topic(request: Request, user: str) -> Response:
        """Opens a new topic in the current session with the next turn."""
        server.existing(request, user).new_topic()
        return Response(status_code=204)

    @app.get(
        f"{API}/users/{{user}}/stats",
        response_model=StatsOut,
        responses=_ERRORS,
        dependencies=auth,
        tags=["users"],
    )
    async def stats(request: Request, user: str) -> Response:
        return _json(shapes.stats_json(server.existing(request, user).stats()))

    @app.get(
        f"{API}/users/{{user}}/export",
        responses={200: {"content": {"application/jsonl": {}}}, **_ERRORS},
        dependencies=auth,
        tags=["users"],
    )
    async def export(request: Request, user: str, embeddings: bool = False) -> StreamingResponse:
        """The user's live turns as JSON Lines, in the format `orlo-memory import` reads."""
        target = server.existing(request, user)
        entries = iter_export(target, embeddings=embeddings)
        first = next(entries, None)  # errors surface before the response starts

        def lines() -> Iterator[bytes]:
            if first is not None:
                yield orjson.dumps(first) + b"\n"
            for entry in entries:
                yield orjson.dumps(entry) + b"\n"

        return StreamingResponse(lines(), media_type="application/jsonl")

    inspector = resources.files("orlo_memory.doors.server") / "inspector"

    @app.get("/", include_in_schema=False)
    async def page() -> HTMLResponse:
        return HTMLResponse((inspector / "index.html").read_text(encoding="utf-8"))

    app.mount("/inspector", StaticFiles(packages=[("orlo_memory.doors.server", "inspector")]))
    app.add_middleware(BodyLimit, limit=max_body)
    return app


def build(settings: ServerSettings) -> FastAPI:
    """The application for `settings`: opens the memory and the token store."""
    access = Access(
        open_token_store(settings.location), open_without_tokens=is_loopback(settings.host)
    )
    try:
        memory = open_memory(settings)
    except BaseException:
        access.close()
        raise
    return create_app(memory, access, max_body=settings.max_body, max_batch=settings.max_batch)


def app_from_environment() -> FastAPI:
    """The factory every uvicorn worker calls (settings from the environment)."""
    return build(ServerSettings.from_environment())
