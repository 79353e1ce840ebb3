"""The guards in front of both servers, against a real uvicorn on loopback.

A small ASGI app that records what reaches it runs behind `guard` with the
servers' uvicorn options, on 127.0.0.1, 127.0.0.2 and ::1; raw HTTP shows
what a hostile caller gets: a foreign Host (DNS rebinding) 421, a foreign
Origin 403, a form's content type 415, a path that is not UTF-8 400, an
oversized or missing body refused before it is read, no token 401 before the
body, and connections that never finish their requests closed.
"""

import asyncio
import contextlib
import http.client
import json
import re
import select
import socket
import threading
import time

import pytest

pytest.importorskip("uvicorn", reason="the server tests need the [server] extra")
pytest.importorskip("fastapi", reason="the server tests need the [server] extra")

import uvicorn

from orlo_memory.doors.server.access import Access, issue_token, open_token_store
from orlo_memory.doors.server.connections import uvicorn_options
from orlo_memory.doors.server.guards import HostRule, guard, split_host
from orlo_memory.doors.server.settings import ServerSettings

PROXY = "memory.example.org"


class Recorder:
    """An ASGI app that answers 200 (after a second for /hold) and records each
    request it sees."""

    def __init__(self) -> None:
        self.seen: list[tuple[str, str, bytes, object]] = []

    async def __call__(self, scope, receive, send):
        body = b""
        while True:
            message = await receive()
            body += message.get("body", b"")
            if not message.get("more_body"):
                break
        principal = scope.get("state", {}).get("principal")
        self.seen.append((scope["method"], scope["path"], body, principal))
        if scope["path"] == "/hold":
            await asyncio.sleep(1)
        await send({"type": "http.response.start", "status": 200, "headers": []})
        await send({"type": "http.response.body", "body": b"ok"})


@contextlib.contextmanager
def running(app, settings, lifespan="off"):
    """uvicorn with the servers' options on a free port of `settings.host`."""
    family = socket.AF_INET6 if ":" in settings.host else socket.AF_INET
    listener = socket.socket(family)
    listener.bind((settings.host, 0))
    options = {**uvicorn_options(settings), "port": listener.getsockname()[1]}
    server = uvicorn.Server(uvicorn.Config(app, **options, lifespan=lifespan, log_level="error"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [listener]}, daemon=True)
    thread.start()
    try:
        deadline = time.monotonic() + 10
        while not server.started:
            assert thread.is_alive() and time.monotonic() < deadline, "uvicorn did not start"
            time.sleep(0.01)
        yield listener.getsockname()[1]
    finally:
        server.should_exit = True
        thread.join(10)
        listener.close()


def exchange(address, port, method, target, headers, body=b"", timeout=5.0):
    """(status, headers, body) of one raw request; `body` is sent only when given,
    whatever Content-Length says."""
    connection = http.client.HTTPConnection(address, port, timeout=timeout)
    try:
        connection.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
        for name, value in headers.items():
            connection.putheader(name, value)
        connection.endheaders()
        if body:
            connection.send(body)
        response = connection.getresponse()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, response.read()
    finally:
        connection.close()


@pytest.fixture(scope="module")
def servers():
    """One guarded server per listening address, started on first use."""
    started = {}
    with contextlib.ExitStack() as stack:

        def server(host):
            if host not in started:
                app = Recorder()
                settings = ServerSettings(
                    "unused", host=host, allowed_hosts=(PROXY,), max_body=1000
                )
                port = stack.enter_context(running(guard(app, settings), settings))
                started[host] = (port, app)
            return started[host]

        yield server


HOSTS = [
    # (listening on, Host header ({port}: the server's), allowed)
    ("127.0.0.1", "127.0.0.1:{port}", True),
    ("127.0.0.1", "127.0.0.1", True),
    ("127.0.0.1", "localhost:{port}", True),
    ("127.0.0.1", "LocalHost.", True),
    ("127.0.0.1", "[::ffff:127.0.0.1]:{port}", True),
    ("127.0.0.1", f"{PROXY}:443", True),
    ("127.0.0.1", "evil.example:{port}", False),
    ("127.0.0.1", "evil.example", False),
    ("127.0.0.1", "127.0.0.1.evil.example:{port}", False),
    ("127.0.0.1", "localhost.evil.example", False),
    ("127.0.0.1", f"{PROXY}.evil.example", False),
    ("127.0.0.1", "127.0.0.2:{port}", False),
    ("127.0.0.1", "127.1:{port}", False),
    ("127.0.0.1", "[::1]:{port}", False),
    ("127.0.0.1", "", False),
    ("127.0.0.2", "127.0.0.2:{port}", True),
    ("127.0.0.2", "localhost:{port}", True),
    ("127.0.0.2", "evil.example:{port}", False),
    ("::1", "[::1]:{port}", True),
    ("::1", "[0:0:0:0:0:0:0:1]:{port}", True),
    ("::1", "[0000::0001]", True),
    ("::1", "localhost:{port}", True),
    ("::1", "::1", False),
    ("::1", "[::2]:{port}", False),
    ("::1", "evil.example:{port}", False),
]


