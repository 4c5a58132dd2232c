"""Polars expressions and Series: every public function takes expressions
(mixed with Series, NumPy arrays and numbers) and returns an expression,
eager, lazy and on the streaming engine; a null in any input, the flag too,
is a null in the output. Every other element is the NumPy path's result
for the same inputs, bit for bit (NaN payloads and signed zeros included):
the public function called on NumPy arrays, with a boolean or str flag."""

import numpy as np
import pytest

from kestrelfin import _ufuncs
from package_support import FUNCTIONS, FUNCTION_IDS, MODELS, ORDINARY, array_bits, corner_values, parameters, public

pl = pytest.importorskip("polars")

N = 240
GREEK_NAMES = list(_ufuncs.GREEK_NAMES)
GREEKS = [(model, "greeks") for model in MODELS]
FLAG_DTYPES = ["String", "Categorical", "Enum", "Boolean"]
MODES = ["select", "with_columns", "lazy", "streaming"]
SPELLINGS = np.array(["c", "P", "call", "Put", "C", "put"])


def greeks_parameters(model):
    return parameters(model, "delta")


def parameters_of(model, quantity):
    return greeks_parameters(model) if quantity == "greeks" else parameters(model, quantity)


class Book:
    """A book of N options: each parameter a column of ordinary values and
    the formulas' corners (zeros of both signs, infinities, NaNs with
    payloads), shuffled per column, and a few nulls in every column (the
    flag too) at positions of its own."""

    def __init__(self, seed=3, flag_dtype="String"):
        rng = np.random.default_rng(seed)
        self.numbers = {p: rng.permutation(corner_values(p, rng, N)) for p in ORDINARY}
        self.texts = rng.choice(SPELLINGS, N)
        self.nulls = {p: rng.choice(N, 4, replace=False) for p in [*ORDINARY, "flag"]}
        columns = {p: pl.Series(p, values).scatter(self.nulls[p], None) for p, values in self.numbers.items()}
        flag = pl.Series("flag", self.texts).scatter(self.nulls["flag"], None)
        if flag_dtype == "Boolean":
            flag = flag.str.slice(0, 1).str.to_lowercase() == "c"
        elif flag_dtype == "Categorical":
            flag = flag.cast(pl.Categorical)
        elif flag_dtype == "Enum":  # with a category that is no flag, unused
            flag = flag.cast(pl.Enum([*SPELLINGS, "x"]))
        self.frame = pl.DataFrame({"flag": flag, **columns})

    def missing(self, names):
        """Where any of the named columns is null."""
        missing = np.zeros(N, dtype=bool)
        for name in names:
            missing[self.nulls[name]] = True
        return missing

    def numpy_argument(self, parameter):
        """What the NumPy path gets: the str flags (a call where null), the
        numbers as they are (the nulled rows are not compared)."""
        return self.texts if parameter == "flag" else self.numbers[parameter]


# How each argument is passed, by the position of the number among the
# parameters: columns, a Series as a literal column, a number, an expression
# computed from a column, a NumPy array. Every function gets several kinds.
STYLES = ["column", "series", "column", "number", "computed", "array", "column"]


def styled(book, model, quantity):
    """The arguments for the call (expressions and others), the NumPy
    path's arguments, and the names of the columns whose nulls count."""
    arguments, reference, nullable = [], [], []
    numbers = [p for p in parameters_of(model, quantity) if p != "flag"]
    for parameter in parameters_of(model, quantity):
        style = "column" if parameter == "flag" else STYLES[numbers.index(parameter)]
        value = book.numpy_argument(parameter)
        if style == "number":
            arguments.append(ORDINARY[parameter])
            reference.append(ORDINARY[parameter])
            continue
        if style == "array":
            arguments.append(book.numbers[parameter])  # no nulls: NaN is a number
            reference.append(value)
            continue
        column = pl.col(parameter)
        if style == "series":
            column = book.frame[parameter]
        elif style == "computed":
            column = pl.col(parameter).alias("renamed").cast(pl.Float64)
        arguments.append(column)
        reference.append(value)
        nullable.append(parameter)
    return arguments, reference, nullable


