"""The lookups against the library's own `find` cases: each row's path over
its data must give what `parse(path).find(data)` gives, value by value and
object by object."""

from collections import OrderedDict, UserDict

import jsonpath_ng.jsonpath as library_module
import pytest
from jsonpath_ng.exceptions import JsonPathLexerError, JsonPathParserError
from jsonpath_ng.parser import parse

from jsonpath_oracle import assert_same
from support import MappingLike
from tarvex_func.function.treekit import dict_find_all_path, dict_find_path

pytestmark = pytest.mark.filterwarnings("ignore:The `[|&]` .* operator is deprecated")


STORE = {
    "store": {
        "book": [
            {"category": "reference", "author": "Rees", "title": "Sayings", "price": 8.95},
            {"category": "fiction", "author": "Waugh", "title": "Honour", "price": 12.99},
            {"category": "fiction", "author": "Melville", "title": "Whale", "isbn": "0-553",
             "price": 8.99},
            {"category": "fiction", "author": "Tolkien", "title": "Rings", "isbn": "0-395",
             "price": 22.99},
        ],
        "bicycle": {"color": "red", "price": 19.95},
    }
}

# (path, data) by the node type the path exercises.
ROWS = {
    "wildcard": [
        ("*", {"foo": 1, "baz": 2}),
        ("[*]", [1, 2, 3]),
        ("[*]", {"foo": 1, "bar": 2}),
        ("[*]", {}),
        ("[*].foo", {"a": {"foo": 1}, "b": {"foo": 2}}),
        ("[*].foo", {"foo": 1}),
        ("$.*", {"foo": 1, "bar": 2}),
        ("*.baz", {"flag": False, "foo": {"bar": 1, "baz": 2}}),
        ("$.*.number", {"foo": ["abc", "def"], "bar": {"number": 123456}, "boolean": True}),
        ("$.*.c", {"array": ["c"], "string": "c", "number": 1, "object": {"c": 1}}),
        ("foo[*].baz", {"foo": [{"baz": 1}, {"baz": 2}]}),
        ("$.store.*", STORE),
        ("$.store.book[*].author", STORE),
        *((("[*]", scalar) for scalar in (1, 1.2, True, False, "test", None))),
        ("[*]", (1, 2)),
        ("*", [1, 2]),
        ("*", "text"),
        ("*", UserDict({"u": 1})),
        ("*", OrderedDict(o=1, p=2)),
        ("*", MappingLike(m=1, n=2)),
    ],
    "fields": [
        ("foo", {"foo": "baz"}),
        ("foo,baz", {"foo": 1, "baz": 2}),
        ("baz,foo,baz", {"foo": 1, "baz": 2}),
        ("@foo", {"@foo": 1}),
        ("@", {"@": 1}),
        ("foo", UserDict({"foo": 1})),
        ("c", MappingLike(c=1)),
        ("'*'", {"*": 1, "x": 2}),
        ("foo.bar-baz", {"foo": {"bar-baz": 3}}),
        ("foo.[bar-baz,blah-blah]", {"foo": {"bar-baz": 3, "blah-blah": 5}}),
        ("A.'a.c'", {"A": {"a.c": "d"}}),
        ("1", {"1": "foo"}),
        ("1", {1: "foo"}),
        ("a.-1", {"a": {"-1": 0}}),
        ("$['store']['book'][0]['title']", STORE),
        *((("c", data) for data in (["c"], "c", ("c",), 42, 1.5, True, False, None))),
    ],
    "root": [
        ("$", {"foo": "baz"}),
        ("foo.$", {"foo": "baz"}),
        ("foo.$.foo", {"foo": "baz"}),
        ("$", "foo"),
        ("$", None),
    ],
    "this": [
        ("`this`", {"foo": "baz"}),
        ("foo.`this`", {"foo": "baz"}),
        ("foo.`this`.baz", {"foo": {"baz": 3}}),
        ("`this`", "foo"),
        ("`this`.`this`", [1]),
    ],
    "index": [
        ("[0]", [42]),
        ("[5]", [42]),
        ("[2]", [34, 65, 29, 59]),
        ("[0]", None),
        ("[-1]", None),
        ("[-1]", []),
        ("[0]", []),
        ("[-1]", [42]),
        ("[-2]", [42]),
        ("[-3]", [34, 65, 29]),
        ("[-4]", [34, 65, 29]),
        ("[3]", [34, 65, 29]),
        ("[0,-4,-3,3,-1]", [34, 65, 29]),
        ("[0]", {"foo": 1}),
        ("$.*[0].b", {"a": [{"b": 1}], "c": {"d": 2}}),
        ("[0]", 5),
        ("[-1]", 1.5),
        ("[0]", True),
        ("$[0]", "abc"),
        ("[0, 1]", ["foo", "bar", "baz"]),
        ("[-2].foo", [{"foo": 1}, {"foo": 2}]),
        ("[-3].foo", [{"foo": 1}, {"foo": 2}]),
        ("[1,1,-2]", (7, 8)),
        ("[99999999999999999999,-99999999999999999999]", [1]),
        ("[0]", range(3)),
    ],
    "slice": [
        ("[1:]", [1, 2, 3, 4]),
        ("[1:3]", [1, 2, 3, 4]),
        ("[:2]", [1, 2, 3, 4]),
        ("[:3:2]", [1, 2, 3, 4]),
        ("[1::2]", [1, 2, 3, 4]),
        ("[1:6:3]", list(range(1, 10))),
        ("[::-2]", [1, 2, 3, 4, 5]),
        ("[:]", [1, 2]),
        ("[::]", (1, 2)),
        ("[1:2:0]", [1, 2, 3]),
        ("[-1:]", [1, 2, 3]),
        ("[:-1]", (1, 2, 3)),
        ("[0:]", 1),
        ("[0:]", "test"),
        ("[0:]", {"foo": 1}),
        ("[0:2]", ["foo", "bar", "baz"]),
        ("[-99999999999999999999:99999999999999999999:99999999999999999999]", [1, 2]),
        ("[::-99999999999999999999]", [1, 2]),
        ("$..book[-1:]", STORE),
        ("$..book[:2]", STORE),
    ],
    "child": [
        ("foo.baz", {"foo": {"baz": 3}}),
        ("foo.baz", {"foo": {"baz": [3]}}),
        ("foo.baz.qux", {"foo": {"baz": {"qux": 5}}}),
        ("$.foo", {"foo": "bar"}),
        ("foo.bar", {"foo": {"bar": 1}}),
        ("$..book[0][category,author]", STORE),
    ],
    "descendants": [
        ("foo..baz", {"foo": {"baz": 1, "bing": {"baz": 2}}}),
        ("foo..baz", {"foo": [{"baz": 1}, {"baz": 2}]}),
        ("$..[0]", {"a": 5}),
        ("$..[0]", {"a": [5, 6]}),
        ("$..somefield", {"somefield": 1}),
        ("$..nestedfield", {"outer": {"nestedfield": 1}}),
        ("$..bar", {"outs": {"bar": 1, "ins": {"bar": 9}}, "outs2": {"bar": 2}}),
        ("$..UPPERCASE", {"Data_cat": {"data_entry": [{"value": 0, "UPPERCASE": "A"},
                                                      {"value": 2, "UPPERCASE": "B"}]}}),
        ("$..author", STORE),
        ("$.store..price", STORE),
        ("$..book[2]", STORE),
        ("$..book[0,1]", STORE),
        ("$..*", STORE),
        ("$..a", {"x": ({"a": 1},), "a": [{"a": 2}]}),
        ("$..[0]", {"x": ({"a": 1},)}),
        ("a..b..c", {"a": {"b": {"c": 1, "b": {"c": 2}}}}),
    ],
    "parent": [
        ("foo.baz.`parent`", {"foo": {"baz": 3}}),
        ("foo.`parent`.foo.baz.`parent`.baz.qux", {"foo": {"baz": {"qux": 5}}}),
        ("[*].`parent`", [1, 2]),
        ("`parent`", {"a": 1}),
    ],
    "where": [
        ("*.bar where baz", {"foo": {"bar": {"baz": 1}}, "bar": {"baz": 2}}),
        ("(* where flag) .. bar", {"foo": {"bar": 1, "flag": 1}, "baz": {"bar": 2}}),
        ("(* wherenot flag) .. bar", {"foo": {"bar": 1, "flag": 1}, "baz": {"bar": 2}}),
    ],
    "union": [
        ("a|b", {"a": 1, "b": 2}),
        ("(a|a).c", {"a": {"c": 1}}),
        ("$.store.bicycle|$..isbn", STORE),
        ("a&b", {"a": 1, "b": 2}),
    ],
}

