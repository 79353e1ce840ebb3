"""The SQLite backend's tables, their version and the steps between versions.

`prepare` runs inside the opening write transaction: a file without tables
gets the current layout, a file of an older version is migrated one step at a
time (each step one small function below, all in that transaction: a crash
leaves the old version whole), and a file of a newer version, or a SQLite
database that is not a memory, is refused. The version lives in the `meta`
table under "schema_version".

Versions: 1, the first layout (index snapshots keyed by turn id); 2, turns
carry an `alias` (a caller's own name for a turn, found through an index) and
the index holds turns under the store's integer key, `turns.row`, and the
servers' bearer tokens have a table; 3, every file's full-text table is the
contentless one with Porter stemming over unicode61, diacritics folded (the
earliest files kept a copy of each text in it: it is rebuilt once); 4, the
field index of the turns' metadata (`turn_fields`, filters.py) and an index
of each user's turns by creation time, for filtered searches; 5, a turn id is
unique per user, not across the database (one user's ids tell nothing of
another's).
"""

from __future__ import annotations

import json
import sqlite3
from collections.abc import Callable

from ...errors import InvalidInputError, SettingsMismatchError
from ...progress import ProgressBar
from .filters import FIELDS_INDEX, FIELDS_TABLE, FILL_FIELDS, TIME_INDEX

SCHEMA_VERSION = 5

_ALIAS_INDEX = "CREATE INDEX turns_by_alias ON turns (uid, alias) WHERE alias IS NOT NULL"

# The servers' bearer tokens (stores/tokens.py): `users` is a JSON array of user
# names, NULL for a token that reaches every user.
_TOKENS_TABLE = """CREATE TABLE IF NOT EXISTS tokens (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    digest TEXT NOT NULL,
    users TEXT,
    created_us INTEGER NOT NULL
)"""

# Contentless: the texts stay in `turns` only. A row is removed with the
# 'delete' command and the values it was indexed with.
_FULL_TEXT = """CREATE VIRTUAL TABLE turns_fts USING fts5(
    text, scope, content = '', tokenize = 'porter unicode61 remove_diacritics 2'
)"""
_REBUILD_BATCH = 10_000

# The log of added turns; text, metadata and alias become NULL (and the
# embedding row goes) when the turn is forgotten, the row stays for its place
# in the log. `row` is the turn's key. A turn id is unique per user.
_TURNS_TABLE = """CREATE TABLE turns (
    row INTEGER PRIMARY KEY,
    id TEXT NOT NULL,
    uid INTEGER NOT NULL,
    seq INTEGER NOT NULL,
    session_id TEXT NOT NULL,
    boundary INTEGER NOT NULL,
    role TEXT NOT NULL,
    text TEXT,
    metadata TEXT,
    created_us INTEGER NOT NULL,
    alias TEXT,
    UNIQUE (uid, seq),
    UNIQUE (uid, id)
)"""
_TURN_COLUMNS = "row, id, uid, seq, session_id, boundary, role, text, metadata, created_us, alias"
_SESSION_INDEX = "CREATE INDEX turns_by_session ON turns (session_id, seq)"

