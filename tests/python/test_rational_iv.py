"""The package's implied volatility by "Let's Be Rational" (method="rational",
the default), next to _kestrelfin's Newton solver (method="newton"):

* round trips against mpmath over the whole domain the solver promises
  (t in [1e-3, 30], sigma in [0.005, 8], |ln(K/F)| <= min(12 sigma sqrt(t), 6),
  r in [-0.02, 0.1], q in [0, 0.05], prices above 1e-250), three models and
  both kinds: the error against the exact volatility of the very double
  price within 8 times what the rounding of the inputs allows;
* the reasons and values at the edges (NaN, never an exception; 0.0 at the
  intrinsic value; no cap on sigma);
* every element of an array equal to the one-option result bit for bit,
  whatever its position, the length, the shape or the strides, and the same
  bits in a process whose libm is glibc's build without FMA;
* method="newton" bit for bit _kestrelfin's solver, its reasons those of the
  one-option entry;
* the keywords' errors, and the containers' shapes of (sigma, reason).
"""

import math
import os
import shutil
import subprocess
import sys
import tempfile
import zlib

import numpy as np
import pytest
from mpmath import mp, mpf

import _kestrelfin as kf
import kestrelfin
from kestrelfin import IVReason, _ufuncs, black76, bs, bsm
from package_support import array_bits, bits

MODELS = {"bs": bs, "bsm": bsm, "black76": black76}
EPS = 2.0**-52


# ---- an independent reference: the exact price and volatility in mpmath --------------------------------------

def _forward_terms(model, o):
    """The exact forward (a mpf) and the discount factor of an option's
    double inputs."""
    t, r = mpf(o["t"]), mpf(o["r"])
    if model == "black76":
        return mpf(o["F"]), mp.exp(-r * t)
    q = mpf(o.get("q", 0.0))
    return mpf(o["S"]) * mp.exp((r - q) * t), mp.exp(-r * t)


def _black(F, K, t, sigma, call):
    """The undiscounted Black price, through erfc so that the far tails
    keep their digits."""
    s = sigma * mp.sqrt(t)
    d1 = (mp.log(F / K) + s * s / 2) / s
    d2 = d1 - s
    root2 = mp.sqrt(2)
    if call:
        return F * mp.erfc(-d1 / root2) / 2 - K * mp.erfc(-d2 / root2) / 2
    return K * mp.erfc(d2 / root2) / 2 - F * mp.erfc(d1 / root2) / 2


def _time_value(F, K, t, sigma):
    """The out-of-the-money option's undiscounted price: the time value of
    either kind, free of the intrinsic value's cancellation."""
    s = sigma * mp.sqrt(t)
    d1 = (mp.log(F / K) + s * s / 2) / s
    d2 = d1 - s
    root2 = mp.sqrt(2)
    if F < K:  # the call is out of the money
        return F * mp.erfc(-d1 / root2) / 2 - K * mp.erfc(-d2 / root2) / 2
    return K * mp.erfc(d2 / root2) / 2 - F * mp.erfc(d1 / root2) / 2


def exact_volatility_and_bound(model, o, sigma0):
    """sigma*, the exact volatility of the double price o["price"] from the
    double inputs (Newton on the logarithm of the time value, in 60 digits,
    from the sigma that made the price), and the error the rounding of the
    inputs allows."""
    with mp.workdps(60):
        F, discount = _forward_terms(model, o)
        K, t, r = mpf(o["K"]), mpf(o["t"]), mpf(o["r"])
        q = mpf(o.get("q", 0.0))
        call = o["flag"] == "c"
        intrinsic = max(F - K, 0) if call else max(K - F, 0)
        target = mpf(o["price"]) / discount - intrinsic
        sigma = mpf(sigma0)
        for _ in range(60):
            s = sigma * mp.sqrt(t)
            d1 = (mp.log(F / K) + s * s / 2) / s
            vega = F * mp.npdf(d1) * mp.sqrt(t)
            value = _time_value(F, K, t, sigma)
            step = (mp.log(value) - mp.log(target)) * value / vega
            sigma = max(sigma - step, sigma / 2)
            if abs(step) < mpf(10) ** -35 * sigma:
                break
        s = sigma * mp.sqrt(t)
        d1 = (mp.log(F / K) + s * s / 2) / s
        d2 = d1 - s
        theta = 1 if call else -1
        P = mpf(o["price"])
        F_dP_dF = discount * F * theta * mp.ncdf(theta * d1)
        K_dP_dK = discount * K * theta * mp.ncdf(theta * d2)
        vega = discount * F * mp.npdf(d1) * mp.sqrt(t)
        bound = EPS * ((abs(P) * (2 + abs(r * t)) + abs(F_dP_dF) * (2 + abs(t * (r - q))) + abs(K_dP_dK)) / vega
                       + sigma)
        return float(sigma), float(bound)


