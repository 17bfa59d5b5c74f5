"""Generated trees and paths, looked up by us and by the library directly:
the same values, the same objects, the same order, on every input."""

import pathlib
import subprocess
import sys
import threading

import jsonpath_ng.jsonpath as library_module
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st
from jsonpath_ng.jsonpath import Fields
from jsonpath_ng.parser import parse as library_parse

from jsonpath_oracle import assert_same, library_matches
from support import Getter, MappingLike
from tarvex_func.function import treekit
from tarvex_func.function.treekit import dict_find_all_path, dict_find_path

pytestmark = pytest.mark.filterwarnings("ignore:The `[|&]` .* operator is deprecated")

GOT = ["got"]  # what every `Getter.get` answers, so that identity can be checked


class PlainDict(dict):
    pass


class OwnGet(dict):
    def get(self, key, default=None):
        return GOT if key == "a" else super().get(key, default)


class OwnItems(dict):
    # Wildcards and descendants read `items()`; fields read `get`.
    def items(self):
        return list(reversed(list(super().items())))


class OwnKeys(dict):
    def keys(self):
        return ["b", "a"]


class Rotated(list):
    """Indexes one further along than a list would."""

    def __getitem__(self, index):
        if isinstance(index, int):
            return super().__getitem__((index + 1) % len(self))
        return super().__getitem__(index)


class Reversed(list):
    def __iter__(self):
        return iter(list(super().__iter__())[::-1])


class TupleLike(tuple):
    pass


class StrKey(str):
    pass


def wrap(kind, value):
    return kind(value)


keys = st.sampled_from(["a", "b", "c", "1", "*", "@", "id", 0, 1, (0, 1), StrKey("c")])
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2, 2), st.sampled_from([0.5, -0.0]),
                    st.sampled_from(["a", "", "b"]))
odd_leaves = st.sampled_from([Getter(GOT), range(3), MappingLike({"a": 1, "b": [2]})])


def containers(inner):
    dicts = st.dictionaries(keys, inner, max_size=4)
    lists = st.lists(inner, max_size=4)
    return st.one_of(
        dicts, dicts, lists, lists, lists.map(tuple),
        st.tuples(st.sampled_from([PlainDict, OwnGet, OwnItems, OwnKeys]), dicts).map(
            lambda kind_items: wrap(*kind_items)),
        st.tuples(st.sampled_from([Rotated, Reversed, TupleLike]),
                  st.lists(inner, min_size=1, max_size=3)).map(lambda kind_items: wrap(*kind_items)),
        # One object under several keys: identity must follow every route to it.
        inner.map(lambda shared: {"a": shared, "b": [shared, shared]}),
    )


trees = st.recursive(st.one_of(scalars, odd_leaves), containers, max_leaves=14)

# The path grammar: selectors that plans model and some that they do not.
atoms = st.sampled_from([
    "$", "a", "b", "c", "1", "@", "'*'", "'a','b'", "a,c,a", "*", "[*]", "[0]", "[-1]",
    "[1,0,1]", "[5,-5]", "[1:]", "[:2]", "[::-1]", "[0:3:2]", "[1:2:0]", "[:]", "`this`",
    "`parent`", "id",
])


def combined(inner):
    pairs = st.tuples(inner, inner)
    return st.one_of(
        pairs.map(lambda p: f"{p[0]}.{p[1]}"),
        pairs.map(lambda p: f"{p[0]}.{p[1]}"),
        pairs.map(lambda p: f"{p[0]}..{p[1]}"),
        st.tuples(inner, st.sampled_from(["[0]", "[-1]", "[*]", "[1:]", "[a,b]", "['c']"])).map(
            "".join),
        pairs.map(lambda p: f"({p[0]})|({p[1]})"),
        pairs.map(lambda p: f"({p[0]}) where ({p[1]})"),
        pairs.map(lambda p: f"({p[0]}) wherenot ({p[1]})"),
    )


paths = st.recursive(atoms, combined, max_leaves=5)

DIFFERENTIAL = settings(max_examples=500, deadline=None, database=None,
                        suppress_health_check=[HealthCheck.too_slow])


@pytest.mark.slow
@DIFFERENTIAL
@given(trees, st.lists(paths, min_size=1, max_size=3))
def test_generated_trees_and_paths_match_the_library(json, some_paths):
    for path in some_paths:
        assert_same(json, path)
        assert_same([json, json], path)


@settings(max_examples=150, deadline=None, database=None)
@given(trees, paths, st.sampled_from(["id", "a"]))
def test_generated_lookups_with_automatic_ids(json, path, field):
    saved = library_module.auto_id_field
    library_module.auto_id_field = field
    try:
        assert_same(json, path)
    finally:
        library_module.auto_id_field = saved


