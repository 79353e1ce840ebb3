"""Erasing a user: everything of theirs goes and nothing of anyone else's,
handles that still name the user (in this memory or another on the same
store) find it gone, and on SQLite no byte of the user's texts stays in the
files."""

import os

import pytest
from memory_helpers import DIM, is_postgres, run_sql, vectors
from memory_helpers import memory_url as memory_url  # a fixture

from orlo_memory import Memory, NewTurn, UnknownIdError
from orlo_memory.stores.sqlite import erase as sqlite_erase
from orlo_memory.stores.tokens import TokenRecord

# Every table that holds rows of a user, by its key (PostgreSQL's schema name).
_USER_TABLES = ("turns", "forgets", "sessions", "snapshots", "users")


def _rows_of(url: str, uid: int) -> dict[str, int]:
    counts = {}
    tables = _USER_TABLES + (("snapshot_parts",) if is_postgres(url) else ())
    for table in tables:
        [(count,)] = run_sql(
            url,
            f"SELECT count(*) FROM {table} WHERE uid = ?",
            f"SELECT count(*) FROM orlo_memory.{table} WHERE uid = %s",
            (uid,),
        )
        counts[table] = count
    if not is_postgres(url):
        [(counts["full-text"],)] = run_sql(
            url, "SELECT count(*) FROM turns_fts WHERE turns_fts MATCH 'alice'", ""
        )
        [(counts["embeddings"],)] = run_sql(
            url, "SELECT count(*) FROM embeddings WHERE row NOT IN (SELECT row FROM turns)", ""
        )
    return counts


def test_erasing_a_user_removes_all_of_theirs_and_nothing_else(memory_url):
    data = vectors(62, seed=3)
    with (
        Memory.open(memory_url, dimension=DIM, checkpoint_every=10) as memory,
        Memory.open(memory_url) as other,
    ):
        bob = memory.user("bob")
        bob_texts = [f"bob turn {n} about sailing" for n in range(20)]
        bob_ids = bob.add_many(bob_texts, embeddings=data[:20])
        alice = memory.user("alice")  # the newest user: on SQLite the largest key
        alice.new_session("trip")
        alice_ids = alice.add_many(
            [f"alice turn {n} about sailing" for n in range(40)], embeddings=data[20:60]
        )
        alice.forget(alice_ids[:3])
        watching = other.user("alice")
        watching.add("alice again, from the other memory", embedding=data[60])  # cached, unsaved
        store = memory._store
        for name, users in [("admin", None), ("both", ("alice", "bob")), ("alice", ("alice",))]:
            store.add_token(TokenRecord(f"{name:0<12}"[:12], name, "0" * 64, users, 0))
        [(uid,)] = run_sql(
            memory_url,
            "SELECT uid FROM users WHERE name = 'alice'",
            "SELECT uid FROM orlo_memory.users WHERE name = 'alice'",
        )
        assert _rows_of(memory_url, uid)["turns"] == 41

        assert memory.erase_user("alice") is True
        assert memory.erase_user("alice") is False
        assert memory.users() == other.users() == ["bob"]
        assert not any(_rows_of(memory_url, uid).values())
        assert {t.name: t.users for t in store.list_tokens()} == {
            "admin": None,
            "both": ("bob",),
        }
        other.checkpoint()  # the other memory drops its unsaved index of the erased user
        again = other.user("alice")
        again.add("a new alice", embedding=data[61])
        # Handles of the erased user, in either memory, find it gone, and a
        # write through them brings nothing back: the new alice has a key of
        # her own, never the erased one.
        for handle in (alice, watching):
            with pytest.raises(UnknownIdError):
                handle.search("sailing", 3, mode="lexical")
            with pytest.raises(UnknownIdError):
                handle.turns()
            with pytest.raises(UnknownIdError):
                handle.add("back again?", embedding=data[0])
        assert [t.text for t in memory.user("alice").turns()] == ["a new alice"]
        assert [t.id for t in bob.turns()] == bob_ids
        assert bob.search("", 1, mode="vector", embedding=data[5])[0].id == bob_ids[5]
        assert {h.id for h in bob.search("sailing", 50, mode="lexical")} == set(bob_ids)


def _every_byte(folder) -> bytes:
    """The contents of every file under `folder` (the database, its log and
    shared memory, the snapshot folder), one after the other."""
    found = []
    for root, _, files in os.walk(folder):
        for name in files:
            with open(os.path.join(root, name), "rb") as stream:
                found.append(stream.read())
    return b"\0".join(found)


@pytest.mark.parametrize("cut_off", [False, True], ids=["whole", "cut-off-after-commit"])
def test_no_byte_of_an_erased_users_texts_stays_in_the_sqlite_files(tmp_path, monkeypatch, cut_off):
    # The marker is one word, so the full-text index holds it whole; the
    # search is for its tail, which a term sharing its start with the one
    # before it in the index would still show.
    marker, kept = b"marker7f3a", b"bobmarker5e21"
    data = vectors(800, seed=4)
    with Memory.open(tmp_path / "memory.db", dimension=DIM) as memory:
        alice, bob = memory.user("alice"), memory.user("bob")
        for n in range(2):
            # The marker is in the metadata too, which the filters' field index copies.
            turns = [
                NewTurn(f"note{i}x{n} zebramarker7f3a, more text", metadata={"tag": "xmarker7f3a"})
                for i in range(200)
            ]
            ids = alice.add_many(turns, embeddings=data[400 * n : 400 * n + 200])
            bob.add_many(
                [f"bob{i} keeps bobmarker5e21" for i in range(200)],
                embeddings=data[400 * n + 200 : 400 * (n + 1)],
            )
            # Cleared in place before the erase; with the pages split on the
            # way, old copies of the rows lie in the pages' free space.
            alice.forget(ids[::2])
        alice.checkpoint()
        assert marker in _every_byte(tmp_path)
        with monkeypatch.context() as patch:
            if cut_off:  # as a crash right after the commit would
                patch.setattr(sqlite_erase, "scrub", lambda db: None)
            assert memory.erase_user("alice")
        while_open = _every_byte(tmp_path)
        assert (marker in while_open) is cut_off and kept in while_open
    if cut_off:  # the next open finishes the cleanup
        Memory.open(tmp_path / "memory.db").close()
    assert marker not in _every_byte(tmp_path)
    with Memory.open(tmp_path / "memory.db") as memory:
        assert memory.user("bob").search("bobmarker5e21", 3, mode="lexical")