def _price(model, o, sigma):
    with mp.workdps(40):
        F, discount = _forward_terms(model, o)
        return float(discount * _black(F, mpf(o["K"]), mpf(o["t"]), mpf(sigma), o["flag"] == "c"))


def domain_options(model, flag, count, seed):
    """Options drawn over the promised domain, the volatility log-uniform so
    that every branch of the solver is reached (the deep tails give prices
    far below 1e-12), with their mpmath prices rounded to doubles."""
    rng = np.random.default_rng(seed)
    options = []
    while len(options) < count:
        t = float(np.exp(rng.uniform(np.log(1e-3), np.log(30.0))))
        sigma = float(np.exp(rng.uniform(np.log(0.005), np.log(8.0))))
        reach = min(12.0 * sigma * math.sqrt(t), 6.0)
        o = {"flag": flag, "t": t, "r": float(rng.uniform(-0.02, 0.1)), "K": float(rng.uniform(20.0, 200.0))}
        x = float(rng.uniform(-reach, reach))  # ln(K/F)
        if model == "black76":
            o["F"] = o["K"] * math.exp(-x)
        else:
            o["q"] = float(rng.uniform(0.0, 0.05)) if model == "bsm" else 0.0
            o["S"] = o["K"] * math.exp(-x - (o["r"] - o["q"]) * t)
        o["price"] = _price(model, o, sigma)
        if o["price"] > 1e-250:
            options.append((o, sigma))
    return options


def arguments_of(model, o):
    if model == "black76":
        return (o["price"], o["F"], o["K"], o["r"], o["t"], o["flag"])
    if model == "bsm":
        return (o["price"], o["S"], o["K"], o["t"], o["r"], o["q"], o["flag"])
    return (o["price"], o["S"], o["K"], o["t"], o["r"], o["flag"])


def time_value_lost(model, o):
    """Whether the price's time value or its distance to the maximum is
    below what the rounding of the inputs resolves (where NaN or 0.0 is
    allowed)."""
    with mp.workdps(60):
        F, discount = _forward_terms(model, o)
        K = mpf(o["K"])
        P = mpf(o["price"]) / discount
        intrinsic = max(F - K, 0) if o["flag"] == "c" else max(K - F, 0)
        upper = F if o["flag"] == "c" else K
        # In the money the intrinsic value carries the rounding of F and K;
        # out of the money it is an exact 0 and the price rounds relatively.
        time_value_lost = P - intrinsic <= (8 * EPS * (P + F + K) if intrinsic > 0 else 0)
        return time_value_lost or upper - P <= 8 * EPS * (P + upper)


# ---- round trips ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("flag", ["c", "p"])
def test_round_trips_are_within_eight_times_the_inputs_rounding(model, flag):
    cases = domain_options(model, flag, 90, seed=zlib.crc32(f"{model}{flag}".encode()))
    arguments = [arguments_of(model, o) for o, _ in cases]
    columns = [np.array(column) for column in zip(*arguments)]
    sigma, reason = getattr(MODELS[model], "implied_volatility")(*columns, with_reason=True)
    worst = []
    for i, (o, sigma0) in enumerate(cases):
        if time_value_lost(model, o):
            # The rounding of the inputs leaves no volatility to recover
            # (the exact price may even be below the intrinsic value): NaN,
            # 0.0 or a volatility are all allowed.
            continue
        assert reason[i] == IVReason.OK, (o, sigma0, sigma[i], IVReason(reason[i]))
        exact, bound = exact_volatility_and_bound(model, o, sigma0)
        worst.append(abs(sigma[i] - exact) / bound)
        assert abs(sigma[i] - exact) <= 8 * bound, (o, sigma0, exact, sigma[i], bound)
    # Deep in the money at low volatility the time value is often below the
    # rounding of the price; at least half the options are checked.
    assert len(worst) >= 0.5 * len(cases)


