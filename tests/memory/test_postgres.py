"""What only the PostgreSQL backend has: many processes writing one user at
once, a server that restarts, stops or drops a connection mid-call, many
first opens at once. Each test gets a fresh database (memory_helpers)."""

import multiprocessing
import os
import queue as queues
import subprocess
import threading
import time
import urllib.parse

import pg_workers
import pytest
from memory_helpers import (
    DIM,
    fresh_database,
    postgres_server,
    run_sql,
    vector_for,
    vectors,
)
from memory_helpers import postgres_url as postgres_url  # a fixture
from memory_helpers import private_postgres as private_postgres  # a fixture

from orlo_memory import Memory, StoreError, StoreUnavailableError

# Modules that import psycopg are imported inside the tests, after their
# fixtures skipped them where it is not installed.


def _collect(processes, queue, wanted, on_message=None, timeout=600.0):
    """Messages of kind `wanted` by worker number; fails on a worker's error
    or death, and then ends the others."""
    found = {}
    deadline = time.monotonic() + timeout
    try:
        while len(found) < len(processes):
            try:
                kind, number, payload = queue.get(timeout=2.0)
            except queues.Empty:
                dead = [p.exitcode for p in processes if p.exitcode not in (None, 0)]
                assert not dead, f"a worker died with exit code {dead[0]}"
                assert time.monotonic() < deadline, "the workers did not finish in time"
                continue
            assert kind != "error", f"worker {number} failed:\n{payload}"
            if on_message is not None:
                on_message(kind, number, payload)
            if kind == wanted:
                found[number] = payload
        for process in processes:
            process.join(60)
            assert process.exitcode == 0
    finally:
        for process in processes:
            if process.is_alive():
                process.kill()
    return found


@pytest.mark.slow
def test_concurrent_writers_and_searchers_agree_on_every_turn(postgres_url):
    # Four writers add 2,000 turns to each of three users while two workers
    # search, checkpoint and consolidate; all six open the fresh database at
    # once, so they also race to create its schema.
    context = multiprocessing.get_context("spawn")
    queue, barrier, stop = context.Queue(), context.Barrier(6), context.Event()
    per_user = 2000
    writers = [
        context.Process(
            target=pg_workers.concurrent_writer, args=(n, queue, postgres_url, per_user, barrier)
        )
        for n in range(4)
    ]
    searchers = [
        context.Process(
            target=pg_workers.concurrent_searcher, args=(4 + n, queue, postgres_url, stop, barrier)
        )
        for n in range(2)
    ]
    for process in writers + searchers:
        process.start()
    acknowledged = {name: [] for name in pg_workers.USERS}
    written = []

    def on_message(kind, number, payload):
        if kind == "written":
            for name, ids in payload.items():
                acknowledged[name] += ids
            written.append(number)
            if len(written) == len(writers):
                stop.set()

    views = _collect(writers + searchers, queue, "view", on_message)
    for name in pg_workers.USERS:
        expected = sorted(acknowledged[name])
        assert len(expected) == len(set(expected)) == 4 * per_user
        first = views[0][name]
        for number, worker_view in views.items():
            mine = worker_view[name]
            assert mine["turns"] == mine["points"] == mine["head"] == 4 * per_user, number
            assert sorted(mine["stored"]) == expected
            assert sorted(mine["found"]) == expected  # each turn exactly once in the index
            assert mine["probes"] == first["probes"], f"worker {number} ranks differently"
    counts = run_sql(
        postgres_url,
        "",
        "SELECT count(*), count(DISTINCT id), max(seq) FROM orlo_memory.turns GROUP BY uid",
    )
    assert sorted(counts) == [(4 * per_user,) * 3] * 3


