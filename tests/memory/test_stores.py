"""What each store owns: its schema version and the steps between versions,
its failures mapped to the memory's exceptions, a cost per user that does not
grow with the number of users, and a session's turns read (and paged) at a
cost that follows the session, not the user's log."""

import collections
import contextlib
import logging
import os
import pathlib
import re
import shutil
import sqlite3

import pytest
from memory_helpers import DIM, is_postgres, run_sql, vectors
from memory_helpers import memory_url as memory_url  # a fixture

from orlo_memory import (
    DuplicateIdError,
    InvalidInputError,
    Memory,
    NewTurn,
    SettingsMismatchError,
    StoreError,
    StoreUnavailableError,
)
from orlo_memory.core import user_index
from orlo_memory.stores import open_store
from orlo_memory.stores.records import By

HERE = os.path.dirname(os.path.abspath(__file__))


def _schema(url):
    """The module that owns the schema of the store behind `url`."""
    if is_postgres(url):
        from orlo_memory.stores.postgres import schema as postgres_schema

        return postgres_schema
    from orlo_memory.stores.sqlite import schema as sqlite_schema

    return sqlite_schema


def _meta(url):
    return "orlo_memory.meta" if is_postgres(url) else "meta"


def _stored_version(url):
    statement = f"SELECT value FROM {_meta(url)} WHERE key = 'schema_version'"
    return run_sql(url, statement, statement)[0][0]


@pytest.mark.parametrize(
    ("offset", "words"), [(1, "newer than"), (None, "older than"), ("two", "not one")]
)
def test_a_schema_of_another_version_is_refused_naming_both(memory_url, offset, words):
    version = _schema(memory_url).SCHEMA_VERSION
    Memory.open(memory_url, dimension=DIM).close()
    stored = "0" if offset is None else offset if isinstance(offset, str) else str(version + offset)
    mark = "%s" if is_postgres(memory_url) else "?"
    statement = f"UPDATE {_meta(memory_url)} SET value = {mark} WHERE key = 'schema_version'"
    run_sql(memory_url, statement, statement, (stored,))
    with pytest.raises(SettingsMismatchError, match=words) as raised:
        Memory.open(memory_url)
    assert stored in str(raised.value) and str(version) in str(raised.value)


def test_each_store_migrates_its_own_schema_one_step_at_a_time(memory_url, monkeypatch):
    # A later version is one more step function: the store applies it once,
    # in the opening transaction, whatever version the other backend is at.
    with Memory.open(memory_url, dimension=DIM) as memory:
        turn_id = memory.user("u").add("kept", embedding=vectors(1)[0])
    schema = _schema(memory_url)
    current = schema.SCHEMA_VERSION
    applied = []
    monkeypatch.setattr(schema, "SCHEMA_VERSION", current + 1)
    monkeypatch.setitem(schema._STEPS, current, lambda conn: applied.append(current))
    for _ in range(2):
        with Memory.open(memory_url) as memory:
            assert [turn.id for turn in memory.user("u").turns()] == [turn_id]
    assert applied == [current]
    assert _stored_version(memory_url) == str(current + 1)


def _back_to_version_4_turn_ids(url):
    """Takes a memory back to version 4, where a turn id was unique across
    the database."""
    if is_postgres(url):
        statements = [
            "ALTER TABLE orlo_memory.turns DROP CONSTRAINT turns_uid_id_key",
            "ALTER TABLE orlo_memory.turns ADD CONSTRAINT turns_id_key UNIQUE (id)",
            "UPDATE orlo_memory.meta SET value = '4' WHERE key = 'schema_version'",
        ]
    else:  # the rebuilt table drops this index with the old one
        statements = [
            "CREATE UNIQUE INDEX turns_by_id ON turns (id)",
            "UPDATE meta SET value = '4' WHERE key = 'schema_version'",
        ]
    for statement in statements:
        run_sql(url, statement, statement)


