"""Python code that tries to kill the process or to slip past a read borrow:
an error whose message cannot be created for want of memory, foreign
capsules under the attribute names where the module looks for NumPy's API
table and the shared borrow record, and an array whose memory moves while
the call converts its other arguments.

Each attack runs in a child interpreter where it could crash the process or
where it has to come before the module's first array call."""

import ctypes
import json
import pathlib

import numpy as np
import pytest

import _kestrelfin as kf
from call_model import BorrowRegistry
from conftest import run_python

ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
REGISTRY_ATTRIBUTE = "_RUST_NUMPY_BORROW_CHECKING_API"
REGISTRY_ERROR = "Interal borrow checking API error: "
NUMPY_API_ERROR = "Failed to access NumPy array API capsule: "

# What every child interpreter starts with: the module, NumPy, the test
# helpers, the multiarray module where the capsules live, and a way to name
# an exception's class and to make a capsule of any name through the C API.
PRELUDE = f"""
import ctypes, datetime, importlib, json, re, resource, sys
sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
import numpy as np
import _kestrelfin as kf
from call_model import ACQUIRE, RELEASE, SharedBorrowRecord

major = np.lib.NumpyVersion(np.__version__).major
multiarray = importlib.import_module("numpy.core.multiarray" if major < 2 else "numpy._core.multiarray")

def outcome(function, *args):
    try:
        function(*args)
    except BaseException as error:
        cls = type(error)
        return [cls.__module__ + "." + cls.__qualname__, isinstance(error, Exception), list(error.args)]
    return ["returned"]

_capsule_new = ctypes.pythonapi.PyCapsule_New
_capsule_new.restype = ctypes.py_object
_capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
keep_alive = []

def capsule(pointer, name):
    name = ctypes.create_string_buffer(name.encode())  # the capsule keeps a pointer to its name
    keep_alive.append(name)
    return _capsule_new(pointer, name, None)
"""


def panic(message_start):
    """The outcome() of a PanicException whose message starts so."""
    def matches(result):
        return (len(result) == 3 and result[:2] == ["pyo3_runtime.PanicException", False]
                and len(result[2]) == 1 and result[2][0].startswith(message_start))
    return matches


# --- an error message that cannot be created -----------------------------------------

# The flag message quotes the flag, each DEL character as \u{7f}: a flag of
# two million characters makes a ValueError of about 12 MB. The address
# space is capped at a chosen margin above what the process uses, and the
# call either finds the memory for its error or raises MemoryError; nothing
# in between may end the process. The margins are bisected between one far
# too small for the message and one large enough for it, which probes the
# narrow band just below the smallest margin that gives the ValueError,
# where the text can be formatted but not turned into a str and where the
# call used to abort. glibc's allocation thresholds are pinned so that
# memory freed by one attempt is unmapped before the next, as in a fresh
# process (its adaptive thresholds would keep it mapped and shift the
# margins); under a sanitizer's allocator they stay as they are, and the
# attempts still have to end in one of the two exceptions.
MESSAGE_TOO_LARGE = PRELUDE + r"""
libc = ctypes.CDLL(None)
M_TRIM_THRESHOLD, M_MMAP_THRESHOLD = -1, -3
pinned = [libc.mallopt(M_MMAP_THRESHOLD, 256 * 1024), libc.mallopt(M_TRIM_THRESHOLD, 256 * 1024)]
z = np.ones(1)
call = {"bs_delta": lambda flag: kf.bs_delta(flag, 1.0, 1.0, 1.0, 0.0, 1.0),
        "bs_delta_array": lambda flag: kf.bs_delta_array(flag, z, z, z, 0.0, z)}[NAME]
call("c")  # NumPy's API, the registry, the result type: made before the cap
flag = "\x7f" * 2_000_000
message = "flag must be 'c' or 'p', got \"" + "\\u{7f}" * 2_000_000 + "\""

def attempt(margin_mib):
    with open("/proc/self/status") as status:
        used = int(re.search(r"VmSize:\s+(\d+)", status.read()).group(1)) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (used + margin_mib * 2**20, resource.RLIM_INFINITY))
    try:
        call(flag)
        return "returned"
    except BaseException as error:
        if type(error) is ValueError and error.args != (message,):
            return "ValueError with another message"
        return type(error).__name__
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

low, high = 4, 132
outcomes = {low: attempt(low), high: attempt(high)}
while high - low > 1:
    middle = (low + high) // 2
    outcomes[middle] = attempt(middle)
    low, high = (low, middle) if outcomes[middle] == "ValueError" else (middle, high)
after = call("p")
print(json.dumps({"outcomes": outcomes, "pinned": pinned,
                  "after": after if NAME == "bs_delta" else after.tolist()}))
"""