def evaluate(frame, expression, mode):
    """The expression's column, computed the way `mode` says."""
    if mode == "select":
        return frame.select(expression).to_series()
    if mode == "with_columns":
        return frame.with_columns(result=expression)["result"]
    lazy = frame.lazy().with_columns(result=expression)
    if mode == "lazy":
        return lazy.collect()["result"]
    # Small batches, so that the streaming engine calls the function many times.
    with pl.Config(streaming_chunk_size=50):
        return lazy.collect(engine="streaming")["result"]


def assert_column(column, expected, missing):
    """Null exactly where `missing`, the expected bits everywhere else."""
    assert column.dtype == pl.Float64
    assert np.array_equal(column.is_null().to_numpy(), missing)
    values = column.to_numpy()
    assert np.array_equal(array_bits(values[~missing]), array_bits(np.asarray(expected)[~missing]))


def assert_struct(column, expected, missing):
    """A Struct of the sixteen quantities, null where `missing` (the
    struct and each field), each field the NumPy path's bits."""
    assert column.dtype == pl.Struct({name: pl.Float64 for name in GREEK_NAMES})
    assert np.array_equal(column.is_null().to_numpy(), missing)
    fields = column.struct.unnest()
    assert fields.columns == GREEK_NAMES
    for name in GREEK_NAMES:
        assert_column(fields[name], expected[name], missing)


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("model, quantity", FUNCTIONS + GREEKS, ids=FUNCTION_IDS + [f"{m}.greeks" for m in MODELS])
def test_every_function_against_the_numpy_path(model, quantity, mode):
    book = Book()
    arguments, reference, nullable = styled(book, model, quantity)
    function = public(model, quantity)
    expression = function(*arguments)
    assert isinstance(expression, pl.Expr)
    column = evaluate(book.frame, expression, mode)
    expected = function(*reference)
    if quantity == "greeks":
        assert_struct(column, expected, book.missing(nullable))
    else:
        assert column.name in ("result", quantity)
        assert_column(column, expected, book.missing(nullable))


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("flag_dtype", FLAG_DTYPES)
@pytest.mark.parametrize("model, quantity", [("bsm", "delta"), ("black76", "implied_volatility"), ("bs", "greeks")])
def test_flag_columns_of_every_kind(model, quantity, flag_dtype, mode):
    book = Book(seed=11, flag_dtype=flag_dtype)
    names = parameters_of(model, quantity)
    function = public(model, quantity)
    column = evaluate(book.frame, function(*(pl.col(p) for p in names)), mode)
    expected = function(*(book.numpy_argument(p) for p in names))
    if quantity == "greeks":
        assert_struct(column, expected, book.missing(names))
    else:
        assert_column(column, expected, book.missing(names))


def test_the_streaming_engine_computes_batch_by_batch(monkeypatch):
    from kestrelfin import _polars_expressions

    batches = []
    whole = _polars_expressions._batch

    def counted(*arguments):
        batches.append(len(arguments[-1]))
        return whole(*arguments)

    monkeypatch.setattr(_polars_expressions, "_batch", counted)
    book = Book(seed=5)
    names = parameters_of("bsm", "greeks")
    function = public("bsm", "greeks")
    lazy = book.frame.lazy().with_columns(greeks=function(*(pl.col(p) for p in names)))
    with pl.Config(streaming_chunk_size=50):
        column = lazy.collect(engine="streaming")["greeks"]
    assert len(batches) > 1 and sum(batches) == N
    assert_struct(column, function(*(book.numpy_argument(p) for p in names)), book.missing(names))


def test_the_lazy_schema_resolves_without_computing():
    frame = pl.DataFrame({"type": ["c", "x"], "S": [100.0, 101.0]})  # "x" is no flag
    lazy = frame.lazy().with_columns(
        price=MODELS["bs"].price(pl.col("type"), pl.col("S"), 95.0, 0.5, 0.03, 0.2),
        greeks=MODELS["bs"].greeks(pl.col("type"), pl.col("S"), 95.0, 0.5, 0.03, 0.2))
    schema = lazy.collect_schema()
    assert schema["price"] == pl.Float64
    assert schema["greeks"] == pl.Struct({name: pl.Float64 for name in GREEK_NAMES})
    # Computed, the flag that is no flag is named at its position in the
    # batch the engine handed over.
    with pytest.raises(ValueError, match=r"^flag\[[01]\] must start with 'c' or 'p' \(call or put\), got 'x'"):
        lazy.collect()


