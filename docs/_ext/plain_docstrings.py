"""The package's docstrings as reStructuredText.

The docstrings are written for ``help()`` first: NumPy-style sections, but
plain text within them, where a name such as ``bs_`` (the prefix of the
low-level functions) or ``|price|`` (an absolute value) means what it says,
while reST reads a trailing underscore as a link and bars as a
substitution. The namespaces' docstrings also list their parameters and
functions as indented "name: text" lines, which reST reads as block quotes.
This extension escapes those characters and turns such lists into bullet
lists, before napoleon reads the sections, leaving the doctest blocks (the
examples, which run as doctests) untouched.
"""

from __future__ import annotations

import re

from sphinx.application import Sphinx

# A name's trailing underscore, as in "prefix bs_)", never one inside a name.
TRAILING_UNDERSCORE = re.compile(r"(?<=\w)_(?!\w)")
LIST_ITEM = re.compile(r"^    (\w+): (.*)$")
LIST_CONTINUATION = re.compile(r"^        (\S.*)$")
# IVReason's table of members: "NAME   text" lines, their text continued
# under it, deeper indented.
MEMBER_ITEM = re.compile(r"^([A-Z][A-Z_]+)\s{2,}(\S.*)$")
MEMBER_CONTINUATION = re.compile(r"^\s{10,}(\S.*)$")
DOCUMENTED = ("kestrelfin", "_kestrelfin")


def escape(line: str) -> str:
    return TRAILING_UNDERSCORE.sub(r"\\_", line.replace("|", r"\|"))


def indent_of(line: str) -> int:
    return len(line) - len(line.lstrip())


def members_to_rest(lines: list[str]) -> list[str]:
    result: list[str] = []
    in_table = False
    for line in lines:
        item = MEMBER_ITEM.match(line)
        continuation = MEMBER_CONTINUATION.match(line) if in_table else None
        if item:
            if not in_table and result and result[-1].strip():
                result.append("")
            in_table = True
            result.append(f"* ``{item.group(1)}``: {escape(item.group(2))}")
        elif continuation:
            result.append("  " + escape(continuation.group(1)))
        else:
            if in_table and line.strip():
                result.append("")
            in_table = False
            result.append(escape(line))
    return result


def to_rest(lines: list[str], lists: bool) -> list[str]:
    result: list[str] = []
    in_example = in_list = False
    literal_indent: int | None = None  # the indent of a paragraph ending in "::"
    for line in lines:
        stripped = line.strip()
        # The literal block after "::" (blank lines, then deeper indented
        # ones) is shown as written.
        if literal_indent is not None:
            if not stripped or indent_of(line) > literal_indent:
                result.append(line)
                continue
            literal_indent = None
        if stripped.startswith(">>>"):
            in_example = True
        elif not stripped:
            in_example = False
        if in_example:
            result.append(line)
            continue
        item = LIST_ITEM.match(line) if lists else None
        continuation = LIST_CONTINUATION.match(line) if lists and in_list else None
        if item:
            in_list = True
            result.append(f"* ``{item.group(1)}``: {escape(item.group(2))}")
        elif continuation:
            result.append("  " + escape(continuation.group(1)))
        else:
            in_list = in_list and bool(stripped)
            result.append(escape(line))
        if stripped.endswith("::"):
            literal_indent = indent_of(line)
    return result


def without_title(name: str, lines: list[str]) -> list[str]:
    """A namespace's docstring opens with "kestrelfin.bs: Black-Scholes.",
    which the page's own title already says."""
    if len(lines) > 1 and lines[0].startswith(f"{name}: ") and lines[0].endswith(".") and not lines[1].strip():
        return lines[2:]
    return lines


def process_docstring(app, what, name, obj, options, lines):
    if name.split(".")[0] in DOCUMENTED:
        if what == "module":
            lines[:] = without_title(name, lines)
        if what == "class" and any(MEMBER_ITEM.match(line) for line in lines):
            lines[:] = members_to_rest(lines)
        else:
            lines[:] = to_rest(lines, lists=what == "module")


def setup(app: Sphinx) -> dict:
    # Before napoleon (priority 500), which must see the escaped text.
    app.connect("autodoc-process-docstring", process_docstring, priority=450)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
