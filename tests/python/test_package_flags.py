"""Flags as users hold them: one str with _kestrelfin's rule and its very
errors, one flag per option in every container, booleans, and a bad element
named by its position and value."""

import numpy as np
import pytest

import _kestrelfin as kf
from kestrelfin import bs, bsm

ARGUMENTS = dict(S=100.0, K=95.0, t=0.5, r=0.03, sigma=0.25, q=0.01)
CALL = kf.bsm_delta("c", **ARGUMENTS)
PUT = kf.bsm_delta("p", **ARGUMENTS)
SPELLINGS = ["c", "C", "call", "Call", "CALL", "cx", "p", "P", "put", "Put", "PUT", "p!"]
KINDS = np.array([CALL if s[0] in "cC" else PUT for s in SPELLINGS])


def deltas(flag):
    return np.asarray(bsm.delta(flag, **ARGUMENTS), dtype=np.float64)


def expect_error(cls, text, function, *args):
    with pytest.raises(cls) as info:
        function(*args)
    assert type(info.value) is cls and info.value.args == (text,)


def kestrelfin_error(flag):
    """The error _kestrelfin raises for a flag."""
    with pytest.raises(BaseException) as info:
        kf.bsm_delta(flag, **ARGUMENTS)
    return type(info.value), info.value.args


@pytest.mark.parametrize("make", [
    list, tuple, np.array, lambda s: np.array(s, dtype=object), lambda s: np.array([x.encode() for x in s]),
    lambda s: np.array([x.encode() for x in s], dtype=object), lambda s: np.array(s, dtype="U8")[::-1][::-1],
], ids=["list", "tuple", "str-array", "object-array", "bytes-array", "bytes-objects", "reversed-view"])
def test_one_flag_per_option_by_its_first_character(make):
    assert np.array_equal(deltas(make(SPELLINGS)), KINDS)


def test_flags_of_two_dimensions_and_booleans():
    grid = np.array(SPELLINGS).reshape(3, 4)
    assert np.array_equal(deltas(grid), KINDS.reshape(3, 4))
    assert np.array_equal(deltas(np.asfortranarray(grid)), KINDS.reshape(3, 4))
    is_call = np.array([s[0] in "cC" for s in SPELLINGS])
    assert np.array_equal(deltas(is_call), KINDS)
    assert np.array_equal(deltas(list(is_call)), KINDS)


@pytest.mark.parametrize("flag", SPELLINGS)
def test_one_str_for_every_option(flag):
    result = bsm.delta(flag, **{**ARGUMENTS, "K": np.array([95.0, 95.0])})
    assert np.array_equal(result, [KINDS[SPELLINGS.index(flag)]] * 2)


@pytest.mark.parametrize("flag", ["", "x", " c", "ç", "a\"b\\c\n", "\u0301c", "k"])
@pytest.mark.parametrize("numbers", ["scalars", "arrays"])
def test_one_bad_str_raises_kestrelfins_own_error(flag, numbers):
    cls, args = kestrelfin_error(flag)
    assert cls is ValueError
    arguments = ARGUMENTS if numbers == "scalars" else {**ARGUMENTS, "S": np.array([100.0])}
    with pytest.raises(ValueError) as info:
        bsm.delta(flag, **arguments)
    assert type(info.value) is ValueError and info.value.args == args
    with pytest.raises(ValueError) as info:
        bs.implied_volatility(10.0, 100.0, 95.0, 0.5, 0.03, flag)
    assert info.value.args == args


@pytest.mark.parametrize("flags, text", [
    (["c", "x"], "flag[1] must start with 'c' or 'p' (call or put), got 'x'"),
    (["c", "p", ""], "flag[2] must start with 'c' or 'p' (call or put), got ''"),
    (["c", " p"], "flag[1] must start with 'c' or 'p' (call or put), got ' p'"),
    (["ç", "x"], "flag[0] must start with 'c' or 'p' (call or put), got 'ç'"),
    (np.array([["c", "p"], ["put", "z"]]), "flag[1, 1] must start with 'c' or 'p' (call or put), got 'z'"),
    (np.array(["c", None, 3], dtype=object), "flag[1] must start with 'c' or 'p' (call or put), got None"),
    (np.array(["c", "p", 3], dtype=object), "flag[2] must start with 'c' or 'p' (call or put), got 3"),
    (np.array([b"c", b"q"]), "flag[1] must start with 'c' or 'p' (call or put), got b'q'"),
    (np.array([["c"], ["x"]], dtype=object), "flag[1, 0] must start with 'c' or 'p' (call or put), got 'x'"),
], ids=["list", "empty", "blank", "accent", "2d", "none", "int", "bytes", "2d-objects"])
def test_a_bad_flag_among_many_is_named_by_position_and_value(flags, text):
    expect_error(ValueError, text, bsm.delta, flags, *ARGUMENTS.values())


@pytest.mark.parametrize("flag, text", [
    (3, "int 3"), (None, "NoneType None"), (b"c", "bytes b'c'"), (np.array([1, 0]), "ndarray of dtype int64"),
    ([1.0, 2.0], "list of dtype float64"),
])
def test_a_flag_of_another_type_says_what_is_expected(flag, text):
    expected = ("flag must be 'c' or 'p', an array-like of such texts, or a boolean array (True for a call), "
                f"got {text}")
    expect_error(TypeError, expected, bsm.delta, flag, *ARGUMENTS.values())


def test_pandas_flags_plain_and_categorical():
    pd = pytest.importorskip("pandas")
    index = pd.Index([f"o{i}" for i in range(len(SPELLINGS))])
    for series in (pd.Series(SPELLINGS, index=index), pd.Series(SPELLINGS, index=index, dtype="category"),
                   pd.Series(SPELLINGS, index=index, dtype="string")):
        result = bsm.delta(series, **ARGUMENTS)
        assert isinstance(result, pd.Series) and result.index.equals(index)
        assert np.array_equal(result.to_numpy(), KINDS)
    # An unused category that is no flag does no harm; a used one, or a
    # missing value, is named by its position.
    categorical = pd.Series(pd.Categorical(["c", "p", "c"], categories=["c", "p", "x"]))
    assert np.array_equal(bsm.delta(categorical, **ARGUMENTS).to_numpy(), [CALL, PUT, CALL])
    expect_error(ValueError, "flag[1] must start with 'c' or 'p' (call or put), got 'x'", bsm.delta,
                 pd.Series(["c", "x"], dtype="category"), *ARGUMENTS.values())
    expect_error(ValueError, "flag[2] must start with 'c' or 'p' (call or put), got nan", bsm.delta,
                 pd.Series(["c", "p", np.nan], dtype="category"), *ARGUMENTS.values())


def test_polars_flags():
    pl = pytest.importorskip("polars")
    assert np.array_equal(deltas(pl.Series("type", SPELLINGS)), KINDS)
    assert np.array_equal(deltas(pl.Series("is_call", [s[0] in "cC" for s in SPELLINGS])), KINDS)
    expect_error(ValueError, "flag[1] must start with 'c' or 'p' (call or put), got None", bsm.delta,
                 pl.Series(["c", None]), *ARGUMENTS.values())
