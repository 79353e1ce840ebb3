"""The HTTP API end to end: a real `orlo-memory serve` process on loopback,
on SQLite and on PostgreSQL, checked against the library's own view and,
every response, against the schema its OpenAPI page shows."""

import base64
import json
import re
import uuid

import httpx
import pytest
from server_helpers import DIM, fresh_database, postgres_server, serve, vector_for

from orlo_memory import Memory, NewTurn
from orlo_memory.doors.server.turns import idempotent_id

# The validator comes with the MCP library, one of the server extra's.
jsonschema = pytest.importorskip("jsonschema")

PROBLEM = "application/problem+json"


@pytest.fixture(params=["sqlite", "postgresql"])
def location(request, tmp_path):
    if request.param == "sqlite":
        yield str(tmp_path / "memory.db")
        return
    with fresh_database(postgres_server()) as url:
        yield url


def v(key: str) -> list[float]:
    return vector_for(key).tolist()


def _closed(schema):
    """`schema` with every object that lists its properties refusing others, so
    a body with a field the page does not show fails."""
    if isinstance(schema, list):
        return [_closed(item) for item in schema]
    if not isinstance(schema, dict):
        return schema
    closed = {key: _closed(value) for key, value in schema.items()}
    if "properties" in closed:
        closed.setdefault("additionalProperties", False)
    return closed


class Documented:
    """An httpx response hook: every response to an API route must have a
    status, a media type and a body that the server's /openapi.json documents
    for that route. `unseen` lists the routes no success was seen for."""

    def __init__(self, base: str) -> None:
        document = httpx.get(base + "/openapi.json").json()
        self.components = _closed(document["components"])
        self.operations = []
        for template, methods in document["paths"].items():
            pattern = re.compile(re.sub(r"\\{[^}]+\\}", "[^/]+", re.escape(template)) + "$")
            for method, operation in methods.items():
                self.operations.append((template.count("{"), method.upper(), pattern, operation))
        self.operations.sort(key=lambda entry: entry[0])  # literal segments win
        self.succeeded: set[str] = set()

    def __call__(self, response: httpx.Response) -> None:
        path = response.request.url.path
        if not path.startswith("/v1/"):
            return
        method = response.request.method
        operation = next(
            op for _, m, pattern, op in self.operations if m == method and pattern.match(path)
        )
        documented = operation["responses"].get(str(response.status_code))
        assert documented is not None, f"{method} {path}: {response.status_code} undocumented"
        if response.status_code < 300:
            self.succeeded.add(operation["operationId"])
        if response.status_code == 204:
            return
        media = response.headers["content-type"].split(";")[0]
        assert media in documented["content"], f"{method} {path}: {media} undocumented"
        if media == "application/jsonl":  # a stream of export entries, no one body
            return
        schema = documented["content"][media].get("schema")
        assert schema, f"{method} {path}: no schema for {media}"
        response.read()
        schema = {**_closed(schema), "components": self.components}
        jsonschema.validate(response.json(), schema, cls=jsonschema.Draft202012Validator)

    def unseen(self) -> list[str]:
        return sorted({op["operationId"] for *_, op in self.operations} - self.succeeded)