def test_greeks_unnest_into_the_separate_functions_columns():
    book = Book(seed=9, flag_dtype="Categorical")
    bsm = MODELS["bsm"]
    names = parameters_of("bsm", "greeks")
    columns = [pl.col(p) for p in names]
    frame = book.frame.select(bsm.greeks(*columns)).unnest("greeks")
    separate = book.frame.select(getattr(bsm, name)(*columns) for name in GREEK_NAMES)
    assert separate.columns == GREEK_NAMES  # each named after its quantity
    for name in GREEK_NAMES:
        assert np.array_equal(frame[name].is_null().to_numpy(), separate[name].is_null().to_numpy())
        assert np.array_equal(array_bits(frame[name].to_numpy()), array_bits(separate[name].to_numpy())), name
    # The price of the struct is the price function's.
    assert frame["price"].equals(book.frame.select(bsm.price(*columns)).to_series())


def test_number_columns_of_other_dtypes_are_cast_as_numpy_casts_them():
    frame = pl.DataFrame({
        "S": pl.Series([90, 100, None, 2**53 + 1], dtype=pl.Int64),
        "K": pl.Series([95.5, 100.25, 80.0, 1e3], dtype=pl.Float32),
        "t": pl.Series([1, 2, 3, 4], dtype=pl.UInt8),
        "r": pl.Series([True, False, None, False]),
        "sigma": pl.Series([0.2, 0.3, None, 0.1], dtype=pl.Float64),
    })
    result = frame.select(MODELS["bs"].vega(True, *(pl.col(p) for p in ("S", "K", "t", "r", "sigma"))))
    # The NumPy path on the columns' own dtypes (an integer column with a
    # null comes out of Polars as float64: the same rounding as NumPy's cast).
    numpy = [frame[p].fill_null(False if p == "r" else 0).to_numpy() for p in ("S", "K", "t", "r", "sigma")]
    assert numpy[0].dtype == np.int64 and numpy[1].dtype == np.float32 and numpy[3].dtype == np.bool_
    expected = MODELS["bs"].vega(True, *numpy)
    assert_column(result.to_series(), expected, np.array([False, False, True, False]))


def test_a_flag_array_beside_expressions():
    book = Book(seed=17)
    bsm = MODELS["bsm"]
    names = parameters_of("bsm", "theta")
    arguments = [book.texts] + [pl.col(p) for p in names[1:]]
    column = book.frame.select(bsm.theta(*arguments)).to_series()
    expected = bsm.theta(*(book.numpy_argument(p) for p in names))
    assert_column(column, expected, book.missing(names[1:]))


def test_scalar_and_null_expressions():
    frame = pl.DataFrame({"K": [90.0, 100.0, 110.0]})
    bs = MODELS["bs"]
    # A scalar expression broadcasts over the frame, as Polars broadcasts literals.
    column = frame.with_columns(p=bs.price("c", pl.lit(100.0), pl.col("K"), 0.5, 0.03, 0.2))["p"]
    assert_column(column, bs.price("c", 100.0, np.array([90.0, 100.0, 110.0]), 0.5, 0.03, 0.2), np.zeros(3, bool))
    alone = frame.with_columns(p=bs.price("p", pl.lit(100.0), 95.0, 0.5, 0.03, 0.2))["p"]
    assert alone.to_list() == [bs.price("p", 100.0, 95.0, 0.5, 0.03, 0.2)] * 3
    # A null literal, number or flag, nulls every row.
    assert frame.select(bs.price("c", pl.lit(None), pl.col("K"), 0.5, 0.03, 0.2)).to_series().null_count() == 3
    assert frame.select(bs.price(pl.lit(None), 100.0, pl.col("K"), 0.5, 0.03, 0.2)).to_series().null_count() == 3
    # An empty frame gives an empty column.
    empty = frame.clear().select(bs.price("c", 100.0, pl.col("K"), 0.5, 0.03, 0.2)).to_series()
    assert empty.dtype == pl.Float64 and len(empty) == 0


