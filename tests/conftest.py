"""Fixtures shared by the test modules."""

import pytest

from tarvex_func.function import quantkit, setkit, textkit, treekit

MODULES = (textkit, treekit, quantkit, setkit)
DELETE = object()  # as a value to `rebind`: remove the global instead


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
