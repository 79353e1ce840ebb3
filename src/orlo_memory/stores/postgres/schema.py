"""The PostgreSQL backend's tables, their version and the steps between versions.

Every table lives in the schema `orlo_memory`, so the memory can share a
database with an application's own tables. The schema is created by the first
process that opens a database, under an advisory lock, in one transaction
(DDL is transactional in PostgreSQL: a database holds all of it or none), and
records its version in `orlo_memory.meta`. A database of an older version is
migrated the same way, one step at a time (each step one small function
below, all in one transaction); one of a newer version is refused, so an
older library never writes a layout it does not know.

Versions: 1, the first layout (index snapshots keyed by turn id); 2, turns
carry an `alias` (a caller's own name for a turn, found through an index) and
the index holds turns under the store's integer key, the turn's seq, and the
servers' bearer tokens have a table; 3, the full-text vector covers the first
TEXT_SEARCH_CHARS characters of a text, and folds diacritics before the
english configuration stems (as SQLite's tokenizer does), so "Tomás" meets
"tomas"; 4, the field index of the turns' metadata (`turn_fields`,
filters.py) and an index of each user's turns by creation time, for filtered
searches; 5, a turn id is unique per user, not across the database.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import psycopg
from psycopg import sql

from ...errors import SettingsMismatchError
from ...progress import ProgressBar
from .filters import FIELDS_INDEX, FIELDS_TABLE, FILL_FIELDS, TIME_INDEX

SCHEMA_VERSION = 5
# A tsvector holds at most 1 MiB: words past this many characters of a text
# are left out of its full-text vector (the text is stored whole and found by
# meaning). Adversarial texts measured at most 5 bytes of vector per
# character (hyphenated words index each part too); the bound on any text is
# about 7.
TEXT_SEARCH_CHARS = 100_000
# Advisory locks of the memory are (LOCK_SPACE, key) pairs: the schema takes
# key -1, a user the non-negative key derived from its uid.
LOCK_SPACE = 0x6F726C6F  # "orlo"
SCHEMA_LOCK_KEY = -1
LOCK_SQL = "SELECT pg_advisory_xact_lock(%s::integer, %s::integer)"
TRY_LOCK_SQL = "SELECT pg_try_advisory_xact_lock(%s::integer, %s::integer)"
SCHEMA_LOCK_SQL = "SELECT pg_advisory_lock(%s::integer, %s::integer)"
SCHEMA_UNLOCK_SQL = "SELECT pg_advisory_unlock(%s::integer, %s::integer)"

# The constraint that keeps a user's turn ids unique.
TURN_ID_CONSTRAINT = "turns_uid_id_key"
_TURN_ID_UNIQUE = "CONSTRAINT turns_uid_id_key UNIQUE (uid, id)"
_ALIAS_INDEX = (
    "CREATE INDEX turns_by_alias ON orlo_memory.turns (uid, alias) WHERE alias IS NOT NULL"
)
# The servers' bearer tokens (stores/tokens.py): `users` is a JSON array of user
# names, NULL for a token that reaches every user.
_TOKENS_TABLE = """CREATE TABLE IF NOT EXISTS orlo_memory.tokens (
    id text PRIMARY KEY,
    name text NOT NULL,
    digest text NOT NULL,
    users text,
    created_us bigint NOT NULL
)"""

# Letters of Latin-1 and Latin Extended-A with a diacritic, and their plain
# letters: folded out of the texts before the english configuration stems them
# (the query words are folded the same way, lexical.py).
FOLD_FROM = (
    "ÀÁÂÃÄÅÇÈÉÊËÌÍÎÏÑÒÓÔÕÖÙÚÛÜÝàáâãäåçèéêëìíîïñòóôõöùúûüýÿĀāĂăĄąĆćĈĉĊċČčĎďĒēĔĕĖėĘęĚě"
    "ĜĝĞğĠġĢģĤĥĨĩĪīĬĭĮįİĴĵĶķĹĺĻļĽľŃńŅņŇňŌōŎŏŐőŔŕŖŗŘřŚśŜŝŞşŠšŢţŤťŨũŪūŬŭŮůŰűŲųŴŵŶŷŸŹźŻżŽž"
)
FOLD_TO = (
    "AAAAAACEEEEIIIINOOOOOUUUUYaaaaaaceeeeiiiinooooouuuuyyAaAaAaCcCcCcCcDdEeEeEeEeEe"
    "GgGgGgGgHhIiIiIiIiIJjKkLlLlLlNnNnNnOoOoOoRrRrRrSsSsSsSsTtTtUuUuUuUuUuUuWwYyYZzZzZz"
)
_TSV_COLUMN = sql.SQL(
    "tsv tsvector GENERATED ALWAYS AS (to_tsvector('english'::regconfig,"
    " translate(left(coalesce(text, ''), {}), {}, {}))) STORED"
).format(sql.Literal(TEXT_SEARCH_CHARS), sql.Literal(FOLD_FROM), sql.Literal(FOLD_TO))
_TEXT_INDEX = "CREATE INDEX turns_text ON orlo_memory.turns USING gin (tsv)"

_DDL: tuple[str | sql.Composed, ...] = (
    "CREATE SCHEMA IF NOT EXISTS orlo_memory",
    """CREATE TABLE orlo_memory.meta (
        key text PRIMARY KEY,
        value text NOT NULL
    )""",
    """CREATE TABLE orlo_memory.users (
        uid bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
        name text NOT NULL UNIQUE,
        created_us bigint NOT NULL,
        head_seq bigint NOT NULL DEFAULT 0,
        epoch bigint NOT NULL DEFAULT 0,
        live_count bigint NOT NULL DEFAULT 0,
        forgotten_count bigint NOT NULL DEFAULT 0,
        forgotten_since_rebuild bigint NOT NULL DEFAULT 0,
        current_session text,
        pending_boundary smallint NOT NULL DEFAULT 0
    )""",
    # `ordinal` orders sessions created in the same microsecond.
    """CREATE TABLE orlo_memory.sessions (
        id text PRIMARY KEY,
        uid bigint NOT NULL,
        title text,
        created_us bigint NOT NULL,
        turn_count bigint NOT NULL DEFAULT 0,
        vector_sum bytea,
        ordinal bigint GENERATED ALWAYS AS IDENTITY
    )""",
    "CREATE INDEX sessions_by_user ON orlo_memory.sessions (uid, created_us)",
    # The log of added turns: a forgotten turn keeps its row (its place in the
    # log) with text, metadata, alias and embedding NULL; `seq` is its key.
    # `tsv` follows `text`, so a forgotten turn leaves the full-text index with it.
    sql.SQL("""CREATE TABLE orlo_memory.turns (
        uid bigint NOT NULL,
        seq bigint NOT NULL,
        id text NOT NULL,
        session_id text NOT NULL,
        boundary smallint NOT NULL,
        role text NOT NULL,
        text text,
        metadata text,
        created_us bigint NOT NULL,
        embedding bytea,
        alias text,
        {},
        PRIMARY KEY (uid, seq),
        {}
    )""").format(_TSV_COLUMN, sql.SQL(_TURN_ID_UNIQUE)),
    # Embeddings do not compress: never try.
    "ALTER TABLE orlo_memory.turns ALTER COLUMN embedding SET STORAGE EXTERNAL",
    "CREATE INDEX turns_by_session ON orlo_memory.turns (session_id, seq)",
    _TEXT_INDEX,
    _ALIAS_INDEX,
    """CREATE TABLE orlo_memory.forgets (
        uid bigint NOT NULL,
        seq bigint NOT NULL,
        turn_id text NOT NULL,
        forgotten_us bigint NOT NULL,
        PRIMARY KEY (uid, seq)
    )""",
    """CREATE TABLE orlo_memory.snapshots (
        uid bigint PRIMARY KEY,
        seq bigint NOT NULL,
        epoch bigint NOT NULL,
        live_count bigint NOT NULL,
        dimension integer NOT NULL,
        size bigint NOT NULL,
        checksum text NOT NULL,
        created_us bigint NOT NULL,
        parts integer NOT NULL
    )""",
    """CREATE TABLE orlo_memory.snapshot_parts (
        uid bigint NOT NULL,
        part integer NOT NULL,
        data bytea NOT NULL,
        PRIMARY KEY (uid, part)
    )""",
    "ALTER TABLE orlo_memory.snapshot_parts ALTER COLUMN data SET STORAGE EXTERNAL",
    _TOKENS_TABLE,
    FIELDS_TABLE,
    FIELDS_INDEX,
    TIME_INDEX,
)


Connection = psycopg.Connection[tuple[Any, ...]]


def _aliases_and_turn_keys(conn: Connection) -> None:
    """1 -> 2: turns get an alias column, filled for the documents of the
    LangChain store from the id it kept in their metadata; snapshots, whose
    index holds turns under their ids, are dropped (the next load rebuilds
    the index from the log and checkpoints it anew); the servers' tokens get
    their table."""
    conn.execute("ALTER TABLE orlo_memory.turns ADD COLUMN alias text")
    conn.execute(
        "UPDATE orlo_memory.turns SET alias = metadata::jsonb ->> 'langchain_id'"
        " WHERE text IS NOT NULL AND metadata LIKE %s"
        " AND jsonb_typeof(metadata::jsonb -> 'langchain_id') = 'string'",
        ('%"langchain_id"%',),
    )
    conn.execute(_ALIAS_INDEX)
    conn.execute("DELETE FROM orlo_memory.snapshot_parts")
    conn.execute("DELETE FROM orlo_memory.snapshots")
    conn.execute(_TOKENS_TABLE)


def _bounded_folded_full_text(conn: Connection) -> None:
    """2 -> 3: the full-text column is computed anew from a bounded prefix of
    each text (a text whose vector passed 1 MiB could not be stored at all),
    with its diacritics folded. A generated column's expression cannot be
    changed in place before PostgreSQL 17: the column is dropped (its index
    with it) and added anew, one rewrite of the table and its index, shown as
    one step of progress."""
    row = conn.execute("SELECT count(*) FROM orlo_memory.turns WHERE text IS NOT NULL").fetchone()
    count = 0 if row is None else int(row[0])
    bar = ProgressBar(count, "rebuilding the full-text index")
    try:
        conn.execute("ALTER TABLE orlo_memory.turns DROP COLUMN tsv")
        conn.execute(sql.SQL("ALTER TABLE orlo_memory.turns ADD COLUMN {}").format(_TSV_COLUMN))
        conn.execute(_TEXT_INDEX)
        bar.advance(count)
    finally:
        bar.close()


def _field_index(conn: Connection) -> None:
    """3 -> 4: the field index of the live turns' metadata, filled in one
    statement (shown as one step of progress), and the turns by creation time."""
    row = conn.execute("SELECT count(*) FROM orlo_memory.turns WHERE text IS NOT NULL").fetchone()
    bar = ProgressBar(0 if row is None else int(row[0]), "indexing the turns' metadata")
    try:
        conn.execute(FIELDS_TABLE)
        conn.execute(FILL_FIELDS)
        conn.execute(FIELDS_INDEX)
        conn.execute(TIME_INDEX)
        bar.advance(0 if row is None else int(row[0]))
    finally:
        bar.close()


def _turn_ids_per_user(conn: Connection) -> None:
    """4 -> 5: turn ids become unique per user: the constraint over all
    turns gives way to one over (uid, id), whose index also serves the reads
    by id (a table that has it already keeps it)."""
    conn.execute("ALTER TABLE orlo_memory.turns DROP CONSTRAINT IF EXISTS turns_id_key")
    row = conn.execute(
        "SELECT count(*) FROM pg_constraint"
        " WHERE conrelid = 'orlo_memory.turns'::regclass AND conname = %s",
        (TURN_ID_CONSTRAINT,),
    ).fetchone()
    if row is None or not row[0]:
        conn.execute("ALTER TABLE orlo_memory.turns ADD " + _TURN_ID_UNIQUE)


# The step from each version to the next.
_STEPS: dict[int, Callable[[Connection], None]] = {
    1: _aliases_and_turn_keys,
    2: _bounded_folded_full_text,
    3: _field_index,
    4: _turn_ids_per_user,
}


def _stored_version(conn: Connection) -> str | None:
    row = conn.execute("SELECT to_regclass('orlo_memory.meta') IS NOT NULL").fetchone()
    if row is None or not row[0]:
        return None
    row = conn.execute("SELECT value FROM orlo_memory.meta WHERE key = 'schema_version'").fetchone()
    return "" if row is None else str(row[0])


def _known(version: str) -> int:
    """The stored version as a number this library can open (perhaps after
    migrating); raises SettingsMismatchError otherwise."""
    try:
        number = int(version)
    except ValueError:
        raise SettingsMismatchError(
            f"the database's orlo_memory schema version {version!r} is not one this library "
            f"({SCHEMA_VERSION}) knows"
        ) from None
    if number > SCHEMA_VERSION:
        raise SettingsMismatchError(
            f"the database's orlo_memory schema is version {number}, newer than this "
            f"library's {SCHEMA_VERSION}: upgrade orlo_memory to open it"
        )
    if number < 1:
        raise SettingsMismatchError(
            f"the database's orlo_memory schema is version {number}, older than this "
            f"library's {SCHEMA_VERSION}, and no migration from it exists"
        )
    return number


def prepare(conn: Connection) -> None:
    """Creates the schema in a database that has none, migrates an older one
    and checks the version of one that has it (`conn` in autocommit mode).
    Raises SettingsMismatchError for a version this library cannot use."""
    version = _stored_version(conn)
    if version is not None and _known(version) == SCHEMA_VERSION:
        return
    # A session lock, taken outside the changing transaction: the check after
    # it runs in a new transaction, which sees the catalog as another process
    # may have just committed it (a lock taken inside the transaction would
    # leave that transaction's catalog cache stale).
    conn.execute(SCHEMA_LOCK_SQL, (LOCK_SPACE, SCHEMA_LOCK_KEY))
    try:
        version = _stored_version(conn)
        with conn.transaction():
            if version is None:
                for statement in _DDL:
                    conn.execute(statement)
            else:
                for step in range(_known(version), SCHEMA_VERSION):
                    _STEPS[step](conn)
            conn.execute(
                "INSERT INTO orlo_memory.meta (key, value) VALUES ('schema_version', %s)"
                " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                (str(SCHEMA_VERSION),),
            )
    finally:
        conn.execute(SCHEMA_UNLOCK_SQL, (LOCK_SPACE, SCHEMA_LOCK_KEY))
