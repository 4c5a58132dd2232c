"""The NumPy+SciPy contender: the same prices and Greeks written the way a
user would write them with array arithmetic and `scipy.special.ndtr`.

Same quantities and units as the module: theta per calendar day (divided by
365), vega and rho per percentage point (times 0.01), charm, color and veta
as plus the derivative with respect to the time to expiry, per year, and the
other higher-order Greeks unscaled. The code is deliberately plain: each
function evaluates the textbook closed form on whole arrays, as a user who
needs one quantity would; no effort goes into sharing work between
quantities or avoiding temporaries, and no accuracy tricks beyond using
N(-x) for put terms.

`FUNCTIONS` maps every price and Greek name of the module (without the
`_array` suffix) to a function of (flag, S_or_F, K, t, r, sigma, q), q being
ignored by the Black-Scholes and Black-76 forms.
"""

from __future__ import annotations

import math

import numpy as np
from scipy.special import ndtr

INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


def pdf(x):
    return INV_SQRT_2PI * np.exp(-0.5 * x * x)


def is_call(flag: str) -> bool:
    return flag[0] in "cC"


class Terms:
    """d1, d2 and the pieces every spot-model formula uses.

    b is the cost of carry (r - q; r for Black-Scholes, 0 for Black-76);
    the carry factor exp((b - r) t) is the dividend discount for the spot
    models and the rate discount for Black-76.
    """

    def __init__(self, S, K, t, r, sigma, b):
        self.sqrt_t = np.sqrt(t)
        self.v = sigma * self.sqrt_t
        self.d1 = (np.log(S / K) + (b + 0.5 * sigma * sigma) * t) / self.v
        self.d2 = self.d1 - self.v
        self.carry = np.exp((b - r) * t) if b != r else 1.0


def _carry(model: str, r: float, q: float) -> float:
    return {"bs": r, "bsm": r - q, "black76": 0.0}[model]


def make_functions(model: str):
    """The 16 price and Greek functions of one model (IV excluded)."""

    def terms(S, K, t, r, sigma, q):
        return Terms(S, K, t, r, sigma, _carry(model, r, q))

    def price(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        disc = np.exp(-r * t)
        if is_call(flag):
            return S * m.carry * ndtr(m.d1) - K * disc * ndtr(m.d2)
        return K * disc * ndtr(-m.d2) - S * m.carry * ndtr(-m.d1)

    def delta(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        if is_call(flag):
            return m.carry * ndtr(m.d1)
        return -m.carry * ndtr(-m.d1)

    def gamma(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        return m.carry * pdf(m.d1) / (S * m.v)

    def raw_vega(S, m):
        return S * m.carry * pdf(m.d1) * m.sqrt_t

    def vega(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        return raw_vega(S, m) * 0.01

    def theta(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        b = _carry(model, r, q)
        disc = np.exp(-r * t)
        decay = -S * m.carry * pdf(m.d1) * sigma / (2.0 * m.sqrt_t)
        if is_call(flag):
            year = decay - (b - r) * S * m.carry * ndtr(m.d1) - r * K * disc * ndtr(m.d2)
        else:
            year = decay + (b - r) * S * m.carry * ndtr(-m.d1) + r * K * disc * ndtr(-m.d2)
        return year / 365.0

    def rho(flag, S, K, t, r, sigma, q=0.0):
        if model == "black76":
            return -0.01 * t * price(flag, S, K, t, r, sigma, q)
        m = terms(S, K, t, r, sigma, q)
        disc = np.exp(-r * t)
        if is_call(flag):
            return 0.01 * K * t * disc * ndtr(m.d2)
        return -0.01 * K * t * disc * ndtr(-m.d2)

    def vanna(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        return -m.carry * pdf(m.d1) * m.d2 / sigma

    def charm(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        b = _carry(model, r, q)
        n1 = ndtr(m.d1) if is_call(flag) else ndtr(m.d1) - 1.0
        return m.carry * pdf(m.d1) * (b / m.v - m.d2 / (2.0 * t)) + (b - r) * m.carry * n1

    def vomma(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        return raw_vega(S, m) * m.d1 * m.d2 / sigma

    def gamma_of(S, m):
        return m.carry * pdf(m.d1) / (S * m.v)

    def speed(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        return -gamma_of(S, m) / S * (1.0 + m.d1 / m.v)

    def zomma(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        return gamma_of(S, m) * (m.d1 * m.d2 - 1.0) / sigma

    def color(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        b = _carry(model, r, q)
        return gamma_of(S, m) * ((b - r) - b * m.d1 / m.v + (m.d1 * m.d2 - 1.0) / (2.0 * t))

    def veta(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        b = _carry(model, r, q)
        return raw_vega(S, m) * ((b - r) - b * m.d1 / m.v + (m.d1 * m.d2 + 1.0) / (2.0 * t))

    def ultima(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        d1d2 = m.d1 * m.d2
        return -raw_vega(S, m) / (sigma * sigma) * (d1d2 * (1.0 - d1d2) + m.d1 * m.d1 + m.d2 * m.d2)

    def dual_delta(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        disc = np.exp(-r * t)
        if is_call(flag):
            return -disc * ndtr(m.d2)
        return disc * ndtr(-m.d2)

    def dual_gamma(flag, S, K, t, r, sigma, q=0.0):
        m = terms(S, K, t, r, sigma, q)
        return np.exp(-r * t) * pdf(m.d2) / (K * m.v)

    price_name = {"bs": "black_scholes", "bsm": "black_scholes_merton", "black76": "black"}[model]
    greeks = dict(
        delta=delta, gamma=gamma, vega=vega, theta=theta, rho=rho, vanna=vanna, charm=charm,
        vomma=vomma, speed=speed, zomma=zomma, color=color, veta=veta, ultima=ultima,
        dual_delta=dual_delta, dual_gamma=dual_gamma,
    )
    functions = {f"{model}_{price_name}": price}
    functions.update({f"{model}_{name}": fn for name, fn in greeks.items()})
    return functions


FUNCTIONS = {}
for _model in ("bs", "bsm", "black76"):
    FUNCTIONS.update(make_functions(_model))
