"""The facade that installs the helpers as methods of the built-in types.

Importing the module installs nothing; it binds the 30 helpers of
``tarvex_func.function`` as its globals, where the installers look them up.
"""

import gc as gc
from typing import Any

from .function import *

__test__: dict[str, object]

class TarvexHubkit:
    """Creating an instance installs every helper as a method of ``dict``,
    ``list``, ``str``, ``int`` and ``float``, process-wide and for good.

    The seven installers run in this order: ``_extend_dict``,
    ``_extend_list``, ``_extend_str``, ``_extend_file``, ``_extend_dir``,
    ``_extend_int``, ``_extend_float``. Each looks its helpers up by name in
    ``hubkit``'s globals at that moment and writes them into one type's
    dictionary; each can also be called alone, on the class. No existing
    method of the types is replaced. To install less, or for a while only,
    use ``tarvex_func.install``, ``uninstall`` and ``installed``.

    Example::

        >>> _ = TarvexHubkit()
        >>> [1, 2, 3].diff([2])
        [1, 3]
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    @staticmethod
    def _extend_dict() -> None: ...
    @staticmethod
    def _extend_list() -> None: ...
    @staticmethod
    def _extend_str() -> None: ...
    @staticmethod
    def _extend_file() -> None: ...
    @staticmethod
    def _extend_dir() -> None: ...
    @staticmethod
    def _extend_int() -> None: ...
    @staticmethod
    def _extend_float() -> None: ...