@pytest.mark.slow
def test_writers_survive_server_restarts_losing_nothing_acknowledged(private_postgres):
    postgres_url, pg_ctl = private_postgres
    Memory.open(postgres_url, dimension=DIM).close()
    context = multiprocessing.get_context("spawn")
    queue, stop = context.Queue(), context.Event()
    writers = [
        context.Process(target=pg_workers.restarted_writer, args=(n, queue, postgres_url, stop))
        for n in range(3)
    ]
    for process in writers:
        process.start()
    started = []

    def restart_when_all_started(kind, number, payload):
        if kind == "started":
            started.append(number)
            if len(started) == len(writers):
                # A crash (no shutdown checkpoint, recovery from the log) and
                # a clean stop that terminates the sessions, each with the
                # server down longer than the writers wait for it.
                for mode in ("immediate", "fast"):
                    time.sleep(0.7)
                    subprocess.run([*pg_ctl, "-m", mode, "stop"], check=True, timeout=120)
                    time.sleep(2.0)
                    subprocess.run([*pg_ctl, "start"], check=True, timeout=120)
                time.sleep(1.0)
                stop.set()

    done = _collect(writers, queue, "done", restart_when_all_started)
    assert sum(errors for _, errors in done.values()) > 0, "no writer saw the restarts"
    with Memory.open(postgres_url) as memory:
        for shared in (0, 1):
            expected = sorted(i for n, (ids, _) in done.items() if n % 2 == shared for i in ids)
            assert len(expected) == len(set(expected))
            user = memory.user(f"shared {shared}")
            stored = {turn.id: turn for turn in user.turns()}
            assert sorted(stored) == expected
            stats = user.stats()
            assert stats.turns == stats.index_points == stats.head_seq == len(expected)
            for turn_id in expected[:: max(1, len(expected) // 20)]:
                turn = stored[turn_id]
                hits = user.search(
                    "", 1, mode="vector", embedding=vector_for(turn.text), session=turn.session_id
                )
                assert hits[0].id == turn_id


def test_a_server_down_fails_each_call_at_once_and_the_next_after_a_restart_works(
    private_postgres,
):
    postgres_url, pg_ctl = private_postgres
    data = vectors(3, seed=5)
    with Memory.open(postgres_url, dimension=DIM) as memory:  # waits bounded by 60 s
        user = memory.user("u")
        user.add("before", embedding=data[0])
        calls = {
            "add": lambda: user.add("lost", id="10" * 16, embedding=data[1]),
            "search": lambda: user.search("before", 1, embedding=data[0]),
            "stats": user.stats,
            "users": memory.users,
            "a new user": lambda: memory.user("new"),
        }
        subprocess.run([*pg_ctl, "-m", "fast", "stop"], check=True, timeout=120)
        try:
            for name, call in calls.items():
                started = time.monotonic()
                with pytest.raises(StoreUnavailableError, match="may be retried"):
                    call()
                assert time.monotonic() - started < 10, f"{name} waited for the server"
        finally:
            subprocess.run([*pg_ctl, "start"], check=True, timeout=120)
        user.add("after", embedding=data[2])
        # The add that failed is not applied once the server is back.
        assert [turn.text for turn in user.turns()] == ["before", "after"]
        stats = user.stats()
        assert stats.turns == stats.index_points == stats.head_seq == 2
        assert memory.user("new").stats().turns == 0


def _terminate_lock_waiters(url, done):
    """Terminates every session of the database that waits for an advisory
    lock, until `done` is set."""
    import psycopg

    with psycopg.connect(url, autocommit=True) as conn:
        while not done.is_set():
            conn.execute(
                "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                " WHERE datname = current_database() AND wait_event_type = 'Lock'"
                " AND wait_event = 'advisory'"
            )
            time.sleep(0.05)


@pytest.mark.parametrize("how", ["lock wait times out", "connection terminated"])
def test_a_write_cut_off_raises_a_retryable_error_and_stores_nothing(postgres_url, how):
    import psycopg

    from orlo_memory.stores.postgres.schema import LOCK_SPACE

    timeout = 1.0 if how == "lock wait times out" else 30.0
    with Memory.open(postgres_url, dimension=DIM, busy_timeout=timeout) as memory:
        user = memory.user("u")
        user.add("first", embedding=vector_for("first"))
        done = threading.Event()
        with psycopg.connect(postgres_url, autocommit=True) as holder:
            # Another writer holds the user's lock, so the add below waits.
            holder.execute("BEGIN")
            holder.execute(
                "SELECT pg_advisory_xact_lock(%s::integer, %s::integer)", (LOCK_SPACE, user._uid)
            )
            killer = threading.Thread(target=_terminate_lock_waiters, args=(postgres_url, done))
            if how == "connection terminated":
                killer.start()
            try:
                with pytest.raises(StoreUnavailableError, match="may be retried"):
                    user.add("second", embedding=vector_for("second"))
            finally:
                done.set()
                if killer.is_alive():
                    killer.join()
            holder.execute("ROLLBACK")
        assert [turn.text for turn in user.turns()] == ["first"]
        user.add("second", embedding=vector_for("second"))  # reconnected
        stats = user.stats()
        assert stats.turns == stats.index_points == stats.head_seq == 2


def test_many_first_opens_at_once_create_one_schema():
    server = postgres_server()
    from orlo_memory.stores.postgres.schema import SCHEMA_VERSION

    for _ in range(4):
        with fresh_database(server) as url:
            errors = []
            barrier = threading.Barrier(8)

            def open_fresh(url=url, barrier=barrier, errors=errors):
                barrier.wait()
                try:
                    Memory.open(url, dimension=DIM).close()
                except Exception as error:
                    errors.append(error)

            threads = [threading.Thread(target=open_fresh) for _ in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            assert not errors
            rows = run_sql(url, "", "SELECT key, value FROM orlo_memory.meta ORDER BY key")
            assert dict(rows)["schema_version"] == str(SCHEMA_VERSION)


def test_a_database_of_version_2_indexes_a_bounded_prefix_once_migrated(postgres_url):
    with Memory.open(postgres_url, dimension=DIM) as memory:
        old = memory.user("u").add("an old turn about Lisbon", embedding=vector_for("old"))
    # Back to the second layout: a vector of the whole text.
    for statement in (
        "ALTER TABLE orlo_memory.turns DROP COLUMN tsv",
        "ALTER TABLE orlo_memory.turns ADD COLUMN tsv tsvector GENERATED ALWAYS AS"
        " (to_tsvector('english'::regconfig, coalesce(text, ''))) STORED",
        "CREATE INDEX turns_text ON orlo_memory.turns USING gin (tsv)",
        "UPDATE orlo_memory.meta SET value = '2' WHERE key = 'schema_version'",
    ):
        run_sql(postgres_url, "", statement)
    long_text = "Lisbon " + " ".join(f"w{n}" for n in range(200_000))
    with Memory.open(postgres_url) as memory:
        user = memory.user("u")
        new = user.add(long_text, embedding=vector_for("new"))
        assert {h.id for h in user.search("lisbon", 5, mode="lexical")} == {old, new}


def test_a_lexical_search_that_counts_turns_committed_after_the_live_count(postgres_url):
    # Each statement of a search reads its own snapshot: words can match
    # more turns than the live count read just before. Stand in for that race
    # by understating the count.
    with Memory.open(postgres_url, dimension=DIM) as memory:
        user = memory.user("u")
        added = user.add_many(
            [f"a turn about Lisbon {n}" for n in range(3)],
            embeddings=[vector_for(str(n)) for n in range(3)],
        )
    run_sql(postgres_url, "", "UPDATE orlo_memory.users SET live_count = 1")
    with Memory.open(postgres_url) as memory:
        found = memory.user("u").search("lisbon", 5, mode="lexical")
        assert {h.id for h in found} == set(added)


def test_a_refusal_of_the_server_is_not_reported_as_retryable(postgres_url):
    # A role that may connect but not create the memory's schema: that stays so.
    role = "orlo_test_" + os.urandom(4).hex()
    run_sql(postgres_url, "", f"CREATE ROLE {role} LOGIN")
    try:
        parts = urllib.parse.urlsplit(postgres_url)
        url = urllib.parse.urlunsplit(
            parts._replace(netloc=f"{role}@{parts.netloc.rpartition('@')[2]}")
        )
        with pytest.raises(StoreError, match="permission denied") as raised:
            Memory.open(url, dimension=DIM, busy_timeout=5)
        assert not isinstance(raised.value, StoreUnavailableError)
    finally:
        run_sql(postgres_url, "", f"DROP ROLE {role}")


def test_an_unreachable_database_is_a_clear_error(postgres_url):
    parts = urllib.parse.urlsplit(postgres_url)
    missing = urllib.parse.urlunsplit(parts._replace(path="/orlo_no_such_database"))
    with pytest.raises(StoreUnavailableError, match="orlo_no_such_database"):
        Memory.open(missing, dimension=DIM, busy_timeout=5)
