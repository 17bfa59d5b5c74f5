"""Every helper of textkit, treekit, quantkit and setkit against its plain-Python
twin (bench/twins.py) and the bare host operation (the floor), in one table.

Run: python bench/bench_frame.py [--large] [--only NAME ...] [--json FILE]

Each row times one call form of one input: positional, keyword, and the
installed method ('12'.int(), installed only while that statement is timed).
The statements of a row are timed in interleaved rounds and the minimum is
kept (timeit, statement strings). Columns: ns per call, native/twin and
native/floor; a native/twin above 1 means the package is slower, and such
rows are listed again at the end. The keyword twin is the twin called with
the same keywords; the method form is compared with the positional twin.

Files live in a temporary directory. The line generator is timed both as
creation (the call alone) and as iteration, per line. The tree walkers run
over small trees by default; --large adds trees of about 20,000 files.
"""

import argparse
import datetime
import importlib.metadata
import inspect
import json
import os
import platform
import shutil
import sys
import tempfile
import time
import timeit
from dataclasses import dataclass, field

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import yaml  # noqa: E402
from jsonpath_ng.parser import parse  # noqa: E402

import tarvex_func  # noqa: E402
from tarvex_func import hubkit  # noqa: E402
from tarvex_func.function import quantkit, setkit, textkit, treekit  # noqa: E402
from common import make_tree  # noqa: E402
from twins import TWINS  # noqa: E402

MODULES = (textkit, treekit, quantkit, setkit)
ROUNDS = 9
ROW_SECONDS = 0.3  # time spent on each row, past the least number of rounds
RUN_SECONDS = 0.004  # one timeit run of a statement: short runs dodge other processes


def helpers():
    """Every function the helper modules export, by name."""
    kind = type(textkit.str_int)
    found = {}
    for module in MODULES:
        for name, value in vars(module).items():
            if isinstance(value, kind) and not name.startswith("_"):
                found[name] = value
    return found


def method_of(name):
    """(group, method name) of the first method that installs the helper."""
    for group, _, rows in hubkit._groups:
        for method, helper in rows:
            if helper == name:
                return group, method
    raise LookupError(f"{name} has no installed method")


@dataclass
class Case:
    """One input of one helper. `args` are expressions in the case's
    namespace; `kw` overrides the keyword form (derived from the signature;
    "" for none); `prefix` runs before the call in every statement of the row
    (floor included), `loop` wraps the call ("for _ in {}: pass") and `per`
    divides the time (lines per iteration)."""

    helper: str
    label: str
    args: tuple
    floor: str | None = None
    kw: str | None = None
    prefix: str = ""
    loop: str = "{}"
    per: int = 1
    data: dict = field(default_factory=dict)
    method: bool = True


def call_forms(case, native):
    """{form: (native statement, twin statement)} of a case."""
    args = ", ".join(case.args)
    if case.kw is None:
        names = list(inspect.signature(native).parameters)
        kw = ", ".join(f"{n}={a}" for n, a in zip(names, case.args))
    else:
        kw = case.kw
    def statement(call):
        return case.prefix + case.loop.format(call)
    forms = {"positional": (statement(f"native({args})"), statement(f"twin({args})"))}
    if kw:
        forms["keyword"] = (statement(f"native({kw})"), statement(f"twin({kw})"))
    if case.method:
        _, method = method_of(case.helper)
        rest = ", ".join(case.args[1:])
        forms["method"] = (statement(f"{case.args[0]}.{method}({rest})"), forms["positional"][1])
    return forms


def number_for(timer):
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= RUN_SECONDS / 4 or number >= 1 << 22:
            return max(1, int(number * RUN_SECONDS / max(elapsed, 1e-9)))
        number *= 4


def time_row(statements, namespace, rounds):
    """Minimum seconds per run of each statement, over interleaved rounds.
    The method statement runs with every group installed (an int method
    may be called on a float), and only while it runs."""
    timers = {key: timeit.Timer(text, globals=namespace) for key, text in statements.items()}
    number = number_for(timers["twin positional"])
    best = dict.fromkeys(timers, float("inf"))
    # Rounds fill the row's budget, at least `rounds` of them: the minimum
    # needs many samples on a machine that other processes share.
    start = time.perf_counter()
    done = 0
    while done < rounds or (time.perf_counter() - start < ROW_SECONDS and done < 1000):
        done += 1
        for key, timer in timers.items():
            if key == "native method":
                with tarvex_func.installed():
                    elapsed = timer.timeit(number)
            else:
                elapsed = timer.timeit(number)
            best[key] = min(best[key], elapsed / number)
    return best


