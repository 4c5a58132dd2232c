"""The package's ufuncs on one thread and on the default number.

Each figure is the best of several repeats, the thread counts taking turns
within each repeat (timing.best_of), so load from elsewhere falls on all
alike. The targets (ratios within one run):

1. 10^7 options (--quick: 10^6), bsm.delta, bsm.greeks() and
   bsm.implied_volatility: the default at least 1.8x faster than
   set_num_threads(1) on two cores;
2. 10^3 options and fewer: the default no slower than one thread (these
   loops stay on the calling thread; within 5 %);
3. Dask: 10^7 options in chunks of 10^6 on the threaded scheduler with 2
   workers, within 10 % of one plain call at the default, and never slower
   than the same run with kestrelfin held to one thread. Beside it, Dask's
   own cost: the same chunks through a trivial graph (S * 1.0), whose
   compute() copies the chunks into one array as every Dask figure does.

Every result is checked bit for bit against the one-thread result. Prints a
table and, with --markdown PATH, writes it as Markdown.

    python benchmarks/threads.py [--quick] [--markdown PATH]

On a larger machine, the same script shows how the pool scales: run it with
KF_BENCH_THREADS=1,2,4,8,...,64 (the counts to time besides the default),
with the machine otherwise idle, and look for time x threads staying flat
(no false sharing, every core busy to the end of the call).
"""

from __future__ import annotations

import argparse
import os
import platform
from pathlib import Path

import numpy as np

import kestrelfin
from kestrelfin import bsm
from timing import best_of, cpu_name


def options(n: int, seed: int = 20) -> dict:
    rng = np.random.default_rng(seed)
    S = rng.uniform(60.0, 140.0, n)
    K = rng.uniform(60.0, 140.0, n)
    t = rng.uniform(0.05, 2.0, n)
    sigma = rng.uniform(0.1, 0.6, n)
    flag = rng.random(n) < 0.5
    price = bsm.price(flag, S, K, t, 0.03, sigma, 0.01)
    return {"flag": flag, "S": S, "K": K, "t": t, "sigma": sigma, "price": price}


def cases(data: dict) -> dict:
    f, S, K, t, sigma, price = (data[k] for k in ("flag", "S", "K", "t", "sigma", "price"))
    return {
        "bsm.delta": lambda: bsm.delta(f, S, K, t, 0.03, sigma, 0.01),
        "bsm.greeks()": lambda: bsm.greeks(f, S, K, t, 0.03, sigma, 0.01),
        "bsm.implied_volatility": lambda: bsm.implied_volatility(price, S, K, t, 0.03, 0.01, f),
    }


def at(threads: int, call):
    def run():
        with kestrelfin.num_threads(threads):
            return call()
    return run


def same_bits(a, b) -> bool:
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same_bits(a[k], b[k]) for k in a)
    return np.array_equal(np.asarray(a).view(np.uint64), np.asarray(b).view(np.uint64))


def thread_counts(default: int) -> list[int]:
    extra = os.environ.get("KF_BENCH_THREADS", "")
    counts = sorted({1, default, *(int(c) for c in extra.split(",") if c.strip())})
    return counts


def long_arrays(n: int, repeats: int, default: int) -> list[dict]:
    rows = []
    data = options(n)
    counts = thread_counts(default)
    for name, call in cases(data).items():
        best, first = best_of({c: at(c, call) for c in counts}, repeats, per=n)
        for c in counts:
            assert same_bits(first[c], first[1]), (name, c)
        rows.append({"case": f"{name}, {n:.0e} options".replace("e+0", "e"), "one": best[1] * 1e9,
                     "default": best[default] * 1e9, "others": {c: best[c] * 1e9 for c in counts},
                     "target": "default >= 1.8x faster", "ok": best[1] / best[default] >= 1.8})
    return rows


