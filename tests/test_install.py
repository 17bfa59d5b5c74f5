"""install, uninstall and installed: groups of methods on the built-in types,
scoped and undone. Each scenario runs in a fresh interpreter, since
installing changes the built-in types for the whole process."""

import subprocess
import sys
import textwrap

import pytest


def run_isolated(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


SNAPSHOT = """
    import tarvex_func
    TYPES = (dict, list, str, int, float)
    def snapshot():
        return {t: dict(t.__dict__) for t in TYPES}
"""


def test_install_all_then_uninstall_restores_the_dictionaries_and_lookups():
    run_isolated(SNAPSHOT + """
    import xml.etree.ElementTree as ET, json, os, tempfile
    from tarvex_func import hubkit
    before = snapshot()
    assert not hasattr("", "read") and "abc".find("b") == 1
    tarvex_func.install()
    assert {"a": 1}.find("$.a") == 1 and [1, 2].diff([2]) == [1] and (3).str() == "3"
    assert "x".isfile() is False and "x".isdir() is False
    tarvex_func.uninstall()
    assert snapshot() == before
    assert not hasattr("", "read") and not hasattr([], "diff") and "abc".find("b") == 1
    os.chdir(tempfile.mkdtemp())
    open("f.xml", "w").write("<a/>")
    assert ET.parse("f.xml").getroot().tag == "a"
    tarvex_func.uninstall()
    assert snapshot() == before
    tarvex_func.install()
    by_install = snapshot()
    tarvex_func.uninstall()
    hubkit.TarvexHubkit()
    assert snapshot() == by_install
    """)


def test_groups_errors_shared_names_and_rebound_names():
    run_isolated(SNAPSHOT + """
    before = snapshot()
    try:
        tarvex_func.install("list", "nope")
    except ValueError as e:
        assert "'nope'" in str(e) and "'dict', 'list', 'str'" in str(e), e
    assert snapshot() == before
    tarvex_func.install("file", "dir")
    tarvex_func.uninstall("file")
    assert hasattr("", "copy") and hasattr("", "move") and hasattr("", "isdir")
    assert not hasattr("", "isfile")
    tarvex_func.uninstall("dir")
    assert not hasattr("", "copy") and snapshot() == before
    tarvex_func.install("list")
    mine = lambda self: "mine"
    import gc
    gc.get_referents(list.__dict__)[0]["diff"] = mine
    tarvex_func.uninstall("list")
    assert [].diff() == "mine" and not hasattr([], "set")
    """)


def test_installed_scopes_nests_decorates_and_survives_errors():
    run_isolated(SNAPSHOT + """
    from tarvex_func import hubkit
    before = snapshot()
    with tarvex_func.installed("file"):
        with tarvex_func.installed("dir", "file"):
            assert hasattr("", "isdir")
        assert hasattr("", "copy") and hasattr("", "isfile") and not hasattr("", "isdir")
    assert snapshot() == before
    try:
        with tarvex_func.installed("dict"):
            raise KeyError("x")
    except KeyError:
        pass
    assert snapshot() == before

    @tarvex_func.installed("int")
    def seconds():
        return (90).time()
    assert isinstance(seconds(), str) and not hasattr(1, "time")

    hubkit.TarvexHubkit()
    after_permanent = snapshot()
    with tarvex_func.installed("list", "str"):
        pass
    assert snapshot() == after_permanent
    """)


def test_concurrent_install_uninstall_and_scopes_never_leave_half_a_group():
    run_isolated(SNAPSHOT + """
    import threading
    before = snapshot()
    names = ["dict", "list", "str", "file", "dir", "int", "float"]
    errors = []
    def worker(i):
        try:
            for n in range(200):
                g = names[(i + n) % len(names)]
                if n % 3 == 0:
                    tarvex_func.install(g)
                elif n % 3 == 1:
                    with tarvex_func.installed(g):
                        pass
                else:
                    tarvex_func.uninstall(g)
                with tarvex_func._install._lock:
                    for group in names:
                        present = [m in t.__dict__ for t, m, _ in tarvex_func._install._own(group)
                                   if m not in ("copy", "move")]
                        assert all(present) or not any(present), group
        except BaseException as e:
            errors.append(e)
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert not errors, errors
    tarvex_func.uninstall()
    assert snapshot() == before
    """)


def test_groups_are_hubkits_table():
    run_isolated(SNAPSHOT + """
    import typing
    from tarvex_func import _install, hubkit
    names = [name for name, _, _ in hubkit._groups]
    assert names == list(typing.get_args(_install.Group))
    assert [cls for _, cls, _ in hubkit._groups] == [dict, list, str, str, str, int, float]
    assert sum(len(rows) for _, _, rows in hubkit._groups) == 39
    """)


def test_a_fork_during_changes_leaves_a_child_that_can_change_and_repairs():
    run_isolated(SNAPSHOT + """
    import gc, os, signal, threading
    from tarvex_func import _install
    stop = False
    def churn():
        while not stop:
            tarvex_func.install("list", "str")
            with tarvex_func.installed("dict"):
                pass
            tarvex_func.uninstall("list", "str")
    tarvex_func.install("int")  # the first use imports hubkit, before any thread runs
    tarvex_func.uninstall("int")
    worker = threading.Thread(target=churn)
    worker.start()
    try:
        for _ in range(40):
            child = os.fork()
            if child == 0:
                signal.alarm(20)
                tarvex_func.install("list")
                with tarvex_func.installed("str"):
                    assert "".read_lines and [].diff
                tarvex_func.uninstall()
                for group in ("dict", "list", "str"):
                    # A block the parent's other thread was in still holds its group.
                    present = [m in t.__dict__ for t, m, _ in _install._own(group)]
                    assert present == [_install._wanted(group)] * len(present), group
                assert not _install._wanted("list") and not _install._wanted("str")
                os._exit(0)
            _, status = os.waitpid(child, 0)
            assert status == 0, status
    finally:
        stop = True
        worker.join()
    # A group that a fork left half written is written whole at the child's
    # next change.
    tarvex_func.install("dict")
    del gc.get_referents(dict.__dict__)[0]["find"]
    child = os.fork()
    if child == 0:
        signal.alarm(20)
        tarvex_func.install("int")
        os._exit(0 if "find" in dict.__dict__ and {"a": 1}.find("a") == 1 else 3)
    assert os.waitpid(child, 0)[1] == 0
    """)


def test_what_was_there_before_comes_back_at_the_last_removal():
    run_isolated(SNAPSHOT + """
    import gc
    from tarvex_func import hubkit
    mine = lambda self: "mine"
    gc.get_referents(str.__dict__)[0]["read"] = mine
    gc.get_referents(list.__dict__)[0]["set"] = mine
    before = snapshot()
    tarvex_func.install()
    assert "x".read() is None and [1, 1].set() == [1]
    tarvex_func.uninstall()
    assert snapshot() == before and "x".read() == "mine"
    hubkit.TarvexHubkit()
    with tarvex_func.installed("str"):
        pass
    assert "x".read() is None
    tarvex_func.uninstall()
    assert snapshot() == before
    with tarvex_func.installed("str", "list"):
        with tarvex_func.installed("str"):
            assert "x".read() is None
        assert [1, 1].set() == [1]
    assert snapshot() == before
    """)


def test_overlapping_holders_in_threads_tasks_and_decorated_bodies():
    run_isolated(SNAPSHOT + """
    import asyncio, threading
    from tarvex_func import _install
    before = snapshot()
    # Two threads whose blocks overlap without nesting.
    a_in, b_in, a_out = threading.Event(), threading.Event(), threading.Event()
    seen = []
    def first():
        with tarvex_func.installed("str"):
            a_in.set(); b_in.wait()
        a_out.set()
    def second():
        a_in.wait()
        with tarvex_func.installed("str"):
            b_in.set(); a_out.wait()
            seen.append("x".read())
    threads = [threading.Thread(target=first), threading.Thread(target=second)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert seen == [None] and snapshot() == before
    # The same with asyncio tasks.
    async def task(enter, leave, wait_for):
        with tarvex_func.installed("int"):
            enter.set()
            await wait_for.wait()
            value = (5).str()
        leave.set()
        return value
    async def main():
        e1, e2, l1 = asyncio.Event(), asyncio.Event(), asyncio.Event()
        t1 = asyncio.create_task(task(e1, l1, e2))
        await e1.wait()
        t2 = asyncio.create_task(task(e2, asyncio.Event(), l1))
        return await asyncio.gather(t1, t2)
    assert asyncio.run(main()) == ["5", "5"] and snapshot() == before
    # Decorated generator, coroutine and async generator functions hold the
    # groups while their bodies run.
    @tarvex_func.installed("float")
    def lines():
        sent = yield (1.5).str()
        yield sent
    g = lines()
    assert not hasattr(1.0, "str") and next(g) == "1.5" and g.send("s") == "s"
    g.close()
    @tarvex_func.installed("float")
    async def coroutine():
        await asyncio.sleep(0)
        return (2.5).str()
    @tarvex_func.installed("float")
    async def agen():
        got = yield (3.5).str()
        yield got
    async def drive():
        values = [await coroutine()]
        it = agen()
        values.append(await it.__anext__())
        values.append(await it.asend("sent"))
        await it.aclose()
        return values
    assert not hasattr(1.0, "str")
    assert asyncio.run(drive()) == ["2.5", "3.5", "sent"]
    assert snapshot() == before
    # A failure inside a block's exit leaves the counts right: the group is
    # taken back at the next change, and is no permanent installation.
    real = _install._give_back
    def fail_once(group):
        _install._give_back = real
        raise MemoryError
    try:
        with tarvex_func.installed("dict"):
            _install._give_back = fail_once
    except MemoryError:
        pass
    assert _install._holders["dict"] == 0 and "dict" not in _install._permanent
    with tarvex_func.installed("list"):
        assert "find" not in dict.__dict__
    with tarvex_func.installed("dict"):
        pass
    assert snapshot() == before
    """)


def test_construction_and_the_scoped_api_never_interleave():
    run_isolated(SNAPSHOT + """
    import threading
    from tarvex_func import _install, hubkit
    before = snapshot()
    names = [name for name, _, _ in hubkit._groups]
    errors = []
    def construct():
        for _ in range(300):
            hubkit.TarvexHubkit()
    def remove():
        for _ in range(300):
            tarvex_func.uninstall()
    def check():
        try:
            for _ in range(300):
                with _install._lock:
                    for group in names:
                        present = [m in t.__dict__ for t, m, _ in _install._own(group)
                                   if m not in ("copy", "move")]
                        assert all(present) or not any(present), group
        except BaseException as e:
            errors.append(e)
    threads = [threading.Thread(target=f) for f in (construct, remove, check)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert not errors, errors
    tarvex_func.uninstall()
    assert snapshot() == before
    """)


TYPED_SAMPLE = """
from tarvex_func.function import setkit, textkit, treekit
import tarvex_func

a: list[int] = setkit.list_intersect([1, 2], [2])
b: list[str] = setkit.list_diff(["a"], ["b"])
c: list[int] = setkit.list_set([1, 1])
t: str | None = textkit.str_read_file("f.txt")
r: bytes | None = textkit.str_read_file("f.bin", "rb")
lines: list[str] = [line.upper() for line in textkit.str_read_line("f.txt")]
raw: list[bytes] = list(textkit.str_read_line("f.bin", "rb"))
listed: list[bytes] | None = textkit.str_read_lines("f.bin", mode="rb")
found = treekit.dict_find_path({"a": 1}, "$.a")
tarvex_func.install("list", "str")
with tarvex_func.installed("dict"):
    pass
"""

REJECTED = [
    'x: list[str] = setkit.list_intersect([1], [1])',
    'y: str = textkit.str_read_file("f.bin", "rb")',
    'z: str = textkit.str_read_file("f.txt")',
    'w: list[str] = list(textkit.str_read_line("f.bin", "rb"))',
    'v: list[bytes] | None = textkit.str_read_lines("f.txt")',
    'tarvex_func.install("lists")',
]


@pytest.mark.slow
def test_the_typed_sample_checks_and_wrong_lines_are_rejected(tmp_path):
    pytest.importorskip("mypy")

    def mypy(source):
        path = tmp_path / "sample.py"
        path.write_text(source)
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", str(path)],
                              capture_output=True, text=True, cwd=tmp_path)

    ok = mypy(TYPED_SAMPLE)
    assert ok.returncode == 0, ok.stdout + ok.stderr
    for line in REJECTED:
        bad = mypy(TYPED_SAMPLE + line + "\n")
        assert bad.returncode == 1 and "error" in bad.stdout, line
