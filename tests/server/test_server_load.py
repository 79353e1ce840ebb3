"""A small bounded load test (the benchmark's, at a tenth of a percent of its
size): concurrent clients mixing adds and searches on one user and on users
of their own, against SQLite (one server process) and PostgreSQL (two worker
processes on one database). No request may fail, and every acknowledged
turn must be stored exactly once."""

import contextlib

import pytest
from server_helpers import DIM, fresh_database, load, postgres_server, serve


@pytest.mark.slow
@pytest.mark.parametrize(("backend", "workers"), [("sqlite", 1), ("postgresql", 2)])
def test_concurrent_clients_lose_and_duplicate_nothing(tmp_path, backend, workers):
    with contextlib.ExitStack() as stack:
        if backend == "sqlite":
            location = str(tmp_path / "load.db")
        else:
            location = stack.enter_context(fresh_database(postgres_server()))
        options = ("--create", "--precomputed", "--dimension", str(DIM))
        base = stack.enter_context(serve(location, *options, workers=workers))
        result = load(base, requests=30, dim=DIM, shared=8, others=4)
    assert result.errors == []
    assert len(result.latencies) == 12 * 30
    assert sum(len(ids) for ids in result.acknowledged.values()) == 12 * 15
    assert (result.lost, result.duplicated, result.unacknowledged) == (0, 0, 0)
