"""Runs in a subprocess, with whichever environment's kestrelfin: today's
(.venvs/bench) or the one built from a git ref (.venvs/bench-ref, see
ref.sh). bench.py starts it.

    python ref_worker.py scalar REPEATS      # prints {name (flag): ns per call}
    python ref_worker.py digests JOBDIR      # prints {case: sha256 of the result}

`scalar`: every scalar function of _kestrelfin, with fixed arguments, for a
call and a put, best of REPEATS runs of a fixed number of calls
(timing.py). bench.py runs
it for both environments in turn, several rounds, and keeps the best of
each, so that both see the same load.

`digests`: every array function of the run's cases on the job directory's
arrays (the ones bench.py times, written as .npy files), and the SHA-256 of
each result's bytes, so that bench.py can tell whether today's module gives
the ref's bits.

The functions and their parameters are read from the module itself (its
__all__ and the functions' signatures), and only the standard library and
NumPy are imported besides it, so the same file runs against any ref.
"""

from __future__ import annotations

import hashlib
import inspect
import json
import sys
from pathlib import Path

import numpy as np

import _kestrelfin as kf
from timing import best_per_call

# The fixed arguments of the scalar calls; the price 10 lies inside the
# no-arbitrage band of a call and of a put in every model.
VALUES = {"S": 100.0, "F": 100.0, "K": 95.0, "t": 0.75, "r": 0.05, "sigma": 0.25, "q": 0.02, "price": 10.0}
CALLS = 20_000


def parameters(function) -> list[str]:
    return list(inspect.signature(function).parameters)


def scalar_cases():
    """(key, statement, namespace) for every scalar call timed."""
    for name in kf.__all__:
        if name == "__version__" or name.endswith("_array"):
            continue
        function = getattr(kf, name)
        for flag in ("c", "p"):
            arguments = ", ".join(repr(flag) if p == "flag" else p for p in parameters(function))
            yield f"{name} ({flag})", f"f({arguments})", dict(VALUES, f=function)


def measure_scalar(repeats: int) -> dict:
    return {key: best_per_call(statement, namespace, repeats, CALLS)
            for key, statement, namespace in scalar_cases()}


def digests(jobdir: Path) -> dict:
    jobs = json.loads((jobdir / "jobs.json").read_text())
    out = {}
    arrays = {}
    for set_name, name, flag, kind, prices_file in jobs["cases"]:
        if set_name not in arrays:
            arrays = {set_name: {k: np.load(jobdir / f"{set_name}_{k}.npy") for k in ("S", "K", "t", "sigma")}}
        a = arrays[set_name]
        values = {"flag": flag, "S": a["S"], "F": a["S"], "K": a["K"], "t": a["t"], "sigma": a["sigma"],
                  "r": jobs["rates"][set_name], "q": jobs["dividend"]}
        if kind == "iv":
            values["price"] = np.load(jobdir / prices_file)
        function = getattr(kf, name + "_array")
        result = function(*(values[p] for p in parameters(function)))
        out[f"{set_name}|{name}|{flag}"] = hashlib.sha256(np.ascontiguousarray(result).tobytes()).hexdigest()
    return out


def main() -> None:
    mode = sys.argv[1]
    if mode == "scalar":
        print(json.dumps(measure_scalar(int(sys.argv[2]))))
    elif mode == "digests":
        print(json.dumps(digests(Path(sys.argv[2]))))
    else:
        raise SystemExit(f"unknown mode {mode}")


if __name__ == "__main__":
    main()
