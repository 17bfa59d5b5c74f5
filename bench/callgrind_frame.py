"""Instruction counts (callgrind Ir) per call, net of the loop around it.

Each statement runs N and 2N times in a loop under callgrind; the difference
over N is its cost per iteration, and the same for a loop over a bare name
is subtracted. Counts repeat exactly from run to run, unlike timings.

Run: python bench/callgrind_frame.py [statement ...]
"""

import os
import re
import subprocess
import sys
import tempfile

N = 20_000

SETUP = (
    "import datetime, operator, os\n"
    "from tarvex_func.function import quantkit, setkit, textkit\n"
    "t = ('a',)\n"
    "first = operator.itemgetter(0)\n"
    "p = os.path.abspath(__file__) if '__file__' in dir() else os.getcwd()\n"
    "def twin_isfile(x):\n    return os.path.isfile(x)\n"
    "def twin_time(x, fmt='%Y-%m-%d'):\n"
    "    return datetime.datetime.strptime(x, fmt).timestamp()\n"
)

STATEMENTS = [
    "quantkit.number_str('a')",
    "first(t)",
    "quantkit.number_str(x='a')",
    "textkit.str_int('12')",
    "int('12')",
    "textkit.str_float('1e3')",
    "float('1e3')",
    "textkit.str_format_s('%s', 1)",
    "'%s' % (1,)",
    "textkit.str_isfile(p)",
    "os.path.isfile(p)",
    "twin_isfile(p)",
    "textkit.str_time('2020-01-02', '%Y-%m-%d')",
    "twin_time('2020-01-02')",
]


def instructions(statement, count):
    # In a function, so that names are read as globals through the
    # interpreter's inline caches, as in a program.
    code = f"{SETUP}def loop():\n    for _ in range({count}):\n        {statement}\nloop()\n"
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, "-c", code], check=True, capture_output=True)
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def per_iteration(statement):
    return (instructions(statement, 2 * N) - instructions(statement, N)) / N


def main():
    statements = sys.argv[1:] or STATEMENTS
    loop = per_iteration("t")
    print(f"{'statement':40} {'Ir per call':>12}")
    for statement in statements:
        print(f"{statement:40} {per_iteration(statement) - loop:12.0f}")


if __name__ == "__main__":
    main()
