"""Sphinx configuration of the documentation site (`make docs`)."""

import re
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))
# The installation functions and the table of install groups are read from the
# package built into the project's environment: the groups are hubkit's own.

project = "tarvex_func"
author = "tarvex_func developers"
copyright = "tarvex_func developers"
# The version is written once, in the package's source.
release = version = re.search(
    r'^__version__ = "([^"]+)"', (HERE.parent / "src/tarvex_func/__init__.py").read_text(),
    re.M).group(1)

extensions = ["myst_parser", "sphinx.ext.autodoc", "tarvex_docs"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "requirements.txt"]
myst_heading_anchors = 3
nitpicky = True
# Names in the stubs' annotations that are the host's or the libraries', not
# this package's: there is nothing of ours to link them to.
nitpick_ignore_regex = [(r"py:.*", r"(typing|collections\.abc|yaml|datetime)\..*"),
                        (r"py:class", r"(Any|Literal|Generator|Iterable|Hashable|Supports\w+|"
                                      r"_T|_Tree|None|object|str|bytes|int|float|bool|list|"
                                      r"dict|Exception|BaseException)"),
                        (r"py:exc", r".*")]
autodoc_typehints = "description"
html_theme = "alabaster"
html_title = f"tarvex_func {release}"
html_theme_options = {"description": "Native helpers for CPython 3.13", "page_width": "1100px",
                      "sidebar_width": "240px"}
html_static_path = []
