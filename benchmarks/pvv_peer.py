"""The py_vollib_vectorized contender, run in an environment of its own.

py_vollib_vectorized cannot share the benchmark environment with vollib:
both need a module named `py_lets_be_rational`, vollib from its dependency
lets_be_rational 1.1.x (which installs that module), py_vollib_vectorized
from py_lets_be_rational 1.0.1 (with the 1.1.x files none of its numba
functions compiles: "cannot type infer runaway recursion"). So bench.py runs
this file as a worker, `python pvv_peer.py JOBDIR`, with the interpreter of
.venvs/bench-pvv (Python 3.12, requirements-pvv.txt), in a subprocess of the
same run. The inputs arrive as .npy files written by bench.py (the very
arrays every other contender gets), the case list as JOBDIR/jobs.json; the
worker writes JOBDIR/results.json (best times in ns per option, what could
not be measured and why) and the values of each case's first call as .npy,
which bench.py compares with the module's.

py_vollib_vectorized offers prices, the five first-order Greeks (delta,
gamma, vega, theta, rho) and implied volatility; it has none of the ten
higher-order Greeks. Every adapter passes NumPy arrays and a single flag and
asks for a NumPy result (return_as="numpy"), the cheapest form the library
offers. Implied-volatility failures are left as NaN silently
(on_error="ignore"), as the module's array functions do. An adapter that
raises on a few trial options is reported as unavailable with the error's
text rather than stopping the run. Nothing here is a dependency of
kestrelfin.
"""

from __future__ import annotations

import json
import sys
import time
import warnings
from pathlib import Path

import numpy as np

from timing import best_of

PRICE_GREEKS = ("delta", "gamma", "vega", "theta", "rho")
_PVV_MODEL = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}


def _adapters(pvv):
    out = {}
    # Prices: (flag, S, K, t, r, sigma, q).
    out["bs_black_scholes"] = lambda f, S, K, t, r, s, q: pvv.vectorized_black_scholes(
        f, S, K, t, r, s, return_as="numpy")
    out["bsm_black_scholes_merton"] = lambda f, S, K, t, r, s, q: pvv.vectorized_black_scholes_merton(
        f, S, K, t, r, s, q, return_as="numpy")
    out["black76_black"] = lambda f, F, K, t, r, s, q: pvv.vectorized_black(
        f, F, K, t, r, s, return_as="numpy")

    def greek(name, model):
        fn = getattr(pvv, f"vectorized_{name}")
        if model != "bsm":
            return lambda f, S, K, t, r, s, q: fn(
                f, S, K, t, r, s, None, model=_PVV_MODEL[model], return_as="numpy")
        if name == "rho":
            # Its Black-Scholes-Merton rho rejects a single q ("All input
            # values must contain the same number of elements"); a user
            # would pass q as an array, as here.
            return lambda f, S, K, t, r, s, q: fn(
                f, S, K, t, r, s, np.full_like(S, q), model=_PVV_MODEL[model], return_as="numpy")
        return lambda f, S, K, t, r, s, q: fn(
            f, S, K, t, r, s, q, model=_PVV_MODEL[model], return_as="numpy")

    for model in ("bs", "bsm", "black76"):
        for name in PRICE_GREEKS:
            out[f"{model}_{name}"] = greek(name, model)

    # Implied volatilities: (price, S_or_F, K, t, r, q, flag).
    out["bs_implied_volatility"] = lambda p, S, K, t, r, q, f: pvv.vectorized_implied_volatility(
        p, S, K, t, r, f, model="black_scholes", on_error="ignore", return_as="numpy")
    out["bsm_implied_volatility"] = lambda p, S, K, t, r, q, f: pvv.vectorized_implied_volatility(
        p, S, K, t, r, f, q=q, model="black_scholes_merton", on_error="ignore", return_as="numpy")
    out["black76_implied_volatility"] = lambda p, F, K, t, r, q, f: pvv.vectorized_implied_volatility_black(
        p, F, K, r, t, f, on_error="ignore", return_as="numpy")
    return out


