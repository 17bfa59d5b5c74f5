"""Module globals taken away or replaced between calls: the next call reports
the missing name, or does what the replacement does, and putting the global
back brings the normal behaviour back at once."""

import builtins
import datetime
import os
import subprocess
import sys
import textwrap
import types
from typing import Any, Callable, NamedTuple

import pytest

from conftest import DELETE
from tarvex_func.function import quantkit, treekit
from tarvex_func.function import textkit as t

SOURCES = {"textkit.py", "treekit.py", "quantkit.py"}
str_files_dict = t.str_files_dict  # called while the global of that name is away


def innermost_entry(error):
    """(name, line) of the deepest traceback entry that the package added."""
    found, tb = None, error.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename in SOURCES:
            found = (tb.tb_frame.f_code.co_name, tb.tb_lineno)
        tb = tb.tb_next
    return found


class Row(NamedTuple):
    module: Any
    name: str
    call: Callable  # call(paths, log) -> a result to compare
    normal: Any  # normal(paths, result) -> bool
    missing: tuple  # ("raised" | "returned", entry) or ("swallowed", result)
    fake: Callable  # fake(log) -> the replacement global
    faked: Any  # faked(paths, result, log) -> bool


def ns(**kwargs):
    return types.SimpleNamespace(**kwargs)


def recording(log, result=None):
    def record(*args, **kwargs):
        log.append(args)
        return result
    return record


def fresh_dict_call(function, *args):
    """Calls `function` on a new tree; gives whether the tree itself came
    back, and the tree afterwards."""
    def call(paths, log):
        data = {"a": 1, "l": [1, 2, 3]}
        return function(data, *args) is data, data
    return call


UNCHANGED = (True, {"a": 1, "l": [1, 2, 3]})

