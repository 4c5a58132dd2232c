"""The module object, its registry and the shared object it lives in."""

import importlib
import importlib.util
import os
import re
import subprocess
import sys

import pytest

import _kestrelfin as kf
from conftest import run_python

MODELS = [("black76_", "black"), ("bsm_", "black_scholes_merton"), ("bs_", "black_scholes")]
FIRST_GROUP = ["implied_volatility", "delta", "gamma", "vega", "theta", "rho"]
SECOND_GROUP = ["vanna", "charm", "vomma", "speed", "zomma", "color", "veta", "ultima",
                "dual_delta", "dual_gamma"]


def registration_order():
    """Per model: price, implied volatility and the first-order Greeks, their
    array forms, the higher-order Greeks, their array forms."""
    names = []
    for prefix, price in MODELS:
        first = [prefix + price] + [prefix + q for q in FIRST_GROUP]
        second = [prefix + q for q in SECOND_GROUP]
        names += first + [n + "_array" for n in first] + second + [n + "_array" for n in second]
    return names


FUNCTION_NAMES = [n for n in kf.__all__ if n != "__version__"]


def test_all_follows_registration_order():
    expected = registration_order()
    assert len(expected) == 102
    assert type(kf.__all__) is list
    assert kf.__all__ == expected + ["__version__"]
    assert all(type(name) is str for name in kf.__all__)


def test_public_namespace_is_exactly_all():
    public = {name for name in vars(kf) if not name.startswith("_")}
    assert public == set(FUNCTION_NAMES)
    assert kf.__version__ == "0.2.0"
    assert type(kf.__version__) is str
    assert kf.__doc__ == ""
    assert kf.__name__ == "_kestrelfin"


SIGNATURES = {  # (price and Greeks, implied volatility) per model prefix
    "black76_": ("(flag, F, K, t, r, sigma)", "(price, F, K, r, t, flag)"),
    "bsm_": ("(flag, S, K, t, r, sigma, q)", "(price, S, K, t, r, q, flag)"),
    "bs_": ("(flag, S, K, t, r, sigma)", "(price, S, K, t, r, flag)"),
}


def expected_signature(name):
    base = name.removesuffix("_array")
    prefix = next(p for p, _ in MODELS if base.startswith(p))
    return SIGNATURES[prefix][base.endswith("_implied_volatility")]


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_function_attributes(name):
    function = getattr(kf, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__text_signature__ == expected_signature(name)
    assert function.__doc__ is None
    assert function.__module__ == "_kestrelfin"
    assert function.__self__ is kf


def test_shared_object_name_and_exports():
    path = kf.__file__
    assert os.path.basename(path) == "_kestrelfin.abi3.so"
    defined = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True,
                             text=True, check=True).stdout.split("\n")
    assert [line.split()[-1] for line in defined if line.strip()] == ["PyInit__kestrelfin"]
    # Reference counts go through the interpreter's exported functions, the
    # only way the stable ABI allows.
    undefined = subprocess.run(["nm", "-D", "--undefined-only", path], capture_output=True,
                               text=True, check=True).stdout.split()
    assert "_Py_IncRef" in undefined and "_Py_DecRef" in undefined


def test_shared_object_links_no_interpreter_or_numpy():
    dynamic = subprocess.run(["readelf", "-d", kf.__file__], capture_output=True, text=True,
                             check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    assert needed, dynamic
    for library in needed:
        assert "python" not in library.lower()
        assert "numpy" not in library.lower() and "npy" not in library.lower()
        assert "multiarray" not in library.lower()


def test_reimport_returns_the_same_module():
    names = list(kf.__all__)
    del sys.modules["_kestrelfin"]
    try:
        again = importlib.import_module("_kestrelfin")
    finally:
        sys.modules["_kestrelfin"] = kf
    assert again is kf
    # module_from_spec and reload run the init function once more.
    assert importlib.util.module_from_spec(kf.__spec__) is kf
    assert importlib.reload(kf) is kf
    # Nothing was registered a second time.
    assert kf.__all__ == names


# The main interpreter imports first; the sub-interpreter reports what its own
# import raised through a file. Legacy configuration, since an isolated one
# refuses every single-phase module before its init function runs.
SUBINTERPRETER_IMPORT = r"""
import sys, tempfile, os
import _kestrelfin
if sys.version_info >= (3, 13):
    import _interpreters as interpreters
    interp = interpreters.create("legacy")
else:
    import _xxsubinterpreters as interpreters
    interp = interpreters.create(isolated=False)
path = os.path.join(tempfile.mkdtemp(), "outcome")
interpreters.run_string(interp, f'''
try:
    import _kestrelfin
    outcome = "imported"
except BaseException as error:
    outcome = type(error).__name__ + "\\n" + str(error)
open({path!r}, "w").write(outcome)
''')
interpreters.destroy(interp)
print(open(path).read())
"""


def test_subinterpreter_import_fails():
    kind, message = run_python(SUBINTERPRETER_IMPORT).rstrip("\n").split("\n")
    assert kind == "ImportError"
    prefix = "PyO3 modules do not yet support subinterpreters, see "
    assert message.startswith(prefix)
    assert re.fullmatch(r"https?://\S+", message[len(prefix):]), message


def test_scalar_functions_work_without_numpy():
    output = run_python("""
import inspect, sys
sys.modules["numpy"] = None  # any import of numpy now fails
import _kestrelfin as kf
values = dict(flag="p", S=101.0, F=101.0, K=95.0, t=0.5, r=0.03, sigma=0.25, q=0.01, price=3.0)
count = 0
for name in kf.__all__:
    if name == "__version__" or name.endswith("_array"):
        continue
    function = getattr(kf, name)
    parameters = list(inspect.signature(function).parameters)
    result = function(**{p: values[p] for p in parameters})
    assert type(result) is float, (name, result)
    count += 1
assert sys.modules["numpy"] is None
print(count)
""")
    assert int(output) == 51