def _back_to_version_2_full_text(url):
    """Takes a memory's full-text index back to version 2: on SQLite the
    earliest files' table, which kept a copy of each text; on PostgreSQL the
    column that did not fold diacritics."""
    _back_to_version_4_turn_ids(url)
    schema = "orlo_memory." if is_postgres(url) else ""
    for statement in (f"DROP TABLE {schema}turn_fields", f"DROP INDEX {schema}turns_by_time"):
        run_sql(url, statement, statement)
    if is_postgres(url):
        statements = [
            "ALTER TABLE orlo_memory.turns DROP COLUMN tsv",
            "ALTER TABLE orlo_memory.turns ADD COLUMN tsv tsvector GENERATED ALWAYS AS"
            " (to_tsvector('english'::regconfig, coalesce(text, ''))) STORED",
            "CREATE INDEX turns_text ON orlo_memory.turns USING gin (tsv)",
            "UPDATE orlo_memory.meta SET value = '2' WHERE key = 'schema_version'",
        ]
    else:
        statements = [
            "DROP TABLE turns_fts",
            "CREATE VIRTUAL TABLE turns_fts USING fts5("
            "text, scope, tokenize = 'porter unicode61 remove_diacritics 2')",
            "INSERT INTO turns_fts (rowid, text, scope) SELECT row, text,"
            " 'u' || uid || ' s' || session_id FROM turns WHERE text IS NOT NULL",
            "UPDATE meta SET value = '2' WHERE key = 'schema_version'",
        ]
    for statement in statements:
        run_sql(url, statement, statement)


def test_an_older_full_text_index_is_rebuilt_once_and_loses_nothing(memory_url):
    texts = ["Tomás booked the flights", "a quiet day", "flight delayed again", "gone soon"]
    with Memory.open(memory_url, dimension=DIM) as memory:
        user = memory.user("u")
        ids = user.add_many(texts, embeddings=vectors(4))
        user.forget(ids[3])
        memory.user("other").add("flights of fancy", embedding=vectors(1)[0])
    _back_to_version_2_full_text(memory_url)
    for _ in range(2):  # the second open finds the current version and changes nothing
        with Memory.open(memory_url) as memory:
            user = memory.user("u")
            assert sorted(h.id for h in user.search("flight", 5, mode="lexical")) == sorted(
                [ids[0], ids[2]]
            )
            assert [h.id for h in user.search("tomas", 5, mode="lexical")] == [ids[0]]
            assert [h.text for h in memory.user("other").search("fancy", 5, mode="lexical")] == [
                "flights of fancy"
            ]
        assert _stored_version(memory_url) == str(_schema(memory_url).SCHEMA_VERSION) == "5"
    with Memory.open(memory_url) as memory:  # rows leave the rebuilt index when forgotten
        user = memory.user("u")
        user.forget(ids[0])
        assert [h.id for h in user.search("flight", 5, mode="lexical")] == [ids[2]]


def test_turn_ids_are_scoped_per_user_once_migrated(memory_url, caplog):
    # An id of alice's, stored when ids were unique across the database,
    # tells bob nothing now: he stores, retries, reads and forgets his own
    # turn under it, and each log replays only its own events.
    data = vectors(3, seed=31)
    shared = "5e" * 16
    with Memory.open(memory_url, dimension=DIM) as memory:
        memory.user("alice").add("alice's turn", id=shared, embedding=data[0])
    _back_to_version_4_turn_ids(memory_url)
    with Memory.open(memory_url) as memory, Memory.open(memory_url) as reader:
        alice, bob = memory.user("alice"), memory.user("bob")
        assert bob.taken_ids([shared]) == []
        turn = NewTurn("bob's turn", id=shared, embedding=data[1])
        assert bob.add_many([turn]) == bob.add_many([turn]) == [shared]  # the retry stores nothing
        with pytest.raises(DuplicateIdError, match=shared):
            bob.add("another", id=shared, embedding=data[2])
        bob.add("bob's second", embedding=data[2])
        bob.checkpoint()
        assert bob.forget(shared) == 1
        assert [t.text for t in alice.get(shared)] == ["alice's turn"]
        assert bob.taken_ids([shared]) == [shared]  # forgotten, never reused
        with caplog.at_level(logging.WARNING, logger="orlo_memory"):
            # Loaded from the snapshot before the forget, and the forget after it.
            stats = reader.user("bob").stats()
        assert stats.turns == stats.index_points == 1
        assert not caplog.records
        assert alice.search("", 1, mode="vector", embedding=data[1])[0].id == shared
    assert _stored_version(memory_url) == "5"


@pytest.fixture
def sqlite_memory(tmp_path):
    path = str(tmp_path / "memory.db")
    with Memory.open(path, dimension=DIM, busy_timeout=0.2) as memory:
        yield path, memory


