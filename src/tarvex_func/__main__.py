"""A short tour of the package: `python -m tarvex_func`.

Everything happens inside a temporary directory that is removed at the end.
"""

import os
import tempfile

from tarvex_func.hubkit import TarvexHubkit


def step(expression, value):
    print(f"  {expression:<52} -> {value!r}")


def tour():
    print("Installing the methods: TarvexHubkit()")
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
    step("loaded.find('$.service.missing')", loaded.find("$.service.missing"))
    step("loaded.modify('$.service.debug', True)", loaded.modify("$.service.debug", True))
    step("loaded.delete('$.service.ports[*]', 2)", loaded.delete("$.service.ports[*]", 2))

    print("\nFiles and a small directory tree")
    os.makedirs(os.path.join("project", "src"))
    step("'print(1)\\n'.write('project/src/main.py')", "print(1)\n".write("project/src/main.py"))
    step("'# notes\\n'.write('project/README')", "# notes\n".write("project/README"))
    step("'project'.files_dict()", "project".files_dict())
    step("'project'.files()", "project".files())
    step("list('project/src/main.py'.read_line())", list("project/src/main.py".read_line()))
    step("'project'.copy('backup')", "project".copy("backup"))
    step("'backup'.delete()", "backup".delete())
    step("'missing.txt'.read()", "missing.txt".read())

    print("\nNumbers and timestamps")
    step("'42'.int(), '4.5'.float(), 'n/a'.int()", ("42".int(), "4.5".float(), "n/a".int()))
    step("(7).str(), (2.9).int(), (3).float()", ((7).str(), (2.9).int(), (3).float()))
    stamp = "2024-01-02 03:04:05.000006".timestamp()
    step("'2024-01-02 03:04:05.000006'.timestamp()", stamp)
    step("stamp.time('%d.%m.%Y %H:%M')", stamp.time("%d.%m.%Y %H:%M"))
    step("'not a date'.timestamp()", "not a date".timestamp())
    step("'{} has {n} ports'.f('api', n=2)", "{} has {n} ports".f("api", n=2))
    step("'%s:%d'.s('localhost', 8080)", "%s:%d".s("localhost", 8080))

    print("\nLists as sets")
    step("sorted([1, 2, 2, 3].diff([2]))", sorted([1, 2, 2, 3].diff([2])))
    step("sorted([3, 1, 3, 2].set())", sorted([3, 1, 3, 2].set()))
    step("sorted(['a', 'b', 'c'].inter(['b', 'c', 'd']))", sorted(["a", "b", "c"].inter(["b", "c", "d"])))


def main():
    start = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="tarvex_func_tour_") as workspace:
        os.chdir(workspace)
        try:
            tour()
        finally:
            os.chdir(start)


if __name__ == "__main__":
    main()