@pytest.mark.parametrize(("bound", "host", "allowed"), HOSTS)
@pytest.mark.parametrize("method", ["GET", "POST"])
def test_host_must_name_the_server(servers, bound, host, allowed, method):
    port, app = servers(bound)
    before = len(app.seen)
    headers = {"Host": host.format(port=port), "Content-Type": "application/json"}
    sent = b"{}" if method == "POST" else b""
    status, got, body = exchange(bound, port, method, "/v1/users", headers, sent)
    if allowed:
        assert (status, body) == (200, b"ok")
        assert len(app.seen) == before + 1
    else:
        assert status == 421 and len(app.seen) == before
        assert got["content-type"] == "application/problem+json"
        problem = json.loads(body)
        assert problem["status"] == 421 and problem["title"] == "Misdirected Request"


WILDCARD = [
    # (configured names, Host, the connection's local address, allowed)
    ((), "evil.example:8765", "192.0.2.10", True),  # tokens are required there
    ((PROXY,), f"{PROXY}:443", "192.0.2.10", True),
    ((PROXY,), "evil.example:8765", "192.0.2.10", False),
    ((PROXY,), "192.0.2.10:8765", "192.0.2.10", True),
    ((PROXY,), "192.0.2.11:8765", "192.0.2.10", False),
    ((PROXY,), "localhost:8765", "127.0.0.1", True),
    ((PROXY,), "localhost:8765", "192.0.2.10", False),
]


@pytest.mark.parametrize("bound", ["0.0.0.0", "::"])
@pytest.mark.parametrize(("names", "host", "local", "allowed"), WILDCARD)
def test_beyond_loopback_names_are_enforced_once_configured(bound, names, host, local, allowed):
    rule = HostRule.for_server(bound, names)
    assert rule.allows(split_host(host)[0], local) is allowed


@pytest.mark.parametrize("entry", ["", "memory example.org", "[::1", "host:port", "h\u00f6st"])
def test_a_configured_name_that_is_no_host_stops_the_server(entry):
    with pytest.raises(ValueError, match="is not a host name or address"):
        guard(Recorder(), ServerSettings("unused", allowed_hosts=(entry,)))


REQUESTS = [
    # (method, target, extra headers ({port}: the server's), body, status)
    ("POST", "/v1/users/maya/topics", {"Origin": "http://evil.example"}, b"", 403),
    ("POST", "/v1/users/maya/topics", {"Origin": "http://evil.example:{port}"}, b"", 403),
    ("POST", "/v1/users/maya/topics", {"Origin": "http://127.0.0.1:1"}, b"", 403),
    ("POST", "/v1/users/maya/topics", {"Origin": "http://localhost:{port}"}, b"", 403),
    ("POST", "/v1/users/maya/topics", {"Origin": "null"}, b"", 403),
    ("DELETE", "/v1/users/maya/turns/x", {"Origin": "https://evil.example"}, b"", 403),
    ("POST", "/v1/users/maya/topics", {"Origin": "http://127.0.0.1:{port}"}, b"", 200),
    ("POST", "/v1/x", {"Origin": f"https://{PROXY}", "Host": PROXY}, b"", 200),
    ("GET", "/v1/users", {"Origin": "http://evil.example"}, b"", 200),
    ("POST", "/v1/x", {"Content-Type": "application/x-www-form-urlencoded"}, b"a=b", 415),
    ("POST", "/v1/x", {"Content-Type": "multipart/form-data; boundary=z"}, b"--z--", 415),
    ("PUT", "/v1/x", {"Content-Type": "Text/Plain; charset=utf-8"}, b"{}", 415),
    ("POST", "/v1/x", {"Content-Type": "application/json"}, b"{}", 200),
    ("GET", "/v1/users/%FF/stats", {}, b"", 400),
    ("POST", "/v1/users/%FE/turns", {"Content-Type": "application/json"}, b"{}", 400),
    ("GET", "/v1/users/%ED%A0%80/stats", {}, b"", 400),
    ("GET", "/v1/users/%C0%AF/stats", {}, b"", 400),
    ("GET", "/v1/users/x/turns?session=%FF", {}, b"", 400),
    ("GET", "/v1/users/%C3%A9%F0%9F%98%80/stats?q=%E2%82%AC", {}, b"", 200),
    ("POST", "/v1/x", {"Content-Length": "1001"}, b"", 413),
    ("POST", "/v1/x", {"Content-Length": str(57 << 20)}, b"", 413),
    ("POST", "/v1/x", {"Transfer-Encoding": "chunked"}, b"7d1\r\n" + b"x" * 2001 + b"\r\n", 413),
]


