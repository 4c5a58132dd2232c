"""Implied volatility: round trips, agreement of the three models, and the exits."""
import math
import random
import struct

import pytest

import _kestrelfin as kf
from shared import QNAN_BITS, bits


# Each model as (price function, implied-volatility function), both taking the
# same underlying, K, t, r; q is used by bsm_ only.
MODELS = {
    "bs": (lambda f, S, K, t, r, sigma, q: kf.bs_black_scholes(f, S, K, t, r, sigma),
           lambda p, S, K, t, r, q, f: kf.bs_implied_volatility(p, S, K, t, r, f)),
    "bsm": (lambda f, S, K, t, r, sigma, q: kf.bsm_black_scholes_merton(f, S, K, t, r, sigma, q),
            lambda p, S, K, t, r, q, f: kf.bsm_implied_volatility(p, S, K, t, r, q, f)),
    "black76": (lambda f, F, K, t, r, sigma, q: kf.black76_black(f, F, K, t, r, sigma),
                lambda p, F, K, t, r, q, f: kf.black76_implied_volatility(p, F, K, r, t, f)),
}
DIVIDEND = {"bs": 0.0, "bsm": 0.02, "black76": 0.0}

def vega(model, flag, S, K, t, r, sigma, q):
    return getattr(kf, f"{model}_vega")(flag, S, K, t, r, sigma, *([q] if model == "bsm" else []))


STRIKES = [50.0, 80.0, 95.0, 100.0, 105.0, 125.0, 200.0]
EXPIRIES = [7 / 365, 0.25, 1.0, 5.0]
VOLS = [0.05, 0.2, 0.6, 1.5]
RATES = [0.03, -0.005, 0.08]


@pytest.mark.parametrize("model", MODELS)
def test_round_trip(model):
    """Every grid price inverts; sigma is recovered wherever the price pins it.

    The solver stops once the undiscounted model price is within
    (P + 1) * 1e-12 of the target P, and the target itself carries rounding of
    order 1e-14 of the underlying and the strike. Twice that, divided by the
    undiscounted vega dP/dsigma, bounds the error in sigma. Where the bound is
    below 1e-4 and the price above 1e-8, sigma must come back within twice the
    bound (on this grid, 543 of 672 cases qualify and none uses half of it);
    elsewhere (far out of the money, or so deep in the money that the time
    value is lost in rounding) only the repricing can be checked, to the same
    tolerances.
    """
    price_fn, iv_fn = MODELS[model]
    q, S = DIVIDEND[model], 100.0
    informative = 0
    cases = [(K, t, s, f) for K in STRIKES for t in EXPIRIES for s in VOLS for f in "cp"]
    for i, (K, t, sigma, flag) in enumerate(cases):
        r = RATES[i % 3]
        price = price_fn(flag, S, K, t, r, sigma, q)
        got = iv_fn(price, S, K, t, r, q, flag)
        assert 0 < got <= 5
        growth = math.exp(r * t)
        F = S if model == "black76" else S * math.exp((r - q) * t)
        vega_u = 100 * vega(model, flag, S, K, t, r, sigma, q) * growth  # undiscounted, per unit of sigma
        P = price * growth
        noise = 1e-14 * (F + K)
        bound = (2e-12 * (P + 1) + noise) / vega_u if vega_u > 0 else math.inf
        if P > 1e-8 and bound < 1e-4:
            informative += 1
            assert abs(got - sigma) <= 2 * bound, (K, t, r, sigma, flag, got)
        # The step-size exit leaves at most a (sigma + 1) * 1e-12 step untaken.
        step = 2e-12 * (got + 1) * 100 * vega(model, flag, S, K, t, r, got, q) * growth
        mismatch = abs(price_fn(flag, S, K, t, r, got, q) - price) * growth
        assert mismatch <= 2e-12 * (P + 1) + step + noise, (K, t, sigma, flag)
    assert informative >= 0.6 * len(cases)


def _outcome(fn, *args):
    try:
        return bits(fn(*args))
    except (ValueError, RuntimeError) as e:
        return type(e), e.args


def test_three_models_share_one_solver_bit_for_bit():
    rng = random.Random(99)
    for _ in range(300):
        S, K = rng.uniform(20, 200), rng.uniform(20, 200)
        t, r, sigma = rng.uniform(0.01, 5), rng.uniform(-0.02, 0.1), rng.uniform(0.02, 2)
        flag = rng.choice("cpCP")
        price = kf.bs_black_scholes(flag, S, K, t, r, sigma) * rng.choice([1.0, 1.0 + 1e-9, 0.5])
        bs = _outcome(kf.bs_implied_volatility, price, S, K, t, r, flag)
        assert bs == _outcome(kf.bsm_implied_volatility, price, S, K, t, r, 0.0, flag)
        assert bs == _outcome(kf.black76_implied_volatility, price, S * math.exp(t * r), K, r, t, flag)