@pytest.mark.parametrize("model", MODELS)
def test_prices_far_in_the_tails_and_volatilities_beyond_five_come_back(model):
    # The Newton solver's limits: prices below 1e-12 and sigma > 5 (its
    # bracket's end). Deep out of the money down to about 1e-200, and
    # sigma up to 20: no cap.
    cases = []
    for sigma, x, t in [(0.05, 1.0, 1.0), (0.04, 1.2, 1.0), (0.5, 12.0, 1.0), (7.0, 0.5, 1.0),
                        (11.0, 0.0, 1.0), (8.0, -3.0, 0.5), (0.3, -1e-9, 1.0), (0.02, 0.02, 0.01)]:
        o = {"flag": "c" if x >= 0 else "p", "t": t, "r": 0.02, "K": 100.0}
        if model == "black76":
            o["F"] = 100.0 * math.exp(-x)
        else:
            o["q"] = 0.01 if model == "bsm" else 0.0
            o["S"] = 100.0 * math.exp(-x - (o["r"] - o["q"]) * t)
        o["price"] = _price(model, o, sigma)
        cases.append((o, sigma))
    assert min(o["price"] for o, _ in cases) < 1e-100
    for o, sigma0 in cases:
        found = MODELS[model].implied_volatility(*arguments_of(model, o))
        exact, bound = exact_volatility_and_bound(model, o, sigma0)
        assert abs(found - exact) <= 8 * bound, (o, sigma0, exact, found, bound)


# ---- edges and reasons ----------------------------------------------------------------------------------------

def edge_cases(model):
    """(arguments as a dict, the expected volatility, the expected reason)
    at r = 0, where the undiscounted price is the price itself."""
    U = "F" if model == "black76" else "S"
    base = {"price": 5.0, U: 100.0, "K": 90.0, "t": 1.0, "r": 0.0, "flag": "c"}
    if model == "bsm":
        base["q"] = 0.0
    nan = math.nan
    return [
        (dict(base, price=10.0), 0.0, IVReason.AT_INTRINSIC),             # F - K exactly
        (dict(base, price=0.0, K=110.0), 0.0, IVReason.AT_INTRINSIC),     # out of the money, worth nothing
        (dict(base, price=9.0), nan, IVReason.BELOW_INTRINSIC),
        (dict(base, price=-1.0, K=110.0), nan, IVReason.BELOW_INTRINSIC),
        (dict(base, price=100.0), nan, IVReason.AT_OR_ABOVE_MAXIMUM),     # the forward: a call's maximum
        (dict(base, price=90.0, flag="p"), nan, IVReason.AT_OR_ABOVE_MAXIMUM),  # the strike: a put's
        (dict(base, price=math.inf), nan, IVReason.AT_OR_ABOVE_MAXIMUM),
        (dict(base, t=0.0), nan, IVReason.INVALID_INPUT),
        (dict(base, t=-1.0), nan, IVReason.INVALID_INPUT),
        (dict(base, t=math.inf), nan, IVReason.INVALID_INPUT),
        (dict(base, **{U: 0.0}), nan, IVReason.INVALID_INPUT),
        (dict(base, **{U: -100.0}), nan, IVReason.INVALID_INPUT),
        (dict(base, K=0.0), nan, IVReason.INVALID_INPUT),
        (dict(base, K=-5.0), nan, IVReason.INVALID_INPUT),
        (dict(base, price=math.nan), nan, IVReason.INVALID_INPUT),
        (dict(base, r=math.nan), nan, IVReason.INVALID_INPUT),
        (dict(base, r=math.inf), nan, IVReason.INVALID_INPUT),
        (dict(base, K=math.nan), nan, IVReason.INVALID_INPUT),
    ]


