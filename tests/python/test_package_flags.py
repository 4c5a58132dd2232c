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
    # A null flag is a null result, not an error; a text that is no flag is
    # still named by its position, nulls counted.
    assert bsm.delta(pl.Series(["c", None]), **ARGUMENTS).to_list() == [CALL, None]
    expect_error(ValueError, "flag[2] must start with 'c' or 'p' (call or put), got 'x'", bsm.delta,
                 pl.Series(["c", None, "x"]), *ARGUMENTS.values())


@pytest.mark.parametrize("order", ["<", ">"])
def test_texts_in_either_byte_order(order):
    flags = np.array(SPELLINGS).astype(f"{order}U8")
    assert np.array_equal(deltas(flags), KINDS)
    # A field of a record array, big- or little-endian, strided in its records.
    records = np.rec.fromarrays([flags, np.arange(len(SPELLINGS), dtype=f"{order}f8")], names="kind,size")
    assert records["kind"].strides[0] > records["kind"].itemsize
    assert np.array_equal(deltas(records["kind"]), KINDS)
    expect_error(ValueError, "flag[1] must start with 'c' or 'p' (call or put), got 'x'", bsm.delta,
                 np.array(["c", "x"]).astype(f"{order}U1"), *ARGUMENTS.values())


def test_a_missing_value_in_a_boolean_column_is_named_at_its_position():
    pd = pytest.importorskip("pandas")
    for dtype in ["boolean"] + (["bool[pyarrow]"] if _has("pyarrow") else []):
        expect_error(ValueError, "flag[1] must start with 'c' or 'p' (call or put), got <NA>", bsm.delta,
                     pd.Series([True, None, False], dtype=dtype), *ARGUMENTS.values())
        series = pd.Series([True, False, True], dtype=dtype, index=["a", "b", "c"])
        result = bsm.delta(series, **ARGUMENTS)
        assert result.index.equals(series.index) and np.array_equal(result.to_numpy(), [CALL, PUT, CALL])
    # In Polars a null is a null result.
    pl = pytest.importorskip("polars")
    assert bsm.delta(pl.Series([True, False, None]), **ARGUMENTS).to_list() == [CALL, PUT, None]


def _has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


LONG = "x" * 10_000_000


def test_long_texts_are_cut_in_messages():
    start = "'" + "x" * 20 + "'"
    expect_error(ValueError, f"flag[1] must start with 'c' or 'p' (call or put), got {start}... (10000000 "
                 "characters)", bsm.delta, ["c", LONG], *ARGUMENTS.values())
    expect_error(ValueError, f"flag[1] must start with 'c' or 'p' (call or put), got {start}... (10000000 "
                 "characters)", bsm.delta, np.array(["c", LONG], dtype=object), *ARGUMENTS.values())
    expect_error(ValueError, "flag[0] must start with 'c' or 'p' (call or put), got b'" + "y" * 20 + "'... (30 "
                 "bytes)", bsm.delta, np.array([b"y" * 30, b"c"]), *ARGUMENTS.values())
    # Twenty characters are shown whole, as before.
    expect_error(ValueError, "flag[1] must start with 'c' or 'p' (call or put), got '" + "z" * 20 + "'",
                 bsm.delta, ["c", "z" * 20], *ARGUMENTS.values())


@pytest.mark.parametrize("numbers", ["scalars", "arrays"])
def test_one_long_str_flag_has_kestrelfins_message_about_its_start(numbers):
    arguments = ARGUMENTS if numbers == "scalars" else {**ARGUMENTS, "S": np.array([100.0])}
    cls, args = kestrelfin_error(LONG[:20])
    text = f"{args[0]}... (10000000 characters)"
    expect_error(ValueError, text, lambda: bsm.delta(LONG, **arguments))
    expect_error(ValueError, text, lambda: bs.implied_volatility(10.0, 100.0, 95.0, 0.5, 0.03, LONG))
    # Up to twenty characters, _kestrelfin's text is the whole message.
    assert kestrelfin_error("q" * 20)[1] == (f'flag must be \'c\' or \'p\', got "{"q" * 20}"',)
    expect_error(ValueError, kestrelfin_error("q" * 20)[1][0], lambda: bsm.delta("q" * 20, **arguments))


def test_an_empty_list_of_flags_is_no_options():
    for flag in ([], (), np.array([]), np.array([], dtype=object)):
        result = bsm.delta(flag, **ARGUMENTS)
        assert type(result) is np.ndarray and result.shape == (0,) and result.dtype == np.float64
    assert bsm.delta([], *[np.empty(0)] * 6).shape == (0,)
    with pytest.raises(ValueError) as info:
        bsm.delta([], np.ones(3), 95.0, 0.5, 0.03, 0.25, 0.01)
    assert info.value.args == ("kestrelfin.bsm.delta: the shapes of the arguments do not broadcast together: "
                               "flag (0,), S (3,), K (), t (), r (), sigma (), q ()",)


def test_a_flag_broadcast_over_a_grid_is_read_once_per_distinct_element():
    import tracemalloc

    flags = np.array(["call", "put", "Call"], dtype="U16")
    grid = np.broadcast_to(flags, (200_000, 3))  # 9.6 MB as text if copied
    spots = np.linspace(80.0, 120.0, 200_000)[:, None]
    tracemalloc.start()
    result = bsm.delta(grid, spots, 95.0, 0.5, 0.03, 0.25, 0.01)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < result.nbytes * 1.5  # the result and small change, no copy of the grid
    expected = bsm.delta(np.array([True, False, True]), spots, 95.0, 0.5, 0.03, 0.25, 0.01)
    assert np.array_equal(result, expected)
    # A bad flag of a broadcast grid is named at its first position in the grid.
    bad = np.broadcast_to(np.array([["c"], ["x"]]), (2, 4))
    expect_error(ValueError, "flag[1, 0] must start with 'c' or 'p' (call or put), got 'x'", bsm.delta, bad,
                 *ARGUMENTS.values())
    objects = np.broadcast_to(np.array(["c", "p", 3], dtype=object), (5, 3))
    expect_error(ValueError, "flag[0, 2] must start with 'c' or 'p' (call or put), got 3", bsm.delta, objects,
                 *ARGUMENTS.values())


class LyingText(str):
    """A str that says it is a put, and whose first character is a 'p'."""

    def __getitem__(self, index):
        return "p"

    def __str__(self):
        return "put"


@pytest.mark.parametrize("numbers", ["scalars", "arrays"])
def test_a_str_subclass_reads_alike_alone_and_in_a_list(numbers):
    # One reading: NumPy's, its str(), also for one option whose numbers are
    # all scalars (no _kestrelfin call, which would read its characters).
    arguments = ARGUMENTS if numbers == "scalars" else {**ARGUMENTS, "S": np.array([100.0])}
    alone = bsm.delta(LyingText("call"), **arguments)
    assert np.array_equal(np.ravel(alone), bsm.delta([LyingText("call")], **arguments))
    assert np.array_equal(np.ravel(alone), [PUT])
    with pytest.raises(ValueError) as info:
        bsm.delta(type("Odd", (str,), {"__str__": lambda self: "xylophone"})("call"), **arguments)
    assert info.value.args == kestrelfin_error("xylophone")[1]
