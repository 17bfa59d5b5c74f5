"""JSONPath lookups and edits on nested data, and the YAML writer."""

import copy
import gc
import io
import sys

import jsonpath_ng.parser
import pytest
import yaml

import tarvex_func.function as function
from support import entries_named
from tarvex_func.function import treekit
from tarvex_func.function.treekit import (
    dict_delete_path,
    dict_find_all_path,
    dict_find_path,
    dict_update_path,
    dict_write_yaml,
)

real_parse = jsonpath_ng.parser.parse


def tree():
    return {
        "a": {"b": [1, 2, {"c": 3}], "d": None},
        "x": {"p": 1, "q": "qz_delete", "r": 3},
        "items": [{"c": 1}, {"c": 2}, {"c": 3}],
        "text": "é",
    }


PATHS = ["a.b[*]", "$.a.b[1]", "x.*", "$..c", "$", "a.b[0:2]", "items[*].c", "a.d", "nope.x",
         "a.b[7]"]


def ours(error):
    return entries_named(error, "treekit.")


class Counting:
    """A `parse` that counts its calls and can hand out an expression whose
    methods misbehave."""

    def __init__(self, failing=None, error=ValueError):
        self.calls = []
        self.failing, self.error = failing, error

    def __call__(self, path):
        self.calls.append(path)
        expression = real_parse(path)
        return Failing(expression, self.failing, self.error) if self.failing else expression


class Failing:
    def __init__(self, expression, method, error):
        self.expression, self.method, self.error = expression, method, error

    def __getattr__(self, name):
        if name == self.method:
            raise self.error("failing " + name)
        return getattr(self.expression, name)


def test_module_globals_and_exports():
    assert treekit.parse is real_parse and treekit.yaml is yaml
    assert sys.modules["treekit"] is treekit
    names = [n for n in vars(treekit) if not n.startswith("__")]
    assert names == ["yaml", "parse", "dict_find_path", "dict_find_all_path", "dict_update_path",
                     "dict_delete_path", "dict_write_yaml"]
    assert dict_update_path.__defaults__ == (None,) and dict_delete_path.__defaults__ == (1,)
    assert dict_write_yaml.__defaults__ == ("w", "", False, False, 2, True, None, False)
    assert dict_write_yaml.__code__.co_varnames[-1] == "yaml_file"
    for name in ["dict_find_path", "dict_find_all_path", "dict_update_path", "dict_delete_path",
                 "dict_write_yaml"]:
        assert name in function.__all__ and getattr(function, name) is getattr(treekit, name)
    assert not {"gc", "parse", "yaml"} & set(function.__all__)
    with pytest.raises(TypeError, match=r"dict_find_path\(\) takes exactly 2 positional"):
        dict_find_path({})
    with pytest.raises(TypeError, match=r"dict_write_yaml\(\) takes at most 10 positional"):
        dict_write_yaml(*range(11))


@pytest.mark.parametrize("path", PATHS)
def test_lookups_give_what_the_library_finds(path):
    data = tree()
    values = [m.value for m in real_parse(path).find(data)]
    assert dict_find_all_path(data, path) == values
    assert dict_find_path(data, path) == (values[0] if values else None)
    found = dict_find_all_path(data, path)
    assert all(a is b for a, b in zip(found, values))


def test_lookups_on_bad_input():
    data = tree()
    assert dict_find_path(data, "a.b") is data["a"]["b"]
    for bad in ["(((", "a..[", 5, None]:
        assert dict_find_path(data, bad) is None and dict_find_all_path(data, bad) is None
    assert dict_find_all_path([{"a": 1}, {"a": 2}], "[*].a") == [1, 2]
    assert dict_find_all_path(None, "a") == [] and dict_find_path(7, "$") == 7
    assert dict_find_all_path({"a": object}, "a") == [object]


def test_lookups_let_interrupts_through(monkeypatch):
    def interrupted(path):
        raise KeyboardInterrupt

    monkeypatch.setattr(treekit, "parse", interrupted)
    with pytest.raises(KeyboardInterrupt) as info:
        dict_find_path({}, "a")
    assert ours(info.value) == [("treekit.dict_find_path", 16)]
    with pytest.raises(KeyboardInterrupt) as info:
        dict_find_all_path({}, "a")
    assert ours(info.value) == [("treekit.dict_find_all_path", 24)]
    monkeypatch.delattr(treekit, "parse")
    assert dict_find_path({}, "a") is None


