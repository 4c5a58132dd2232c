"""NumPy access of the array functions: the borrow registry shared with
other extension modules, arrays changed in place while a call converts its
arguments, and NumPy missing at first or installed in either major version."""

import contextlib
import ctypes
import importlib
import json
import struct
import sys
import warnings

import numpy as np
import pytest

import _kestrelfin as kf
from conftest import expect_error, run_python
from call_model import SharedBorrowRecord
from shared import MISMATCH, bits, parameters
from test_arrays import call, ordinary, scalar_bits

ATTRIBUTE = "_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
# One function of each parameter family.
representatives = pytest.mark.parametrize("name", [
    "black76_vega_array", "bsm_charm_array", "bs_theta_array", "black76_implied_volatility_array",
    "bsm_implied_volatility_array", "bs_implied_volatility_array"])

class Registry:
    """The shared record as another extension module uses it."""

    def __init__(self, capsule, record):
        self.capsule, self.record = capsule, record  # the capsule keeps the record alive

    def write(self, array):
        return self.record.acquire_write(self.record.registry, array)

    def release_write(self, array):
        self.record.release_write(self.record.registry, array)

    @contextlib.contextmanager
    def held(self, array):
        """Holds the array for writing; released even when a check fails."""
        assert self.write(array) == 0
        try:
            yield
        finally:
            self.release_write(array)

    def assert_free(self, arrays):
        """Each array can at once be held for writing: no borrow was left."""
        for array in arrays:
            assert self.write(array) == 0
            self.release_write(array)


@pytest.fixture(scope="module")
def registry():
    kf.bs_delta_array("c", np.ones(1), np.ones(1), np.ones(1), 0.0, np.ones(1))
    major = np.lib.NumpyVersion(np.__version__).major
    module = importlib.import_module("numpy.core.multiarray" if major < 2 else "numpy._core.multiarray")
    capsule = vars(module)[ATTRIBUTE]
    assert type(capsule).__name__ == "PyCapsule"
    api = ctypes.pythonapi
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    name = api.PyCapsule_GetName(capsule)
    assert name == ATTRIBUTE.encode()
    pointer = api.PyCapsule_GetPointer(capsule, name)
    assert pointer
    return Registry(capsule, SharedBorrowRecord.from_address(pointer))


def expect_panic(message, function, *args):
    with pytest.raises(BaseException) as info:
        function(*args)
    cls = type(info.value)
    assert f"{cls.__module__}.{cls.__qualname__}" == "pyo3_runtime.PanicException"
    assert cls.__bases__ == (BaseException,) and info.value.args == (message,)


def arrays_in(args):
    return [v for v in args.values() if isinstance(v, np.ndarray)]


def same_as_scalar(result, name, args):
    return np.array_equal(bits(result), scalar_bits(name, args)[0])


# --- the shared record ----------------------------------------------------------

def test_record_is_usable(registry):
    assert registry.record.version >= 1
    for entry in ("acquire_read", "acquire_write", "release_read", "release_write"):
        assert ctypes.cast(getattr(registry.record, entry), ctypes.c_void_p).value


@representatives
def test_array_held_for_writing_blocks_the_call(registry, name):
    for p in parameters(name):
        args = ordinary(name)
        if not isinstance(args[p], np.ndarray):
            continue
        with registry.held(args[p]):
            expect_panic(ALREADY_BORROWED, call, name, args)
        # The arrays read-borrowed before the refused one were let go too.
        registry.assert_free(arrays_in(args))
        assert same_as_scalar(call(name, args), name, args)


def test_views_of_one_buffer_are_seen_together(registry):
    buffer = np.linspace(90.0, 110.0, 12)
    others = [np.full(2, 100.0), np.full(2, 0.5), 0.01, np.full(2, 0.2)]
    for held, passed in ((buffer[4:8], buffer[5:7]), (buffer, buffer[1:3]), (buffer[1:3], buffer[:2])):
        with registry.held(held):
            expect_panic(ALREADY_BORROWED, kf.black76_delta_array, "p", passed, *others)
    assert kf.black76_delta_array("p", buffer[5:7], *others).shape == (2,)
    registry.assert_free([buffer, buffer[5:7]])


