"""str_read_yaml against the library's loaders and the JSON floor, on generated
Kubernetes-, CI- and OpenAPI-like documents of about 1 KB, 100 KB and 5 MB.

Each row times, in interleaved rounds (best round kept): `str_read_yaml(path)`,
`yaml.load(f, Loader=yaml.FullLoader)`, `yaml.load(f, Loader=yaml.CFullLoader)`
(when the installed PyYAML has it) and `json.loads` of the same data read from a
file. Ratios: FullLoader / native, CFullLoader / native, native / JSON.

`python bench/bench_yaml_reader.py --callgrind` instead counts the instructions
of one warm call of each on the 100 KB Kubernetes-like document under
`valgrind --tool=callgrind`.
"""

import json
import os
import sys
import tempfile
import timeit

import yaml

sys.path.insert(0, os.path.dirname(__file__))
from yaml_docs import SIZES, document, documents  # noqa: E402
from common import callgrind_parts  # noqa: E402

from tarvex_func.function import textkit  # noqa: E402

C_LOADER = getattr(yaml, "CFullLoader", None)


def files_for(tree, folder, name):
    yaml_path = os.path.join(folder, name + ".yaml")
    json_path = os.path.join(folder, name + ".json")
    with open(yaml_path, "w", encoding="utf-8") as file:
        yaml.dump(tree, file, allow_unicode=True, sort_keys=False)
    with open(json_path, "w", encoding="utf-8") as file:
        json.dump(tree, file)
    return yaml_path, json_path


STATEMENTS = {
    "native": "read(path)",
    "FullLoader": "with open(path, encoding='utf-8') as f: load(f, Loader=full)",
    "CFullLoader": "with open(path, encoding='utf-8') as f: load(f, Loader=c_full)",
    "json": "with open(json_path, encoding='utf-8') as f: loads(f.read())",
}


def best_times(yaml_path, json_path, rounds):
    namespace = {"read": textkit.str_read_yaml, "path": yaml_path, "json_path": json_path,
                 "load": yaml.load, "full": yaml.FullLoader, "c_full": C_LOADER, "loads": json.loads}
    names = [name for name in STATEMENTS if name != "CFullLoader" or C_LOADER]
    timers = {name: timeit.Timer(STATEMENTS[name], globals=namespace) for name in names}
    numbers = dict.fromkeys(names, 1)
    for name, timer in timers.items():
        if rounds > 1:  # the large documents: one call a round, no calibration call
            elapsed = timer.timeit(1)
            numbers[name] = max(1, int(0.2 / max(elapsed, 1e-9))) if elapsed < 0.2 else 1
    best = dict.fromkeys(names, float("inf"))
    for _ in range(rounds):
        for name, timer in timers.items():
            best[name] = min(best[name], timer.timeit(numbers[name]) / numbers[name])
    return best


def native_share(yaml_path):
    """Whether the native reader read the file (no library code ran)."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and f"{os.sep}yaml{os.sep}" in frame.f_code.co_filename:
            calls.append(1)

    sys.setprofile(profile)
    try:
        textkit.str_read_yaml(yaml_path)
    finally:
        sys.setprofile(None)
    return not calls


def timing(folder):
    print(f"{'document':<22}{'bytes':>10}{'native ms':>12}{'Full ms':>11}{'CFull ms':>11}{'json ms':>10}"
          f"{'xFull':>8}{'xCFull':>8}{'/json':>7}")
    for kind, size, tree in documents():
        yaml_path, json_path = files_for(tree, folder, f"{kind}-{size}")
        assert native_share(yaml_path), "the generated document should be read natively"
        with open(yaml_path, encoding="utf-8") as file:
            assert textkit.str_read_yaml(yaml_path) == yaml.load(file, Loader=yaml.FullLoader)
        best = best_times(yaml_path, json_path, rounds=1 if size == "5MB" else 5)
        c_full = best.get("CFullLoader", float("nan"))
        print(f"{kind + ' ' + size:<22}{os.path.getsize(yaml_path):>10}{best['native'] * 1e3:>12.3f}"
              f"{best['FullLoader'] * 1e3:>11.1f}{c_full * 1e3:>11.2f}{best['json'] * 1e3:>10.3f}"
              f"{best['FullLoader'] / best['native']:>8.1f}{c_full / best['native']:>8.1f}"
              f"{best['native'] / best['json']:>7.2f}")
        sys.stdout.flush()


CALLGRIND_RUN = """
import json, os, sys, yaml
from tarvex_func.function import textkit
path, json_path, which = sys.argv[1:4]
read = {
    "native": lambda: textkit.str_read_yaml(path),
    "FullLoader": lambda: yaml.load(open(path, encoding="utf-8"), Loader=yaml.FullLoader),
    "CFullLoader": lambda: yaml.load(open(path, encoding="utf-8"), Loader=yaml.CFullLoader),
    "json": lambda: json.loads(open(json_path, encoding="utf-8").read()),
}[which]
read()  # warm: imports and what the reader keeps of the library
os.getppid()
read()
os.getppid()
"""


def callgrind(folder):
    """Instructions of one warm call on the 100 KB Kubernetes-like document: the
    counters are dumped at each os.getppid(), and the call is what lies between."""
    yaml_path, json_path = files_for(document("kubernetes", SIZES["100KB"]), folder, "k100")
    script = os.path.join(folder, "run.py")
    with open(script, "w") as file:
        file.write(CALLGRIND_RUN)
    counts = {}
    for which in ("native", "FullLoader", "CFullLoader", "json"):
        if which == "CFullLoader" and not C_LOADER:
            continue
        counts[which] = callgrind_parts(script, yaml_path, json_path, which)[-1]
        print(f"{which:<12} {counts[which] / 1e6:>10.1f} M instructions")
        sys.stdout.flush()
    print(f"FullLoader / native {counts['FullLoader'] / counts['native']:.1f}, "
          + (f"CFullLoader / native {counts['CFullLoader'] / counts['native']:.1f}, " if C_LOADER else "")
          + f"native / json {counts['native'] / counts['json']:.2f}")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        if "--callgrind" in sys.argv:
            callgrind(folder)
        else:
            timing(folder)
