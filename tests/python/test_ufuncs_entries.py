"""What kestrelfin._ufuncs offers the package besides its ufuncs, against
_kestrelfin itself: the one-option implied volatility that gives NaN and a
reason code where _kestrelfin raises, and the error of a flag that is no
flag, each with _kestrelfin's texts."""

import math

import numpy as np
import pytest

import _kestrelfin as kf
from kestrelfin import _ufuncs
from shared import IV_ERRORS, bits, parameters

SOLVERS = [name for _, _, name, _, _ in _ufuncs.FUNCTIONS if hasattr(_ufuncs, f"{name}_or_nan")]


def test_every_implied_volatility_has_its_entries_and_nothing_else_does():
    implied = sorted(name for _, quantity, name, _, _ in _ufuncs.FUNCTIONS if quantity == "implied_volatility")
    assert sorted(SOLVERS) == implied == ["black76_implied_volatility", "bs_implied_volatility",
                                          "bsm_implied_volatility"]
    assert all(hasattr(_ufuncs, f"{name}_outcome") for name in SOLVERS)


def test_solver_outcomes_are_the_texts_kestrelfin_raises():
    assert _ufuncs.SOLVER_OUTCOMES[0] == ""
    assert {text for _, text in IV_ERRORS} == set(_ufuncs.SOLVER_OUTCOMES[1:])
    assert len(_ufuncs.SOLVER_OUTCOMES) == 4


def _options(name, rng, n=400):
    """Argument rows of the function: prices from a tenth of intrinsic to
    beyond the maximum, and corner values, both kinds."""
    values = {"S": rng.uniform(50, 150, n), "F": rng.uniform(50, 150, n), "K": rng.uniform(50, 150, n),
              "t": rng.uniform(0.01, 3, n), "r": rng.uniform(-0.02, 0.1, n), "q": rng.uniform(0, 0.05, n),
              "price": rng.uniform(-1, 160, n)}
    corners = [0.0, -0.0, math.inf, math.nan, 1e-300, 1e300]
    values["price"][:len(corners)] = corners
    values["t"][len(corners):2 * len(corners)] = corners
    rows = []
    for i in range(n):
        flag = "c" if i % 2 else "Put"
        rows.append([flag if p == "flag" else float(values[p][i]) for p in parameters(name)])
    return rows


@pytest.mark.parametrize("name", SOLVERS)
def test_or_nan_and_outcome_are_kestrelfins_result_or_its_failure(name):
    or_nan = getattr(_ufuncs, f"{name}_or_nan")
    outcome = getattr(_ufuncs, f"{name}_outcome")
    seen = set()
    for row in _options(name, np.random.default_rng(17)):
        value, code = outcome(*row)
        assert bits(or_nan(*row)) == bits(value)
        try:
            expected = getattr(kf, name)(*row)
        except (ValueError, RuntimeError) as error:
            assert (type(error), error.args[0]) in IV_ERRORS
            assert math.isnan(value) and _ufuncs.SOLVER_OUTCOMES[code] == error.args[0]
            seen.add(code)
        else:
            assert code == 0 and bits(value) == bits(expected)
            seen.add(0)
    # Found, below intrinsic and above the maximum all occur on these rows.
    assert {0, 1, 2} <= seen


FLAGS = ["", "x", "X", "d", " c", "42", 'qu"ote', "back\\slash", "new\nline\ttab\r\0", "é", "日本", "e\u0301",
         "\u200b", "z" * 40, "👍"]


@pytest.mark.parametrize("flag", FLAGS, ids=[repr(f) for f in FLAGS])
def test_flag_error_is_kestrelfins_error(flag):
    with pytest.raises(ValueError) as raised:
        kf.bs_vega(flag, 1.0, 1.0, 1.0, 0.0, 1.0)
    error = _ufuncs.flag_error(flag)
    assert type(error) is ValueError and error.args == raised.value.args
    # The one-option implied volatility raises the same.
    with pytest.raises(ValueError) as from_entry:
        _ufuncs.bs_implied_volatility_or_nan(10.0, 100.0, 100.0, 1.0, 0.05, flag)
    assert type(from_entry.value) is ValueError and from_entry.value.args == raised.value.args


def test_flag_without_utf8_gives_kestrelfins_unicode_error():
    with pytest.raises(UnicodeEncodeError) as raised:
        kf.bs_vega("c\ud800", 1.0, 1.0, 1.0, 0.0, 1.0)
    error = _ufuncs.flag_error("c\ud800")
    assert type(error) is UnicodeEncodeError and str(error) == str(raised.value)


def test_entry_reads_the_numbers_before_the_flag_as_kestrelfin_does():
    row = (10**400, 100.0, 100.0, 1.0, 0.05, "x")
    with pytest.raises(OverflowError) as low:
        kf.bs_implied_volatility(*row)
    with pytest.raises(OverflowError) as entry:
        _ufuncs.bs_implied_volatility_or_nan(*row)
    assert low.value.args == entry.value.args
    assert _ufuncs.bs_implied_volatility_or_nan(10, 100, 100, 1, 0, "c") == kf.bs_implied_volatility(
        10, 100, 100, 1, 0, "c")


def test_entry_takes_exactly_the_parameters():
    with pytest.raises(TypeError):
        _ufuncs.bs_implied_volatility_or_nan(10.0, 100.0, 100.0, 1.0, "c")
    with pytest.raises(TypeError):
        _ufuncs.bs_implied_volatility_or_nan(10.0, 100.0, 100.0, 1.0, 0.05, 1)