# ---- Polars Series: the same nulls, an eager result ---------------------------------------------------------


@pytest.mark.parametrize("flag_dtype", FLAG_DTYPES)
@pytest.mark.parametrize("model, quantity", [("bs", "price"), ("bsm", "implied_volatility"), ("black76", "vanna"),
                                             ("bsm", "greeks")])
def test_polars_series_null_where_any_input_is_null(model, quantity, flag_dtype):
    book = Book(seed=13, flag_dtype=flag_dtype)
    names = parameters_of(model, quantity)
    function = public(model, quantity)
    result = function(*(book.frame[p] for p in names))
    expected = function(*(book.numpy_argument(p) for p in names))
    missing = book.missing(names)
    if quantity == "greeks":
        assert isinstance(result, pl.DataFrame) and result.columns == GREEK_NAMES
        for name in GREEK_NAMES:
            assert_column(result[name], expected[name], missing)
    else:
        assert isinstance(result, pl.Series)
        assert_column(result, expected, missing)
        # Named after the first number Series, as before.
        assert result.name == next(p for p in names if p != "flag")


def test_a_flag_series_alone_gives_a_series_with_its_nulls():
    bs = MODELS["bs"]
    flag = pl.Series("type", ["c", None, "p"], dtype=pl.Categorical)
    result = bs.price(flag, 100.0, 95.0, 0.5, 0.03, 0.2)
    assert isinstance(result, pl.Series) and result.name == "type"
    assert result.to_list() == [bs.price("c", 100.0, 95.0, 0.5, 0.03, 0.2), None,
                                bs.price("p", 100.0, 95.0, 0.5, 0.03, 0.2)]
    greeks = bs.greeks(flag, 100.0, 95.0, 0.5, 0.03, 0.2)
    assert isinstance(greeks, pl.DataFrame) and greeks["delta"].null_count() == 1


# ---- errors -------------------------------------------------------------------------------------------------


def raises(cls, start, thunk):
    """thunk() raises exactly `cls` with a message that starts with
    `start` (Polars adds the failing expression to errors raised while a
    frame is computed)."""
    with pytest.raises(cls) as info:
        thunk()
    assert type(info.value) is cls
    assert str(info.value).startswith(start), str(info.value)
    return str(info.value)


def test_a_flag_that_is_no_flag_is_named_at_its_position():
    bs = MODELS["bs"]
    frame = pl.DataFrame({"type": ["c", None, "p", "x", ""], "S": [100.0] * 5})
    for dtype in (pl.String, pl.Categorical, pl.Enum(["c", "p", "x", ""])):
        typed = frame.with_columns(pl.col("type").cast(dtype))
        raises(ValueError, "flag[3] must start with 'c' or 'p' (call or put), got 'x'",
               lambda: typed.select(bs.price(pl.col("type"), pl.col("S"), 95.0, 0.5, 0.03, 0.2)))
        raises(ValueError, "flag[3] must start with 'c' or 'p' (call or put), got 'x'",
               lambda: bs.price(typed["type"], typed["S"], 95.0, 0.5, 0.03, 0.2))
    empty = frame.with_columns(pl.col("type").replace("x", "p"))
    raises(ValueError, "flag[4] must start with 'c' or 'p' (call or put), got ''",
           lambda: empty.select(bs.price(pl.col("type"), pl.col("S"), 95.0, 0.5, 0.03, 0.2)))
    # A text starting with a letter of many bytes, and a long one, cut.
    raises(ValueError, "flag[0] must start with 'c' or 'p' (call or put), got 'ça'",
           lambda: bs.price(pl.Series(["ça"]), 100.0, 95.0, 0.5, 0.03, 0.2))
    raises(ValueError, "flag[0] must start with 'c' or 'p' (call or put), got '" + "y" * 20 + "'... (30 characters)",
           lambda: bs.price(pl.Series(["y" * 30]), 100.0, 95.0, 0.5, 0.03, 0.2))
    # Binary texts are read as texts, nulls too.
    binary = pl.Series([b"c", None, b"P", b"x"])
    assert bs.price(binary[:3], 100.0, 95.0, 0.5, 0.03, 0.2).to_list() == [
        bs.price("c", 100.0, 95.0, 0.5, 0.03, 0.2), None, bs.price("p", 100.0, 95.0, 0.5, 0.03, 0.2)]
    raises(ValueError, "flag[3] must start with 'c' or 'p' (call or put), got b'x'",
           lambda: bs.price(binary, 100.0, 95.0, 0.5, 0.03, 0.2))
    # A number column is no flag column.
    raises(TypeError, "flag must be 'c' or 'p', an array-like of such texts, or a boolean array (True for a "
           "call), got Series of dtype int64",
           lambda: frame.select(bs.price(pl.lit(pl.Series([1, 0, 1, 0, 1])), pl.col("S"), 95.0, 0.5, 0.03, 0.2)))
    # An unused category that is no flag does no harm.
    unused = pl.Series(["c", "p"], dtype=pl.Enum(["c", "p", "x"]))
    assert bs.price(unused, 100.0, 95.0, 0.5, 0.03, 0.2).to_list() == [bs.price(f, 100.0, 95.0, 0.5, 0.03, 0.2)
                                                                     for f in "cp"]


