"""The array functions: element-wise agreement with the scalar functions,
argument checks in their order of precedence, and the arrays they return."""

import gc
import math
import os
import zlib

import numpy as np
import pytest

import _kestrelfin as kf
from conftest import expect_error, run_python
from shared import MISMATCH, NOT_CONTIGUOUS, QNAN_BITS as QNAN, array_parameters, bits, is_iv, parameters

ARRAY_NAMES = [n for n in kf.__all__ if n.endswith("_array")]
all_arrays = pytest.mark.parametrize("name", ARRAY_NAMES)
BAD_FLAG = "flag must be 'c' or 'p', got \"x\""
LENGTH_TEXTS = {("S", False): "S, K, t, sigma arrays must have equal length",
                ("F", False): "F, K, t, sigma arrays must have equal length",
                ("S", True): "price, S, K, t arrays must have equal length",
                ("F", True): "price, F, K, t arrays must have equal length"}


def call(name, args):
    """Calls with a {parameter: value} mapping, positionally."""
    return getattr(kf, name)(*[args[p] for p in parameters(name)])


def ordinary(name, n=3):
    """Ordinary arguments: distinct arrays of length n, a call flag."""
    base = {"S": 101.0, "F": 101.0, "K": 95.0, "t": 0.5, "sigma": 0.25, "price": 10.0}
    args = {p: base[p] * (1 + 0.01 * np.arange(n)) for p in array_parameters(name)}
    return dict(args, flag="c", r=0.03, q=0.01)


# Values every parameter meets now and then: signed zeros, negatives, both
# infinities, NaNs of either sign and with payloads (a signalling one too),
# subnormals and magnitudes at both ends of the double range.
EXTREMES = np.concatenate([
    [0.0, -0.0, -1.0, -250.0, math.inf, -math.inf, 5e-324, 2.2250738585072014e-308, 1e-300, 1e-12, 1e6, 1e300,
     1.7976931348623157e308],
    np.array([QNAN, 0xFFF8000000000000, 0x7FF800000000BEEF, 0x7FF0000000000001], dtype=np.uint64).view(np.float64)])
RANGES = {"S": (20.0, 250.0), "F": (20.0, 250.0), "K": (20.0, 250.0), "t": (0.005, 3.0), "sigma": (0.02, 1.5),
          "price": (0.0, 40.0)}
# (r, q) per call; q matters only to the bsm_ functions.
RATES = [(0.05, 0.02), (-0.0, 0.0), (-0.03, 0.07), (math.nan, 0.01), (0.04, math.nan), (math.inf, -math.inf),
         (1e-300, 5e-324)]


def rng_for(name):
    return np.random.default_rng(zlib.crc32(name.encode()))


def mixed(rng, p, n, share=0.3):
    values = rng.uniform(*RANGES[p], n)
    mask = rng.random(n) < share
    values[mask] = rng.choice(EXTREMES, int(mask.sum()))
    return values


def iv_columns(rng, name, flag, r, q, n):
    """Prices made by the model's own price function from known volatilities,
    then spoiled in places: below intrinsic, above the maximum, zero, NaN,
    infinite, and extreme underlyings, strikes and times."""
    under = "F" if name.startswith("black76") else "S"
    cols = {under: rng.uniform(50, 150, n), "K": rng.uniform(50, 150, n), "t": rng.uniform(0.05, 2, n)}
    pricer = {"bs": "bs_black_scholes_array", "bsm": "bsm_black_scholes_merton_array", "black76": "black76_black_array"}
    price = call(pricer[name.split("_")[0]], dict(cols, flag=flag, r=r, q=q, sigma=rng.uniform(0.05, 0.9, n)))
    k = n // 10
    price[:k] = -1.0 - price[:k]
    price[k:2 * k] = 2.0 * np.maximum(cols[under], cols["K"])[k:2 * k] + 10.0
    price[2 * k:3 * k] = rng.choice([0.0, -0.0, math.nan, math.inf, -math.inf, 5e-324], k)
    for p in (under, "K", "t"):
        spoil = rng.random(n) < 0.05
        cols[p][spoil] = rng.choice(EXTREMES, int(spoil.sum()))
    return dict(cols, price=price)


