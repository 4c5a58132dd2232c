"""Values of the 48 scalar price and Greek functions against an mpmath reference.

The reference (reference.py) evaluates the textbook prices at 30 digits and
differentiates them exactly, so every comparison here measures the rounding
error of the double-precision formulas alone.
"""
import decimal
import math
import random

import pytest

import _kestrelfin as kf
import reference as ref
from shared import bits

MODELS = ("bs", "bsm", "black76")
PRICE_NAME = {"bs": "bs_black_scholes", "bsm": "bsm_black_scholes_merton", "black76": "black76_black"}
NAMES = {
    m: {q: PRICE_NAME[m] if q == "price" else f"{m}_{q}" for q in ref.QUANTITIES} for m in MODELS
}
CASES = [(m, q) for m in MODELS for q in ref.QUANTITIES]
CASE_IDS = [NAMES[m][q] for m, q in CASES]


def call(model, quantity, flag, S, K, t, r, sigma, q=0.0):
    """The module's value; S is the forward for Black-76, q only reaches bsm_."""
    args = (flag, S, K, t, r, sigma) + ((q,) if model == "bsm" else ())
    return getattr(kf, NAMES[model][quantity])(*args)


def reference(model, quantity, flag, S, K, t, r, sigma, q=0.0):
    if model == "black76":
        return ref.black76(quantity, flag, S, K, t, r, sigma)
    return ref.bsm(quantity, flag, S, K, t, r, sigma, q if model == "bsm" else 0.0)


def _grid():
    """Fixed corners plus seeded log-uniform draws over the sensible domain.

    Points with |d1| or |d2| above 12 are skipped: there the time value and
    the Greeks are below 1e-30 of the price scale, and the tails of N get
    their own tests below.
    """
    points = [
        (100.0, 100.0, 1.0, 0.05, 0.2, 0.0),  # at the money, exactly S = K
        (100.0, 100.0, 3 / 365, 0.0, 0.05, 0.0),  # three days, r = 0
        (50.0, 100.0, 5.0, 0.1, 1.5, 0.05),
        (200.0, 100.0, 5.0, -0.01, 0.05, 0.0),
        (100.0, 200.0, 0.5, 0.03, 1.5, 0.0),
        (120.0, 100.0, 0.02, 0.0, 0.3, 0.02),
    ]
    rng = random.Random(20240611)
    while len(points) < 42:
        K = rng.uniform(50, 150)
        S = K * math.exp(rng.uniform(math.log(0.5), math.log(2)))
        t = math.exp(rng.uniform(math.log(3 / 365), math.log(5)))
        sigma = math.exp(rng.uniform(math.log(0.05), math.log(1.5)))
        r = rng.uniform(-0.01, 0.1)
        q = 0.0 if len(points) % 3 == 0 else rng.uniform(0, 0.05)
        sd = sigma * math.sqrt(t)
        d1s = [(math.log(S / K) + (b + sigma * sigma / 2) * t) / sd for b in (r - q, 0.0)]
        if max(abs(d) + sd for d in d1s) <= 12:
            points.append((S, K, t, r, sigma, q))
    return points


GRID = _grid()

# Relative tolerance: the formulas are well conditioned except for the price
# (and Black-76 rho) of an option far out of the money, where S*N(d1) - K*N(d2)
# cancels and the small relative error of N is amplified by about
# |d2|/(sigma*sqrt(t)); over a 300-point sample of this domain the worst case
# was 1.2e-11, every other quantity stayed below 4e-13.
RTOL = 1e-10
# Quantities that change sign inside the domain. Near a sign change the error
# stays at the size of the terms that cancel, so these get an absolute floor:
# 1e-14 of the quantity's natural unit (S to the power 1 - its order in S, over
# K to its order in K, times its 0.01 or 1/365 scaling), weighted by the
# density exp(-d1^2/2) that multiplies the gamma- and vega-like terms, plus the
# rate terms r*K*N(d2) of theta and charm. The put charm forms N(d1) - 1, which
# carries one ulp of 1 times a rate, about 1e-17, also covered by this floor.
SIGN_CHANGING = {"theta", "charm", "vanna", "vomma", "speed", "zomma", "color", "veta", "ultima"}


