"""Writing YAML: `dict_write_yaml` against PyYAML's `yaml.dump` (default
Dumper, and CDumper when the installed PyYAML has it) into a file with the
same options, and against `json.dumps` plus the write (the floor), on the
generated documents of bench/yaml_docs.py.

Run from the repository root:
    .venv/bin/python bench/bench_yaml.py              # timings, a few minutes
    .venv/bin/python bench/bench_yaml.py --quick      # without the 5 MB rows
    .venv/bin/python bench/bench_yaml.py --callgrind  # instructions for the 100 KB rows

Timings are the minimum over interleaved rounds (each writer once per round,
in turn); the 5 MB rows of the pure-Python dumper take one round, being tens
of seconds each. Instruction counts (callgrind Ir) are for one call, warm,
between two marks in one process.
"""

import os
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import yaml  # noqa: E402

from yaml_docs import SIZES, document  # noqa: E402
from common import callgrind_parts  # noqa: E402

OPTIONS = ("default_style='', default_flow_style=False, canonical=False, indent=2, "
           "allow_unicode=True, encoding=None, sort_keys=False")
WRITERS = {
    "dict_write_yaml": "dict_write_yaml(doc, path)",
    "yaml.dump": f"with open(path, 'w') as f: yaml.dump(doc, f, {OPTIONS})",
    "yaml.dump CDumper": f"with open(path, 'w') as f: yaml.dump(doc, f, Dumper=yaml.CDumper, {OPTIONS})",
    "json.dumps+write": "with open(path, 'w') as f: f.write(json.dumps(doc))",
}
if not hasattr(yaml, "CDumper"):
    del WRITERS["yaml.dump CDumper"]
KINDS = ("kubernetes", "ci", "openapi")


def namespace(doc, path):
    import json

    from tarvex_func.function.treekit import dict_write_yaml
    return {"doc": doc, "path": path, "yaml": yaml, "json": json, "dict_write_yaml": dict_write_yaml}


def timings(doc, path, size):
    names = namespace(doc, path)
    timers = {label: timeit.Timer(statement, globals=names) for label, statement in WRITERS.items()}
    rounds = 5 if size != "5MB" else 2
    best = {label: float("inf") for label in timers}
    for round_ in range(rounds):
        for label, timer in timers.items():
            if label == "yaml.dump" and size == "5MB" and round_:
                continue
            number = 1 if size != "1KB" or label == "yaml.dump" else 20
            best[label] = min(best[label], timer.timeit(number) / number)
    return best


def check_same_bytes(doc, path):
    names = namespace(doc, path)
    exec(WRITERS["yaml.dump"], names)
    with open(path, "rb") as f:
        library = f.read()
    exec(WRITERS["dict_write_yaml"], names)
    with open(path, "rb") as f:
        assert f.read() == library, "dict_write_yaml wrote other bytes than yaml.dump"


def main_timings(sizes):
    print(f"{'document':<22}{'writer':<20}{'time':>12}{'vs dict_write_yaml':>20}")
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "out.yaml")
        for size in sizes:
            for kind in KINDS:
                doc = document(kind, SIZES[size])
                check_same_bytes(doc, path)
                best = timings(doc, path, size)
                native = best["dict_write_yaml"]
                for label, seconds in best.items():
                    print(f"{kind + ' ' + size:<22}{label:<20}{seconds * 1e3:>10.3f} ms"
                          f"{seconds / native:>19.2f}x")
                sys.stdout.flush()


CHILD = """
import os, sys
sys.path.insert(0, {bench!r})
from bench_yaml import namespace, WRITERS
from yaml_docs import document
doc = document({kind!r}, 100_000)
names = namespace(doc, {path!r})
for label, statement in WRITERS.items():
    code = compile(statement, label, "exec")
    exec(code, names)  # warm
    os.getppid()
    exec(code, names)
    os.getppid()
"""


def main_callgrind():
    bench = os.path.dirname(os.path.abspath(__file__))
    print(f"{'document':<22}{'writer':<20}{'Ir':>16}{'vs dict_write_yaml':>20}")
    for kind in KINDS:
        with tempfile.TemporaryDirectory() as scratch:
            code = CHILD.format(bench=bench, kind=kind, path=os.path.join(scratch, "out.yaml"))
            counts = callgrind_parts("-c", code)
        # Two marks per writer: warm | one call.
        irs = {label: counts[2 * i + 1] for i, label in enumerate(WRITERS)}
        for label, ir in irs.items():
            print(f"{kind + ' 100KB':<22}{label:<20}{ir:>16,}{ir / irs['dict_write_yaml']:>19.2f}x")
        sys.stdout.flush()


if __name__ == "__main__":
    if "--callgrind" in sys.argv:
        main_callgrind()
    else:
        main_timings(("1KB", "100KB") if "--quick" in sys.argv else tuple(SIZES))