ROWS = [
    Row(t, "datetime", lambda p, log: t.str_time("2024-01-02", "%Y-%m-%d"),
        lambda p, r: r == datetime.datetime(2024, 1, 2).timestamp(),
        ("returned", ("textkit.str_time", 33)),
        lambda log: ns(datetime=ns(strptime=lambda x, f: ns(timestamp=lambda: 42.0))),
        lambda p, r, log: r == 42.0),
    Row(quantkit, "datetime", lambda p, log: quantkit.number_time(0, "%Y"),
        lambda p, r: r in ("1969", "1970"), ("returned", ("quantkit.number_time", 27)),
        lambda log: ns(datetime=ns(fromtimestamp=lambda x: ns(strftime=lambda f: "fake"))),
        lambda p, r, log: r == "fake"),
    Row(t, "os", lambda p, log: t.str_isfile(p.file), lambda p, r: r is True,
        ("raised", ("textkit.str_isfile", 39)),
        lambda log: ns(path=ns(isfile=recording(log, "fake"))),
        lambda p, r, log: r == "fake" and log == [(p.file,)]),
    Row(t, "os", lambda p, log: t.str_isdir(p.dir), lambda p, r: r is True,
        ("raised", ("textkit.str_isdir", 50)),
        lambda log: ns(path=ns(isdir=recording(log, "fake"))),
        lambda p, r, log: r == "fake" and log == [(p.dir,)]),
    Row(t, "os", lambda p, log: t.str_read_file(p.file), lambda p, r: r == "a: [1, 2]\n",
        ("raised", ("textkit.str_read_file", 92)),
        lambda log: ns(path=ns(isfile=recording(log, False))), lambda p, r, log: r is None),
    Row(t, "os", lambda p, log: t.str_read_lines(p.file), lambda p, r: r == ["a: [1, 2]\n"],
        ("raised", ("textkit.str_read_lines", 115)),
        lambda log: ns(path=ns(isfile=recording(log, False))), lambda p, r, log: r is None),
    Row(t, "os", lambda p, log: list(t.str_read_line(p.file)), lambda p, r: r == ["a: [1, 2]"],
        ("raised", ("str_read_line", 102)),
        lambda log: ns(path=ns(isfile=recording(log, False))),
        lambda p, r, log: r == [] and log == [(p.file,)]),
    Row(t, "os", lambda p, log: t.str_read_yaml(p.file), lambda p, r: r == {"a": [1, 2]},
        ("raised", ("textkit.str_read_yaml", 83)),
        lambda log: ns(path=ns(isfile=recording(log, False))), lambda p, r, log: r is None),
    Row(t, "os", lambda p, log: t.str_files_dict(p.tree),
        lambda p, r: r == {"tree": ["a.txt"], "tree/sub": ["b.txt"]},
        ("raised", ("textkit.str_files_dict", 131)),
        lambda log: ns(name="nt", listdir=recording(log, []), path=os.path),
        lambda p, r, log: r == {"tree": []} and log == [(p.tree,)]),
    Row(t, "os", lambda p, log: sorted(t.str_files_list(p.tree)),
        lambda p, r: r == [os.path.join(p.tree, "a.txt"), os.path.join(p.tree, "sub", "b.txt")],
        ("raised", ("textkit.str_isdir", 50)),
        lambda log: ns(walk=lambda x, topdown: [("r", [], ["f"])],
                       path=ns(isdir=lambda x: True, join=lambda a, b: a + "|" + b)),
        lambda p, r, log: r == ["r|f"]),
    Row(t, "os", lambda p, log: t.str_copy(p.missing, p.nowhere), lambda p, r: r is True,
        ("raised", ("textkit.str_copy", 61)),
        lambda log: ns(path=ns(isfile=recording(log, False), isdir=recording(log, False))),
        lambda p, r, log: r is True and log == [(p.missing,), (p.missing,), (p.nowhere,),
                                                 (p.nowhere,)]),
    Row(t, "shutil", lambda p, log: t.str_copy(p.file, p.nowhere), lambda p, r: r is False,
        ("raised", ("textkit.str_copy", 62)), lambda log: ns(copy=recording(log)),
        lambda p, r, log: r is True and log == [(p.file, p.nowhere)]),
    Row(t, "shutil", lambda p, log: (t.str_dir_delete(p.victim), os.path.isdir(p.victim)),
        lambda p, r: r == (False, False), ("raised", ("textkit.str_dir_delete", 56)),
        lambda log: ns(rmtree=recording(log)),
        lambda p, r, log: r == (False, True) and log == [(p.victim,)]),
    Row(t, "shutil", lambda p, log: (t.str_move(p.file, p.nowhere), t.str_move(p.nowhere, p.file)),
        lambda p, r: r == (False, False), ("raised", ("textkit.str_move", 70)),
        lambda log: ns(move=recording(log)),
        lambda p, r, log: r == (True, False) and log == [(p.file, p.nowhere)]),
    Row(t, "yaml", lambda p, log: t.str_read_yaml(p.file), lambda p, r: r == {"a": [1, 2]},
        ("raised", ("textkit.str_read_yaml", 85)),
        lambda log: ns(load=lambda f, Loader: (Loader, f.read()), FullLoader="full"),
        lambda p, r, log: r == ("full", "a: [1, 2]\n")),
    Row(t, "str_isfile", lambda p, log: t.str_file_delete(p.missing), lambda p, r: r is True,
        ("raised", ("textkit.str_file_delete", 43)), lambda log: recording(log, False),
        lambda p, r, log: r is True and log == [(p.missing,)]),
    Row(t, "str_isdir", lambda p, log: t.str_dir_delete(p.missing), lambda p, r: r is True,
        ("raised", ("textkit.str_dir_delete", 54)), lambda log: recording(log, False),
        lambda p, r, log: r is True and log == [(p.missing,)]),
    Row(t, "str_isdir", lambda p, log: len(t.str_files_list(p.tree)), lambda p, r: r == 2,
        ("raised", ("textkit.str_files_list", 150)), lambda log: recording(log, False),
        lambda p, r, log: r == 0 and log == [(p.tree,)]),
    Row(t, "str_files_dict", lambda p, log: str_files_dict(p.tree),
        lambda p, r: r == {"tree": ["a.txt"], "tree/sub": ["b.txt"]},
        ("raised", ("textkit.str_files_dict", 144)),
        lambda log: lambda *args: log.append(args) or {"replaced": []},
        lambda p, r, log: r == {"tree": ["a.txt"], "replaced": []}
        and log == [(os.path.join(p.tree, "sub"), "tree/sub", None, None)]),
    Row(treekit, "parse", lambda p, log: treekit.dict_find_path({"a": 1}, "a"),
        lambda p, r: r == 1, ("swallowed", None),
        lambda log: lambda path: ns(find=lambda data: [ns(value=("fake", path))]),
        lambda p, r, log: r == ("fake", "a")),
    Row(treekit, "parse", lambda p, log: treekit.dict_find_all_path({"a": 1}, "a"),
        lambda p, r: r == [1], ("swallowed", None),
        lambda log: lambda path: ns(find=lambda data: [ns(value=1), ns(value=path)]),
        lambda p, r, log: r == [1, "a"]),
    Row(treekit, "parse", fresh_dict_call(treekit.dict_update_path, "a", 5),
        lambda p, r: r == (True, {"a": 5, "l": [1, 2, 3]}), ("swallowed", UNCHANGED),
        lambda log: lambda path: ns(find_or_create=recording(log), update=recording(log)),
        lambda p, r, log: r == UNCHANGED and [a[1:] for a in log] == [(), (5,)]),
    Row(treekit, "parse", fresh_dict_call(treekit.dict_delete_path, "l[*]", 2),
        lambda p, r: r == (True, {"a": 1, "l": [1, 3]}), ("swallowed", UNCHANGED),
        lambda log: lambda path: log.append(path) or ns(find=lambda data: []),
        lambda p, r, log: r == UNCHANGED and log == ["l[*]"]),
    Row(treekit, "dict_update_path", fresh_dict_call(treekit.dict_delete_path, "l[*]", 2),
        lambda p, r: r == (True, {"a": 1, "l": [1, 3]}), ("swallowed", UNCHANGED),
        lambda log: recording(log),
        lambda p, r, log: r == UNCHANGED and len(log) == 1 and log[0][1] == "$.l.[1]"),
    Row(treekit, "yaml",
        lambda p, log: (treekit.dict_write_yaml({"k": 1}, p.out), open(p.out).read()),
        lambda p, r: r == (None, "k: 1\n"), ("raised", ("treekit.dict_write_yaml", 59)),
        lambda log: ns(dump=lambda x, stream, **options: stream.write(f"{x} {options['indent']}")),
        lambda p, r, log: r == (None, "{'k': 1} 2")),
]


