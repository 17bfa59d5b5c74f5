"""Runs one case of the allocation-failure sweep: `python nomemory_cases.py CASE FIRST LAST`.

Sets the case up, then for each position in FIRST..LAST forks a child in
which exactly that allocation fails during the call, and prints one line
per position: `position outcome`, the outcome being `result`, `MemoryError`,
`exception`, `SystemError` (raised where the package's own entry is innermost),
`host SystemError` (raised in the interpreter's or the standard library's code) or `signal N` / `exit N` for a child that died.
With `--direct POSITION` it runs that one position in this process instead
(for a debugger to see the crash).
"""

import importlib.util
import os
import pathlib
import sys
import tempfile

import _testcapi

WORK = pathlib.Path(tempfile.mkdtemp(prefix="tarvex_nomemory_"))


def files():
    (WORK / "sample.txt").write_text("a \n\nb\n c")
    (WORK / "data.yaml").write_text("a: [1, 2]\n")
    (WORK / "rich.yaml").write_text('k: |\n  x\nn: [.nan, -1.5, 0x1F, "q\\t", yes]\n"s": {t: ~}\n')
    (WORK / "tree" / "sub").mkdir(parents=True, exist_ok=True)
    (WORK / "tree" / "a.txt").write_text("a")
    (WORK / "tree" / "sub" / "b.txt").write_text("b")
    (WORK / "victim.txt").write_text("v")
    (WORK / "victim").mkdir(exist_ok=True)
    (WORK / "moving.txt").write_text("m")
    os.chdir(WORK)


def helpers():
    from tarvex_func.function import quantkit as q, setkit as s, textkit as t, treekit as k

    nested = {"a": {"b": [1, 2]}, "x": {"p": 1, "q": 2}}
    shared = {"k": [1, "yes", "x " * 50]}
    yaml_tree = {"b": [shared, shared], "a": ["é😀\x85", 10**30, 1e17, None], 2: {"c": "d\ne"}}
    wide = {"r": [{"d": i, "e": [i, {"d": -i}]} for i in range(6)], "d": (1, 2)}
    refused = "$.r[?(@.d > 1)]"
    for path in ("a.b[*]", "x.*", "a.new.x", "l[*]", "$..d", "r[1:6:2].(e[*])", refused):
        k.dict_find_path(nested, path)  # parsed once, outside the sweep
    return {
        "list_diff": lambda: s.list_diff([1, 2, 3, 4], [2]),
        "list_set": lambda: s.list_set([3, 1, 3]),
        "list_intersect": lambda: s.list_intersect(list1=[1, 2, 3], list2=[2, 3]),
        "number_str": lambda: q.number_str(12),
        "number_int": lambda: q.number_int("7"),
        "number_float": lambda: q.number_float(3),
        "number_time": lambda: q.number_time(0, "%Y"),
        "str_int": lambda: t.str_int("12"),
        "str_float": lambda: t.str_float("1.5"),
        "str_time": lambda: t.str_time("2024-01-02", "%Y-%m-%d"),
        "str_format": lambda: t.str_format("{}-{b}", 1, b=2),
        "str_format_s": lambda: t.str_format_s("%s-%d", "a", 3),
        "str_isfile": lambda: t.str_isfile("sample.txt"),
        "str_isdir": lambda: t.str_isdir("tree"),
        "str_file_delete": lambda: t.str_file_delete("victim.txt"),
        "str_dir_delete": lambda: t.str_dir_delete("victim"),
        "str_copy": lambda: t.str_copy("sample.txt", "copy.txt"),
        "str_move": lambda: t.str_move("moving.txt", "moved.txt"),
        "str_read_yaml": lambda: t.str_read_yaml("data.yaml"),
        "str_read_yaml_native": lambda: t.str_read_yaml("rich.yaml"),
        "str_read_file": lambda: t.str_read_file("sample.txt"),
        "str_read_line": lambda: list(t.str_read_line("sample.txt")),
        "line_generator_protocol": lambda: line_generator_protocol(t),
        "str_read_lines": lambda: t.str_read_lines("sample.txt"),
        "str_write_file": lambda: t.str_write_file("abc", "out.txt"),
        "str_files_dict": lambda: t.str_files_dict("tree"),
        "str_files_list": lambda: t.str_files_list("tree"),
        "dict_find_path": lambda: k.dict_find_path(nested, "a.b[*]"),
        "dict_find_all_path": lambda: k.dict_find_all_path(nested, "x.*"),
        "dict_find_all_path_walk": lambda: (k.dict_find_all_path(wide, "$..d"),
                                            k.dict_find_path(wide, "r[1:6:2].(e[*])"),
                                            k.dict_find_path(wide, refused)),
        "dict_update_path": lambda: k.dict_update_path(nested, "a.new.x", 5),
        "dict_delete_path": lambda: k.dict_delete_path({"l": [1, 2, 3]}, "l[*]", 2),
        "dict_update_path_native": lambda: (
            k.dict_update_path({"k": [1], "a": {}}, "$.k[3].x.y", 5),
            k.dict_update_path({"a": {"b": [1, 2], "c": {"x": 1}}}, "a.*", 2),
            k.dict_update_path({"a": [1, 2]}, "a[*]", [3, 4])),
        "dict_delete_path_native": lambda: no_marker_left(
            k.dict_delete_path, {"l": [1, 2, 3], "a": {"b": 4, "c": 5}}, "$.l[1]", "a.b"),
        "dict_update_path_many_native": lambda: (
            k.dict_update_path({"a": [{"d": 1}, {"b": {"d": [2]}}], "d": 3}, "$..d", 5),
            k.dict_update_path([{"id": 1}, {}, {"b": {}}], "[*].b[2]", 5)),
        "dict_delete_path_many_native": lambda: no_marker_left(
            k.dict_delete_path, {"l": [1, 2, 3], "a": {"b": 4, "c": 5}}, "$..c", "l[*]", "$.*.b"),
        "dict_write_yaml": lambda: k.dict_write_yaml(nested, "out.yaml"),
        "dict_write_yaml_native": lambda: k.dict_write_yaml(yaml_tree, "out.yaml", sort_keys=True,
                                                            default_flow_style=None),
    }


