"""Instructions per call (callgrind Ir), net of the loop around the call, for the
cheap helpers: positional, keyword and installed-method calls beside the
plain-Python twin (bench/twins.py) and the bare host operation (the floor).

Run: python bench/callgrind_frame.py            # the table, a few minutes
     python bench/callgrind_frame.py STATEMENT   # statements of your own, such as
                                                 # "textkit.str_int('12')" "int('12')"

Needs valgrind. Every statement runs in a loop inside a function (names are
read as globals through the interpreter's inline caches, as in a program),
once warm, then N and 2N times; a call of os.getppid() between the loops
makes callgrind dump its counters there (--dump-before), so one process
measures every statement, and (Ir(2N) - Ir(N)) / N less the same for an
empty loop is the cost of one call. Counts repeat exactly from run to run,
unlike timings. The method forms run in a second process with every group
installed, so installing reaches no other row. A ratio above 1 is the
package costing more than the twin; such rows are listed at the end.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_frame import Case, call_forms  # noqa: E402
from common import callgrind_parts  # noqa: E402

N = 2000
MARK = "os.getppid()"


def cases(here):
    file, missing = here, here + ".missing"
    return [
        Case("number_str", "'a' (returns it)", ("s",), "first(one)", data={"s": "a"}, method=False),
        Case("number_str", "12", ("n",), "str(n)", data={"n": 12}),
        Case("number_int", "42 (exact int)", ("n",), "int(n)", data={"n": 42}),
        Case("number_int", "2.5", ("n",), "int(n)", data={"n": 2.5}),
        Case("number_float", "2.5 (exact float)", ("n",), "float(n)", data={"n": 2.5}),
        Case("number_time", "1.5, '%Y'", ("n", "'%Y'"), "dt.fromtimestamp(n).strftime('%Y')",
             data={"n": 1.5}),
        Case("str_int", "good '12'", ("s",), "int(s)", data={"s": "12"}),
        Case("str_int", "bad '12a'", ("s",), data={"s": "12a"}),
        Case("str_float", "good '1e3'", ("s",), "float(s)", data={"s": "1e3"}),
        Case("str_float", "bad 'abc'", ("s",), data={"s": "abc"}),
        Case("str_time", "good", ("s", "f"), "dt.strptime(s, f).timestamp()",
             data={"s": "2024-01-02", "f": "%Y-%m-%d"}),
        Case("str_format_s", "'%s', 1", ("t", "1"), "t % (1,)", kw="x=t0",
             data={"t": "%s", "t0": "abc"}),
        Case("str_format", "'{}', 1", ("t", "1"), "t.format(1)", kw="x=t0, b=1",
             data={"t": "{}", "t0": "{b}"}),
        Case("str_isfile", "a file", ("p",), "os.path.isfile(p)", data={"p": file}),
        Case("str_isdir", "a file", ("p",), "os.path.isdir(p)", data={"p": file}),
        Case("str_file_delete", "nothing there", ("m",), "os.path.isfile(m)",
             data={"m": missing}),
        Case("str_dir_delete", "nothing there", ("m",), "os.path.isdir(m)",
             data={"m": missing}),
        Case("str_copy", "nothing there", ("m", "m"), "os.path.isfile(m)", data={"m": missing}),
        Case("str_move", "nothing there", ("m", "m"), "os.path.isfile(m)", data={"m": missing}),
        Case("str_read_line", "creation", ("p",), data={"p": file}),
        Case("str_read_file", "nothing there", ("m",), "os.path.isfile(m)",
             data={"m": missing}),
        Case("list_set", "[3, 1, 3]", ("a",), "list(set(a))", data={"a": [3, 1, 3]}),
        Case("list_diff", "4 and 2 elements", ("a", "b"), "list(set(a) - set(b))",
             data={"a": [1, 2, 3, 4], "b": [2, 3]}),
        Case("list_intersect", "4 and 2 elements", ("a", "b"), "list(set(a) & set(b))",
             data={"a": [1, 2, 3, 4], "b": [2, 3]}),
    ]


def statements_of(case):
    """[(key, statement text)] of one row; the natives are read through the
    names native and twin of the row's own globals."""
    from tarvex_func.function import quantkit, setkit, textkit, treekit

    native = next(getattr(m, case.helper) for m in (textkit, treekit, quantkit, setkit)
                  if hasattr(m, case.helper))
    rows = []
    for form, (mine, twin) in call_forms(case, native).items():
        rows.append((f"native {form}", mine))
        if form != "method":
            rows.append((f"twin {form}", twin))
    if case.floor:
        rows.append(("floor", case.floor))
    return rows


