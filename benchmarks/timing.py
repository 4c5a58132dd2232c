"""The one timing harness of the benchmarks.

Every figure of the suite is the best of several repeats, with the
contenders of one comparison taking turns within each repeat (one call of
each, then the next round), so that a burst of load from elsewhere on the
machine falls on all of them alike, and with the garbage collector off
while timing. Two kinds of contender:

* a callable of no arguments, timed call by call (an array call, a whole
  loop over options);
* a statement, compiled by timeit with its arguments written out as a
  user's code writes them, and run `number` times per timing (a scalar
  call, far too short to time alone).

Only the standard library: the workers that run in other environments
(pvv_peer.py, ref_worker.py) use it too.
"""

from __future__ import annotations

import gc
import math
import platform
import time
import timeit
from pathlib import Path
from typing import Any, Callable


def cpu_name() -> str:
    """The CPU the figures were taken on, as the kernel names it."""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def best_of(calls: dict[str, Callable[[], Any]], repeats: int, per: float = 1.0) -> tuple[dict, dict]:
    """Times each callable `repeats` times, taking turns. Returns the best
    time of each in seconds divided by `per` (the number of options or calls
    one timing covers) and the result of each callable's first call."""
    best = {name: math.inf for name in calls}
    first: dict = {}
    enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeats):
            for name, call in calls.items():
                started = time.perf_counter_ns()
                result = call()
                elapsed = time.perf_counter_ns() - started
                best[name] = min(best[name], elapsed * 1e-9)
                first.setdefault(name, result)
                del result
    finally:
        if enabled:
            gc.enable()
    return {name: value / per for name, value in best.items()}, first


def statements(texts: dict[str, str], namespace: dict, number: int) -> dict[str, Callable[[], float]]:
    """Callables for best_of that each run one statement `number` times
    (timeit's compiled loop, which adds no call of its own per run)."""
    def runner(timer: timeit.Timer) -> Callable[[], float]:
        return lambda: timer.timeit(number)

    return {name: runner(timeit.Timer(text, globals=namespace)) for name, text in texts.items()}


def calls_per_timing(text: str, namespace: dict, at_least: int = 20_000) -> int:
    """How many runs of a statement make one timing of at least 0.2 s
    (timeit's autorange), and no fewer than `at_least`."""
    number, _ = timeit.Timer(text, globals=namespace).autorange()
    return max(number, at_least)


def best_per_call(text: str, namespace: dict, repeats: int, number: int | None = None) -> float:
    """Best time of one run of a statement, in ns."""
    if number is None:
        number = calls_per_timing(text, namespace)
    best, _ = best_of(statements({"one": text}, namespace, number), repeats, per=number)
    return best["one"] * 1e9


def loop_per_call(fn: Callable, rows: list, repeats: int) -> float:
    """Best time per call, in ns, of a plain for loop calling fn(*row), as
    a user pricing options one by one writes it."""

    def loop() -> None:
        for row in rows:
            fn(*row)

    best, _ = best_of({"loop": loop}, repeats, per=len(rows))
    return best["loop"] * 1e9
