"""The seeded input sets every contender is timed on.

* "random": every option different. Spot 20-500, strike 50 %-200 % of spot,
  expiry 1 day-5 years, volatility 5 %-150 %, all drawn independently. This
  is the worst case for any reuse between neighbouring options.
* "chain": one underlying at 100 quoted like a listed option chain: 20
  expiries from one week to five years, the same strike grid at every
  expiry, a volatility smile that steepens at short expiries, and the arrays
  ordered by expiry, so consecutive options share `t` (and `S`).
* "lbr": implied volatility only, Black-76 with r = 0 (undiscounted prices):
  one forward F = 100, strike F*U(0.5, 2), expiry U(1 day, 5 years),
  volatility U(0.05, 1.5), calls and puts; the set on which Let's Be
  Rational's own speed is usually quoted.

The rate and dividend yield are single values per call, as the array
functions take them: RATE and DIVIDEND, except the lbr set's rate of 0
(OptionSet.rate). The Black-76 functions receive the `S` array as their
forward `F`.

Implied volatility is timed on prices, not volatilities: `iv_prices` gives,
for a model and a kind, the option prices that the module's own price
function returns at the set's volatilities, so every solver inverts the very
same numbers and the recovered volatility can be checked against `sigma`.
"""

from __future__ import annotations

import dataclasses

import numpy as np

RATE = 0.03
DIVIDEND = 0.015
SEED = 20240611

# The 20 expiries of the chain, in years: weeklies, monthlies, quarterlies
# and long-dated options.
CHAIN_EXPIRIES = (
    7, 14, 21, 30, 45, 60, 91, 121, 152, 182, 273, 365, 456, 547, 730, 913, 1095, 1277, 1460, 1825,
)


@dataclasses.dataclass(frozen=True)
class OptionSet:
    """n options: per-option arrays (C-contiguous float64), a label, the
    call-wide rate, and whether only implied volatility is timed on it."""

    name: str
    S: np.ndarray
    K: np.ndarray
    t: np.ndarray
    sigma: np.ndarray
    rate: float = RATE
    iv_only: bool = False

    @property
    def n(self) -> int:
        return self.S.size


def random_set(n: int, seed: int = SEED) -> OptionSet:
    rng = np.random.default_rng(seed)
    S = rng.uniform(20.0, 500.0, n)
    K = S * rng.uniform(0.5, 2.0, n)
    t = rng.uniform(1.0 / 365.0, 5.0, n)
    sigma = rng.uniform(0.05, 1.5, n)
    return OptionSet("random", S, K, t, sigma)


def chain_set(n: int, seed: int = SEED) -> OptionSet:
    """n options in 20 blocks of one expiry each (n must be a multiple of 20)."""
    expiries = len(CHAIN_EXPIRIES)
    if n % expiries:
        raise ValueError(f"chain size {n} is not a multiple of {expiries}")
    per_expiry = n // expiries
    spot = 100.0
    strikes = np.linspace(0.5 * spot, 2.0 * spot, per_expiry)
    t = np.repeat(np.array(CHAIN_EXPIRIES, dtype=np.float64) / 365.0, per_expiry)
    K = np.tile(strikes, expiries)
    S = np.full(n, spot)
    # Smile in log-moneyness x = ln(K/S): an at-the-money level with a term
    # structure, a put skew and curvature that fade with sqrt(t); a little
    # seeded noise stands for quotes that are not on a perfect curve.
    rng = np.random.default_rng(seed + 1)
    x = np.log(K / S)
    atm = 0.18 + 0.06 * np.exp(-2.0 * t)
    sigma = atm - 0.12 * x / t**0.25 + 0.35 * x * x / np.sqrt(t)
    sigma = np.clip(sigma + rng.normal(0.0, 0.002, n), 0.05, 1.5)
    return OptionSet("chain", S, K, t, sigma)


LBR_FORWARD = 100.0


def lbr_set(n: int, seed: int = SEED) -> OptionSet:
    """Black-76 implied volatility at r = 0; see the module docstring."""
    rng = np.random.default_rng(seed + 2)
    F = np.full(n, LBR_FORWARD)
    K = LBR_FORWARD * rng.uniform(0.5, 2.0, n)
    t = rng.uniform(1.0 / 365.0, 5.0, n)
    sigma = rng.uniform(0.05, 1.5, n)
    return OptionSet("lbr", F, K, t, sigma, rate=0.0, iv_only=True)


def make_sets(n: int) -> list[OptionSet]:
    return [random_set(n), chain_set(n), lbr_set(n)]


def iv_prices(kf, model: str, flag: str, s: OptionSet) -> np.ndarray:
    """The module's prices at the set's volatilities, for the IV solvers."""
    if model == "bs":
        return kf.bs_black_scholes_array(flag, s.S, s.K, s.t, s.rate, s.sigma)
    if model == "bsm":
        return kf.bsm_black_scholes_merton_array(flag, s.S, s.K, s.t, s.rate, s.sigma, DIVIDEND)
    return kf.black76_black_array(flag, s.S, s.K, s.t, s.rate, s.sigma)
