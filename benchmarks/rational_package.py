"""The package's implied volatility, method="rational", against its peers in
one process and one run: method="newton" (_kestrelfin's solver), Let's Be
Rational (lbriv) and py_vollib_vectorized with numba at one thread and at
its default, on the random, chain and lbr sets of inputs.py, calls and
puts, one thread for ours and lbriv.

The contenders take turns within each repeat (timing.best_of), so that load
from elsewhere falls on all alike; the figures are ns per option, the best
of the repeats. The verdicts are the targets: >= 4x lbriv, >= 8x
py_vollib_vectorized at one thread, >= 8x method="newton" on the chain set.
Also reported: the share of options each recovers to 1e-10 in sigma.

A peer that does not import is reported as unavailable (lbriv and
py_vollib_vectorized + numba are the benchmark environment's, see
requirements.txt and requirements-pvv.txt; both import side by side).

    python benchmarks/rational_package.py [--n N] [--repeats R] [--models bsm,black76]
"""

from __future__ import annotations

import argparse
import os
import platform
import warnings

import numpy as np

import _kestrelfin as kf
import inputs
import kestrelfin
from kestrelfin import black76, bs, bsm
from lbr_peer import LbrPeer
from timing import best_of, cpu_name

MODELS = {"bs": bs, "bsm": bsm, "black76": black76}
TARGETS = {"lbr": 4.0, "pvv-1": 8.0, "newton": 8.0}


def arguments(model, s, price, flag):
    q = inputs.DIVIDEND
    if model == "black76":
        return (price, s.S, s.K, s.rate, s.t, flag)
    if model == "bsm":
        return (price, s.S, s.K, s.t, s.rate, q, flag)
    return (price, s.S, s.K, s.t, s.rate, flag)


def pvv_solver(model, s, price, flag):
    """py_vollib_vectorized's call on the same arrays, or the reason it has none."""
    try:
        import py_vollib_vectorized as pvv
    except Exception as error:  # noqa: BLE001 - any import failure makes it unavailable
        return None, f"{type(error).__name__}: {error}"
    q = inputs.DIVIDEND
    if model == "black76":
        return (lambda: pvv.vectorized_implied_volatility_black(price, s.S, s.K, s.rate, s.t, flag,
                                                                on_error="ignore", return_as="numpy")), None
    if model == "bsm":
        return (lambda: pvv.vectorized_implied_volatility(price, s.S, s.K, s.t, s.rate, flag, q=q,
                                                          model="black_scholes_merton", on_error="ignore",
                                                          return_as="numpy")), None
    return (lambda: pvv.vectorized_implied_volatility(price, s.S, s.K, s.t, s.rate, flag, model="black_scholes",
                                                      on_error="ignore", return_as="numpy")), None


def recovered(values, sigma):
    return float(np.mean(np.abs(np.asarray(values) - sigma) <= 1e-10))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--models", default="bsm,black76")
    options = parser.parse_args()
    n = options.n - options.n % 20
    lbr = LbrPeer()
    try:
        import numba

        default_threads = numba.get_num_threads()
    except Exception:  # noqa: BLE001
        numba = None
        default_threads = None
    print(f"method=\"rational\" vs peers: {n:,} options per set, best of {options.repeats}; {cpu_name()}, "
          f"{os.cpu_count()} CPUs, load {' '.join(f'{x:.2f}' for x in os.getloadavg())}; "
          f"Python {platform.python_version()}, numpy {np.__version__}; lbriv {lbr.version or lbr.error}; "
          f"numba default threads {default_threads}")
    print(f"{'set':<8}{'case':<18}{'rational':>9}{'newton':>9}{'lbriv':>9}{'pvv-1':>9}{'pvv-' + str(default_threads):>9}"
          f"   x newton  x lbriv  x pvv-1   recovered r/n/lbr")
    verdicts = {key: [] for key in TARGETS}
    for s in inputs.make_sets(n):
        models = ["black76"] if s.iv_only else options.models.split(",")
        for model in models:
            for flag in ("c", "p"):
                price = inputs.iv_prices(kf, model, flag, s)
                args = arguments(model, s, price, flag)
                function = MODELS[model].implied_volatility
                def on_one_thread(method):
                    def call():
                        with kestrelfin.num_threads(1):
                            return function(*args, method=method)
                    return call

                calls = {"rational": on_one_thread("rational"), "newton": on_one_thread("newton")}
                lbr_sigma = None
                if lbr.available:
                    calls["lbr"], lbr_sigma, _ = lbr.prepare(model, flag, price, s.S, s.K, s.t, s.rate,
                                                             inputs.DIVIDEND if model == "bsm" else 0.0)
                pvv_call, _ = pvv_solver(model, s, price, flag)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    best, first = best_of(calls, options.repeats, per=n)
                    pvv_best = {}
                    if pvv_call is not None and numba is not None:
                        pvv_call()  # compiles its functions before any timing
                        for threads in (1, default_threads):
                            numba.set_num_threads(threads)
                            timed, _ = best_of({"pvv": pvv_call}, max(2, options.repeats // 2), per=n)
                            pvv_best[threads] = timed["pvv"]
                        numba.set_num_threads(default_threads)
                ns = {key: value * 1e9 for key, value in best.items()}
                pvv1 = pvv_best.get(1, float("nan")) * 1e9
                pvvd = pvv_best.get(default_threads, float("nan")) * 1e9
                speedups = {"newton": ns["newton"] / ns["rational"], "lbr": ns.get("lbr", float("nan")) / ns["rational"],
                            "pvv-1": pvv1 / ns["rational"]}
                if s.name == "chain":
                    verdicts["newton"].append(speedups["newton"])
                verdicts["lbr"].append(speedups["lbr"])
                verdicts["pvv-1"].append(speedups["pvv-1"])
                rec = (f"{recovered(first['rational'], s.sigma):.3f}/{recovered(first['newton'], s.sigma):.3f}/"
                       + (f"{recovered(lbr_sigma(first['lbr']), s.sigma):.3f}" if lbr_sigma else "-"))
                print(f"{s.name:<8}{model + ' ' + flag:<18}{ns['rational']:>9.1f}{ns['newton']:>9.1f}"
                      f"{ns.get('lbr', float('nan')):>9.1f}{pvv1:>9.1f}{pvvd:>9.1f}"
                      f"   {speedups['newton']:>8.2f}{speedups['lbr']:>8.2f}{speedups['pvv-1']:>8.2f}   {rec}",
                      flush=True)
    print("\nTargets (worst case over the rows):")
    for key, target in TARGETS.items():
        values = [v for v in verdicts[key] if v == v]
        where = " (chain set)" if key == "newton" else ""
        if not values:
            print(f"  >= {target:g}x {key}{where}: unavailable")
            continue
        print(f"  >= {target:g}x {key}{where}: worst {min(values):.2f}x -> {'met' if min(values) >= target else 'missed'}")
    print(f"load at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
