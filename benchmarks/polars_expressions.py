"""Polars expressions against the same columns passed as Series and as
NumPy arrays: what building and running an expression costs on top.

A frame of 10^6 options (--quick: 10^5) with a flag column (String,
Categorical or Boolean) and S, K, t, r, sigma, q as Float64 columns; for
bsm.price, bsm.delta, bsm.implied_volatility and bsm.greeks the best of
several repeats, the contenders taking turns within each repeat:

* numpy: the function on the columns' NumPy arrays (the flag as a NumPy str
  array, or a boolean array);
* series: the function on the frame's Series;
* select: ``frame.select(function(pl.col(...), ...))`` (eager);
* lazy: ``frame.lazy().select(...).collect()``;
* streaming: the same with ``collect(engine="streaming")``.

Every result is checked to be the numpy result, bit for bit. Prints a table
and, with --markdown PATH, writes it as Markdown.

    python benchmarks/polars_expressions.py [--quick] [--markdown PATH]
"""

from __future__ import annotations

import argparse
import platform
from pathlib import Path

import numpy as np
import polars as pl

from kestrelfin import bsm
from timing import best_of, cpu_name

CONTENDERS = ["numpy", "series", "select", "lazy", "streaming"]
QUANTITIES = ["price", "delta", "implied_volatility", "greeks"]
NUMBERS = ["S", "K", "t", "r", "sigma", "q"]


def book(n: int, seed: int = 7) -> dict:
    rng = np.random.default_rng(seed)
    columns = {
        "type": rng.choice(np.array(["C", "P", "call", "put"]), n),
        "S": rng.uniform(80.0, 120.0, n), "K": rng.uniform(70.0, 130.0, n), "t": rng.uniform(0.02, 2.0, n),
        "r": rng.uniform(0.0, 0.06, n), "sigma": rng.uniform(0.1, 0.6, n), "q": rng.uniform(0.0, 0.03, n),
    }
    columns["price"] = bsm.price(columns["type"], *(columns[p] for p in NUMBERS))
    return columns


def flag_column(columns: dict, kind: str):
    """The flag as a Polars Series of the kind, and as NumPy holds it."""
    texts = columns["type"]
    if kind == "Boolean":
        is_call = np.char.startswith(np.char.lower(texts), "c")
        return pl.Series("type", is_call), is_call
    series = pl.Series("type", texts)
    return (series.cast(pl.Categorical) if kind == "Categorical" else series), texts


def argument_names(quantity: str) -> list[str]:
    if quantity == "implied_volatility":
        return ["price", "S", "K", "t", "r", "q", "type"]
    return ["type", *NUMBERS]


def as_arrays(result) -> list[np.ndarray]:
    """A result of any contender as float64 arrays (greeks: sixteen)."""
    if isinstance(result, dict):
        return [np.asarray(v, dtype=np.float64) for v in result.values()]
    if isinstance(result, pl.DataFrame):
        if result.width == 1 and isinstance(result.dtypes[0], pl.Struct):
            result = result.unnest(result.columns[0])
        if result.width == 1:
            return [result.to_series().to_numpy()]
        return [result[c].to_numpy() for c in result.columns]
    if isinstance(result, pl.Series):
        return [result.to_numpy()]
    return [np.asarray(result, dtype=np.float64)]


def calls(quantity: str, frame: pl.DataFrame, arrays: dict) -> dict:
    function = getattr(bsm, quantity)
    names = argument_names(quantity)
    expression = lambda: function(*(pl.col(n) for n in names))  # noqa: E731 - built anew in every call
    return {
        "numpy": lambda: function(*(arrays[n] for n in names)),
        "series": lambda: function(*(frame[n] for n in names)),
        "select": lambda: frame.select(expression()),
        "lazy": lambda: frame.lazy().select(expression()).collect(),
        "streaming": lambda: frame.lazy().select(expression()).collect(engine="streaming"),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--markdown", type=Path)
    options = parser.parse_args()
    n = 100_000 if options.quick else 1_000_000
    repeats = 3 if options.quick else 5
    columns = book(n)
    lines = [f"Polars expressions vs Series vs NumPy: {n:,} options, best of {repeats}; {cpu_name()}, CPython "
             f"{platform.python_version()}, numpy {np.__version__}, polars {pl.__version__}", ""]
    header = f"{'function':<24}{'flag':<13}" + "".join(f"{c + ' ms':>14}" for c in CONTENDERS) + \
        f"{'select/series':>15}{'select/numpy':>14}"
    lines.append(header)
    print("\n".join(lines), flush=True)
    for kind in ("String", "Categorical", "Boolean"):
        flag, numpy_flag = flag_column(columns, kind)
        frame = pl.DataFrame({"type": flag, **{p: columns[p] for p in [*NUMBERS, "price"]}})
        arrays = {"type": numpy_flag, **{p: columns[p] for p in [*NUMBERS, "price"]}}
        for quantity in QUANTITIES:
            best, results = best_of(calls(quantity, frame, arrays), repeats)
            expected = as_arrays(results["numpy"])
            for name in CONTENDERS[1:]:
                got = as_arrays(results[name])
                assert len(got) == len(expected) and all(
                    np.array_equal(a.view(np.uint64), b.view(np.uint64)) for a, b in zip(got, expected)), (name,
                                                                                                          quantity)
            line = f"{'bsm.' + quantity:<24}{kind:<13}" + "".join(f"{best[c] * 1e3:>14.2f}" for c in CONTENDERS) + \
                f"{best['select'] / best['series']:>15.2f}{best['select'] / best['numpy']:>14.2f}"
            lines.append(line)
            print(line, flush=True)
    lines.append("")
    lines.append("every result equal to the numpy one, bit for bit")
    print(lines[-1])
    if options.markdown:
        options.markdown.write_text("# Polars expressions benchmark\n\n```\n" + "\n".join(lines) + "\n```\n")


if __name__ == "__main__":
    main()