def test_data_the_plans_must_not_take_at_face_value():
    class TypeErrorKey:
        # Meets "a" in the table; a TypeError there means the field is absent.
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            raise TypeError

    class ValueErrorKey(TypeErrorKey):
        __hash__ = TypeErrorKey.__hash__

        def __eq__(self, other):
            raise ValueError

    class Falsy(list):
        def __bool__(self):
            return False

    shared = {"a": [1]}
    cases = [
        (OwnGet(a=1, b=2), ["a", "b", "a,b", "*", "[*]", "$..a"]),
        (OwnItems(a=1, b={"a": 2}), ["*", "$..a", "$..*", "a", "[*]"]),
        (OwnKeys(a=1, b=2, c=3), ["*", "$..*", "a"]),
        (MappingLike({"a": 1, "b": 2}), ["*", "a", "$..a", "[*]", "[0]"]),
        ({"x": Getter(GOT)}, ["x.a", "x.*", "x[0]", "x..a", "$..a"]),
        ({"r": range(4)}, ["r[1]", "r[*]", "r[1:]", "r..[0]"]),
        (Rotated([{"a": 1}, {"a": 2}, 3]), ["[0]", "[-1]", "[0:2]", "[*]", "[*].a", "$..a"]),
        (Reversed([1, {"a": 2}]), ["[*]", "[0]", "$..a", "$..[0]", "[::-1]"]),
        (Falsy([1, 2]), ["[0]", "[*]", "[:1]"]),
        (TupleLike(({"a": 1}, 2)), ["[0].a", "[*]", "$..a", "[-1:]"]),
        ({"t": ({"a": 1}, [{"a": 2}])}, ["$..a", "t[*].a", "t..[0]", "$..*"]),
        ({StrKey("a"): 1, 2: "two", (0, 1): "pair", True: "yes"}, ["a", "*", "2", "$..*", "1"]),
        ({TypeErrorKey(): 1}, ["a", "*", "b"]),
        ({"k": {ValueErrorKey(): 1}}, ["k.a", "k.*", "k..b", "$..a"]),
        ({"a": shared, "b": shared, "c": [shared]}, ["*.a[0]", "$..a", "$..[0]", "a,b,a"]),
        ({"a": {"b": float("nan")}}, ["a.b", "$..b"]),
    ]
    for json, some_paths in cases:
        for path in some_paths:
            assert_same(json, path)


def test_deep_data_walks_as_far_as_the_library():
    # The library's descendants walk keeps its own stack; no depth limit applies.
    depth = 3000
    deep = {"x": 0}
    for n in range(depth):
        deep = {"a": deep, "x": n} if n % 2 else [deep, n]
    for path in ["$..x", "$..[1]", "$..*", "$..a[0]"]:
        expected = [m.value for m in library_parse(path).find(deep)]
        found = dict_find_all_path(deep, path)
        assert found is not None, path
        assert [id(v) for v in found] == [id(v) for v in expected], path
        assert dict_find_path(deep, path) is expected[0], path


def test_paths_from_a_parse_of_our_own():
    # Subclasses of the library's nodes answer with their own `find`.
    class Doubled(Fields):
        def find(self, datum):
            return super().find(datum) * 2

    def parse(text):
        expression = library_parse(text)
        if isinstance(expression, Fields):
            doubled = Doubled.__new__(Doubled)
            doubled.__dict__.update(vars(expression))
            return doubled
        return expression

    data = {"a": [1, 2], "b": 3}
    saved = treekit.parse
    treekit.parse = parse
    try:
        for path in ["a", "b", "a[0]", "$.a", "a,b"]:
            expected = [m.value for m in parse(path).find(data)]
            assert dict_find_all_path(data, path) == expected, path
        assert dict_find_all_path(data, "a") == [data["a"], data["a"]]
    finally:
        treekit.parse = saved
    assert dict_find_all_path(data, "a") == [data["a"]]


def test_a_kept_expression_changed_in_place():
    # Only the library's own parse makes trees that nobody else holds.
    kept = {}

    def parse(text):
        return kept.setdefault(text, library_parse(text))

    data = {"a": 1, "b": 2}
    saved = treekit.parse
    treekit.parse = parse
    try:
        assert dict_find_all_path(data, "a") == [1]
        kept["a"].fields = ("b",)
        assert dict_find_all_path(data, "a") == [m.value for m in kept["a"].find(data)]
    finally:
        treekit.parse = saved


GUARDED = {"a": [1, {"b": 2}], "k": (5, 6), "d": {"b": [3]}}
GUARDED_PATHS = ["$", "a", "$.a[1].b", "k[0]", "k[-1,0]", "a[*]", "*", "k[0:1]", "$..b",
                 "`this`.a", "a|k", "a[1].`parent`", "d where b"]


