"""What the kestrelfin functions say when the arguments do not fit: what
was expected and what came, in the caller's terms, for every function."""

import numpy as np
import pytest

from package_support import FUNCTION_IDS, FUNCTIONS, ORDINARY, numbers, parameters, public

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


def test_numpys_own_errors_stand_where_the_arguments_are_fine():
    from kestrelfin import bs
    with pytest.raises(ValueError, match="broadcast") as info:
        bs.delta("c", np.ones(3), 95.0, 0.5, 0.03, 0.25, out=np.empty(2))
    assert not str(info.value).startswith("kestrelfin")  # the inputs broadcast: NumPy's text on `out`
    with pytest.raises(TypeError):
        bs.delta("c", 100.0, np.arange(90, 93), 0.5, 0.03, 0.25, casting="no")
    with pytest.raises(TypeError, match="unexpected keyword argument 'dtype'"):
        bs.delta("c", 100.0, 95.0, 0.5, 0.03, 0.25, dtype=float)