@pytest.mark.parametrize(("method", "target", "extra", "body", "status"), REQUESTS)
def test_requests_are_refused_from_their_head(servers, method, target, extra, body, status):
    """Refused requests never reach the app; an announced body that is refused
    is never waited for (the 413 comes back though no byte of it was sent)."""
    port, app = servers("127.0.0.1")
    before = len(app.seen)
    headers = {"Host": f"127.0.0.1:{port}", **{k: v.format(port=port) for k, v in extra.items()}}
    if body and "Transfer-Encoding" not in headers:
        headers.setdefault("Content-Length", str(len(body)))
    got_status, got, answer = exchange("127.0.0.1", port, method, target, headers, body)
    assert got_status == status, answer
    assert len(app.seen) == before + (status == 200)
    if status != 200:
        assert got["content-type"] == "application/problem+json"
        assert json.loads(answer)["status"] == status


@pytest.mark.parametrize("target", ["/", "/evil", "/v1/users/%FF"])
@pytest.mark.parametrize("host", ["127.0.0.1:{port}", "evil.example"])
def test_every_answer_forbids_framing_sniffing_and_inline_script(servers, target, host):
    port, _ = servers("127.0.0.1")
    _, headers, _ = exchange("127.0.0.1", port, "GET", target, {"Host": host.format(port=port)})
    policy = [part.strip() for part in headers["content-security-policy"].split(";")]
    assert "default-src 'self'" in policy and "frame-ancestors 'none'" in policy
    assert not any("unsafe" in part or "*" in part for part in policy)
    assert headers["x-frame-options"] == "DENY"
    assert headers["x-content-type-options"] == "nosniff"
    assert headers["referrer-policy"] == "no-referrer"


def test_the_token_is_checked_before_the_body(tmp_path):
    """No token: 401 with a challenge though the announced body never comes;
    health and paths outside the API are open; a token's caller reaches the
    app in scope["state"]."""
    store = open_token_store(str(tmp_path / "memory.db"))
    text, record = issue_token(store, "maya", ["maya"], 0)
    access = Access(store, open_without_tokens=True)
    app = Recorder()
    settings = ServerSettings("unused", max_body=1 << 20)
    protected = guard(app, settings, access=access, protected="/v1/", public=["/v1/health"])
    try:
        with running(protected, settings) as port:
            host = {"Host": f"127.0.0.1:{port}"}
            for credentials in ({}, {"Authorization": "Bearer om_000000000000_" + "x" * 43}):
                headers = {**host, **credentials, "Content-Length": "100000"}
                status, got, body = exchange("127.0.0.1", port, "POST", "/v1/users", headers)
                assert status == 401, body
                assert got["www-authenticate"].startswith("Bearer")
                assert got["connection"] == "close"
            assert app.seen == []
            for target in ("/v1/health", "/", "/docs"):
                assert exchange("127.0.0.1", port, "GET", target, host)[0] == 200
            headers = {**host, "Authorization": f"Bearer {text}", "Content-Length": "2"}
            assert exchange("127.0.0.1", port, "POST", "/v1/u", headers, b"{}")[0] == 200
            assert app.seen[-1][2] == b"{}" and app.seen[-1][3].token_id == record.id
    finally:
        access.close()


def _closed(sock, timeout):
    """Whether the server closes `sock` within `timeout` seconds (what it sent first)."""
    received = b""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if select.select([sock], [], [], 0.05)[0]:
            try:
                chunk = sock.recv(4096)
            except ConnectionResetError:
                return True, received
            if not chunk:
                return True, received
            received += chunk
    return False, received