def scalar_bits(name, args):
    """The scalar function on every element, as bit patterns; a solver failure
    stands as the quiet NaN the array puts in its place. Also counts them."""
    scalar = getattr(kf, name[:-len("_array")])
    columns = {p: args[p].tolist() for p in array_parameters(name)}
    out, failures = [], 0
    for i in range(len(args[array_parameters(name)[0]])):
        try:
            out.append(bits(scalar(*[columns[p][i] if p in columns else args[p] for p in parameters(name)])))
        except (ValueError, RuntimeError):
            assert is_iv(name)
            out.append(QNAN)
            failures += 1
    return np.array(out, dtype=np.uint64), failures


def assert_same_bits(result, expected_bits, context):
    """Values first (so a wrong number is reported as such), then the exact
    NaN: its sign and payload must be the same too."""
    expected = expected_bits.view(np.float64)
    differ = bits(result) != expected_bits
    wrong = np.flatnonzero(differ & ~(np.isnan(result) & np.isnan(expected)))
    assert wrong.size == 0, (context, wrong[:5], result[wrong[:5]], expected[wrong[:5]])
    nans = np.flatnonzero(differ)[:5]
    assert nans.size == 0, ("NaN bits differ", context, nans, [hex(b) for b in bits(result)[nans]],
                            [hex(b) for b in expected_bits[nans]])


# --- the scalar functions, bit for bit --------------------------------------------------------

@all_arrays
def test_elements_equal_the_scalar_function_bit_for_bit(name):
    rng, n = rng_for(name), 120
    for flag in ("c", "P"):
        for r, q in RATES:
            if is_iv(name):
                args = dict(iv_columns(rng, name, flag, r, q, n), flag=flag, r=r, q=q)
            else:
                args = dict({p: mixed(rng, p, n) for p in array_parameters(name)}, flag=flag, r=r, q=q)
            result = call(name, args)
            expected, failures = scalar_bits(name, args)
            assert_same_bits(result, expected, (flag, r, q))
            if is_iv(name):
                # Any NaN input gives the quiet NaN; otherwise both outcomes occur.
                used = [args[p] for p in parameters(name) if p != "flag"]
                nan_in = np.any([np.isnan(np.broadcast_to(v, n)) for v in used], axis=0)
                assert (bits(result)[nan_in] == QNAN).all()
                if math.isfinite(r) and math.isfinite(q):
                    assert n // 10 <= failures <= n // 2, failures


@pytest.mark.parametrize("name", [n for n in ARRAY_NAMES if n.startswith("bs_")])
def test_bs_equals_bsm_with_zero_dividend(name):
    rng = rng_for(name)
    merton = "bsm_" + name[len("bs_"):].replace("black_scholes", "black_scholes_merton")
    for flag in ("c", "p"):
        for r, _ in RATES:
            if is_iv(name):
                args = dict(iv_columns(rng, name, flag, r, 0.0, 200), flag=flag, r=r, q=0.0)
            else:
                args = dict({p: mixed(rng, p, 200) for p in array_parameters(name)}, flag=flag, r=r, q=0.0)
            assert_same_bits(call(name, args), bits(call(merton, args)), (flag, r))


def test_implied_volatility_failure_is_nan_in_place():
    S, K, t, r, sigma = np.full(3, 100.0), np.array([90.0, 90.0, 110.0]), np.full(3, 0.75), 0.02, np.full(3, 0.3)
    price = kf.bs_black_scholes_array("c", S, K, t, r, sigma)
    price[1] = 1.0  # the call is worth at least S - K*exp(-rt) > 10
    result = kf.bs_implied_volatility_array(price, S, K, t, r, "c")
    assert abs(result[0] - 0.3) < 1e-10 and abs(result[2] - 0.3) < 1e-10 and bits(result)[1] == QNAN
    expect_error(ValueError, "price is below intrinsic value", kf.bs_implied_volatility, 1.0, 100.0, 90.0,
                 0.75, r, "c")