def test_a_write_lock_held_elsewhere_is_a_retryable_error(sqlite_memory):
    path, memory = sqlite_memory
    user = memory.user("u")
    user.add("first", embedding=vectors(1)[0])
    turn = NewTurn("second", id="ab" * 16, embedding=vectors(2)[1])
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    try:
        with pytest.raises(StoreUnavailableError, match="may be retried"):
            user.add_many([turn])
        assert [hit.text for hit in user.search("first", 2, mode="lexical")] == ["first"]
    finally:
        holder.execute("ROLLBACK")
        holder.close()
    assert user.add_many([turn]) == ["ab" * 16]
    assert user.stats().turns == 2


def test_a_full_database_is_a_store_error_and_stores_nothing(sqlite_memory):
    _, memory = sqlite_memory
    user = memory.user("u")
    user.add("first", embedding=vectors(1)[0])
    db = memory._store._db
    with db.bound():  # the thread's calls run on this connection, where the pragma holds
        pages = db.conn.execute("PRAGMA page_count").fetchone()[0]
        db.conn.execute(f"PRAGMA max_page_count = {pages + 2}")
        with pytest.raises(StoreError, match="full"):
            user.add_many([f"turn {n} " * 50 for n in range(300)], embeddings=vectors(300))
        db.conn.execute("PRAGMA max_page_count = 1073741823")
    stats = user.stats()
    assert stats.turns == stats.index_points == stats.head_seq == 1
    user.add("after", embedding=vectors(1)[0])


def test_a_snapshot_that_finds_the_disk_full_is_a_store_error(sqlite_memory):
    path, memory = sqlite_memory
    user = memory.user("u")
    data = vectors(20)
    user.add_many([f"turn {n}" for n in range(20)], embeddings=data)
    before = user.stats()
    # The snapshot the consolidation writes goes through a name that leads
    # to a device that is always full.
    folder = path + "-snapshots"
    os.makedirs(folder, exist_ok=True)
    name = f"u{user._uid}-e{before.epoch + 1}-s{before.head_seq}.kiv.tmp"
    os.symlink("/dev/full", os.path.join(folder, name))
    with pytest.raises(StoreError, match="No space left on device"):
        user.consolidate()
    assert not os.path.lexists(os.path.join(folder, name))
    after = user.stats()
    assert (after.epoch, after.turns, after.snapshot_seq) == (before.epoch, 20, before.snapshot_seq)
    assert user.search("", 1, mode="vector", embedding=data[3])[0].text == "turn 3"


@pytest.mark.parametrize("content", ["garbage", "other sqlite"])
def test_a_file_that_is_not_a_memory_is_refused_naming_it_and_left_alone(tmp_path, content):
    path = str(tmp_path / "other.db")
    if content == "garbage":
        with open(path, "wb") as stream:
            stream.write(os.urandom(4096))
    else:
        with sqlite3.connect(path) as conn:
            conn.execute("CREATE TABLE notes (body TEXT)")
    original = pathlib.Path(path).read_bytes()
    with pytest.raises(InvalidInputError, match=r"other\.db"):
        Memory.open(path, dimension=DIM)
    assert pathlib.Path(path).read_bytes() == original


def _counting(function, counts, name, size=None):
    def counted(*args, **kwargs):
        result = function(*args, **kwargs)
        counts[name] += 1 if size is None else size(result)
        return result

    return counted


def test_the_work_of_a_call_does_not_grow_with_the_users(tmp_path, monkeypatch):
    counts = collections.Counter()
    sized = _counting(user_index.LoadedIndex.memory_bytes, counts, "sizes")
    monkeypatch.setattr(user_index.LoadedIndex, "memory_bytes", sized)
    monkeypatch.setattr(os, "listdir", _counting(os.listdir, counts, "listed", len))
    data = vectors(4, seed=3)

    def work(users, folder):
        """What one add, one search of a new session and close() cost with
        `users` users loaded."""
        path = str(tmp_path / folder / "memory.db")
        os.makedirs(os.path.dirname(path))
        spent = {}
        with Memory.open(path, dimension=DIM, checkpoint_every=10**6) as memory:
            loaded = [memory.user(f"user {n}") for n in range(users)]
            for user in loaded:
                user.add("hello", embedding=data[0])
            counts.clear()
            loaded[-1].add("again", embedding=data[1])
            spent["add"] = dict(counts)
            session = loaded[-1].new_session("new")
            loaded[-1].add("in the session", embedding=data[2])
            counts.clear()
            loaded[-1].search("", 1, mode="vector", embedding=data[2], session=session)
            spent["session search"] = dict(counts)
            counts.clear()
        spent["close, per user"] = {name: count / users for name, count in counts.items()}
        shutil.rmtree(os.path.dirname(path))
        return spent

    few, many = work(3, "few"), work(60, "many")
    for name in ("add", "session search"):
        assert many[name] == few[name], name
    for name, per_user in many["close, per user"].items():
        assert per_user <= few["close, per user"].get(name, 0), name


