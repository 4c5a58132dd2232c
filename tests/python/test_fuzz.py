"""Property-based fuzzing of all 102 functions.

Each example is one call with arbitrary positional and keyword arguments of
arbitrary types: floats of every class (NaNs with payloads, infinities,
signed zeros, subnormals), huge ints, bools, NumPy scalars, strs, None,
objects whose __float__ or __index__ raise, return non-floats, or write
into, resize, reshape, retype or drop the arrays of the same call, and arrays
of every dtype, dimensionality, byte order, stride, alignment and
writeability, empty and one-element ones included. About half the calls are
well-formed so that the success path is fuzzed as much as the failures.

What the module does is compared with call_model's prediction, step by step
of the documented call protocol:
- only the predicted exception comes out (class and text; the very object
  where it must pass unchanged), so nothing but the documented classes can;
- each argument's conversion runs exactly when the protocol reaches it, once;
- a result equals the scalar function bit for bit, element by element, on the
  values the arrays held when the element loop ran (after any __float__
  wrote into them);
- no input array changes except by the test's own __float__ methods, and no
  borrow is left behind.

Profiles (environment variable KESTRELFIN_FUZZ_PROFILE, read here only):
  ci    (default) derandomized, so every run draws the same examples;
  long  many more examples from a random seed; reproduce a failure with the
        seed hypothesis prints (pytest --hypothesis-seed=N) or its blob.
"""

import array as std_array
import decimal
import fractions
import math
import os
import struct
import warnings
import weakref

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _kestrelfin as kf
import call_model as cm

_common = dict(deadline=None, database=None, print_blob=True,
               suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile("kestrelfin-ci", max_examples=int(os.environ.get("KESTRELFIN_FUZZ_EXAMPLES", "40")),
                          derandomize=True, **_common)
settings.register_profile("kestrelfin-long",
                          max_examples=int(os.environ.get("KESTRELFIN_FUZZ_EXAMPLES", "2000")), **_common)
FUZZ = settings.get_profile("kestrelfin-" + os.environ.get("KESTRELFIN_FUZZ_PROFILE", "ci"))

PANIC = cm.panic_exception_class()
REGISTRY = None  # created on first use, after NumPy's API has been found


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, from_bits(0xFFF8000000000000), from_bits(0x7FF800000000BEEF),
           from_bits(0x7FF0000000000001), from_bits(0xFFF4000000000000), 5e-324, -5e-324, 2.225073858507201e-308,
           2.2250738585072014e-308, 1e-300, 1e300, 1.7976931348623157e308, -1.7976931348623157e308, -1.0, 1.0]
DOMAIN = {"S": (1.0, 300.0), "F": (1.0, 300.0), "K": (1.0, 300.0), "t": (1e-3, 5.0), "r": (-0.1, 0.2),
          "sigma": (0.01, 2.0), "q": (-0.05, 0.1), "price": (0.0, 120.0)}


def floats_for(p):
    domain = st.floats(*DOMAIN[p])
    return st.one_of(domain, domain, domain, st.sampled_from(SPECIAL),
                     st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True))


# --- argument objects with behaviour of their own --------------------------------

class Boom(Exception):
    pass


class Halt(BaseException):
    pass


class TypeErrorSub(TypeError):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class Tagged(np.ndarray):
    pass


class Evil:
    """Counts how often the module converts it."""
    calls = 0


class Raiser(Evil):
    def __init__(self, error):
        self.error = error

    def __float__(self):
        self.calls += 1
        raise self.error


class Returner(Evil):
    def __init__(self, value):
        self.value = value

    def __float__(self):
        self.calls += 1
        return self.value


class IndexOnly(Evil):
    def __init__(self, value):
        self.value = value

    def __index__(self):
        self.calls += 1
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Mutator(Evil):
    """A number whose __float__ first does something to the call's arrays
    (or to the containers holding the call's arguments), then records what
    the arrays look like, then returns its value."""

    def __init__(self, call, actions, value):
        self.call, self.actions, self.value = call, actions, value
        self.snapshots = []

    def __float__(self):
        self.calls += 1
        for action in self.actions:
            self.call.perform(action)
        self.snapshots.append(self.call.snapshot())
        return self.value


