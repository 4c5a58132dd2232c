"""kestrelfin on pandas columns, without copying them.

The array functions read one-dimensional float64 NumPy arrays in place. A
float64 column of a DataFrame already is one: ``df["S"].to_numpy()`` returns
a view of the frame's own storage, not a copy, so a column of any length
goes into the module at no cost. This script shows it, and asserts it:

* each column handed to the module shares its memory with the frame;
* the results come back as new float64 arrays that become new columns;
* calls and puts in one frame are priced with one call per kind, merged by
  numpy.where on the type column, which keeps the columns whole (selecting
  the calls with ``df[df.type == "C"]`` would copy every column).

Run it with kestrelfin, numpy and pandas installed::

    python examples/pandas_columns.py
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import _kestrelfin as kf


def column(frame: pd.DataFrame, name: str) -> np.ndarray:
    """The column as the module needs it, checked to be a view, not a copy."""
    values = frame[name].to_numpy()
    assert values.dtype == np.float64 and values.ndim == 1
    # Asking again yields an array over the same memory: pandas hands out
    # its storage, it does not copy it.
    assert np.shares_memory(values, frame[name].to_numpy()), f"column {name} was copied"
    return values


def main() -> None:
    rng = np.random.default_rng(7)
    n = 1_000_000
    strikes = np.round(rng.uniform(80.0, 120.0, n), 1)
    # Columns built from arrays with copy=False keep those very arrays as
    # their storage, so the view can be traced back to where the data came from.
    source = {
        "S": np.full(n, 100.0),
        "K": strikes,
        "t": rng.uniform(0.05, 2.0, n),
        "sigma": rng.uniform(0.1, 0.5, n),
    }
    book = pd.DataFrame(source, copy=False)
    book["type"] = np.where(rng.random(n) < 0.5, "C", "P")

    S, K, t, sigma = (column(book, name) for name in ("S", "K", "t", "sigma"))
    for name, values in zip(("S", "K", "t", "sigma"), (S, K, t, sigma)):
        assert np.shares_memory(values, source[name]), f"{name} is not the array the frame was built on"
    print(f"{n:,} options; the columns S, K, t, sigma go to kestrelfin as views of the frame's "
          f"own memory (np.shares_memory: True)")

    r, q = 0.04, 0.015
    is_call = (book["type"] == "C").to_numpy()
    for greek in ("black_scholes_merton", "delta", "gamma", "vega", "theta"):
        function = getattr(kf, f"bsm_{greek}_array")
        book[greek] = np.where(is_call, function("c", S, K, t, r, sigma, q),
                               function("p", S, K, t, r, sigma, q))
    book = book.rename(columns={"black_scholes_merton": "price"})

    # The prices feed straight back into the implied-volatility functions.
    price = column(book, "price")
    implied = np.where(is_call, kf.bsm_implied_volatility_array(price, S, K, t, r, q, "c"),
                       kf.bsm_implied_volatility_array(price, S, K, t, r, q, "p"))
    book["implied"] = implied
    # Where an option is almost all intrinsic value its price hardly depends
    # on the volatility, and no solver can recover it: judge the round trip
    # on the options with a time value worth the name.
    forward = S * np.exp((r - q) * t)
    intrinsic = np.exp(-r * t) * np.where(is_call, np.maximum(forward - K, 0.0), np.maximum(K - forward, 0.0))
    has_time_value = price - intrinsic > 1e-6
    worst = np.max(np.abs(implied - sigma)[has_time_value])

    # Every row agrees with the scalar function for its own kind.
    for row in book.sample(5, random_state=1).itertuples():
        assert row.price == kf.bsm_black_scholes_merton(row.type, row.S, row.K, row.t, r, row.sigma, q)

    pd.set_option("display.width", 120)
    print(book.head(8).to_string(float_format="{:.4f}".format))
    print(f"\nround trip sigma -> price -> implied volatility: largest difference {worst:.1e} over the "
          f"{int(has_time_value.sum()):,} options with a time value above 1e-6; the other "
          f"{int((~has_time_value).sum())} are deep in the money, where the price does not pin the "
          f"volatility down ({int(np.isnan(implied).sum())} of them NaN: priced a hair below intrinsic)")
    assert worst < 1e-6


if __name__ == "__main__":
    main()
