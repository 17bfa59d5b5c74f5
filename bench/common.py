"""Timing helpers shared by the benchmarks.

Every figure is a ratio against a plain-Python twin measured in the same run:
the time of the native function divided by the time of the twin, so a ratio
above 1 means the package costs more.
"""

import os
import re
import subprocess
import sys
import tempfile
import timeit


def timer_for(call, namespace):
    """A timer for a zero-argument callable, or for a statement (a str) run
    in `namespace`, which spares the cost of an extra call per loop."""
    if isinstance(call, str):
        return timeit.Timer(call, globals=namespace)
    return timeit.Timer(call)


def best_time(call, number, repeat=7, namespace=None):
    """The best time of `number` calls of `call`, in seconds per call."""
    timer = timer_for(call, namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def calls_for(call, budget=0.05, namespace=None):
    """How many calls of `call` take about `budget` seconds."""
    number = 1
    while True:
        elapsed = timer_for(call, namespace).timeit(number)
        if elapsed >= budget / 5 or number >= 1 << 22:
            return max(1, int(number * budget / max(elapsed, 1e-9)))
        number *= 4


def compare(label, native, twin, repeat=7, namespace=None):
    """Times two zero-argument callables (or two statements run in
    `namespace`) and prints and returns native/twin, the convention of every
    benchmark here: above 1 the package costs more than the alternative."""
    number = calls_for(twin, namespace=namespace)
    native_time = best_time(native, number, repeat, namespace)
    twin_time = best_time(twin, number, repeat, namespace)
    ratio = native_time / twin_time
    print(f"{label:<52} native {native_time * 1e9:>11.0f} ns   twin {twin_time * 1e9:>11.0f} ns   "
          f"native/twin {ratio:7.3f}")
    sys.stdout.flush()
    return ratio


def header(title):
    print(f"\n== {title}")


def make_tree(top, files, per_dir, fanout):
    """`files` empty files, `per_dir` to a directory, directories `fanout` wide."""
    directories = [top]
    os.makedirs(top)
    made = index = 0
    while made < files:
        directory = directories[index]
        for k in range(fanout):
            sub = os.path.join(directory, f"d{k}")
            os.mkdir(sub)
            directories.append(sub)
        for k in range(min(per_dir, files - made)):
            open(os.path.join(directory, f"f{k}.txt"), "w").close()
        made += per_dir
        index += 1
    return top


def callgrind_parts(*argv):
    """Instructions that `python *argv` runs under callgrind, split where the
    child calls os.getppid() (its marker): the count of each part, in order."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                               "--dump-before=os_getppid", sys.executable, *argv],
                              capture_output=True, text=True,
                              env=dict(os.environ, PYTHONHASHSEED="0"))
        if done.returncode:
            raise SystemExit(done.stderr[-3000:])
        parts = {}
        for name in os.listdir(scratch):
            with open(os.path.join(scratch, name)) as f:
                text = f.read()
            if "Trigger: --dump-before" in text:
                part = int(re.search(r"^part: (\d+)", text, re.M).group(1))
                parts[part] = int(re.search(r"^summary: (\d+)", text, re.M).group(1))
    return [parts[k] for k in sorted(parts)]