def _ordered(model, case):
    parameters = {"black76": ("price", "F", "K", "r", "t", "flag"),
                  "bsm": ("price", "S", "K", "t", "r", "q", "flag"),
                  "bs": ("price", "S", "K", "t", "r", "flag")}[model]
    return tuple(case[p] for p in parameters)


@pytest.mark.parametrize("model", MODELS)
def test_unreachable_prices_give_nan_and_their_reason_never_an_exception(model):
    cases = edge_cases(model)
    function = MODELS[model].implied_volatility
    for case, volatility, reason in cases:
        arguments = _ordered(model, case)
        one = function(*arguments)
        pair = function(*arguments, with_reason=True)
        assert type(one) is float and bits(one) == bits(pair[0]), case
        assert (math.isnan(one) if math.isnan(volatility) else bits(one) == bits(volatility)), (case, one)
        assert type(pair[1]) is IVReason and pair[1] == reason, (case, pair)
    # The same as arrays, one option per element, mixed kinds.
    columns = [np.array(column) for column in zip(*(_ordered(model, case) for case, _, _ in cases))]
    sigma, reasons = function(*columns, with_reason=True)
    assert reasons.dtype == np.int8 and sigma.dtype == np.float64
    assert list(reasons) == [reason for _, _, reason in cases]
    expected = np.array([volatility for _, volatility, _ in cases])
    assert np.array_equal(sigma, expected, equal_nan=True)
    assert np.array_equal(array_bits(function(*columns)), array_bits(sigma))


def test_the_reason_codes_are_named_as_the_issue_names_them():
    assert {member.name: member.value for member in IVReason} == {
        "OK": 0, "AT_INTRINSIC": 1, "BELOW_INTRINSIC": 2, "AT_OR_ABOVE_MAXIMUM": 3, "INVALID_INPUT": 4,
        "NOT_CONVERGED": 5}
    assert kestrelfin.IVReason is IVReason and "IVReason" in kestrelfin.__all__


@pytest.mark.parametrize("model", MODELS)
def test_the_solutions_keep_the_models_order_and_parity(model):
    # Volatility rises with the price; a call and the put of the same
    # strike give the same volatility from prices related by parity.
    function = MODELS[model].implied_volatility
    U = "F" if model == "black76" else "S"
    o = {U: 100.0, "K": 120.0, "t": 0.75, "r": 0.03, "q": 0.02}
    F = o[U] if model == "black76" else o[U] * math.exp((o["r"] - (o["q"] if model == "bsm" else 0.0)) * o["t"])
    discount = math.exp(-o["r"] * o["t"])
    calls = np.geomspace(1e-9, 10.0, 200)
    sigma_calls = function(*_ordered(model, dict(o, price=calls, flag="c")))
    assert np.all(np.diff(sigma_calls) > 0)
    puts = calls + discount * (o["K"] - F)  # parity
    sigma_puts = function(*_ordered(model, dict(o, price=puts, flag="p")))
    # Where the put's price carries the call's time value to enough digits.
    assert np.allclose(sigma_puts[150:], sigma_calls[150:], rtol=1e-8, atol=0.0)


# ---- arrays against one option, bit for bit ---------------------------------------------------------------------

