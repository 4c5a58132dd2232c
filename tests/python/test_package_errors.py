"""What the kestrelfin functions say when the arguments do not fit: what
was expected and what came, in the caller's terms, for every function."""

import inspect
import warnings

import numpy as np
import pytest

from package_support import FUNCTION_IDS, FUNCTIONS, MODELS, ORDINARY, numbers, parameters, public

EXPECTS = "expects real numbers (a number or an array-like of numbers)"


def arguments_of(model, quantity, **replaced):
    return [replaced.get(p, "c" if p == "flag" else ORDINARY[p]) for p in parameters(model, quantity)]


def error_of(model, quantity, **replaced):
    with pytest.raises((TypeError, ValueError)) as info:
        public(model, quantity)(*arguments_of(model, quantity, **replaced))
    assert len(info.value.args) == 1
    return type(info.value), info.value.args[0]


WRONG_NUMBERS = [
    ("100", "a str ('100')"),
    (b"100", "a bytes (b'100')"),
    (None, "None"),
    (["100", "101"], "a list of str"),
    ((1.0, "x"), "a tuple of str"),
    (np.array([1.0, 2.0], dtype=object), "an object array (dtype object; convert it with .astype(float))"),
    (np.array(["1", "2"]), "an array of str (dtype <U1)"),
    (np.array([1 + 2j]), "a complex128 array"),
    (np.array(["2024-01-01"], dtype="datetime64[D]"), "a datetime64[D] array"),
    ({"S": 1.0}, "an object of type dict"),
]


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=FUNCTION_IDS)
@pytest.mark.parametrize("value, what", WRONG_NUMBERS, ids=[w for _, w in WRONG_NUMBERS])
def test_text_or_objects_where_numbers_belong(model, quantity, value, what):
    parameter = numbers(model, quantity)[1]  # K or S: any number parameter
    cls, text = error_of(model, quantity, **{parameter: value})
    assert cls is TypeError
    assert text == f"kestrelfin.{model}.{quantity}: {parameter} {EXPECTS}, got {what}"


def test_pandas_and_ragged_inputs_where_numbers_belong():
    pd = pytest.importorskip("pandas")
    from kestrelfin import bsm
    for series in (pd.Series(["100", "101"], dtype=object), pd.Series(["100", "101"], dtype="string")):
        with pytest.raises(TypeError) as info:
            bsm.delta("c", series, 95.0, 0.5, 0.03, 0.25, 0.01)
        assert info.value.args == (f"kestrelfin.bsm.delta: S {EXPECTS}, got a Series of dtype {series.dtype} "
                                   "(convert it with .astype(float))",)
    with pytest.raises(TypeError) as info:
        bsm.delta("c", 100.0, [[1.0, 2.0], [3.0]], 0.5, 0.03, 0.25, 0.01)
    assert info.value.args == (f"kestrelfin.bsm.delta: K {EXPECTS}, got a list that NumPy cannot read as an array",)


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=FUNCTION_IDS)
def test_shapes_that_do_not_broadcast_are_named(model, quantity):
    first, second = numbers(model, quantity)[:2]
    cls, text = error_of(model, quantity, **{first: np.ones(2), second: np.ones((3, 4))})
    shapes = ", ".join(f"{p} {({first: (2,), second: (3, 4)}).get(p, ())}" for p in parameters(model, quantity))
    assert cls is ValueError
    assert text == f"kestrelfin.{model}.{quantity}: the shapes of the arguments do not broadcast together: {shapes}"


def test_flags_that_do_not_broadcast_with_the_numbers():
    from kestrelfin import bs
    with pytest.raises(ValueError) as info:
        bs.delta(["c", "p", "c"], [100.0, 101.0], 95.0, 0.5, 0.03, 0.25)
    assert info.value.args == ("kestrelfin.bs.delta: the shapes of the arguments do not broadcast together: "
                               "flag (3,), S (2,), K (), t (), r (), sigma ()",)


def test_an_out_that_does_not_fit_is_named():
    from kestrelfin import bs, bsm
    expect(ValueError, "kestrelfin.bs.delta: out has shape (2,) but the arguments broadcast to (3,)",
           lambda: bs.delta("c", np.ones(3), 95.0, 0.5, 0.03, 0.25, out=np.empty(2)))
    expect(ValueError, "kestrelfin.bs.delta: out has shape (3, 1) but the arguments broadcast to (3, 2)",
           lambda: bs.delta(["c", "p"], np.ones((3, 1)), 95.0, 0.5, 0.03, 0.25, out=np.empty((3, 1))))
    expect(TypeError, "kestrelfin.bs.delta: out has dtype int64, to which the float64 results cannot be cast "
           "under casting='same_kind'", lambda: bs.delta("c", np.ones(3), 95.0, 0.5, 0.03, 0.25,
                                                           out=np.empty(3, dtype=np.int64)))
    outs = tuple(np.empty(3) for _ in range(15)) + (np.empty(4),)
    expect(ValueError, "kestrelfin.bsm.greeks: out[15] has shape (4,) but the arguments broadcast to (3,)",
           lambda: bsm.greeks("c", np.ones(3), 95.0, 0.5, 0.03, 0.25, 0.0, out=outs))


def test_numpys_own_errors_stand_where_the_arguments_are_fine():
    from kestrelfin import bs
    with pytest.raises(TypeError):
        bs.delta("c", 100.0, np.arange(90, 93), 0.5, 0.03, 0.25, casting="no")
    with pytest.raises(TypeError, match="unexpected keyword argument 'dtype'"):
        bs.delta("c", 100.0, 95.0, 0.5, 0.03, 0.25, dtype=float)


def expect(cls, text, thunk):
    with pytest.raises(cls) as info:
        thunk()
    assert type(info.value) is cls and info.value.args == (text,)


ALL_FUNCTIONS = FUNCTIONS + [(model, "greeks") for model in MODELS]


@pytest.mark.parametrize("model, quantity", ALL_FUNCTIONS, ids=[f"{m}.{q}" for m, q in ALL_FUNCTIONS])
@pytest.mark.parametrize("extra", ["array", "number"])
def test_one_positional_argument_too_many_is_refused_and_writes_nothing(model, quantity, extra):
    names = parameters(model, "price" if quantity == "greeks" else quantity)
    arguments = [np.array(["c", "p"]) if p == "flag" else np.full(2, ORDINARY[p]) for p in names]
    surplus = np.array([0.01, 0.02]) if extra == "array" else 0.01
    kept = np.copy(surplus)
    text = (f"kestrelfin.{model}.{quantity}() takes {len(names)} positional arguments ({', '.join(names)}) "
            f"but {len(names) + 1} were given; out, where, casting and order are keyword-only")
    expect(TypeError, text, lambda: getattr(MODELS[model], quantity)(*arguments, surplus))
    assert np.array_equal(surplus, kept)  # the extra argument is not taken as out=
    # Two too many, and one option alone, say the same with their count.
    scalars = ["c" if p == "flag" else ORDINARY[p] for p in names]
    expect(TypeError, text.replace(f"but {len(names) + 1}", f"but {len(names) + 2}"),
           lambda: getattr(MODELS[model], quantity)(*scalars, 0.01, 0.02))


def test_a_flag_series_on_another_index_than_the_numbers():
    pd = pytest.importorskip("pandas")
    from kestrelfin import bs
    flag = pd.Series(["c", "p", "c"], index=[10, 11, 12])
    spots = pd.Series([100.0, 101.0, 102.0])
    expect(ValueError, "kestrelfin.bs.price: the indexes of flag and S differ; the flag is not aligned to the "
           "numbers: give them the same index", lambda: bs.price(flag, spots, 95.0, 0.5, 0.03, 0.2))
    expect(ValueError, "kestrelfin.bs.price: the indexes of flag and sigma differ; the flag is not aligned to "
           "the numbers: give them the same index",
           lambda: bs.price(flag, spots.set_axis(flag.index), 95.0, 0.5, 0.03, spots))
    # The same index in another order is another index too: nothing is reordered.
    expect(ValueError, "kestrelfin.bs.price: the indexes of flag and S differ; the flag is not aligned to the "
           "numbers: give them the same index",
           lambda: bs.price(flag, spots.set_axis([12, 11, 10]), 95.0, 0.5, 0.03, 0.2))


def test_greeks_of_a_dataframe_and_containers_of_two_libraries():
    pd = pytest.importorskip("pandas")
    from kestrelfin import bs, bsm
    frame = pd.DataFrame({"S": [100.0, 101.0], "K": [95.0, 96.0]})
    expect(TypeError, 'kestrelfin.bsm.greeks: K is a DataFrame, which greeks() does not take; pass one column per '
           'argument (a Series such as frame["K"]): the result is a DataFrame with one column per quantity',
           lambda: bsm.greeks("c", 100.0, frame, 0.5, 0.03, 0.2, 0.0))
    expect(TypeError, "kestrelfin.bs.delta: S is a DataFrame and K a Series; pass Series (columns) or DataFrames "
           "of one shape, not both", lambda: bs.delta("c", frame, frame["K"], 0.5, 0.03, 0.2))
    pl = pytest.importorskip("polars")
    expect(TypeError, "kestrelfin.bs.delta: the arguments are containers of different libraries, S (pandas "
           "Series) and K (Polars Series); convert them to one kind (or to NumPy arrays with .to_numpy())",
           lambda: bs.delta("c", frame["S"], pl.Series([95.0, 96.0]), 0.5, 0.03, 0.2))


def test_where_without_out_warns_at_the_callers_line():
    from kestrelfin import bs
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        line = inspect.currentframe().f_lineno + 1
        bs.delta("c", np.ones(3), 95.0, 0.5, 0.03, 0.25, where=np.array([True, False, True]))
    assert [(w.filename, w.lineno, w.category) for w in caught] == [(__file__, line, UserWarning)]
    assert str(caught[0].message) == ("kestrelfin.bs.delta: where= without out= leaves the elements where it is "
                                      "False uninitialised; pass out= to keep values there")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        bs.delta("c", np.ones(3), 95.0, 0.5, 0.03, 0.25, where=np.array([True, False, True]), out=np.zeros(3))
    assert caught == []
