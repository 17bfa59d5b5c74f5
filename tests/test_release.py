"""What the package says of itself: version, metadata and the command line."""

import importlib.metadata
import pathlib
import subprocess
import sys

import tarvex_func


def test_version_metadata_and_command_line_agree():
    meta = importlib.metadata.metadata("tarvex_func")
    assert meta["Version"] == tarvex_func.__version__
    assert meta["License-Expression"] == "MIT"
    assert "Typing :: Typed" in meta.get_all("Classifier")
    for version in ("3.13", "3.14", "3.15"):
        assert f"Programming Language :: Python :: {version}" in meta.get_all("Classifier")
    changelog = pathlib.Path(__file__).parent.parent / "CHANGELOG.md"
    latest = next(line for line in changelog.read_text().splitlines() if line.startswith("## "))
    assert latest.startswith(f"## {tarvex_func.__version__} ")

    def run(*args):
        return subprocess.run([sys.executable, "-m", "tarvex_func", *args], capture_output=True, text=True)

    version = run("--version")
    assert (version.returncode, version.stdout) == (0, f"tarvex_func {tarvex_func.__version__}\n")
    usage = run("--help")
    assert usage.returncode == 0 and "--version" in usage.stdout and "tour" in usage.stdout
    assert run("--no-such-option").returncode == 2


def test_the_tour_explains_its_surprises_within_100_columns():
    # Run in a fresh interpreter: the tour installs the methods process-wide.
    tour = subprocess.run([sys.executable, "-m", "tarvex_func"], capture_output=True, text=True, check=True).stdout
    lines = tour.splitlines()
    assert max(map(len, lines)) <= 100
    assert sum("process" in line for line in lines) == 1
    for call in ("'app'.copy('backup')", "'backup'.delete()", "'not a date'.timestamp()"):
        (line,) = [line for line in lines if call in line]
        assert line.rstrip().endswith(")") and "   (" in line
    assert "treekit.dict_find_path(data, '$.a.b[2].c')" in tour
