"""Natively walked lookups return exactly what the library's `find` returns."""

import collections

import pytest
from hypothesis import given, settings, strategies as st
from jsonpath_ng.parser import parse

from support import ClashingKey as Clashing, Getter
from tarvex_func.function.treekit import dict_find_all_path, dict_find_path


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


@pytest.mark.slow
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


def python_calls(function, *args):
    """How many Python functions run during `function(*args)`."""
    import sys

    calls = []
    sys.setprofile(lambda frame, event, arg: calls.append(frame) if event == "call" else None)
    try:
        function(*args)
    finally:
        sys.setprofile(None)
    return len(calls)


LEAF = {"d": 4}
NESTED = {"a": {"d": 1, "b": [{"d": 2}, (3, {"d": "in a tuple"}), [[{"d": LEAF}]]]},
          "d": [5, {"d": 6}], 7: {"d": 8}, None: "none key", "t": (0, 1, 2, 3, 4),
          "r": [{"id": i, "name": f"n{i}"} for i in range(5)], "e": [], "z": {}}

# Wildcards on lists, tuples, dicts (non-string keys too) and scalars; slices
# with every kind of bound, zero and huge steps; descendants (pre-order, right
# side matched first at each level, tuples not entered, the root itself
# included); `this`; unions of names and indexes with duplicates and misses.
NODE_CASES = [
    "$.*", "*", "*.*", "[*]", "a.*", "a.b[*]", "a.b[*][*]", "t[*]", "t.*", "d[0].*", "d[*].d",
    "r[*].id", "$.*.name", "r.*.name", "e[*]", "z.*", "a.d.*", "a.d[*]",
    "t[1:3]", "t[::2]", "t[-2:]", "t[:-3]", "t[::-1]", "t[-1:0:-2]", "t[:]", "t[3:1]",
    "t[0:5:0]", "t[99:]", "t[-99:2]", "r[1:3].name", "a[0:1]", "a.d[0:1]", "t[::99999999999999999999]",
    "t[-99999999999999999999:99999999999999999999]", "t[::-99999999999999999999]",
    "$..d", "a..d", "$..[0]", "$..*", "a..b..d", "$..d.d", "$..d[*]", "$..d..d",
    "$..id", "r..name", "t..d", "$..'d','id'", "$..$", "a..`this`", "$..r[1:2].id",
    "`this`", "a.`this`.b[0]", "`this`.d[1].d", "$.`this`.a..d",
    "a,d", "d,a,d", "'d','nope'", "t[4,0,4,-1,9]", "a.b[2,2][0]", "r[0,0].id",
    "$.a.b[1][1].d", "d[-1].d", "$.d[1]..d",
]


@pytest.mark.parametrize("path", NODE_CASES)
def test_node_types_match_library_by_value_and_identity(path):
    assert_same(NESTED, path)


def test_unions_match_library():
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        for path in ["a|d", "(a|d).d", "d[0]|t[0]|$..name", "r[*].(id|name)", "$..(d|id)",
                     "a.b[0]|a.b[0]"]:
            assert_same(NESTED, path)


def test_modelled_paths_run_no_python_code_on_plain_data():
    for path in ["$.a.b[2][0][0].d", "$.*.name", "r[*].id", "$..d", "t[1:3]", "`this`.a",
                 "t[0,0]"]:
        dict_find_all_path(NESTED, path)  # parsed and kept
        assert python_calls(dict_find_all_path, NESTED, path) == 0, path
        assert python_calls(dict_find_path, NESTED, path) == 0, path


class Keys:
    def keys(self):
        return ["k"]

    def get(self, key, default=None):
        return "from get"


class ListLike(list):
    def __iter__(self):
        return iter(["iterated"])



def test_unmodelled_data_under_new_steps_falls_back():
    class Sub(dict):
        def items(self):
            return [("x", "from items")]

    shapes = [
        ({"a": Sub(p=1)}, ["a.*", "$..p", "$..x", "a[*]"]),
        ({"a": Keys()}, ["a.*", "a[*]", "$..k", "a..k"]),
        ({"a": ListLike([1, 2])}, ["a[*]", "a.*", "a[0:2]", "$..[0]", "a[1]"]),
        ({"a": range(3)}, ["a[*]", "a[1:]", "$..[0]"]),
        ({"a": [{Clashing(TypeError): 1}, {"d": 2}]}, ["$..d", "a[*].d", "a[0].d"]),
        ({"a": b"bytes", "b": [1.5, 2j]}, ["a[*]", "a.*", "$..x", "b[*].x", "b[::-1]"]),
    ]
    for json, paths in shapes:
        for path in paths:
            assert_same(json, path)


def test_the_library_default_held_as_a_value_is_a_miss():
    from jsonpath_ng.jsonpath import NOT_SET

    json = {"a": NOT_SET, "b": [NOT_SET, {"a": NOT_SET, "c": 1}]}
    for path in ["a", "$..a", "b[*]", "b[1].*", "'a','b'", "b[1]..c"]:
        assert_same(json, path)


def test_library_errors_still_reach_the_caller():
    json = {"a": [{Clashing(KeyboardInterrupt): 1}]}
    for path in ["$..d", "a[*].d"]:
        with pytest.raises(KeyboardInterrupt):
            parse(path).find(json)
        with pytest.raises(KeyboardInterrupt):
            dict_find_all_path(json, path)
    json = {"a": [{Clashing(ValueError): 1}]}
    assert dict_find_all_path(json, "$..d") is None
    assert dict_find_path(json, "a[*].d") is None


def test_deep_and_self_containing_data():
    deep = leaf = {}
    for _ in range(3000):
        leaf["d"] = {}
        leaf = leaf["d"]
    assert_same(deep, "$..d")
    wide = [[i, {"d": i}] for i in range(3000)]
    assert_same(wide, "$..d")
    assert_same(wide, "[*][1].d")
    looped = {"a": [1]}
    looped["a"].append(looped)
    assert_same(looped, "a[1].a[1].a[0]")
    assert_same(looped, "a[*][*][0]")


extended_steps = st.one_of(steps, st.sampled_from(
    [".*", "[::2]", "[-2:]", "[::-1]", "[1:3]", ".`this`", "[0:4:0]", "..*", "..[0]", "[0,0]",
     ".'a','c'"]))
extended_paths = st.lists(extended_steps, min_size=1, max_size=4).map(lambda s: "$" + "".join(s))


@pytest.mark.slow
@settings(max_examples=300, deadline=None)
@given(trees, extended_paths)
def test_generated_trees_and_paths_with_every_step(json, path):
    assert_same(json, path)


def test_library_module_names_rebound_and_restored():
    import jsonpath_ng.jsonpath as module

    path = "$.a.b[2][0][0].d"
    dict_find_all_path(NESTED, path)
    original = module._find_array_elements
    module._find_array_elements = lambda datum: original(datum)[::-1]
    try:
        assert dict_find_all_path(NESTED, "t[*]") == library(NESTED, "t[*]") == [4, 3, 2, 1, 0]
        assert python_calls(dict_find_all_path, NESTED, path) > 0
    finally:
        module._find_array_elements = original
    assert python_calls(dict_find_all_path, NESTED, path) == 0
    # A warning issued from the module's own code adds its registry: no change
    # of what the finds read.
    had_registry = "__warningregistry__" in vars(module)
    vars(module).setdefault("__warningregistry__", {})
    try:
        assert python_calls(dict_find_all_path, NESTED, path) == 0
    finally:
        if not had_registry:
            del module.__warningregistry__
