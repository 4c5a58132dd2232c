"""Every element of every kestrelfin function is the _kestrelfin scalar
function's result for the same float64 inputs, bit for bit: over the whole
function table, both kinds and mixed kinds, the formulas' corners (zeros,
infinities, NaNs with payloads of their own), broadcast shapes, other
dtypes, strided and unaligned views, ``out=`` and ``where=``, and greeks()
against the sixteen separate functions."""

import functools
import math

import numpy as np
import pytest

import _kestrelfin as kf
import package_support
from package_support import (FUNCTION_IDS, FUNCTIONS, MODELS, ORDINARY, QNAN_BITS, array_bits, bits,
                             corner_values, kestrelfin_name, numbers, parameters, reference, reference_array,
                             scalar)

N = 64


def public(model, quantity):
    """The public function; the implied volatility with method="newton",
    the solver that is _kestrelfin's to the last bit (the default,
    "rational", is checked in test_rational_iv.py)."""
    function = package_support.public(model, quantity)
    return functools.partial(function, method="newton") if quantity == "implied_volatility" else function


def corner_arguments(model, quantity, seed=0):
    """Per-option arrays of every number, each parameter's corners at other
    positions, and mixed flags in every spelling the rule allows."""
    rng = np.random.default_rng(seed)
    arguments = {}
    for shift, parameter in enumerate(numbers(model, quantity)):
        arguments[parameter] = np.roll(corner_values(parameter, rng, N), 11 * shift)
    arguments["flag"] = np.array(["c", "P", "call", "put", "C", "p", "Call", "PUT"] * (N // 8))
    return arguments


def call(model, quantity, arguments, **keywords):
    return public(model, quantity)(*[arguments[p] for p in parameters(model, quantity)], **keywords)


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=FUNCTION_IDS)
def test_every_element_equals_the_scalar_function_bit_for_bit(model, quantity):
    arguments = corner_arguments(model, quantity)
    result = call(model, quantity, arguments)
    assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == (N,)
    expected = reference_array(model, quantity, arguments, (N,))
    mismatches = np.flatnonzero(array_bits(result) != array_bits(expected))
    assert mismatches.size == 0, [(int(i), result[i], expected[i]) for i in mismatches[:5]]


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=FUNCTION_IDS)
@pytest.mark.parametrize("flag", ["c", "P", "put"])
def test_a_scalar_call_returns_the_scalar_functions_float(model, quantity, flag):
    # Python ints and NumPy float64 scalars take the same path as floats.
    values = {p: (np.float64(v) if p == "K" else v) for p, v in ORDINARY.items()}
    values["t"] = 1
    arguments = {p: (flag if p == "flag" else values[p]) for p in parameters(model, quantity)}
    result = public(model, quantity)(**arguments)
    expected = reference(model, quantity, arguments)
    assert type(result) is float
    assert bits(result) == bits(expected)


@pytest.mark.parametrize("model", MODELS)
def test_an_impossible_price_has_the_implied_volatility_nan_also_for_one_option(model):
    arguments = {p: ORDINARY[p] for p in numbers(model, "implied_volatility")}
    arguments.update(price=0.0, flag="c")  # below the intrinsic value of an in-the-money call
    with pytest.raises(ValueError, match="^price is below intrinsic value$"):
        scalar(model, "implied_volatility")(**arguments)
    assert bits(public(model, "implied_volatility")(**arguments)) == QNAN_BITS
    arguments["price"] = 1e6  # above the theoretical maximum
    assert bits(public(model, "implied_volatility")(**arguments)) == QNAN_BITS
    assert bits(public(model, "implied_volatility")(**{**arguments, "price": [1e6]})[0]) == QNAN_BITS


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=FUNCTION_IDS)
def test_a_strike_vector_against_an_expiry_column_gives_the_grid(model, quantity):
    arguments = {p: ORDINARY[p] for p in numbers(model, quantity)}
    arguments["K"] = np.array([80.0, 95.0, 100.0, 120.0])
    arguments["t"] = np.array([[0.1], [0.5], [2.0]])
    arguments["flag"] = np.array(["c", "p", "c", "p"])
    result = call(model, quantity, arguments)
    assert result.shape == (3, 4)
    expected = reference_array(model, quantity, arguments, (3, 4))
    assert np.array_equal(array_bits(result), array_bits(expected))


@pytest.mark.parametrize("model, quantity", [f for f in FUNCTIONS if f[1] != "implied_volatility"],
                         ids=[i for i in FUNCTION_IDS if not i.endswith("implied_volatility")])
