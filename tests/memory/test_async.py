"""`AsyncMemory`: its calls leave the event loop free, on both backends, and
every call of the synchronous memory has its coroutine."""

import asyncio
import threading

import pytest
from memory_helpers import DIM, vectors
from memory_helpers import memory_url as memory_url  # a fixture

from orlo_memory import (
    AsyncMemory,
    AsyncUserMemory,
    ClosedError,
    Memory,
    UnknownIdError,
    UserMemory,
)
from orlo_memory.core.logs import Logs

TICK = 0.010
# A loop that waited for a call would skip ticks for as long as the call ran:
# on a quiet machine every gap stays under 50 ms (11 to 42 ms measured on a
# busy one, about 300 ms with the calls run on the loop). The assertion that
# proves the loop free is the thread check below; the gap is only bounded
# loosely, since a fully loaded CI machine has stalled a whole process for
# half a second.
MAX_GAP = 2.0


async def test_calls_never_block_the_event_loop(memory_url, monkeypatch):
    data = vectors(600, seed=21)
    loop_thread = threading.get_ident()
    threads: set[int] = set()
    enter = Logs.call  # every call of the memory goes through it

    def recorded(self):
        threads.add(threading.get_ident())
        return enter(self)

    monkeypatch.setattr(Logs, "call", recorded)
    async with AsyncMemory.open(memory_url, dimension=DIM) as memory:
        user = await memory.user("u")
        ids = await user.add_many([f"turn {n}" for n in range(200)], embeddings=data[:200])
        loop = asyncio.get_running_loop()
        gaps: list[float] = []
        done = asyncio.Event()

        async def ticker() -> None:
            last = loop.time()
            while not done.is_set():
                await asyncio.sleep(TICK)
                now = loop.time()
                gaps.append(now - last)
                last = now

        ticking = asyncio.create_task(ticker())
        await asyncio.sleep(5 * TICK)
        session = await user.current_session()  # a session's search scores every turn
        searches = [
            user.search("", 1, mode="vector", embedding=data[n], session=session)
            for n in range(200)
        ]
        adds = [user.add(f"new turn {n}", embedding=data[200 + n]) for n in range(200)]
        calls = [call for pair in zip(searches, adds, strict=True) for call in pair]
        found = await asyncio.gather(*calls)
        done.set()
        await ticking
        assert threads and loop_thread not in threads  # every call ran off the loop
        assert len(gaps) > 5 and max(gaps) < MAX_GAP, max(gaps)
        assert [hits[0].id for hits in found[0::2]] == ids
        assert (await user.stats()).turns == 400
        with pytest.raises(UnknownIdError):  # the library's errors come through as they are
            await user.get("0" * 32)
    with pytest.raises(ClosedError):
        await user.search("turn", 1, mode="lexical")


@pytest.mark.parametrize("sync, face", [(Memory, AsyncMemory), (UserMemory, AsyncUserMemory)])
def test_every_call_of_the_memory_has_a_coroutine(sync, face):
    public = {name for name in dir(sync) if not name.startswith("_")}
    assert public <= set(dir(face))
    for name in public:
        if callable(getattr(sync, name)) and name != "open":
            assert asyncio.iscoroutinefunction(getattr(face, name)), name
