"""textkit against plain-Python functions with the same bodies.

Run: python bench/bench_textkit.py
"""

import os
import shutil
import sys
import tempfile


sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import compare, header, make_tree  # noqa: E402

from tarvex_func.function import textkit  # noqa: E402
from twins import TWINS  # noqa: E402


# --- benchmarks -----------------------------------------------------------------------


def versus(label, name, arguments, namespace=None, call="{}({})"):
    """The native function against its twin, both called as `call` says."""
    ns = dict(namespace or {}, native=getattr(textkit, name), twin=TWINS[name])
    return compare(label, call.format("native", arguments), call.format("twin", arguments),
                   namespace=ns)


def bench_conversions():
    header("textkit conversions and formatting")
    versus("str_int good text", "str_int", "'12345'")
    versus("str_int bad text", "str_int", "'12a'")
    versus("str_float good text", "str_float", "'1.5e3'")
    versus("str_float bad text", "str_float", "'abc'")
    versus("str_format_s", "str_format_s", "'%s-%d', 'a', 3")
    versus("str_format", "str_format", "'{}-{b}', 1, b=2")
    versus("str_time good text", "str_time", "'2024-01-02', '%Y-%m-%d'")


def bench_files(folder):
    header("textkit files (the host's I/O dominates)")
    megabyte = os.path.join(folder, "one_mb.txt")
    with open(megabyte, "w") as f:
        line = "x" * 99 + "\n"
        f.write(line * 10_486)
    lines = os.path.join(folder, "lines.txt")
    with open(lines, "w") as f:
        f.writelines(f"line {i}  \n" for i in range(100_000))
    ns = {"megabyte": megabyte, "lines": lines}
    versus("str_read_file 1 MB", "str_read_file", "megabyte", ns)
    versus("str_read_lines 1 MB", "str_read_lines", "megabyte", ns)
    ratio = versus("str_read_line over 100,000 lines", "str_read_line", "lines", ns,
                   call="for _ in {}({}): pass")
    print(f"{'':<52} per line: native/twin {ratio:.3f}")


def bench_tree(folder):
    header("textkit directory listing, 10,000 files")
    top = os.path.join(folder, "tree")
    make_tree(top, files=10_000, per_dir=100, fanout=10)
    ns = {"top": top}
    versus("str_files_dict", "str_files_dict", "top", ns)
    versus("str_files_list", "str_files_list", "top", ns)


def main():
    bench_conversions()
    folder = tempfile.mkdtemp()
    try:
        bench_files(folder)
        bench_tree(folder)
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