def test_arguments_not_of_polars_are_checked_when_the_expression_is_made():
    bs = MODELS["bs"]
    S = pl.col("S")
    raises(ValueError, "flag[2] must start with 'c' or 'p' (call or put), got 'x'",
           lambda: bs.price(np.array(["c", "p", "x"]), S, 95.0, 0.5, 0.03, 0.2))
    raises(TypeError, "kestrelfin.bs.price: K expects real numbers (a number or an array-like of numbers), got a "
           "list of str", lambda: bs.price("c", S, ["95", "96"], 0.5, 0.03, 0.2))
    raises(TypeError, "kestrelfin.bs.price: K expects real numbers (a number or an array-like of numbers), got a "
           "list that NumPy cannot read as an array", lambda: bs.price("c", S, [95.0, [96.0]], 0.5, 0.03, 0.2))
    raises(ValueError, "flag must be 'c' or 'p', got \"x\"", lambda: bs.price("x", S, 95.0, 0.5, 0.03, 0.2))
    raises(TypeError, "flag must be 'c' or 'p', an array-like of such texts, or a boolean array (True for a call), "
           "got int 3", lambda: bs.price(3, S, 95.0, 0.5, 0.03, 0.2))
    raises(TypeError, "kestrelfin.bs.price: K expects real numbers (a number or an array-like of numbers), got a "
           "str ('95')", lambda: bs.price("c", S, "95", 0.5, 0.03, 0.2))
    raises(TypeError, "kestrelfin.bs.price: r expects real numbers (a number or an array-like of numbers), got "
           "None", lambda: bs.price("c", S, 95.0, 0.5, None, 0.2))
    raises(TypeError, "kestrelfin.bs.price: K has 2 dimensions; with Polars expressions an argument is one value "
           "or a column (an expression, a Series or a one-dimensional array)",
           lambda: bs.price("c", S, np.ones((2, 2)), 0.5, 0.03, 0.2))


def test_number_columns_of_text_or_decimals_are_type_errors():
    frame = pl.DataFrame({"S": ["100"], "K": pl.Series([95], dtype=pl.Decimal(10, 2))})
    bs = MODELS["bs"]
    raises(TypeError, "kestrelfin.bs.delta: S expects real numbers (a number or an array-like of numbers), got a "
           "column of dtype String (convert it with .cast(pl.Float64))",
           lambda: frame.select(bs.delta("c", pl.col("S"), 95.0, 0.5, 0.03, 0.2)))
    raises(TypeError, "kestrelfin.bs.delta: K expects real numbers (a number or an array-like of numbers), got a "
           "column of dtype Decimal(precision=10, scale=2) (convert it with .cast(pl.Float64))",
           lambda: frame.select(bs.delta("c", 100.0, pl.col("K"), 0.5, 0.03, 0.2)))


def test_ufunc_keywords_are_refused_with_expressions():
    bs, bsm = MODELS["bs"], MODELS["bsm"]
    S = pl.col("S")
    raises(TypeError, "kestrelfin.bs.delta: out= cannot be used with Polars expressions (the result is an "
           "expression, computed when its frame is collected)",
           lambda: bs.delta("c", S, 95.0, 0.5, 0.03, 0.2, out=np.empty(3)))
    raises(TypeError, "kestrelfin.bsm.greeks: where= cannot be used with Polars expressions",
           lambda: bsm.greeks("c", S, 95.0, 0.5, 0.03, 0.2, 0.0, where=np.ones(3, bool)))
    raises(TypeError, "kestrelfin.bs.delta: out=, casting= and order= cannot be used",
           lambda: bs.delta("c", S, 95.0, 0.5, 0.03, 0.2, out=np.empty(3), casting="unsafe", order="C"))


def test_expressions_do_not_mix_with_containers_of_other_libraries():
    pd = pytest.importorskip("pandas")
    bs = MODELS["bs"]
    raises(TypeError, "kestrelfin.bs.delta: S is a Polars expression and K a pandas Series; an expression takes "
           "Polars expressions, Polars Series and numbers: convert K to a Polars Series",
           lambda: bs.delta("c", pl.col("S"), pd.Series([95.0]), 0.5, 0.03, 0.2))
    raises(TypeError, "kestrelfin.bs.implied_volatility: price is a Polars expression and flag a pandas Series",
           lambda: bs.implied_volatility(pl.col("p"), 100.0, 95.0, 0.5, 0.03, pd.Series(["c"])))
    raises(TypeError, "kestrelfin.bs.delta: S is a Polars expression and K a Polars DataFrame",
           lambda: bs.delta("c", pl.col("S"), pl.DataFrame({"K": [95.0]}), 0.5, 0.03, 0.2))


def test_group_by_and_window_contexts():
    frame = pl.DataFrame({"g": [1, 1, 2, 2, 2], "type": ["c", "p", "c", None, "p"],
                          "S": [100.0, 101.0, 102.0, 103.0, 104.0]})
    bs = MODELS["bs"]
    delta = bs.delta(pl.col("type"), pl.col("S"), 95.0, 0.5, 0.03, 0.2)
    rows = [None if f is None else bs.delta(f, s, 95.0, 0.5, 0.03, 0.2) for f, s in zip(frame["type"], frame["S"])]
    grouped = frame.group_by("g", maintain_order=True).agg(delta)
    assert grouped["delta"].to_list() == [rows[:2], rows[2:]]
    assert frame.with_columns(delta.over("g"))["delta"].to_list() == rows


def test_the_builder_gives_any_output_schema():
    # What a function of several results (of other dtypes than Float64)
    # gets from the expression builder: a Struct of its fields, with nulls.
    from kestrelfin import _polars_expressions

    def per_batch(arguments):
        is_call, x = arguments
        sign = np.sign(np.nan_to_num(x)).astype(np.int8)  # a null's x is NaN here
        return {"double": x * 2.0, "sign": sign, "kind": np.where(is_call, "call", "put")}

    output = _polars_expressions.Output("out", ("double", "sign", "kind"),
                                        ("Float64", "Int8", lambda pl: pl.Enum(["call", "put"])))
    expression = _polars_expressions.expression("f", ("flag", "x"), (pl.col("flag"), pl.col("x")), per_batch, output)
    frame = pl.DataFrame({"flag": ["c", "p", None, "C"], "x": [1.5, -2.0, 3.0, None]})
    lazy = frame.lazy().select(expression)
    assert lazy.collect_schema()["out"] == pl.Struct({"double": pl.Float64, "sign": pl.Int8,
                                                      "kind": pl.Enum(["call", "put"])})
    result = lazy.collect().unnest("out")
    assert result.rows() == [(3.0, 1, "call"), (-4.0, -1, "put"), (None, None, None), (None, None, None)]
    # One value per row of another dtype.
    single = _polars_expressions.Output("sign", dtypes=("Int8",))
    def signs(arguments):
        return np.sign(np.nan_to_num(arguments[1])).astype(np.int8)

    column = frame.select(_polars_expressions.expression("f", ("flag", "x"), (True, pl.col("x")), signs,
                                                         single)).to_series()
    assert column.dtype == pl.Int8 and column.to_list() == [1, -1, 1, None]
