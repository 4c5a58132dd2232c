"""A typical user script, type-checked with ``mypy --strict`` against the
installed stub by scripts/test-stages/ecosystem.sh, which also runs it.

It uses the module the way the README shows: scalar calls with literal and
computed flags, array calls on float64 arrays, calls and puts merged with
numpy.where, implied volatilities with their exceptions, keyword arguments.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, assert_type

import numpy as np
from numpy.typing import NDArray

import _kestrelfin as kf

if TYPE_CHECKING:
    # The flag type exists for type checkers only; the module has no such name.
    from _kestrelfin import Flag


def straddle_value(S: float, K: float, t: float, r: float, sigma: float) -> float:
    total = 0.0
    for flag in ("c", "p"):  # a str variable is a valid flag
        total += kf.bs_black_scholes(flag, S, K, t, r, sigma)
    return total


def deltas(flag: Flag, S: NDArray[np.float64], K: NDArray[np.float64], t: NDArray[np.float64],
           r: float, sigma: NDArray[np.float64], q: float) -> NDArray[np.float64]:
    return kf.bsm_delta_array(flag, S, K, t, r, sigma, q)


def mixed_book_prices(is_call: NDArray[np.bool_], F: NDArray[np.float64], K: NDArray[np.float64],
                      t: NDArray[np.float64], r: float, sigma: NDArray[np.float64]) -> NDArray[np.float64]:
    calls = kf.black76_black_array("c", F, K, t, r, sigma)
    puts = kf.black76_black_array("p", F, K, t, r, sigma)
    merged: NDArray[np.float64] = np.where(is_call, calls, puts)
    return merged


def implied_or_none(price: float, S: float, K: float, t: float, r: float) -> float | None:
    try:
        return kf.bs_implied_volatility(price, S, K, t, r, "call")
    except ValueError:  # below intrinsic value or above the maximum
        return None


def main() -> None:
    assert_type(kf.__version__, str)
    assert_type(kf.__all__, list[str])
    price = kf.bsm_black_scholes_merton("c", 100, 95, 0.5, 0.03, 0.25, 0.01)  # ints are accepted
    assert_type(price, float)
    assert_type(kf.black76_implied_volatility(price=7.58, F=100.0, K=100.0, r=0.05, t=1.0, flag="c"), float)

    S = np.linspace(80.0, 120.0, 5)
    K = np.full_like(S, 100.0)
    t = np.full_like(S, 0.5)
    sigma = np.full_like(S, 0.2)
    assert_type(deltas("p", S, K, t, 0.03, sigma, 0.01), NDArray[np.float64])
    prices = mixed_book_prices(S > 100.0, S, K, t, 0.03, sigma)
    vols = kf.black76_implied_volatility_array(prices, S, K, 0.03, t, "c")
    assert_type(vols, NDArray[np.float64])
    print(f"straddle {straddle_value(100.0, 100.0, 1.0, 0.05, 0.2):.4f}, "
          f"implied {implied_or_none(10.45, 100.0, 100.0, 1.0, 0.05)}, "
          f"finite vols {int(np.isfinite(vols).sum())} of {vols.size}")


if __name__ == "__main__":
    main()