ROW_PARAMS = [pytest.param(path, data, id=f"{kind}-{n}:{path}")
              for kind, rows in ROWS.items() for n, (path, data) in enumerate(rows)]


@pytest.mark.parametrize("path, data", ROW_PARAMS)
def test_library_find_cases(path, data):
    assert_same(data, path)


# Rows the library runs with its automatic id field named `id`.
AUTO_ID_ROWS = [
    ("*", {"foo": 1, "baz": 2}),
    ("foo.id", {"foo": "baz"}),
    ("foo.id", {"foo": {"id": "baz"}}),
    ("foo,baz.id", {"foo": 1, "baz": 2}),
    ("*.id", {"foo": {"id": 1}, "baz": 2}),
    ("$.id", {"foo": "baz"}),
    ("foo.$.id", {"foo": "baz", "id": "bizzle"}),
    ("foo.$.baz.id", {"foo": 4, "baz": 3}),
    ("id", {"foo": "baz"}),
    ("foo.`this`.id", {"foo": "baz"}),
    ("foo.`this`.baz.id", {"foo": {"baz": 3}}),
    ("[0].id", [42]),
    ("[2].id", [34, 65, 29, 59]),
    ("[*].id", [1, 2, 3]),
    ("[1:].id", [1, 2, 3, 4]),
    ("foo.baz.id", {"foo": {"baz": 3}}),
    ("foo.baz.id", {"foo": {"baz": [3]}}),
    ("foo.baz.id", {"foo": {"id": "bizzle", "baz": 3}}),
    ("foo.baz.id", {"foo": {"baz": {"id": "hi"}}}),
    ("foo.baz.bizzle.id", {"foo": {"baz": {"bizzle": 5}}}),
    ("foo..baz.id", {"foo": {"baz": 1, "bing": {"baz": 2}}}),
    ("id.foo", {"id": {"foo": 1}}),
    ("foo.baz", {"foo": {"baz": 3}}),
    ("$..*", {"a": [1, {"b": 2}]}),
    ("[0]", [1]),
]
NESTED = {"id": 1, "b": {"id": "bid", "name": "bob"}, "m": [{"a": "a1"}, {"a": "a2", "id": "a2id"}]}
AUTO_ID_ROWS += [("m.[1].id", NESTED), ("m.[1].$.b.id", NESTED), ("m.[0].id", NESTED)]


