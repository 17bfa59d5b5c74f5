"""Lookups are the library's on data whose keys run code, on slices at the
limits of the index range, on deep data in small thread stacks, and keep
what they parse without letting anyone change it."""

import sys
import threading

import jsonpath_ng.jsonpath as library_module
import jsonpath_ng.parser as parser_module
import pytest
from jsonpath_ng.parser import parse

from tarvex_func.function import treekit
from tarvex_func.function.treekit import dict_find_all_path, dict_find_path

MAX = sys.maxsize


def library(json, path, first=False):
    """What the helper answers, from the library called directly: its values,
    None for an ordinary exception, anything else raised."""
    try:
        values = [m.value for m in parse(path).find(json)]
    except Exception:  # noqa: BLE001 - the helpers answer None
        return None
    if first:
        return values[0] if values else None
    return values


class Key:
    """Hashes as "x" does, so that a lookup of "x" compares with it; each
    comparison is counted and runs `action` once armed."""

    def __init__(self, action=None):
        self.action, self.armed, self.compared = action, False, 0

    def __hash__(self):
        return hash("x")

    def __repr__(self):
        return "Key()"

    def __eq__(self, other):
        self.compared += 1
        if self.armed:
            self.armed = False
            self.action(self)
        return False


def raising(error):
    def action(key):
        raise error("from a key")
    return action


def outcome(function, *args):
    try:
        return ("value", function(*args))
    except BaseException as error:  # noqa: BLE001 - compared below
        return ("raised", type(error))


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, ValueError, TypeError,
                                   AttributeError, LookupError])
@pytest.mark.parametrize("path", ["$.a.x", "$..x", "a.*.x", "a,b.x", "$.b[*].x", "b[0:9].x"])
@pytest.mark.parametrize("first", [False, True])
def test_keys_that_raise_once_behave_as_under_the_library(error, path, first):
    runs = []
    for run in (lambda j, p: library(j, p, first),
                dict_find_path if first else dict_find_all_path):
        key = Key(raising(error))
        inner = {key: 1, "x": 2}
        json = {"a": inner, "b": [inner, {"x": 3}]}
        key.armed = True
        runs.append((outcome(run, json, path), key.compared, key.armed))
    assert runs[0] == runs[1]


def mutations(json):
    """What a key's comparison may do to the data in the middle of a walk."""
    return {
        "delete a sibling": lambda key: json["a"].pop("y", None),
        "clear the list walked": lambda key: json["l"].clear(),
        "append to the list walked": lambda key: json["l"].append({"x": "late"}),
        "rebind a value not reached": lambda key: json["l"].__setitem__(2, {"x": "new"}),
        "rebind the next branch": lambda key: json.__setitem__("z", {"x": "z2"}),
        "add a key": lambda key: json["a"].__setitem__("w", {"x": "w"}),
    }


def mutable_tree(kind):
    json = {"a": {"y": {"x": "y"}}, "l": [{"x": 0}, None, {"x": 2}, [{"x": 3}]],
            "z": {"x": "z"}}
    key = Key(mutations(json)[kind])
    json["l"][1] = {key: "k"}
    json["a"]["k"] = {key: "k2", "x": "ax"}
    return json, key


@pytest.mark.parametrize("kind", list(mutations({})))
@pytest.mark.parametrize("path", ["$..x", "l[*].x", "$.*[*].x", "l[0:4].x", "$.*.*.x",
                                  "l[1,2].x", "$..[*].x", "a.*.x", "l.([*].x)", "$.*.(*.x)",
                                  "$.(*.*).x", "$..(*.x)"])
def test_keys_that_change_the_data_give_the_library_values(kind, path):
    results = []
    for run in (library, dict_find_all_path):
        json, key = mutable_tree(kind)
        key.armed = True
        results.append((run(json, path), repr(json), key.compared))
    assert results[0] == results[1]


def test_comparisons_run_no_more_often_than_under_the_library():
    key = Key()
    json = {"r": [{key: i, "x": i} for i in range(20)], "s": {key: 0}}
    for path in ["r[*].x", "$..x", "r[0:20:3].x", "r[1,1].x", "s.x", "$..'x','x'"]:
        key.compared = 0
        expected = library(json, path)
        library_compares = key.compared
        key.compared = 0
        assert dict_find_all_path(json, path) == expected
        assert key.compared == library_compares, path
        key.compared = 0
        dict_find_path(json, path)
        assert key.compared == library_compares, path


def test_slices_at_the_limits_of_the_index_range():
    json = {"a": list(range(10)), "t": tuple(range(5)), "e": []}
    bounds = ["", "1", "-1", str(MAX), str(-MAX - 1), str(MAX + 1), str(-MAX - 2)]
    steps = [str(MAX), str(-MAX), str(-MAX - 1), "-3", str(MAX * 4)]
    for name in ("a", "t"):
        for start in bounds:
            for stop in ("", "-1", str(MAX)):
                for step in steps:
                    path = f"$.{name}[{start}:{stop}:{step}]"
                    assert dict_find_all_path(json, path) == library(json, path), path


