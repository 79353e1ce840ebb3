"""What needs no token: the health check and the inspector page at `/`
(its scripts and styles are mounted at /inspector by `create_app`)."""

from __future__ import annotations

from importlib import resources
from typing import Any

from fastapi.responses import HTMLResponse

from ..http_models import HealthOut, ProblemOut
from ..problems import MEDIA_TYPE, Problem
from .common import API, State, api_router

router = api_router("", "server", public=True)
_UNAVAILABLE: dict[int | str, dict[str, Any]] = {
    503: {"model": ProblemOut, "content": {MEDIA_TYPE: {}}}
}


@router.get(f"{API}/health", response_model=HealthOut, responses=_UNAVAILABLE)
async def health(state: State) -> dict[str, str | int]:
    """The server answers, and its database did within the last second
    (503 with Retry-After otherwise). Answered at once, whatever the
    other requests wait for."""
    problem = await state.health.problem()
    if problem is not None:
        raise Problem(503, problem, "store-unavailable")
    return {"status": "ok", "dimension": state.memory.dimension}


@router.get("/", include_in_schema=False)
async def page() -> HTMLResponse:
    inspector = resources.files("orlo_memory.doors.server") / "inspector"
    return HTMLResponse((inspector / "index.html").read_text(encoding="utf-8"))
