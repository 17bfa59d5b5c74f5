"""Set operations on lists: difference, distinct elements, intersection.

Each builds host ``set`` objects from its arguments, applies the set operator and returns a
new list in the set's iteration order. Installed on ``list``.
"""

from collections.abc import Hashable, Iterable
from typing import TypeVar

__test__: dict[str, object]

_T = TypeVar("_T", bound=Hashable)

def list_diff(list1: Iterable[_T], list2: Iterable[Hashable]) -> list[_T]:
    """The distinct elements of *list1* that are equal to no element of *list2*.

    Computes ``list(set(list1) - set(list2))``: equality and hashing are the
    host's (``1``, ``1.0`` and ``True`` are one element), of equal elements of
    *list1* the first is kept, and the order is the set's iteration order, not
    the input order. The arguments are not changed.

    :param list1: any iterable of hashable objects (a list, tuple, set, str, a
        dict's keys, a generator).
    :param list2: the same kinds; only its elements' values count.
    :returns: a new list.
    :raises TypeError: an argument that is not iterable (*list1* is checked
        first), or an element that is not hashable.
    :raises Exception: whatever an element's ``__hash__`` or ``__eq__`` raises,
        or iterating an argument raises.

    Example::

        >>> list_diff([1, 2, 2, 3], [2])
        [1, 3]
    """

def list_set(list1: Iterable[_T]) -> list[_T]:
    """The distinct elements of *list1*.

    Computes ``list(set(list1))``: of equal elements the first is kept, and
    the order is the set's iteration order (no order is promised).

    :param list1: any iterable of hashable objects.
    :returns: a new list.
    :raises TypeError: *list1* is not iterable, or holds an unhashable element.
    :raises Exception: whatever an element's ``__hash__`` or ``__eq__`` raises.

    Example::

        >>> list_set([3, 1, 3])
        [1, 3]
        >>> list_set([1, 1.0, True])
        [1]
    """

def list_intersect(list1: Iterable[_T], list2: Iterable[Hashable]) -> list[_T]:
    """The distinct elements common to *list1* and *list2*.

    Computes ``list(set(list1) & set(list2))``. Of two equal elements the one
    kept is the one in the smaller set (the set of *list2* when both have the
    same size); the order is the set's iteration order.

    :param list1: any iterable of hashable objects.
    :param list2: the same kinds.
    :returns: a new list.
    :raises TypeError: an argument that is not iterable, or an unhashable
        element.
    :raises Exception: whatever an element's ``__hash__`` or ``__eq__`` raises.

    Example::

        >>> list_intersect([1, 2, 3], (2, 3))
        [2, 3]
        >>> list_intersect([1], [1.0])
        [1.0]
    """
