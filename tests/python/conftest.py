"""Shared helpers of the Python suite: the scalar functions as the module
registers them, ordinary argument values, and an exact-exception check."""

import subprocess
import sys

import pytest

import _kestrelfin as kf
from shared import parameters

# The scalar functions, taken from the module's own registry. Whether that
# registry is complete and in order is checked against the naming rule in
# test_module.py; the tests here only need to reach every function.
SCALAR_NAMES = [n for n in kf.__all__ if n != "__version__" and not n.endswith("_array")]
IV_NAMES = [n for n in SCALAR_NAMES if n.endswith("_implied_volatility")]
GREEK_NAMES = [n for n in SCALAR_NAMES if n not in IV_NAMES]

# One ordinary value per parameter name, all distinct so that an argument
# bound to the wrong parameter changes the result. The price is inside the
# no-arbitrage bounds of a call for all three models.
VALUES = {"flag": "c", "S": 101.0, "F": 101.0, "K": 95.0, "t": 0.5, "r": 0.03,
          "sigma": 0.25, "q": 0.01, "price": 10.0}


def numeric_parameters(name):
    return [p for p in parameters(name) if p != "flag"]


def ordinary_arguments(name, **overrides):
    """The ordinary values in signature order, with some replaced."""
    return [overrides.get(p, VALUES[p]) for p in parameters(name)]


def call(name, **overrides):
    return getattr(kf, name)(*ordinary_arguments(name, **overrides))


class RaisingFloat:
    """A number argument whose conversion raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


def expect_error(exc_type, message, function, *args, **kwargs):
    """Calls and checks the exception's exact class and that its message is
    its only argument. Returns the exception for further checks."""
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    error = info.value
    assert type(error) is exc_type, f"{type(error).__name__}: {error}"
    assert error.args == (message,)
    return error


def run_python(code):
    """Runs code in a fresh interpreter of the same installation, so that a
    crash or a process-wide side effect cannot reach the test session."""
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=60)
    assert completed.returncode == 0, completed.stderr
    return completed.stdout