def test_api_round_trip(location):
    texts = ["Hotel booked near the river", "Museum on Sunday", "Pasta needs salted water"]
    with serve(location, "--create", "--precomputed", "--dimension", str(DIM)) as base:
        documented = Documented(base)
        hooks = {"response": [documented]}
        http = httpx.Client(base_url=base + "/v1/users/alice", event_hooks=hooks)
        trip = http.post("/sessions", json={"title": "Trip"})
        assert trip.status_code == 201
        trip_uuid = str(uuid.UUID(trip.json()["id"]))  # every route takes the dashed form
        flight_turn = {"text": "Flight to Lisbon on the 3rd", "embedding": v("flight")}
        flight_turn["metadata"] = {"msg": 17}
        response = http.post("/turns", json=flight_turn)
        assert response.status_code == 201
        flight = response.json()["id"]
        # Embeddings as numbers or as base64 of little-endian float32.
        packed = [base64.b64encode(vector_for(t).astype("<f4").tobytes()).decode() for t in texts]
        batch = {"turns": [{"text": t, "embedding": e} for t, e in zip(texts, packed, strict=True)]}
        first = http.post("/turns/batch", json=batch, headers={"Idempotency-Key": "b-1"})
        retry = http.post("/turns/batch", json=batch, headers={"Idempotency-Key": "b-1"})
        assert first.status_code == retry.status_code == 201
        assert retry.json()["ids"] == first.json()["ids"]
        # Ids derived from a key stay what they were: a retry across an upgrade stores nothing.
        namespace = uuid.UUID("6f726c6f-6d65-6d6f-7279-6964656d706f")
        assert first.json()["ids"][1] == uuid.uuid5(namespace, "alice\nb-1\n1").hex
        assert http.get("/stats").json()["turns"] == 1 + len(texts)

        def search(**body):
            response = http.post("/search", json={"k": 4, **body})
            assert response.status_code == 200, response.text
            return response.json()["hits"]

        vector = search(query="", mode="vector", embedding=v("flight"))
        assert vector[0]["id"] == flight
        assert vector[0]["vector_rank"] == 1 and vector[0]["vector_score"] == pytest.approx(1.0)
        lexical = search(query="Lisbon", mode="lexical")
        assert [hit["id"] for hit in lexical] == [flight]
        assert lexical[0]["lexical_rank"] == 1 and lexical[0]["vector_rank"] is None
        hybrid = search(query="Lisbon flight", embedding=v("flight"), session=trip_uuid)
        assert hybrid[0]["id"] == flight and hybrid[0]["metadata"] == {"msg": 17}
        assert (hybrid[0]["vector_rank"], hybrid[0]["lexical_rank"]) == (1, 1)
        created = http.get(f"/turns/{uuid.UUID(flight)}").json()["created_at"]
        assert [h["id"] for h in search(query="Lisbon", mode="lexical", since=created)] == [flight]
        assert search(query="Lisbon", mode="lexical", until=created) == []

        sessions = http.get("/sessions").json()["sessions"]
        assert [(s["id"], s["title"], s["turns"]) for s in sessions] == [
            (trip.json()["id"], "Trip", 4)
        ]
        ranked = http.post("/sessions/rank", json={"embedding": v("flight")}).json()
        assert ranked["sessions"][0]["score"] is not None
        assert http.post("/topics").status_code == 204
        reversed_ids = first.json()["ids"][::-1]
        by_ids = http.get("/turns", params={"ids": ",".join(reversed_ids)}).json()["turns"]
        assert [t["id"] for t in by_ids] == reversed_ids
        turn = http.get(f"/turns/{flight}").json()
        assert (turn["text"], turn["metadata"], turn["session"]) == (
            flight_turn["text"],
            {"msg": 17},
            trip.json()["id"],
        )
        exported = [json.loads(line) for line in http.get("/export").text.splitlines()]
        assert [entry["id"] for entry in exported] == [flight, *first.json()["ids"]]

        assert http.delete(f"/turns/{uuid.UUID(flight)}").json() == {"forgotten": 1}
        gone = http.get(f"/turns/{flight}")
        assert gone.status_code == 404 and gone.headers["content-type"] == PROBLEM
        assert flight not in [hit["id"] for hit in search(query="Lisbon", mode="lexical")]
        page = {"session": trip_uuid, "offset": 1, "limit": 2}
        listed = http.get("/turns", params=page).json()["turns"]
        assert [t["id"] for t in listed] == first.json()["ids"][1:]
        last = first.json()["ids"][-1:]
        assert http.post("/turns/forget", json={"ids": last}).json() == {"forgotten": 1}
        assert http.get(base + "/v1/health").json() == {"status": "ok", "dimension": DIM}
        assert http.get(base + "/v1/users").json() == {"users": ["alice"]}
        http.close()
        # Erasing a user needs an admin token, which this open server has not
        # (tests/server/test_erasing.py erases).
        assert documented.unseen() == ["erase_user_v1_users__user__delete"]
    # What the server stored is what the library reads.
    with Memory.open(location) as memory:
        assert [t.id for t in memory.user("alice").turns()] == first.json()["ids"][:-1]


