"""The helper modules: treekit, quantkit and setkit."""

from . import quantkit, setkit, treekit
from .quantkit import number_float, number_int, number_str, number_time
from .setkit import list_diff, list_intersect, list_set
from .treekit import (
    dict_delete_path,
    dict_find_all_path,
    dict_find_path,
    dict_update_path,
    dict_write_yaml,
)

__all__ = [
    "dict_find_path",
    "dict_find_all_path",
    "dict_update_path",
    "dict_delete_path",
    "dict_write_yaml",
    "number_str",
    "number_int",
    "number_float",
    "number_time",
    "list_set",
    "list_diff",
    "list_intersect",
]