@pytest.mark.parametrize("path", PATHS + ["a.new.deep", "items[5]"])
def test_update_writes_what_the_library_writes(path):
    data, expected = tree(), tree()
    expression = real_parse(path)
    expression.find_or_create(expected)
    expression.update(expected, "v")
    assert dict_update_path(data, path, "v") is data
    assert data == expected
    data = tree()
    assert dict_update_path(data, "a.b[0]") is data and data["a"]["b"][0] is None


def test_update_returns_the_tree_and_lets_only_interrupts_through(monkeypatch):
    data = tree()
    for bad in ["(((", 5, None]:
        assert dict_update_path(data, bad, 1) is data and data == tree()
    assert dict_update_path(None, "a", 1) is None and dict_update_path(7, "a") == 7
    monkeypatch.setattr(treekit, "parse", Counting(failing="update"))
    assert dict_update_path(data, "a.b[0]", 9) is data and data == tree()
    monkeypatch.setattr(treekit, "parse", Counting(failing="update", error=KeyboardInterrupt))
    with pytest.raises(KeyboardInterrupt) as info:
        dict_update_path(data, "a.b[0]", 9)
    assert ours(info.value) == [("treekit.dict_update_path", 34)]
    monkeypatch.setattr(treekit, "parse", Counting(failing="find_or_create", error=SystemExit))
    with pytest.raises(SystemExit):
        dict_update_path(data, "a.b[0]", 9)
    assert data == tree()


def expected_delete(data, path, index):
    """The removal done with the library directly, on a copy."""
    data = copy.deepcopy(data)
    matches = real_parse(path).find(data)
    if isinstance(index, int) and 1 <= index <= len(matches):
        doomed = object()
        real_parse("$." + str(matches[index - 1].full_path)).update(data, doomed)
        real_parse(path).filter(lambda x: x is doomed, data)
    return data


@pytest.mark.parametrize("path,index", [("a.b[*]", 1), ("a.b[*]", 2), ("a.b[*]", 3), ("x.*", 2),
                                        ("$..c", 1), ("items[*]", 3), ("a.b[7]", 1),
                                        ("x.*", 4), ("nope", 1), ("a.b[0:2]", 2)])
def test_delete_removes_the_selected_match(path, index):
    data = tree()
    expected = expected_delete(data, path, index)
    assert dict_delete_path(data, path, index) is data
    assert data == expected
    data = tree()
    assert dict_delete_path(data, "a.b[*]") is data and data["a"]["b"] == [2, {"c": 3}]


def test_delete_keeps_other_values_that_look_like_its_marker():
    class EqualsAll:
        def __eq__(self, other):
            return True

    anything = EqualsAll()
    data = {"l": ["qz_delete", "keep", "qz_delete", anything], "m": "qz_delete"}
    dict_delete_path(data, "l[*]", 2)
    assert data == {"l": ["qz_delete", "qz_delete", anything], "m": "qz_delete"}
    dict_delete_path(data, "$.*", 2)
    assert list(data) == ["l"] and data["l"][2] is anything


def test_delete_index_other_than_a_count():
    for index in [0, -1, "1", 3.5, None, 99]:
        data = tree()
        assert dict_delete_path(data, "a.b[*]", index) is data and data == tree()
    for index, gone in [(2.0, 2), (True, 1)]:
        data = tree()
        dict_delete_path(data, "a.b[*]", index)
        assert gone not in data["a"]["b"] and len(data["a"]["b"]) == 2


def test_delete_on_bad_input():
    for bad in ["(((", 5, None]:
        data = tree()
        assert dict_delete_path(data, bad) is data and data == tree()
    assert dict_delete_path(None, "a") is None and dict_delete_path(7, "$") == 7
    data = tree()
    assert dict_delete_path(data, "$") is data and data == tree()
    data = {1: "int key", "a": 1}
    assert dict_delete_path(data, "$.*") is data and data == {1: "int key", "a": 1}


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt])
@pytest.mark.parametrize("original", [None, [7, 8], len, "text"])
def test_delete_puts_the_value_back_when_the_filter_fails(monkeypatch, error, original):
    data = {"l": [0, original, 2], "m": {"k": original}}
    monkeypatch.setattr(treekit, "parse", Counting(failing="filter", error=error))
    for path, index in [("l[*]", 2), ("m.*", 1)]:
        if error is ValueError:
            assert dict_delete_path(data, path, index) is data
        else:
            with pytest.raises(KeyboardInterrupt) as info:
                dict_delete_path(data, path, index)
            assert ours(info.value) == [("treekit.dict_delete_path", 46)]
        assert data == {"l": [0, original, 2], "m": {"k": original}}
        assert data["l"][1] is original and data["m"]["k"] is original