class Call:
    """One fuzzed call: the objects it was built from, held weakly where the
    module alone should keep them alive, and what its __float__ methods did."""

    def __init__(self, name):
        self.name = name
        self.holder = []        # the test's own strong references, dropped by a "drop" action
        self.arrays = []        # weak references to every array made for the call, bases included
        self.targets = []       # weak references to the arrays a Mutator acts on
        self.evil = []          # objects with conversion methods of their own
        self.mutators = []
        self.c_api = False      # called through PyObject_Call with the test's own containers
        self.kwargs = None      # the keyword dictionary, when the C API path hands it over as it is
        self.timeline = []      # the snapshots, in the order the Mutators ran
        self.nested = []        # outcomes of calls made from inside a conversion

    def keep(self, obj):
        self.holder.append(obj)
        if isinstance(obj, np.ndarray):
            chain = obj
            while isinstance(chain, np.ndarray):
                self.arrays.append(weakref.ref(chain))
                chain = chain.base
        if isinstance(obj, Evil):
            self.evil.append(obj)
        return obj

    def alive(self, refs):
        out = []
        for ref in refs:
            obj = ref()
            if obj is not None and all(o is not obj for o in out):
                out.append(obj)
        return out

    def perform(self, action):
        kind = action[0]
        if kind == "drop":
            self.holder.clear()
            if self.kwargs is not None:
                self.kwargs.clear()
            return
        if kind == "reenter":
            self.reenter()
            return
        targets = self.alive(self.targets)
        if not targets:
            return
        array = targets[action[1] % len(targets)]
        try:
            if kind == "write" and array.size:
                array.flat[action[2] % array.size] = action[3]
            elif kind == "resize":
                array.resize(action[2], refcheck=False)
            elif kind == "reshape":
                array.shape = (array.size, 1)
            elif kind == "retype":
                array.dtype = action[2]
            elif kind == "zero-stride":
                array.strides = (0,)
            elif kind == "freeze":
                array.flags.writeable = False
        except (ValueError, TypeError, AttributeError):
            pass  # NumPy refused: nothing changed

    def reenter(self):
        """Calls the module again from inside a conversion, on fresh arrays
        and on every call array that is usable right now: more read borrows
        of memory the outer call is reading."""
        fresh = np.linspace(50.0, 150.0, 3)
        self.nested.append(kf.bsm_gamma_array("c", fresh, fresh, fresh / 100, 0.01, fresh / 500, 0.0))
        self.nested.append(kf.black76_vanna("p", 100.0, 90.0, 0.5, 0.02, 0.3))
        for array in self.alive(self.targets):
            state = cm.ArrayState(array)
            if state.accepted and state.contiguous:
                self.nested.append(kf.bs_vega_array("c", array, array, array, 0.05, array))

    def snapshot(self):
        states = {id(a): cm.ArrayState(a) for a in self.alive(self.targets)}
        raw = {id(a): a.tobytes() for a in self.alive(self.arrays)}
        self.timeline.append(raw)
        return states


# --- strategies ------------------------------------------------------------------

def fresh_text(text):
    """A str object of its own (single characters are shared singletons)."""
    return "".join([ch for ch in text])


FLAG_TEXTS = ["c", "p", "C", "P", "call", "put", "Call", "PUT", "cx", "p\u00e9", "", " call", "\tc", "x",
              "\u0301c", "\u00e9", "\0", '"', "\\", "\U0001F600", "\u200bp", "\n", "cp\ud800", "\ud800",
              "\udfffc", "q", "-c", "\x7f", "a\"b\\c\nd"]


def draw_flag(data, call, chaotic):
    if not chaotic:
        return fresh_text(data.draw(st.sampled_from(["c", "p", "C", "P", "call", "Put", "pUT", "cALL"])))
    kind = data.draw(st.sampled_from(["listed", "listed", "text", "prefixed", "subclass", "other"]))
    if kind == "listed":
        return fresh_text(data.draw(st.sampled_from(FLAG_TEXTS)))
    if kind == "text":
        return fresh_text(data.draw(st.text(st.characters(codec=None), max_size=5)))
    if kind == "prefixed":
        return fresh_text(data.draw(st.sampled_from("cCpP")) + data.draw(st.text(max_size=4)))
    if kind == "subclass":
        return StrSub(data.draw(st.sampled_from(["c", "put", "x", ""])))
    makers = [lambda: 1, lambda: None, lambda: b"c", lambda: ["c"], lambda: ("p",), lambda: np.str_("c"),
              lambda: np.bytes_(b"c"), lambda: 0.5, lambda: Raiser(Boom("flag"))]
    return call.keep(data.draw(st.sampled_from(makers))())


