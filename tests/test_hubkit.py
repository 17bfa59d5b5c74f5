"""TarvexHubkit: installing the helpers as methods of the built-in types.

Installation changes built-in types for the rest of the process, so every
scenario that installs runs in a fresh interpreter.
"""

import inspect
import subprocess
import sys
import textwrap

import pytest

from tarvex_func import hubkit

H = hubkit.TarvexHubkit


def run_isolated(code):
    """Runs `code` in a fresh interpreter; it reports failures by assert."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_the_class_and_its_functions():
    assert H.__module__ == "hubkit" and H.__qualname__ == "TarvexHubkit"
    assert H.__doc__ is None and H.__bases__ == (object,) and type(H) is type
    names = [n for n in vars(H) if not n.startswith("__") or n == "__init__"]
    assert names == ["__init__", "_extend_dict", "_extend_list", "_extend_str",
                     "_extend_file", "_extend_dir", "_extend_int", "_extend_float"]
    init = H.__init__
    assert init.__qualname__ == "TarvexHubkit.__init__" and init.__module__ == "hubkit"
    assert init.__doc__ == "TarvexHubkit.__init__(self, *args, **kwargs)"
    assert init.__code__.co_flags == 15 and init.__code__.co_argcount == 1
    assert init.__code__.co_varnames == ("self", "args", "kwargs")
    assert str(inspect.signature(init)) == "(self, *args, **kwargs)"
    for name, line in [("_extend_dict", 65), ("_extend_list", 74), ("_extend_str", 82),
                       ("_extend_file", 96), ("_extend_dir", 104), ("_extend_int", 116),
                       ("_extend_float", 124)]:
        assert isinstance(vars(H)[name], staticmethod)
        f = getattr(H, name)
        assert f.__qualname__ == f"TarvexHubkit.{name}" and f.__name__ == name
        assert f.__doc__ == f"TarvexHubkit.{name}()" and f.__defaults__ is None
        code = f.__code__
        assert (code.co_flags, code.co_argcount, code.co_varnames, code.co_firstlineno) == (
            3, 0, ("_gc",), line)


def test_module_globals():
    assert hubkit.gc is __import__("gc")
    assert hubkit.__test__ == {}
    from tarvex_func import function

    for name in function.__all__:
        assert getattr(hubkit, name) is getattr(function, name)
    assert "gc" not in function.__all__


def test_call_errors():
    with pytest.raises(TypeError, match=r"^_extend_dict\(\) takes no arguments \(1 given\)$"):
        H._extend_dict(1)
    with pytest.raises(TypeError, match=r"^_extend_list\(\) takes no keyword arguments$"):
        H._extend_list(a=1)
    with pytest.raises(TypeError) as info:
        H.__init__()
    assert str(info.value) == "__init__() takes at least 1 positional argument (0 given)"
    tb = info.value.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    assert (tb.tb_frame.f_code.co_name, tb.tb_lineno) == ("hubkit.TarvexHubkit.__init__", 23)


def test_import_installs_nothing_and_construction_installs_everything():
    run_isolated("""
        from tarvex_func import hubkit
        from tarvex_func.function import quantkit, setkit, textkit, treekit
        tables = {
            dict: {"find": treekit.dict_find_path, "find_all": treekit.dict_find_all_path,
                   "modify": treekit.dict_update_path, "delete": treekit.dict_delete_path,
                   "write_yaml": treekit.dict_write_yaml},
            list: {"set": setkit.list_set, "diff": setkit.list_diff,
                   "inter": setkit.list_intersect, "intersect": setkit.list_intersect},
            str: {"int": textkit.str_int, "float": textkit.str_float,
                  "timestamp": textkit.str_time, "f": textkit.str_format,
                  "s": textkit.str_format_s, "yaml": textkit.str_read_yaml,
                  "read": textkit.str_read_file, "read_line": textkit.str_read_line,
                  "read_lines": textkit.str_read_lines, "write": textkit.str_write_file,
                  "isfile": textkit.str_isfile, "remove": textkit.str_file_delete,
                  "copy": textkit.str_copy, "move": textkit.str_move,
                  "isdir": textkit.str_isdir, "files_dict": textkit.str_files_dict,
                  "files": textkit.str_files_list, "files_list": textkit.str_files_list,
                  "delete": textkit.str_dir_delete, "rmtree": textkit.str_dir_delete},
        }
        numbers = {"str": quantkit.number_str, "int": quantkit.number_int,
                   "float": quantkit.number_float, "time": quantkit.number_time}
        tables[int] = tables[float] = numbers
        assert sum(map(len, tables.values())) == 37
        for t, rows in tables.items():
            assert not any(name in t.__dict__ for name in rows), t

        instance = hubkit.TarvexHubkit("x", 1, key="v")
        assert vars(instance) == {}
        for t, rows in tables.items():
            for name, helper in rows.items():
                assert t.__dict__[name] is helper, (t, name)

        d = {"a": {"b": 1}}
        assert d.find("$.a.b") == treekit.dict_find_path(d, "$.a.b")
        assert dict.find(d, "$.a.b") == d.find("$.a.b")
        assert [1, 2, 3].diff([2]) == [1, 3]
        assert sorted([1, 2, 3].inter([2, 3])) == sorted([1, 2, 3].intersect([2, 3])) == [2, 3]
        assert (12).str() == "12" and (2.5).str() == "2.5" and True.int() == 1
        assert (2.5).int() == 2 and (2).float() == 2.0 and "7".int() == 7 and "x".float() == 0.0
        assert "{}-{b}".f(1, b=2) == "1-2" and "%s!".s("a") == "a!"
        assert "abc".find("b") == 1 and [1].copy() == [1] and {"a": 1}.copy() == {"a": 1}

        hubkit.TarvexHubkit()
        for t, rows in tables.items():
            for name, helper in rows.items():
                assert t.__dict__[name] is helper
        print("ok")
    """)


def test_a_lookup_that_missed_before_installation_resolves_after():
    run_isolated("""
        from tarvex_func import hubkit
        assert not hasattr([], "diff") and not hasattr({}, "find")
        assert not hasattr(1, "time") and not hasattr("", "read")
        hubkit.TarvexHubkit._extend_list()
        assert [1, 2].diff([2]) == [1]
        assert set(list.__dict__) >= {"set", "diff", "inter", "intersect"}
        assert not hasattr({}, "find") and "read" not in str.__dict__
        hubkit.TarvexHubkit()
        assert {}.find("$.a") is None and hasattr(1, "time") and hasattr("", "read")
    """)


def test_a_missing_helper_stops_installation_where_it_fails():
    run_isolated("""
        import traceback
        from tarvex_func import hubkit
        assert not hasattr([], "set")
        del hubkit.list_intersect
        try:
            hubkit.TarvexHubkit()
        except NameError as e:
            error = e
        assert str(error) == "name 'list_intersect' is not defined"
        entries = [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(error.__traceback__)]
        assert entries[-2:] == [("hubkit.py", 27, "hubkit.TarvexHubkit.__init__"),
                                ("hubkit.py", 79, "hubkit.TarvexHubkit._extend_list")]
        assert all(name in dict.__dict__ for name in ["find", "find_all", "modify", "delete", "write_yaml"])
        assert [3].set() == [3] and [1].diff([]) == [1]
        assert not hasattr([], "inter") and not hasattr([], "intersect")
        assert not hasattr("", "int") and not hasattr(1, "str") and not hasattr(1.0, "time")
    """)


def test_a_missing_gc_fails_at_the_first_statement_and_writes_nothing():
    run_isolated("""
        import traceback
        from tarvex_func import hubkit
        del hubkit.gc
        try:
            hubkit.TarvexHubkit._extend_int()
        except NameError as e:
            error = e
        assert str(error) == "name 'gc' is not defined"
        last = traceback.extract_tb(error.__traceback__)[-1]
        assert (last.lineno, last.name) == (118, "hubkit.TarvexHubkit._extend_int")
        assert "str" not in int.__dict__
    """)


def test_installers_are_looked_up_on_the_instance():
    run_isolated("""
        from tarvex_func import hubkit
        calls = []
        class Quiet(hubkit.TarvexHubkit):
            @staticmethod
            def _extend_str():
                calls.append("str")
        Quiet()
        assert calls == ["str"] and "int" not in str.__dict__ and "diff" in list.__dict__
    """)


@pytest.mark.parametrize(
    "replacement, error",
    [
        ("object()", "ImportError: from-import-* object has no __dict__ and no __all__"),
        ("types.SimpleNamespace(__all__=['nope'])", "AttributeError"),
    ],
)
def test_import_failures_carry_the_init_entry(replacement, error):
    out = run_isolated(f"""
        import sys, traceback, types
        import tarvex_func
        sys.modules["tarvex_func.function"] = {replacement}
        try:
            import tarvex_func.hubkit
        except Exception as e:
            traceback.print_exception(e, file=sys.stdout)
    """)
    assert 'File "hubkit.py", line 19, in init hubkit' in out
    assert error in out