def test_read_only_array_cannot_be_held_for_writing(registry):
    frozen = np.frombuffer(struct.pack("<3d", 100.0, 101.0, 102.0))
    assert registry.write(frozen) == -2
    assert registry.record.acquire_read(registry.record.registry, frozen) == 0
    registry.record.release_read(registry.record.registry, frozen)
    kf.bs_rho_array("c", frozen, frozen, frozen, 0.0, frozen)
    assert registry.write(frozen) == -2


class RaisingRate:
    def __float__(self):
        raise ArithmeticError("no rate")


@representatives
def test_calls_leave_no_borrow_and_no_reference_behind(registry, name):
    args = ordinary(name)
    arrays = [p for p in parameters(name) if isinstance(args[p], np.ndarray)]
    first, second, last = arrays[0], arrays[1], arrays[-1]
    wide = np.repeat(args[last], 2)
    outcomes = [(args, None), (dict(args, **{second: args[first]}), None), (ordinary(name, 0), None),
                (dict(args, **{first: args[first][:2]}), ValueError), (dict(args, **{last: [1.0]}), TypeError),
                (dict(args, flag="x"), ValueError), (dict(args, **{last: wide[::2]}), TypeError),
                (dict(args, r=RaisingRate()), ArithmeticError)]
    for case, error in outcomes:
        counted = arrays_in(case) + [wide]
        before = [sys.getrefcount(a) for a in counted]
        for _ in range(3):
            if error is None:
                call(name, case)
            else:
                with pytest.raises(error):
                    call(name, case)
        assert [sys.getrefcount(a) for a in counted] == before
        registry.assert_free(arrays_in(case))


class Hook:
    """A rate whose conversion runs Python code in the middle of the call."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # in-place shape, dtype, strides
            self.action()
        return 0.03


@pytest.mark.parametrize("name", ["bs_theta_array", "bsm_implied_volatility_array"])
def test_write_borrow_refused_while_the_call_reads(registry, name):
    args = ordinary(name)
    params = parameters(name)
    taken = [args[p] for p in params[:params.index("r")] if isinstance(args[p], np.ndarray)]
    codes = []

    def grab():
        for array in taken:
            codes.append(registry.write(array))
            if codes[-1] == 0:  # wrongly granted: give it back so nothing leaks
                registry.release_write(array)

    result = call(name, dict(args, r=Hook(grab)))
    assert codes == [-1] * len(taken)
    assert same_as_scalar(result, name, args)
    registry.assert_free(arrays_in(args))


def test_array_taken_for_writing_by_a_conversion_blocks_the_call(registry):
    # sigma is converted after r: the hook gets it, the call then cannot.
    args = ordinary("bs_vanna_array")
    codes = []
    try:
        expect_panic(ALREADY_BORROWED, call, "bs_vanna_array",
                     dict(args, r=Hook(lambda: codes.append(registry.write(args["sigma"])))))
    finally:
        if codes == [0]:
            registry.release_write(args["sigma"])
    assert codes == [0]
    registry.assert_free(arrays_in(args))


# --- arrays changed in place by a conversion ----------------------------------------

@pytest.mark.parametrize("p", ["S", "K", "t"])
def test_values_written_during_conversion_are_read(registry, p):
    args = ordinary("bs_delta_array", 4)
    fresh = args[p] * 1.5 + 0.25
    result = call("bs_delta_array", dict(args, r=Hook(lambda: args[p].__setitem__(slice(None), fresh))))
    assert np.array_equal(args[p], fresh)
    assert same_as_scalar(result, "bs_delta_array", args)  # on the rewritten values
    registry.assert_free(arrays_in(args))


@pytest.mark.parametrize("p", ["S", "K", "t"])
def test_arrays_reshaped_during_conversion_are_checked_again(registry, p):
    def hooked(action, n=3):
        args = ordinary("bs_delta_array", n)
        args[p] = args[p][:3].copy()  # owns its memory, so it can be resized
        return args, dict(args, r=Hook(lambda: action(args[p])))

    for action in (lambda a: setattr(a, "shape", (3, 1)), lambda a: setattr(a, "dtype", np.int64),
                   lambda a: setattr(a, "dtype", a.dtype.newbyteorder()), lambda a: setattr(a, "dtype", np.float32)):
        args, hooked_args = hooked(action)
        expect_error(TypeError, MISMATCH.format(p, "ndarray"), call, "bs_delta_array", hooked_args)
        registry.assert_free(arrays_in(args))
    # Shrunk: now one element against three.
    args, hooked_args = hooked(lambda a: a.resize(1, refcheck=False))
    expect_error(ValueError, "S, K, t, sigma arrays must have equal length", call, "bs_delta_array", hooked_args)
    assert args[p].shape == (1,)
    registry.assert_free(arrays_in(args))
    # Grown to the others' length: the loop reads the new memory, not the old.
    args, hooked_args = hooked(lambda a: a.resize(2000, refcheck=False), n=2000)
    result = call("bs_delta_array", hooked_args)
    assert args[p].shape == (2000,) and not args[p][3:].any()
    assert same_as_scalar(result, "bs_delta_array", args)
    registry.assert_free(arrays_in(args))


def test_strides_changed_during_conversion_fail_contiguity(registry):
    buffer = np.linspace(90.0, 110.0, 6)
    S = buffer[:3]
    args = ["c", S, np.full(3, 100.0), np.full(3, 0.5), Hook(lambda: setattr(S, "strides", (16,))), np.full(3, 0.2)]
    expect_error(TypeError, "The given array is not contiguous", kf.bs_gamma_array, *args)
    assert S.tolist() == buffer[::2].tolist()
    registry.assert_free([buffer, S] + args[2:4] + args[5:])


# --- NumPy missing, then present; which core module ------------------------------------

WITHOUT_NUMPY = r"""
import json, sys

