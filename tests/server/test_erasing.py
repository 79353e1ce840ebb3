"""Erasing a user through the doors that offer it: the command line, which
asks for --yes, and the HTTP API, for an admin token only (MCP offers no
erase: an assistant should not erase the person it serves)."""

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


def test_erasing_needs_a_confirmation_on_the_command_line_and_an_admin_token_over_http(location):
    with Memory.open(location, dimension=DIM) as memory:
        for user in ("alice", "bob", "carol"):
            memory.user(user).add(f"{user}'s secret", embedding=vector_for(user))
    alice, admin = token(location, "--user", "alice"), token(location, "--admin")

    unconfirmed = cli("erase", location, "--user", "carol", check=False)
    assert unconfirmed.returncode == 1 and "--yes" in unconfirmed.stderr
    assert cli("erase", location, "--user", "dave", "--yes", check=False).returncode == 1
    cli("erase", location, "--user", "carol", "--yes")

    with serve(location, "--precomputed") as base:

        def erase(user, credential):
            headers = {"Authorization": f"Bearer {credential}"}
            return httpx.delete(f"{base}/v1/users/{user}", headers=headers)

        # Not even the user's own token: erasing is for whoever runs the memory.
        refused = erase("alice", alice)
        assert refused.status_code == 403 and "admin" in refused.json()["detail"]
        assert erase("carol", admin).status_code == 404
        assert erase("alice", admin).status_code == 204
        assert erase("alice", admin).status_code == 404
        as_admin = {"Authorization": f"Bearer {admin}"}
        assert httpx.get(f"{base}/v1/users", headers=as_admin).json() == {"users": ["bob"]}
        assert httpx.get(f"{base}/v1/users/alice/stats", headers=as_admin).status_code == 404
        # The token that reached only alice went with her.
        as_alice = {"Authorization": f"Bearer {alice}"}
        assert httpx.get(f"{base}/v1/users", headers=as_alice).status_code == 401
