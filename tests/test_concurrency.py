"""Many threads calling every module at once: every result must be the one a
single thread gets, and nothing may crash."""

import copy
import datetime
import os
import random
import subprocess
import sys
import textwrap
import threading

import pytest

from tarvex_func.function import quantkit, setkit, treekit
from tarvex_func.function import textkit as t

THREADS = 8
ROUNDS = 60
# More distinct paths than the kept parsed paths hold, so that threads push
# each other's out while they use them.
CHURN = 320

LINES = [f"line {i} " + "x" * (i % 50) for i in range(400)]
SHARED_TREE = {
    "items": [{"c": i, "tags": ["t%d" % i]} for i in range(CHURN)],
    "a": {"b": [1, 2, {"c": 3}]},
}


def run_threads(target):
    """Runs target(n) for n below THREADS, each in a thread of its own."""
    threads = [threading.Thread(target=target, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


@pytest.fixture
def switching():
    """Hand the interpreter lock over as often as it can be."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture
def shared(tmp_path):
    lines = tmp_path / "lines.txt"
    lines.write_text("\n".join(LINES) + "\n")
    (tmp_path / "data.yaml").write_text("a: [1, 2]\nb: {c: x}\n")
    for name in ("tree/sub/deep", "tree/skip"):
        (tmp_path / name).mkdir(parents=True)
    for name in ("tree/a.txt", "tree/sub/b.txt", "tree/skip/c.txt"):
        (tmp_path / name).write_text(name)
    return tmp_path


def work_of(n, shared, private):
    """The calls of thread `n`: (label, call, expected result) triples; its
    writes and file-system changes stay in `private`."""
    lines, tree = str(shared / "lines.txt"), str(shared / "tree")
    mine = str(private / "mine.txt")
    stamp = 1_700_000_000 + n
    expected_time = datetime.datetime.fromtimestamp(stamp).strftime("%Y-%m-%d %H:%M:%S.%f")
    items = list(range(n, n + 50)) + ["s%d" % n]

    def write_and_read():
        t.str_write_file(f"thread {n}\n", mine)
        return t.str_read_file(mine), t.str_read_lines(mine)

    def copy_move_delete():
        source, copied, moved = (str(private / name) for name in ("src", "copied", "moved"))
        os.makedirs(source, exist_ok=True)
        t.str_write_file("payload", os.path.join(source, "f.txt"))
        return (t.str_copy(source, copied), t.str_move(copied, moved),
                t.str_isdir(moved), t.str_dir_delete(moved), t.str_isdir(moved),
                t.str_file_delete(os.path.join(source, "f.txt")))

    def edit_own_tree():
        data = copy.deepcopy(SHARED_TREE["a"])
        treekit.dict_update_path(data, "b[0]", n)
        treekit.dict_update_path(data, f"new.k{n}", [n])
        treekit.dict_delete_path(data, "b[*]", 2)
        return data

    def churning_lookup():
        i = random.randrange(CHURN)
        return treekit.dict_find_path(SHARED_TREE, f"items[{i}].c") == i and (
            treekit.dict_find_all_path(SHARED_TREE, f"items[{i}].tags[*]") == ["t%d" % i])

    def own_line_generator():
        return list(t.str_read_line(lines))

    def dropped_line_generator():
        g = t.str_read_line(lines)
        return [next(g) for _ in range(3)]

    return [
        ("list_diff", lambda: sorted(setkit.list_diff(items, [n]), key=str),
         sorted(items[1:], key=str)),
        ("list_set", lambda: len(setkit.list_set(items + items)), len(items)),
        ("list_intersect", lambda: setkit.list_intersect(items, [n, "s%d" % n, -1]) in (
            [n, "s%d" % n], ["s%d" % n, n]), True),
        ("number_str", lambda: quantkit.number_str(n), str(n)),
        ("number_int", lambda: quantkit.number_int(f" {n} "), n),
        ("number_float", lambda: quantkit.number_float(str(n) + ".5"), n + 0.5),
        ("number_time", lambda: quantkit.number_time(stamp), expected_time),
        ("str_int", lambda: (t.str_int(str(n)), t.str_int("bad")), (n, 0)),
        ("str_float", lambda: (t.str_float("1e1"), t.str_float(None)), (10.0, 0.0)),
        ("str_time", lambda: t.str_time(expected_time), float(stamp)),
        ("str_format", lambda: t.str_format("{}-{k}", n, k=n), f"{n}-{n}"),
        ("str_format_s", lambda: t.str_format_s("%d/%s", n, "x"), f"{n}/x"),
        ("str_isfile", lambda: (t.str_isfile(lines), t.str_isfile(tree)), (True, False)),
        ("str_read_yaml", lambda: t.str_read_yaml(str(shared / "data.yaml")),
         {"a": [1, 2], "b": {"c": "x"}}),
        ("str_read_lines", lambda: len(t.str_read_lines(lines)), len(LINES)),
        ("str_read_line", own_line_generator, [line.rstrip() for line in LINES]),
        ("str_read_line dropped", dropped_line_generator, [line.rstrip() for line in LINES[:3]]),
        ("write and read", write_and_read, (f"thread {n}\n", [f"thread {n}\n"])),
        ("copy, move, delete", copy_move_delete, (False, False, True, False, False, False)),
        ("str_files_dict", lambda: t.str_files_dict(tree, "top", ["skip"]),
         {"top": ["a.txt"], "top/sub": ["b.txt"], "top/sub/deep": []}),
        ("str_files_list", lambda: sorted(t.str_files_list(tree)),
         sorted(os.path.join(tree, name) for name in ("a.txt", "sub/b.txt", "skip/c.txt"))),
        ("dict_find_path", lambda: treekit.dict_find_path(SHARED_TREE, "a.b[2].c"), 3),
        ("dict_find_all_path", lambda: treekit.dict_find_all_path(SHARED_TREE, "a.b[*]"),
         [1, 2, {"c": 3}]),
        ("churning lookup", churning_lookup, True),
        ("own tree edits", edit_own_tree, {"b": [n, {"c": 3}], "new": {f"k{n}": [n]}}),
        ("dict_write_yaml", lambda: (treekit.dict_write_yaml({"n": n}, mine + ".yaml"),
                                     t.str_read_yaml(mine + ".yaml")), (None, {"n": n})),
    ]


@pytest.mark.slow
def test_threads_calling_every_module_at_once(shared, tmp_path_factory, switching):
    before = copy.deepcopy(SHARED_TREE)
    start = threading.Barrier(THREADS)
    failures, calls = [], [0] * THREADS

    def run(n):
        private = tmp_path_factory.mktemp(f"thread{n}")
        work = work_of(n, shared, private)
        shuffle = random.Random(n).shuffle
        start.wait()
        try:
            for _ in range(ROUNDS):
                shuffle(work)
                for label, call, expected in work:
                    result = call()
                    calls[n] += 1
                    if result != expected:
                        failures.append((n, label, result, expected))
        except BaseException as error:  # reported below, not lost in the thread
            failures.append((n, "raised", repr(error)))

    run_threads(run)
    assert failures == []
    print(f"{THREADS} threads made {sum(calls)} calls")
    assert sum(calls) == THREADS * ROUNDS * len(work_of(0, shared, tmp_path_factory.mktemp("x")))
    assert SHARED_TREE == before


def test_threads_sharing_one_line_generator(shared, switching):
    """Each line comes out once; a thread that finds the generator running
    elsewhere gets the host's ValueError and may try again."""
    # Long enough that the file is refilled many times: the reads hand the
    # interpreter lock over while the generator runs.
    lines = [f"{i} " + "y" * 200 for i in range(5000)]
    (shared / "long.txt").write_text("\n".join(lines))
    g = t.str_read_line(str(shared / "long.txt"))
    got, busy, failures = [], [0], []

    def take():
        while True:
            try:
                line = next(g)
            except StopIteration:
                return
            except ValueError as error:
                if str(error) != "generator already executing":
                    failures.append(error)
                    return
                busy[0] += 1
            except BaseException as error:
                failures.append(error)
                return
            else:
                got.append(line)

    run_threads(lambda n: take())
    assert failures == []
    print(f"shared generator: {len(got)} lines, {busy[0]} times found running")
    assert sorted(got) == sorted(lines)
    assert g.gi_frame is None or not g.gi_running


def test_threads_installing_and_using_methods():
    # Installing changes the built-in types process-wide: a fresh interpreter.
    code = textwrap.dedent(f"""
        import sys, threading
        from tarvex_func import hubkit
        sys.setswitchinterval(1e-6)
        start, failures = threading.Barrier({THREADS}), []

        def run(n):
            start.wait()
            try:
                for i in range(200):
                    hubkit.TarvexHubkit()
                    getattr(hubkit.TarvexHubkit, ("_extend_str", "_extend_list")[i % 2])()
                    assert [n, -1, -2].diff([-1, -2]) == [n] and str(n).int() == n
                    assert {{"a": [n]}}.find("a[0]") == n and (n + 0.5).int() == n
                    assert "{{}}".f(n) == str(n) and "%s".s(n) == str(n)
            except BaseException as error:
                failures.append(repr(error))

        threads = [threading.Thread(target=run, args=(n,)) for n in range({THREADS})]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert not failures, failures
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout == "ok\n", done.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_first_use_neither_waits_for_another_thread_nor_hangs_a_child_forked_meanwhile():
    # The JSONPath record is made at the first lookup, and its making imports
    # the parser: here that import blocks in the parent until released. A
    # second thread, and a child forked meanwhile, must each get their answer
    # without waiting, and the child makes the record itself.
    script = textwrap.dedent("""
        import builtins, os, sys, threading, time, warnings
        warnings.simplefilter("ignore")
        from tarvex_func.function import treekit
        parent = os.getpid()
        entered, release = threading.Event(), threading.Event()
        made_in_child = []
        real_import = builtins.__import__

        def slow_import(name, *args, **kwargs):
            if name == "jsonpath_ng.parser":
                if os.getpid() != parent:
                    made_in_child.append(name)
                elif not release.is_set():
                    entered.set()
                    release.wait()
            return real_import(name, *args, **kwargs)

        builtins.__import__ = slow_import
        data = {"a": {"b": [1, {"c": 2}]}}
        first = []
        maker = threading.Thread(target=lambda: first.append(treekit.dict_find_path(data, "$.a.b[1].c")))
        maker.start()
        assert entered.wait(30)
        assert treekit.dict_find_path(data, "$.a.b[1].c") == 2 and maker.is_alive()
        child = os.fork()
        if child == 0:
            ok = [treekit.dict_find_path(data, "$.a.b[1].c") for _ in range(3)] == [2, 2, 2]
            os._exit(0 if ok and made_in_child else 1)
        release.set()
        maker.join()
        deadline = time.monotonic() + 30
        while (done := os.waitpid(child, os.WNOHANG)) == (0, 0) and time.monotonic() < deadline:
            time.sleep(0.05)
        if done == (0, 0):
            os.kill(child, 9)
            sys.exit("the child hung")
        assert os.waitstatus_to_exitcode(done[1]) == 0, "the child's lookups failed"
        assert first == [2] and treekit.dict_find_path(data, "$.a.b[1].c") == 2
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