def test_delete_leaves_no_marker_when_putting_back_fails_too(monkeypatch):
    # Once the marker is written, the library fails at everything (as it does
    # when memory has run out): the filter, and the putting back through it.
    def failing(*args, **kwargs):
        raise MemoryError

    def mark_then_fail(json, path, value):
        marked = dict_update_path(json, path, value)
        for method in ("find", "update", "filter"):
            monkeypatch.setattr(jsonpath_ng.jsonpath.Child, method, failing)
        return marked

    original = [7, 8]
    for data, path, index in [({"l": [0, original, 2]}, "l[*]", 2),
                              ({"m": {"j": 0, "k": original}}, "m.*", 2)]:
        expected = copy.deepcopy(data)
        monkeypatch.setattr(treekit, "dict_update_path", mark_then_fail)
        assert dict_delete_path(data, path, index) is data
        monkeypatch.undo()
        assert data == expected
        assert original in (data.get("l") or data["m"].values())


def test_delete_marks_through_the_global_update(monkeypatch):
    seen = []

    def spy(json, path, value):
        seen.append((path, type(value)))
        return dict_update_path(json, path, value)

    monkeypatch.setattr(treekit, "dict_update_path", spy)
    data = tree()
    dict_delete_path(data, "a.b[*]", 2)
    assert seen == [("$." + str(real_parse("a.b[*]").find(tree())[1].full_path), object)]
    assert data["a"]["b"] == [1, {"c": 3}]

    def interrupted(json, path, value):
        json["a"]["b"][1] = value
        raise KeyboardInterrupt

    monkeypatch.setattr(treekit, "dict_update_path", interrupted)
    with pytest.raises(KeyboardInterrupt) as info:
        dict_delete_path(data, "a.b[*]", 2)
    assert ours(info.value) == [("treekit.dict_delete_path", 45)]
    assert data["a"]["b"] == [1, {"c": 3}]


def test_delete_filter_is_a_package_lambda(monkeypatch):
    seen = []

    class Spying(Failing):
        def filter(self, fn, data):
            seen.append(fn)
            with pytest.raises(TypeError) as info:
                fn()
            seen.append(ours(info.value))
            return self.expression.filter(fn, data)

    monkeypatch.setattr(treekit, "parse", lambda path: Spying(real_parse(path), None, None))
    data = tree()
    dict_delete_path(data, "a.b[*]")
    predicate, entries = seen
    assert type(predicate) is type(dict_find_path)
    assert predicate.__qualname__ == "dict_delete_path.<locals>.<lambda>"
    assert predicate.__name__ == "<lambda>" and predicate.__doc__ is None
    assert entries == [("treekit.dict_delete_path.lambda", 46)]
    assert data["a"]["b"] == [2, {"c": 3}]


def test_parsed_paths_are_kept_per_parse(monkeypatch):
    counting = Counting()
    monkeypatch.setattr(treekit, "parse", counting)
    data = tree()
    for _ in range(3):
        assert dict_find_path(data, "a.b[0]") == 1
        dict_update_path(data, "a.d", 5)
    assert counting.calls == ["a.b[0]", "a.d"]
    for _ in range(2):
        assert dict_find_path(data, "(((") is None
    assert counting.calls[2:] == ["(((", "((("]

    class Path(str):
        pass

    dict_find_path(data, Path("a.d"))
    dict_find_path(data, Path("a.d"))
    assert counting.calls[4:] == ["a.d", "a.d"]

    other = Counting()
    monkeypatch.setattr(treekit, "parse", other)
    assert dict_find_path(data, "a.b[0]") == 1 and other.calls == ["a.b[0]"]


