"""Real time: sample k is due at start + k * period on the monotonic clock."""

from __future__ import annotations

import asyncio
from typing import Awaitable, Callable


async def keep_time(start: float, period: float, advance: Callable[[int], Awaitable[object]]) -> None:
    """Calls advance(n) with the samples due since the last call, for ever.

    Due times are computed from the start, not from the last wake-up, so
    lateness never accumulates; samples that fell due while the loop was busy
    are run together at the next wake-up, never skipped.
    """
    loop = asyncio.get_running_loop()
    done = 0
    while True:
        await asyncio.sleep(max(0.0, start + (done + 1) * period - loop.time()))
        due = int((loop.time() - start) / period)
        if due > done:
            await advance(due - done)
            done = due
