"""The helper modules: textkit, treekit, quantkit and setkit.

`from tarvex_func.function import *` binds their 30 public functions.
"""

from . import quantkit, setkit, textkit, treekit
from .quantkit import number_float, number_int, number_str, number_time
from .setkit import list_diff, list_intersect, list_set
from .textkit import (
    str_copy,
    str_dir_delete,
    str_file_delete,
    str_files_dict,
    str_files_list,
    str_float,
    str_format,
    str_format_s,
    str_int,
    str_isdir,
    str_isfile,
    str_move,
    str_read_file,
    str_read_line,
    str_read_lines,
    str_read_yaml,
    str_time,
    str_write_file,
)
from .treekit import (
    dict_delete_path,
    dict_find_all_path,
    dict_find_path,
    dict_update_path,
    dict_write_yaml,
)

__all__ = [
    "str_int",
    "str_float",
    "str_time",
    "str_isfile",
    "str_file_delete",
    "str_isdir",
    "str_dir_delete",
    "str_copy",
    "str_move",
    "str_format",
    "str_format_s",
    "str_read_yaml",
    "str_read_file",
    "str_read_line",
    "str_read_lines",
    "str_write_file",
    "str_files_dict",
    "str_files_list",
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
