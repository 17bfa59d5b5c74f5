"""Installing the helpers as methods of the built-in types, by group, and
taking them back.

Installation is process-wide: while a group is installed its methods are
visible to every thread, not only the one that installed it.
"""

import contextlib
import threading
from collections.abc import Iterator
from typing import Literal

Group = Literal["dict", "list", "str", "file", "dir", "int", "float"]

# The methods each group writes, with the helper each one is, as the
# installers write them.
_GROUPS = {
    "dict": (dict, {"find": "dict_find_path", "find_all": "dict_find_all_path",
                    "modify": "dict_update_path", "delete": "dict_delete_path",
                    "write_yaml": "dict_write_yaml"}),
    "list": (list, {"set": "list_set", "diff": "list_diff", "inter": "list_intersect",
                    "intersect": "list_intersect"}),
    "str": (str, {"int": "str_int", "float": "str_float", "timestamp": "str_time",
                  "f": "str_format", "s": "str_format_s", "yaml": "str_read_yaml",
                  "read": "str_read_file", "read_line": "str_read_line",
                  "read_lines": "str_read_lines", "write": "str_write_file"}),
    "file": (str, {"isfile": "str_isfile", "remove": "str_file_delete", "copy": "str_copy",
                   "move": "str_move"}),
    "dir": (str, {"isdir": "str_isdir", "files_dict": "str_files_dict",
                  "files": "str_files_list", "files_list": "str_files_list",
                  "delete": "str_dir_delete", "rmtree": "str_dir_delete",
                  "copy": "str_copy", "move": "str_move"}),
    "int": (int, {"str": "number_str", "int": "number_int", "float": "number_float",
                  "time": "number_time"}),
    "float": (float, {"str": "number_str", "int": "number_int", "float": "number_float",
                      "time": "number_time"}),
}
_NAMES = tuple(_GROUPS)

# Serialises every change, so two never interleave and none ends with a group
# half removed. Lookups take no lock: while a change runs, another thread may
# find a method of that group there or not yet.
_lock = threading.RLock()


def _hubkit():
    # Imported on first use: importing the package alone loads no native module.
    from . import hubkit

    return hubkit


def _check(groups):
    for group in groups:
        if group not in _GROUPS:
            raise ValueError(
                f"unknown group {group!r}; the groups are {', '.join(map(repr, _NAMES))}")
    return tuple(dict.fromkeys(groups)) or _NAMES


def _own(group):
    """(type, method, the package's own helper) for each method of the group."""
    hubkit = _hubkit()
    cls, methods = _GROUPS[group]
    return [(cls, method, getattr(hubkit, helper)) for method, helper in methods.items()]


def _is_installed(group):
    return all(cls.__dict__.get(method) is helper for cls, method, helper in _own(group))


def install(*groups: Group) -> None:
    """Installs the methods of the named groups (all seven without a name)
    process-wide: every thread sees them until they are uninstalled."""
    groups = _check(groups)
    with _lock:
        for group in groups:
            getattr(_hubkit().TarvexHubkit, "_extend_" + group)()


def uninstall(*groups: Group) -> None:
    """Removes the methods of the named groups (all without a name) whose
    value is still the package's own; a name rebound since stays, and
    `copy` and `move` on str stay while the other of "file" and "dir" is
    installed. Process-wide, like installing."""
    groups = _check(groups)
    with _lock:
        kept = {(cls, method) for other in _NAMES if other not in groups
                and _is_installed(other) for cls, method, _ in _own(other)}
        for group in groups:
            for cls, method, helper in _own(group):
                if (cls, method) not in kept:
                    _hubkit()._remove(cls, method, helper)


@contextlib.contextmanager
def installed(*groups: Group) -> Iterator[None]:
    """Installs the named groups for the block (also as a decorator) and on
    leaving, even by an exception, removes those that were not installed
    on entry. Process-wide while it lasts: other threads see the methods."""
    groups = _check(groups)
    with _lock:
        added = [g for g in groups if not _is_installed(g)]
        install(*added)
    try:
        yield
    finally:
        with _lock:
            still = [g for g in added if _is_installed(g)]
            if still:
                uninstall(*still)
