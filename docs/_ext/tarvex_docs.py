"""Pages drawn from the package's own files, so that they cannot drift from it.

- ``.. stub-module:: NAME`` renders the reference of one module from its type
  stub, read with ``ast``: the stub's docstrings are the entries' text, its
  signatures (every overload) the entries' signatures. Each entry also names
  the methods that install the function, read from ``tarvex_func._install``.
- ``.. install-groups::`` renders the groups of methods from the same table.
- ``.. bench-table::`` and the charts under ``_generated/`` come from the
  benchmark data in ``perf/`` (written by ``make bench-data``).

A stub function without a docstring, a parameter without its ``:param:``
entry or a helper that no group installs is reported as a warning, which
``make docs`` turns into an error.
"""

import ast
import inspect
import json
from dataclasses import dataclass, field
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

ROOT = Path(__file__).resolve().parents[2]
SRC = ROOT / "src"
PERF = ROOT / "docs" / "perf"
GENERATED = ROOT / "docs" / "_generated"

logger = logging.getLogger(__name__)


def stub_path(module):
    return SRC.joinpath(*module.split(".")).with_suffix(".pyi")


def install_table():
    """{group: (type name, {method: helper})}, as the package installs them."""
    from tarvex_func import _install
    return {group: (cls.__name__, dict(methods))
            for group, (cls, methods) in _install._groups().items()}


def methods_of(helper):
    """[(type name, method, groups)] of every method that is the helper; a
    method two groups install (``str.copy``) is listed once."""
    found = {}
    for group, (type_name, methods) in install_table().items():
        for method, name in methods.items():
            if name == helper:
                found.setdefault((type_name, method), []).append(group)
    return [(t, m, groups) for (t, m), groups in found.items()]


# --- stubs ------------------------------------------------------------------------


@dataclass
class Function:
    name: str
    signatures: list = field(default_factory=list)
    parameters: list = field(default_factory=list)
    doc: str | None = None


def is_overload(node):
    return any(ast.unparse(d) in ("overload", "typing.overload") for d in node.decorator_list)


def signature(node):
    returns = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    return f"{node.name}({ast.unparse(node.args)}){returns}"


def parameter_names(node):
    args = node.args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    names += [a.arg for a in (args.vararg, args.kwarg) if a]
    return [n for n in names if n not in ("self", "cls")]


def read_functions(body):
    """The public functions of a module or class body, overloads merged."""
    functions = {}
    for node in body:
        if not isinstance(node, ast.FunctionDef):
            continue
        if node.name.startswith("_") and node.name != "__init__":
            continue
        entry = functions.setdefault(node.name, Function(node.name))
        entry.signatures.append(signature(node))
        if not entry.parameters:
            entry.parameters = parameter_names(node)
        if entry.doc is None:
            entry.doc = ast.get_docstring(node)
        if not is_overload(node) and len(entry.signatures) > 1:
            entry.signatures.pop()  # an implementation after its overloads
    return list(functions.values())


def read_stub(module):
    tree = ast.parse(stub_path(module).read_text(encoding="utf-8"))
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    return ast.get_docstring(tree), read_functions(tree.body), classes


def check_entry(module, function, where):
    """Warnings for what an entry lacks: its docstring, a parameter's
    description, a result, an example, a method that installs it."""
    problems = []
    if module.startswith("tarvex_func.function.") and not methods_of(function.name):
        problems.append("is installed by no group")
    doc = function.doc or ""
    if not doc:
        problems.append("has no docstring")
    else:
        for name in function.parameters:
            if f":param {name}:" not in doc:
                problems.append(f"does not describe the parameter {name!r}")
        for needed in (":returns:", "Example::"):
            if needed not in doc:
                problems.append(f"has no {needed!r} section")
    for problem in problems:
        logger.warning(f"{module}.{function.name} in its stub {problem}", location=where)


def indented(text, prefix="   "):
    return [prefix + line if line else "" for line in text.splitlines()]


def group_words(groups):
    names = " and ".join(f'``"{g}"``' for g in groups)
    return f"group {names}" if len(groups) == 1 else f"groups {names}"


def with_methods(doc, helper):
    """The docstring with a line naming the installed methods after its summary."""
    methods = methods_of(helper)
    if not methods:
        return doc
    text = ", ".join(f"``{t}.{m}()`` ({group_words(g)})" for t, m, g in methods)
    summary, _, rest = doc.partition("\n\n")
    return f"{summary}\n\n**Installed as** {text}.\n\n{rest}"


