"""Globals and attribute chains that the functions read (`os.path.isfile`,
`datetime.datetime.strptime`, a function's own module global) are cached,
yet every rebinding of a link between two calls is seen by the next call."""

import builtins
import datetime
import os
import types

import pytest

from tarvex_func.function import quantkit, textkit as t, treekit


def module(name, **attributes):
    made = types.ModuleType(name)
    made.__dict__.update(attributes)
    return made


def fake_os(isfile):
    return module("os", path=module("os.path", isfile=isfile, isdir=lambda p: "dir"))


def test_each_link_of_a_chain_rebound_between_calls(monkeypatch, tmp_path):
    real = str(tmp_path)
    assert t.str_isfile(real) is False and t.str_isdir(real) is True
    # The last link, then the middle one, then the module global itself.
    monkeypatch.setattr(os.path, "isfile", lambda p: "isfile")
    assert t.str_isfile(real) == "isfile"
    monkeypatch.setattr(os, "path", module("os.path", isfile=lambda p: "path"))
    assert t.str_isfile(real) == "path"
    monkeypatch.setattr(t, "os", fake_os(lambda p: "os"))
    assert t.str_isfile(real) == "os" and t.str_isdir(real) == "dir"
    monkeypatch.undo()
    assert t.str_isfile(real) is False and t.str_isdir(real) is True
    # A deleted link fails as the lookup does, and a restored one serves again.
    path = os.path
    del os.path
    try:
        with pytest.raises(AttributeError):
            t.str_isfile(real)
    finally:
        os.path = path
    assert t.str_isfile(real) is False


def test_a_global_from_builtins_shadowed_then_restored(monkeypatch, tmp_path):
    real = str(tmp_path)
    monkeypatch.delattr(t, "os")
    with pytest.raises(NameError, match="name 'os' is not defined"):
        t.str_isfile(real)
    monkeypatch.setattr(builtins, "os", fake_os(lambda p: "builtin"), raising=False)
    assert t.str_isfile(real) == "builtin"
    t.os = fake_os(lambda p: "shadow")
    assert t.str_isfile(real) == "shadow"
    del t.os
    assert t.str_isfile(real) == "builtin"
    builtins.os.path.isfile = lambda p: "changed"
    assert t.str_isfile(real) == "changed"
    monkeypatch.undo()
    assert t.str_isfile(real) is False


def test_links_that_are_not_plain_modules_are_read_afresh(monkeypatch, tmp_path):
    real = str(tmp_path)
    # A namespace object: its attributes change without any module dict changing.
    namespace = types.SimpleNamespace(path=types.SimpleNamespace(isfile=lambda p: 1))
    monkeypatch.setattr(t, "os", namespace)
    assert t.str_isfile(real) == 1
    namespace.path.isfile = lambda p: 2
    assert t.str_isfile(real) == 2
    namespace.path = types.SimpleNamespace(isfile=lambda p: 3)
    assert t.str_isfile(real) == 3

    # A module whose class is changed: a descriptor of the new class wins over
    # the module's dict, although no dict changed.
    class Overriding(types.ModuleType):
        @property
        def isfile(self):
            return lambda p: "class"

    plain = fake_os(lambda p: "dict")
    monkeypatch.setattr(t, "os", plain)
    assert t.str_isfile(real) == "dict"
    plain.path.__class__ = Overriding
    assert t.str_isfile(real) == "class"
    plain.path.__class__ = types.ModuleType
    assert t.str_isfile(real) == "dict"


def test_chains_through_a_class_and_in_the_other_modules(monkeypatch, tmp_path):
    # `datetime.datetime` is cached, `.strptime` read from the class each time.
    class Stamped(datetime.datetime):
        pass

    monkeypatch.setattr(t, "datetime", module("datetime", datetime=Stamped))
    assert t.str_time("2020-01-02", "%Y-%m-%d") == datetime.datetime(2020, 1, 2).timestamp()
    Stamped.strptime = classmethod(lambda cls, x, fmt: types.SimpleNamespace(timestamp=lambda: 7))
    assert t.str_time("2020-01-02", "%Y-%m-%d") == 7
    monkeypatch.setattr(quantkit, "datetime", module("datetime", datetime=Stamped))
    Stamped.fromtimestamp = classmethod(lambda cls, x: types.SimpleNamespace(strftime=lambda f: "q"))
    assert quantkit.number_time(0) == "q"
    target = tmp_path / "tree.yaml"
    treekit.dict_write_yaml({"a": 1}, str(target))
    assert target.read_text() == "a: 1\n"
    monkeypatch.setattr(treekit.yaml, "dump", lambda data, stream, **options: stream.write("b"))
    treekit.dict_write_yaml({"a": 1}, str(target))
    assert target.read_text() == "b"


def test_a_function_global_rebound(monkeypatch, tmp_path):
    target = tmp_path / "f"
    target.write_text("x")
    monkeypatch.setattr(t, "str_isfile", lambda p: False)
    assert t.str_file_delete(str(target)) is True and target.exists()
    monkeypatch.undo()
    assert t.str_file_delete(str(target)) is False and not target.exists()