@pytest.fixture
def paths(tmp_path):
    (tmp_path / "file.yaml").write_text("a: [1, 2]\n")
    (tmp_path / "dir").mkdir()
    (tmp_path / "tree" / "sub").mkdir(parents=True)
    (tmp_path / "tree" / "a.txt").write_text("a")
    (tmp_path / "tree" / "sub" / "b.txt").write_text("b")
    return ns(file=str(tmp_path / "file.yaml"), dir=str(tmp_path / "dir"),
              tree=str(tmp_path / "tree"), missing=str(tmp_path / "missing"),
              nowhere=str(tmp_path / "nowhere"), victim=str(tmp_path / "victim"),
              out=str(tmp_path / "out.yaml"))


def outcome(row, paths, log):
    os.makedirs(os.path.join(paths.victim, "x"), exist_ok=True)
    if os.path.isfile(paths.nowhere):
        os.remove(paths.nowhere)
    try:
        return ("result", row.call(paths, log))
    except Exception as error:
        return ("raised", error)


@pytest.mark.parametrize("row", ROWS, ids=[f"{r.module.__name__[-7:]}.{r.name}-{i}"
                                           for i, r in enumerate(ROWS)])
def test_a_global_taken_away_replaced_and_put_back(row, paths, rebind):
    original = getattr(row.module, row.name)
    kind, value = outcome(row, paths, [])
    assert kind == "result" and row.normal(paths, value), value

    rebind(row.module, row.name, DELETE)
    kind, value = outcome(row, paths, [])
    expected_kind, expected = row.missing
    if expected_kind == "swallowed":
        assert (kind, value) == ("result", expected)
    else:
        error = value
        assert kind == ("raised" if expected_kind == "raised" else "result")
        assert type(error) is NameError and str(error) == f"name '{row.name}' is not defined"
        assert innermost_entry(error) == expected

    log = []
    rebind(row.module, row.name, row.fake(log))
    kind, value = outcome(row, paths, log)
    assert kind == "result" and row.faked(paths, value, log), (value, log)

    rebind(row.module, row.name, original)
    kind, value = outcome(row, paths, [])
    assert kind == "result" and row.normal(paths, value), value


def test_every_global_looked_up_by_name_is_exercised():
    exercised = {(row.module.__name__.rsplit(".", 1)[-1], row.name) for row in ROWS}
    assert exercised == {
        ("textkit", "datetime"), ("textkit", "os"), ("textkit", "shutil"), ("textkit", "yaml"),
        ("textkit", "str_isfile"), ("textkit", "str_isdir"), ("textkit", "str_files_dict"),
        ("treekit", "parse"), ("treekit", "yaml"), ("treekit", "dict_update_path"),
        ("quantkit", "datetime")}


