"""A typical user script of the kestrelfin package, type-checked with
``mypy --strict`` against the installed stubs by
scripts/test-stages/ecosystem.sh, which also runs it: one option with str
flags and Python numbers gives floats, array-likes give what NumPy (or the
container's library) returns, greeks gives a mapping."""

from __future__ import annotations

from typing import Any, assert_type

import numpy as np

import kestrelfin
from kestrelfin import black76, bs, bsm


def straddle(S: float, K: float, t: float, r: float, sigma: float) -> float:
    return sum(bs.price(flag, S, K, t, r, sigma) for flag in ("c", "p"))


def main() -> None:
    assert_type(kestrelfin.__version__, str)
    assert_type(bs.price("c", 100.0, 95.0, 0.5, 0.03, 0.2), float)
    assert_type(bsm.implied_volatility(10.0, 100, 95, 0.5, 0.03, 0.01, "c"), float)
    assert_type(bsm.implied_volatility(10.0, 100, 95, 0.5, 0.03, 0.01, "c", method="newton"), float)
    assert_type(bs.implied_volatility(np.array([10.0]), 100, 95, 0.5, 0.03, "c", with_reason=True), Any)
    code: int = kestrelfin.IVReason.NOT_CONVERGED  # an IntEnum: the int codes of the reason arrays
    assert code == 5
    grid = bs.delta(["c", "p"], 100.0, np.array([90.0, 110.0]), [[0.25], [1.0]], 0.03, 0.2)
    assert_type(grid, Any)
    greeks = black76.greeks("c", 100.0, 95.0, 0.5, 0.03, 0.2)
    assert_type(greeks, dict[str, float])
    out = np.empty(2)
    bs.vega(np.array([True, False]), np.array([100.0, 101.0]), 100.0, 1.0, 0.0, 0.2, out=out, where=[True, True])
    outs = tuple(np.empty(2) for _ in range(16))
    bs.greeks("c", np.array([100.0, 101.0]), 100.0, 1.0, 0.0, 0.2, out=outs)
    print(f"straddle {straddle(100.0, 100.0, 1.0, 0.05, 0.2):.4f}, grid {np.shape(grid)}, "
          f"delta {greeks['delta']:.4f}, vegas {out.round(4).tolist()}")


if __name__ == "__main__":
    main()
