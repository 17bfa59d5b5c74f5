"""Fixtures shared by the test modules."""

import os

import pytest
from hypothesis import settings

from tarvex_func.function import quantkit, setkit, textkit, treekit

MODULES = (textkit, treekit, quantkit, setkit)
DELETE = object()  # as a value to `rebind`: remove the global instead

# CI draws the same examples on every run, so that whether a change lands is
# decided by the change; everywhere else each run draws anew.
settings.register_profile("ci", derandomize=True)
if os.environ.get("TARVEX_CI"):
    settings.load_profile("ci")


@pytest.fixture
def rebind():
    """`rebind(module, name, value)` rebinds or deletes (value DELETE) a module
    global for the rest of the test. Afterwards every module's globals are
    put back exactly, in their order too, which some tests check."""
    saved = {module: dict(vars(module)) for module in MODULES}

    def rebind(module, name, value):
        if module not in saved:
            saved[module] = dict(vars(module))
        if value is DELETE:
            delattr(module, name)
        else:
            setattr(module, name, value)

    yield rebind
    for module, names in saved.items():
        namespace = vars(module)
        namespace.clear()
        namespace.update(names)


# --- the quick loop ------------------------------------------------------------------
# `make test` leaves out the tests marked slow. So that it stays quick as tests
# are added, a run that leaves them out names the unmarked tests that took long.

QUICK_LIMIT = 2.0  # seconds
_long = []


def pytest_runtest_logreport(report):
    if report.when == "call" and report.duration > QUICK_LIMIT and "slow" not in report.keywords:
        _long.append((report.duration, report.nodeid))


def pytest_terminal_summary(terminalreporter, config):
    if _long and "not slow" in (config.getoption("markexpr") or ""):
        terminalreporter.write_sep("-", f"quick loop: {len(_long)} tests over {QUICK_LIMIT:g} s "
                                        "(mark them slow, see CONTRIBUTING.md)")
        for duration, nodeid in sorted(_long, reverse=True):
            terminalreporter.write_line(f"{duration:6.2f}s {nodeid}")