# AddressSanitizer's operator new reports exhausted memory and ends the
# process instead of throwing std::bad_alloc, so under it the smaller
# margins cannot end in MemoryError; the test runs in the ordinary builds.
UNDER_ADDRESS_SANITIZER = hasattr(ctypes.CDLL(None), "__asan_init")


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer's operator new cannot fail with bad_alloc")
@pytest.mark.parametrize("name", ["bs_delta", "bs_delta_array"])
def test_error_message_that_cannot_be_created_raises_memory_error(name):
    report = json.loads(run_python(MESSAGE_TOO_LARGE.replace("NAME", repr(name))))
    outcomes = {int(margin): result for margin, result in report["outcomes"].items()}
    assert set(outcomes.values()) == {"MemoryError", "ValueError"}, outcomes
    assert outcomes[4] == "MemoryError" and outcomes[132] == "ValueError", outcomes
    # The process lives on and its next call works.
    expected = kf.bs_delta("p", 1.0, 1.0, 1.0, 0.0, 1.0)
    assert report["after"] == (expected if name == "bs_delta" else [expected])


# --- foreign capsules where the module looks for NumPy's and the registry's --------------

# A capsule is put under the attribute before the module's first array call.
# The call must fault with the documented message instead of using the
# capsule's pointer, leave the attribute alone, and work once the attribute
# is right again (for the registry: absent, so that the module publishes
# its own).
FOREIGN_CAPSULE = PRELUDE + r"""
attribute = ATTRIBUTE
original = vars(multiarray).get(attribute)
foreign = {"datetime": datetime.datetime_CAPI,
           "NumPy's API table": multiarray._ARRAY_API,
           "a registry's name": capsule(id(keep_alive), "_RUST_NUMPY_BORROW_CHECKING_API")}[FOREIGN]
setattr(multiarray, attribute, foreign)
z = np.zeros(2)
report = {"failures": [outcome(kf.bs_delta_array, "c", z, z, z, 0.0, z) for _ in range(2)],
          "left alone": getattr(multiarray, attribute) is foreign}
if original is None:
    delattr(multiarray, attribute)
else:
    setattr(multiarray, attribute, original)
S = np.array([100.0, 90.0])
report["after"] = kf.bs_delta_array("c", S, np.full(2, 95.0), np.full(2, 0.5), 0.01, np.full(2, 0.2)).tolist()
print(json.dumps(report))
"""


def test_foreign_capsules_are_refused():
    cases = [(REGISTRY_ATTRIBUTE, "datetime", REGISTRY_ERROR),
             (REGISTRY_ATTRIBUTE, "NumPy's API table", REGISTRY_ERROR),
             ("_ARRAY_API", "datetime", NUMPY_API_ERROR),
             ("_ARRAY_API", "a registry's name", NUMPY_API_ERROR)]
    expected = [kf.bs_delta("c", S, 95.0, 0.5, 0.01, 0.2) for S in (100.0, 90.0)]
    for attribute, foreign, message_start in cases:
        report = json.loads(run_python(FOREIGN_CAPSULE.replace("ATTRIBUTE", repr(attribute))
                                       .replace("FOREIGN", repr(foreign))))
        for failure in report["failures"]:
            assert panic(message_start)(failure), (attribute, foreign, failure)
        assert report["left alone"], (attribute, foreign)
        assert report["after"] == expected, (attribute, foreign)