def test_rates_and_yields_per_option(model, quantity):
    arguments = corner_arguments(model, quantity, seed=3)
    arguments["r"] = np.linspace(-0.01, 0.08, N)
    if "q" in arguments:
        arguments["q"] = np.linspace(0.0, 0.04, N)[::-1].copy()
    expected = reference_array(model, quantity, arguments, (N,))
    assert np.array_equal(array_bits(call(model, quantity, arguments)), array_bits(expected))


@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.uint8, np.float32, np.float16, bool])
@pytest.mark.parametrize("model", MODELS)
def test_any_real_dtype_is_cast_to_float64(model, dtype):
    quantity = "vega"  # depends on every number
    arguments = {p: np.full(6, ORDINARY[p]) for p in numbers(model, quantity)}
    converted = np.array([1, 2, 3, 90, 110, 200]).astype(dtype)
    for parameter in ("K", "t"):
        arguments[parameter] = converted
        arguments["flag"] = "c"
        result = call(model, quantity, arguments)
        expected = reference_array(model, quantity, {**arguments, parameter: converted.astype(np.float64)}, (6,))
        assert np.array_equal(array_bits(result), array_bits(expected)), (parameter, dtype)
        arguments[parameter] = np.full(6, ORDINARY[parameter])


@pytest.mark.parametrize("model", MODELS)
def test_strided_reversed_fortran_and_unaligned_inputs(model):
    quantity = "delta"
    base = corner_arguments(model, quantity, seed=5)
    # Every second element, a reversed view, and float64 at an odd byte offset.
    views = {}
    for i, parameter in enumerate(numbers(model, quantity)):
        values = base[parameter]
        if i % 3 == 0:
            views[parameter] = np.repeat(values, 2)[::2]
        elif i % 3 == 1:
            views[parameter] = values[::-1].copy()[::-1]
        else:
            raw = np.zeros(N * 8 + 1, dtype=np.uint8)
            raw[1:] = values.view(np.uint8)
            views[parameter] = np.frombuffer(raw.data, dtype=np.float64, count=N, offset=1)
    first, second, third = (views[p] for p in numbers(model, quantity)[:3])
    assert not first.flags.c_contiguous and second.strides[0] < 0 and not third.flags.aligned
    views["flag"] = base["flag"]
    expected = reference_array(model, quantity, base, (N,))
    assert np.array_equal(array_bits(call(model, quantity, views)), array_bits(expected))

    # A two-dimensional grid in Fortran order.
    grid = {p: np.asfortranarray(base[p].reshape(8, 8)) for p in numbers(model, quantity)}
    grid["flag"] = base["flag"].reshape(8, 8)
    result = call(model, quantity, grid)
    expected = reference_array(model, quantity, grid, (8, 8))
    assert np.array_equal(array_bits(result), array_bits(expected))


@pytest.mark.parametrize("model", MODELS)
def test_out_and_where(model):
    quantity = "theta"
    arguments = corner_arguments(model, quantity, seed=7)
    expected = reference_array(model, quantity, arguments, (N,))
    out = np.full(N, -7.0)
    returned = call(model, quantity, arguments, out=out)
    assert returned is out
    assert np.array_equal(array_bits(out), array_bits(expected))

    mask = np.arange(N) % 3 == 0
    out = np.full(N, -7.0)
    call(model, quantity, arguments, out=out, where=mask)
    assert np.array_equal(array_bits(out[mask]), array_bits(expected[mask]))
    assert np.all(out[~mask] == -7.0)


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=FUNCTION_IDS)
def test_in_place_over_an_input_gives_the_same_elements(model, quantity):
    """out= one of the inputs: NumPy then hands the loop the same memory to
    read and to write, and every element, NaN ones included, must still be
    computed from the inputs as they were."""
    arguments = corner_arguments(model, quantity, seed=3)
    expected = reference_array(model, quantity, arguments, (N,))
    for parameter in numbers(model, quantity):
        overwritten = {p: (v.copy() if isinstance(v, np.ndarray) else v) for p, v in arguments.items()}
        target = overwritten[parameter]
        result = call(model, quantity, overwritten, out=target)
        assert result is target
        mismatches = np.flatnonzero(array_bits(result) != array_bits(expected))
        assert mismatches.size == 0, (parameter, [(int(i), result[i], expected[i]) for i in mismatches[:5]])


@pytest.mark.parametrize("flag, expected", [(True, "c"), (False, "p"), (np.bool_(True), "c")])
def test_a_boolean_flag_is_is_call(flag, expected):
    arguments = dict(S=100.0, K=95.0, t=0.5, r=0.03, sigma=0.25, q=0.01)
    assert bits(MODELS["bsm"].delta(flag, **arguments)) == bits(scalar("bsm", "delta")(expected, **arguments))


GREEK_KEYS = ["price", "delta", "gamma", "vega", "theta", "rho", "vanna", "charm", "vomma", "speed", "zomma",
              "color", "veta", "ultima", "dual_delta", "dual_gamma"]


