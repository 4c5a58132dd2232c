"""What help(), IDEs and type checkers see of the kestrelfin package: the
namespaces hold every quantity of _kestrelfin under its name, each function
has the real signature, name and module and a docstring whose example runs
(as a doctest, here), and the installed type stubs describe the same
functions with the same parameters."""

import ast
import doctest
import importlib.util
import inspect
from pathlib import Path

import numpy as np
import pytest

import _kestrelfin as kf
import kestrelfin
from package_support import FUNCTION_IDS, FUNCTIONS, MODELS, kestrelfin_name, parameters, public

UFUNC_KEYWORDS = ["out", "where", "casting", "order"]
NAMESPACE_ITEMS = [(model, name) for model, module in MODELS.items() for name in module.__all__]
NAMESPACE_IDS = [f"{model}.{name}" for model, name in NAMESPACE_ITEMS]


def test_the_namespaces_hold_every_quantity_of_the_low_level_module():
    low_level = sorted(n for n in kf.__all__ if n != "__version__" and not n.endswith("_array"))
    assert sorted(kestrelfin_name(model, quantity) for model, quantity in FUNCTIONS) == low_level
    for module in MODELS.values():
        assert module.__all__[-1] == "greeks" and len(module.__all__) == 18
    assert kestrelfin.__all__ == ["bs", "bsm", "black76", "IVReason", "set_num_threads", "get_num_threads",
                                  "num_threads", "__version__"]
    assert kestrelfin.__version__ == kf.__version__


@pytest.mark.parametrize("model, quantity", FUNCTIONS, ids=FUNCTION_IDS)
def test_signature_name_and_module(model, quantity):
    function = public(model, quantity)
    assert function.__name__ == function.__qualname__ == quantity
    assert function.__module__ == f"kestrelfin.{model}"
    signature = inspect.signature(function)
    # An implied volatility's solver keywords come before the ufunc keywords.
    keywords = (["method", "with_reason"] if quantity == "implied_volatility" else []) + UFUNC_KEYWORDS
    defaults = (["rational", False] if quantity == "implied_volatility" else []) + [None, True, "same_kind", "K"]
    assert list(signature.parameters) == parameters(model, quantity) + keywords
    assert [p.default for p in signature.parameters.values()][-len(keywords):] == defaults
    assert all(p.default is inspect.Parameter.empty
               for p in list(signature.parameters.values())[:-len(keywords)])
    # The keywords are keyword-only, the parameters positional or keyword.
    kinds = [p.kind for p in signature.parameters.values()]
    assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * (len(kinds) - len(keywords)) + \
        [inspect.Parameter.KEYWORD_ONLY] * len(keywords)


def documented_objects():
    objects = [("kestrelfin", kestrelfin)]
    objects += [(f"kestrelfin.{model}", module) for model, module in MODELS.items()]
    objects += [(f"kestrelfin.{model}.{name}", getattr(MODELS[model], name)) for model, name in NAMESPACE_ITEMS]
    return objects


@pytest.mark.parametrize("name, documented", documented_objects(), ids=[n for n, _ in documented_objects()])
def test_the_docstring_examples_run(name, documented):
    test = doctest.DocTestParser().get_doctest(documented.__doc__ or "", {}, name, None, 0)
    assert test.examples, f"{name} has no example"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0


@pytest.mark.parametrize("model, name", NAMESPACE_ITEMS, ids=NAMESPACE_IDS)
def test_every_parameter_and_section_is_documented(model, name):
    function = getattr(MODELS[model], name)
    text = function.__doc__
    for section in ("Parameters\n----------", "Returns\n-------", "Failures\n--------", "Examples\n--------"):
        assert section in text, section
    documented = text.split("Parameters\n----------\n")[1].split("\nReturns")[0]
    for parameter in list(inspect.signature(function).parameters)[:-4]:
        assert f"\n{parameter} : " in "\n" + documented, parameter


def installed_stub(name):
    return Path(importlib.util.find_spec("kestrelfin").origin).with_name(name)


