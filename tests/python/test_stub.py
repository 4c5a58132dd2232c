"""The installed type stub against the module it describes.

The stub is generated at build time from the function table; these tests read
the copy that the wheel installed (beside the extension and as the stub-only
package _kestrelfin-stubs) and hold it against the live module: the names in
registration order, each parameter list against the function's
``__text_signature__``, which parameters are arrays against what the array
functions actually accept, and the return types against what calls return.
"""

import ast
import importlib.util
from pathlib import Path

import numpy as np
import pytest

import _kestrelfin as kf
from conftest import VALUES, parameters

FUNCTION_NAMES = [n for n in kf.__all__ if n != "__version__"]
ARRAY_TYPE = "NDArray[np.float64]"


def installed_stubs():
    extension = Path(importlib.util.find_spec("_kestrelfin").origin)
    return extension.with_name("_kestrelfin.pyi"), extension.parent / "_kestrelfin-stubs" / "__init__.pyi"


@pytest.fixture(scope="module")
def stub():
    beside, package = installed_stubs()
    assert beside.is_file(), f"no stub beside the extension at {beside}"
    assert package.is_file(), f"no stub-only package at {package}"
    text = beside.read_text(encoding="utf-8")
    assert package.read_text(encoding="utf-8") == text
    return ast.parse(text)


@pytest.fixture(scope="module")
def functions(stub):
    return {node.name: node for node in stub.body if isinstance(node, ast.FunctionDef)}


def annotated_names(stub):
    return {node.target.id: ast.unparse(node.annotation) for node in stub.body
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}


def test_functions_in_registration_order(stub):
    defined = [node.name for node in stub.body if isinstance(node, ast.FunctionDef)]
    assert defined == FUNCTION_NAMES


def test_module_attributes_and_imports(stub):
    attributes = annotated_names(stub)
    assert attributes["__version__"] == "str"
    assert attributes["__all__"] == "list[str]"
    assert type(kf.__version__) is str and type(kf.__all__) is list
    imports = {ast.unparse(node) for node in stub.body if isinstance(node, (ast.Import, ast.ImportFrom))}
    assert "import numpy as np" in imports
    assert "from numpy.typing import NDArray" in imports


def flag_spellings(stub):
    """The members of the Literal in the Flag alias, and the rest of its union."""
    alias = next(node for node in stub.body
                 if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", None) == "Flag")
    assert ast.unparse(alias.annotation) == "TypeAlias"
    literal, rest = alias.value.left, alias.value.right
    assert isinstance(alias.value.op, ast.BitOr) and ast.unparse(rest) == "str"
    assert ast.unparse(literal.value) == "Literal"
    return [element.value for element in literal.slice.elts]


def test_every_flag_spelling_means_its_first_letter(stub):
    spellings = flag_spellings(stub)
    assert {"c", "p", "call", "put"} <= set(spellings)
    arguments = dict(S=100.0, K=95.0, t=0.5, r=0.03, sigma=0.25, q=0.01)
    call = kf.bsm_delta("c", **arguments)
    put = kf.bsm_delta("p", **arguments)
    assert call != put
    for flag in spellings:
        assert kf.bsm_delta(flag, **arguments) == (call if flag[0] in "cC" else put), flag


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_parameter_list_matches_text_signature(functions, name):
    node = functions[name]
    arguments = node.args
    # Every parameter is positional-or-keyword and required, as at run time.
    assert not arguments.posonlyargs and not arguments.kwonlyargs
    assert arguments.vararg is None and arguments.kwarg is None and not arguments.defaults
    assert [a.arg for a in arguments.args] == parameters(name)


def call_with_annotations(name, node, replace=None):
    """Calls the function with ordinary values shaped as the stub declares
    them: an array of two elements for an NDArray parameter, a Python float
    otherwise; `replace` maps a parameter to a value of its own."""
    values = []
    for argument in node.args.args:
        value = VALUES[argument.arg]
        if ast.unparse(argument.annotation) == ARRAY_TYPE:
            value = np.array([value, value])
        values.append((replace or {}).get(argument.arg, value))
    return getattr(kf, name)(*values)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_annotations_match_what_the_function_does(functions, name):
    node = functions[name]
    annotations = {a.arg: ast.unparse(a.annotation) for a in node.args.args}
    assert annotations.pop("flag") == "Flag"
    is_array_function = name.endswith("_array")
    assert set(annotations.values()) <= ({ARRAY_TYPE, "float"} if is_array_function else {"float"})
    returns = ast.unparse(node.returns)

    # What the stub declares is what the function accepts and returns.
    result = call_with_annotations(name, node)
    if is_array_function:
        assert returns == ARRAY_TYPE
        assert type(result) is np.ndarray and result.dtype == np.float64 and result.shape == (2,)
    else:
        assert returns == "float"
        assert type(result) is float

    # A parameter declared an array really is one: a number there is refused.
    for parameter, annotation in annotations.items():
        if annotation == ARRAY_TYPE:
            with pytest.raises(TypeError, match=f"^argument '{parameter}': 'float' object cannot be converted"):
                call_with_annotations(name, node, replace={parameter: 1.0})


def test_every_function_has_a_docstring(stub):
    # The functions' own __doc__ is None; editors show the stub's instead.
    undocumented = [node.name for node in stub.body
                    if isinstance(node, ast.FunctionDef) and not ast.get_docstring(node)]
    assert undocumented == []
