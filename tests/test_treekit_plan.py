"""Natively walked lookups return exactly what the library's `find` returns."""

import collections

import pytest
from hypothesis import given, settings, strategies as st
from jsonpath_ng.parser import parse

from tarvex_func.function.treekit import dict_find_all_path, dict_find_path


class Getter:
    def get(self, key, default=None):
        return "got"


def library(json, path):
    return [m.value for m in parse(path).find(json)]


def assert_same(json, path):
    expected = library(json, path)
    got = dict_find_all_path(json, path)
    assert got == expected, path
    assert [id(v) for v in got] == [id(v) for v in expected], path
    assert dict_find_path(json, path) is (expected[0] if expected else None)


SHARED = [1, 2]
TREE = {"a": {"b": [10, {"c": {"d": SHARED}}, (5, 6)], "x": None}, "k": [0, 1, 2, 3],
        1: "one", "s": "text", "g": Getter(), "od": collections.OrderedDict(z=1)}

# Field chains, indexes on lists, tuples and scalars, negative and duplicate
# indexes, missing keys, mid-path roots, non-string keys, fields on non-dicts.
CASES = [
    "$", "a", "$.a", "a.b", "$.a.b[1].c.d", "a.b[2][0]", "a.b[-1]", "a.b[-4]", "a.b[3]",
    "k[0,0,3]", "k[1,-1]", "a.b[0].c", "a.x.y", "nope", "s[0]", "s.t", "a[0]", "a.b.c",
    "a.b[1].$", "a.$.k[2]", "'a','k'", "a.'b','x'", "g.z", "od.z", "k[99999999999999999999]",
    "a.b[1].c.d[0]",
]


@pytest.mark.parametrize("path", CASES)
def test_matches_library_by_value_and_identity(path):
    assert_same(TREE, path)


def test_unmodelled_data_and_paths_fall_back():
    class Sub(dict):
        def get(self, key, default=None):
            return "sub"

    for json, path in [(Sub(a=1), "a"), ({"a": range(5)}, "a[1]"), (TREE, "$..d"),
                       (TREE, "k[*]"), (TREE, "k[1:3]"), (TREE, "*.b"),
                       ([{"id": 1}, {"id": 2}], "[*].id")]:
        assert_same(json, path)


keys = st.one_of(st.sampled_from(["a", "b", "c"]), st.integers(0, 2))
scalars = st.one_of(st.none(), st.integers(-3, 3), st.sampled_from(["a", "b"]), st.booleans())
trees = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
                            st.dictionaries(keys, inner, max_size=4)),
    max_leaves=12)
steps = st.one_of(st.sampled_from([".a", ".b", ".c", ".'a','b'", "[0]", "[-1]", "[1,0,1]",
                                   "[2]", ".$", "[*]", "..a", "[0:2]"]))
paths = st.lists(steps, min_size=1, max_size=4).map(lambda s: "$" + "".join(s))


@settings(max_examples=300, deadline=None)
@given(trees, paths)
def test_generated_trees_and_paths(json, path):
    assert_same(json, path)


def test_changed_library_is_used_as_it_is():
    import jsonpath_ng.jsonpath as library_module

    tree = {"a": {"b": 1, "id": 7}}
    assert dict_find_all_path(tree, "a.id") == [7]
    library_module.auto_id_field = "id"
    try:
        assert dict_find_all_path(tree, "a.id") == library(tree, "a.id")
        assert dict_find_all_path(tree, "a.b") == library(tree, "a.b")
    finally:
        library_module.auto_id_field = None
    original = library_module.Fields.find
    library_module.Fields.find = lambda self, datum: []
    try:
        assert dict_find_all_path(tree, "a.b") == []
    finally:
        library_module.Fields.find = original
    assert dict_find_all_path(tree, "a.b") == [1]
