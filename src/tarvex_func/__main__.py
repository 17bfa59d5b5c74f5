"""A short tour of the package: ``python -m tarvex_func``.

Everything happens inside a temporary directory that is removed at the end.
"""

import argparse
import os
import tempfile

import tarvex_func

WIDTH = 44


def step(expression, value, comment=""):
    line = f"  {expression:<{WIDTH}} -> {value!r}"
    print(f"{line}   ({comment})" if comment else line)


def plain_functions():
    from tarvex_func.function import setkit, textkit, treekit

    print("Plain functions: nothing is installed, every helper is a module function")
    data = {"a": {"b": [1, 2, {"c": 3}]}}
    step("treekit.dict_find_path(data, '$.a.b[2].c')", treekit.dict_find_path(data, "$.a.b[2].c"))
    step("textkit.str_int(' 42 ')", textkit.str_int(" 42 "))
    step("textkit.str_int('4.2')", textkit.str_int("4.2"), "not an integer: 0, no exception")
    step("sorted(setkit.list_diff([1, 2, 3], [2]))", sorted(setkit.list_diff([1, 2, 3], [2])))


def methods():
    from tarvex_func.hubkit import TarvexHubkit

    print("\nMethods: TarvexHubkit() adds them to dict, list, str, int and float")
    print("  for the whole process, for good: every value of those types has them now")
    TarvexHubkit()

    print("\nA YAML configuration, written and read back")
    config = {"service": {"name": "api", "ports": [8080, 8081], "debug": False}}
    step("config.write_yaml('config.yaml')", config.write_yaml("config.yaml"))
    print("  " + "config.yaml".read().replace("\n", "\n  ").rstrip())
    loaded = "config.yaml".yaml()
    step("'config.yaml'.yaml() == config", loaded == config)

    print("\nJSONPath queries and edits (in place)")
    step("loaded.find('$.service.name')", loaded.find("$.service.name"))
    step("loaded.find_all('$.service.ports[*]')", loaded.find_all("$.service.ports[*]"))
    step("loaded.find('$.service.missing')", loaded.find("$.service.missing"), "no match")
    changed = loaded.modify("$.service.debug", True)
    step("loaded.modify('$.service.debug', True) is loaded", changed is loaded, "edited in place")
    step("loaded.find('$.service.debug')", loaded.find("$.service.debug"))
    changed = loaded.delete("$.service.ports[*]", 2)
    step("loaded.delete('$.service.ports[*]', 2) is loaded", changed is loaded, "2nd match removed")
    step("loaded.find_all('$.service.ports[*]')", loaded.find_all("$.service.ports[*]"))

    print("\nFiles and a small directory tree")
    os.makedirs(os.path.join("app", "src"))
    step("'print(1)\\n'.write('app/src/main.py')", "print(1)\n".write("app/src/main.py"))
    step("'# notes\\n'.write('app/README')", "# notes\n".write("app/README"))
    step("'app'.files_dict()", "app".files_dict())
    step("'app'.files()", "app".files(), "bottom-up")
    step("list('app/src/main.py'.read_line())", list("app/src/main.py".read_line()))
    step("'app'.copy('backup')", "app".copy("backup"), "something is at the target now")
    step("'backup'.delete()", "backup".delete(), "a tree was there and is removed")
    step("'missing.txt'.read()", "missing.txt".read(), "no such file")

    print("\nNumbers and timestamps")
    step("'42'.int(), '4.5'.float(), 'n/a'.int()", ("42".int(), "4.5".float(), "n/a".int()))
    step("(7).str(), (2.9).int(), (3).float()", ((7).str(), (2.9).int(), (3).float()))
    stamp = "2024-01-02 03:04:05.000006".timestamp()
    step("'2024-01-02 03:04:05.000006'.timestamp()", stamp, "local time")
    step("stamp.time('%d.%m.%Y %H:%M')", stamp.time("%d.%m.%Y %H:%M"))
    failed = "not a date".timestamp()
    step("isinstance('not a date'.timestamp(), ValueError)", isinstance(failed, ValueError),
         "returned, not raised")
    step("'{} has {n} ports'.f('api', n=2)", "{} has {n} ports".f("api", n=2))
    step("'%s:%d'.s('localhost', 8080)", "%s:%d".s("localhost", 8080))

    print("\nLists as sets (sorted here: sets keep no order)")
    step("sorted([1, 2, 2, 3].diff([2]))", sorted([1, 2, 2, 3].diff([2])))
    step("sorted([3, 1, 3, 2].set())", sorted([3, 1, 3, 2].set()))
    step("sorted(['a', 'b', 'c'].inter(['b', 'd']))", sorted(["a", "b", "c"].inter(["b", "d"])))


def tour():
    start = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="tarvex_func_tour_") as workspace:
        os.chdir(workspace)
        try:
            plain_functions()
            methods()
        finally:
            os.chdir(start)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m tarvex_func",
        description="Without options, runs a short tour of tarvex_func in a temporary "
        "directory: the helpers as plain functions, then as methods of the built-in types.",
    )
    parser.add_argument("--version", action="version", version=f"tarvex_func {tarvex_func.__version__}")
    parser.parse_args(argv)
    tour()


if __name__ == "__main__":
    main()