@pytest.fixture(scope="module")
def guarded(tmp_path_factory):
    """A server with small bounds over a memory holding one turn of alice's."""
    path = str(tmp_path_factory.mktemp("bad") / "memory.db")
    with Memory.open(path, dimension=DIM) as memory:
        alice = memory.user("alice")
        kept = alice.add("The kept turn", embedding=vector_for("kept"))
        # What a request with Idempotency-Key "k-1" stored: two turns.
        keyed = [
            NewTurn(turn["text"], id=idempotent_id("alice", "k-1", n), embedding=turn["embedding"])
            for n, turn in enumerate(KEYED)
        ]
        alice.add_many(keyed)
    options = ("--precomputed", "--max-body", "20000", "--max-batch", "3")
    with serve(path, *options) as base:
        hooks = {"response": [Documented(base)]}
        with httpx.Client(base_url=base, event_hooks=hooks) as http:
            yield http, kept


A = "/v1/users/alice"
GOOD = {"text": "fine", "embedding": [0.25] * DIM}
KEYED = [{"text": f"keyed {n}", "embedding": v(f"keyed {n}")} for n in range(2)]
K1 = {"Idempotency-Key": "k-1"}
DEEP: dict = {}
for _ in range(40):
    DEEP = {"a": DEEP}
BAD_INPUTS = [
    # (name, method, path, body (bytes: sent raw), headers, status, words in the detail)
    ("malformed JSON", "POST", A + "/turns", b'{"text": ', {}, 400, "not valid JSON"),
    ("NaN literal", "POST", A + "/turns", b'{"text": "x", "embedding": [NaN]}', {}, 400, "JSON"),
    (
        "a new user's turn of a wrong type",
        "POST",
        "/v1/users/bob/turns",
        {"text": 5},
        {},
        422,
        "text",
    ),
    (
        "a new user's turn with metadata too deep",
        "POST",
        "/v1/users/bob/turns",
        {**GOOD, "metadata": DEEP},
        {},
        422,
        "32",
    ),
    ("number as a string", "POST", A + "/search", {"query": "kept", "k": "3"}, {}, 422, "k"),
    ("unknown field", "POST", A + "/turns", {**GOOD, "colour": 1}, {}, 422, "colour"),
    ("unknown mode", "POST", A + "/search", {"query": "x", "mode": "fuzzy"}, {}, 422, "mode"),
    ("naive time", "POST", A + "/turns", {**GOOD, "created_at": "2026-01-01T10:00"}, {}, 422, ""),
    ("empty text", "POST", A + "/turns", {**GOOD, "text": "  "}, {}, 422, "non-empty"),
    ("NUL in text", "POST", A + "/turns", {**GOOD, "text": "a\u0000b"}, {}, 422, "NUL"),
    ("NUL in user", "POST", "/v1/users/a%00b/turns", GOOD, {}, 422, "NUL"),
    ("wrong dimension", "POST", A + "/turns", {**GOOD, "embedding": [1.0] * 3}, {}, 422, "3"),
    ("embedding not base64", "POST", A + "/turns", {**GOOD, "embedding": "a!"}, {}, 422, "base64"),
    ("no embedding, no model", "POST", A + "/turns", {"text": "x"}, {}, 422, "embedder"),
    ("body too large", "POST", A + "/turns", {**GOOD, "text": "x" * 30000}, {}, 413, "20000"),
    ("batch too large", "POST", A + "/turns/batch", {"turns": [GOOD] * 4}, {}, 413, "at most 3"),
    (
        "one bad turn in a batch",
        "POST",
        A + "/turns/batch",
        {"turns": [GOOD, {**GOOD, "embedding": [1.0]}]},
        {},
        422,
        "dimension",
    ),
    ("bad idempotency key", "POST", A + "/turns", GOOD, {"Idempotency-Key": "a b"}, 422, "Key"),
    ("unknown user", "POST", "/v1/users/nobody/search", {"query": "x"}, {}, 404, "nobody"),
    ("unknown turn", "GET", A + "/turns/" + "ab" * 16, None, {}, 404, "abab"),
    ("malformed turn id", "GET", A + "/turns/not-an-id", None, {}, 422, "hex"),
    (
        "unknown session",
        "POST",
        A + "/search",
        {"query": "kept", "mode": "lexical", "session": "cd" * 16},
        {},
        404,
        "session",
    ),
    ("unknown session's page", "GET", A + "/turns?session=" + "cd" * 16, None, {}, 404, "session"),
    ("malformed session id", "GET", A + "/turns?session=cd", None, {}, 422, "session id"),
    ("forget unknown among known", "POST", A + "/turns/forget", "KEPT+UNKNOWN", {}, 404, "ef"),
    ("taken id", "POST", A + "/turns", "KEPT-ID", {}, 409, "already stored"),
    ("key reused for another turn", "POST", A + "/turns", GOOD, K1, 422, "Idempotency-Key"),
    ("key reused for fewer turns", "POST", A + "/turns", KEYED[0], K1, 422, "Idempotency-Key"),
    (
        "key reused for more turns",
        "POST",
        A + "/turns/batch",
        {"turns": [*KEYED, GOOD]},
        K1,
        422,
        "reused with a different request",
    ),
    (
        "key reused with another embedding",
        "POST",
        A + "/turns/batch",
        {"turns": [KEYED[0], {**KEYED[1], "embedding": GOOD["embedding"]}]},
        K1,
        422,
        "reused with a different request",
    ),
]


