"""The search route: the turns that best answer a query."""

from __future__ import annotations

from ....contract import shapes
from ....contract.turns import parse_time
from ..http_models import HitsOut, SearchIn
from ..turns import embedding_value
from .common import API, Existing, State, api_router

router = api_router(f"{API}/users/{{user}}", "search")


@router.post("/search", response_model=HitsOut)
async def search(state: State, target: Existing, body: SearchIn) -> dict[str, list[shapes.HitJson]]:
    """The k turns that best answer a query, best first, with each
    ranking's place (vector_rank, lexical_rank) and the cosine."""

    def work() -> dict[str, list[shapes.HitJson]]:
        hits = target.search(
            body.query,
            body.k,
            mode=body.mode,
            session=body.session,
            recency=body.recency,
            embedding=embedding_value(body.embedding),
            since=parse_time(body.since, "since"),
            until=parse_time(body.until, "until"),
            filter=body.filter,
        )
        return {"hits": [shapes.hit_json(hit) for hit in hits]}

    return await state.call(target.name, work)