ERRORS = [lambda: Boom("boom"), lambda: ValueError("bad value"), lambda: TypeError("bad type"),
          lambda: TypeErrorSub("bad subtype"), lambda: ZeroDivisionError("zero"), lambda: OverflowError("huge"),
          lambda: Halt("halt"), lambda: MemoryError("no memory"), lambda: PANIC("panic from __float__"),
          lambda: ArithmeticError()]
RETURNS = [lambda: 1, lambda: "x", lambda: None, lambda: 2.5, lambda: FloatSub(-0.0), lambda: True,
           lambda: np.float64(3.5), lambda: 10 ** 400, lambda: complex(1, 0), lambda: math.nan]
INDICES = [lambda: 7, lambda: -3, lambda: 2 ** 2000, lambda: -(2 ** 1024), lambda: 1.5, lambda: True,
           lambda: np.int64(5), lambda: "3", lambda: Boom("index"), lambda: TypeError("index type")]
OTHERS = [lambda: "0.03", lambda: "", lambda: None, lambda: b"1", lambda: [1.0], lambda: (1.0,), lambda: {},
          lambda: complex(1, 0), lambda: decimal.Decimal("1.5"), lambda: decimal.Decimal("sNaN"),
          lambda: decimal.Decimal("-nan"), lambda: fractions.Fraction(1, 3), lambda: object(),
          lambda: np.array(0.25), lambda: np.array([0.5]), lambda: np.zeros(3), lambda: np.float32(0.1),
          lambda: np.float16(-0.0), lambda: np.longdouble("0.1"), lambda: np.int64(-7), lambda: np.uint8(200),
          lambda: np.bool_(True), lambda: np.complex128(2 + 0j), lambda: np.float64(math.nan)]


def draw_number(data, call, p, chaotic, mutable):
    kinds = ["float"] * 6 + ["int", "bool", "numpy"]
    if chaotic:
        kinds += ["float", "bigint", "other", "other", "raise", "return", "index"]
    if mutable:
        kinds += ["mutate"] * 4
    kind = data.draw(st.sampled_from(kinds))
    if kind == "float":
        return cm.fresh_float(data.draw(floats_for(p)))
    if kind == "int":
        return data.draw(st.integers(-10 ** 6, 10 ** 6))
    if kind == "bool":
        return data.draw(st.booleans())
    if kind == "numpy":
        x = data.draw(floats_for(p))
        maker = data.draw(st.sampled_from([np.float64, np.float32, np.float16, np.longdouble]))
        with np.errstate(all="ignore"):
            return call.keep(maker(x))
    if kind == "bigint":
        magnitude = data.draw(st.one_of(st.integers(2 ** 1020, 2 ** 1100),
                                        st.sampled_from([2 ** 1024, 2 ** 1024 - 1, 2 ** 1024 - 2 ** 970,
                                                         2 ** 1024 - 2 ** 971, 10 ** 400, 2 ** 64 + 1])))
        return magnitude if data.draw(st.booleans()) else -magnitude
    if kind == "other":
        return call.keep(data.draw(st.sampled_from(OTHERS))())
    if kind == "raise":
        return call.keep(Raiser(data.draw(st.sampled_from(ERRORS))()))
    if kind == "return":
        return call.keep(Returner(data.draw(st.sampled_from(RETURNS))()))
    if kind == "index":
        return call.keep(IndexOnly(data.draw(st.sampled_from(INDICES))()))
    actions = data.draw(st.lists(st.one_of(
        st.tuples(st.just("write"), st.integers(0, 7), st.integers(0, 63), floats_for(p)),
        st.tuples(st.just("resize"), st.integers(0, 7), st.integers(0, 12)),
        st.tuples(st.just("reshape"), st.integers(0, 7)),
        st.tuples(st.just("retype"), st.integers(0, 7), st.sampled_from([np.int64, np.float32, np.uint8]).map(np.dtype)),
        st.tuples(st.just("zero-stride"), st.integers(0, 7)),
        st.tuples(st.just("freeze"), st.integers(0, 7)),
        st.just(("drop",)), st.just(("reenter",))), min_size=1, max_size=3))
    mutator = Mutator(call, actions, cm.fresh_float(data.draw(floats_for(p))))
    call.mutators.append(mutator)
    return call.keep(mutator)


