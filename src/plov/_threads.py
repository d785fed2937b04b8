"""Work split into shares run at once, one thread each."""

from __future__ import annotations

import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Callable


def run_shares(count: int, share: Callable[[int], None], stop: threading.Event) -> None:
    """Runs `share(0)`, ..., `share(count - 1)` at once, the first in the calling thread,
    and waits for all of them; the first failure is raised. `stop` is set when they are
    done or one fails (a share checks it between its chunks)."""
    if count == 1:
        share(0)
        return

    def guarded(w: int) -> None:
        try:
            share(w)
        except BaseException:
            stop.set()  # a failure or an interrupt ends every share at its next chunk
            raise

    pool = ThreadPoolExecutor(count - 1)
    try:
        futures = [pool.submit(guarded, w) for w in range(1, count)]
        guarded(0)
        for f in futures:
            f.result()
    finally:
        stop.set()
        pool.shutdown(wait=True)