def mixed_options(model, n, seed):
    """Options of every branch and reason in one array: the domain's
    options, at-the-money ones, and edge cases mixed in."""
    rng = np.random.default_rng(seed)
    domain = domain_options(model, "c", n // 2, seed) + domain_options(model, "p", n - n // 2 - 6, seed + 1)
    rows = [arguments_of(model, o) for o, _ in domain]
    for case, _, _ in edge_cases(model)[:6]:
        rows.append(_ordered(model, case))
    at_the_money = list(rows[0])
    at_the_money[0] = 3.0
    at_the_money[2] = at_the_money[1] if model == "black76" else at_the_money[2]
    rows[1] = tuple(at_the_money)
    order = rng.permutation(len(rows))
    return [np.array(column) for column in zip(*(rows[i] for i in order))]


def one_by_one(model, columns, method="rational"):
    function = MODELS[model].implied_volatility
    return np.array([function(*(column[i].item() for column in columns), method=method)
                     for i in range(len(columns[0]))])


@pytest.mark.parametrize("model", MODELS)
def test_every_element_is_the_one_option_result_whatever_its_position_length_and_layout(model):
    columns = mixed_options(model, 61, seed=7)
    function = MODELS[model].implied_volatility
    expected = array_bits(one_by_one(model, columns))
    assert np.array_equal(array_bits(function(*columns)), expected)
    # Every length (and so every lane position of the last block) and shift.
    for start in range(0, 9):
        for length in (1, 2, 3, 5, 8, 13):
            part = [column[start:start + length] for column in columns]
            assert np.array_equal(array_bits(function(*part)), expected[start:start + length]), (start, length)
    # Reversed, strided and two-dimensional views; a broadcast output keeps the last.
    reversed_ = [column[::-1] for column in columns]
    assert np.array_equal(array_bits(function(*reversed_)), expected[::-1])
    strided = [np.repeat(column, 3)[::3] for column in columns]
    assert np.array_equal(array_bits(function(*strided)), expected)
    square = [column[:60].reshape(6, 10) for column in columns]
    assert np.array_equal(array_bits(function(*square)), expected[:60].reshape(6, 10))
    sigma, reason = function(*columns, with_reason=True)
    assert np.array_equal(array_bits(sigma), expected)
    reasons = [function(*(column[i].item() for column in columns), with_reason=True)[1] for i in range(61)]
    assert list(reason) == reasons
    out = np.empty(61)
    assert function(*columns, out=out) is out and np.array_equal(array_bits(out), expected)


CHILD = r"""
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from test_rational_iv import mixed_options, MODELS
import kestrelfin._ufuncs
assert kestrelfin._ufuncs.kernel_path() == "sse2/unfused", kestrelfin._ufuncs.kernel_path()
for model in MODELS:
    columns = mixed_options(model, 61, seed=7)
    sigma = MODELS[model].implied_volatility(*columns)
    print(model, ",".join(str(int(b)) for b in sigma.view(np.int64)))
"""


def test_a_process_on_the_libm_without_fma_gives_the_same_bits():
    environment = dict(os.environ, GLIBC_TUNABLES="glibc.cpu.hwcaps=-FMA,-AVX2")
    completed = subprocess.run([sys.executable, "-c", CHILD, os.path.dirname(__file__)], capture_output=True,
                               text=True, timeout=300, env=environment, check=True)
    for line in completed.stdout.splitlines():
        model, values = line.split()
        here = MODELS[model].implied_volatility(*mixed_options(model, 61, seed=7))
        assert [int(b) for b in values.split(",")] == list(here.view(np.int64)), model


STANDIN_CHILD = r"""
import sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from test_rational_iv import MODELS, mixed_options, one_by_one
import kestrelfin._ufuncs
assert kestrelfin._ufuncs.kernel_path() == "sse2/libm", kestrelfin._ufuncs.kernel_path()
for model in MODELS:
    columns = mixed_options(model, 61, seed=7)
    sigma = MODELS[model].implied_volatility(*columns)
    assert np.array_equal(sigma.view(np.int64), one_by_one(model, columns).view(np.int64)), model
print("ok")
"""


def test_lanes_calling_a_foreign_libm_give_the_one_option_bits():
    # A libm that is neither glibc build (tests/core/standin_libm.c flips
    # the last bit of some results) makes the lanes call exp and log one
    # lane at a time: the plain path.
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to build the stand-in libm")
    source = os.path.join(os.path.dirname(__file__), "..", "core", "standin_libm.c")
    with tempfile.TemporaryDirectory() as directory:
        library = os.path.join(directory, "libstandin_libm.so")
        subprocess.run([compiler, "-O2", "-shared", "-fPIC", source, "-o", library, "-ldl"], check=True)
        preload = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), library]))
        completed = subprocess.run([sys.executable, "-c", STANDIN_CHILD, os.path.dirname(__file__)],
                                   capture_output=True, text=True, timeout=300,
                                   env=dict(os.environ, LD_PRELOAD=preload))
    assert completed.returncode == 0 and completed.stdout.strip() == "ok", completed.stderr[-3000:]