def test_a_body_sent_too_slowly_ends_in_408():
    settings = ServerSettings("unused", body_timeout=0.5)
    app = Recorder()
    with running(guard(app, settings), settings) as port:
        with socket.create_connection(("127.0.0.1", port)) as sock:
            head = f"POST /v1/x HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nContent-Length: 10\r\n\r\n"
            sock.sendall(head.encode() + b"{")
            closed, received = _closed(sock, 5)
        assert closed and received.startswith(b"HTTP/1.1 408 "), received
        assert app.seen == []


@pytest.mark.slow
def test_idle_and_slow_connections_give_way_and_time_out():
    """Past the connection limit the oldest unfinished connections are closed
    for newcomers; a normal request is served meanwhile; the rest are closed
    once the head deadline passes (a half-sent head with 408)."""
    settings = ServerSettings("unused", header_timeout=2.0, max_connections=100)
    app = Recorder()
    with running(guard(app, settings), settings) as port, contextlib.ExitStack() as stack:
        idle = [
            stack.enter_context(socket.create_connection(("127.0.0.1", port))) for _ in range(150)
        ]
        partial = stack.enter_context(socket.create_connection(("127.0.0.1", port)))
        partial.sendall(f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n".encode())
        # The 51 oldest give way to the newest, well before any deadline.
        assert all(_closed(sock, 1)[0] for sock in idle[:51])
        headers = {"Host": f"127.0.0.1:{port}"}
        assert exchange("127.0.0.1", port, "GET", "/v1/health", headers)[0] == 200
        assert all(_closed(sock, 5)[0] for sock in idle[60:])
        closed, received = _closed(partial, 5)
        assert closed and received.startswith(b"HTTP/1.1 408 ")


def docs_app():
    from fastapi import FastAPI

    from orlo_memory.doors.server.docs import install_docs

    app = FastAPI(title="orlo-memory", docs_url=None, redoc_url=None)

    @app.get("/v1/health", tags=["server"])
    async def health() -> dict[str, str]:
        return {"status": "ok"}

    assert install_docs(app)
    return app


def test_the_docs_page_loads_nothing_from_elsewhere():
    """/docs names only the server's own files, which it serves, and has no
    inline script for the policy to refuse."""
    pytest.importorskip("fastapi_offline", reason="the docs page needs the [server] extra")
    settings = ServerSettings("unused")
    with running(guard(docs_app(), settings), settings) as port:
        host = {"Host": f"127.0.0.1:{port}"}
        status, _, page = exchange("127.0.0.1", port, "GET", "/docs", host)
        assert status == 200
        links = re.findall(rb'(?:src|href|data-openapi)="([^"]*)"', page)
        assert len(links) == 5 and all(link.startswith(b"/") for link in links), links
        assert re.findall(rb"<script[^>]*>\s*(?!</script>)\S", page) == []  # no inline code
        for link in links:
            status, _, body = exchange("127.0.0.1", port, "GET", link.decode(), host)
            assert status == 200 and body, link
        assert b"SwaggerUIBundle" in exchange("127.0.0.1", port, "GET", "/docs/init.js", host)[2]


def test_the_docs_page_works_under_the_policy():
    """In Chromium, Swagger UI lists the API and runs a request with nothing
    blocked by the Content-Security-Policy."""
    pytest.importorskip("fastapi_offline", reason="the docs page needs the [server] extra")
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    from test_inspector import browser

    driver = browser()
    settings = ServerSettings("unused")
    try:
        with running(guard(docs_app(), settings), settings) as port:
            listen = (
                "window.blocked = []; document.addEventListener('securitypolicyviolation',"
                " e => window.blocked.push(e.violatedDirective + ' ' + e.blockedURI));"
            )
            driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": listen})
            driver.get(f"http://127.0.0.1:{port}/docs")
            wait = WebDriverWait(driver, 30)
            wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, ".opblock-summary"))
            for selector in (".opblock-summary", ".try-out__btn", ".execute"):
                wait.until(lambda d, s=selector: d.find_elements(By.CSS_SELECTOR, s))[0].click()
            wait.until(lambda d: '"ok"' in d.find_element(By.CSS_SELECTOR, ".responses-inner").text)
            assert driver.execute_script("return window.blocked") == []
    finally:
        driver.quit()