def test_black76_implied_volatility_takes_rate_before_time():
    F, K, t, sigma = np.array([100.0, 95.0]), np.array([100.0, 105.0]), np.full(2, 0.5), np.array([0.2, 0.35])
    price = kf.black76_black_array("p", F, K, t, 0.03, sigma)
    positional = kf.black76_implied_volatility_array(price, F, K, 0.03, t, "p")
    keywords = kf.black76_implied_volatility_array(t=t, r=0.03, flag="p", price=price, F=F, K=K)
    assert np.allclose(positional, sigma, rtol=0, atol=1e-10)
    assert np.array_equal(bits(positional), bits(keywords))
    swapped = kf.black76_implied_volatility_array(price, F, K, 0.5, np.full(2, 0.03), "p")
    assert not np.allclose(swapped, sigma, rtol=0, atol=1e-6)


# --- argument checks ----------------------------------------------------------

@all_arrays
def test_argument_matching_names_the_array_function(name):
    f, params = getattr(kf, name), parameters(name)
    args, n = [ordinary(name)[p] for p in params], len(params)
    everything = ", ".join(f"'{p}'" for p in params[:-1]) + f", and '{params[-1]}'"
    expect_error(TypeError, f"{name}() takes {n} positional arguments but {n + 1} were given", f, *args, 1.0)
    expect_error(TypeError, f"{name}() got an unexpected keyword argument 'Sigma'", f, Sigma=1.0)
    expect_error(TypeError, f"{name}() got multiple values for argument '{params[1]}'", f, *args[:2],
                 **{params[1]: args[1]})
    expect_error(TypeError, f"{name}() missing {n} required positional arguments: {everything}", f)
    expect_error(TypeError, f"{name}() missing 1 required positional argument: '{params[-1]}'", f, *args[:-1])


class Box:
    class Inner(list):
        pass


@all_arrays
def test_array_arguments_must_be_one_dimensional_native_float64(name):
    args, column = ordinary(name), np.array([1.0, 2.0, 3.0])
    rejected = [([1.0, 2.0, 3.0], "list"), (Box.Inner([1.0]), "Box.Inner"), (2.0, "float"), (None, "NoneType"),
                (column.reshape(3, 1), "ndarray"), (np.array(1.0), "ndarray"),
                (column.astype(column.dtype.newbyteorder()), "ndarray")]
    rejected += [(column.astype(t), "ndarray") for t in (np.float32, np.int64, object, np.complex128, np.longdouble)]
    for p in array_parameters(name):
        for bad, type_name in rejected:
            expect_error(TypeError, MISMATCH.format(p, type_name), call, name, dict(args, **{p: bad}))
    # Conversion runs in parameter order: the first bad array is the one named.
    first, *_, last = array_parameters(name)
    expect_error(TypeError, MISMATCH.format(first, "list"), call, name, dict(args, **{first: [1.0], last: [1.0]}))


def native_float_message(obj):
    """The interpreter's own text for a failed number conversion; math.sqrt
    converts its argument the same way."""
    with pytest.raises(TypeError) as info:
        math.sqrt(obj)
    return str(info.value)


@all_arrays
def test_single_values_convert_as_numbers(name):
    args = ordinary(name)
    reference = bits(call(name, args))
    for p in [p for p in ("r", "q") if p in parameters(name)]:
        for bad in (np.zeros(3), "0.03"):
            expect_error(TypeError, f"argument '{p}': {native_float_message(bad)}", call, name, dict(args, **{p: bad}))
        assert np.array_equal(bits(call(name, dict(args, **{p: np.float64(args[p])}))), reference)
    assert np.array_equal(bits(call(name, dict(args, r=0))), bits(call(name, dict(args, r=0.0))))