# A registry of another module, published under the attribute with the
# capsule named like it: the module must use it, and the log shows every
# acquisition and release with the memory the array had at that moment.
# REFUSE decides the code the registry answers for a borrow of given bytes.
LOGGING_REGISTRY = PRELUDE + r"""
log, refused = [], {}
names = {}

def event(kind, array):
    return [kind, names.get(id(array), "?"), array.ctypes.data, len(array)]

def acquire_read(registry, array):
    log.append(event("acquire", array))
    return refused.get(array.ctypes.data, 0)

def release_read(registry, array):
    log.append(event("release", array))

def never(registry, array):
    raise AssertionError("a write entry was called")

entries = [ACQUIRE(acquire_read), ACQUIRE(never), RELEASE(release_read), RELEASE(never)]
record = SharedBorrowRecord(1, None, *entries)
setattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API",
        capsule(ctypes.addressof(record), "_RUST_NUMPY_BORROW_CHECKING_API"))

X = np.full(8, 100.0)
Y = np.full(8, 90.0)
names.update({id(X): "X", id(Y): "Y"})
moved = {}

class Rate:
    # Moves X's memory and keeps its length, as in a resize there and back.
    def __float__(self):
        moved["old"] = X.ctypes.data
        X.resize(100_000, refcheck=False)
        X.resize(8, refcheck=False)
        moved["new"] = X.ctypes.data
        refused.update(REFUSE)
        return 0.05

result = outcome(kf.bs_delta_array, "c", X, Y, Y, Rate(), Y)
print(json.dumps({"result": result, "log": log, "old": moved["old"], "new": moved["new"]}))
"""


def run_logging_registry(refuse):
    report = json.loads(run_python(LOGGING_REGISTRY.replace("REFUSE", refuse)))
    old, new = report["old"], report["new"]
    assert old != new  # the resize moved the memory
    return report["result"], [tuple(e) for e in report["log"]], old, new


def conversions(old, y):
    # S, K and t, then sigma after the rate's conversion: the parameter order.
    return [("acquire", "X", old, 8), ("acquire", "Y", y, 8), ("acquire", "Y", y, 8), ("acquire", "Y", y, 8)]


def test_borrow_follows_memory_moved_during_the_call():
    result, log, old, new = run_logging_registry("{}")
    assert result == ["returned"]
    y = log[1][2]
    # The borrow of X is released and taken again over its new memory, and
    # everything is released once at the end, the last acquired first.
    assert log == conversions(old, y) + [("release", "X", new, 8), ("acquire", "X", new, 8)] + \
        [("release", "Y", y, 8)] * 3 + [("release", "X", new, 8)]


def test_moved_borrow_refused_ends_the_call_and_is_not_released_twice():
    for code, message in ((-1, ALREADY_BORROWED), (7, "Unexpected return code 7 from borrow checking API")):
        result, log, old, new = run_logging_registry(f"{{moved['new']: {code}}}")
        assert result == ["pyo3_runtime.PanicException", False, [message]]
        y = log[1][2]
        # The refused borrow is not released; the others are, once each.
        assert log == conversions(old, y) + [("release", "X", new, 8), ("acquire", "X", new, 8)] + \
            [("release", "Y", y, 8)] * 3


# The same with the registry this module publishes, as another module
# sharing it would use it: the rate's conversion moves X's memory and is
# then granted X for writing, since the call's borrow still covers the old
# bytes. The call must not go on to read memory held for writing.
def test_write_borrow_of_moved_memory_stops_the_call():
    registry = BorrowRegistry()
    X = np.full(8, 100.0)
    Y = np.full(8, 100.0)
    codes = []

    class Rate:
        def __float__(self):
            X.resize(100_000, refcheck=False)
            X.resize(8, refcheck=False)
            codes.append(registry.write_acquire(X))
            return 0.05

    try:
        with pytest.raises(BaseException) as info:
            kf.bs_delta_array("c", X, Y, Y, Rate(), Y)
    finally:
        if codes == [0]:
            registry.write_release(X)
    assert codes == [0]
    cls = type(info.value)
    assert f"{cls.__module__}.{cls.__qualname__}" == "pyo3_runtime.PanicException"
    assert info.value.args == (ALREADY_BORROWED,)
    # No read borrow is left behind, of the old memory or the new.
    assert registry.free_for_writing(X) and registry.free_for_writing(Y)
    expected = kf.bs_delta("c", 100.0, 100.0, 100.0, 0.05, 100.0)
    assert kf.bs_delta_array("c", X, Y, Y, 0.05, Y).tolist() == [expected] * 8