def test_a_session_is_read_through_its_own_rows_not_the_users_whole_log(tmp_path, monkeypatch):
    # SQLite's planner took the (uid, ...) indexes for `session_id = ? AND
    # uid = ?` and `id IN (?, ?) AND uid = ?`, so reading one session's turns
    # (the first search in a session) walked all of the user's turns, and
    # ranking sessions all of the user's sessions. No statement of a session
    # search, a ranking of sessions or a page may search by uid alone.
    statements = []
    connect = sqlite3.connect

    def traced(*args, **kwargs):
        conn = connect(*args, **kwargs)
        conn.set_trace_callback(statements.append)
        return conn

    path = str(tmp_path / "memory.db")
    with Memory.open(path, dimension=DIM) as memory:
        user = memory.user("u")
        for start in range(0, 12, 4):
            turns = [NewTurn(f"turn {n}", new_session=n == start) for n in range(start, start + 4)]
            user.add_many(turns, embeddings=vectors(12)[start : start + 4])
        session = user.sessions()[1].id
    monkeypatch.setattr(sqlite3, "connect", traced)
    with Memory.open(path) as memory:
        user = memory.user("u")
        user.search("turn", 2, embedding=vectors(12)[5], session=session)
        assert len(user.sessions("turn", 2, embedding=vectors(12)[5])) == 2
    with contextlib.closing(open_store(path)) as store:
        store.read_turns(store.ensure_user("u", 0), By.SESSION, [session], offset=1, limit=2)
    reads = [s for s in statements if s.lstrip().upper().startswith(("SELECT", "WITH"))]
    assert any("turns_fts" in s for s in reads) and any(session in s for s in reads)
    with contextlib.closing(connect(path)) as conn:
        steps = [
            (row[3], statement)
            for statement in reads
            for row in conn.execute("EXPLAIN QUERY PLAN " + statement)
        ]
    assert not [step for step in steps if re.search(r"INDEX \w+ \(uid=\?\)", step[0])]


def test_a_selection_of_turns_comes_in_pages_in_seq_order(memory_url):
    with Memory.open(memory_url, dimension=DIM) as memory:
        user = memory.user("u")
        texts = [f"turn {n}" for n in range(10)]
        turns = [NewTurn(text, new_session=n in (0, 3)) for n, text in enumerate(texts)]
        ids = user.add_many(turns, embeddings=vectors(10))
        user.forget(ids[5])
        memory.user("other").add("elsewhere", embedding=vectors(1)[0])
        session = user.sessions()[0].id  # the newest: turns 3 to 9
    with contextlib.closing(open_store(memory_url)) as store:
        uid = store.ensure_user("u", 0)

        def page(by, values, offset, limit):
            found = store.read_turns(uid, by, values, offset=offset, limit=limit)
            assert (found.head_seq, found.epoch) == (11, 0)
            return [turn.text for turn in found.turns]

        in_session = [texts[n] for n in (3, 4, 6, 7, 8, 9)]
        assert page(By.SESSION, [session], 0, None) == in_session
        pages = [page(By.SESSION, [session], offset, 4) for offset in range(0, 8, 4)]
        assert pages == [in_session[:4], in_session[4:]]
        assert page(By.SESSION, [session], 6, None) == page(By.SESSION, [session], 2, 0) == []
        assert page(By.ALL, [], 2, 3) == [texts[2], texts[3], texts[4]]
        assert page(By.ID, ids[::-1], 4, 2) == [texts[4], texts[6]]
        other = store.sessions(store.ensure_user("other", 0))[0].id
        assert page(By.SESSION, [other], 0, 5) == []
        for offset, limit, name in ((-1, None, "offset"), (0, -1, "limit")):
            with pytest.raises(InvalidInputError, match=name):
                page(By.SESSION, [session], offset, limit)
