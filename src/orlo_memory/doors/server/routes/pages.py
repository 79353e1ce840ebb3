"""What needs no token: the health check and the inspector page at `/`
(its scripts and styles are mounted at /inspector by `create_app`)."""

from __future__ import annotations

from importlib import resources

from fastapi.responses import HTMLResponse

from ..http_models import HealthOut
from .common import API, State, api_router

router = api_router("", "server", public=True)


@router.get(f"{API}/health", response_model=HealthOut)
async def health(state: State) -> dict[str, str | int]:
    return {"status": "ok", "dimension": state.memory.dimension}


@router.get("/", include_in_schema=False)
async def page() -> HTMLResponse:
    inspector = resources.files("orlo_memory.doors.server") / "inspector"
    return HTMLResponse((inspector / "index.html").read_text(encoding="utf-8"))
