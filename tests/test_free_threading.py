"""Stress: each helper family from 8 threads at once, for a while, while other
threads change what the helpers read: module globals rebound, items of the
data replaced, methods installed and removed, generators started, shared and
dropped, function attributes rewritten. Each run is a process of its own, so
that a crash is seen as one; on a free-threaded interpreter the runs go
without the GIL, and the modules that declare it must leave it off.

TARVEX_STRESS_SECONDS sets how long each run lasts (1 s by default).
"""

import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

SECONDS = float(os.environ.get("TARVEX_STRESS_SECONDS", "1"))
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
WORKERS = 8

# The harness each run starts with: `run(workers, changers)` runs every worker
# body in WORKERS threads and every changer in one thread each, all in loops,
# until the time is up or one fails; a failure is printed and exits non-zero.
HARNESS = textwrap.dedent(f"""
    import os, sys, threading, time, types, warnings
    warnings.simplefilter("ignore")
    stop = threading.Event()
    failures = []

    def looping(body):
        def loop():
            try:
                while not stop.is_set():
                    body()
            except BaseException as error:
                import traceback
                failures.append(traceback.format_exc())
                stop.set()
        return loop

    def run(workers, changers):
        threads = [threading.Thread(target=looping(body)) for body in workers * {WORKERS}]
        threads += [threading.Thread(target=looping(body)) for body in changers]
        for thread in threads:
            thread.start()
        stop.wait({SECONDS})
        stop.set()
        for thread in threads:
            thread.join()
        if failures:
            print(failures[0], file=sys.stderr)
            sys.exit(3)
        gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
        print("ok", "gil" if gil else "no-gil")

    def twin_module(module):
        # A different module object with the same contents: rebinding a global
        # to it changes what a cached chain must find, not what calls return.
        twin = types.ModuleType(module.__name__)
        twin.__dict__.update(module.__dict__)
        return twin
""")


def stress(body, tmp_path, modules_without_gil=True):
    script = HARNESS + textwrap.dedent(body)
    env = {**os.environ, "TARVEX_STRESS_DIR": str(tmp_path)}
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120 + 10 * SECONDS
    )
    assert done.returncode == 0, done.stderr[-3000:]
    expected = "ok no-gil\n" if FREE_THREADED and modules_without_gil else None
    assert done.stdout.startswith("ok"), done.stdout
    if expected and os.environ.get("PYTHON_GIL") != "1":
        assert done.stdout == expected, "importing turned the GIL back on"


def test_global_chains_while_globals_are_rebound(tmp_path):
    stress(
        """
        import datetime, os.path
        from tarvex_func.function import quantkit as q, textkit as t
        here = os.environ["TARVEX_STRESS_DIR"]
        file = os.path.join(here, "f.txt")
        open(file, "w").close()
        expected_time = datetime.datetime(2024, 1, 2).timestamp()
        twins = {"os": (os, twin_module(os)), "datetime": (datetime, twin_module(datetime))}
        isfile = os.path.isfile

        def calls():
            assert t.str_isfile(file) is True and t.str_isdir(here) is True
            assert t.str_isfile(file + ".missing") is False
            assert t.str_time("2024-01-02", "%Y-%m-%d") == expected_time
            assert q.number_time(86400 * 365, "%Y") == "1971"
            assert q.number_str(12) == "12" and t.str_int(" 42 ") == 42

        def rebind_text_globals():
            for twin in twins["os"]:
                t.os = twin
            for twin in twins["datetime"]:
                t.datetime = twin

        def rebind_quant_globals():
            for twin in twins["datetime"]:
                q.datetime = twin

        def rebind_inside_a_module():
            # The chain's later links: an attribute of a module it reads.
            os.path.isfile = lambda path: isfile(path)
            os.path.isfile = isfile

        def churn_unrelated_globals():
            for i in range(20):
                setattr(t, f"junk{i}", i)
            for i in range(20):
                delattr(t, f"junk{i}")

        run([calls], [rebind_text_globals, rebind_quant_globals, rebind_inside_a_module,
                      churn_unrelated_globals])
        """,
        tmp_path,
    )


def test_list_helpers_while_items_are_replaced(tmp_path):
    stress(
        """
        import random
        from tarvex_func.function import setkit as s
        universe = range(10**20, 10**20 + 64)
        data = [universe[i % 64] + 0 for i in range(256)]
        other = list(universe[:32])

        def calls():
            assert set(s.list_diff(data, other)) <= set(universe[32:])
            assert set(s.list_intersect(data, other)) <= set(other)
            assert set(s.list_set(data)) <= set(universe)

        def replace_items():
            # New objects of equal value: the old ones die as they are replaced.
            for i in range(len(data)):
                data[i] = universe[random.randrange(64)] + 0

        run([calls], [replace_items, replace_items])
        """,
        tmp_path,
    )