@pytest.fixture
def auto_id():
    """The library's automatic id field named `id` for one test, then off again."""
    saved = library_module.auto_id_field
    library_module.auto_id_field = "id"
    yield
    library_module.auto_id_field = saved


@pytest.mark.parametrize("path, data", AUTO_ID_ROWS, ids=[p for p, _ in AUTO_ID_ROWS])
def test_library_cases_with_automatic_ids(auto_id, path, data):
    assert_same(data, path)


def test_automatic_id_switched_on_and_off_between_calls(auto_id):
    # A path kept while ids were off must not keep answering as if they still were.
    data = {"id": 5, "a": {"id": 6}}
    library_module.auto_id_field = None
    assert dict_find_all_path(data, "a.id") == [6]
    library_module.auto_id_field = "a"
    assert_same(data, "a.id")
    assert_same(data, "a")
    library_module.auto_id_field = None
    assert dict_find_all_path(data, "a.id") == [6]


# Paths the library refuses: lexer and parser errors, unknown named operators.
UNPARSEABLE = ["foo[*.bar.baz", "foo.bar.`grandparent`.baz", "foo[*", "foo.bar.`len`",
               "foo.-baz", "", " ", "a b", "$$", "[1.5]", "[0,a]", "[?(@.a)]", "a[", "a..",
               "`this", "'open"]


def test_paths_the_library_refuses_give_none():
    data = {"foo": {"bar": {"baz": 1}}, "a": [1]}
    for path in UNPARSEABLE:
        with pytest.raises((JsonPathLexerError, JsonPathParserError)):
            parse(path)
        assert dict_find_path(data, path) is None, path
        assert dict_find_all_path(data, path) is None, path
    for path in [None, 5, b"a", ["a"]]:
        assert_same(data, path)


def test_finds_the_library_raises_in_give_none():
    # The parent of the root, an intersection, and a `get` that raises a
    # KeyError (the library catches only TypeError and AttributeError there).
    class RaisingGet:
        def get(self, key, default=None):
            raise KeyError(key)

    class TypeErrorGet:
        def get(self, key, default=None):
            raise TypeError(key)

    for data, path in [({"a": 1}, "`parent`"), ({"a": 1}, "$.`parent`"), ({"a": 1}, "a&a"),
                       ([RaisingGet()], "[0].x"), ({"r": RaisingGet()}, "r.x"),
                       ({"r": TypeErrorGet()}, "r.x"), ({"r": [TypeErrorGet()]}, "r[*].x")]:
        assert_same(data, path)
    assert dict_find_path({"a": 1}, "`parent`") is None
    assert dict_find_all_path([RaisingGet()], "[0].x") is None
    assert dict_find_all_path({"r": [TypeErrorGet()]}, "r[*].x") == []


def test_interrupts_in_the_data_reach_the_caller():
    class Interrupting:
        def get(self, key, default=None):
            raise KeyboardInterrupt

    class InterruptingKey:
        # Meets the field name "a" in the dict's table and compares with it.
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            raise KeyboardInterrupt

    for data, path in [([Interrupting()], "[0].x"), ({"a": {"b": Interrupting()}}, "$.a.b.c"),
                       ({"l": [Interrupting()]}, "l[*].x"), ({InterruptingKey(): 1}, "a"),
                       ({"k": {InterruptingKey(): 1}}, "k.a"), ({"k": [Interrupting()]}, "$..x")]:
        with pytest.raises(KeyboardInterrupt):
            parse(path).find(data)
        for lookup in (dict_find_path, dict_find_all_path):
            with pytest.raises(KeyboardInterrupt):
                lookup(data, path)
