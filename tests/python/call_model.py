"""A model, written in Python, of how a call of one of the module's functions
matches and converts its arguments and which error it ends with.

The fuzzers (test_fuzz.py, tests/fuzz/fuzz_arguments.py) throw arbitrary
calls at the module and compare what it does with what this model predicts:
the model follows the documented call protocol step by step, and takes the
interpreter's own number conversion (PyFloat_AsDouble, called through
ctypes) for objects whose conversion has no side effects.

Not a test module: pytest does not collect it.
"""

import contextlib
import ctypes
import functools
import os
import struct
import sys
import warnings

import numpy as np

import _kestrelfin as kf
from shared import (FLAG_TEXT, IV_ERRORS, MISMATCH, NOT_CONTIGUOUS, QNAN_BITS, array_parameters, bits,
                    is_array_function, is_iv, parameters)

NAMES = [n for n in kf.__all__ if n != "__version__"]

_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.restype = ctypes.c_double
_as_double.argtypes = [ctypes.py_object]

# PyObject_Call with a keyword dictionary the caller keeps: the interpreter's
# own call paths always pass a fresh dictionary, C callers need not.
_object_call = ctypes.pythonapi.PyObject_Call
_object_call.restype = ctypes.py_object
_object_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.c_void_p]


def call_through_c_api(function, args, kwargs):
    """Calls function(*args, **kwargs) as a C caller would, handing over the
    tuple and the dictionary themselves (None stands for no dictionary)."""
    return _object_call(function, tuple(args), None if kwargs is None else id(kwargs))


def length_text(name):
    return ", ".join(array_parameters(name)) + " arrays must have equal length"


def scalar_form(name):
    return name[:-len("_array")] if is_array_function(name) else name


def fresh_float(x):
    """A new float object with exactly the bits of x (float(x) would return x
    itself), so that the caller's container can be its only owner."""
    return struct.unpack("<d", struct.pack("<d", x))[0]


class Expected(Exception):
    """The model's prediction of a failed call: the exception's exact class,
    its text (or a predicate on it), and the very object when the module must
    pass on an exception unchanged."""

    def __init__(self, cls, text=None, same=None, text_check=None, own=True):
        super().__init__(cls, text)
        self.cls, self.text, self.same, self.text_check, self.own = cls, text, same, text_check, own

    def matches(self, error):
        if type(error) is not self.cls:
            return False
        if self.same is not None:
            return error is self.same
        if self.text_check is not None:
            return self.text_check(str(error)) and error.args == (str(error),)
        # The module's own errors carry their text as the only argument;
        # errors passed on from a conversion keep whatever they had.
        return error.args == (self.text,) if self.own else str(error) == self.text

    def __repr__(self):
        return f"Expected({self.cls.__name__}, {self.text!r}, same={self.same!r})"


def type_name(obj):
    return type(obj).__qualname__


# --- argument matching ---------------------------------------------------------

def name_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 1:
        return quoted[0]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def utf8_or_none(text):
    try:
        return str.encode(text, "utf-8")
    except UnicodeEncodeError:
        return None


def match(name, args, kwargs):
    """The parameter -> argument mapping of a call, or raises Expected."""
    params = parameters(name)
    function = name + "()"
    if len(args) > len(params):
        raise Expected(TypeError, f"{function} takes {len(params)} positional arguments but {len(args)} were given")
    slots = dict(zip(params, args))
    for key, value in (kwargs or {}).items():
        text = utf8_or_none(key) if isinstance(key, str) else None
        parameter = next((p for p in params if text is not None and p.encode() == text), None)
        if parameter is None:
            raise Expected(TypeError, f"{function} got an unexpected keyword argument '{key}'")
        if parameter in slots:
            raise Expected(TypeError, f"{function} got multiple values for argument '{parameter}'")
        slots[parameter] = value
    missing = [p for p in params if p not in slots]
    if missing:
        noun = "argument" if len(missing) == 1 else "arguments"
        raise Expected(TypeError, f"{function} missing {len(missing)} required positional {noun}: "
                                  f"{name_list(missing)}")
    return slots


# --- conversions ---------------------------------------------------------------

def convert_text(obj):
    """The flag's text, or raises Expected."""
    if not isinstance(obj, str):
        raise Expected(TypeError, f"argument 'flag': '{type_name(obj)}' object cannot be converted to 'PyString'")
    try:
        str.encode(obj, "utf-8")
    except UnicodeEncodeError as error:
        raise Expected(UnicodeEncodeError, str(error), own=False) from None
    return str.__str__(obj)


