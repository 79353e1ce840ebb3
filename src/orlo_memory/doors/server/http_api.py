"""The HTTP JSON API over one memory (FastAPI), with the inspector page at `/`.

The routes (`routes/`, one router per subject) translate requests into
`UserMemory` calls and answer with the contract's shapes; errors become
problem details (`problems`); nothing here ranks or stores.
The library blocks (on its database, on a user's lock), so the routes call it
in worker threads shared fairly by users (`threads`); the event loop only
reads requests and writes answers, and answers the health check itself.
`build` puts the app behind the transport guards (`guards`: Host, Origin,
the token before the body, bounded bodies, security headers);
`app_from_environment` is the factory each uvicorn worker calls.
"""

from __future__ import annotations

from collections.abc import AsyncIterator
from contextlib import asynccontextmanager

from fastapi import FastAPI
from starlette.staticfiles import StaticFiles
from starlette.types import ASGIApp

from ...core.memory import Memory
from .access import Access, is_loopback, open_token_store
from .docs import install_docs
from .guards import guard
from .health import Health
from .opening import open_memory
from .problems import document_problems, install
from .routes import routers
from .routes.common import ServerState
from .settings import ServerSettings
from .threads import LibraryThreads


def create_app(memory: Memory, access: Access, *, max_batch: int) -> FastAPI:
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
        docs_url=None,
        redoc_url=None,
    )
    app.state.server = ServerState(
        memory, access, max_batch, threads=LibraryThreads(), health=Health(access.probe)
    )
    install(app)
    install_docs(app)
    for router in routers():
        app.include_router(router)
    document_problems(app)
    app.mount("/inspector", StaticFiles(packages=[("orlo_memory.doors.server", "inspector")]))
    return app


def build(settings: ServerSettings) -> ASGIApp:
    """The guarded application for `settings`: opens the memory and the token store."""
    access = Access(
        open_token_store(settings.location, wait=settings.lock_wait),
        open_without_tokens=is_loopback(settings.host),
    )
    memory = None
    try:
        memory = open_memory(settings)
        app = create_app(memory, access, max_batch=settings.max_batch)
        return guard(app, settings, access=access, protected="/v1/", public=("/v1/health",))
    except BaseException:
        if memory is not None:
            memory.close()
        access.close()
        raise


def app_from_environment() -> ASGIApp:
    """The factory every uvicorn worker calls (settings from the environment)."""
    return build(ServerSettings.from_environment())
