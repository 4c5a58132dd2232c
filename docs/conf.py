"""Sphinx configuration of kestrelfin's reference site.

The site documents the installed wheel, not the source tree: the package's
docstrings are generated at build time (texts/generate.py) and exist only in
the installed kestrelfin, and _kestrelfin carries no docstrings at all, its
texts living in the type stub installed beside it (read by the local
extension _ext/lowlevel_stubs.py). scripts/build-docs.sh builds the wheel,
installs it into .venvs/docs and runs sphinx-build there.
"""

import sys
from pathlib import Path

import kestrelfin

sys.path.insert(0, str(Path(__file__).resolve().parent / "_ext"))

project = "kestrelfin"
author = "kestrelfin developers"
copyright = "kestrelfin developers"
release = kestrelfin.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "myst_parser",
    "lowlevel_stubs",
    "plain_docstrings",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]
# The notes in docs/*.md (accuracy, reliability, the libm replicas, the NumPy
# leak) are read as they are, so that they stay readable on their own; their
# headings get anchors for links into them.
myst_heading_anchors = 3

# The docstrings are NumPy-style; "Failures" is the package's own section:
# what an element gives, and what raises, when the inputs are wrong.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_custom_sections = ["Failures"]
napoleon_use_rtype = False
# One entry for "out, where, casting, order : keyword-only", not four copies of its text.
napoleon_use_param = False

autodoc_member_order = "bysource"
autodoc_typehints = "signature"

# Every ">>>" block of the site runs under "sphinx-build -b doctest": the
# guide's examples and the docstrings' examples shown on the API pages.
doctest_test_doctest_blocks = "default"
doctest_global_setup = """
import numpy as np
"""

html_theme = "pydata_sphinx_theme"
html_title = f"kestrelfin {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
}
html_sidebars = {"index": []}
html_static_path = ["_static"]
html_css_files = ["site.css"]
html_show_sourcelink = False
