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


def test_stubs_match_the_runtime_signatures(tmp_path):
    pytest.importorskip("mypy.stubtest")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *MODULES],
        capture_output=True, text=True, cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr
