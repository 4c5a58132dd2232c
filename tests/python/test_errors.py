"""PanicException, the resumed-panic path and the solver's errors."""

import pytest

import _kestrelfin as kf
import call_model
from conftest import IV_NAMES, RaisingFloat, call, expect_error

NOTICE = "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"


@pytest.fixture(scope="module")
def panic_exception():
    """The class is not a module attribute: it exists once the module has
    taken an exception from the interpreter, so take one and look it up."""
    error = ValueError("taken")
    with pytest.raises(ValueError):
        kf.bs_delta("c", RaisingFloat(error), 100, 1, 0.05, 0.2)
    # Other extension modules may have a class of the same qualified name
    # (hypothesis has one): tell the module's own apart by what the module
    # does with it (call_model.panic_exception_class).
    found = [c for c in BaseException.__subclasses__()
             if c.__module__ == "pyo3_runtime" and c.__name__ == "PanicException"]
    own = call_model.panic_exception_class()
    assert own in found
    return own


def test_panic_exception_class(panic_exception):
    assert panic_exception.__qualname__ == "PanicException"
    assert panic_exception.__bases__ == (BaseException,)
    assert panic_exception.__mro__ == (panic_exception, BaseException, object)
    assert not issubclass(panic_exception, Exception)
    doc = panic_exception.__doc__
    assert len(doc) == 235
    assert doc.startswith("\n") and doc.endswith("\n")
    assert "SystemExit" in doc and "BaseException" in doc
    assert str(panic_exception("m")) == "m"
    # One class per process, however many faults come back.
    classes = [c for c in BaseException.__subclasses__() if c.__module__ == "pyo3_runtime"]
    for _ in range(3):
        with pytest.raises(BaseException) as info:
            kf.bs_rho("c", RaisingFloat(panic_exception("again")), 100, 1, 0.05, 0.2)
        assert type(info.value) is panic_exception
    assert [c for c in BaseException.__subclasses__() if c.__module__ == "pyo3_runtime"] == classes


def call_catching(function, *args):
    """Calls with an Exception handler nested inside a BaseException one and
    reports which of the two caught what."""
    try:
        try:
            function(*args)
        except Exception as error:  # noqa: BLE001 - the point of the test
            return "Exception", error
    except BaseException as error:  # noqa: BLE001
        return "BaseException", error
    return "nothing", None


def test_resumed_panic(panic_exception, capfd):
    expected = kf.bs_delta("c", 100.0, 100, 1, 0.05, 0.2)
    original = panic_exception("boom")
    capfd.readouterr()
    handler, raised = call_catching(kf.bs_delta, "c", RaisingFloat(original), 100, 1, 0.05, 0.2)
    err = capfd.readouterr().err
    assert handler == "BaseException"
    assert type(raised) is panic_exception
    assert raised is not original
    assert raised.args == ("boom",)
    # The two notice lines, then the taken exception with its traceback, and
    # no fault report of its own after it.
    assert err.startswith(NOTICE + "Python stack trace below:\nTraceback (most recent call last):\n")
    assert "in __float__" in err and "raise self.error" in err
    assert err.endswith("\npyo3_runtime.PanicException: boom\n")
    assert err.count("boom") == 1
    # Nothing is left broken.
    assert kf.bs_delta("c", 100.0, 100, 1, 0.05, 0.2) == expected


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


def test_resumed_panic_without_text(panic_exception, capfd):
    capfd.readouterr()
    _, raised = call_catching(kf.bsm_vega, "p", RaisingFloat(panic_exception(Unprintable())),
                              100, 1, 0.05, 0.2, 0.0)
    assert capfd.readouterr().err.startswith(NOTICE)
    assert type(raised) is panic_exception
    assert raised.args == ("Unwrapped panic from Python code",)


def test_panic_subclass_is_an_ordinary_exception(panic_exception, capfd):
    class Derived(panic_exception):
        pass

    original = Derived("not resumed")
    capfd.readouterr()
    _, raised = call_catching(kf.bs_gamma, "c", 100, RaisingFloat(original), 1, 0.05, 0.2)
    assert raised is original
    assert capfd.readouterr().err == ""


# S = F = 110 with r = q = 0 makes the forward 110 in all three models.
@pytest.mark.parametrize("flag, S, K, price, message", [
    ("c", 110.0, 100.0, 5.0, "price is below intrinsic value"),
    ("p", 100.0, 110.0, 5.0, "price is below intrinsic value"),
    ("c", 100.0, 90.0, 100.001, "price exceeds theoretical maximum"),
    ("p", 100.0, 90.0, 90.001, "price exceeds theoretical maximum"),
])
@pytest.mark.parametrize("name", IV_NAMES)
def test_implied_volatility_errors(name, flag, S, K, price, message, capfd):
    capfd.readouterr()
    spot = {"F": S} if name.startswith("black76") else {"S": S}
    expect_error(ValueError, message, call, name, flag=flag, K=K, price=price, r=0.0, q=0.0,
                 t=1.0, **spot)
    assert capfd.readouterr().err == ""
