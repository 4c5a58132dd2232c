"""_kestrelfin on the site: its texts and typed signatures come from the type
stub installed beside it.

_kestrelfin's functions carry no docstrings (the module keeps its fixed
surface, and its texts live in _kestrelfin.pyi, written at build time from
the function table by texts/generate.py). autodoc reads objects, not stubs,
so this extension parses the installed stub and hands autodoc each function's
signature and docstring from it. The directive ``lowlevel-functions`` lists
the functions of one model prefix in the module's own order (``__all__``),
so that no page repeats the 102 names by hand.
"""

from __future__ import annotations

import ast
from dataclasses import dataclass
from pathlib import Path

import _kestrelfin
from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

MODULE = "_kestrelfin"
logger = logging.getLogger(__name__)


@dataclass(frozen=True)
class StubFunction:
    parameters: str  # "(flag: Flag, S: float, ...)"
    result: str
    docstring: str


@dataclass(frozen=True)
class Stub:
    functions: dict[str, StubFunction]
    flag_alias: str  # the right-hand side of "Flag: TypeAlias = ..."
    flag_doc: str


def read_stub(path: Path) -> Stub:
    tree = ast.parse(path.read_text(encoding="utf-8"))
    functions: dict[str, StubFunction] = {}
    flag_alias = flag_doc = ""
    body = tree.body
    for index, node in enumerate(body):
        if isinstance(node, ast.FunctionDef):
            parameters = ", ".join(f"{a.arg}: {ast.unparse(a.annotation)}" if a.annotation else a.arg
                                   for a in node.args.args)
            functions[node.name] = StubFunction(f"({parameters})", ast.unparse(node.returns) if node.returns else "",
                                                ast.get_docstring(node) or "")
        elif isinstance(node, ast.AnnAssign) and ast.unparse(node.target) == "Flag" and node.value is not None:
            flag_alias = ast.unparse(node.value)
            following = body[index + 1] if index + 1 < len(body) else None
            if (isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                    and isinstance(following.value.value, str)):
                flag_doc = following.value.value
    return Stub(functions, flag_alias, flag_doc)


def installed_stub() -> Stub:
    path = Path(_kestrelfin.__file__).with_name("_kestrelfin.pyi")
    if not path.is_file():
        raise RuntimeError(f"the type stub of _kestrelfin is not installed beside it ({path}): "
                           "the site documents the installed wheel")
    stub = read_stub(path)
    exported = [name for name in _kestrelfin.__all__ if name != "__version__"]
    missing = [name for name in exported if name not in stub.functions]
    if missing:
        raise RuntimeError(f"_kestrelfin.pyi lacks {len(missing)} exported functions, e.g. {missing[:3]}")
    return stub


def short_name(name: str) -> str | None:
    prefix = MODULE + "."
    return name[len(prefix):] if name.startswith(prefix) else None


def setup(app: Sphinx) -> dict:
    stub = installed_stub()

    def process_signature(app, what, name, obj, options, signature, return_annotation):
        function = stub.functions.get(short_name(name) or "")
        if what != "function" or function is None:
            return None
        return function.parameters, function.result

    def process_docstring(app, what, name, obj, options, lines):
        function = stub.functions.get(short_name(name) or "")
        if what == "function" and function is not None and not any(line.strip() for line in lines):
            lines[:] = function.docstring.splitlines() + [""]

    class LowLevelFunctions(SphinxDirective):
        """``.. lowlevel-functions:: bs_`` documents every exported function
        whose name starts with the prefix, in __all__ order."""

        required_arguments = 1

        def run(self) -> list[nodes.Node]:
            prefix = self.arguments[0]
            # Each scalar function followed by its _array form, in the module's order.
            exported = [n for n in _kestrelfin.__all__ if n.startswith(prefix) and n in stub.functions]
            names = []
            for name in exported:
                if not name.endswith("_array"):
                    names.append(name)
                    if f"{name}_array" in exported:
                        names.append(f"{name}_array")
            names += [n for n in exported if n not in names]
            if not names:
                logger.warning("lowlevel-functions: no _kestrelfin function starts with %r", prefix,
                               location=self.get_location())
                return []
            content = StringList()
            for name in names:
                content.append(f".. autofunction:: {MODULE}.{name}", "<lowlevel-functions>")
                content.append("", "<lowlevel-functions>")
            container = nodes.section()
            container.document = self.state.document
            self.state.nested_parse(content, self.content_offset, container)
            return container.children

    class LowLevelFlag(SphinxDirective):
        """``.. lowlevel-flag::``: the stub's Flag alias and its text."""

        def run(self) -> list[nodes.Node]:
            content = StringList()
            for line in [".. code-block:: python", "", f"   Flag: TypeAlias = {stub.flag_alias}", ""]:
                content.append(line, "<lowlevel-flag>")
            for line in stub.flag_doc.strip().splitlines():
                content.append(line.strip(), "<lowlevel-flag>")
            container = nodes.section()
            container.document = self.state.document
            self.state.nested_parse(content, self.content_offset, container)
            return container.children

    app.connect("autodoc-process-signature", process_signature)
    # Before plain_docstrings (450) and napoleon (500), which read the text filled in.
    app.connect("autodoc-process-docstring", process_docstring, priority=400)
    app.add_directive("lowlevel-functions", LowLevelFunctions)
    app.add_directive("lowlevel-flag", LowLevelFlag)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
