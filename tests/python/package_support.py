"""Helpers of the kestrelfin package tests: the public functions paired with
their _kestrelfin scalar counterparts by the naming rule, inputs that reach
the formulas' corners, and the reference of one element.

The reference of every element is the _kestrelfin scalar function called on
that element's float64 inputs; results are compared as raw bits, NaN
payloads and signed zeros included.

Not a test module: pytest does not collect it.
"""

import math
import struct

import numpy as np

import _kestrelfin as kf
from kestrelfin import _ufuncs, black76, bs, bsm
from shared import IV_ERRORS, QNAN_BITS, bits
from shared import parameters as low_level_parameters

array_bits = bits

MODELS = {"bs": bs, "bsm": bsm, "black76": black76}
# The _kestrelfin function of each public one, from the function table.
LOW_LEVEL_NAMES = {(model, quantity): name for model, quantity, name, _, _ in _ufuncs.FUNCTIONS}
SOLVER_FAILURES = {text for _, text in IV_ERRORS}


def kestrelfin_name(model, quantity):
    return LOW_LEVEL_NAMES[model, quantity]


# Every public function but greeks, as (model, quantity) pairs.
FUNCTIONS = [(model, quantity) for model, module in MODELS.items()
             for quantity in module.__all__ if quantity != "greeks"]
FUNCTION_IDS = [f"{model}.{quantity}" for model, quantity in FUNCTIONS]


def public(model, quantity):
    return getattr(MODELS[model], quantity)


def scalar(model, quantity):
    return getattr(kf, kestrelfin_name(model, quantity))


def parameters(model, quantity):
    return low_level_parameters(kestrelfin_name(model, quantity))


def numbers(model, quantity):
    return [p for p in parameters(model, quantity) if p != "flag"]


def reference(model, quantity, arguments):
    """The _kestrelfin scalar result for one option (a dict parameter ->
    value, numbers as floats): a float, NaN where the solver fails."""
    try:
        return scalar(model, quantity)(**arguments)
    except (ValueError, RuntimeError) as error:
        if quantity == "implied_volatility" and error.args[0] in SOLVER_FAILURES:
            return math.nan
        raise


def reference_array(model, quantity, arguments, shape):
    """The reference of every element of a broadcast call: `arguments` maps
    each parameter to a scalar or an array broadcastable to `shape` (the
    flag to str elements or booleans)."""
    expected = np.empty(shape, dtype=np.float64)
    broadcast = {p: np.broadcast_to(np.asarray(v), shape) for p, v in arguments.items()}
    for index in np.ndindex(*shape):
        element = {}
        for p, values in broadcast.items():
            value = values[index]
            if p == "flag":
                element[p] = ("c" if value else "p") if isinstance(value, (bool, np.bool_)) else str(value)
            else:
                element[p] = float(value)
        expected[index] = reference(model, quantity, element)
    return expected


# Ordinary values of each parameter, and the price of an option worth
# inverting for each model (inside the no-arbitrage bounds of both kinds).
ORDINARY = {"S": 101.0, "F": 101.0, "K": 95.0, "t": 0.5, "r": 0.03, "sigma": 0.25, "q": 0.01, "price": 10.0}


def corner_values(parameter, rng, n):
    """n values of the parameter: ordinary ones, then the corners where the
    formulas give zeros, infinities and NaNs (with payloads of their own)."""
    ordinary = {
        "S": rng.uniform(50.0, 150.0, n), "F": rng.uniform(50.0, 150.0, n), "K": rng.uniform(50.0, 150.0, n),
        "t": rng.uniform(0.01, 3.0, n), "r": rng.uniform(-0.02, 0.1, n), "sigma": rng.uniform(0.05, 1.0, n),
        "q": rng.uniform(0.0, 0.05, n), "price": rng.uniform(0.01, 40.0, n),
    }[parameter]
    payload_nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000ABC))[0]
    negative_nan = struct.unpack("<d", struct.pack("<Q", 0xFFF8000000000123))[0]
    corners = np.array([0.0, -0.0, math.inf, -math.inf, math.nan, payload_nan, negative_nan, 1e-300, -1.0, 1e300])
    values = ordinary.copy()
    values[: len(corners)] = corners
    return values