SLOWER = []
ROWS = []  # every printed row, for --json


def run_case(case, natives, rounds):
    native = natives[case.helper]
    namespace = dict(case.data, native=native, twin=TWINS[case.helper], os=os,
                     shutil=shutil, yaml=yaml, parse=parse)
    forms = call_forms(case, native)
    statements = {}
    for form, (native_text, twin_text) in forms.items():
        statements[f"native {form}"] = native_text
        statements[f"twin {form}"] = twin_text
    if case.floor:
        statements["floor"] = case.prefix + case.floor
    best = time_row(statements, namespace, rounds)
    floor = best.get("floor")
    for form in forms:
        mine = best[f"native {form}"] / case.per
        twin_key = "twin positional" if form == "method" else f"twin {form}"
        twin = best[twin_key] / case.per
        ratio = mine / twin
        floor_text = (f"{floor / case.per * 1e9:10.1f} {mine / (floor / case.per):6.2f}"
                      if floor else f"{'-':>10} {'-':>6}")
        mark = f"  SLOWER +{(ratio - 1) * 100:.1f}%" if ratio > 1 else ""
        print(f"{case.helper:<19} {case.label:<22} {form:<10} {mine * 1e9:10.1f} "
              f"{twin * 1e9:10.1f} {ratio:6.3f} {floor_text}{mark}")
        if ratio > 1:
            SLOWER.append((case.helper, case.label, form, ratio))
        ROWS.append({"helper": case.helper, "input": case.label, "form": form,
                     "ns": round(mine * 1e9, 1), "twin_ns": round(twin * 1e9, 1),
                     "floor_ns": round(floor / case.per * 1e9, 1) if floor else None})
    sys.stdout.flush()


# --- inputs ---------------------------------------------------------------------------


def write(path, text):
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def touch(path):
    open(path, "w").close()


def small_tree():
    return {"a": {"b": [1, 2, {"c": 3}]}, "items": [{"c": 1}, {"c": 2}, {"c": 3}]}


def large_tree():
    return {"records": [{"id": i, "name": f"n{i}", "tags": [i, i + 1]} for i in range(1000)],
            "a": {"b": [1, 2, {"c": 3}]}}


def text_cases():
    return [
        Case("str_int", "good '12'", ("s",), "int(s)", data={"s": "12"}),
        Case("str_int", "good, 60 digits", ("s",), "int(s)", data={"s": "1234567890" * 6}),
        Case("str_int", "bad '12a'", ("s",), data={"s": "12a"}),
        Case("str_float", "good '1e3'", ("s",), "float(s)", data={"s": "1e3"}),
        Case("str_float", "good, 40 digits", ("s",), "float(s)",
             data={"s": "3.141592653589793238462643383279502884197"}),
        Case("str_float", "bad 'abc'", ("s",), data={"s": "abc"}),
        Case("str_time", "good", ("s", "f"), "dt.strptime(s, f).timestamp()",
             data={"s": "2024-01-02", "f": "%Y-%m-%d", "dt": __import__("datetime").datetime}),
        Case("str_time", "bad text", ("s", "f"), data={"s": "2024-xx", "f": "%Y-%m-%d"}),
        Case("str_format", "'{}-{b}', 1, b=2", ("t", "1", "b=2"), "t.format(1, b=2)",
             kw="x=t2, b=2", data={"t": "{}-{b}", "t2": "{b}-{b}"}),
        Case("str_format", "50 fields", ("t", "*v"), "t.format(*v)", kw="",
             data={"t": "{}," * 50, "v": tuple(range(50))}),
        Case("str_format_s", "'%s-%d', 'a', 3", ("t", "'a'", "3"), "t % ('a', 3)",
             kw="x=t0", data={"t": "%s-%d", "t0": "abc"}),
        Case("str_format_s", "50 values", ("t", "*v"), "t % v", kw="",
             data={"t": "%s," * 50, "v": tuple(range(50))}),
    ]