# ---- method="newton" -------------------------------------------------------------------------------------------

NEWTON_CODES = {0: IVReason.OK, 1: IVReason.BELOW_INTRINSIC, 2: IVReason.AT_OR_ABOVE_MAXIMUM,
                3: IVReason.NOT_CONVERGED}


@pytest.mark.parametrize("model", MODELS)
def test_newton_is_kestrelfins_solver_bit_for_bit_with_its_reasons(model):
    columns = mixed_options(model, 40, seed=3)
    name = {"bs": "bs_implied_volatility", "bsm": "bsm_implied_volatility",
            "black76": "black76_implied_volatility"}[model]
    outcome = getattr(_ufuncs, f"{name}_outcome")
    function = MODELS[model].implied_volatility
    sigma, reason = function(*columns, method="newton", with_reason=True)
    plain = function(*columns, method="newton")
    for i in range(len(sigma)):
        arguments = [column[i].item() for column in columns]
        try:
            expected = getattr(kf, name)(*arguments)
        except ValueError:
            expected = math.nan
        assert bits(plain[i]) == bits(expected) and bits(sigma[i]) == bits(expected), (arguments, plain[i], expected)
        assert bits(function(*arguments, method="newton")) == bits(expected)
        volatility, code = outcome(*arguments)
        want = IVReason.INVALID_INPUT if code == 0 and math.isnan(volatility) else NEWTON_CODES[code]
        assert reason[i] == want, (arguments, reason[i], want)


# ---- the keywords ------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("method", ["lbr", "Rational", None, 1, ["rational"]])
def test_a_method_that_is_none_of_the_two_is_a_value_error_naming_them(model, method):
    arguments = _ordered(model, edge_cases(model)[0][0])
    expected = (f"kestrelfin.{model}.implied_volatility: method must be 'rational' or 'newton', "
                f"got {method!r}")
    for given in (arguments, [np.array([a]) if isinstance(a, float) else a for a in arguments]):
        with pytest.raises(ValueError) as raised:
            MODELS[model].implied_volatility(*given, method=method)
        assert str(raised.value) == expected


def test_with_reason_takes_a_bool():
    with pytest.raises(TypeError, match=r"^kestrelfin\.bs\.implied_volatility: with_reason must be True or False, "
                                        r"got 'yes'$"):
        bs.implied_volatility(5.0, 100.0, 90.0, 1.0, 0.0, "c", with_reason="yes")


# ---- containers ------------------------------------------------------------------------------------------------

def test_pandas_series_give_a_pair_of_series_on_their_index():
    pd = pytest.importorskip("pandas")
    index = pd.Index([10, 20, 30], name="id")
    price = pd.Series([10.0, 4.0, -1.0], index=index)
    sigma, reason = bs.implied_volatility(price, 100.0, 90.0, 1.0, 0.0, "c", with_reason=True)
    assert sigma.index.equals(index) and reason.index.equals(index)
    assert reason.dtype == np.int8 and list(reason) == [IVReason.AT_INTRINSIC, IVReason.BELOW_INTRINSIC,
                                                        IVReason.BELOW_INTRINSIC]
    single = bs.implied_volatility(price, 100.0, 90.0, 1.0, 0.0, "c")
    assert isinstance(single, pd.Series) and np.array_equal(array_bits(single.to_numpy()),
                                                            array_bits(sigma.to_numpy()))
    nullable = pd.Series([12.0, None, 9.0], index=index, dtype="Float64")
    sigma, reason = bs.implied_volatility(nullable, 100.0, 90.0, 1.0, 0.0, "c", with_reason=True)
    assert reason.dtype == "Int8" and reason.isna().tolist() == [False, True, False]