def reference_double(obj):
    """The interpreter's conversion of a number argument, for objects whose
    conversion has no side effects: (value, None) or (None, exception)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return _as_double(obj), None
        except BaseException as error:  # noqa: BLE001 - whatever __float__ raises
            return None, error


class _Raising:
    def __init__(self, error=None):
        self.error = error or LookupError("probe")

    def __float__(self):
        raise self.error


@functools.cache
def panic_exception_class():
    """PanicException: the module's own class, created once the module has
    taken an exception from the interpreter. Other extension modules of the
    process may have classes of the same qualified name (hypothesis has one),
    so each candidate is told apart by what the module does with it: its
    own class comes back as a new instance with the same message, any other
    exception object as itself."""
    try:
        kf.bs_delta("c", _Raising(), 1.0, 1.0, 0.0, 0.2)
    except LookupError:
        pass
    candidates = [c for c in BaseException.__subclasses__()
                  if c.__module__ == "pyo3_runtime" and c.__qualname__ == "PanicException"]
    own = []
    for candidate in candidates:
        sent = candidate("which class")
        with _stderr_discarded():
            try:
                kf.bs_delta("c", _Raising(sent), 1.0, 1.0, 0.0, 0.2)
            except BaseException as error:  # noqa: BLE001
                if error is not sent and type(error) is candidate:
                    own.append(candidate)
    assert len(own) == 1, candidates
    return own[0]


@contextlib.contextmanager
def _stderr_discarded():
    """The resumed fault writes a notice and a traceback to file descriptor 2."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 2)
            yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def conversion_error(parameter, error, identical=False):
    """How the module reports a failed number conversion: exactly TypeError
    gets the argument prefix, a PanicException coming back from Python code
    is raised anew with its message, any other exception passes unchanged."""
    if type(error) is TypeError:
        return Expected(TypeError, f"argument '{parameter}': {error}")
    if type(error) is panic_exception_class():
        return Expected(type(error), str(error))
    return Expected(type(error), str(error), same=error if identical else None, own=False)


def quoted(text):
    """The flag text as the error message writes it, for ASCII texts."""
    escapes = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\r": "\\r", "\t": "\\t", "\0": "\\0"}
    out = []
    for ch in text:
        if ch in escapes:
            out.append(escapes[ch])
        elif " " <= ch <= "~":
            out.append(ch)
        else:
            out.append("\\u{%x}" % ord(ch))
    return '"' + "".join(out) + '"'


def unquote(literal):
    """Reads a quoted flag literal back; None when it is malformed."""
    if len(literal) < 2 or literal[0] != '"' or literal[-1] != '"':
        return None
    body, out, i = literal[1:-1], [], 0
    simple = {'"': '"', "\\": "\\", "n": "\n", "r": "\r", "t": "\t", "0": "\0"}
    while i < len(body):
        ch = body[i]
        if ch == '"':
            return None
        if ch != "\\":
            out.append(ch)
            i += 1
            continue
        if i + 1 >= len(body):
            return None
        nxt = body[i + 1]
        if nxt in simple:
            out.append(simple[nxt])
            i += 2
        elif nxt == "u" and body[i + 2:i + 3] == "{":
            end = body.find("}", i)
            if end < 0:
                return None
            out.append(chr(int(body[i + 3:end], 16)))
            i = end + 1
        else:
            return None
    return "".join(out)


def parse_flag(text):
    """'c' or 'p', or raises Expected."""
    if text == "":
        raise Expected(ValueError, FLAG_TEXT)
    if text[0] in "cC":
        return "c"
    if text[0] in "pP":
        return "p"
    prefix = FLAG_TEXT + ", got "
    if text.isascii():
        raise Expected(ValueError, prefix + quoted(text))

    def check(message):
        return message.startswith(prefix) and unquote(message[len(prefix):]) == text

    raise Expected(ValueError, text_check=check)


# --- arrays --------------------------------------------------------------------

class ArrayState:
    """What the module can see of an array argument at one moment."""

    def __init__(self, array):
        self.type_name = type_name(array)
        self.is_ndarray = isinstance(array, np.ndarray)
        self.accepted = self.is_ndarray and array.ndim == 1 and array.dtype == np.dtype(np.float64)
        self.length = array.shape[0] if self.accepted else None
        self.contiguous = self.accepted and (array.flags.c_contiguous or array.flags.f_contiguous)
        # The element values as the module would read them (native float64).
        self.values = np.array(array, dtype=np.float64, copy=True) if self.accepted else None

    def __repr__(self):
        return f"ArrayState({self.type_name}, accepted={self.accepted}, n={self.length})"