MARKER_LEFT = 20  # the exit status when a delete leaves its marker in the data


def no_marker_left(delete, data, *paths):
    """Deletes each path; exits at once when anything but the data's own
    numbers is left in it."""
    for path in paths:
        delete(data, path)
    leaves = [*data["l"], *data["a"].values()]
    if any(type(leaf) is not int for leaf in leaves):
        os._exit(MARKER_LEFT)


def line_generator_protocol(t):
    g = t.str_read_line("sample.txt")
    first = next(g)
    g.send(None)
    try:
        g.throw(ValueError("stop"))
    except ValueError:
        pass
    g.close()
    return first


def installation():
    from tarvex_func.hubkit import TarvexHubkit
    import tarvex_func

    cases = {"TarvexHubkit": TarvexHubkit}
    if hasattr(tarvex_func, "install"):
        cases["install"] = lambda: (tarvex_func.install(), tarvex_func.uninstall())
    return cases


def load_extension(name):
    """Executes one extension module afresh from its file, as its import does."""
    package = pathlib.Path(importlib.util.find_spec("tarvex_func").origin).parent
    folder = package if name == "hubkit" else package / "function"
    (origin,) = folder.glob(f"{name}.cpython-*")
    full = "tarvex_func." + ("" if name == "hubkit" else "function.") + name

    def load():
        spec = importlib.util.spec_from_file_location(full, origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    return load


def case(name):
    if name.startswith("import "):
        module = name.split()[1]
        import yaml, jsonpath_ng.parser, datetime, shutil, gc  # noqa: F401 (not under the sweep)
        if module == "hubkit":
            import tarvex_func.function  # noqa: F401
        return load_extension(module)
    files()
    table = helpers()
    table.update(installation())
    if name.endswith("_native"):
        table[name]()  # the native paths keep what they modelled at their first call
    return table[name]


PACKAGE_FILES = {"setkit.py", "quantkit.py", "textkit.py", "treekit.py", "hubkit.py"}


def raised_by_the_package(error):
    """Whether the innermost traceback entry is one of the package's own."""
    tb = error.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb.tb_frame.f_code.co_filename in PACKAGE_FILES


def outcome_of(call):
    try:
        call()
    except MemoryError:
        return 10
    except SystemError as error:
        return 12 if raised_by_the_package(error) else 13
    except BaseException:
        return 11
    finally:
        _testcapi.remove_mem_hooks()
    return 0


def main():
    name, first, last = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    call = case(name)
    if "--direct" in sys.argv:
        _testcapi.set_nomemory(first, first + 1)
        os._exit(outcome_of(call))
    names = {0: "result", 10: "MemoryError", 11: "exception", 12: "SystemError",
             13: "host SystemError"}
    for position in range(first, last + 1):
        sys.stdout.flush()
        child = os.fork()
        if child == 0:
            _testcapi.set_nomemory(position, position + 1)
            os._exit(outcome_of(call))
        _, status = os.waitpid(child, 0)
        if os.WIFSIGNALED(status):
            print(position, "signal", os.WTERMSIG(status))
        else:
            code = os.WEXITSTATUS(status)
            print(position, names.get(code, f"exit {code}"))


if __name__ == "__main__":
    main()
