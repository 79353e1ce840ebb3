"""The API's documentation page (Swagger UI), served by the server itself.

FastAPI's own page loads Swagger UI from a public CDN, of a floating major
version and without integrity checks, into the server's origin, and shows
nothing offline. Here the script and style come from the `fastapi-offline`
package (a pinned copy of Swagger UI's files, in the `server` extra) and the
page has no inline script, so it runs under the servers' strict
Content-Security-Policy like every other page.
"""

from __future__ import annotations

import html
import importlib.util
import logging

from fastapi import FastAPI, Request
from starlette.responses import HTMLResponse, Response
from starlette.staticfiles import StaticFiles

log = logging.getLogger("orlo_memory.doors.server")

ASSETS_PACKAGE = ("fastapi_offline", "static")
# Started by the page from a file of its own: an inline script would need the
# policy to allow one.
INIT_SCRIPT = """\
"use strict";
const root = document.getElementById("swagger-ui");
window.ui = SwaggerUIBundle({
  url: root.dataset.openapi,
  dom_id: "#swagger-ui",
  layout: "BaseLayout",
  deepLinking: true,
  showExtensions: true,
  showCommonExtensions: true,
  validatorUrl: null,
  presets: [SwaggerUIBundle.presets.apis, SwaggerUIBundle.SwaggerUIStandalonePreset],
});
"""
_PAGE = """\
<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>{title}</title>
<link rel="stylesheet" href="{assets}/swagger-ui.css">
<link rel="icon" href="{assets}/favicon.png">
</head>
<body>
<div id="swagger-ui" data-openapi="{openapi}"></div>
<script src="{assets}/swagger-ui-bundle.js"></script>
<script src="{page}/init.js"></script>
</body>
</html>
"""


def install_docs(app: FastAPI, path: str = "/docs") -> bool:
    """Serves the documentation of `app` (made with `docs_url=None`) at
    `path`, its files under `path`/assets. False, with a warning, when the
    `fastapi-offline` package is missing: then there is no page at all
    rather than one that loads code from elsewhere."""
    if app.openapi_url is None or importlib.util.find_spec(ASSETS_PACKAGE[0]) is None:
        log.warning(
            "no API docs page at %s: it needs the fastapi-offline package "
            "(pip install 'orlo-memory[server]') and an OpenAPI schema",
            path,
        )
        return False
    openapi_url = app.openapi_url
    title = f"{app.title} API"

    @app.get(path, include_in_schema=False)
    async def page(request: Request) -> HTMLResponse:
        root = request.scope.get("root_path", "")
        return HTMLResponse(
            _PAGE.format(
                title=html.escape(title),
                assets=html.escape(f"{root}{path}/assets"),
                page=html.escape(f"{root}{path}"),
                openapi=html.escape(f"{root}{openapi_url}"),
            )
        )

    @app.get(f"{path}/init.js", include_in_schema=False)
    async def init_script() -> Response:
        return Response(INIT_SCRIPT, media_type="text/javascript")

    app.mount(f"{path}/assets", StaticFiles(packages=[ASSETS_PACKAGE]), name="docs-assets")
    return True
