"""treekit against plain-Python twins that parse the path at every call.

Run from the repository root: `.venv/bin/python bench/bench_treekit.py`.
"""

import itertools
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from jsonpath_ng.parser import parse  # noqa: E402

from common import compare, header  # noqa: E402
from tarvex_func.function import treekit  # noqa: E402


from twins import (  # noqa: E402
    dict_delete_path as delete_twin,
    dict_find_all_path as find_all_twin,
    dict_find_path as find_twin,
    dict_update_path as update_twin,
    dict_write_yaml as write_yaml_twin,
)


def small_tree():
    return {"a": {"b": [1, 2, {"c": 3}]}, "items": [{"c": 1}, {"c": 2}, {"c": 3}]}


def bench_repeated_paths():
    header("a repeated path (parsed once by treekit, at every call by the twin)")
    data = small_tree()
    pairs = [
        ("dict_find_path(tree, 'items[*].c')",
         lambda: treekit.dict_find_path(data, "items[*].c"),
         lambda: find_twin(data, "items[*].c")),
        ("dict_find_all_path(tree, '$..c')",
         lambda: treekit.dict_find_all_path(data, "$..c"),
         lambda: find_all_twin(data, "$..c")),
        ("dict_update_path(tree, 'a.new.x', 1)",
         lambda: treekit.dict_update_path(data, "a.new.x", 1),
         lambda: update_twin(data, "a.new.x", 1)),
        ("dict_delete_path(fresh tree, 'items[*]', 2)",
         lambda: treekit.dict_delete_path(small_tree(), "items[*]", 2),
         lambda: delete_twin(small_tree(), "items[*]", 2)),
    ]
    return [compare(label, native, twin, repeat=3) for label, native, twin in pairs]


def bench_new_paths():
    header("a path seen for the first time at every call")
    counter = itertools.count()

    def fresh():
        n = next(counter)
        return {f"k{n}": [1, 2, 3]}, f"k{n}[*]"

    def run(function, *extra):
        def call():
            data, path = fresh()
            function(data, path, *extra)
        return call

    pairs = [
        ("dict_find_path, new path", treekit.dict_find_path, find_twin, ()),
        ("dict_find_all_path, new path", treekit.dict_find_all_path, find_all_twin, ()),
        ("dict_update_path, new path", treekit.dict_update_path, update_twin, (0,)),
        ("dict_delete_path, new path", treekit.dict_delete_path, delete_twin, (2,)),
    ]
    return [compare(label, run(native, *extra), run(twin, *extra), repeat=5)
            for label, native, twin, extra in pairs]


def bench_write_yaml():
    header("dict_write_yaml against dumping into the open file")
    data = {f"key{i}": {"name": f"näme {i}", "values": list(range(5)), "flag": i % 2 == 0}
            for i in range(50)}
    with tempfile.TemporaryDirectory() as folder:
        native_path = os.path.join(folder, "native.yaml")
        twin_path = os.path.join(folder, "twin.yaml")
        return [compare("dict_write_yaml(50 entries, path)",
                        lambda: treekit.dict_write_yaml(data, native_path),
                        lambda: write_yaml_twin(data, twin_path), repeat=9)]


# (path, the data it reads, the same lookup written by hand or None)
PLAN_PATHS = [
    ("$.a.b[2].c.d", "tree", 'tree["a"]["b"][2]["c"]["d"]'),
    ("$.a.b.c.d.e", "tree", 'tree["a"]["b"]["c"]["d"]["e"]'),
    ("a.b[*]", "tree", None),
    ("$.k[3]", "tree", 'tree["k"][3]'),
    ("$..d", "tree", None),
    ("$.*.name", "tree", None),
    ("[*].id", "records", '[r["id"] for r in records]'),
    ("a.`parent`", "tree", None),  # no plan: the library's find
]


def plan_trees():
    """A small tree, and a medium one: the same paths among more keys and items."""
    small = {"a": {"b": [0, 1, {"c": {"d": 5}}]}, "k": [0, 1, 2, 3],
             "p": {"name": "x"}, "q": {"name": "y"}}
    medium = {f"key{i}": {"name": f"n{i}", "values": list(range(5)), "flag": i % 2 == 0}
              for i in range(40)}
    medium.update({"a": {"b": [0, 1, {"c": {"d": 5}}] + [{"x": i} for i in range(20)]},
                   "k": list(range(50))})
    return [("small", small), ("medium", medium)]


def bench_plans():
    header("dict_find_all_path against the library's find on a pre-parsed path, and by hand")
    records = [{"id": i, "name": f"n{i}"} for i in range(100)]
    ratios = {}
    for size, tree in plan_trees():
        chain = {"a": {"b": {"c": {"d": {"e": 1}}}}}
        for path, data, hand in PLAN_PATHS:
            namespace = {"treekit": treekit, "records": records,
                         "tree": chain if path == "$.a.b.c.d.e" else tree,
                         "expression": parse(path)}
            native = f"treekit.dict_find_all_path({data}, {path!r})"
            library = f"[m.value for m in expression.find({data})]"
            label = f"{size}: {path}"
            ratios[label] = compare(f"{label} vs library find", native, library,
                                    namespace=namespace)
            if hand:
                ratios[label + " by hand"] = compare(
                    f"{label} vs by hand", native, hand, namespace=namespace)
    return ratios

