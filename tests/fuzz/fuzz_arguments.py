"""Coverage-guided fuzzing of argument matching and flag parsing, with atheris.

Every input is turned into one call of one of the 102 functions: any number
of positional arguments, any keywords (parameter names, near misses,
arbitrary text, lone surrogates and, through the C API, keys that are not
str), any flag text, and number and array arguments of assorted types. The
outcome must be the one call_model predicts (tests/python/call_model.py):
the exact exception class and text, or a result equal to the scalar function bit
for bit. A difference raises, which atheris reports as a crash with the input
that caused it.

The module is built with coverage instrumentation (clang's
-fsanitize=fuzzer-no-link, CMake option KESTRELFIN_FUZZ_COVERAGE) together
with AddressSanitizer and UndefinedBehaviorSanitizer (KESTRELFIN_SANITIZE),
and the process runs with atheris's asan_with_fuzzer.so preloaded, so the
fuzzer is guided by the branches of the module's own C++ code.

    python tests/fuzz/fuzz_arguments.py [libFuzzer options] [corpus folder]

for example -max_total_time=60 for a bounded run, none to run until stopped.
scripts/test-stages/reliability.sh builds the module and runs this.
"""

import os
import struct
import sys
import warnings

import atheris
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))

import _kestrelfin as kf  # noqa: E402 - after the path is set

with atheris.instrument_imports():
    import call_model as cm  # noqa: E402 - Python coverage of the model guides too

NAMES = cm.NAMES
FLAG_WORDS = ["c", "p", "C", "P", "call", "put", "", "x", " c"]
NEAR_MISSES = ["s", "k", "T", "R", "Sigma", "sigma_", "flags", "Price", "f", "S ", "\u03c3", "S\0"]
NON_STR_KEYS = [0, b"S", None, ("flag",), 1.5]


def consume_text(fdp, limit):
    """Arbitrary text, lone surrogates included."""
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.PickValueInList(FLAG_WORDS) + fdp.ConsumeUnicodeNoSurrogates(limit)
    if kind == 1:
        return fdp.ConsumeUnicodeNoSurrogates(limit)
    return fdp.ConsumeUnicode(limit)


def consume_number(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 3:
        return cm.fresh_float(fdp.ConsumeRegularFloat() if kind else fdp.ConsumeFloat())
    if kind == 4:
        bits = fdp.ConsumeInt(8)
        return struct.unpack("<d", struct.pack("<q", bits))[0]
    if kind == 5:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 200))  # up to 1600 bits: overflows a double
    if kind == 6:
        return fdp.ConsumeBool()
    if kind == 7:
        return consume_text(fdp, 4)
    if kind == 8:
        return None
    return np.float32(fdp.ConsumeRegularFloat())


def consume_array(fdp):
    n = fdp.ConsumeIntInRange(0, 6)
    values = [fdp.ConsumeFloat() for _ in range(n)]
    kind = fdp.ConsumeIntInRange(0, 7)
    base = np.array(values, dtype=np.float64)
    if kind <= 3:
        return base
    if kind == 4:
        return base.astype(np.float32)
    if kind == 5:
        return np.repeat(base, 2)[::2]
    if kind == 6:
        return base.astype(base.dtype.newbyteorder())
    return values  # a list


def consume_value(fdp, parameter, arrays):
    if parameter == "flag" and fdp.ConsumeIntInRange(0, 7):
        return consume_text(fdp, 12)
    if parameter in arrays and fdp.ConsumeIntInRange(0, 3):
        return consume_array(fdp)
    return consume_number(fdp)


def build_call(fdp):
    name = NAMES[fdp.ConsumeIntInRange(0, len(NAMES) - 1)]
    params = cm.parameters(name)
    arrays = cm.array_parameters(name)
    through_c_api = fdp.ConsumeBool()
    count = fdp.ConsumeIntInRange(0, len(params) + 2)
    args = [consume_value(fdp, params[i] if i < len(params) else "", arrays) for i in range(count)]
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, len(params) + 1)):
        kind = fdp.ConsumeIntInRange(0, 5)
        if kind <= 2:
            key = fdp.PickValueInList(params)
        elif kind == 3:
            key = fdp.PickValueInList(NEAR_MISSES)
        elif kind == 4 and through_c_api:
            key = fdp.PickValueInList(NON_STR_KEYS)
        else:
            key = consume_text(fdp, 6)
        kwargs[key] = consume_value(fdp, key, arrays)
    if not kwargs and through_c_api and fdp.ConsumeBool():
        kwargs = None  # no dictionary at all
    return name, args, kwargs, through_c_api


def prediction(name, args, kwargs):
    slots = cm.match(name, args, kwargs)

    def convert_number(p):
        value, error = cm.reference_double(slots[p])
        if error is not None:
            raise cm.conversion_error(p, error)
        return value

    return cm.predict(name, lambda: cm.convert_text(slots["flag"]), convert_number,
                      lambda p: cm.ArrayState(slots[p]))


def check(name, args, kwargs, outcome):
    try:
        expected = prediction(name, args, kwargs)
    except cm.Expected as error:
        expected = error
    if isinstance(expected, cm.Expected):
        if outcome[0] != "error" or not expected.matches(outcome[1]):
            raise AssertionError(f"{name}{tuple(args)!r} {kwargs!r}: expected {expected!r}, got {outcome!r}")
        return
    _, flag, numbers, settled = expected
    if cm.is_array_function(name):
        result = outcome[1]
        if outcome[0] != "value" or type(result) is not np.ndarray:
            raise AssertionError(f"{name}: expected an array, got {outcome!r}")
        elements = cm.expected_elements(name, flag, numbers, settled)
        if not np.array_equal(result.view(np.uint64), elements):
            raise AssertionError(f"{name}: elements differ from the scalar function: {result!r}")
        return
    canonical = cm.canonical_call(name, flag, numbers)
    if outcome[0] == "value":
        got = ("value", cm.bits(outcome[1])) if type(outcome[1]) is float else ("not a float", outcome[1])
    else:
        got = ("error", type(outcome[1]), str(outcome[1]))
    if got != canonical:
        raise AssertionError(f"{name}: got {got!r}, the plain call gives {canonical!r}")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    name, args, kwargs, through_c_api = build_call(fdp)
    function = getattr(kf, name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if through_c_api:
                outcome = ("value", cm.call_through_c_api(function, args, kwargs))
            else:
                outcome = ("value", function(*args, **(kwargs or {})))
        except BaseException as error:  # noqa: BLE001 - compared with the prediction
            outcome = ("error", error)
        check(name, args, kwargs, outcome)


def main():
    cm.panic_exception_class()  # created before fuzzing, so that it is not a finding
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
