"""The helper modules: textkit, setkit and quantkit."""

from . import quantkit, setkit, textkit
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
    "number_str",
    "number_int",
    "number_float",
    "number_time",
    "list_set",
    "list_diff",
    "list_intersect",
]
