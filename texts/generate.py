"""Writes the type stub of _kestrelfin and the docstrings and type stubs of
the package kestrelfin at build time, from two sources: the facts of the
function table (names, parameters, which of them are arrays, families,
registration order), as the table's own program prints them
(texts/table_facts.cpp), and the texts of texts/quantities.py.

    python texts/generate.py TABLE_JSON OUTPUT_DIRECTORY

writes OUTPUT_DIRECTORY/_kestrelfin.pyi and, in OUTPUT_DIRECTORY/package,
_docstrings.py, __init__.pyi, bs.pyi, bsm.pyi and black76.pyi. Only the
standard library: it runs with the interpreter the build uses.
"""

from __future__ import annotations

import json
import sys
import textwrap
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import quantities as texts  # noqa: E402

GENERATED = "Generated at build time by\n# texts/generate.py from the function table: do not edit."


def wrap(text: str, width: int, indent: str = "", rest: str | None = None) -> list[str]:
    """Greedy wrapping at spaces; a word longer than the line stands alone."""
    return textwrap.wrap(text, width=width, initial_indent=indent, subsequent_indent=indent if rest is None else rest,
                         break_long_words=False, break_on_hyphens=False)


def fill(text: str, indent: str = "", rest: str | None = None) -> str:
    """A paragraph of a package docstring: 76 columns, ending in a newline."""
    return "\n".join(wrap(text, 76, indent, rest)) + "\n"


def raw_string(text: str) -> str:
    """A Python literal of the text: raw and triple-quoted, which holds every
    text here (none holds a triple quote or ends in a backslash)."""
    if '"""' in text or text.endswith("\\"):
        raise SystemExit("generate.py: a text that a raw string cannot hold")
    return 'r"""' + text + '"""'


class Table:
    """The facts of the function table."""

    def __init__(self, facts: dict):
        self.models = facts["models"]
        self.functions = facts["functions"]
        self.registration_order = facts["registration_order"]
        self.greeks = {g["model"]: g for g in facts["greeks"]}
        self.greek_names = facts["greek_names"]
        self.by_name = {}
        for function in self.functions:
            self.by_name[function["name"]] = (function, False)
            self.by_name[function["array_name"]] = (function, True)

    def model(self, name: str) -> dict:
        return next(m for m in self.models if m["name"] == name)

    def of_model(self, name: str) -> list[dict]:
        return [f for f in self.functions if f["model"] == name]


def quantity_text(quantity: str, field: str, model: dict, name: str = "") -> str:
    """A field of a quantity's texts for a model, its placeholders filled."""
    text = texts.QUANTITIES[quantity][field]
    if isinstance(text, dict):
        text = text[model["name"]]
    return text.format(U=model["underlying"], model=model["name"], name=name)


# ---- _kestrelfin.pyi -------------------------------------------------------------------

def low_level_docstring(table: Table, function: dict, array_form: bool) -> str:
    model = table.model(function["model"])
    paragraphs = [f"{model['title']}: {quantity_text(function['quantity'], 'summary', model)}"]
    if array_form:
        arrays = [p for p, a in zip(function["parameters"], function["is_array"]) if a]
        singles = [p for p, a in zip(function["parameters"], function["is_array"]) if not a]
        text = texts.LOW_LEVEL_ARRAY.format(arrays=", ".join(arrays), singles=", ".join(singles))
        if function["solves_implied_volatility"]:
            text += " " + texts.LOW_LEVEL_ARRAY_SOLVER
        paragraphs.append(text)
    elif function["solves_implied_volatility"]:
        paragraphs.append(texts.LOW_LEVEL_SOLVER_FAILURES)
    # 84 columns of text after the body's indent of four.
    return "\n\n    ".join("\n    ".join(wrap(p, 84)) for p in paragraphs)