@pytest.mark.parametrize("model", MODELS)
def test_greeks_are_the_separate_functions_bit_for_bit_nan_payloads_included(model):
    arguments = corner_arguments(model, "price", seed=11)
    flag_first = [arguments[p] for p in parameters(model, "price")]
    result = MODELS[model].greeks(*flag_first)
    assert list(result) == GREEK_KEYS
    for key in GREEK_KEYS:
        separate = public(model, key)(*flag_first)
        assert np.array_equal(array_bits(result[key]), array_bits(separate)), key
    # ... and the separate functions are _kestrelfin's (tested above), here
    # checked once more for the payload-carrying NaNs this input has.
    assert np.isnan(result["price"]).any()
    expected = reference_array(model, "vanna", arguments, (N,))
    assert np.array_equal(array_bits(result["vanna"]), array_bits(expected))


@pytest.mark.parametrize("model", MODELS)
def test_greeks_of_one_option_and_into_out(model):
    values = [("c" if p == "flag" else ORDINARY[p]) for p in parameters(model, "price")]
    result = MODELS[model].greeks(*values)
    for key in GREEK_KEYS:
        name = kestrelfin_name(model, key)
        assert bits(result[key]) == bits(getattr(kf, name)(*values)), key
    out = tuple(np.empty(3) for _ in GREEK_KEYS)
    returned = MODELS[model].greeks(*values[:1], *([np.full(3, v) for v in values[1:]]), out=out)
    for key, array in zip(GREEK_KEYS, out):
        assert returned[key] is array
        assert np.all(array_bits(array) == bits(result[key]))


def test_black_scholes_is_black_scholes_merton_with_no_dividend_yield():
    arguments = corner_arguments("bs", "gamma", seed=13)
    merton = MODELS["bsm"].gamma(arguments["flag"], arguments["S"], arguments["K"], arguments["t"],
                                 arguments["r"], arguments["sigma"], 0.0)
    assert np.array_equal(array_bits(MODELS["bs"].gamma(**arguments)), array_bits(merton))
    assert math.isnan(MODELS["bs"].gamma("c", math.nan, 1.0, 1.0, 0.0, 1.0))


@pytest.mark.parametrize("model", MODELS)
def test_longdouble_is_cast_to_float64_as_arrays_scalars_and_lists(model):
    quantity = "vega"
    arguments = {p: np.full(6, ORDINARY[p]) for p in numbers(model, quantity)}
    arguments["flag"] = "c"
    wide = np.array([1, 2, 3, 90, 110, 200], dtype=np.longdouble) / 3  # not float64 values
    narrowed = wide.astype(np.float64)
    expected = reference_array(model, quantity, {**arguments, "K": narrowed}, (6,))
    for given in (wide, list(wide), wide[::-1][::-1]):
        assert np.array_equal(array_bits(call(model, quantity, {**arguments, "K": given})), array_bits(expected))
    one = {p: ORDINARY[p] for p in numbers(model, quantity)}
    result = call(model, quantity, {**one, "flag": "p", "K": wide[4]})
    assert bits(result) == bits(reference(model, quantity, {**one, "flag": "p", "K": float(narrowed[4])}))
    out = np.empty(6)
    assert call(model, quantity, {**arguments, "t": wide}, out=out) is out
    # Complex numbers stay an error, whatever their width.
    for complex_values in (np.ones(6, dtype=np.clongdouble), np.ones(6, dtype=np.complex64)):
        with pytest.raises(TypeError) as info:
            call(model, quantity, {**arguments, "K": complex_values})
        assert info.value.args == (f"kestrelfin.{model}.{quantity}: K expects real numbers (a number or an "
                                   f"array-like of numbers), got a {complex_values.dtype} array",)


class LyingFloat(float):
    def __float__(self):
        return 1.0


class LyingInt(int):
    def __float__(self):
        return 1.0

    def __index__(self):
        return 2

    def __int__(self):
        return 2


@pytest.mark.parametrize("cls, lie", [(LyingFloat, 1.0), (LyingInt, 2.0)])
def test_number_subclasses_are_read_as_numpy_reads_them_alone_and_in_arrays(cls, lie):
    # One reading, NumPy's conversion, for one option and for many: the
    # scalar path takes exact floats and ints only.
    arguments = {p: ORDINARY[p] for p in numbers("bs", "price")}
    alone = public("bs", "price")("c", **{**arguments, "S": cls(100)})
    in_a_list = public("bs", "price")("c", **{**arguments, "S": [cls(100)]})
    assert bits(float(alone)) == bits(float(in_a_list[0])) == bits(reference("bs", "price", {
        **arguments, "flag": "c", "S": float(np.asarray([cls(100)])[0])}))
    assert float(np.asarray([cls(100)])[0]) == lie
