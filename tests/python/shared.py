"""What the Python tests and the fuzzers share, with no dependency on pytest:
the texts the module must reproduce exactly, raw bit patterns, and the
parameters of each function as the module shows them.

Not a test module: pytest does not collect it.
"""

import inspect
import struct

import numpy as np

import _kestrelfin as kf

QNAN_BITS = 0x7FF8000000000000
FLAG_TEXT = "flag must be 'c' or 'p'"
MISMATCH = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"
NOT_CONTIGUOUS = "The given array is not contiguous"
IV_ERRORS = {(ValueError, "price is below intrinsic value"), (ValueError, "price exceeds theoretical maximum"),
             (RuntimeError, "IV solver failed to converge")}
SINGLE_VALUES = ("flag", "r", "q")  # never arrays, also in the array functions


def bits(values):
    """The raw 64-bit patterns: an int for a float, a uint64 array for an
    array (or anything NumPy turns into one)."""
    if isinstance(values, float):
        return struct.unpack("<Q", struct.pack("<d", values))[0]
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)


def parameters(name):
    """The parameter names, as the interpreter reads them from the function's
    text signature (inspect, the one parser of signatures the tests,
    benchmarks and scripts use)."""
    return list(inspect.signature(getattr(kf, name)).parameters)


def is_array_function(name):
    return name.endswith("_array")


def is_iv(name):
    return "_implied_volatility" in name


def array_parameters(name):
    """The per-option parameters of an array function (none for a scalar one)."""
    if not is_array_function(name):
        return []
    return [p for p in parameters(name) if p not in SINGLE_VALUES]