VALID_ARRAYS = ["plain"] * 8 + ["subclass", "read-only", "from-bytes", "unaligned", "slice", "one-strided",
                                "native-order", "reuse"]
INVALID_ARRAYS = ["dtype", "byte-order", "ndim", "length", "strided", "reversed", "zero-stride", "not-array"]


def draw_array(data, call, p, n, chaotic, made):
    kind = data.draw(st.sampled_from(VALID_ARRAYS + (INVALID_ARRAYS if chaotic else [])))
    values = data.draw(st.lists(floats_for(p), min_size=n, max_size=n))
    base = np.array(values, dtype=np.float64)
    if kind == "reuse" and made:
        return data.draw(st.sampled_from(made))
    if kind == "subclass":
        return base.view(Tagged)
    if kind == "read-only":
        base.flags.writeable = False
        return base
    if kind == "from-bytes":
        return np.frombuffer(base.tobytes())
    if kind == "unaligned":
        return np.frombuffer(b"\0" + base.tobytes(), offset=1)
    if kind == "slice":
        return np.concatenate([[7.0], base, [9.0]])[1:n + 1]
    if kind == "one-strided" and n == 1:
        step = data.draw(st.sampled_from([2, 3, -1, -4]))
        return np.repeat(base, 8)[::step][:1]
    if kind == "native-order":
        return base.astype(np.dtype("=f8")).view(np.dtype("<f8" if np.little_endian else ">f8"))
    if kind == "dtype":
        dtype = data.draw(st.sampled_from([np.float32, np.float16, np.longdouble, np.complex128, np.int64,
                                           np.uint8, np.bool_, object, "U4", "V8", "datetime64[s]"]))
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                return base.astype(dtype)
            except (TypeError, ValueError):
                return np.zeros(n, dtype=dtype)
    if kind == "byte-order":
        return base.astype(base.dtype.newbyteorder())
    if kind == "ndim":
        shape = data.draw(st.sampled_from([(), (n, 1), (1, n), (1, n, 1), (n, 2)]))
        return np.resize(base, shape) if n else np.zeros(shape)
    if kind == "length":
        m = data.draw(st.integers(0, n + 3).filter(lambda m: m != n))
        return np.resize(base, m) if n else np.ones(m)
    if kind == "strided":
        return np.repeat(base, 2)[::2]
    if kind == "reversed":
        return base[::-1]
    if kind == "zero-stride" and n:
        return np.lib.stride_tricks.as_strided(base, shape=(n,), strides=(0,), writeable=False)
    if kind == "not-array":
        makers = [lambda: values, lambda: tuple(values), lambda: 1.0, lambda: None, lambda: "abc",
                  lambda: memoryview(base), lambda: std_array.array("d", values), lambda: np.float64(1.0),
                  lambda: Raiser(Boom("array"))]
        return data.draw(st.sampled_from(makers))()
    return base


UNKNOWN_KEYS = ["s", "Sigma", "sigma ", "flags", "\u03c3", "S\0", "\ud800", "x" * 40, "price_", "", "self",
                "args", "kwargs", "f"]
NON_STR_KEYS = [1, b"S", None, ("S",), 2.5]


