from collections.abc import Hashable, Iterable
from typing import TypeVar

__test__: dict[str, object]

_T = TypeVar("_T", bound=Hashable)

def list_diff(list1: Iterable[_T], list2: Iterable[Hashable]) -> list[_T]: ...
def list_set(list1: Iterable[_T]) -> list[_T]: ...
def list_intersect(list1: Iterable[_T], list2: Iterable[Hashable]) -> list[_T]: ...