@all_arrays
@pytest.mark.parametrize("n", [0, 3])
def test_flag_errors(name, n):
    args = ordinary(name, n)
    expect_error(ValueError, BAD_FLAG, call, name, dict(args, flag="x"))
    expect_error(ValueError, "flag must be 'c' or 'p', got \" call\"", call, name, dict(args, flag=" call"))
    expect_error(ValueError, "flag must be 'c' or 'p'", call, name, dict(args, flag=""))
    for bad, type_name in ((1, "int"), (np.array(["c", "p"]), "ndarray"), (["c"], "list"), (b"c", "bytes")):
        expect_error(TypeError, f"argument 'flag': '{type_name}' object cannot be converted to 'PyString'",
                     call, name, dict(args, flag=bad))


@all_arrays
def test_arrays_must_be_contiguous(name):
    args = ordinary(name)
    reference = bits(call(name, args))
    for p in array_parameters(name):
        wide = np.repeat(args[p], 2)
        for view in (wide[::2], args[p][::-1].copy()[::-1]):
            assert view.strides != (8,) and np.array_equal(view, args[p])
            expect_error(TypeError, NOT_CONTIGUOUS, call, name, dict(args, **{p: view}))
        assert np.array_equal(bits(call(name, dict(args, **{p: wide[::2].copy()}))), reference)
    # One element is contiguous whatever its stride.
    one = {p: v[:1] if isinstance(v, np.ndarray) else v for p, v in args.items()}
    reference = bits(call(name, one))
    for p in array_parameters(name):
        column = np.repeat(one[p], 7)
        for view in (column[::5][:1], column[::-3][:1], column[2:3:4]):
            assert view.strides != (8,)
            assert np.array_equal(bits(call(name, dict(one, **{p: view}))), reference)


@all_arrays
def test_unequal_lengths(name):
    args, text = ordinary(name), LENGTH_TEXTS["F" if name.startswith("black76") else "S", is_iv(name)]
    for p in array_parameters(name):
        for odd in (args[p][:2], np.empty(0), np.ones(4)):
            expect_error(ValueError, text, call, name, dict(args, **{p: odd}))


@all_arrays
def test_error_precedence(name):
    args, params = ordinary(name), parameters(name)
    first, *_, last = array_parameters(name)
    short = dict(args, **{first: args[first][:2]})
    noncontiguous = dict(short, **{last: np.repeat(args[last], 2)[::2]})
    # the flag's value, then contiguity, then lengths
    expect_error(ValueError, BAD_FLAG, call, name, dict(short, flag="x"))
    expect_error(TypeError, NOT_CONTIGUOUS, call, name, noncontiguous)
    expect_error(ValueError, BAD_FLAG, call, name, dict(noncontiguous, flag="x"))
    # every conversion before the flag's value
    expect_error(TypeError, MISMATCH.format(last, "list"), call, name, dict(args, flag="x", **{last: [1.0]}))
    # a non-str flag is converted first in price and Greek functions, last
    # in the implied-volatility functions
    both = dict(args, flag=1, **{first: [1.0]})
    if is_iv(name):
        expect_error(TypeError, MISMATCH.format(first, "list"), call, name, both)
    else:
        expect_error(TypeError, "argument 'flag': 'int' object cannot be converted to 'PyString'", call, name, both)
    # r sits among the arrays: whichever comes first in the signature is named
    for p in array_parameters(name):
        message = (MISMATCH.format(p, "list") if params.index(p) < params.index("r")
                   else f"argument 'r': {native_float_message('x')}")
        expect_error(TypeError, message, call, name, dict(args, r="x", **{p: [1.0]}))


# --- results --------------------------------------------------------------------

class Tagged(np.ndarray):
    pass


@all_arrays
def test_result_is_a_fresh_plain_float64_vector(name):
    args = ordinary(name, 5)
    inputs = {p: v.view(Tagged) if isinstance(v, np.ndarray) else v for p, v in args.items()}
    before = {p: args[p].copy() for p in array_parameters(name)}
    result = call(name, inputs)
    assert type(result) is np.ndarray
    assert result.dtype == np.dtype(np.float64) and result.dtype.isnative
    assert result.shape == (5,) and result.strides == (8,)
    flags = result.flags
    assert flags.writeable and flags.c_contiguous and flags.f_contiguous and flags.aligned and not flags.owndata
    assert type(result.base).__name__ == "PySliceContainer" and not hasattr(kf, "PySliceContainer")
    again = call(name, args)
    assert np.array_equal(bits(result), bits(again))
    result[:] = -7.0
    assert np.array_equal(bits(again), bits(call(name, args)))  # no buffer shared between results
    for p in before:
        assert np.array_equal(bits(before[p]), bits(args[p]))


