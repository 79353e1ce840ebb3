"""Whether the database answers, as the health check reports it.

A probe (a small read on the token store's own connection) runs in a thread
of its own, so it never waits for a worker thread or a lock of the memory,
at most once per `fresh_for` seconds; health requests in between answer
from its last result, on the event loop, at once. A probe that has not
answered within `timeout` seconds counts as a database that does not
answer; it is left to finish, and no other starts meanwhile.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from dataclasses import dataclass

import anyio

DEFAULT_FRESH_FOR = 1.0
DEFAULT_TIMEOUT = 1.0
_FIRST_POLL = 0.001
_LAST_POLL = 0.02


@dataclass(frozen=True, slots=True)
class _Result:
    at: float
    problem: str | None


class Health:
    """The database's state from `probe` (which raises when it does not answer)."""

    def __init__(
        self,
        probe: Callable[[], object],
        *,
        fresh_for: float = DEFAULT_FRESH_FOR,
        timeout: float = DEFAULT_TIMEOUT,
    ) -> None:
        self._probe = probe
        self.fresh_for = fresh_for
        self.timeout = timeout
        self._lock = threading.Lock()
        self._last: _Result | None = None
        self._since: float | None = None  # when the probe under way began

    async def problem(self) -> str | None:
        """None when the database answered within the last `fresh_for`
        seconds, else why it is taken as unreachable."""
        now = time.monotonic()
        with self._lock:
            last, since = self._last, self._since
            if last is not None and now - last.at < self.fresh_for:
                return last.problem
            if since is None:
                self._since = since = now
                # The thread records its result itself, even once nobody waits.
                thread = threading.Thread(target=self._run, name="health-probe", daemon=True)
                thread.start()
        deadline = since + self.timeout
        poll = _FIRST_POLL
        while time.monotonic() < deadline:
            await anyio.sleep(poll)
            poll = min(poll * 2, _LAST_POLL)
            with self._lock:
                if self._last is not None and self._last.at >= since:
                    return self._last.problem
        return f"the database has not answered for {time.monotonic() - since:.1f} seconds"

    def _run(self) -> None:
        try:
            self._probe()
            problem = None
        except Exception as error:
            problem = f"the database does not answer: {error}"
        with self._lock:
            self._last = _Result(time.monotonic(), problem)
            self._since = None