class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ImportError("numpy is blocked here")
        return None

blocker = Blocker()
sys.meta_path.insert(0, blocker)
import _kestrelfin as kf
report = {"scalar": kf.bs_delta("c", 100.0, 100.0, 1.0, 0.05, 0.2), "failures": []}
for _ in range(2):  # a failed lookup is not kept: the second call tries again
    try:
        kf.bs_delta_array("c", [100.0], [100.0], [1.0], 0.05, [0.2])
    except BaseException as error:
        cls = type(error)
        report["failures"].append([cls.__module__ + "." + cls.__qualname__, isinstance(error, Exception),
                                   list(error.args)])
sys.meta_path.remove(blocker)
for name in [n for n in sys.modules if n == "numpy" or n.startswith("numpy.")]:
    del sys.modules[name]
import numpy as np
result = kf.bs_delta_array("c", np.array([100.0]), np.array([100.0]), np.array([1.0]), 0.05, np.array([0.2]))
report["array"] = [type(result).__name__, result.tolist()]
print(json.dumps(report))
"""


def test_first_array_call_without_numpy_then_with_it():
    report = json.loads(run_python(WITHOUT_NUMPY))
    assert report["scalar"] == kf.bs_delta("c", 100.0, 100.0, 1.0, 0.05, 0.2)
    assert len(report["failures"]) == 2
    for qualified, is_exception, args in report["failures"]:
        assert (qualified, is_exception, len(args)) == ("pyo3_runtime.PanicException", False, 1)
        assert args[0].startswith("Failed to access NumPy array API capsule: ")
        assert "numpy is blocked here" in args[0]
    assert report["array"] == ["ndarray", [report["scalar"]]]


def test_registry_lives_on_the_installed_numpys_core():
    output = run_python(f"""
import json, sys, numpy as np, _kestrelfin as kf
major = np.lib.NumpyVersion(np.__version__).major
expected, other = ("numpy.core", "numpy._core") if major < 2 else ("numpy._core", "numpy.core")
kf.black76_black_array("c", np.ones(2), np.ones(2), np.ones(2), 0.0, np.ones(2))
module = vars(sys.modules[expected + ".multiarray"])
print(json.dumps([major, type(module.get("{ATTRIBUTE}")).__name__, type(module["_ARRAY_API"]).__name__,
                  other in sys.modules]))
""")
    # The registry sits on the module the API came from (numpy.core for
    # NumPy 1.x, numpy._core from 2.0), and the other package stayed unloaded.
    assert json.loads(output) == [np.lib.NumpyVersion(np.__version__).major, "PyCapsule", "PyCapsule", False]