def path_cases(folder):
    file = write(os.path.join(folder, "file.txt"), "data\n" * 20)
    missing = os.path.join(folder, "missing")
    scratch = os.path.join(folder, "scratch.txt")
    copy_to = os.path.join(folder, "copy.txt")
    move_to = os.path.join(folder, "moved.txt")
    tree = make_tree(os.path.join(folder, "copy_src"), files=10, per_dir=5, fanout=2)
    tree_to = os.path.join(folder, "copy_dst")
    gone = os.path.join(folder, "gone")
    data = {"p": file, "m": missing, "d": folder, "q": scratch, "c": copy_to, "y": move_to,
            "t": tree, "u": tree_to, "g": gone, "touch": touch}
    return [
        Case("str_isfile", "a file", ("p",), "os.path.isfile(p)", data=data),
        Case("str_isfile", "nothing there", ("m",), "os.path.isfile(m)", data=data),
        Case("str_isdir", "a directory", ("d",), "os.path.isdir(d)", data=data),
        Case("str_isdir", "nothing there", ("m",), "os.path.isdir(m)", data=data),
        Case("str_file_delete", "a file (made each time)", ("q",), "os.remove(q)",
             prefix="touch(q); ", data=data),
        Case("str_file_delete", "nothing there", ("m",), "os.path.isfile(m)", data=data),
        Case("str_dir_delete", "a directory (made)", ("g",), "shutil.rmtree(g)",
             prefix="os.mkdir(g); ", data=data),
        Case("str_dir_delete", "nothing there", ("m",), "os.path.isdir(m)", data=data),
        Case("str_copy", "a file", ("p", "c"), "shutil.copy(p, c)", data=data),
        Case("str_copy", "a tree of 10 files", ("t", "u"), "shutil.copytree(t, u)",
             prefix="shutil.rmtree(u, True); ", data=data),
        Case("str_copy", "nothing there", ("m", "m"), "os.path.isfile(m)", data=data),
        Case("str_move", "a file (made each time)", ("q", "y"), "shutil.move(q, y)",
             prefix="touch(q); ", data=data),
        Case("str_move", "nothing there", ("m", "m"), "os.path.isfile(m)", data=data),
    ]


def file_cases(folder, large):
    small = write(os.path.join(folder, "small.txt"), "".join(f"line {i}  \n" for i in range(5)))
    line_count = 100_000 if large else 20_000
    big = write(os.path.join(folder, "big.txt"), ("x" * 99 + "\n") * line_count)
    yaml_small = write(os.path.join(folder, "small.yaml"), "a: 1\nb: [1, 2]\n")
    yaml_big = write(os.path.join(folder, "big.yaml"), yaml.dump(
        {f"key{i}": {"name": f"n{i}", "values": [1, 2, 3]} for i in range(200)}))
    out = os.path.join(folder, "out.txt")
    data = {"s": small, "b": big, "ys": yaml_small, "yb": yaml_big, "o": out,
            "text": "hello\n", "mega": ("x" * 99 + "\n") * 10_000, "rb": "rb", "wb": "wb",
            "blob": b"x" * 1_000_000}
    open_read = "f = open({}, 'r', encoding='utf-8'); f.{}(); f.close()"
    lines = "for data in {}: pass"
    floor_lines = ("f = open({}, {!r}, encoding={!r})\nfor data in iter(f.readline, {!r}): "
                   "data.rstrip()\nf.close()")
    return [
        Case("str_read_file", "5 lines", ("s",), open_read.format("s", "read"), data=data),
        Case("str_read_file", f"{line_count // 1000}k lines", ("b",),
             open_read.format("b", "read"), data=data),
        Case("str_read_file", "rb", ("b", "rb"), "f = open(b, 'rb'); f.read(); f.close()",
             data=data),
        Case("str_read_lines", "5 lines", ("s",), open_read.format("s", "readlines"), data=data),
        Case("str_read_lines", f"{line_count // 1000}k lines", ("b",),
             open_read.format("b", "readlines"), data=data),
        Case("str_read_line", "creation", ("s",), data=data),
        Case("str_read_line", "5 lines, per line", ("s",), loop=lines, per=5,
             floor=floor_lines.format("s", "r", "utf-8", ""), data=data),
        Case("str_read_line", f"{line_count // 1000}k lines, per line", ("b",), loop=lines,
             per=line_count, floor=floor_lines.format("b", "r", "utf-8", ""), data=data),
        Case("str_read_line", f"{line_count // 1000}k lines rb, /line", ("b", "rb"),
             loop=lines, per=line_count, floor=floor_lines.format("b", "rb", None, b""),
             data=data),
        Case("str_read_yaml", "2 keys", ("ys",), data=data,
             floor="f = open(ys, encoding='utf-8'); yaml.load(f, Loader=yaml.FullLoader); "
                   "f.close()"),
        Case("str_read_yaml", "200 entries", ("yb",), data=data,
             floor="f = open(yb, encoding='utf-8'); yaml.load(f, Loader=yaml.FullLoader); "
                   "f.close()"),
        Case("str_write_file", "6 characters", ("text", "o"),
             "f = open(o, 'w', encoding='utf-8'); f.write(text); f.close()", data=data),
        Case("str_write_file", "1 MB text", ("mega", "o"),
             "f = open(o, 'w', encoding='utf-8'); f.write(mega); f.close()", data=data),
        Case("str_write_file", "1 MB bytes, wb", ("blob", "o", "wb"),
             "f = open(o, 'wb'); f.write(blob); f.close()", data=data, method=False),
    ]