def test_line_generators_started_shared_and_dropped(tmp_path):
    stress(
        """
        import os
        from tarvex_func.function import textkit as t
        path = os.path.join(os.environ["TARVEX_STRESS_DIR"], "lines.txt")
        lines = [f"line {i}" for i in range(300)]
        with open(path, "w") as file:
            file.write("\\n".join(lines) + "\\n")
        shared = [t.str_read_line(path)]

        def own_generators():
            g = t.str_read_line(path)
            assert [next(g) for _ in range(3)] == lines[:3]
            assert g.gi_frame is not None and not g.gi_running
            if next(g) == lines[3]:
                g.close()
            # and once more dropped while suspended: its finaliser closes the file
            g = t.str_read_line(path)
            next(g)

        def one_shared_generator():
            g = shared[0]
            try:
                line = next(g)
                assert line in lines
            except StopIteration:
                shared[0] = t.str_read_line(path)
            except ValueError as error:
                assert str(error) == "generator already executing"
            frame = g.gi_frame
            assert frame is None or frame.f_code.co_name == "str_read_line"
            g.gi_running, g.gi_suspended, repr(g), g.__name__

        def close_the_shared_one():
            try:
                shared[0].close()
            except ValueError as error:
                assert str(error) == "generator already executing"

        run([own_generators, one_shared_generator], [close_the_shared_one])
        """,
        tmp_path,
    )


def test_a_generator_whose_frame_other_threads_read_resumes_without_fail(tmp_path):
    stress(
        """
        from tarvex_func.function import textkit as t
        path = os.path.join(os.environ["TARVEX_STRESS_DIR"], "lines.txt")
        with open(path, "w") as file:
            file.write("".join(f"line {i}\\n" for i in range(1000)))
        shared = [t.str_read_line(path)]

        def read_the_frame():
            frame = shared[0].gi_frame
            assert frame is None or frame.f_code.co_name == "str_read_line"

        def resume():
            # the only thread that resumes it, so it is never already executing
            try:
                next(shared[0])
            except StopIteration:
                shared[0] = t.str_read_line(path)

        run([read_the_frame], [resume])
        """,
        tmp_path,
    )


def test_function_attributes_rewritten_while_called(tmp_path):
    stress(
        """
        from tarvex_func.function import quantkit as q, setkit as s
        f, g = s.list_set, q.number_time
        names = ["list_set", "renamed"]

        def calls():
            assert f([1, 1]) == [1] and g(0, "%Y") in ("1970", "1969")
            assert f.__name__ in names and f.__qualname__ in names
            assert f.__doc__ in ("list_set(list1)", "other", None)
            assert g.__defaults__ in (("%Y-%m-%d %H:%M:%S.%f",), ("%Y",), None)
            assert f.__module__ in ("setkit", "elsewhere", None)
            repr(f), f.__dict__, f.__annotations__, f.__kwdefaults__, f.__reduce__()
            assert getattr(f, "custom", 1) == 1

        def rewrite():
            for name in names:
                f.__name__ = f.__qualname__ = name
            f.__doc__ = "other"
            del f.__doc__
            f.__doc__ = "list_set(list1)"
            g.__defaults__ = ("%Y",)
            g.__defaults__ = None
            g.__defaults__ = ("%Y-%m-%d %H:%M:%S.%f",)
            f.__dict__ = {"x": 1}
            f.custom = 1
            try:
                del f.custom
            except AttributeError:  # the other rewriter replaced the dictionary
                pass
            f.__annotations__ = {"a": int}
            f.__annotations__ = None
            f.__module__ = "elsewhere"
            del f.__module__
            f.__module__ = "setkit"

        run([calls], [rewrite, rewrite])
        """,
        tmp_path,
    )


def test_methods_installed_and_removed_while_called(tmp_path):
    stress(
        """
        from tarvex_func import hubkit, install, installed, uninstall

        def calls():
            # Removal races with the call: a missing method is the one
            # outcome besides the right result.
            try:
                assert [3, 1, 2].diff([2]) in ([1, 3], [3, 1])
                assert (5).str() == "5" and "12".int() == 12
            except AttributeError:
                pass

        def install_and_remove():
            install("list", "int", "str")
            uninstall("list", "int", "str")

        def construct():
            hubkit.TarvexHubkit._extend_list()
            hubkit.TarvexHubkit._extend_int()

        def hold_for_a_block():
            # A block's group stays while it runs, whoever removes it meanwhile.
            with installed("list", "dict"):
                assert [1, 1].set() == [1] and {"a": {"b": 2}}.find("$.a.b") == 2

        run([calls], [install_and_remove, install_and_remove, construct, hold_for_a_block])
        """,
        tmp_path,
        # hubkit imports the whole sub-package, treekit with it.
        modules_without_gil=False,
    )