_TABLES = (
    """CREATE TABLE meta (
        key TEXT PRIMARY KEY,
        value TEXT NOT NULL
    )""",
    """CREATE TABLE users (
        uid INTEGER PRIMARY KEY,
        name TEXT NOT NULL UNIQUE,
        created_us INTEGER NOT NULL,
        head_seq INTEGER NOT NULL DEFAULT 0,
        epoch INTEGER NOT NULL DEFAULT 0,
        live_count INTEGER NOT NULL DEFAULT 0,
        forgotten_count INTEGER NOT NULL DEFAULT 0,
        forgotten_since_rebuild INTEGER NOT NULL DEFAULT 0,
        current_session TEXT,
        pending_boundary INTEGER NOT NULL DEFAULT 0
    )""",
    """CREATE TABLE sessions (
        id TEXT PRIMARY KEY,
        uid INTEGER NOT NULL,
        title TEXT,
        created_us INTEGER NOT NULL,
        turn_count INTEGER NOT NULL DEFAULT 0,
        vector_sum BLOB
    )""",
    "CREATE INDEX sessions_by_user ON sessions (uid, created_us)",
    # Embeddings sit in their own table so that the turns stay small and the
    # rows a search reads stay in the cache.
    _TURNS_TABLE,
    """CREATE TABLE embeddings (
        row INTEGER PRIMARY KEY,
        data BLOB NOT NULL
    )""",
    _SESSION_INDEX,
    _ALIAS_INDEX,
    """CREATE TABLE forgets (
        uid INTEGER NOT NULL,
        seq INTEGER NOT NULL,
        turn_id TEXT NOT NULL,
        forgotten_us INTEGER NOT NULL,
        PRIMARY KEY (uid, seq)
    )""",
    _FULL_TEXT,
    # `file` names the snapshot's file beside the database (None: in memory).
    """CREATE TABLE snapshots (
        uid INTEGER PRIMARY KEY,
        seq INTEGER NOT NULL,
        epoch INTEGER NOT NULL,
        live_count INTEGER NOT NULL,
        dimension INTEGER NOT NULL,
        size INTEGER NOT NULL,
        checksum TEXT NOT NULL,
        created_us INTEGER NOT NULL,
        file TEXT
    )""",
    _TOKENS_TABLE,
    FIELDS_TABLE,
    FIELDS_INDEX,
    TIME_INDEX,
)


def _aliases_and_turn_keys(conn: sqlite3.Connection) -> None:
    """1 -> 2: turns get an alias column, filled for the documents of the
    LangChain store from the id it kept in their metadata; snapshots, whose
    index holds turns under their ids, are dropped (the next load rebuilds
    the index from the log and checkpoints it anew); the servers' tokens get
    their table."""
    conn.execute("ALTER TABLE turns ADD COLUMN alias TEXT")
    rows = conn.execute(
        "SELECT row, metadata FROM turns WHERE text IS NOT NULL AND metadata LIKE ?",
        ('%"langchain_id"%',),
    ).fetchall()
    aliases = []
    for row, metadata in rows:
        try:
            alias = json.loads(metadata).get("langchain_id")
        except (ValueError, AttributeError):
            continue
        if isinstance(alias, str):
            aliases.append((alias, row))
    conn.executemany("UPDATE turns SET alias = ? WHERE row = ?", aliases)
    conn.execute(_ALIAS_INDEX)
    conn.execute("DELETE FROM snapshots")
    conn.execute(_TOKENS_TABLE)


def _compact(sql: str) -> str:
    return "".join(sql.split()).lower()


def _contentless_full_text(conn: sqlite3.Connection) -> None:
    """2 -> 3: a full-text table other than the current one (the earliest
    files' kept a copy of every text) is built anew from the live turns, in
    batches, with progress on a terminal; a current one is left alone."""
    row = conn.execute("SELECT sql FROM sqlite_master WHERE name = 'turns_fts'").fetchone()
    if row is not None and _compact(row[0]).endswith(_compact(_FULL_TEXT).split("using", 1)[1]):
        return
    conn.execute("DROP TABLE IF EXISTS turns_fts")
    conn.execute(_FULL_TEXT)
    live, last = conn.execute(
        "SELECT count(*), coalesce(max(row), 0) FROM turns WHERE text IS NOT NULL"
    ).fetchone()
    bar = ProgressBar(int(live), "rebuilding the full-text index")
    try:
        for start in range(0, int(last) + 1, _REBUILD_BATCH):
            added = conn.execute(
                "INSERT INTO turns_fts (rowid, text, scope)"
                " SELECT row, text, 'u' || uid || ' s' || session_id FROM turns"
                " WHERE row >= ? AND row < ? AND text IS NOT NULL",
                (start, start + _REBUILD_BATCH),
            ).rowcount
            bar.advance(added)
    finally:
        bar.close()