def test_mark_paths_do_not_push_out_the_callers_paths(monkeypatch):
    counting = Counting()
    monkeypatch.setattr(treekit, "parse", counting)
    data = {"l": list(range(600))}
    dict_find_path(data, "l[0]")
    for _ in range(300):
        dict_delete_path(data, "l[*]", len(data["l"]))
    assert data["l"] == list(range(300))
    del counting.calls[:]
    dict_find_path(data, "l[0]")
    dict_find_path(data, "l[*]")
    assert counting.calls == []


def test_write_yaml_writes_what_dumping_into_the_file_writes(tmp_path):
    data = {"z": 1, "a": ["é", {"k": None}], "m": {"n": 2.5}}
    twin_path, path = tmp_path / "twin.yaml", tmp_path / "out.yaml"
    options = [{}, {"sort_keys": True}, {"allow_unicode": False}, {"default_flow_style": True},
               {"indent": 4, "canonical": True}, {"encoding": "utf-16"},
               {"encoding": "utf-8", "mode": "a"}, {"mode": "a", "encoding": "utf-16"}]
    for kwargs in options:
        for target in (twin_path, path):
            target.write_bytes(b"before\n")
        mode = kwargs.pop("mode", "w")
        full = dict(default_style="", default_flow_style=False, canonical=False, indent=2,
                    allow_unicode=True, encoding=None, sort_keys=False)
        full.update(kwargs)
        with open(twin_path, mode, encoding=full["encoding"]) as f:
            yaml.dump(data, f, **full)
        assert dict_write_yaml(data, str(path), mode, **kwargs) is None
        assert path.read_bytes() == twin_path.read_bytes()
    dict_write_yaml(data, path)
    assert path.read_text() == "z: 1\na:\n- é\n- k: null\nm:\n  n: 2.5\n"


def test_write_yaml_failures_leave_the_file_alone(tmp_path, monkeypatch):
    path = tmp_path / "out.yaml"
    with pytest.raises(FileNotFoundError) as info:
        dict_write_yaml({}, str(tmp_path / "missing" / "out.yaml"))
    assert ours(info.value) == [("treekit.dict_write_yaml", 58)]
    assert not (tmp_path / "missing").exists()

    for mode in ["w", "a"]:
        with pytest.raises(TypeError, match="cannot pickle") as info:
            dict_write_yaml({"f": (x for x in [])}, str(path), mode)
        assert ours(info.value) == [("treekit.dict_write_yaml", 58), ("treekit.dict_write_yaml", 59)]
        assert not path.exists()
    path.write_text("keep\n")
    for mode in ["w", "a"]:
        with pytest.raises(TypeError, match="cannot pickle"):
            dict_write_yaml({"f": (x for x in [])}, str(path), mode)
        with pytest.raises(UnicodeEncodeError):
            dict_write_yaml({"f": "é"}, str(path), mode, encoding="ascii")
        with pytest.raises(TypeError, match="a bytes-like object is required, not 'str'"):
            dict_write_yaml({"f": 1}, str(path), mode + "b")
        with pytest.raises(ValueError, match="binary mode doesn't take an encoding argument"):
            dict_write_yaml({"f": 1}, str(path), mode + "b", encoding="utf-8")
        with pytest.raises(LookupError):
            dict_write_yaml({"f": 1}, str(path), mode, encoding="no-such-codec")
        assert path.read_text() == "keep\n"

    class BytesDumper:
        @staticmethod
        def dump(x, stream, **kwargs):
            stream.write(b"a: 1\n")

    monkeypatch.setattr(treekit, "yaml", BytesDumper)
    with pytest.raises(TypeError, match="write\\(\\) argument must be str, not bytes") as info:
        dict_write_yaml({}, str(path))
    assert ours(info.value) == [("treekit.dict_write_yaml", 58), ("treekit.dict_write_yaml", 59)]
    monkeypatch.delattr(treekit, "yaml")
    with pytest.raises(NameError, match="name 'yaml' is not defined"):
        dict_write_yaml({}, str(path))
    assert path.read_text() == "keep\n"
    monkeypatch.setattr(treekit, "yaml", yaml, raising=False)
    with pytest.raises(io.UnsupportedOperation) as info:
        dict_write_yaml({}, str(path), "r")
    assert ours(info.value) == [("treekit.dict_write_yaml", 58), ("treekit.dict_write_yaml", 59)]
    assert path.read_text() == "keep\n"