CHILD = """\
import datetime, operator, os, sys
sys.path.insert(0, {bench!r})
import tarvex_func
from tarvex_func.function import quantkit, setkit, textkit, treekit
from twins import TWINS
if {install!r}:
    tarvex_func.install()
natives = {{name: getattr(m, name) for m in (textkit, treekit, quantkit, setkit)
           for name in dir(m) if not name.startswith('_')}}

def measure(helper, data, statement):
    ns = dict(data, native=natives.get(helper), twin=TWINS.get(helper), os=os,
              dt=datetime.datetime, first=operator.itemgetter(0), one=('a',),
              quantkit=quantkit, setkit=setkit, textkit=textkit, treekit=treekit)
    exec("def loop(n):\\n    for _ in range(n):\\n        " + statement + "\\n", ns)
    loop = ns["loop"]
    loop(200)
    {mark}
    loop({n})
    {mark}
    loop({twice})
    {mark}

for helper, data, statement in {jobs!r}:
    measure(helper, data, statement)
"""


def run(jobs, install):
    """Ir per iteration of each job's statement, loop included."""
    bench = os.path.dirname(os.path.abspath(__file__))
    code = CHILD.format(bench=bench, install=install, mark=MARK, n=N, twice=2 * N, jobs=jobs)
    counts = callgrind_parts("-c", code)
    # Three marks per job: warm-up | N | 2N.
    return [(counts[3 * i + 2] - counts[3 * i + 1]) / N for i in range(len(jobs))]


def main():
    here = os.path.abspath(__file__)
    baseline = [("", {}, "one"), ("", {}, "first(one)")]
    if sys.argv[1:]:
        jobs = baseline + [("", {}, statement) for statement in sys.argv[1:]]
        counts = run(jobs, install=False)
        loop = counts[0]
        print(f"{'statement':40} {'Ir per call':>12}")
        for (_, _, statement), count in zip(jobs[1:], counts[1:]):
            print(f"{statement:40} {count - loop:12.0f}")
        return
    rows = cases(here)
    plain, installed = list(baseline), list(baseline)
    keys = []
    for case in rows:
        for key, statement in statements_of(case):
            target = installed if key == "native method" else plain
            keys.append((case, key, target is installed, len(target)))
            target.append((case.helper, case.data, statement))
    counts = {False: run(plain, False), True: run(installed, True)}
    loop = {flag: counts[flag][0] for flag in counts}
    vectorcall = counts[False][1] - loop[False]
    table = {}
    for case, key, flag, index in keys:
        table.setdefault(id(case), {})[key] = counts[flag][index] - loop[flag]
    print(f"bare vectorcall object, first(one) = operator.itemgetter(0)(one): {vectorcall:.0f} Ir\n")
    print(f"{'helper':<16} {'input':<22} {'pos':>6} {'kw':>6} {'method':>6} {'twin':>6} "
          f"{'twin kw':>7} {'floor':>6} {'pos/tw':>6} {'kw/tw':>6} {'mth/tw':>6} {'kw/pos':>6}")
    slower = []
    for case in rows:
        c = table[id(case)]
        def cell(key, width=6):
            return f"{c[key]:{width}.0f}" if key in c else f"{'-':>{width}}"
        def ratio(a, b, form):
            if a not in c or b not in c:
                return f"{'-':>6}"
            value = c[a] / c[b]
            if form and value > 1:
                slower.append((case.helper, case.label, form, c[a] - c[b], value))
            return f"{value:6.3f}"
        print(f"{case.helper:<16} {case.label:<22} {cell('native positional')} "
              f"{cell('native keyword')} {cell('native method')} {cell('twin positional')} "
              f"{cell('twin keyword', 7)} {cell('floor')} "
              f"{ratio('native positional', 'twin positional', 'positional')} "
              f"{ratio('native keyword', 'twin keyword', 'keyword')} "
              f"{ratio('native method', 'twin positional', 'method')} "
              f"{ratio('native keyword', 'native positional', None)}")
    identity = table[id(rows[0])]["native positional"]
    print(f"\npositional call of a body returning its argument: {identity:.0f} Ir, "
          f"{identity / vectorcall:.3f} x the bare vectorcall object")
    print(f"\n{len(slower)} rows costing more instructions than the twin:")
    for helper, label, form, extra, value in slower:
        print(f"  {helper:<16} {label:<22} {form:<10} +{extra:.0f} Ir (+{(value - 1) * 100:.1f}%)")


if __name__ == "__main__":
    main()