def test_a_changed_library_is_followed():
    # A class changed and put back may keep the plans off for the rest of the
    # process, so the check runs in a process of its own.
    script = "import test_treekit_differential as t; t.check_changed_library()"
    child = subprocess.run([sys.executable, "-W", "ignore", "-c", script],
                           cwd=pathlib.Path(__file__).parent, capture_output=True, text=True)
    assert child.returncode == 0, child.stderr


def library_changes():
    """Each node's `find`, the field lookup and the array walk, changed."""
    def doubling(find):
        return lambda self, datum: find(self, datum) * 2

    lib = library_module
    changes = [(node, "find", doubling(vars(node)["find"]))
               for node in (lib.Root, lib.This, lib.Child, lib.Fields, lib.Index, lib.Slice,
                            lib.Wildcard, lib.Descendants, lib._Union, lib.Where, lib.Parent)]
    field = vars(lib.Fields)["get_field_datum"]
    changes.append((lib.Fields, "get_field_datum", staticmethod(
        lambda datum, name, create: field.__func__(datum, name, create) if name != "b" else None)))
    elements = lib._find_array_elements
    changes.append((lib, "_find_array_elements", lambda datum: elements(datum)[::-1]))
    return changes


def check_changed_library(only=None):
    """Every change made for a while (or only the `only`-th, made before the
    first lookup): every lookup then answers as the changed library does, and
    as before once the change is undone."""
    changes = library_changes()
    if only is None:
        for path in GUARDED_PATHS:
            assert_same(GUARDED, path)
    for owner, name, changed in changes if only is None else [changes[only]]:
        original = vars(owner)[name]
        setattr(owner, name, changed)
        try:
            for path in GUARDED_PATHS:
                assert_same(GUARDED, path)
        finally:
            setattr(owner, name, original)
        for path in GUARDED_PATHS:
            assert_same(GUARDED, path)


@pytest.mark.parametrize("only", [3, 7, 11, 12])  # Fields, Descendants, the field lookup, the walk
def test_a_library_changed_before_the_first_lookup_is_followed(only):
    # What the plans model is kept at the first lookup: a change made before
    # it is not the library's own code, though it is what the kept record holds.
    script = f"import test_treekit_differential as t; t.check_changed_library({only})"
    child = subprocess.run([sys.executable, "-W", "ignore", "-c", script],
                           cwd=pathlib.Path(__file__).parent, capture_output=True, text=True)
    assert child.returncode == 0, child.stderr


def test_a_changed_datum_class_is_followed():
    class Boxed(library_module.DatumInContext):
        @property
        def value(self):
            return [self.__value__]

    original = library_module.DatumInContext
    library_module.DatumInContext = Boxed
    try:
        assert_same({"a": {"b": 1}}, "a.b")
    finally:
        library_module.DatumInContext = original


# More distinct paths than the kept parsed paths hold, so that the threads
# push each other's out while they use them.
CHURN = 300
SHARED = {
    "items": [{"c": i, "tags": ["t%d" % i, (i,)], "m": {"c": -i}} for i in range(CHURN)],
    "a": {"b": [1, 2, {"c": 3}]},
}
COMMON = ["$..c", "items[*].c", "items[-1:]", "a.b[*]", "a.b[0,-1,0]", "$.a.b[2].c",
          "items[::-100].m.c", "a.*", "items[0].`parent`[1].c", "a where b", "a.b[2].c|a.b[0]"]


def test_concurrent_lookups_while_parse_is_rebound(switching):
    paths = COMMON + [f"items[{i}].tags[*]" for i in range(CHURN)]
    expected = {path: library_matches(SHARED, path) for path in paths}
    expected = {path: [m.value for m in matches] for path, matches in expected.items()}
    failures = []
    stop = threading.Event()

    def wrapped_parse(text):
        return library_parse(text)

    def rebinding():
        while not stop.is_set():
            treekit.parse = wrapped_parse
            treekit.parse = library_parse

    def looking_up(n):
        mine = paths[n::3] + COMMON
        for _ in range(3):
            for path in mine:
                found = dict_find_all_path(SHARED, path)
                first = dict_find_path(SHARED, path)
                want = expected[path]
                if (found != want or [id(v) for v in found] != [id(v) for v in want]
                        or first is not (want[0] if want else None)):
                    failures.append((n, path, found))

    saved = treekit.parse
    rebinder = threading.Thread(target=rebinding)
    workers = [threading.Thread(target=looking_up, args=(n,)) for n in range(6)]
    rebinder.start()
    try:
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    finally:
        stop.set()
        rebinder.join()
        treekit.parse = saved
    assert failures == []


@pytest.fixture
def switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)
