"""Runs in a subprocess, with whichever environment's kestrelfin: today's
(.venvs/bench) or the one built from the baseline commit
(.venvs/bench-baseline, see baseline.sh). bench.py starts it.

    python baseline_worker.py scalar REPEATS      # prints {name: ns per call}
    python baseline_worker.py digests JOBDIR      # prints {case: sha256 of the result}

`scalar`: every scalar function of the suite's cases (prices and implied
volatilities for calls and puts, the fifteen Greeks for calls) with fixed
arguments, by timeit, best of REPEATS runs of a fixed number of calls. bench.py
runs it for both environments in turn, several rounds, and keeps the best of
each, so that both see the same load.

`digests`: every array function of the suite on the job directory's arrays
(the ones bench.py times, written as .npy files), and the SHA-256 of each
result's bytes, so that bench.py can tell whether today's module still gives
the baseline's bits.

Only the standard library and NumPy are imported besides the module, so the
same file runs in both environments.
"""

from __future__ import annotations

import hashlib
import json
import sys
import timeit
from pathlib import Path

import numpy as np

import _kestrelfin as kf

GREEKS = ("delta", "gamma", "vega", "theta", "rho", "vanna", "charm", "vomma", "speed", "zomma",
          "color", "veta", "ultima", "dual_delta", "dual_gamma")
PRICE = {"bs": "bs_black_scholes", "bsm": "bsm_black_scholes_merton", "black76": "black76_black"}

# The fixed arguments of the scalar calls (those of scalar_calls.py).
S, K, T, R, SIGMA, Q = 100.0, 95.0, 0.75, 0.05, 0.25, 0.02
CALLS = 20_000


def scalar_cases():
    """(key, statement, namespace) for every scalar call timed."""
    for model in ("bs", "bsm", "black76"):
        extra = ", Q" if model == "bsm" else ""
        for flag in ("c", "p"):
            name = PRICE[model]
            yield f"{name} ({flag})", f"f('{flag}', S, K, T, R, SIGMA{extra})", getattr(kf, name)
        for flag in ("c", "p"):
            name = f"{model}_implied_volatility"
            if model == "black76":
                statement = f"f(P, S, K, R, T, '{flag}')"
            elif model == "bsm":
                statement = f"f(P, S, K, T, R, Q, '{flag}')"
            else:
                statement = f"f(P, S, K, T, R, '{flag}')"
            yield f"{name} ({flag})", statement, getattr(kf, name)
        for greek in GREEKS:
            name = f"{model}_{greek}"
            yield name, f"f('c', S, K, T, R, SIGMA{extra})", getattr(kf, name)


def price_for(key: str) -> float:
    """The price an implied-volatility call inverts: the model's own price
    at SIGMA for the call's kind."""
    model = key.split("_", 1)[0]
    flag = key[-2]
    if model == "bsm":
        return kf.bsm_black_scholes_merton(flag, S, K, T, R, SIGMA, Q)
    return getattr(kf, PRICE[model])(flag, S, K, T, R, SIGMA)


def measure_scalar(repeats: int) -> dict:
    out = {}
    for key, statement, fn in scalar_cases():
        namespace = dict(S=S, K=K, T=T, R=R, SIGMA=SIGMA, Q=Q, f=fn,
                         P=price_for(key) if "implied" in key else 0.0)
        timer = timeit.Timer(statement, globals=namespace)
        out[key] = min(timer.repeat(repeat=repeats, number=CALLS)) / CALLS * 1e9
    return out


def digests(jobdir: Path) -> dict:
    jobs = json.loads((jobdir / "jobs.json").read_text())
    out = {}
    arrays = {}
    for set_name, name, flag, kind, prices_file in jobs["cases"]:
        if set_name not in arrays:
            arrays = {set_name: {k: np.load(jobdir / f"{set_name}_{k}.npy") for k in ("S", "K", "t", "sigma")}}
        a = arrays[set_name]
        r, q = jobs["rates"][set_name], jobs["dividend"]
        fn = getattr(kf, name + "_array")
        model = name.split("_", 1)[0]
        if kind == "iv":
            price = np.load(jobdir / prices_file)
            if model == "bs":
                result = fn(price, a["S"], a["K"], a["t"], r, flag)
            elif model == "bsm":
                result = fn(price, a["S"], a["K"], a["t"], r, q, flag)
            else:
                result = fn(price, a["S"], a["K"], r, a["t"], flag)
        else:
            args = (flag, a["S"], a["K"], a["t"], r, a["sigma"]) + ((q,) if model == "bsm" else ())
            result = fn(*args)
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