@pytest.mark.parametrize("model", MODELS)
def test_the_stub_describes_the_functions(model):
    tree = ast.parse(installed_stub(f"{model}.pyi").read_text(encoding="utf-8"))
    definitions = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            definitions.setdefault(node.name, []).append(node)
    assert list(definitions) == MODELS[model].__all__
    for name, overloads in definitions.items():
        runtime = list(inspect.signature(getattr(MODELS[model], name)).parameters)
        keywords = (["method", "with_reason"] if name == "implied_volatility" else []) + UFUNC_KEYWORDS
        assert len(overloads) == 2, name
        for node in overloads:
            assert [a.arg for a in node.args.args] == runtime[:-len(keywords)], name
            assert [a.arg for a in node.args.kwonlyargs] == runtime[-len(keywords):] == keywords, name
            assert ast.get_docstring(node) == inspect.cleandoc(getattr(MODELS[model], name).__doc__), name
        # The first overload is the one-option call: a str flag, floats in, a float out.
        scalar = overloads[0]
        assert ast.unparse(scalar.args.args[runtime.index("flag")].annotation) == "str"
        assert ast.unparse(scalar.returns) == ("dict[str, float]" if name == "greeks" else "float")
        # The second takes arrays, and out is typed: an array, or greeks' tuple of arrays.
        out = ast.unparse(overloads[1].args.kwonlyargs[keywords.index("out")].annotation)
        assert out == {"greeks": "tuple[NDArray[Any], ...] | None",
                       "implied_volatility": "NDArray[Any] | tuple[NDArray[Any], ...] | None"}.get(
                           name, "NDArray[Any] | None"), name


def test_the_package_is_typed():
    assert installed_stub("py.typed").is_file()
    stub = installed_stub("__init__.pyi").read_text(encoding="utf-8")
    assert "from kestrelfin import black76 as black76, bs as bs, bsm as bsm" in stub
    # The reason codes as the package defines them, with its docstring.
    tree = ast.parse(stub)
    reasons = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "IVReason")
    assert {node.targets[0].id: node.value.value for node in reasons.body if isinstance(node, ast.Assign)} == \
        {member.name: member.value for member in kestrelfin.IVReason}
    assert ast.get_docstring(reasons) == inspect.cleandoc(kestrelfin.IVReason.__doc__)


def test_the_wheel_holds_every_module_of_the_source_package():
    # The wheel's install list is written by hand: a module added to the
    # source tree but not to it imports in a checkout and fails in the wheel.
    source = Path(__file__).resolve().parents[2] / "kestrelfin"
    installed = Path(kestrelfin.__file__).parent
    missing = [module.name for module in source.glob("*.py") if not (installed / module.name).is_file()]
    assert missing == []


@pytest.mark.parametrize("model", MODELS)
def test_implied_volatility_tells_where_the_solver_ends(model):
    function = MODELS[model].implied_volatility
    text = " ".join(function.__doc__.split())
    underlying = "F" if model == "black76" else "S"
    base = {underlying: 100.0, "r": 0.0, **({"q": 0.0} if model == "bsm" else {})}

    def solve(price, K, t, flag="c"):
        return function(price=price, K=K, t=t, flag=flag, method="newton", **base)

    # Above 5 (here 700 %) and at the maximum: just below 5.
    above = MODELS[model].price(flag="c", K=100.0, t=1.0, sigma=7.0, **base)
    assert repr(solve(above, 100.0, 1.0)) == repr(solve(100.0, 100.0, 1.0)) == "4.999999999999996"
    assert ("volatilities above 5 (500 %) are out of reach, and such a price, or one at the maximum (the forward "
            "for a call, the strike for a put, undiscounted), gives a value just below 5 (4.999999999999996)") in text
    # At the intrinsic value, or a hair below it: the bottom of the range.
    assert solve(50.0, 50.0, 1.0) == solve(50.0 - 5e-15, 50.0, 1.0) == 1e-6
    assert np.isnan(solve(50.0 - 1e-12, 50.0, 1.0))
    assert ("a price at the intrinsic value, or less than 1e-14 below it (undiscounted), gives 1e-6") in text
    # A price far below the tolerance: where the search starts, 0.2.
    assert solve(1e-101, 200.0, 0.01) == 0.2
    assert ("the model price is matched within (|price| + 1) * 1e-12, so a price far below 1e-12 gives the first "
            "volatility whose price is that small: 0.2, where the search starts, when the price at 20 % volatility "
            "already is") in text