def low_level_function(table: Table, name: str) -> str:
    function, array_form = table.by_name[name]
    array_type = "NDArray[np.float64]"
    parameters = []
    for parameter, is_array in zip(function["parameters"], function["is_array"]):
        annotation = "Flag" if parameter == "flag" else array_type if array_form and is_array else "float"
        parameters.append(f"{parameter}: {annotation}")
    result = array_type if array_form else "float"
    one_line = f"def {name}({', '.join(parameters)}) -> {result}:"
    if len(one_line) <= 99:
        head = one_line
    else:
        head = f"def {name}(\n" + "".join(f"    {p},\n" for p in parameters) + f") -> {result}:"
    return f"\n{head}\n    \"\"\"{low_level_docstring(table, function, array_form)}\"\"\"\n"


def low_level_stub(table: Table) -> str:
    header = f"""# Type stub of the extension module _kestrelfin. {GENERATED}
from typing import Literal, TypeAlias

import numpy as np
from numpy.typing import NDArray

Flag: TypeAlias = Literal["c", "p", "C", "P", "call", "put", "Call", "Put", "CALL", "PUT"] | str
{texts.LOW_LEVEL_FLAG}

__version__: str
__all__: list[str]
"""
    return header + "".join(low_level_function(table, name) for name in table.registration_order)


# ---- the package's docstrings ------------------------------------------------------------

def parameters_section(parameters: list[str], solver: bool = False) -> str:
    text = "Parameters\n----------\n"
    for parameter in parameters:
        if parameter == "flag":
            text += texts.PACKAGE_FLAG_PARAMETER
            continue
        description = texts.PARAMETERS[parameter]
        text += f"{parameter} : float or array-like\n" + fill(description[0].upper() + description[1:] + ".", "    ")
    return text + (texts.PACKAGE_SOLVER_KEYWORDS if solver else "") + texts.PACKAGE_UFUNC_KEYWORDS


def arguments(parameters: list[str], values: dict, flag: str) -> str:
    return ", ".join(flag if p == "flag" else values[p] for p in parameters)


def example_section(model: str, function: dict) -> str:
    """One option (a call), then the call and its put together."""
    quantity = function["quantity"]
    example = texts.EXAMPLES[model][quantity]
    call = f"{model}.{quantity}"
    option = dict(example.get("option", texts.EXAMPLES[model]["option"]))
    lines = ["", "Examples", "--------", f">>> from kestrelfin import {model}"]
    if function["solves_implied_volatility"]:
        one = arguments(function["parameters"], {**option, "price": example["price"]}, "'c'")
        pair = example["pair"]
        pair_option = {**pair.get("option", option), "price": f"[{', '.join(pair['prices'])}]"}
        two = arguments(function["parameters"], pair_option, "['c', 'p']")
        lines += [f'>>> print(f"{{{call}({one}):{example["format"]}}}")', example["call"],
                  f'>>> [f"{{value:{pair["format"]}}}" for value in {call}({two})]',
                  f"['{pair['call']}', '{pair['put']}']"]
    else:
        one = arguments(function["parameters"], option, "'c'")
        two = arguments(function["parameters"], option, "['c', 'p']")
        lines += [f'>>> print(f"{{{call}({one}):{example["format"]}}}")', example["call"],
                  f'>>> [f"{{value:{example["format"]}}}" for value in {call}({two})]',
                  f"['{example['call']}', '{example['put']}']"]
    return "\n".join(lines) + "\n"


