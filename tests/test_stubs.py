"""The type stubs agree with the modules as they run."""

import subprocess
import sys

import pytest

MODULES = [
    "tarvex_func.function.setkit",
    "tarvex_func.function.quantkit",
    "tarvex_func.function.textkit",
    "tarvex_func.function.treekit",
    "tarvex_func.hubkit",
]


@pytest.mark.slow
def test_stubs_match_the_runtime_signatures(tmp_path):
    pytest.importorskip("mypy.stubtest")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *MODULES],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_public_function_has_its_stub_docstring():
    # The reference pages are made from these docstrings: each describes every
    # parameter the running function has, its result and an example.
    import ast
    import importlib
    import inspect
    import pathlib

    from tarvex_func import function

    documented = set()
    for name in MODULES[:4]:
        module = importlib.import_module(name)
        stub = pathlib.Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi")
        docs = {}
        for node in ast.parse(stub.read_text(encoding="utf-8")).body:
            if isinstance(node, ast.FunctionDef) and ast.get_docstring(node):
                docs.setdefault(node.name, ast.get_docstring(node))
        for helper in [n for n in function.__all__ if hasattr(module, n)]:
            doc = docs.get(helper)
            assert doc, f"{name}.{helper} has no docstring in its stub"
            for parameter in inspect.signature(getattr(module, helper)).parameters:
                assert f":param {parameter}:" in doc, f"{helper}: {parameter}"
            assert ":returns:" in doc and "Example::" in doc, helper
            # The native function's own __doc__ stays its signature text.
            assert getattr(module, helper).__doc__.startswith(helper + "(")
            documented.add(helper)
    assert documented == set(function.__all__)
