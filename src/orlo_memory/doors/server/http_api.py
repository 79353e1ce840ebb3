"""The HTTP JSON API over one memory (FastAPI), with the inspector page at `/`.

The routes (`routes/`, one router per subject) translate requests into
`UserMemory` calls and answer with the contract's shapes; errors become
problem details (`problems`); nothing here ranks or stores.
The library is called on the event loop itself: a `Memory` serialises its
calls under one lock anyway, so a thread pool would add a hand-off to every
request and no concurrency (a deployment scales with `--workers`).
`create_app` builds the application for one memory; `app_from_environment`
is the factory each uvicorn worker calls.
"""

from __future__ import annotations

from collections.abc import AsyncIterator
from contextlib import asynccontextmanager

from fastapi import FastAPI
from starlette.staticfiles import StaticFiles

from ...core.memory import Memory
from .access import Access, is_loopback, open_token_store
from .opening import open_memory
from .problems import BodyLimit, document_problems, install
from .routes import routers
from .routes.common import ServerState
from .settings import ServerSettings


def create_app(memory: Memory, access: Access, *, max_body: int, max_batch: int) -> FastAPI:
    """The HTTP API over `memory`; the app closes both on shutdown."""

    @asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
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
    app.state.server = ServerState(memory, access, max_batch)
    install(app)
    for router in routers():
        app.include_router(router)
    document_problems(app)
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
