"""Pricing ten million options on a Dask cluster, as a Dask array and as a
Dask DataFrame.

kestrelfin's functions are NumPy ufuncs, so Dask runs them chunk by chunk
(or partition by partition) on its workers by itself: the same call that
prices NumPy arrays prices Dask arrays and Dask DataFrame columns, lazily,
with calls and puts mixed in one call (the flag per option: a boolean
is_call array, or a column of "C"/"P" texts). The script

1. prices a book held as chunked Dask arrays (price, delta, vega, and the
   implied volatility of the prices), showing Dask's progress bar while the
   workers run;
2. prices the same book held as a Dask DataFrame, with a "type" column of
   texts;
3. checks that both equal, bit for bit, one in-process call of each function
   on the whole book.

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
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask.distributed import Client, LocalCluster, progress

import kestrelfin
from kestrelfin import bsm

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


def price_book(book: dict[str, da.Array]) -> dict[str, da.Array]:
    """Price, delta, vega and implied volatility of every option, lazily:
    the kestrelfin functions on Dask arrays give Dask arrays."""
    numbers = (book["S"], book["K"], book["t"], RATE, book["sigma"], DIVIDEND_YIELD)
    price = bsm.price(book["is_call"], *numbers)
    return {
        "price": price,
        "delta": bsm.delta(book["is_call"], *numbers),
        "vega": bsm.vega(book["is_call"], *numbers),
        "implied": bsm.implied_volatility(price, book["S"], book["K"], book["t"], RATE, DIVIDEND_YIELD,
                                          book["is_call"]),
    }


def book_partition(start: int, stop: int) -> pd.DataFrame:
    """Options start to stop - 1 as a pandas DataFrame, the kind a text
    column: "C" for a call, "P" for a put."""
    index = np.arange(start, stop, dtype=np.float64)
    frame = pd.DataFrame({name: make(index) for name, make in COLUMNS.items()},
                         index=pd.RangeIndex(start, stop, name="option"))
    frame.insert(0, "type", np.where(is_call(index), "C", "P"))
    return frame


def make_frame(n: int, chunk: int) -> dd.DataFrame:
    """The book as a Dask DataFrame, each partition made where it is used."""
    bounds = [(start, min(start + chunk, n)) for start in range(0, n, chunk)]
    return dd.from_map(lambda bound: book_partition(*bound), bounds, divisions=[b[0] for b in bounds] + [n - 1])


def price_frame(frame: dd.DataFrame) -> dd.DataFrame:
    """The same results as columns of a Dask DataFrame, from its columns."""
    numbers = (frame["S"], frame["K"], frame["t"], RATE, frame["sigma"], DIVIDEND_YIELD)
    price = bsm.price(frame["type"], *numbers)
    return frame.assign(
        price=price,
        delta=bsm.delta(frame["type"], *numbers),
        vega=bsm.vega(frame["type"], *numbers),
        implied=bsm.implied_volatility(price, frame["S"], frame["K"], frame["t"], RATE, DIVIDEND_YIELD,
                                       frame["type"]),
    )[["price", "delta", "vega", "implied"]]


def price_in_process(n: int) -> dict[str, np.ndarray]:
    """The same results from one call of each function on the whole book."""
    index = np.arange(n, dtype=np.float64)
    S, K, t, sigma = (make(index) for make in COLUMNS.values())
    calls = is_call(index)
    price = bsm.price(calls, S, K, t, RATE, sigma, DIVIDEND_YIELD)
    return {
        "price": price,
        "delta": bsm.delta(calls, S, K, t, RATE, sigma, DIVIDEND_YIELD),
        "vega": bsm.vega(calls, S, K, t, RATE, sigma, DIVIDEND_YIELD),
        "implied": bsm.implied_volatility(price, S, K, t, RATE, DIVIDEND_YIELD, calls),
    }


def identical(a: np.ndarray, b: np.ndarray) -> bool:
    """Equal bit for bit, NaN payloads and signed zeros included."""
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def run(client: Client, n: int, chunk: int, check: bool) -> None:
    workers = client.scheduler_info()["workers"]
    print(f"kestrelfin {kestrelfin.__version__}: {n:,} options in {-(-n // chunk)} chunks of {chunk:,} on "
          f"{len(workers)} Dask workers")
    started = time.perf_counter()
    results = price_book(make_book(n, chunk))
    # Start the work on the cluster and keep the results there, show Dask's
    # progress bar until every chunk is done, then bring the arrays home.
    persisted = client.persist(list(results.values()))
    progress(persisted)
    computed = dict(zip(results, client.compute(persisted, sync=True)))
    elapsed = time.perf_counter() - started
    print(f"\nDask array: priced, with delta, vega and implied volatility, in {elapsed:.1f} s")
    print(f"book value {computed['price'].sum():,.2f}, delta {computed['delta'].sum():,.2f}, "
          f"vega {computed['vega'].sum():,.2f} per volatility point")

    started = time.perf_counter()
    frame = client.compute(price_frame(make_frame(n, chunk)), sync=True)
    print(f"Dask DataFrame: the same columns from a 'type' column of texts in {time.perf_counter() - started:.1f} s")

    if check:
        started = time.perf_counter()
        expected = price_in_process(n)
        print(f"the same in this process, one call per function: {time.perf_counter() - started:.1f} s")
        for name, values in expected.items():
            if not identical(computed[name], values):
                raise SystemExit(f"{name}: the cluster's Dask array result differs from the in-process call")
            if not identical(frame[name].to_numpy(), values):
                raise SystemExit(f"{name}: the cluster's Dask DataFrame column differs from the in-process call")
        print("cluster results, as Dask arrays and as a Dask DataFrame, equal the in-process results bit for "
              "bit: " + ", ".join(expected))


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
