"""The native "Let's Be Rational" implied-volatility peer: lbriv, a Cython
port of Jaeckel's LetsBeRational, installed into the benchmark environment
only (requirements.txt; never a dependency of kestrelfin).

What its documentation says it takes: undiscounted Black-76 prices (premium
divided by the discount factor), one forward per call, an array of strikes,
q = +1 for calls and -1 for puts, and time to expiry 1; it returns the Black
*total* volatility sigma*sqrt(t), and NaN for a price it cannot invert
(`vectorized_implied_vol_strikes`).

So each option's discounted price is turned into the form Let's Be Rational
defines before the timed call:

* forward: F itself for Black-76; S*exp(t*(r - q)) for the spot models (q = 0
  for Black-Scholes), with the C library's exp, as the module forms it;
* undiscounted price: price / exp(-r*t), the premium over the discount
  factor, as Let's Be Rational defines it (the module multiplies by
  exp(t*r) instead; the two can differ in the last bit);
* one forward per call: where the options of a call share one forward (the
  "lbr" set, the chain's Black-76 options) it is passed as is; otherwise
  every option is scaled by its own forward, which Black's formula allows
  exactly in real arithmetic (price/F at forward 1 and strike K/F), at the
  cost of two roundings;
* the total volatility it returns is divided by sqrt(t) afterwards.

The timed call is `vectorized_implied_vol_strikes` alone on the prepared
arrays: the preparation and the division afterwards are left out of its
time, which favours the peer (the module's figure includes its own
undiscounting and forward).
"""

from __future__ import annotations

import math
from importlib.metadata import PackageNotFoundError, version

import numpy as np


def _exp_each(x: np.ndarray) -> np.ndarray:
    """exp of every element with the C library's exp (math.exp), as the
    module's core computes it (NumPy's own exp may differ in the last bit)."""
    return np.fromiter(map(math.exp, x.tolist()), dtype=np.float64, count=x.size)


class LbrPeer:
    """lbriv, if it imports; `error` says why not otherwise."""

    def __init__(self):
        self.error: str | None = None
        self.version: str | None = None
        try:
            import lbriv

            self.solve = lbriv.vectorized_implied_vol_strikes
            self.version = version("lbriv")
        except (ImportError, AttributeError, PackageNotFoundError) as error:
            self.error = f"{type(error).__name__}: {error}"

    @property
    def available(self) -> bool:
        return self.error is None

    def prepare(self, model: str, flag: str, price, S, K, t, r: float, q: float):
        """The timed call on prepared arrays, the function that turns its
        result into sigma, and how the forward was passed."""
        if model == "black76":
            F = S
        else:
            carry = r - q if model == "bsm" else r
            F = S * _exp_each(t * carry)
        undiscounted = price / _exp_each(-r * t)
        sign = 1 if flag[0] in "cC" else -1
        single = bool(np.all(F == F[0]))
        if single:
            forward, strikes, prices = float(F[0]), K, undiscounted
        else:
            forward, strikes, prices = 1.0, K / F, undiscounted / F
        solve = self.solve
        sqrt_t = np.sqrt(t)

        def call():
            return solve(prices, forward, strikes, sign)

        def to_sigma(total):
            return np.asarray(total, dtype=np.float64) / sqrt_t

        return call, to_sigma, ("one forward" if single else "scaled by each forward")