def draw_call(data, name):
    """Builds the arguments of one call; returns (call, args, kwargs)."""
    call = Call(name)
    params = cm.parameters(name)
    arrays = cm.array_parameters(name)
    chaotic = data.draw(st.booleans())
    call.c_api = data.draw(st.booleans())
    n = data.draw(st.one_of(st.integers(0, 4), st.integers(0, 4), st.integers(0, 40)))
    values, made = {}, []
    for p in params:
        if p == "flag":
            values[p] = call.keep(draw_flag(data, call, chaotic))
        elif p in arrays:
            array = call.keep(draw_array(data, call, p, n, chaotic, made))
            if isinstance(array, np.ndarray):
                made.append(array)
                call.targets.append(weakref.ref(array))
            values[p] = array
        else:
            values[p] = call.keep(draw_number(data, call, p, chaotic, mutable=bool(arrays) or call.c_api))
    # How the arguments are passed: a positional prefix, the rest by keyword
    # in any order, and in chaotic calls surplus, missing, repeated and
    # unknown ones.
    split = data.draw(st.integers(0, len(params)))
    args = [values[p] for p in params[:split]]
    keywords = params[split:]
    extra = []
    if chaotic:
        if data.draw(st.integers(0, 5)) == 0:
            args += [call.keep(cm.fresh_float(1.0)) for _ in range(data.draw(st.integers(1, 2)))]
        if data.draw(st.integers(0, 3)) == 0:
            keywords = [p for p in keywords if data.draw(st.integers(0, 3))]
        if data.draw(st.integers(0, 4)) == 0 and split:
            keywords = keywords + [data.draw(st.sampled_from(params[:split]))]
        if data.draw(st.integers(0, 4)) == 0:
            extra.append(data.draw(st.sampled_from(UNKNOWN_KEYS + (NON_STR_KEYS if call.c_api else []))))
    order = data.draw(st.permutations(keywords + extra))
    kwargs = {key: (values[key] if key in values else call.keep(cm.fresh_float(0.5))) for key in order}
    if call.c_api:
        call.kwargs = kwargs if (kwargs or data.draw(st.booleans())) else None
        kwargs = call.kwargs
    return call, args, kwargs


# --- the model's side ------------------------------------------------------------

def prepare(call, args, kwargs):
    """What the model needs from the arguments, taken before the call so that
    nothing here keeps an argument alive: the matching, the flag's text, the
    arrays' states and the conversion of every argument without side
    effects. Returns an Expected error or the plan."""
    try:
        slots = cm.match(call.name, args, kwargs)
    except cm.Expected as error:
        return error
    arrays = cm.array_parameters(call.name)
    plan = {}
    for p, obj in slots.items():
        if p == "flag":
            try:
                plan[p] = ("text", fresh_text(cm.convert_text(obj)))
            except cm.Expected as error:
                plan[p] = ("error", error)
        elif p in arrays:
            plan[p] = ("array", id(obj), cm.ArrayState(obj))
        elif isinstance(obj, Mutator):
            plan[p] = ("mutator", obj)
        else:
            value, error = cm.reference_double(obj)
            plan[p] = ("number", value, error, obj if isinstance(obj, Evil) else None)
    return plan


def predict(call, plan):
    """Follows the protocol with what the Mutators recorded. Returns the
    prediction and the parameters whose conversion ran, in order."""
    states = {entry[1]: entry[2] for entry in plan.values() if entry[0] == "array"}
    pending = {id(m): list(m.snapshots) for m in call.mutators}
    converted = []

    def convert_flag():
        entry = plan["flag"]
        if entry[0] == "error":
            raise entry[1]
        return entry[1]

    def convert_number(p):
        converted.append(p)
        entry = plan[p]
        if entry[0] == "mutator":
            snapshots = pending[id(entry[1])]
            assert snapshots, f"argument {p} was not converted when the protocol reached it"
            states.update(snapshots.pop(0))
            return entry[1].value
        _, value, error, obj = entry
        if error is not None:
            # The test's own objects raise one stored exception each, which
            # must come out as that very object unless it is a TypeError.
            raises_stored = error is getattr(obj, "error", None) or error is getattr(obj, "value", None)
            raise cm.conversion_error(p, error, identical=raises_stored)
        return value

    def array_state(p):
        return states[plan[p][1]]

    try:
        return cm.predict(call.name, convert_flag, convert_number, array_state), converted
    except cm.Expected as error:
        return error, converted


def evil_counts(call, plan, converted):
    expected = {id(e): 0 for e in call.evil}
    for p in converted:
        entry = plan[p]
        obj = entry[1] if entry[0] == "mutator" else entry[3]
        if obj is not None:
            expected[id(obj)] += 1
    return expected