def _describe(error: BaseException) -> str:
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    text = lines[0] if lines else ""
    return f"{type(error).__name__}: {text}"[:160]


class Pvv:
    """The adapters that work (`functions`) and why the others do not (`broken`)."""

    def __init__(self):
        self.version = None
        self.functions: dict = {}
        self.broken: dict[str, str] = {}
        self.import_error: str | None = None
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                import py_vollib_vectorized as pvv
                from importlib.metadata import version

                self.version = version("py_vollib_vectorized")
        except Exception as error:  # the peer is optional: report, do not fail
            self.import_error = _describe(error)
            return
        a = np.array([100.0, 90.0])
        k = np.array([100.0, 100.0])
        t = np.array([1.0, 0.5])
        s = np.array([0.2, 0.3])
        for name, fn in _adapters(pvv).items():
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    if name.endswith("implied_volatility"):
                        result = fn(np.array([10.0, 5.0]), a, k, t, 0.03, 0.01, "c")
                    else:
                        result = fn("c", a, k, t, 0.03, s, 0.01)
                np.asarray(result, dtype=np.float64).reshape(2)
                self.functions[name] = fn
            except Exception as error:
                self.broken[name] = _describe(error)


def call(fn, *args):
    """One timed call, with the library's warnings silenced and the result flat."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.asarray(fn(*args), dtype=np.float64).reshape(-1)


def _time(fn, args, n: int, repeats: int):
    """Best time over `repeats` calls in ns per option, and the first result."""
    best, first = best_of({"pvv": lambda: call(fn, *args)}, repeats, per=n)
    return best["pvv"] * 1e9, first["pvv"]


def main(jobdir: Path) -> None:
    jobs = json.loads((jobdir / "jobs.json").read_text())
    started = time.time()
    pvv = Pvv()
    out = {"version": pvv.version, "import_error": pvv.import_error, "broken": pvv.broken,
           "available": sorted(pvv.functions), "load_seconds": time.time() - started,
           "python": sys.version.split()[0], "times": {}}
    try:
        import numba

        default_threads = numba.get_num_threads()
        out["numba"] = f"{numba.__version__} ({default_threads} threads)"
    except ImportError:
        numba = None
        out["numba"] = "not installed"
    out["times_one_thread"] = {}
    q = jobs["dividend"]
    arrays = {}
    for index, (set_name, name, flag, kind, prices_file) in enumerate(jobs["cases"]):
        fn = pvv.functions.get(name)
        if fn is None:
            continue
        r = jobs.get("rates", {}).get(set_name, jobs["rate"])
        if set_name not in arrays:
            arrays.clear()
            arrays[set_name] = {k: np.load(jobdir / f"{set_name}_{k}.npy") for k in ("S", "K", "t", "sigma")}
        a = arrays[set_name]
        if kind == "iv":
            price = np.load(jobdir / prices_file)
            args = (price, a["S"], a["K"], a["t"], r, q, flag)
            repeats = jobs["iv_repeats"]
        else:
            args = (flag, a["S"], a["K"], a["t"], r, a["sigma"], q)
            repeats = jobs["repeats"]
        best, values = _time(fn, args, a["S"].size, repeats)
        out["times"][str(index)] = best
        np.save(jobdir / f"values_{index}.npy", values)
        print(f"  pvv {set_name:7} {name:34} {flag} {best:8.1f} ns/option", flush=True)
        if kind == "iv" and numba is not None:
            # Implied volatility also on one numba thread: the figure the
            # package's solver, itself held to one thread, is compared with.
            numba.set_num_threads(1)
            try:
                best_one, _ = _time(fn, args, a["S"].size, repeats)
            finally:
                numba.set_num_threads(default_threads)
            out["times_one_thread"][str(index)] = best_one
            print(f"  pvv {set_name:7} {name:34} {flag} {best_one:8.1f} ns/option (1 numba thread)", flush=True)
    (jobdir / "results.json").write_text(json.dumps(out, indent=1))


if __name__ == "__main__":
    main(Path(sys.argv[1]))