def short_arrays(repeats: int, default: int) -> list[dict]:
    rows = []
    for n in (10, 100, 1000):
        data = options(n)
        for name, call in cases(data).items():
            # Many calls per timing: one call of 10 options takes a few µs.
            number = max(1, 200_000 // n)

            def many(c=call, k=number):
                for _ in range(k):
                    result = c()
                return result

            best, first = best_of({1: at(1, many), default: at(default, many)}, repeats, per=n * number)
            assert same_bits(first[default], first[1]), (name, n)
            rows.append({"case": f"{name}, {n} options", "one": best[1] * 1e9, "default": best[default] * 1e9,
                         "others": {}, "target": "default within 5 % of one thread",
                         "ok": best[default] <= 1.05 * best[1]})
    return rows


def dask_rows(n: int, repeats: int, default: int) -> list[dict]:
    try:
        import dask
        import dask.array as da
    except ImportError:
        return []
    data = options(n)
    chunk = n // 10
    lazy = {k: da.from_array(v, chunks=chunk) for k, v in data.items()}

    def dask_call():
        result = bsm.delta(lazy["flag"], lazy["S"], lazy["K"], lazy["t"], 0.03, lazy["sigma"], 0.01)
        with dask.config.set(scheduler="threads", num_workers=2):
            return result.compute()

    def dask_own_cost():
        # The same chunks through a trivial elementwise graph: what Dask
        # itself takes (the graph, the scheduling, and compute()'s copy of
        # every chunk into one array), with next to no work per element.
        with dask.config.set(scheduler="threads", num_workers=2):
            return (lazy["S"] * 1.0).compute()

    plain = cases(data)["bsm.delta"]
    contenders = {"plain, default": at(default, plain), "dask, default": at(default, dask_call),
                  "dask, one thread": at(1, dask_call), "dask's own cost": dask_own_cost}
    best, first = best_of(contenders, repeats, per=n)
    for name in ("dask, default", "dask, one thread"):
        assert same_bits(first[name], first["plain, default"]), name
    times = {k: v * 1e9 for k, v in best.items()}
    label = f"bsm.delta, {n:.0e} options, Dask chunks of {chunk:.0e}, threaded scheduler, 2 workers"
    label = label.replace("e+0", "e")
    return [{"case": label, "one": times["dask, one thread"], "default": times["dask, default"],
             "others": {}, "plain": times["plain, default"], "dask_own": times["dask's own cost"],
             "target": "within 10 % of one plain call; never slower than kestrelfin on one thread",
             "ok": times["dask, default"] <= 1.10 * times["plain, default"]
             and times["dask, default"] <= times["dask, one thread"]}]


def table(rows: list[dict], default: int) -> list[str]:
    lines = [f"| case | ns/option, 1 thread | ns/option, default ({default}) | speed-up | target | met |",
             "|---|---:|---:|---:|---|---|"]
    for row in rows:
        notes = [f"one plain call: {row['plain']:.2f}"] if "plain" in row else []
        if "dask_own" in row:
            notes.append(f"Dask's own cost, S * 1.0 through the same chunks and compute(): {row['dask_own']:.2f}")
        extra = f" ({'; '.join(notes)})" if notes else ""
        lines.append(f"| {row['case']} | {row['one']:.2f} | {row['default']:.2f}{extra} | "
                     f"{row['one'] / row['default']:.2f}x | {row['target']} | {'yes' if row['ok'] else 'NO'} |")
        for c, value in row["others"].items():
            if c not in (1, default):
                lines.append(f"| {row['case']}, {c} threads | | {value:.2f} | {row['one'] / value:.2f}x | | |")
    return lines


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--markdown", type=Path)
    args = parser.parse_args()
    default = kestrelfin.get_num_threads()
    n = 10**6 if args.quick else 10**7
    repeats = 3 if args.quick else 5
    rows = long_arrays(n, repeats, default) + short_arrays(repeats, default) + dask_rows(n, repeats, default)
    load = os.getloadavg()
    header = [
        "# kestrelfin's ufuncs on one thread and on the default number",
        "",
        f"CPU: {cpu_name()}, {len(os.sched_getaffinity(0))} CPUs usable; Python {platform.python_version()}, "
        f"NumPy {np.__version__}; kestrelfin's default: {default} threads; load average at the end "
        f"{load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} (other work on the machine slows the threaded "
        "figures most).",
        "",
        "Generated by `benchmarks/threads.py`" + (" --quick" if args.quick else "") + ".",
        "",
    ]
    text = "\n".join(header + table(rows, default)) + "\n"
    print(text)
    if args.markdown:
        args.markdown.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