def listing_cases(folder, large):
    small = make_tree(os.path.join(folder, "small_tree"), files=200, per_dir=20, fanout=3)
    data = {"top": small, "skip": ["d1"], "top_files": ["f0.txt"]}
    walk = "[os.path.join(r, f) for r, d, fs in os.walk({}, topdown=False) for f in fs]"
    cases = [
        Case("str_files_dict", "200 files", ("top",), "for _ in os.walk(top): pass", data=data),
        Case("str_files_dict", "200 files, skip lists", ("top", "None", "skip", "top_files"),
             "for _ in os.walk(top): pass", data=data),
        Case("str_files_list", "200 files", ("top",), walk.format("top"), data=data),
    ]
    if large:
        big = make_tree(os.path.join(folder, "big_tree"), files=20_000, per_dir=100, fanout=10)
        data = {"top": big}
        cases += [
            Case("str_files_dict", "20,000 files", ("top",), "for _ in os.walk(top): pass",
                 data=data),
            Case("str_files_list", "20,000 files", ("top",), walk.format("top"), data=data),
        ]
    return cases


def tree_cases(folder):
    small = small_tree()
    large = large_tree()
    hand = 'tree["a"]["b"][2]["c"]'
    data = {"tree": small, "big": large, "fresh": small_tree, "e_plan": parse("$.a.b[2].c"),
            "e_star": parse("items[*].c"), "e_big": parse("records[*].id"),
            "e_new": parse("a.new.x"), "out": os.path.join(folder, "out.yaml"),
            "doc_small": {"a": 1, "b": [1, 2]},
            "doc_big": {f"key{i}": {"name": f"näme {i}", "values": list(range(5))}
                        for i in range(200)}}
    find = "[m.value for m in {}.find({})]"
    dump = "f = open(out, 'w'); yaml.dump({}, f, allow_unicode=True, sort_keys=False); f.close()"
    return [
        Case("dict_find_path", "'$.a.b[2].c' (native)", ("tree", "'$.a.b[2].c'"), hand,
             data=data),
        Case("dict_find_path", "'items[*].c' (library)", ("tree", "'items[*].c'"),
             find.format("e_star", "tree"), data=data),
        Case("dict_find_path", "1000 records [*].id", ("big", "'records[*].id'"),
             find.format("e_big", "big"), data=data),
        Case("dict_find_all_path", "'$.a.b[2].c' (native)", ("tree", "'$.a.b[2].c'"),
             find.format("e_plan", "tree"), data=data),
        Case("dict_find_all_path", "'items[*].c' (library)", ("tree", "'items[*].c'"),
             find.format("e_star", "tree"), data=data),
        Case("dict_find_all_path", "1000 records [*].id", ("big", "'records[*].id'"),
             find.format("e_big", "big"), data=data),
        Case("dict_update_path", "'a.new.x', 1", ("tree", "'a.new.x'", "1"),
             "e_new.find_or_create(tree); e_new.update(tree, 1)", data=data),
        Case("dict_delete_path", "fresh tree, 'items[*]', 2", ("fresh()", "'items[*]'", "2"),
             "fresh()", data=data),
        Case("dict_write_yaml", "2 keys", ("doc_small", "out"), dump.format("doc_small"),
             data=data),
        Case("dict_write_yaml", "200 entries", ("doc_big", "out"), dump.format("doc_big"),
             data=data),
    ]