EDIT_MARKER = object()
EDIT_MARKS = {}


def library_update(json, expression, value):
    """What dict_update_path ran before, its parse kept."""
    expression.find_or_create(json)
    expression.update(json, value)
    return json


def library_delete(json, expression, index=1):
    """The delete's steps as before (find, select, mark through the update,
    filter, put back what stays marked), every parse kept."""
    selected = next((m for n, m in enumerate(expression.find(json), 1) if n == index), None)
    if selected is None:
        return json
    original = selected.value
    text = "$." + str(selected.full_path)
    mark = EDIT_MARKS.get(text) or EDIT_MARKS.setdefault(text, parse(text))
    library_update(json, mark, EDIT_MARKER)
    expression.filter(lambda x: x is EDIT_MARKER, json)
    if any(m.value is EDIT_MARKER for m in mark.find(json)):
        mark.update(json, lambda old, data, field: original)
    return json


# (path, tree, what puts the tree back after one delete)
EDIT_PATHS = [
    ("$.a.b", "tree", 'tree["a"]["b"] = saved_b'),
    ("$.a.new.key", "tree", 'tree["a"].pop("new", None)'),
    ("$.k[3]", "tree", 'tree["k"].insert(3, 3)'),
    ("a.b[*]", "tree", 'tree["a"]["b"].insert(0, 0)'),
    ("$..d", "tree", 'tree["a"]["b"][2]["c"]["d"] = 5'),
    ("[*].id", "records", 'records[0]["id"] = 0'),
]


def bench_edits():
    header("dict_update_path / dict_delete_path against the library's calls, pre-parsed")
    ratios = {}
    for position, size in enumerate(["small", "medium"]):
        for path, data, restore in EDIT_PATHS:
            # a fresh tree for each path: the updates write over what they match
            tree = plan_trees()[position][1]
            records = [{"id": i, "name": f"n{i}"} for i in range(100)]
            namespace = {"treekit": treekit, "tree": tree, "records": records,
                         "expression": parse(path), "saved_b": tree["a"]["b"],
                         "library_update": library_update, "library_delete": library_delete}
            created = path == "$.a.new.key"
            after_update = f"; {restore}" if created else ""
            label = f"{size}: {path}"
            ratios[label + " update"] = compare(
                f"{label} update vs library",
                f"treekit.dict_update_path({data}, {path!r}, 7){after_update}",
                f"library_update({data}, expression, 7){after_update}", namespace=namespace)
            # the update wrote 7 where the delete's restore puts the original back
            exec(restore if not created else "pass", namespace)
            ratios[label + " delete"] = compare(
                f"{label} delete vs library",
                f"treekit.dict_delete_path({data}, {path!r}); {restore}",
                f"library_delete({data}, expression); {restore}", namespace=namespace)
    return ratios


def big_tree():
    """About 10 MB as JSON: records with nested parts, the first holding `d`."""
    records = [{"id": i, "name": f"record {i}", "tags": [f"t{i % 7}", f"u{i % 11}"],
                "meta": {"size": i * 3, "owner": {"name": f"o{i % 13}", "level": i % 5}},
                "values": [i, i + 1.5, None, True]} for i in range(60000)]
    records[0]["meta"]["d"] = "early"
    return {"records": records}


def bench_first_match():
    header("dict_find_path: `$..d` first match on a 10 MB tree, early in it")
    tree = big_tree()
    namespace = {"treekit": treekit, "tree": tree, "expression": parse("$..d")}
    native = "treekit.dict_find_path(tree, '$..d')"
    library = "[m.value for m in expression.find(tree)][:1]"
    return compare("$..d first match vs library find", native, library, repeat=3,
                   namespace=namespace)


def bench_refused_path():
    header("a path the parser refuses, repeated")
    path = "$.items[?(@.price > 10)].id"
    data = {"items": [{"price": 20, "id": 1}]}

    def library():
        try:
            parse(path)
        except Exception:  # noqa: BLE001 - refused, as measured
            pass

    return compare("dict_find_path(refused path) vs library parse",
                   lambda: treekit.dict_find_path(data, path), library, repeat=5)


def main():
    if "--edits" in sys.argv:
        edits = bench_edits()
        slowest = max(edits, key=edits.get)
        print(f"\nedits: lowest speed-up {1 / edits[slowest]:.1f}x, {slowest}"
              " (goal: at least 10x the pre-parsed library)")
        return
    first = bench_first_match()
    refused = bench_refused_path()
    bench_plans()
    repeated = bench_repeated_paths()
    new = bench_new_paths()
    written = bench_write_yaml()
    edits = bench_edits()
    print()
    print(f"repeated path: highest native/twin {max(repeated):.4f} (goal: at most 0.01)")
    print(f"new path:      highest native/twin {max(new):.3f} (goal: at most 1, within noise)")
    print(f"write_yaml:    native/twin {written[0]:.3f} (goal: at most 1.05)")
    print(f"first match:   native/library {first:.3f} (the library's full find)")
    print(f"refused path:  native/library {refused:.4f} (goal: at most 0.05)")
    print(f"edits:         highest native/library {max(edits.values()):.3f} (goal: at most 0.1)")


if __name__ == "__main__":
    main()