def test_a_missing_global_falls_back_to_builtins(paths, rebind, monkeypatch):
    rebind(t, "os", DELETE)
    monkeypatch.setattr(builtins, "os", ns(path=ns(isfile=lambda x: "from builtins")),
                        raising=False)
    assert t.str_isfile(paths.file) == "from builtins"
    rebind(t, "os", os)  # the module's own global comes first again
    assert t.str_isfile(paths.file) is True
    monkeypatch.delattr(builtins, "os")
    rebind(t, "os", DELETE)
    with pytest.raises(NameError, match="^name 'os' is not defined$"):
        t.str_isfile(paths.file)


def test_hubkit_installs_what_its_globals_hold_at_each_run():
    # Installing changes the built-in types process-wide: a fresh interpreter.
    code = textwrap.dedent("""
        import types
        from tarvex_func import hubkit
        from tarvex_func.function import setkit
        H = hubkit.TarvexHubkit

        def replacement(list1, list2):
            return "replaced"
        hubkit.list_diff = replacement
        H._extend_list()
        assert list.__dict__["diff"] is replacement and [1].diff([2]) == "replaced"

        hubkit.list_diff = setkit.list_diff
        H._extend_list()
        assert list.__dict__["diff"] is setkit.list_diff and [1, 2].diff([2]) == [1]

        # A stand-in gc decides which dictionary the installer writes into.
        elsewhere = {}
        real_gc = hubkit.gc
        hubkit.gc = types.SimpleNamespace(get_referents=lambda proxy: [elsewhere])
        H._extend_int()
        assert elsewhere["time"] is hubkit.number_time and "time" not in int.__dict__
        hubkit.gc = real_gc
        H._extend_int()
        assert int.__dict__["time"] is hubkit.number_time
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


def test_a_file_block_whose_exit_suppresses_or_raises(tmp_path):
    # `open` is fixed when a module executes: a fresh interpreter imports the
    # modules while `open` makes files whose `__exit__` does as it is told.
    code = textwrap.dedent("""
        import builtins
        real_open = builtins.open
        how = {"body": False, "exit": None}

        class File:
            def __init__(self, *args, **kwargs):
                self.file = real_open(*args, **kwargs)
            def __enter__(self):
                return self
            def __getattr__(self, name):
                if how["body"]:
                    raise ValueError("body")
                return getattr(self.file, name)
            def __exit__(self, *exc):
                self.file.close()
                if how["exit"] == "raise":
                    raise RuntimeError("exit")
                return how["exit"] == "suppress"

        builtins.open = File
        from tarvex_func.function import textkit as t, treekit
        builtins.open = real_open

        def ours(error):
            found, tb = [], error.__traceback__
            while tb:
                if tb.tb_frame.f_code.co_filename in ("textkit.py", "treekit.py"):
                    found.append(tb.tb_lineno)
                tb = tb.tb_next
            return found

        def raised(call):
            try:
                call()
            except Exception as error:
                return error
            raise AssertionError("nothing raised")

        with real_open("in.txt", "w") as f:
            f.write("a: 1\\n")
        # (call, the `with` line, the body's line, after suppression)
        cases = [
            (lambda: t.str_read_file("in.txt"), 94, 95, 96),
            (lambda: t.str_read_lines("in.txt"), 117, 118, 119),
            (lambda: t.str_read_yaml("in.txt"), 84, 85, 86),
            (lambda: t.str_write_file("x", "out.txt"), 126, 127, None),
            (lambda: treekit.dict_write_yaml({"a": 1}, "out.txt"), 58, 59, None),
            (lambda: list(t.str_read_line("in.txt")), 104, 106, []),
        ]
        for call, with_line, body_line, after in cases:
            how.update(body=True, exit="suppress")
            if isinstance(after, int):
                error = raised(call)
                assert type(error) is UnboundLocalError, error
                assert str(error) == "local variable 'data' referenced before assignment"
                assert ours(error) == [after] and error.__context__ is None
            else:
                assert call() == after

            how.update(exit="raise")
            error = raised(call)
            assert type(error) is RuntimeError and str(error) == "exit"
            body_error = error.__context__
            assert type(body_error) is ValueError and str(body_error) == "body"
            if after != []:  # the generator frame has its own entries
                assert ours(error) == [with_line], ours(error)
                assert ours(body_error) == [body_line]

            how.update(body=False, exit="raise")
            error = raised(call)
            assert type(error) is RuntimeError and error.__context__ is None
            if after != []:
                assert ours(error) == [with_line]
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          cwd=tmp_path)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr
