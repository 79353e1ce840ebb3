"""Worker processes of the tests (most of them PostgreSQL's), started with
the spawn method (each imports this module by name). Every worker reports
through a queue as (kind, worker number, payload); an exception is reported
as ("error", number, traceback text) so that the test fails at once instead
of waiting."""

import functools
import random
import time
import traceback

from memory_helpers import DIM, vector_for

from orlo_memory import Memory, NewTurn, StoreUnavailableError
from orlo_memory.contract.values import MAX_RESULTS

USERS = ("ann", "bob", "cat")
PROBES = 6


def _reporting(body):
    @functools.wraps(body)  # pickled by its module and name
    def run(number, queue, *args):
        try:
            body(number, queue, *args)
        except BaseException:
            queue.put(("error", number, traceback.format_exc()))
            raise

    return run


def _turn(text, rng, *, topic_share=0.0, session_share=0.0):
    return NewTurn(
        text,
        id=f"{rng.getrandbits(128):032x}",
        embedding=vector_for(text),
        new_topic=rng.random() < topic_share,
        new_session=rng.random() < session_share,
        session_title=text,
    )


def view(memory):
    """What this worker's memory answers for each user: the store's turns, all
    that its index finds, and the hybrid top 10 of fixed probes."""
    result = {}
    for name in USERS:
        user = memory.user(name)
        stats = user.stats()
        # All that the index finds, a session at a time (a search returns at
        # most MAX_RESULTS hits).
        everything = []
        for session in user.sessions():
            assert session.turn_count <= MAX_RESULTS, "a session too long to search whole"
            everything += user.search(
                "", MAX_RESULTS, mode="vector", embedding=vector_for("all"), session=session.id
            )
        probes = [
            [h.id for h in user.search(f"w1 {name} n{7 * n}", 10, embedding=vector_for(str(n)))]
            for n in range(PROBES)
        ]
        result[name] = {
            "turns": stats.turns,
            "points": stats.index_points,
            "head": stats.head_seq,
            "stored": [turn.id for turn in user.turns()],
            "found": [hit.id for hit in everything],
            "probes": probes,
        }
    return result


@_reporting
def concurrent_writer(number, queue, url, per_user, barrier):
    """Adds `per_user` turns to each user in batches of 1 to 40, users
    interleaved at random; reports the acknowledged ids, then (once every
    worker is done) its view."""
    rng = random.Random(number)
    with Memory.open(url, dimension=DIM) as memory:
        users = {name: memory.user(name) for name in USERS}
        left = dict.fromkeys(USERS, per_user)
        acknowledged = {name: [] for name in USERS}
        while any(left.values()):
            name = rng.choice([name for name in USERS if left[name]])
            size = min(left[name], rng.randint(1, 40))
            first = per_user - left[name]
            turns = [
                _turn(f"w{number} {name} n{first + i}", rng, topic_share=0.1, session_share=0.01)
                for i in range(size)
            ]
            if size == 1 and rng.random() < 0.5:
                turn = turns[0]
                ids = [users[name].add(turn.text, id=turn.id, embedding=turn.embedding)]
            else:
                ids = users[name].add_many(turns)
            acknowledged[name] += ids
            left[name] -= size
        queue.put(("written", number, acknowledged))
        barrier.wait()
        queue.put(("view", number, view(memory)))


@_reporting
def concurrent_searcher(number, queue, url, stop, barrier):
    """Searches, checkpoints and now and then consolidates until `stop`, then
    (once every worker is done) reports its view."""
    rng = random.Random(100 + number)
    with Memory.open(url, dimension=DIM) as memory:
        users = [memory.user(name) for name in USERS]
        while not stop.is_set():
            user = rng.choice(users)
            action = rng.random()
            if action < 0.8:
                mode = rng.choice(["vector", "hybrid", "lexical"])
                query = f"w{rng.randrange(4)} n{rng.randrange(2000)}"
                user.search(query, 10, mode=mode, embedding=vector_for(query))
            elif action < 0.98:
                user.checkpoint()
            else:
                user.consolidate()
        barrier.wait()
        queue.put(("view", number, view(memory)))


@_reporting
def restarted_writer(number, queue, url, stop):
    """Adds batches to a user shared with another writer until `stop`,
    retrying a batch with the same ids whenever the server is unavailable
    (waiting at most a second for it each time); reports the acknowledged
    ids and how many errors it met."""
    rng = random.Random(1000 + number)
    errors = 0
    acknowledged = []
    with Memory.open(url, busy_timeout=1) as memory:
        user = memory.user(f"shared {number % 2}")
        queue.put(("started", number, None))
        batch = 0
        while not stop.is_set():
            turns = [_turn(f"w{number} b{batch} t{i}", rng) for i in range(rng.randint(1, 20))]
            while True:
                try:
                    acknowledged += user.add_many(turns)
                    break
                except StoreUnavailableError:
                    errors += 1
                    time.sleep(0.05)
            batch += 1
            time.sleep(0.01)
    queue.put(("done", number, (acknowledged, errors)))


def hold_write_lock(url, uid, held, release):
    """Holds the write lock of the user `uid` (on SQLite the file's) from
    another process: sets `held` once it has it, lets go once `release` is set."""
    if url.startswith("postgresql://"):
        import psycopg

        from orlo_memory.stores.postgres.schema import LOCK_SPACE, LOCK_SQL

        conn = psycopg.connect(url, autocommit=True)
        conn.execute("BEGIN")
        conn.execute(LOCK_SQL, (LOCK_SPACE, uid))
    else:
        import sqlite3

        conn = sqlite3.connect(url, isolation_level=None)
        conn.execute("BEGIN IMMEDIATE")
    held.set()
    release.wait(120)
    conn.close()
