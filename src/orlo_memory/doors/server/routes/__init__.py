"""The HTTP API's routes, one router per subject; `create_app` includes them.

Each router declares its prefix, its auth dependency and its error responses
once (`common.api_router`); a route parses, calls the library and shapes the
answer.
"""

from __future__ import annotations

from fastapi import APIRouter

from . import admin, pages, search, sessions, turns, users


def routers() -> list[APIRouter]:
    return [pages.router, users.router, turns.router, search.router, sessions.router, admin.router]
