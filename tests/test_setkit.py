"""List set operations."""

import pytest

from tarvex_func.function import setkit
from tarvex_func.function.setkit import list_diff, list_intersect, list_set


def test_results_follow_the_host_set_semantics():
    assert list_diff([], [1]) == list_set([]) == list_intersect([1], []) == []
    assert sorted(list_set([3, 1, 3, 2, 1])) == [1, 2, 3]
    assert sorted(list_diff([1, 2, 2, 3], [2])) == [1, 3]
    assert list_diff([1], [1.0]) == []
    assert sorted(list_intersect([1, 2, 3], [2, 3, 4])) == [2, 3]


def test_which_of_equal_elements_survives():
    result = list_set([1, 1.0, True])
    assert result == [1] and type(result[0]) is int
    same_size = list_intersect([1], [1.0])
    assert same_size == [1.0] and type(same_size[0]) is float
    smaller_first = list_intersect([1.0], [1, 2])
    assert type(smaller_first[0]) is float


def test_any_iterable_is_accepted():
    assert sorted(list_set("abca")) == ["a", "b", "c"]
    assert sorted(list_set({"a": 1, "b": 2})) == ["a", "b"]
    assert list_diff((1, 2), {2}) == [1]
    assert sorted(list_intersect((i for i in range(4)), range(2, 9))) == [2, 3]


def test_results_are_new_lists_and_inputs_are_unchanged():
    a, b = [1, 2, 2], [2]
    for result in (list_diff(a, b), list_set(a), list_intersect(a, b)):
        assert type(result) is list and result is not a and result is not b
    assert a == [1, 2, 2] and b == [2]


def test_errors_come_from_the_host_in_argument_order():
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        list_set([[1], [2]])
    with pytest.raises(TypeError, match="'int' object is not iterable"):
        list_diff(5, [])
    with pytest.raises(TypeError, match="unhashable type: 'list'"):
        list_diff([[1]], 5)

    class Boom:
        def __hash__(self):
            raise KeyError("hash")

    with pytest.raises(KeyError):
        list_intersect([1], [Boom()])


def test_builtins_set_and_list_are_bound_directly(monkeypatch):
    import builtins

    monkeypatch.setattr(setkit, "set", frozenset, raising=False)
    saved = builtins.list
    builtins.list = tuple
    try:
        result = list_set([1])
    finally:
        builtins.list = saved
    assert type(result) is list
