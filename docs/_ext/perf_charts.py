"""Bar charts of the benchmark data as SVG, drawn without a plotting library.

Each module gets one chart: per helper and input (positional calls), the time
of the package's function and that of the bare library or host operation,
both relative to the plain-Python twin, drawn as the line at 1. The scale is
logarithmic: the ratios run from a thousandth (a path parsed once against one
parsed at every call) to about 1.
"""

import math
from html import escape
from pathlib import Path

LABEL_WIDTH = 300
PLOT_WIDTH = 420
ROW = 30
BAR = 10
TOP = 56
HIGH = 4.0  # the axis ends here; longer bars are cut and carry their value
COLOURS = {"ours": "#2b6cb0", "floor": "#a0aec0"}


def rows_of(data, module_prefix):
    return [row for row in data["rows"]
            if row["helper"].startswith(module_prefix) and row["form"] == "positional"]


def chart(rows, title):
    height = TOP + ROW * len(rows) + 30
    width = LABEL_WIDTH + PLOT_WIDTH + 70
    ratios = [r[key] / r["twin_ns"] for r in rows for key in ("ns", "floor_ns") if r[key]]
    # The axis starts at the power of ten below the smallest ratio, from a
    # thousandth (a path parsed once against one parsed at every call) to 0.1.
    low = min(max(10 ** math.floor(math.log10(min(ratios))), 0.001), 0.1)
    span = math.log10(HIGH / low)

    def x_of(ratio):
        ratio = min(max(ratio, low), HIGH)
        return LABEL_WIDTH + PLOT_WIDTH * math.log10(ratio / low) / span

    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="10" y="20" font-size="14" font-weight="bold">{escape(title)}</text>',
           f'<rect x="10" y="32" width="12" height="10" fill="{COLOURS["ours"]}"/>',
           '<text x="27" y="41">tarvex_func</text>',
           f'<rect x="110" y="32" width="12" height="10" fill="{COLOURS["floor"]}"/>',
           '<text x="127" y="41">bare library or host operation</text>',
           '<text x="330" y="41">time relative to the plain-Python twin (line at 1; log scale)'
           '</text>']
    for i, row in enumerate(rows):
        y = TOP + i * ROW
        label = f"{row['helper']} · {row['input']}"
        out.append(f'<text x="{LABEL_WIDTH - 8}" y="{y + BAR + 4}" text-anchor="end">'
                   f'{escape(label)}</text>')
        bars = [("ours", row["ns"] / row["twin_ns"])]
        if row["floor_ns"]:
            bars.append(("floor", row["floor_ns"] / row["twin_ns"]))
        for k, (kind, ratio) in enumerate(bars):
            top = y + k * (BAR + 1)
            length = max(x_of(ratio) - LABEL_WIDTH, 1)
            out.append(f'<rect x="{LABEL_WIDTH}" y="{top}" width="{length:.1f}" height="{BAR}" '
                       f'fill="{COLOURS[kind]}"><title>{kind}: {ratio:.2f} × twin</title></rect>')
            out.append(f'<text x="{LABEL_WIDTH + length + 4:.1f}" y="{top + BAR - 1}" '
                       f'font-size="10">{ratio:.2g}</text>')
    one = x_of(1)
    bottom = TOP + ROW * len(rows)
    out.append(f'<line x1="{one}" y1="{TOP - 6}" x2="{one}" y2="{bottom}" stroke="#c53030" '
               'stroke-dasharray="4 3"/>')
    for tick in [t for t in (0.001, 0.01, 0.1, 1, 4) if t >= low]:
        x = x_of(tick)
        out.append(f'<text x="{x}" y="{bottom + 16}" text-anchor="middle" font-size="10">'
                   f'{tick:g}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"


MODULES = {"textkit": "str_", "treekit": "dict_", "quantkit": "number_", "setkit": "list_"}


def write_charts(data, folder):
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for module, prefix in MODULES.items():
        rows = rows_of(data, prefix)
        text = chart(rows, f"{module}: time per call against the plain-Python twin")
        target = folder / f"bench_{module}.svg"
        if not target.exists() or target.read_text(encoding="utf-8") != text:
            target.write_text(text, encoding="utf-8")


# The README's table of headline speeds: (helper, input) rows of the data,
# called positionally, with the call they stand for.
HEADLINES = [
    ("str_int", "good '12'", 'str_int("12")', "int(s)"),
    ("str_float", "good '1e3'", 'str_float("1e3")', "float(s)"),
    ("str_format_s", "'%s-%d', 'a', 3", 'str_format_s("%s-%d", "a", 3)', 't % ("a", 3)'),
    ("number_str", "12", "number_str(12)", "str(n)"),
    ("dict_find_path", "'$.a.b[2].c' (native)", 'dict_find_path(tree, "$.a.b[2].c")',
     'tree["a"]["b"][2]["c"]'),
    ("dict_find_all_path", "1000 records [*].id", 'dict_find_all_path(tree, "records[*].id")',
     "find on a parsed path"),
    ("str_read_file", "5 lines", "str_read_file(path), 5 lines", "open, read, close"),
    ("list_diff", "10,000 elements", "list_diff(a, b), 10,000 elements",
     "list(set(a) - set(b))"),
]
START, END = "<!-- headline speeds: start -->", "<!-- headline speeds: end -->"


def headline_table(data):
    rows = {(r["helper"], r["input"]): r for r in data["rows"] if r["form"] == "positional"}
    lines = ["| call | tarvex_func | plain-Python twin | bare operation | |",
             "| --- | ---: | ---: | ---: | --- |"]
    for helper, label, call, floor_text in HEADLINES:
        row = rows[helper, label]
        floor = f"{row['floor_ns']:,.0f} ns" if row["floor_ns"] else "-"
        lines.append(f"| `{call}` | {row['ns']:,.0f} ns | {row['twin_ns']:,.0f} ns | {floor} "
                     f"| `{floor_text}` |")
    m = data["machine"]
    lines += ["", "Nanoseconds per call (minimum of interleaved `timeit` rounds), "
              f"{data['date']}, "
              f"{m['cpu']}, {m['cores']} cores, CPython {m['python']}, load average "
              f"{m['load_before']}. The twin is the same host calls written in Python (the "
              "lookups' twins parse the path at every call, as the code they replace does); the "
              "bare operation is the host or library call alone."]
    return "\n".join(lines)


def write_readme_table(readme, data):
    readme = Path(readme)
    text = readme.read_text(encoding="utf-8")
    head, start, rest = text.partition(START)
    _, end, tail = rest.partition(END)
    if not (start and end):
        raise SystemExit(f"{readme} has no {START} ... {END} block")
    readme.write_text(f"{head}{START}\n{headline_table(data)}\n{END}{tail}", encoding="utf-8")


if __name__ == "__main__":
    import argparse
    import json

    options = argparse.ArgumentParser(description="The README's table of headline speeds.")
    options.add_argument("--readme", required=True)
    options.add_argument("data")
    arguments = options.parse_args()
    with open(arguments.data, encoding="utf-8") as source:
        write_readme_table(arguments.readme, json.load(source))