def test_slice_keeps_the_buffer_alive():
    S = np.linspace(50.0, 150.0, 1000)
    result = kf.bsm_vanna_array("c", S, S[::-1].copy(), np.full(1000, 0.7), 0.02, np.full(1000, 0.3), 0.01)
    expected, part = bits(result)[100:900].copy(), result[100:900]
    del result
    gc.collect()
    churn = [np.full(1000, 1.0) * i for i in range(50)]  # would reuse the buffer, had it been freed
    assert np.array_equal(bits(part), expected)
    del churn


@all_arrays
def test_read_only_shared_and_empty_inputs(name):
    args = ordinary(name)
    frozen = {p: np.frombuffer(v.tobytes()) if isinstance(v, np.ndarray) else v for p, v in args.items()}
    assert not any(frozen[p].flags.writeable for p in array_parameters(name))
    assert np.array_equal(bits(call(name, frozen)), bits(call(name, args)))
    # One object for every array parameter.
    column = args[array_parameters(name)[0]]
    shared = dict(args, **{p: column for p in array_parameters(name)})
    separate = dict(args, **{p: column.copy() for p in array_parameters(name)})
    assert np.array_equal(bits(call(name, shared)), bits(call(name, separate)))
    empty = call(name, ordinary(name, 0))
    assert type(empty) is np.ndarray and empty.shape == (0,) and empty.dtype == np.float64
    assert type(empty.base).__name__ == "PySliceContainer"


def unaligned(column):
    view = np.frombuffer(b"\0" + column.tobytes(), offset=1)
    assert not view.flags.aligned
    return view


@all_arrays
def test_unaligned_inputs_read_like_aligned_ones(name):
    rng = rng_for(name)
    args = dict({p: mixed(rng, p, 64) for p in array_parameters(name)}, flag="p", r=0.02, q=0.01)
    reference = bits(call(name, args))
    moved = {p: unaligned(args[p]) for p in array_parameters(name)}
    assert np.array_equal(bits(call(name, dict(args, **moved))), reference)
    for p in moved:
        assert np.array_equal(bits(call(name, dict(args, **{p: moved[p]}))), reference)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_repeated_calls_do_not_grow_memory():
    n = 10_000
    S, K, t, sigma = np.linspace(80, 120, n), np.full(n, 100.0), np.full(n, 0.5), np.full(n, 0.25)

    def burst(count):
        for _ in range(count):
            kf.bs_gamma_array("c", S, K, t, 0.01, sigma)
            with pytest.raises(ValueError):
                kf.bs_gamma_array("c", S, K[:-1], t, 0.01, sigma)

    burst(200)
    before = resident_bytes()
    burst(1500)
    # A leaked result would be 80 kB a call, 120 MB in all.
    assert resident_bytes() - before < 40 * 2**20


def test_exhausted_memory_raises_memory_error():
    # Address space capped in a child process so that the inputs fit but a
    # result of the same size cannot be allocated.
    output = run_python("""
import os, resource, numpy as np, _kestrelfin as kf
column = np.full(12_500_000, 100.0)
small = kf.bs_delta_array("c", column[:3], column[:3], column[:3] / 100, 0.0, column[:3] / 400)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
resource.setrlimit(resource.RLIMIT_AS, (used + 64 * 2**20, resource.RLIM_INFINITY))
try:
    kf.bs_delta_array("c", column, column, column, 0.0, column)
except MemoryError:
    print("MemoryError")
again = kf.bs_delta_array("c", column[:3], column[:3], column[:3] / 100, 0.0, column[:3] / 400)
print((again == small).all())
""")
    assert output.split() == ["MemoryError", "True"]
