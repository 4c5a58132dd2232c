"""The "Let's Be Rational" micro-benchmark against its native peer, in one run.

Runs benchmarks/rational_iv (the C++ micro-benchmark of the core's rational
solver) with --dump, then times lbriv (benchmarks/requirements.txt) on the very
options it wrote, in the same process conditions (one thread, best of the same
number of passes), and prints the C++ table followed by lbriv's ns per option
and the ratios.

    .venvs/bench/bin/python benchmarks/rational_iv_peers.py build/benchmarks/rational_iv [n [passes]]

lbriv is handed what Let's Be Rational defines (see lbr_peer.py): undiscounted
prices, one forward per call (every option scaled by its own forward where the
set has several), q = +1 or -1, time 1; the preparation is left out of its
time, which favours it.

Where kestrelfin imports, its method="rational" is timed on the same options
too (as Black-76 calls, one thread): what the package adds to the core's
solver, on identical inputs.
"""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

SETS = ("random", "chain", "lbr", "wide")


def read_set(path: str) -> dict[str, np.ndarray]:
    with open(path, "rb") as file:
        n = int(np.frombuffer(file.read(8), dtype=np.int64)[0])
        columns = np.frombuffer(file.read(6 * 8 * n), dtype=np.float64).reshape(6, n)
    return dict(zip(("kind", "price", "F", "K", "t", "r"), columns))


def lbriv_runs(options: dict[str, np.ndarray]):
    """One timed call per kind present (lbriv takes one q per call), on
    prepared arrays; and the options each call covers."""
    import lbriv

    undiscounted = options["price"] / np.exp(-options["r"] * options["t"])
    runs = []
    for sign in (1.0, -1.0):
        chosen = options["kind"] == sign
        if not chosen.any():
            continue
        F, K, P = options["F"][chosen], options["K"][chosen], undiscounted[chosen]
        if np.all(F == F[0]):
            forward, strikes, prices = float(F[0]), np.ascontiguousarray(K), np.ascontiguousarray(P)
        else:
            forward, strikes, prices = 1.0, np.ascontiguousarray(K / F), np.ascontiguousarray(P / F)
        runs.append((lbriv.vectorized_implied_vol_strikes, prices, forward, strikes, int(sign)))
    return runs


def package_runs(options: dict[str, np.ndarray]):
    """kestrelfin's method="rational" on the same options as Black-76 (the
    core's inputs are a forward and a discounted price), one call for the
    whole set, or none where kestrelfin does not import."""
    try:
        import kestrelfin
    except ImportError:
        return None
    is_call = options["kind"] == 1.0
    arguments = tuple(np.ascontiguousarray(options[name]) for name in ("price", "F", "K", "r", "t"))
    return [(lambda *a: kestrelfin.black76.implied_volatility(*a, method="rational"), *arguments, is_call)]


def best_ns_per_option(runs, n: int, passes: int) -> float:
    best = float("inf")
    for _ in range(passes):
        start = time.perf_counter_ns()
        for solve, *arguments in runs:
            solve(*arguments)
        best = min(best, (time.perf_counter_ns() - start) / n)
    return best


def main(argv: list[str]) -> int:
    if len(argv) < 2:
        print(__doc__)
        return 2
    binary, rest = argv[1], argv[2:]
    passes = int(rest[1]) if len(rest) > 1 else 9
    with tempfile.TemporaryDirectory() as directory:
        table = subprocess.run([binary, *rest, "--dump", directory], check=True, capture_output=True, text=True)
        print(table.stdout, end="")
        print(f"\nlbriv on the same options (best of {passes} passes), ns per option, and each ratio to it;")
        print("kestrelfin's method=\"rational\" (one thread) on them too: what the package adds to the core")
        rows = {}
        for line in table.stdout.splitlines():
            fields = line.split()
            if fields and fields[0] in SETS and fields[0] not in rows and not line.startswith(" "):
                rows[fields[0]] = fields
        for name in SETS:
            path = os.path.join(directory, f"{name}.bin")
            options = read_set(path)
            ns = best_ns_per_option(lbriv_runs(options), options["price"].size, passes)
            fields = rows.get(name)
            ratio = ""
            if fields is not None:
                scalar, avx2 = float(fields[1]), float(fields[2])
                newton_avx2 = float(fields[8]) if len(fields) > 8 else float("nan")
                ratio = (
                    f"   rational avx2 {ns / avx2:5.2f}x faster than lbriv, scalar {ns / scalar:5.2f}x;"
                    f" newton avx2 / rational avx2 {newton_avx2 / avx2:5.2f}x"
                )
            print(f"  {name:<8} lbriv {ns:7.1f}{ratio}")
            package = package_runs(options)
            if package is not None and fields is not None:
                with one_thread():
                    ours = best_ns_per_option(package, options["price"].size, passes)
                print(f"  {'':<8} package {ours:5.1f}   {ours / float(fields[2]):4.2f}x the core's avx2;"
                      f" lbriv / package {ns / ours:5.2f}x")
    return 0


def one_thread():
    """Holds kestrelfin to one thread while open, as the core benchmark and
    lbriv run (nothing where kestrelfin does not import)."""
    try:
        import kestrelfin
    except ImportError:
        return contextlib.nullcontext()
    return kestrelfin.num_threads(1)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