def test_when_every_connection_is_answering_a_newcomer_gets_503():
    settings = ServerSettings("unused", max_connections=2)
    app = Recorder()
    with running(guard(app, settings), settings) as port, contextlib.ExitStack() as stack:
        busy = [stack.enter_context(socket.create_connection(("127.0.0.1", port))) for _ in "ab"]
        for sock in busy:
            hold = f"GET /hold HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nConnection: close\r\n\r\n"
            sock.sendall(hold.encode())
        deadline = time.monotonic() + 5
        while len(app.seen) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)  # until both requests are in the app
        with socket.create_connection(("127.0.0.1", port)) as late:
            closed, received = _closed(late, 5)
        assert closed and received.startswith(b"HTTP/1.1 503 "), received
        for sock in busy:
            assert _closed(sock, 10)[1].startswith(b"HTTP/1.1 200 ")


@pytest.fixture(scope="module", params=["serve", "mcp"])
def real_server(request, tmp_path_factory):
    """A real `orlo-memory serve` or `orlo-memory mcp --http` process over a
    memory with a token of alice's: (command, port, the API's path, token)."""
    from server_helpers import DIM, mcp_over_http, serve, token

    from orlo_memory import Memory

    path = str(tmp_path_factory.mktemp(request.param) / "memory.db")
    with Memory.open(path, dimension=DIM):
        pass
    credential = token(path, "--user", "alice")
    if request.param == "serve":
        with serve(path, "--precomputed") as base:
            yield "serve", int(base.rsplit(":", 1)[1]), "/v1/users/alice/turns", credential
    else:
        with mcp_over_http(path, "--precomputed") as url:
            yield "mcp", int(url.split(":")[2].split("/")[0]), "/mcp", credential


JSON_POST = {"Content-Type": "application/json", "Accept": "application/json, text/event-stream"}
REAL = [
    # (case, method, path ({api}: the API's), headers ({port}, {token}), status)
    ("foreign Host", "GET", "{api}", {"Host": "evil.example:{port}"}, 421),
    ("foreign Host with a token", "POST", "{api}", {"Host": "evil.example:{port}"}, 421),
    ("loopback written long", "GET", "{api}", {"Host": "[0:0:0:0:0:0:0:1]:{port}"}, 421),
    ("foreign Origin", "POST", "{api}", {"Origin": "http://evil.example:{port}"}, 403),
    ("a form's content type", "POST", "{api}", {"Content-Type": "text/plain"}, 415),
    ("no token, 57 MiB announced", "POST", "{api}", {"Authorization": "", "BIG": ""}, 401),
    ("a path that is not UTF-8", "GET", "{api}/%FF", {}, 400),
]


@pytest.mark.parametrize(
    ("method", "path", "extra", "status"), [row[1:] for row in REAL], ids=[row[0] for row in REAL]
)
def test_the_real_servers_refuse_hostile_requests_from_their_head(
    real_server, method, path, extra, status
):
    """Both servers, as their commands start them, refuse from a request's
    head alone: nothing of an announced body is sent, yet the answer comes,
    with the security headers."""
    _, port, api, credential = real_server
    headers = {"Host": f"127.0.0.1:{port}", **JSON_POST, "Authorization": f"Bearer {credential}"}
    headers.update({k: v.format(port=port) for k, v in extra.items()})
    if headers.pop("BIG", None) is not None:
        headers["Content-Length"] = str(57 << 20)
    headers = {name: value for name, value in headers.items() if value}
    got_status, got, body = exchange("127.0.0.1", port, method, path.format(api=api), headers)
    assert got_status == status, body
    assert got["content-type"] == "application/problem+json"
    assert json.loads(body)["status"] == status
    assert "frame-ancestors 'none'" in got["content-security-policy"]


def test_the_real_servers_send_security_headers_and_serve_their_own_docs(real_server):
    command, port, _, _ = real_server
    host = {"Host": f"localhost:{port}"}
    status, headers, _ = exchange("127.0.0.1", port, "GET", "/", host)
    assert status == (200 if command == "serve" else 401)  # MCP: a token for every path
    assert headers["x-frame-options"] == "DENY" and headers["x-content-type-options"] == "nosniff"
    assert "script-src" not in headers["content-security-policy"]  # default-src 'self' rules
    if command == "mcp":
        return
    pytest.importorskip("fastapi_offline", reason="the docs page needs the [server] extra")
    status, _, page = exchange("127.0.0.1", port, "GET", "/docs", host)
    assert status == 200
    for link in re.findall(rb'(?:src|href)="([^"]*)"', page):
        assert link.startswith(b"/docs/"), link
        assert exchange("127.0.0.1", port, "GET", link.decode(), host)[0] == 200