def deep_tree(depth, container):
    root = leaf = container()
    for _ in range(depth):
        child = container()
        if isinstance(leaf, dict):
            leaf["d"] = child
        else:
            leaf.append(child)
        leaf = child
    return root


@pytest.mark.parametrize("stack_kib", [256, 512, 768])
def test_deep_data_in_small_thread_stacks(stack_kib):
    trees = [deep_tree(5000, dict), deep_tree(5000, list)]
    paths = ["$..d", "$..[0]", "$..*", "$..d.d"]
    expected = {}
    for i, json in enumerate(trees):
        for path in paths[:2]:
            expected[i, path] = library(json, path)
    got = {}

    def run():
        for i, json in enumerate(trees):
            for path in paths:
                try:
                    got[i, path] = dict_find_all_path(json, path)
                except RecursionError:
                    got[i, path] = RecursionError

    previous = threading.stack_size(stack_kib * 1024)
    try:
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    finally:
        threading.stack_size(previous)
    for key, value in expected.items():
        assert got[key] is RecursionError or got[key] == value, key
    assert len(got) == len(trees) * len(paths)


def test_a_kept_tree_is_not_changed_by_changed_library_code():
    json = {"a": {"b": 1, "c": 2}}
    assert dict_find_path(json, "a.b") == 1
    original = library_module.Fields.find

    def rename(self, datum):
        if self.fields == ("b",):
            self.fields = ("c",)
        return original(self, datum)

    library_module.Fields.find = rename
    try:
        assert dict_find_path(json, "a.b") == 2  # a fresh tree, changed by its finder
        assert dict_find_path(json, "a.b") == 2
    finally:
        library_module.Fields.find = original
    assert dict_find_path(json, "a.b") == 1
    assert treekit.dict_update_path(json, "a.b", 5) is json and json["a"] == {"b": 5, "c": 2}


def python_calls(function, *args):
    calls = []
    sys.setprofile(lambda frame, event, arg: calls.append(frame) if event == "call" else None)
    try:
        function(*args)
    finally:
        sys.setprofile(None)
    return len(calls)


def test_failed_parses_are_kept_but_not_interrupts_or_lack_of_memory():
    json = {"items": [{"price": 20, "id": 1}]}
    path = "$.items[?(@.price > 10)].id"
    assert dict_find_path(json, path) is None
    assert python_calls(dict_find_path, json, path) == 0
    assert python_calls(dict_find_all_path, json, path) == 0
    assert treekit.dict_update_path(json, path, 1) is json
    assert treekit.dict_delete_path(json, path) is json and json["items"][0]["id"] == 1

    original = parser_module.JsonPathParser.parse
    for error in (KeyboardInterrupt, MemoryError, RecursionError):
        def refuse(self, *args, **kwargs):
            raise error("during the parse")
        parser_module.JsonPathParser.parse = refuse
        text = f"$.fresh_{error.__name__}"
        try:
            if issubclass(error, Exception):
                assert dict_find_path(json, text) is None
            else:
                with pytest.raises(error):
                    dict_find_path(json, text)
        finally:
            parser_module.JsonPathParser.parse = original
        assert dict_find_path({f"fresh_{error.__name__}": 7}, text) == 7


class Mapping:
    """Not a dict, but answers `get` and `keys` as the library asks."""

    def __init__(self, **items):
        self.items_ = items

    def get(self, key, default=None):
        return self.items_.get(key, default)

    def keys(self):
        return self.items_.keys()


class Sub(dict):
    def items(self):
        return [("x", "from items")]


def test_data_of_other_types_is_read_as_the_library_reads_it():
    datum = library_module.DatumInContext({"x": "inner"})
    json = {"m": Mapping(x=1, y=[2]), "s": Sub(x=3), "l": [Sub(x=4)], "d": datum,
            "r": range(3), "b": bytearray(b"ab")}
    for path in ["m.x", "m.*", "$..x", "s.x", "$..*", "l[*].x", "d.x", "d.value", "d..x",
                 "r[0]", "r[*]", "b[0:1]", "*.x", "$..[0]"]:
        expected = [m.value for m in parse(path).find(json)]
        got = dict_find_all_path(json, path)
        assert got == expected, path
        assert [id(v) for v in got] == [id(v) for v in expected], path


def test_library_changed_in_the_middle_of_a_walk_leaves_no_kept_tree_changed():
    original = library_module.Fields.find

    def rename(self, datum):
        if self.fields == ("x",):
            self.fields = ("zz",)
        return original(self, datum)

    def patch(key):
        library_module.Fields.find = rename

    path = "a[*].x"
    assert dict_find_all_path({"a": []}, path) == []  # kept, with its plan
    key = Key(patch)
    json = {"a": [{key: 1}, Mapping(x=1, zz=2)]}
    key.armed = True
    try:
        assert dict_find_all_path(json, path) == library(json, path) == [2]
    finally:
        library_module.Fields.find = original
    edited = {"a": [{"x": 1}]}
    assert treekit.dict_update_path(edited, path, 9) == {"a": [{"x": 9}]}
    assert dict_find_all_path(edited, path) == [9]