def _field_index(conn: sqlite3.Connection) -> None:
    """3 -> 4: the field index of the live turns' metadata, filled in
    batches with progress on a terminal, and the turns by creation time."""
    conn.execute(FIELDS_TABLE)
    conn.execute(FIELDS_INDEX)
    conn.execute(TIME_INDEX)
    live, last = conn.execute(
        "SELECT count(*), coalesce(max(row), 0) FROM turns WHERE text IS NOT NULL"
    ).fetchone()
    bar = ProgressBar(int(live), "indexing the turns' metadata")
    try:
        for start in range(0, int(last) + 1, _REBUILD_BATCH):
            conn.execute(FILL_FIELDS, (start, start + _REBUILD_BATCH))
            bar.advance(
                conn.execute(
                    "SELECT count(*) FROM turns WHERE row >= ? AND row < ? AND text IS NOT NULL",
                    (start, start + _REBUILD_BATCH),
                ).fetchone()[0]
            )
    finally:
        bar.close()


def _turn_ids_per_user(conn: sqlite3.Connection) -> None:
    """4 -> 5: turn ids become unique per user. SQLite cannot drop a
    column's UNIQUE in place: the table is built anew under its name, every
    row copied with its key (the full-text rows, the embeddings and the
    snapshots name turns by it), in batches with progress on a terminal."""
    conn.execute("ALTER TABLE turns RENAME TO turns_before_5")
    conn.execute(_TURNS_TABLE)
    count, last = conn.execute(
        "SELECT count(*), coalesce(max(row), 0) FROM turns_before_5"
    ).fetchone()
    bar = ProgressBar(int(count), "scoping turn ids per user")
    try:
        for start in range(0, int(last) + 1, _REBUILD_BATCH):
            copied = conn.execute(
                f"INSERT INTO turns ({_TURN_COLUMNS}) SELECT {_TURN_COLUMNS} FROM turns_before_5"
                " WHERE row >= ? AND row < ?",
                (start, start + _REBUILD_BATCH),
            ).rowcount
            bar.advance(copied)
    finally:
        bar.close()
    conn.execute("DROP TABLE turns_before_5")  # with its indexes
    conn.execute(_SESSION_INDEX)
    conn.execute(_ALIAS_INDEX)
    conn.execute(TIME_INDEX)


# The step from each version to the next.
_STEPS: dict[int, Callable[[sqlite3.Connection], None]] = {
    1: _aliases_and_turn_keys,
    2: _contentless_full_text,
    3: _field_index,
    4: _turn_ids_per_user,
}


def check_ours(conn: sqlite3.Connection, path: str) -> bool:
    """Whether the file holds a memory (False: it is empty). Raises
    InvalidInputError for a SQLite database of something else, before
    anything (even a pragma) changes it."""
    tables = {
        name
        for (name,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")
        if not name.startswith("sqlite_")
    }
    if tables and not {"meta", "turns"} <= tables:
        raise InvalidInputError(f"{path!r} is a SQLite database, but not an orlo_memory one")
    return bool(tables)


def prepare(conn: sqlite3.Connection, path: str) -> None:
    """Creates, migrates or checks the tables (`conn` inside a write
    transaction). Raises InvalidInputError for a database that is not a
    memory, SettingsMismatchError for a version this library cannot use."""
    if not check_ours(conn, path):
        for statement in _TABLES:
            conn.execute(statement)
        _set_version(conn, SCHEMA_VERSION)
        return
    row = conn.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone()
    # A file of the first version records its version with its settings, so
    # one whose settings were never written lacks it.
    stored = "1" if row is None else str(row[0])
    try:
        version = int(stored)
    except ValueError:
        raise SettingsMismatchError(
            f"the memory's schema version {stored!r} is not one this library "
            f"({SCHEMA_VERSION}) knows"
        ) from None
    if version > SCHEMA_VERSION:
        raise SettingsMismatchError(
            f"the memory's schema is version {version}, newer than this library's "
            f"{SCHEMA_VERSION}: upgrade orlo_memory to open it"
        )
    if version < 1:
        raise SettingsMismatchError(
            f"the memory's schema is version {version}, older than this library's "
            f"{SCHEMA_VERSION}, and no migration from it exists"
        )
    for step in range(version, SCHEMA_VERSION):
        _STEPS[step](conn)
    if version != SCHEMA_VERSION or row is None:
        _set_version(conn, SCHEMA_VERSION)


def _set_version(conn: sqlite3.Connection, version: int) -> None:
    conn.execute(
        "INSERT OR REPLACE INTO meta (key, value) VALUES ('schema_version', ?)", (str(version),)
    )