def function_doc(table: Table, function: dict) -> str:
    model = table.model(function["model"])
    quantity = function["quantity"]
    name = function["name"]
    doc = fill(f"{model['title']} {quantity}: {quantity_text(quantity, 'summary', model)}")
    doc += "\n" + fill("Formula: " + quantity_text(quantity, "formula", model))
    solver = function["solves_implied_volatility"]
    doc += "\n" + parameters_section(function["parameters"], solver)
    doc += "\nReturns\n-------\nfloat, ndarray, or the container of the inputs\n"
    returns = texts.PACKAGE_SOLVER_RETURNS if solver else texts.PACKAGE_RETURNS
    doc += fill(quantity_text(quantity, "returns", model) + " " + returns.format(name=name), "    ")
    failures = texts.PACKAGE_FAILURES
    if function["solves_implied_volatility"]:
        failures += " " + texts.PACKAGE_SOLVER_FAILURES.format(name=name)
    doc += "\nFailures\n--------\n" + fill(failures + " " + texts.PACKAGE_ARGUMENT_ERRORS)
    return doc + example_section(model["name"], function)


def greeks_doc(table: Table, model: dict) -> str:
    name = model["name"]
    greeks = texts.PACKAGE_GREEKS
    example = texts.EXAMPLES[name]["greeks"]
    doc = fill(f"{model['title']}: {greeks['title']}")
    doc += "\n" + fill(greeks["body"].format(model=name))
    doc += "\n" + parameters_section(table.greeks[name]["parameters"])
    doc += "\nReturns\n-------\ndict, pandas.DataFrame or polars.DataFrame\n"
    doc += fill(greeks["returns"].format(keys=", ".join(table.greek_names)), "    ")
    doc += "\nFailures\n--------\n" + fill(greeks["failures"])
    call = f"{name}.greeks({arguments(table.greeks[name]['parameters'], texts.EXAMPLES[name]['option'], repr('c'))})"
    doc += "\n".join(["", "Examples", "--------", f">>> from kestrelfin import {name}", f">>> result = {call}",
                      ">>> list(result)[:4]", "['price', 'delta', 'gamma', 'vega']",
                      f'>>> print(f"{{result[\'price\']:{example["price"]}}} {{result[\'delta\']:{example["delta"]}}}")',
                      example["values"]]) + "\n"
    return doc


def namespace_doc(table: Table, model: dict) -> str:
    name = model["name"]
    functions = table.of_model(name)
    price = next(f for f in functions if f["quantity"] == "price")
    doc = f"kestrelfin.{name}: {model['title']}.\n\n" + fill(texts.MODELS[name]["description"])
    doc += "\n" + fill(texts.PACKAGE_NAMESPACE.format(model=name)) + "\n"
    for parameter in price["parameters"]:
        doc += fill(f"{parameter}: {texts.PARAMETERS[parameter]}.", "    ", "        ")
    doc += "\n" + fill(texts.PACKAGE_NAMESPACE_FUNCTIONS) + "\n"
    for function in functions:
        doc += fill(f"{function['quantity']}: {quantity_text(function['quantity'], 'summary', model)}", "    ",
                    "        ")
        if function["solves_implied_volatility"]:
            doc += fill(f"(parameters {', '.join(function['parameters'])})", "        ")
    doc += fill(f"greeks: {texts.PACKAGE_GREEKS['summary']}", "    ", "        ")
    example = texts.EXAMPLES[name]["price"]
    option = example.get("option", texts.EXAMPLES[name]["option"])
    doc += "\n".join(["", "Examples", "--------", f">>> from kestrelfin import {name}",
                      f'>>> print(f"{{{name}.price({arguments(price["parameters"], option, repr("c"))}):'
                      f'{example["format"]}}}")', example["call"]]) + "\n"
    return doc


# ---- the package's stubs -------------------------------------------------------------------

def stub_parameters(parameters: list[str], scalar: bool, greeks: bool, solver: bool = False) -> str:
    text = "".join(f"    {p}: {('str' if p == 'flag' else 'float') if scalar else 'ArrayLike'},\n" for p in parameters)
    text += "    *,\n"
    # An implied volatility's solver keywords, then the ufunc keywords, all
    # keyword-only; out is the array (greeks, or an implied volatility with
    # its reasons: the tuple of arrays) written into.
    if solver:
        text += '    method: Method = "rational",\n'
        text += "    with_reason: Literal[False] = False,\n" if scalar else "    with_reason: bool = False,\n"
    if scalar:
        text += "    out: None = None,\n    where: Literal[True] = True,\n"
    else:
        out = "tuple[NDArray[Any], ...]" if greeks else "NDArray[Any] | tuple[NDArray[Any], ...]" if solver \
            else "NDArray[Any]"
        text += f"    out: {out} | None = None,\n    where: ArrayLike = True,\n"
    return text + '    casting: Casting = "same_kind",\n    order: Order = "K",\n'


