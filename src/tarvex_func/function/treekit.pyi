from typing import Any, TypeVar

import yaml as yaml
from jsonpath_ng.parser import parse as parse

__test__: dict[str, object]

_Tree = TypeVar("_Tree")

def dict_find_path(json: Any, path: str) -> Any: ...
def dict_find_all_path(json: Any, path: str) -> list[Any] | None: ...
def dict_update_path(json: _Tree, path: str, value: Any = None) -> _Tree: ...
def dict_delete_path(json: _Tree, path: str, index: int = 1) -> _Tree: ...
def dict_write_yaml(
    x: Any,
    path: Any,
    mode: str = "w",
    default_style: str | None = "",
    default_flow_style: bool | None = False,
    canonical: bool = False,
    indent: int = 2,
    allow_unicode: bool = True,
    encoding: str | None = None,
    sort_keys: bool = False,
) -> None: ...