class StubModule(SphinxDirective):
    """The reference of one module, from its stub."""

    required_arguments = 1

    def run(self):
        module = self.arguments[0]
        path = stub_path(module)
        self.env.note_dependency(str(path))
        self.env.note_dependency(str(SRC / "tarvex_func" / "_install.py"))
        intro, functions, classes = read_stub(module)
        lines = [f".. py:module:: {module}", ""]
        if intro:
            lines += [intro, ""]
        if functions:
            lines += self.summary_table(functions)
        for function in functions:
            check_entry(module, function, self.get_location())
            lines += self.entry("py:function", function, helper=function.name)
        for cls in classes:
            lines += self.class_entry(module, cls)
        return self.parse(lines, path)

    def summary_table(self, functions):
        lines = [".. list-table::", "   :header-rows: 1", "   :widths: 30 25 45", "",
                 "   * - function", "     - method", "     - what it does"]
        for function in functions:
            methods = ", ".join(f"``{t}.{m}``" for t, m, _ in methods_of(function.name)) or "-"
            summary = (function.doc or "").split("\n\n")[0].replace("\n", " ")
            lines += [f"   * - :py:func:`{function.name}`", f"     - {methods}",
                      f"     - {summary}"]
        return lines + [""]

    def entry(self, kind, function, helper=None, indent=""):
        """A py-domain directive for the function, `indent` deep (a method
        sits inside its class's directive)."""
        lines = [f".. {kind}:: {function.signatures[0]}"]
        lines += [" " * len(f".. {kind}:: ") + more for more in function.signatures[1:]]
        lines.append("")
        doc = inspect.cleandoc(function.doc or "")
        if helper:
            doc = with_methods(doc, helper)
        lines += indented(doc) + [""]
        return [indent + line if line else "" for line in lines]

    def class_entry(self, module, cls):
        doc = ast.get_docstring(cls) or ""
        if not doc:
            logger.warning(f"{module}.{cls.name} in its stub has no docstring",
                           location=self.get_location())
        lines = [f".. py:class:: {cls.name}()", ""] + indented(inspect.cleandoc(doc)) + [""]
        for method in read_functions(cls.body):
            if method.name == "__init__":
                continue
            lines += self.entry("py:method", method, indent="   ")
        return lines

    def parse(self, lines, path):
        content = StringList(lines, source=str(path))
        container = nodes.container()
        self.state.nested_parse(content, self.content_offset, container, match_titles=True)
        return container.children


class InstallGroups(SphinxDirective):
    """One table per install group: the methods, the type and the helper."""

    def run(self):
        self.env.note_dependency(str(SRC / "tarvex_func" / "_install.py"))
        lines = []
        for group, (type_name, methods) in install_table().items():
            lines += [f".. rubric:: ``\"{group}\"``: methods of ``{type_name}``", "",
                      ".. list-table::", "   :header-rows: 1", "   :widths: 35 65", "",
                      "   * - method", "     - helper"]
            for method, helper in methods.items():
                lines += [f"   * - ``{type_name}.{method}``", f"     - {ref(helper)}"]
            lines.append("")
        content = StringList(lines, source=str(SRC / "tarvex_func" / "_install.py"))
        container = nodes.container()
        self.state.nested_parse(content, self.content_offset, container)
        return container.children


# --- benchmark data --------------------------------------------------------------


def bench_data():
    path = PERF / "bench_frame.json"
    return json.loads(path.read_text(encoding="utf-8")) if path.exists() else None


MODULE_OF = {"str_": "textkit", "dict_": "treekit", "number_": "quantkit", "list_": "setkit"}


def module_of(helper):
    return next(module for prefix, module in MODULE_OF.items() if helper.startswith(prefix))


def ref(helper):
    """A cross-reference to a helper's entry, shown by its bare name."""
    return f":py:func:`~tarvex_func.function.{module_of(helper)}.{helper}`"


class BenchTable(SphinxDirective):
    """The measured rows of one module (or the machine line with ``machine``)."""

    required_arguments = 1

    def run(self):
        data = bench_data()
        self.env.note_dependency(str(PERF / "bench_frame.json"))
        if data is None:
            logger.warning("no benchmark data: run `make bench-data`",
                           location=self.get_location())
            return []
        what = self.arguments[0]
        if what == "machine":
            lines = machine_lines(data)
        else:
            lines = [".. list-table::", "   :header-rows: 1",
                     "   :widths: 22 26 12 10 10 10 10", "",
                     "   * - helper", "     - input", "     - form", "     - ns", "     - twin ns",
                     "     - floor ns", "     - / twin"]
            for row in data["rows"]:
                if module_of(row["helper"]) != what:
                    continue
                floor = f"{row['floor_ns']:.0f}" if row["floor_ns"] else "-"
                lines += [f"   * - {ref(row['helper'])}", f"     - {row['input']}",
                          f"     - {row['form']}", f"     - {row['ns']:.0f}",
                          f"     - {row['twin_ns']:.0f}", f"     - {floor}",
                          f"     - {row['ns'] / row['twin_ns']:.2f}"]
        content = StringList(lines + [""], source=str(PERF / "bench_frame.json"))
        container = nodes.container()
        self.state.nested_parse(content, self.content_offset, container)
        return container.children


def machine_lines(data):
    m = data["machine"]
    return [f"Measured on {data['date']} on {m['cpu']} ({m['cores']} cores), {m['system']}, "
            f"CPython {m['python']}, PyYAML {m['pyyaml']}, jsonpath-ng {m['jsonpath_ng']}; "
            f"load average {m['load_before']} before the run and {m['load_after']} after it. "
            f"Command: ``{data['command']}``.", ""]


def draw_charts(app):
    """One SVG per module: each helper's time beside its plain-Python twin
    (1.0) and the bare library or host operation, from the benchmark data."""
    from perf_charts import write_charts

    data = bench_data()
    if data is not None:
        write_charts(data, GENERATED)


def setup(app):
    app.add_directive("stub-module", StubModule)
    app.add_directive("install-groups", InstallGroups)
    app.add_directive("bench-table", BenchTable)
    app.connect("builder-inited", draw_charts)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