def test_worked_inversions():
    price = kf.black76_black("c", 100.0, 100.0, 1.0, 0.05, 0.2)
    assert abs(kf.black76_implied_volatility(price, 100.0, 100.0, 0.05, 1.0, "c") - 0.2) <= 2e-15
    price = kf.black76_black("p", 100.0, 90.0, 0.5, 0.03, 0.25)
    assert kf.black76_implied_volatility(price, 100.0, 90.0, 0.03, 0.5, "p") == pytest.approx(0.25, abs=1e-13)


def test_rate_and_time_order_of_black76():
    price = kf.black76_black("c", 100.0, 100.0, 2.0, 0.05, 0.3)
    assert kf.black76_implied_volatility(price, 100.0, 100.0, 0.05, 2.0, "c") == pytest.approx(0.3, abs=1e-13)
    by_name = kf.black76_implied_volatility(price=price, F=100.0, K=100.0, t=2.0, r=0.05, flag="c")
    assert by_name == pytest.approx(0.3, abs=1e-13)
    # Read as t = 0.05, r = 2 the same number is a much higher volatility.
    assert kf.black76_implied_volatility(price, 100.0, 100.0, 2.0, 0.05, "c") > 1.5


# With r = 0 the spot models' forward S*exp(t*r) is S itself, so one set of
# (price, underlying, K) exercises the solver's exits through all three functions.
def iv(model, price, underlying, K, flag, t=1.0):
    return MODELS[model][1](price, underlying, K, t, 0.0, 0.0, flag)


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("flag,underlying,K", [("c", 110.0, 100.0), ("p", 100.0, 110.0)])
def test_bounds_of_the_price(model, flag, underlying, K):
    assert iv(model, 10.0, underlying, K, flag) == 1e-6  # at intrinsic value
    assert iv(model, 10.0 - 1e-15, underlying, K, flag) == 1e-6  # within the slack
    with pytest.raises(ValueError) as below:
        iv(model, 10.0 - 1e-13, underlying, K, flag)
    assert below.value.args == ("price is below intrinsic value",)
    with pytest.raises(ValueError) as above:
        iv(model, (underlying if flag == "c" else K) + 0.001, underlying, K, flag)
    assert above.value.args == ("price exceeds theoretical maximum",)


@pytest.mark.parametrize("model", MODELS)
def test_prices_beyond_the_volatility_cap(model):
    at_forward = iv(model, 100.0, 100.0, 100.0, "c")
    assert 5 - 4e-15 <= at_forward < 5
    from_sigma_6 = kf.black76_black("c", 100.0, 100.0, 1.0, 0.0, 6.0)
    assert from_sigma_6 < 100.0
    assert iv(model, from_sigma_6, 100.0, 100.0, "c") == at_forward


@pytest.mark.parametrize("model", MODELS)
def test_price_tolerance_is_absolute_below_one(model):
    price = kf.black76_black("c", 100.0, 150.0, 0.1, 0.0, 0.05)
    assert 0 < price < 1e-100
    got = iv(model, price, 100.0, 150.0, "c", t=0.1)
    assert abs(got - 0.18) <= 0.005  # "about 0.18", far from the 0.05 that made the price


IV_ARGS = {  # valid arguments in each function's own order, flag last
    "bs_implied_volatility": ("price", "S", "K", "t", "r"),
    "bsm_implied_volatility": ("price", "S", "K", "t", "r", "q"),
    "black76_implied_volatility": ("price", "F", "K", "r", "t"),
}
VALID = {"price": 10.0, "S": 100.0, "F": 100.0, "K": 100.0, "t": 1.0, "r": 0.05, "q": 0.01}
NAN_CASES = [(n, p) for n, params in IV_ARGS.items() for p in params]


@pytest.mark.parametrize("nan", [float("nan"), struct.unpack("<d", struct.pack("<Q", 0xFFF0000000000001))[0]],
                         ids=["quiet", "negative-signalling"])
@pytest.mark.parametrize("name,param", NAN_CASES, ids=[f"{n}-{p}" for n, p in NAN_CASES])
def test_nan_input_gives_the_quiet_nan(name, param, nan):
    args = [nan if p == param else VALID[p] for p in IV_ARGS[name]]
    for flag in "cp":
        assert bits(getattr(kf, name)(*args, flag)) == QNAN_BITS