def predict(name, convert_flag, convert_number, array_state):
    """Runs the documented steps of a call in order and returns
    ('ok', flag, numbers, settled), or raises the Expected error.

    The steps ask three callbacks, each of which may raise Expected:
    convert_flag() gives the flag's text; convert_number(p) the double of
    number parameter p (it runs the argument's conversion, with whatever that
    does to the arrays); array_state(p) the ArrayState of the array argument
    of p as it stands at that moment.
    """
    params = parameters(name)
    arrays = array_parameters(name)
    order = [p for p in params if p != "flag"] + ["flag"] if is_iv(name) else params
    text = None
    numbers = {}
    for p in order:
        if p == "flag":
            text = convert_flag()
        elif p in arrays:
            state = array_state(p)
            if not state.accepted:
                raise Expected(TypeError, MISMATCH.format(p, state.type_name))
        else:
            numbers[p] = convert_number(p)
    flag = parse_flag(text)
    # The arrays are read again once every conversion has run.
    settled = {p: array_state(p) for p in arrays}
    for p in arrays:
        if not settled[p].accepted:
            raise Expected(TypeError, MISMATCH.format(p, settled[p].type_name))
    for p in arrays:
        if not settled[p].contiguous:
            raise Expected(TypeError, NOT_CONTIGUOUS)
    if len({settled[p].length for p in arrays}) > 1:
        raise Expected(ValueError, length_text(name))
    return "ok", flag, numbers, settled


def canonical_call(name, flag, numbers):
    """The scalar function called with plain floats in signature order:
    ('value', bits) or ('error', class, text)."""
    function = getattr(kf, scalar_form(name))
    args = [flag if p == "flag" else numbers[p] for p in parameters(scalar_form(name))]
    try:
        return "value", bits(function(*args))
    except (ValueError, RuntimeError) as error:
        return "error", type(error), str(error)


def expected_elements(name, flag, numbers, settled):
    """Bits of every element: the scalar function on the values the arrays held
    when the element loop ran; a solver failure stands as the quiet NaN."""
    arrays = array_parameters(name)
    n = settled[arrays[0]].length
    columns = {p: settled[p].values.tolist() for p in arrays}
    out = []
    for i in range(n):
        element = dict(numbers, **{p: columns[p][i] for p in arrays})
        outcome = canonical_call(name, flag, element)
        if outcome[0] == "value":
            out.append(outcome[1])
        else:
            assert is_iv(name) and outcome[1:] in IV_ERRORS, outcome
            out.append(QNAN_BITS)
    return np.array(out, dtype=np.uint64)


# --- the shared borrow registry ---------------------------------------------

ACQUIRE = ctypes.PYFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.py_object)
RELEASE = ctypes.PYFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)


class SharedBorrowRecord(ctypes.Structure):
    """The record's layout: a version, the registry and its four entries."""
    _fields_ = [("version", ctypes.c_uint64), ("registry", ctypes.c_void_p), ("acquire_read", ACQUIRE),
                ("acquire_write", ACQUIRE), ("release_read", RELEASE), ("release_write", RELEASE)]


class BorrowRegistry:
    """The record on NumPy's multiarray module, used the way another
    extension module sharing it would."""

    def __init__(self):
        import importlib
        kf.bs_delta_array("c", np.ones(1), np.ones(1), np.ones(1), 0.0, np.ones(1))  # makes sure it exists
        major = np.lib.NumpyVersion(np.__version__).major
        multiarray = importlib.import_module("numpy.core.multiarray" if major < 2 else "numpy._core.multiarray")
        self.capsule = getattr(multiarray, "_RUST_NUMPY_BORROW_CHECKING_API")
        api = ctypes.pythonapi
        api.PyCapsule_GetName.restype = ctypes.c_char_p
        api.PyCapsule_GetName.argtypes = [ctypes.py_object]
        api.PyCapsule_GetPointer.restype = ctypes.c_void_p
        api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        pointer = api.PyCapsule_GetPointer(self.capsule, api.PyCapsule_GetName(self.capsule))
        self.record = SharedBorrowRecord.from_address(pointer)

    def write_acquire(self, array):
        return self.record.acquire_write(self.record.registry, array)

    def write_release(self, array):
        self.record.release_write(self.record.registry, array)

    def free_for_writing(self, array):
        """True when the array can at once be held for writing, i.e. no read
        borrow of its memory was left behind (read-only arrays: -2 says the
        registry looked at the array itself and found it not writeable)."""
        code = self.write_acquire(array)
        if code == 0:
            self.write_release(array)
        return code == (0 if array.flags.writeable else -2)
