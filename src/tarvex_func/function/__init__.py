"""The helper modules: setkit and quantkit."""

from . import quantkit, setkit
from .quantkit import number_float, number_int, number_str, number_time
from .setkit import list_diff, list_intersect, list_set

__all__ = [
    "number_str",
    "number_int",
    "number_float",
    "number_time",
    "list_set",
    "list_diff",
    "list_intersect",
]
