"""Bearer tokens: who reaches which user, on both backends; the loopback rule;
and the servers' libraries staying out of everything else."""

import subprocess
import sys

import httpx
import pytest
from server_helpers import DIM, cli, fresh_database, postgres_server, serve, token, vector_for

from orlo_memory import Memory


@pytest.fixture(params=["sqlite", "postgresql"])
def location(request, tmp_path):
    if request.param == "sqlite":
        yield str(tmp_path / "memory.db")
        return
    with fresh_database(postgres_server()) as url:
        yield url


def test_tokens_decide_who_reaches_which_user(location):
    with Memory.open(location, dimension=DIM):
        pass
    alice = token(location, "--user", "alice", "--name", "alice's laptop")
    admin = token(location, "--admin")
    listing = cli("token", "list", location).stdout
    assert "alice's laptop" in listing and "(every user)" in listing
    # Only the secret's hash is stored: the token's text appears nowhere.
    assert alice.split("_", 2)[2] not in listing  # the secret may hold "_"
    turn = {"text": "a secret of mine", "embedding": vector_for("s").tolist()}
    with serve(location, "--precomputed") as base:

        def call(method, path, credential=None, **options):
            headers = {} if credential is None else {"Authorization": f"Bearer {credential}"}
            return httpx.request(method, base + path, headers=headers, **options)

        for credential in (None, "om_0123456789ab_" + "x" * 43, "not-a-token", alice + "x"):
            refused = call("GET", "/v1/users", credential)
            assert refused.status_code == 401, credential
            assert refused.headers["www-authenticate"].startswith("Bearer")
        for user in ("alice", "bob"):
            assert call("POST", f"/v1/users/{user}/turns", admin, json=turn).status_code == 201
        assert call("GET", "/v1/users", alice).json() == {"users": ["alice"]}
        assert call("GET", "/v1/users", admin).json() == {"users": ["alice", "bob"]}
        search = {"query": "secret", "mode": "lexical"}
        assert call("POST", "/v1/users/alice/search", alice, json=search).json()["hits"]
        # Another user's memory looks exactly like one that does not exist.
        hidden = call("POST", "/v1/users/bob/search", alice, json=search)
        missing = call("POST", "/v1/users/carol/search", alice, json=search)
        assert hidden.status_code == missing.status_code == 404
        assert hidden.json()["detail"].replace("bob", "carol") == missing.json()["detail"]
        assert call("POST", "/v1/users/bob/turns", alice, json=turn).status_code == 404
        assert call("GET", "/v1/users/bob/stats", admin).json()["turns"] == 1
        alice_id = alice.split("_", 2)[1]
        cli("token", "revoke", location, alice_id)
        assert call("GET", "/v1/users", alice).status_code == 401
        assert call("GET", "/v1/users", admin).status_code == 200
    assert alice_id not in cli("token", "list", location).stdout
    assert cli("token", "revoke", location, alice_id, check=False).returncode == 1


@pytest.mark.parametrize(
    "command",
    [("serve", "--host", "192.0.2.1", "--port", "8765"), ("mcp", "--http", "192.0.2.1:8766")],
    ids=["serve", "mcp"],
)
def test_servers_refuse_other_addresses_without_a_token(tmp_path, command):
    # 192.0.2.1 is a documentation address that no interface here holds, so
    # even a server that failed this check could not listen there.
    path = str(tmp_path / "memory.db")
    with Memory.open(path, dimension=DIM):
        pass
    result = cli(command[0], path, "--precomputed", *command[1:], check=False)
    assert result.returncode == 1
    assert "refusing to listen on 192.0.2.1 without a token" in result.stderr


def test_library_and_other_commands_leave_the_server_libraries_alone(tmp_path):
    path = str(tmp_path / "memory.db")
    with Memory.open(path, dimension=DIM) as memory:
        memory.user("alice").add("hello", embedding=vector_for("hello"))
    probe = (
        "import sys, orlo_memory, orlo_memory.doors.cli as cli\n"
        f"cli.main(['stats', {path!r}]); cli.main(['token', 'list', {path!r}])\n"
        "cli.main(['search', {path!r}, 'hello', '--user', 'alice', '--mode', 'lexical'])\n"
        "heavy = {'fastapi', 'uvicorn', 'mcp', 'starlette', 'pydantic', 'httpx'}\n"
        "print(sorted({m.split('.')[0] for m in sys.modules} & heavy))\n"
    ).replace("{path!r}", repr(path))
    result = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, timeout=120, check=True
    )
    assert result.stdout.strip().splitlines()[-1] == "[]"
