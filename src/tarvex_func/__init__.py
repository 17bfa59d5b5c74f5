"""Helpers for strings, paths, files, nested data, numbers and lists.

The helper modules live in ``tarvex_func.function``; ``tarvex_func.hubkit``
installs them as methods of the built-in types.
"""

# The one place the version is written: the build reads it from here.
__version__ = "0.1.0"

from ._install import install as install, installed as installed, uninstall as uninstall
