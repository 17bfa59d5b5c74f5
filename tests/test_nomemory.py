"""Allocation failure at each position of every call: never a crash of the package.

Each case runs in a process of its own (tests/nomemory_cases.py), which forks
one child per position with exactly that allocation failing. A child must end
with the call's result or an exception; a SystemError (also the host's report
of a result returned with an exception set) fails, and so does a crash with
the package's code at fault. A crash is looked at again under gdb: where the
faulting code is the interpreter's own (no package frame on the stack, or one
of the interpreter's known faults under allocation failure above the first
package frame), the position is recorded as the host's and reported.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

_testcapi = pytest.importorskip("_testcapi")
# Under the sanitizers the allocator and the crash reports are theirs: the
# sweep runs in the plain build.
pytestmark = [pytest.mark.slow,
              pytest.mark.skipif(bool(os.environ.get("TARVEX_SANITIZED")), reason="sanitizer run")]

RUNNER = pathlib.Path(__file__).with_name("nomemory_cases.py")
PACKAGE_FRAME = re.compile(r"(textkit|treekit|quantkit|setkit|hubkit)\.cpython")
# The interpreter's own faults under allocation failure (3.13.0): a failed
# resize in dict.setdefault corrupts the dict it fills (type_ready does that).
HOST_FAULTS = ("dict_setdefault_ref_lock_held",)

HELPERS = [
    "list_diff", "list_set", "list_intersect", "number_str", "number_int", "number_float",
    "number_time", "str_int", "str_float", "str_time", "str_format", "str_format_s",
    "str_isfile", "str_isdir", "str_file_delete", "str_dir_delete", "str_copy", "str_move",
    "str_read_yaml", "str_read_yaml_native", "str_read_file", "str_read_line", "line_generator_protocol",
    "str_read_lines", "str_write_file", "str_files_dict", "str_files_list", "dict_find_path",
    "dict_find_all_path", "dict_find_all_path_walk", "dict_update_path", "dict_delete_path",
    "dict_update_path_native", "dict_delete_path_native", "dict_update_path_many_native",
    "dict_delete_path_many_native",
    "dict_write_yaml", "dict_write_yaml_native",
    "TarvexHubkit", "install",
]
IMPORTS = ["import setkit", "import quantkit", "import textkit", "import treekit", "import hubkit"]
POSITIONS = {"helper": 150, "import": 500}
HOST_CRASHES = []


def blame(case, position):
    """'host: …' or 'package: …' for a crash, from a backtrace of the position rerun alone."""
    if not shutil.which("gdb"):
        return "package: crashed (no gdb here to tell whose code)"
    trace = subprocess.run(
        ["gdb", "-batch", "-ex", "run", "-ex", "bt", "--args", sys.executable, str(RUNNER),
         case, str(position), str(position), "--direct"],
        capture_output=True, text=True, timeout=300,
    ).stdout
    frames = [line for line in trace.splitlines() if line.startswith("#")]
    if not frames:
        return "host: did not crash again when run alone"
    top = frames[0].split(" in ")[-1].split(" (")[0]
    package = [i for i, frame in enumerate(frames) if PACKAGE_FRAME.search(frame)]
    if not package:
        return f"host: {top}, no package frame"
    if package[0] > 0 and any(fault in f for f in frames[: package[0]] for fault in HOST_FAULTS):
        return f"host: {top}, under {next(f for f in HOST_FAULTS if f in trace)}"
    return f"package: {top}\n" + "\n".join(frames[:15])


@pytest.mark.parametrize("case", HELPERS + IMPORTS)
def test_allocation_failure_never_crashes_the_package(case):
    last = POSITIONS["import" if case.startswith("import") else "helper"]
    run = subprocess.run([sys.executable, str(RUNNER), case, "0", str(last)],
                         capture_output=True, text=True, timeout=600)
    if run.returncode and "KeyError: 'install'" in run.stderr:
        pytest.skip("no installation API")
    assert run.returncode == 0, run.stderr[-3000:]
    outcomes = dict(line.split(" ", 1) for line in run.stdout.splitlines())
    assert len(outcomes) == last + 1
    failures = []
    for position, outcome in outcomes.items():
        if outcome == "SystemError":
            failures.append(f"{position}: SystemError")
        elif outcome == "host SystemError":
            HOST_CRASHES.append(f"{case} at {position}: {outcome}")
            print(f"\n{case}: position {position} lost its MemoryError in the host's code")
        elif outcome == "exit 20":
            failures.append(f"{position}: the delete left its marker in the data")
        elif outcome.startswith(("signal", "exit")):
            verdict = blame(case, int(position))
            if verdict.startswith("host"):
                HOST_CRASHES.append(f"{case} at {position}: {outcome}, {verdict}")
                print(f"\n{case}: position {position} crashed in the interpreter ({verdict})")
            else:
                failures.append(f"{position}: {outcome}, {verdict}")
    assert not failures, "\n".join(failures)
    kinds = ("result", "MemoryError", "exception", "host SystemError")
    counts = {kind: sum(o == kind for o in outcomes.values()) for kind in kinds}
    print(f"\n{case}: {last + 1} positions, {counts}")