def test_tree_lookups_while_items_are_replaced(tmp_path):
    stress(
        """
        from tarvex_func.function import treekit as k
        tree = {"items": [{"c": i} for i in range(64)], "a": {"b": [1, 2, {"c": 3}]}}
        # More paths than the table of parsed paths keeps, so entries are
        # dropped while other threads use them.
        paths = [f"$.items[{i}].c" for i in range(64)] + [f"$.a.b[{i % 3}]" for i in range(400)]
        paths += [f"$.items[{i}:{i + 2}].c" for i in range(200)]

        def lookups():
            for i in (0, 17, 63):
                assert k.dict_find_path(tree, f"$.items[{i}].c") in (i, -i)
            assert k.dict_find_all_path(tree, "$.a.b[2].c") == [3]
            found = k.dict_find_all_path(tree, "$.items[*].c")
            assert [abs(c) for c in found] == list(range(64))
            assert [abs(c) for c in k.dict_find_all_path(tree, "$.items[10:13].c")] == [10, 11, 12]
            assert sorted(map(abs, k.dict_find_all_path(tree, "$..c"))) == sorted(list(range(64)) + [3])

        def replace_items():
            # New dicts each time: the old ones die as they are replaced.
            items = tree["items"]
            for i in range(64):
                items[i] = {"c": -i if items[i]["c"] == i else i}

        def churn_the_parsed_paths():
            for path in paths:
                k.dict_find_path(tree, path)

        run([lookups], [replace_items, churn_the_parsed_paths])
        """,
        tmp_path,
    )


def test_yaml_written_and_read_while_data_and_library_change(tmp_path):
    stress(
        """
        import threading, yaml
        from tarvex_func.function import textkit as t, treekit as k
        here = os.environ["TARVEX_STRESS_DIR"]
        shared_list = ["x" * 40, 1.5]
        numbers = [10**20 + i for i in range(32)]
        data = {"name": "n", "items": list(numbers), "flag": True,
                "pair": [shared_list, shared_list], "nested": {"a": {"b": [1, 2]}}}
        dump, Dumper = yaml.dump, yaml.Dumper
        options = dict(default_style="", default_flow_style=False, canonical=False, indent=2,
                       allow_unicode=True, sort_keys=False)

        def tagged_float(dumper, value):
            return dumper.represent_scalar("!f", repr(value))

        def texts(x):
            return {dump({**x, "flag": flag} if "flag" in x else x, **options)
                    for flag in (True, False)}

        # The first representer added gives the dumper a table of its own,
        # which later additions change in place.
        own_float = Dumper.yaml_representers[float]
        Dumper.add_representer(float, tagged_float)
        tagged, tagged_small = texts(data), dump({"x": 1.5}, **options)
        Dumper.add_representer(float, own_float)
        plain, plain_small = texts(data), dump({"x": 1.5}, **options)
        assert tagged_small != plain_small

        def path_of_this_thread():
            return os.path.join(here, f"t{threading.get_ident()}.yaml")

        def write_and_read():
            path = path_of_this_thread()
            k.dict_write_yaml(data, path)
            with open(path) as f:
                text = f.read()
            # The data as it was at some moment, written with or without the
            # representer another thread adds and takes back.
            assert text in plain or text in tagged, text
            if text in plain:
                back = t.str_read_yaml(path)
                assert back["items"] == numbers and back["pair"][0] is back["pair"][1]

        def replace_items():
            items = data["items"]
            for i in range(32):
                items[i] = items[i] + 1 - 1  # an equal value, a new object
            data["flag"] = not data["flag"]
            data["nested"] = {"a": {"b": [1, 2]}}

        def rebind_the_library():
            # A rebound name of the module, and a representer added in place
            # to the dumper's table: the native writer must see each at once.
            yaml.dump = lambda *args, **kwargs: dump(*args, **kwargs)
            yaml.dump = dump
            Dumper.add_representer(float, tagged_float)
            path = path_of_this_thread()
            k.dict_write_yaml({"x": 1.5}, path)
            with open(path) as f:
                assert f.read() == tagged_small
            Dumper.add_representer(float, own_float)
            k.dict_write_yaml({"x": 1.5}, path)
            with open(path) as f:
                assert f.read() == plain_small

        def rebind_the_loader():
            yaml.load = lambda *args, **kwargs: yaml.__dict__["_load"](*args, **kwargs)
            yaml.load = yaml.__dict__["_load"]

        yaml._load = yaml.load
        run([write_and_read], [replace_items, rebind_the_library, rebind_the_loader])
        """,
        tmp_path,
        # textkit does not declare yet that it runs without the GIL.
        modules_without_gil=False,
    )


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_importing_each_module_keeps_the_gil_off():
    # Each module file alone, in an interpreter left to its default: a module
    # that declares it runs without the GIL leaves it off; one without the
    # declaration would turn it back on, with a warning.
    code = textwrap.dedent("""
        import glob, importlib.util, os, sys, warnings
        warnings.simplefilter("ignore")
        package = importlib.util.find_spec("tarvex_func").submodule_search_locations[0]
        name = sys.argv[1]
        (path,) = glob.glob(os.path.join(package, "**", name + ".*.so"), recursive=True)
        # hubkit imports its installer relatively, so it needs its package.
        spec = importlib.util.spec_from_file_location(
            "tarvex_func.hubkit" if name == "hubkit" else name, path)
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
        print(sys._is_gil_enabled())
    """)
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    for name in ("textkit", "quantkit", "setkit", "treekit", "hubkit"):
        done = subprocess.run([sys.executable, "-c", code, name], capture_output=True, text=True, env=env)
        assert (done.returncode, done.stdout) == (0, "False\n"), (name, done.stderr)
