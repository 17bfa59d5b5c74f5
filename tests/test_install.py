"""install, uninstall and installed: groups of methods on the built-in types,
scoped and undone. Each scenario runs in a fresh interpreter, since
installing changes the built-in types for the whole process."""

import subprocess
import sys
import textwrap

import pytest


def run_isolated(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True
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