def tolerance(model, quantity, value, S, K, t, r, sigma, q):
    tol = RTOL * abs(value)
    if quantity in SIGN_CHANGING:
        (n_s, n_k, *_), num, den = ref.GREEKS[quantity]
        carry = 0.0 if model == "black76" else r - q
        sd = sigma * math.sqrt(t)
        d1 = (math.log(S / K) + (carry + sigma * sigma / 2) * t) / sd
        unit = S ** (1 - n_s) * K ** -n_k * abs(num / den)
        tol += 1e-14 * unit * (math.exp(-d1 * d1 / 2) + abs(r) + abs(q))
    return tol


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("model,quantity", CASES, ids=CASE_IDS)
def test_matches_reference_on_grid(model, quantity, flag):
    # bs_ runs on the points without dividends; Black-76 has no q at all.
    points = [p if model == "bsm" else p[:5] + (0.0,) for p in GRID if model != "bs" or p[5] == 0.0]
    assert len(points) >= 14
    failures = []
    for p in points:
        got = call(model, quantity, flag, *p)
        want = reference(model, quantity, flag, *p)
        if not abs(got - want) <= tolerance(model, quantity, want, *p):
            failures.append((p, got, float(want), float((got - want) / want)))
    assert not failures, failures


# Worked examples, to the digits they are quoted with: (call, put) or one value
# for both kinds.
SPOT_ATM = {
    "price": ("10.5", "5.57"), "delta": ("0.637", "-0.363"), "gamma": "0.0188", "vega": "0.375",
    "theta": ("-0.0176", "-0.00454"), "rho": ("0.532", "-0.419"), "vanna": "-0.281",
    "charm": "0.0657", "vomma": "9.85", "speed": "-0.000516", "zomma": "-0.0889",
    "color": "-0.0105", "veta": "16.5", "ultima": "-183", "dual_delta": ("-0.532", "0.419"),
    "dual_gamma": "0.0188",
}
EXAMPLES = [
    ("bs", (100.0, 100.0, 1.0, 0.05, 0.2), SPOT_ATM),
    ("bsm", (100.0, 100.0, 1.0, 0.05, 0.2, 0.0), SPOT_ATM),
    ("bsm", (100.0, 95.0, 0.75, 0.05, 0.25, 0.02), {
        "price": ("12.2", "5.16"), "delta": ("0.663", "-0.322"), "gamma": "0.0164", "vega": "0.308",
        "theta": ("-0.0178", "-0.0107"), "rho": ("0.406", "-0.280"), "vanna": "-0.331",
        "charm": ("-0.0191", "0.000577"), "vomma": "12.9", "speed": "-0.000505", "zomma": "-0.0588",
        "color": "-0.0111", "veta": "20.1", "ultima": "-172", "dual_delta": ("-0.570", "0.393"),
        "dual_gamma": "0.0182"}),
    ("black76", (100.0, 100.0, 1.0, 0.05, 0.2), {
        "price": "7.58", "delta": ("0.514", "-0.438"), "gamma": "0.0189", "vega": "0.378",
        "theta": "-0.00931", "rho": "-0.0758", "vanna": "0.189", "charm": ("-0.00680", "0.0408"),
        "vomma": "-1.89", "speed": "-0.000283", "zomma": "-0.0953", "color": "-0.0105",
        "veta": "16.8", "ultima": "-9.35", "dual_delta": ("-0.438", "0.514"), "dual_gamma": "0.0189"}),
    ("black76", (100.0, 90.0, 0.5, 0.03, 0.25), {
        "price": ("12.6", "2.80"), "delta": ("0.742", "-0.243"), "gamma": "0.0176", "vega": "0.220",
        "theta": ("-0.0140", "-0.0148"), "rho": ("-0.0632", "-0.0140"), "vanna": "-0.631",
        "charm": ("-0.180", "-0.151"), "vomma": "30.6", "speed": "-0.000857", "zomma": "-0.0459",
        "color": "-0.0120", "veta": "29.0", "ultima": "-335", "dual_delta": ("-0.684", "0.301"),
        "dual_gamma": "0.0217"}),
]


def assert_stated_digits(value, text):
    """value rounds to text: within half a unit of the last digit written."""
    expected = decimal.Decimal(text)
    half_unit = 0.5 * 10.0 ** expected.as_tuple().exponent
    assert abs(value - float(expected)) <= half_unit * (1 + 1e-9), (value, text)


@pytest.mark.parametrize("model,args,table", EXAMPLES, ids=[f"{m}{a}" for m, a, _ in EXAMPLES])
def test_worked_examples(model, args, table):
    assert set(table) == set(ref.QUANTITIES)
    for quantity, expected in table.items():
        for flag, text in zip("cp", expected if isinstance(expected, tuple) else (expected,) * 2):
            assert_stated_digits(call(model, quantity, flag, *args), text)


@pytest.mark.parametrize("model", MODELS)
def test_parity_and_kind_relations(model):
    for S, K, t, r, sigma, q in GRID:
        q = q if model == "bsm" else 0.0
        v = {(qn, f): call(model, qn, f, S, K, t, r, sigma, q) for qn in ref.QUANTITIES for f in "cp"}
        dr = math.exp(-r * t)
        dq = dr if model == "black76" else math.exp(-q * t)  # Black-76: delta parity is D
        forward_value = dr * (S - K) if model == "black76" else S * math.exp(-q * t) - K * dr
        assert v["price", "c"] - v["price", "p"] == pytest.approx(forward_value, rel=1e-13, abs=1e-13 * (S + K))
        assert v["delta", "c"] - v["delta", "p"] == pytest.approx(dq, rel=1e-14)
        assert v["dual_delta", "c"] - v["dual_delta", "p"] == pytest.approx(-dr, rel=1e-14)
        if model == "black76":
            charm_noise = 1e-15 + 1e-15 * abs(v["charm", "c"])
            assert v["charm", "c"] - v["charm", "p"] == pytest.approx(-r * dr, abs=charm_noise)
            for f in "cp":  # rho is the price times t times -0.01, as evaluated
                assert bits(v["rho", f]) == bits(v["price", f] * t * -0.01)
        # Quantities without a kind in their formula agree to the bit; with
        # q = 0 the put charm's distribution term is multiplied by an exact 0.
        same = {"gamma", "vega", "vanna", "vomma", "speed", "zomma", "color", "veta", "ultima", "dual_gamma"}
        if model != "black76" and q == 0.0:
            same.add("charm")
        for qn in same:
            assert bits(v[qn, "c"]) == bits(v[qn, "p"]), qn


def test_strike_greeks_relations():
    # At F = K the dual delta of a call is the delta of a put, dual gamma the gamma.
    for t, r, sigma in [(1.0, 0.05, 0.2), (0.1, 0.0, 0.8), (4.0, 0.09, 0.07)]:
        a = ("p", 100.0, 100.0, t, r, sigma)
        assert kf.black76_dual_delta("c", *a[1:]) == pytest.approx(kf.black76_delta(*a), rel=1e-14)
        assert kf.black76_dual_gamma(*a) == pytest.approx(kf.black76_gamma(*a), rel=1e-14)
    for S, K, t, r, sigma, q in GRID:  # dual gamma = (S/K)^2 gamma for the spot models
        a = ("c", S, K, t, r, sigma, q)
        assert kf.bsm_dual_gamma(*a) == pytest.approx((S / K) ** 2 * kf.bsm_gamma(*a), rel=1e-12)


def test_bs_is_bsm_with_zero_q_bit_for_bit():
    rng = random.Random(5)
    inputs = [(100.0, 100.0, 0.0, 0.05, 0.2), (100.0, 10.0, 0.1, 0.05, 0.2), (90.0, 100.0, -1.0, 0.0, 0.3)]
    for _ in range(200):
        inputs.append((rng.uniform(1, 300), rng.uniform(1, 300), rng.choice([0.0, rng.uniform(0, 10)]),
                       rng.uniform(-0.2, 0.3), rng.uniform(0.001, 3)))
    for quantity in ref.QUANTITIES:
        for flag in "cp":
            for args in inputs:
                bs = call("bs", quantity, flag, *args)
                assert bits(bs) == bits(call("bsm", quantity, flag, *args, 0.0)), (quantity, flag, args)


SPOT_CASES = [c for c in CASES if c[0] != "black76"]


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("S", [120.0, 80.0])
@pytest.mark.parametrize("model", ["bs", "bsm"])
def test_at_expiry_with_s_not_k(model, S, flag):
    at = lambda qn: call(model, qn, flag, S, 100.0, 0.0, 0.05, 0.2, 0.03)  # noqa: E731
    itm = (S > 100.0) == (flag == "c")
    intrinsic = abs(S - 100.0) if itm else 0.0
    assert at("price") == intrinsic
    delta = at("delta")
    if flag == "c":
        assert delta == (1.0 if itm else 0.0)
    else:  # the out-of-the-money put delta is -Dq * N(-inf) = -0.0
        assert bits(delta) == bits(-1.0 if itm else -0.0)
    assert at("vega") == 0.0 and at("rho") == 0.0
    assert math.isnan(at("gamma")) and math.isnan(at("theta"))


@pytest.mark.parametrize("flag", ["c", "p"])
@pytest.mark.parametrize("model,quantity", CASES, ids=CASE_IDS)
def test_degenerate_time_gives_nan(model, quantity, flag):
    assert math.isnan(call(model, quantity, flag, 100.0, 100.0, 0.0, 0.05, 0.2, 0.01))
    assert math.isnan(call(model, quantity, flag, 90.0, 100.0, -0.5, 0.05, 0.2, 0.01))


def test_far_tail_keeps_its_digits():
    args = (100.0, 10.0, 0.1, 0.05, 0.2)
    put_price, put_delta = kf.bs_black_scholes("p", *args), kf.bs_delta("p", *args)
    assert_stated_digits(put_price, "5.02e-293")
    assert_stated_digits(put_delta, "-2.90e-292")
    assert put_price == pytest.approx(float(ref.bsm("price", "p", *args)), rel=1e-11)
    assert put_delta == pytest.approx(float(ref.bsm("delta", "p", *args)), rel=1e-11)
    assert kf.bs_delta("c", *args) == 1.0
    # Through -Dq*N(-d1): N(d1) - 1 would have lost digits from the tenth on.
    args = (100.0, 60.0, 0.25, 0.05, 0.2)
    assert_stated_digits(kf.bs_delta("p", *args), "-6.35e-8")
    assert kf.bsm_delta("p", *args, 0.0) == pytest.approx(float(ref.bsm("delta", "p", *args)), rel=1e-12)


# N is not exposed; its left tail shows in deep out-of-the-money put prices and
# deltas. The strikes put -d2 across range 3, the seam at -10 and the tail series.
@pytest.mark.parametrize("K", [70.0, 58.0, 54.0, 53.3, 53.0, 45.0, 30.0, 15.0, 11.0])
@pytest.mark.parametrize("model", MODELS)
def test_normal_tail_through_deep_otm_puts(model, K):
    args = (100.0, K, 0.1, 0.02, 0.2)
    for quantity in ("price", "delta", "dual_delta"):
        got, want = call(model, quantity, "p", *args), reference(model, quantity, "p", *args)
        assert got == pytest.approx(float(want), rel=2e-11), quantity