def stub_function(name: str, parameters: list[str], scalar_result: str, doc: str) -> str:
    greeks = name == "greeks"
    solver = name == "implied_volatility"
    return (f"\n@overload\ndef {name}(\n{stub_parameters(parameters, True, greeks, solver)}) -> {scalar_result}:\n"
            f"    {raw_string(doc)}\n"
            f"@overload\ndef {name}(\n{stub_parameters(parameters, False, greeks, solver)}) -> Any:\n"
            f"    {raw_string(doc)}\n")


def package_stub_header(name: str) -> str:
    return f"""# Type stub of kestrelfin.{name}. {GENERATED}
from typing import Any, Literal, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

Casting: TypeAlias = Literal["no", "equiv", "safe", "same_kind", "unsafe"]
Order: TypeAlias = Literal["K", "A", "C", "F"]
Method: TypeAlias = Literal["rational", "newton"]

__all__: list[str]
"""


def write_package(table: Table, directory: Path) -> None:
    directory.mkdir(parents=True, exist_ok=True)
    docs = [f"# The docstrings of the kestrelfin package. {GENERATED}", "", "DOCS = {"]
    for model in table.models:
        name = model["name"]
        stub = package_stub_header(name)
        docs.append(f'    "{name}": {raw_string(namespace_doc(table, model))},')
        for function in table.of_model(name):
            doc = function_doc(table, function)
            docs.append(f'    "{name}.{function["quantity"]}": {raw_string(doc)},')
            stub += stub_function(function["quantity"], function["parameters"], "float", doc)
        doc = greeks_doc(table, model)
        docs.append(f'    "{name}.greeks": {raw_string(doc)},')
        stub += stub_function("greeks", table.greeks[name]["parameters"], "dict[str, float]", doc)
        (directory / f"{name}.pyi").write_text(stub, encoding="utf-8")
    docs.append(f'    "IVReason": {raw_string(texts.IV_REASON_DOC)},')
    (directory / "_docstrings.py").write_text("\n".join(docs) + "\n}\n", encoding="utf-8")
    (directory / "__init__.pyi").write_text(
        f"# Type stub of the kestrelfin package. {GENERATED}\n"
        "import enum\nfrom contextlib import AbstractContextManager\n\n"
        "from kestrelfin import black76 as black76, bs as bs, bsm as bsm\n\n"
        f"class IVReason(enum.IntEnum):\n    {raw_string(texts.IV_REASON_DOC)}\n\n"
        + "".join(f"    {name} = {code}\n" for code, name in enumerate(texts.IV_REASONS))
        + "\n__version__: str\n__all__: list[str]\n\n"
        "def set_num_threads(n: int) -> int: ...\ndef get_num_threads() -> int: ...\n"
        "def num_threads(n: int) -> AbstractContextManager[int]: ...\n",
        encoding="utf-8")


def main() -> None:
    if len(sys.argv) != 3:
        raise SystemExit("usage: generate.py TABLE_JSON OUTPUT_DIRECTORY")
    table = Table(json.loads(Path(sys.argv[1]).read_text(encoding="utf-8")))
    output = Path(sys.argv[2])
    output.mkdir(parents=True, exist_ok=True)
    (output / "_kestrelfin.pyi").write_text(low_level_stub(table), encoding="utf-8")
    write_package(table, output / "package")


if __name__ == "__main__":
    main()
