"""Threads sharing one `Memory`, on each backend: a call never waits for a
lock of another user's (held by another process), and what threads write at
once agrees with the log, in this process and in a fresh one."""

import contextlib
import multiprocessing
import random
import threading

import pg_workers
from memory_helpers import DIM, vector_for, vectors
from memory_helpers import memory_url as memory_url  # a fixture

from orlo_memory import Memory, NewTurn


@contextlib.contextmanager
def _write_lock_held_by_another_process(url, uid):
    """Another process holds the user's write lock (on SQLite the file's)
    until the block ends."""
    context = multiprocessing.get_context("spawn")
    held, release = context.Event(), context.Event()
    holder = context.Process(target=pg_workers.hold_write_lock, args=(url, uid, held, release))
    holder.start()
    try:
        assert held.wait(120), "the lock holder did not start"
        yield
    finally:
        release.set()
        holder.join(60)


def _in_thread(call):
    """`call` started in a thread of its own; the thread and its outcome."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call()
        except BaseException as error:
            outcome["error"] = error

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, outcome


def test_a_write_waiting_for_a_lock_stalls_no_other_call(memory_url):
    data = vectors(32, seed=12)
    with Memory.open(memory_url, dimension=DIM, busy_timeout=60) as memory:
        waiting, other = memory.user("waiting"), memory.user("other")
        waiting.add("before the lock", embedding=data[0])
        ids = other.add_many([f"turn {n}" for n in range(30)], embeddings=data[:30])
        with _write_lock_held_by_another_process(memory_url, waiting._uid):
            blocked = NewTurn("blocked", id="b1" * 16, embedding=data[30])
            writer, written = _in_thread(lambda: waiting.add_many([blocked]))
            writer.join(0.5)  # time to reach its wait for the lock
            assert writer.is_alive() and not written

            def reads():
                return (
                    [h.id for h in other.search("turn 7", 3, embedding=data[7])],
                    other.stats().turns,
                    memory.users(),
                    [h.text for h in waiting.search("before", 1, embedding=data[0])],
                    waiting.stats().turns,
                )

            reader, answered = _in_thread(reads)
            reader.join(30)  # a hang detector, far below the writer's 60 s
            assert not reader.is_alive(), "the reads waited for the blocked write"
            assert writer.is_alive()  # still waiting: the lock did not come free meanwhile
        writer.join(30)
        assert written == {"value": ["b1" * 16]}
        search, turns, users, own, own_turns = answered["value"]
        assert (search[0], turns, users) == (ids[7], 30, ["waiting", "other"])
        assert (own, own_turns) == (["before the lock"], 1)
        assert waiting.stats().index_points == 2


USERS = ("ann", "bob", "cat")


def _worker(memory, number, acknowledged, lock):
    """Adds, forgets (its own turns), searches, checkpoints and consolidates
    at random across the users; records what was acknowledged."""
    rng = random.Random(number)
    mine = {name: [] for name in USERS}
    for step in range(120):
        name = rng.choice(USERS)
        user = memory.user(name)
        action = rng.random()
        if action < 0.5:
            texts = [f"w{number} s{step} t{n}" for n in range(rng.randint(1, 8))]
            turns = [
                NewTurn(text, id=f"{rng.getrandbits(128):032x}", embedding=vector_for(text))
                for text in texts
            ]
            ids = user.add_many(turns, progress=False)
            mine[name] += ids
            with lock:
                acknowledged[name] |= set(ids)
        elif action < 0.62 and mine[name]:
            victim = mine[name].pop(rng.randrange(len(mine[name])))
            with lock:
                acknowledged[name].discard(victim)
            assert user.forget(victim) == 1
        elif action < 0.9:
            user.search(f"w{number} s{step}", 5, embedding=vector_for(f"q{step}"))
        elif action < 0.96:
            user.checkpoint()
        else:
            user.consolidate(full=rng.random() < 0.5)


def _check(memory, acknowledged):
    for name in USERS:
        user = memory.user(name)
        stored = {turn.id: turn for turn in user.turns()}
        assert set(stored) == acknowledged[name]
        stats = user.stats()
        assert stats.turns == stats.index_points == len(stored)
        for turn_id in sorted(stored)[::7]:
            turn = stored[turn_id]
            hits = user.search(
                "", 1, mode="vector", embedding=vector_for(turn.text), session=turn.session_id
            )
            assert hits[0].id == turn_id


def test_threads_writing_and_reading_at_once_agree_with_the_log(memory_url):
    # A cache too small for every user's index: evictions (and their
    # checkpoints) happen while other threads use those indexes.
    acknowledged = {name: set() for name in USERS}
    lock = threading.Lock()
    with Memory.open(
        memory_url,
        dimension=DIM,
        cache_bytes=60_000,
        checkpoint_every=25,
        forget_rebuild_share=0.1,
    ) as memory:
        workers = [_in_thread(lambda n=n: _worker(memory, n, acknowledged, lock)) for n in range(4)]
        for thread, outcome in workers:
            thread.join(300)
            assert not thread.is_alive() and "error" not in outcome, outcome.get("error")
        _check(memory, acknowledged)
    with Memory.open(memory_url) as fresh:  # each user's snapshot and log
        _check(fresh, acknowledged)