def number_cases():
    return [
        Case("number_str", "12", ("n",), "str(n)", data={"n": 12}),
        Case("number_str", "a 300-digit int", ("n",), "str(n)", data={"n": 10**299 + 7}),
        Case("number_str", "1.5", ("n",), "str(n)", data={"n": 1.5}),
        Case("number_int", "2.5", ("n",), "int(n)", data={"n": 2.5}),
        Case("number_int", "42 (exact int)", ("n",), "int(n)", data={"n": 42}),
        Case("number_int", "a 300-digit int", ("n",), "int(n)", data={"n": 10**299 + 7}),
        Case("number_float", "2 (int)", ("n",), "float(n)", data={"n": 2}),
        Case("number_float", "2.5 (exact float)", ("n",), "float(n)", data={"n": 2.5}),
        Case("number_time", "1.5", ("n",),
             "dt.fromtimestamp(n).strftime('%Y-%m-%d %H:%M:%S.%f')",
             data={"n": 1.5, "dt": __import__("datetime").datetime}),
        Case("number_time", "1.5, '%Y'", ("n", "'%Y'"), "dt.fromtimestamp(n).strftime('%Y')",
             data={"n": 1.5, "dt": __import__("datetime").datetime}),
        Case("number_time", "failure (10**30)", ("n",), data={"n": 10.0**30}),
    ]


def set_cases():
    cases = []
    for size, label in [(4, "4 elements"), (10_000, "10,000 elements")]:
        data = {"a": list(range(size)), "b": list(range(0, size, 2))}
        cases += [
            Case("list_diff", label, ("a", "b"), "list(set(a) - set(b))", data=data),
            Case("list_set", label, ("a",), "list(set(a))", data=data),
            Case("list_intersect", label, ("a", "b"), "list(set(a) & set(b))", data=data),
        ]
    return cases


def cpu_name():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def load():
    return round(os.getloadavg()[0], 2) if hasattr(os, "getloadavg") else None


def write_json(path, load_before, arguments):
    """The rows with the machine, the versions and the date, for the charts
    of the documentation."""
    data = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "command": "python bench/bench_frame.py" + (" --large" if arguments.large else "")
                   + f" --rounds {arguments.rounds}",
        "machine": {"cpu": cpu_name(), "cores": os.cpu_count(), "system": platform.platform(),
                    "python": platform.python_version(), "pyyaml": yaml.__version__,
                    "jsonpath_ng": importlib.metadata.version("jsonpath-ng"),
                    "tarvex_func": tarvex_func.__version__,
                    "load_before": load_before, "load_after": load()},
        "rows": ROWS,
    }
    with open(path, "w", encoding="utf-8") as out:
        json.dump(data, out, indent=1)
        out.write("\n")


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--large", action="store_true",
                         help="also walk trees of about 20,000 files, read 100k lines")
    options.add_argument("--only", nargs="*", default=None, help="helpers to run")
    options.add_argument("--rounds", type=int, default=ROUNDS)
    options.add_argument("--json", metavar="FILE", help="also write the rows, the machine and "
                         "the date to FILE (the documentation's charts are drawn from it)")
    arguments = options.parse_args()
    load_before = load()
    natives = helpers()
    missing_twins = set(natives) - set(TWINS)
    if missing_twins:
        raise SystemExit(f"no plain-Python twin for {sorted(missing_twins)}")
    folder = tempfile.mkdtemp()
    try:
        cases = (text_cases() + path_cases(folder) + file_cases(folder, arguments.large)
                 + listing_cases(folder, arguments.large) + tree_cases(folder)
                 + number_cases() + set_cases())
        without_row = set(natives) - {case.helper for case in cases}
        if without_row:
            raise SystemExit(f"helpers without a benchmark row: {sorted(without_row)}")
        print(f"{'helper':<19} {'input':<22} {'form':<10} {'ns':>10} {'twin ns':>10} "
              f"{'/twin':>6} {'floor ns':>10} {'/floor':>6}")
        for case in cases:
            if arguments.only and case.helper not in arguments.only:
                continue
            run_case(case, natives, arguments.rounds)
    finally:
        shutil.rmtree(folder)
    if arguments.json:
        write_json(arguments.json, load_before, arguments)
    print(f"\n{len(SLOWER)} rows slower than the twin (native/twin > 1):")
    for helper, label, form, ratio in sorted(SLOWER, key=lambda row: -row[3]):
        print(f"  {helper:<19} {label:<22} {form:<10} +{(ratio - 1) * 100:.1f}%")


if __name__ == "__main__":
    main()
