"""The built wheel, installed into a fresh virtual environment, runs the tour.

`make wheel-test` builds and repairs the wheel and names it in TARVEX_WHEEL;
without it this test is skipped.
"""

import os
import pathlib
import subprocess
import sys
import venv

import pytest

import tarvex_func

WHEEL = os.environ.get("TARVEX_WHEEL")


@pytest.mark.slow
@pytest.mark.skipif(not WHEEL, reason="no wheel built (make wheel-test)")
def test_the_repaired_wheel_installs_and_runs_the_tour(tmp_path):
    wheel = pathlib.Path(WHEEL)
    assert "manylinux" in wheel.name and wheel.name.startswith(f"tarvex_func-{tarvex_func.__version__}-cp313-")
    venv.create(tmp_path / "env", with_pip=True)
    python = tmp_path / "env" / ("Scripts" if sys.platform == "win32" else "bin") / "python"
    subprocess.run([python, "-m", "pip", "install", "--quiet", wheel], check=True)

    def run(*args):
        # From an empty directory, so the package comes from the environment, not the checkout.
        return subprocess.run([python, *args], cwd=tmp_path, capture_output=True, text=True, check=True).stdout

    assert run("-c", "import tarvex_func.hubkit, sys; print(tarvex_func.hubkit.__file__)").startswith(
        str(tmp_path / "env")
    )
    license = "import importlib.metadata as m; print(m.metadata('tarvex_func')['License-Expression'])"
    assert run("-c", license) == "MIT\n"
    assert run("-m", "tarvex_func", "--version") == f"tarvex_func {tarvex_func.__version__}\n"
    tour = run("-m", "tarvex_func")
    assert "'app'.copy('backup')" in tour and "(something is at the target now)" in tour
    assert max(map(len, tour.splitlines())) <= 100
