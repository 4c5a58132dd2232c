"""High-precision reference values for the option models, built with mpmath.

Only the two textbook price formulas are written out by hand; every Greek is
obtained by differentiating the price with ``mpmath.diff`` at raised working
precision, so that a mistake in a closed-form Greek cannot be reproduced here.
The units follow the module's conventions:

* theta is -dV/dt per calendar day (divided by 365);
* vega and rho are per percentage point (divided by 100); Black-76 rho
  therefore comes out as -0.01*t*price, since the forward does not move with r;
* delta, gamma and the ten higher-order Greeks are plain partial derivatives;
  charm, color and veta are +d/dt (time to expiry, per year);
* vomma, veta and ultima are derivatives of the unscaled vega dV/dsigma;
* dual delta and dual gamma are dV/dK and d2V/dK2.

Inputs are Python floats; they convert to mpf exactly, so the reference is the
exact value of the formula at the very double the module receives. 30 digits
are ample: the values agree with a 60-digit evaluation to better than 1e-24
relative, and the comparisons need 1e-13.
"""
from functools import lru_cache

import mpmath
from mpmath import mp, mpf

DPS = 30

# Per Greek: derivative orders in (underlying, K, t, r, sigma), then the exact
# scaling of the raw derivative as numerator and denominator.
GREEKS = {
    "delta": ((1, 0, 0, 0, 0), 1, 1),
    "gamma": ((2, 0, 0, 0, 0), 1, 1),
    "vega": ((0, 0, 0, 0, 1), 1, 100),
    "theta": ((0, 0, 1, 0, 0), -1, 365),
    "rho": ((0, 0, 0, 1, 0), 1, 100),
    "vanna": ((1, 0, 0, 0, 1), 1, 1),
    "charm": ((1, 0, 1, 0, 0), 1, 1),
    "vomma": ((0, 0, 0, 0, 2), 1, 1),
    "speed": ((3, 0, 0, 0, 0), 1, 1),
    "zomma": ((2, 0, 0, 0, 1), 1, 1),
    "color": ((2, 0, 1, 0, 0), 1, 1),
    "veta": ((0, 0, 1, 0, 1), 1, 1),
    "ultima": ((0, 0, 0, 0, 3), 1, 1),
    "dual_delta": ((0, 1, 0, 0, 0), 1, 1),
    "dual_gamma": ((0, 2, 0, 0, 0), 1, 1),
}
QUANTITIES = ("price",) + tuple(GREEKS)


def ncdf(x):
    """Standard normal distribution function; erfc keeps the left tail exact."""
    return mpmath.erfc(-x / mp.sqrt(2)) / 2


def _sign(flag):
    return 1 if flag[0] in "cC" else -1


def bsm_price(flag, S, K, t, r, sigma, q):
    """Generalised Black-Scholes price on a spot with dividend yield q."""
    w = _sign(flag)
    sd = sigma * mp.sqrt(t)
    d1 = (mp.log(S / K) + (r - q + sigma * sigma / 2) * t) / sd
    d2 = d1 - sd
    return w * (S * mp.exp(-q * t) * ncdf(w * d1) - K * mp.exp(-r * t) * ncdf(w * d2))


def black76_price(flag, F, K, t, r, sigma):
    """Black-76 price of an option on a forward, discounted at r."""
    w = _sign(flag)
    sd = sigma * mp.sqrt(t)
    d1 = (mp.log(F / K) + sigma * sigma * t / 2) / sd
    d2 = d1 - sd
    return mp.exp(-r * t) * w * (F * ncdf(w * d1) - K * ncdf(w * d2))


def _value(pricer, quantity, flag, args, extra):
    point = [mpf(a) for a in args]
    extra = [mpf(e) for e in extra]
    if quantity == "price":
        return pricer(flag, *point, *extra)
    orders, num, den = GREEKS[quantity]
    # Differentiate only in the variables that appear in the derivative; the
    # others stay fixed at their exact values.
    active = [i for i, n in enumerate(orders) if n]

    def f(*xs):
        p = list(point)
        for i, x in zip(active, xs):
            p[i] = x
        return pricer(flag, *p, *extra)

    xs = [point[i] for i in active]
    ns = [orders[i] for i in active]
    d = mpmath.diff(f, xs, ns)
    # mpmath.diff is exact to about |V|*2**-prec in absolute terms, so a Greek
    # far below the price (the gamma of a deep in-the-money option, ~1e-130
    # against a price of 90) would come out as noise or zero. Redo it once with
    # as many extra bits as the Greek lies below the price; 1100 bits cover
    # everything a double can represent relative to the price.
    gap = mp.mag(pricer(flag, *point, *extra)) - mp.mag(d) if d else 1100
    if gap > 60:
        with mp.extraprec(min(gap, 1100) + 20):
            d = mpmath.diff(f, xs, ns)
    return d * num / den


@lru_cache(maxsize=None)
def bsm(quantity, flag, S, K, t, r, sigma, q=0.0):
    """Reference value of a Black-Scholes-Merton quantity, as an mpf."""
    with mp.workdps(DPS):
        return +_value(bsm_price, quantity, flag, (S, K, t, r, sigma), (q,))


@lru_cache(maxsize=None)
def black76(quantity, flag, F, K, t, r, sigma):
    """Reference value of a Black-76 quantity, as an mpf."""
    with mp.workdps(DPS):
        return +_value(black76_price, quantity, flag, (F, K, t, r, sigma), ())
