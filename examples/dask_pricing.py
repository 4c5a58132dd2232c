"""Pricing ten million options on a Dask cluster.

A book of calls and puts is split into chunks of a Dask array; every chunk
goes through kestrelfin's array functions on a worker process with
``map_blocks``, calls and puts being merged by ``where``, exactly as in one
process. The script prices the book, computes its deltas and vegas and
inverts the prices back into implied volatilities, shows Dask's progress bar
while the workers run, and then checks that the cluster's results equal, bit
for bit, one in-process call of each array function on the whole book.

By default it starts a LocalCluster of two worker processes on this machine.
The same code runs on a real cluster of many machines: start a scheduler
(``dask scheduler``, listening on port 8786) and workers on other machines
(``dask worker tcp://SCHEDULER-HOST:8786``), install kestrelfin on every
worker, and pass the scheduler's address::

    python examples/dask_pricing.py --scheduler tcp://SCHEDULER-HOST:8786

Options: --options N (default 10,000,000), --chunk N (default 500,000),
--no-check to skip the in-process comparison (which needs the whole book in
this process's memory).

The book's columns are made from each option's index with exact arithmetic
only (multiplication, addition, remainder), so a worker and this process
compute the same bits for the same option without shipping any data: on a
real cluster the workers would read their chunks from storage instead.
"""

from __future__ import annotations

import argparse
import time

import dask.array as da
import numpy as np
from dask.distributed import Client, LocalCluster, progress

import _kestrelfin as kf

RATE = 0.04
DIVIDEND_YIELD = 0.015

# Irrational steps of low-discrepancy (Weyl) sequences: the fractional part
# of index * step spreads evenly over [0, 1).
STEPS = {"S": 0.6180339887498949, "K": 0.7548776662466927, "t": 0.5698402909980532,
         "sigma": 0.8191725133961645, "kind": 0.4142135623730951}


def uniform(index: np.ndarray, column: str) -> np.ndarray:
    return (index * STEPS[column]) % 1.0


def spot(index: np.ndarray) -> np.ndarray:
    return 90.0 + 20.0 * uniform(index, "S")


def strike(index: np.ndarray) -> np.ndarray:
    return np.floor(60.0 + 80.0 * uniform(index, "K"))  # whole-number strikes 60 to 139


def expiry(index: np.ndarray) -> np.ndarray:
    return 0.02 + 2.98 * uniform(index, "t")  # a week to three years


def volatility(index: np.ndarray) -> np.ndarray:
    return 0.08 + 0.52 * uniform(index, "sigma")


def is_call(index: np.ndarray) -> np.ndarray:
    return uniform(index, "kind") < 0.5


COLUMNS = {"S": spot, "K": strike, "t": expiry, "sigma": volatility}


def make_book(n: int, chunk: int) -> dict[str, da.Array]:
    """The book as chunked Dask arrays, each chunk made where it is used."""
    index = da.arange(n, chunks=chunk, dtype=np.float64)
    book = {name: index.map_blocks(make, dtype=np.float64, meta=np.empty(0)) for name, make in COLUMNS.items()}
    book["is_call"] = index.map_blocks(is_call, dtype=bool, meta=np.empty(0, dtype=bool))
    return book


def both_kinds(calls: da.Array, puts: da.Array, book: dict[str, da.Array]) -> da.Array:
    """The module prices one kind per call: take each option's own kind."""
    return da.where(book["is_call"], calls, puts)


def greek(function, book: dict[str, da.Array]) -> da.Array:
    """A price or Greek of every option: the array function on each chunk."""
    def of_kind(flag: str) -> da.Array:
        return da.map_blocks(function, flag, book["S"], book["K"], book["t"], RATE, book["sigma"],
                             DIVIDEND_YIELD, dtype=np.float64, meta=np.empty(0))
    return both_kinds(of_kind("c"), of_kind("p"), book)


def implied_volatility(price: da.Array, book: dict[str, da.Array]) -> da.Array:
    def of_kind(flag: str) -> da.Array:
        return da.map_blocks(kf.bsm_implied_volatility_array, price, book["S"], book["K"], book["t"],
                             RATE, DIVIDEND_YIELD, flag, dtype=np.float64, meta=np.empty(0))
    return both_kinds(of_kind("c"), of_kind("p"), book)


def price_book(book: dict[str, da.Array]) -> dict[str, da.Array]:
    price = greek(kf.bsm_black_scholes_merton_array, book)
    return {
        "price": price,
        "delta": greek(kf.bsm_delta_array, book),
        "vega": greek(kf.bsm_vega_array, book),
        "implied": implied_volatility(price, book),
    }


def price_in_process(n: int) -> dict[str, np.ndarray]:
    """The same results from one call of each array function on the whole book."""
    index = np.arange(n, dtype=np.float64)
    S, K, t, sigma = (make(index) for make in COLUMNS.values())
    calls = is_call(index)

    def both(function, *arguments, flag_last=False):
        if flag_last:
            return np.where(calls, function(*arguments, "c"), function(*arguments, "p"))
        return np.where(calls, function("c", *arguments), function("p", *arguments))

    price = both(kf.bsm_black_scholes_merton_array, S, K, t, RATE, sigma, DIVIDEND_YIELD)
    return {
        "price": price,
        "delta": both(kf.bsm_delta_array, S, K, t, RATE, sigma, DIVIDEND_YIELD),
        "vega": both(kf.bsm_vega_array, S, K, t, RATE, sigma, DIVIDEND_YIELD),
        "implied": both(kf.bsm_implied_volatility_array, price, S, K, t, RATE, DIVIDEND_YIELD,
                        flag_last=True),
    }


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal bit for bit, NaN payloads and signed zeros included."""
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def run(client: Client, n: int, chunk: int, check: bool) -> None:
    workers = client.scheduler_info()["workers"]
    print(f"kestrelfin {kf.__version__}: {n:,} options in {-(-n // chunk)} chunks of {chunk:,} on "
          f"{len(workers)} Dask workers")
    started = time.perf_counter()
    results = price_book(make_book(n, chunk))
    # Start the work on the cluster and keep the results there, show Dask's
    # progress bar until every chunk is done, then bring the arrays home.
    persisted = client.persist(list(results.values()))
    progress(persisted)
    computed = dict(zip(results, client.compute(persisted, sync=True)))
    elapsed = time.perf_counter() - started
    print(f"\npriced, with delta, vega and implied volatility, in {elapsed:.1f} s")
    print(f"book value {computed['price'].sum():,.2f}, delta {computed['delta'].sum():,.2f}, "
          f"vega {computed['vega'].sum():,.2f} per volatility point")

    if check:
        started = time.perf_counter()
        expected = price_in_process(n)
        print(f"the same in this process, one call per function: {time.perf_counter() - started:.1f} s")
        for name, values in expected.items():
            if not identical(computed[name], values):
                raise SystemExit(f"{name}: the cluster's result differs from the in-process call")
        print("cluster results equal the in-process results bit for bit: "
              + ", ".join(expected))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--options", type=int, default=10_000_000)
    parser.add_argument("--chunk", type=int, default=500_000)
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--no-check", dest="check", action="store_false",
                        help="skip the bit-for-bit comparison with an in-process call")
    arguments = parser.parse_args()

    if arguments.scheduler:
        with Client(arguments.scheduler) as client:
            run(client, arguments.options, arguments.chunk, arguments.check)
        return
    # Two single-threaded worker processes on this machine; no dashboard.
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        run(client, arguments.options, arguments.chunk, arguments.check)


if __name__ == "__main__":
    main()