@pytest.mark.parametrize(
    ("method", "path", "body", "headers", "status", "words"),
    [case[1:] for case in BAD_INPUTS],
    ids=[case[0] for case in BAD_INPUTS],
)
def test_bad_input_is_refused_and_changes_nothing(
    guarded, method, path, body, headers, status, words
):
    http, kept = guarded
    if body == "KEPT+UNKNOWN":
        body = {"ids": [kept, "ef" * 16]}
    elif body == "KEPT-ID":
        body = {**GOOD, "id": kept}
    before = http.get(A + "/stats").json()
    content = body if isinstance(body, bytes) else None if body is None else json.dumps(body)
    response = http.request(
        method, path, content=content, headers={"Content-Type": "application/json", **headers}
    )
    assert response.status_code == status, response.text
    assert response.headers["content-type"] == PROBLEM
    problem = response.json()
    assert problem["status"] == status and problem["title"] and problem["type"]
    assert words in problem["detail"]
    assert http.get(A + "/stats").json() == before
    assert http.get("/v1/users").json() == {"users": ["alice"]}
    assert http.get(A + f"/turns/{kept}").status_code == 200


def test_a_repeated_request_with_its_key_stores_nothing(guarded):
    """The request a key came with, sent again (embeddings as numbers), gets
    the ids stored the first time; a new key stores anew."""
    http, _ = guarded
    before = http.get(A + "/stats").json()["turns"]
    again = http.post(A + "/turns/batch", json={"turns": KEYED}, headers=K1)
    assert again.status_code == 201, again.text
    assert again.json()["ids"] == [idempotent_id("alice", "k-1", n) for n in range(2)]
    assert http.get(A + "/stats").json()["turns"] == before
    fresh = http.post(A + "/turns", json=KEYED[0], headers={"Idempotency-Key": "k-2"})
    assert fresh.status_code == 201
    assert http.post(A + "/turns/forget", json={"ids": [fresh.json()["id"]]}).status_code == 200


def test_an_export_leaves_out_turns_forgotten_while_it_is_written():
    """The export's lines are the turns live when it began, less those
    forgotten before their embeddings were read (one of the first batch,
    read already, is exported whole): no line lacks its embedding."""
    from orlo_memory.doors.jsonl import EXPORT_BATCH, iter_export

    with Memory.open(":memory:", dimension=DIM) as memory:
        user = memory.user("alice")
        count = EXPORT_BATCH + 10
        turns = [NewTurn(f"turn {n}", embedding=v(f"turn {n}")) for n in range(count)]
        ids = user.add_many(turns)
        entries = iter_export(user, embeddings=True)
        exported = [next(entries)]  # the turns are read, and the first batch's embeddings
        user.forget([ids[1], *ids[-3:]])
        exported += entries
    assert [entry["id"] for entry in exported] == ids[:-3]
    assert all(len(entry["embedding"]) == DIM for entry in exported)