def check_result(call, prediction, outcome):
    name = call.name
    _, flag, numbers, settled = prediction
    assert outcome[0] == "value", f"predicted a result, got {outcome[1]!r}"
    result = outcome[1]
    if cm.is_array_function(name):
        n = settled[cm.array_parameters(name)[0]].length
        assert type(result) is np.ndarray and result.dtype == np.dtype(np.float64) and result.dtype.isnative
        assert result.shape == (n,) and result.strides == (8,)
        assert result.flags.writeable and result.flags.c_contiguous and not result.flags.owndata
        assert type(result.base).__name__ == "PySliceContainer"
        expected = cm.expected_elements(name, flag, numbers, settled)
        got = result.view(np.uint64)
        wrong = np.flatnonzero(got != expected)
        assert wrong.size == 0, (wrong[:5], [hex(b) for b in got[wrong[:5]]], [hex(b) for b in expected[wrong[:5]]])
        return
    canonical = cm.canonical_call(name, flag, numbers)
    assert type(result) is float and canonical == ("value", cm.bits(result)), (result, canonical)
    # The array form agrees on one-element arrays.
    array_name = name + "_array"
    array_args = [flag if p == "flag" else (np.array([numbers[p]]) if p in cm.array_parameters(array_name) else numbers[p])
                 for p in cm.parameters(array_name)]
    assert getattr(kf, array_name)(*array_args).view(np.uint64)[0] == canonical[1]


def check_error(call, prediction, outcome):
    if outcome[0] == "value":
        raise AssertionError(f"predicted {prediction!r}, got the result {outcome[1]!r}")
    error = outcome[1]
    assert prediction.matches(error), f"predicted {prediction!r}, got {type(error).__name__}: {error!r}"


def check_iv_failure(call, prediction, outcome):
    """A scalar implied volatility that the solver rejects: the same error as
    the plain call, and NaN from the array form."""
    _, flag, numbers, _ = prediction
    error = outcome[1]
    assert (type(error), str(error)) in cm.IV_ERRORS and error.args == (str(error),)
    assert cm.canonical_call(call.name, flag, numbers) == ("error", type(error), str(error))


@pytest.mark.parametrize("name", cm.NAMES)
@FUZZ
@given(data=st.data())
def test_fuzzed_call_behaves_as_the_protocol_says(name, data):
    global REGISTRY
    call, args, kwargs = draw_call(data, name)
    plan = prepare(call, args, kwargs)
    before = {id(a): a.tobytes() for a in call.alive(call.arrays)}
    for evil in call.evil:
        evil.calls = 0  # the model's own conversions do not count
    function = getattr(kf, name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if call.c_api:
                outcome = ("value", cm.call_through_c_api(function, args, kwargs))
            else:
                outcome = ("value", function(*args, **kwargs))
        except BaseException as error:  # noqa: BLE001 - classes are what is checked
            outcome = ("error", error)
    del args, kwargs
    event("outcome: " + ("result" if outcome[0] == "value" else type(outcome[1]).__name__))
    if any(m.calls for m in call.mutators):
        event("a __float__ changed the call's arrays or containers")

    if isinstance(plan, cm.Expected):
        prediction, converted = plan, []
    else:
        prediction, converted = predict(call, plan)
    if isinstance(prediction, cm.Expected):
        check_error(call, prediction, outcome)
    elif outcome[0] == "error" and cm.is_iv(name) and not cm.is_array_function(name):
        check_iv_failure(call, prediction, outcome)
    else:
        check_result(call, prediction, outcome)

    # Each conversion ran once, when the protocol reached it, and no other.
    if not isinstance(plan, cm.Expected):
        expected = evil_counts(call, plan, converted)
        assert {id(e): e.calls for e in call.evil} == expected
    # Input arrays hold exactly what the test's own __float__ methods left
    # in them: the module wrote nothing.
    for raw in call.timeline:
        before.update(raw)
    for array in call.alive(call.arrays):
        assert array.tobytes() == before[id(array)], "an input array was written"
    # Nested calls made by a conversion succeeded like any other.
    assert all(isinstance(r, (float, np.ndarray)) for r in call.nested)
    # No borrow outlives the call.
    if cm.is_array_function(name):
        REGISTRY = REGISTRY or cm.BorrowRegistry()
        for array in call.alive(call.targets):
            if isinstance(array, np.ndarray):
                assert REGISTRY.free_for_writing(array)


def test_every_function_is_fuzzed():
    assert len(cm.NAMES) == 102 and len(set(cm.NAMES)) == 102