def test_a_polars_expression_gives_a_struct_of_sigma_and_reason():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"price": [12.0, 9.0, None], "F": [100.0, 100.0, 100.0]})
    result = frame.select(black76.implied_volatility(pl.col("price"), pl.col("F"), 90.0, 0.0, 1.0, "c",
                                                     with_reason=True)).unnest("implied_volatility")
    assert dict(result.schema) == {"sigma": pl.Float64, "reason": pl.Int8}
    expected = black76.implied_volatility(np.array([12.0, 9.0]), 100.0, 90.0, 0.0, 1.0, "c")
    assert array_bits(result["sigma"].to_numpy()[:2]).tolist() == array_bits(expected).tolist()
    assert result["reason"].to_list() == [IVReason.OK, IVReason.BELOW_INTRINSIC, None]
    plain = frame.select(black76.implied_volatility(pl.col("price"), pl.col("F"), 90.0, 0.0, 1.0, "c",
                                                    method="newton"))
    assert dict(plain.schema) == {"implied_volatility": pl.Float64}


def test_dask_arrays_keep_their_blocks_and_both_results():
    da = pytest.importorskip("dask.array")
    price = da.from_array(np.array([12.0, 9.0, 11.0, 0.5]), chunks=2)
    sigma, reason = bsm.implied_volatility(price, 100.0, 90.0, 1.0, 0.0, 0.0, "c", with_reason=True)
    expected = bsm.implied_volatility(price.compute(), 100.0, 90.0, 1.0, 0.0, 0.0, "c", with_reason=True)
    assert reason.dtype == np.int8 and sigma.chunks == price.chunks
    assert np.array_equal(array_bits(sigma.compute()), array_bits(expected[0]))
    assert np.array_equal(reason.compute(), expected[1])


def test_dask_dataframes_give_both_results_as_their_own_kind():
    pd = pytest.importorskip("pandas")
    # Dask DataFrames need pyarrow, whose releases may need a newer NumPy
    # than the environment's (an ImportError, not a missing module).
    dd = pytest.importorskip("dask.dataframe", exc_type=ImportError)
    prices = np.array([12.0, 9.0, 11.0, 0.5])
    expected = bsm.implied_volatility(prices, 100.0, 90.0, 1.0, 0.0, 0.0, "c", with_reason=True)
    frame = dd.from_pandas(pd.DataFrame({"p": prices, "S": np.full(4, 100.0)}), npartitions=2)
    sigma, reason = bsm.implied_volatility(frame["p"], frame["S"], 90.0, 1.0, 0.0, 0.0, "c", with_reason=True)
    assert np.array_equal(array_bits(sigma.compute().to_numpy()), array_bits(expected[0]))
    assert reason.dtype == np.int8 and reason.compute().tolist() == expected[1].tolist()
    newton = bsm.implied_volatility(frame["p"], frame["S"], 90.0, 1.0, 0.0, 0.0, "c", method="newton")
    assert np.array_equal(array_bits(newton.compute().to_numpy()),
                          array_bits(bsm.implied_volatility(prices, 100.0, 90.0, 1.0, 0.0, 0.0, "c",
                                                            method="newton")))


def test_xarray_and_out_give_both_results():
    xr = pytest.importorskip("xarray")
    prices = np.array([12.0, 9.0, 11.0, 0.5])
    expected = bsm.implied_volatility(prices, 100.0, 90.0, 1.0, 0.0, 0.0, "c", with_reason=True)
    array = xr.DataArray(prices, dims="k", coords={"k": [1, 2, 3, 4]})
    sigma, reason = bsm.implied_volatility(array, 100.0, 90.0, 1.0, 0.0, 0.0, "c", with_reason=True)
    assert sigma.dims == reason.dims == ("k",) and list(reason.coords["k"]) == [1, 2, 3, 4]
    assert np.array_equal(array_bits(sigma.to_numpy()), array_bits(expected[0]))
    assert reason.dtype == np.int8 and reason.to_numpy().tolist() == expected[1].tolist()
    out = (np.empty(4), np.empty(4, dtype=np.int8))
    result = bsm.implied_volatility(prices, 100.0, 90.0, 1.0, 0.0, 0.0, "c", with_reason=True, out=out)
    assert result[0] is out[0] and result[1] is out[1] and out[1].tolist() == expected[1].tolist()
