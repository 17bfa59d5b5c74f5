"""textkit: conversion, formatting, paths, files, directory listing and the
line generator."""

import builtins
import collections.abc
import datetime
import gc
import inspect
import math
import os
import subprocess
import sys
import types
import warnings

import pytest
import yaml
from hypothesis import given, strategies as st

import tarvex_func.function as function_package
from support import Interrupting
from tarvex_func.function import textkit as t

PUBLIC = [
    "str_int", "str_float", "str_time", "str_isfile", "str_file_delete", "str_isdir",
    "str_dir_delete", "str_copy", "str_move", "str_format", "str_format_s", "str_read_yaml",
    "str_read_file", "str_read_line", "str_read_lines", "str_write_file", "str_files_dict",
    "str_files_list",
]


def entries(error):
    """(name, line) of each traceback entry the package added."""
    found = []
    tb = error.__traceback__
    while tb:
        if tb.tb_frame.f_code.co_filename == "textkit.py":
            found.append((tb.tb_frame.f_code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


# --- module ---------------------------------------------------------------------


def test_module_globals_and_definitions():
    assert t.datetime is datetime and t.os is os and t.yaml is yaml
    assert t.shutil is sys.modules["shutil"] and "open" not in vars(t)
    assert sys.modules["textkit"] is t
    assert [n for n in vars(t) if n.startswith("str_")] == PUBLIC
    assert all(name in function_package.__all__ for name in PUBLIC)
    assert "gc" not in function_package.__all__
    lines = [17, 24, 31, 38, 42, 49, 53, 60, 68, 74, 78, 82, 91, 101, 114, 124, 130, 148]
    assert [getattr(t, n).__code__.co_firstlineno for n in PUBLIC] == lines
    assert t.str_time.__defaults__ == ("%Y-%m-%d %H:%M:%S.%f",)
    assert t.str_int.__defaults__ is None
    assert t.str_read_line.__defaults__ == ("r", "utf-8")
    assert t.str_write_file.__defaults__ == ("w", "utf-8")
    assert t.str_files_dict.__defaults__ == (None, None, None)
    assert t.str_files_dict.__annotations__ == {"skip_dir": "list", "skip_file": "list"}
    assert t.str_format.__code__.co_flags == 15 and t.str_format_s.__code__.co_flags == 7
    assert t.str_read_line.__code__.co_flags == 35
    assert t.str_read_line.__code__.co_varnames == ("x", "mode", "encoding", "file", "data")
    assert str(inspect.signature(t.str_format)) == "(x, *args, **kwargs)"
    assert t.str_files_dict.__doc__ == (
        "str_files_dict(x, dirs=None, list skip_dir: list = None, list skip_file: list = None)")
    assert t.str_time.__doc__ == "str_time(x, fmt=u'%Y-%m-%d %H:%M:%S.%f')"


# --- conversion and formatting -------------------------------------------------------


def test_long_number_text_converts_as_the_host_does():
    # Text too long to be converted natively goes to the host once it starts
    # like a number; what fails only late, or cannot start a number, is 0.
    def host(convert, text, default):
        try:
            return convert(text)
        except ValueError:
            return default

    texts = ["1" * 60, "-" + "9" * 40, " 1_000_000_000_000_000_000_000 ", "1" * 19 + "x",
             "x" * 30, "_" + "1" * 30, "1" * 30 + "e5", "." + "5" * 30, "1" * 25 + ".5",
             "1" * 20 + "_", "1__" + "1" * 20, "- " + "1" * 20, "1" * 30 + "e", " " * 30 + "nan",
             "12345678901234567890123.5e-3", "2024-01-02 12:00:00.5", "\u0663" * 20]
    for text in texts:
        assert t.str_int(text) == host(int, text, 0), text
        assert repr(t.str_float(text)) == repr(host(float, text, 0.0)), text


def test_str_int_and_str_float():
    big = 10**30
    assert t.str_int("12") == 12 and t.str_int(" 7 ") == 7 and t.str_int(3.9) == 3
    assert t.str_int(True) == 1 and t.str_int(big) is big
    assert [t.str_int(v) for v in ("1.5", "abc", None, [], "1" * 5000)] == [0] * 5
    assert t.str_int("\x0b-1_000 ") == -1000 and t.str_int(b"12") == 12
    assert t.str_int("\x1c1") == 0 and t.str_int("١٢") == 12 and t.str_float("1_0.5e1_0") == 1.05e11
    assert t.str_float("1e3") == 1000.0 and t.str_float(2) == 2.0
    zero = t.str_float("abc")
    assert zero == 0.0 and type(zero) is float and t.str_float("") == 0.0
    assert math.isnan(t.str_float("nan")) and t.str_float("-inf") == -math.inf
    f = 1.25
    assert t.str_float(f) is f
    for convert in (t.str_int, t.str_float):
        error = raised(convert, Interrupting())
        assert type(error) is KeyboardInterrupt
        line = convert.__code__.co_firstlineno + 2
        assert entries(error) == [("textkit." + convert.__name__, line)]


def plain_int(x):
    try:
        return int(x)
    except Exception:
        return 0


def plain_float(x):
    try:
        return float(x)
    except Exception:
        return 0.0


NUMBER_TEXT = st.text(alphabet=" \t\x0b\x1c\x1f+-_.0123456789eEinfatyINFATY٣x", max_size=12)


@given(NUMBER_TEXT)
def test_conversions_agree_with_the_host(text):
    # The grammar check that spares building an exception must never refuse
    # text that the host accepts.
    assert t.str_int(text) == plain_int(text)
    assert same_number(t.str_float(text), plain_float(text))


def same_number(got, expected):
    # Same type, same value, same sign of a zero or a NaN.
    return type(got) is type(expected) and (
        repr(got) == repr(expected) and math.copysign(1, got) == math.copysign(1, expected))


def test_plain_text_converted_directly_matches_the_host():
    # Around the 18-digit limit, signs, zeros, spaces and the float words.
    texts = ["0", "-0", "+0", "007", " -12 ", "9" * 18, "-" + "9" * 18, "9" * 19, "1" + "0" * 18,
             "-" + "9" * 19, "\t+42\n", "1e3", "-0.0", "-0", ".5", "5.", "1e400", "-1e400",
             "1e-400", "-nan", "+NaN", " Infinity ", "-iNF", "0x10", "1_2", "1e3_0",
             "0.1000000000000000055511151231257827", "2.2250738585072011e-308",
             "9007199254740993", "9007199254740992.0", "1.5e22", "1.5e23", "12e-22", "1e-23",
             "123456789012345.6", "0.000", "-0e5", "1E+2", "inf", "-nan", "e5"]
    for text in texts:
        assert same_number(t.str_int(text), plain_int(text)), text
        assert same_number(t.str_float(text), plain_float(text)), text
    assert t.str_int("12") is int("12") and t.str_int("-5") is -5
    assert type(t.str_int("12")) is int and t.str_int(str(2**70)) == 2**70

    class Text(str):
        def __int__(self):
            return 5

        def __float__(self):
            return 6.5

    # A str subclass converts by its own methods, as the host converts it.
    assert t.str_int(Text("12")) == int(Text("12")) == 5 and t.str_float(Text("1e3")) == 6.5
    assert type(t.str_int(False)) is int and type(t.str_float(True)) is float


def test_str_time():
    assert t.str_time("2024-01-02 03:04:05.000006") == datetime.datetime(
        2024, 1, 2, 3, 4, 5, 6).timestamp()
    midnight = datetime.datetime(2024, 1, 2).timestamp()
    assert t.str_time("2024-01-02", "%Y-%m-%d") == midnight
    assert t.str_time("2024-01-02", fmt="%Y-%m-%d") == midnight
    error = t.str_time("2024-01-02")
    assert type(error) is ValueError and entries(error) == [("textkit.str_time", 33)]
    assert type(t.str_time(5)) is TypeError


def test_str_format_and_format_s():
    assert t.str_format("{}-{b}", 1, b=2) == "1-2"
    assert t.str_format(x="{a}", a=1) == "1"
    assert entries(raised(t.str_format, "{a}")) == [("textkit.str_format", 75)]
    assert type(raised(t.str_format, x="{}")) is IndexError
    error = raised(t.str_format, "{}", 1, x="y")
    assert str(error) == "str_format() got multiple values for keyword argument 'x'"
    assert str(raised(t.str_format)) == (
        "str_format() takes at least 1 positional argument (0 given)")
    assert type(raised(t.str_format, 5)) is AttributeError

    assert t.str_format_s("%s-%d", "a", 3) == "a-3" and t.str_format_s("abc") == "abc"
    assert t.str_format_s("%s", (1, 2)) == "(1, 2)"
    error = raised(t.str_format_s, "%s")
    assert type(error) is TypeError and entries(error) == [("textkit.str_format_s", 79)]
    assert str(raised(t.str_format_s, "%s", y=1)) == (
        "str_format_s() got an unexpected keyword argument 'y'")


# --- paths and file-system operations ---------------------------------------------------


def test_path_queries_and_deletes(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.mkdir("d")
    open("d/f.txt", "w").close()
    assert t.str_isfile("d/f.txt") is True and t.str_isfile("d") is False
    assert t.str_isdir("d") is True and t.str_isdir("d/f.txt") is False
    assert t.str_isfile("missing") is False and t.str_isdir("missing") is False

    assert t.str_file_delete("d") is True and os.path.isdir("d")
    assert t.str_file_delete("d/f.txt") is False and not os.path.exists("d/f.txt")
    assert t.str_file_delete("d/f.txt") is True

    open("keep", "w").close()
    monkeypatch.setattr(t, "str_isfile", lambda x: x == "keep")
    assert t.str_file_delete("keep") is False and not os.path.exists("keep")
    monkeypatch.delattr(t, "str_isfile")
    error = raised(t.str_file_delete, "x")
    assert str(error) == "name 'str_isfile' is not defined"
    assert entries(error) == [("textkit.str_file_delete", 43)]
    monkeypatch.undo()
    monkeypatch.chdir(tmp_path)

    os.makedirs("tree/sub")
    open("tree/sub/f", "w").close()
    assert t.str_dir_delete("tree/sub/f") is True and t.str_dir_delete("nothing") is True
    assert t.str_dir_delete("tree") is False and not os.path.exists("tree")


def test_copy_and_move(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with open("a.txt", "w") as f:
        f.write("A")
    os.mkdir("existing_dir")
    assert t.str_copy("a.txt", "b.txt") is False and open("b.txt").read() == "A"
    assert t.str_copy("a.txt", "existing_dir") is False
    assert os.path.isfile("existing_dir/a.txt")
    assert t.str_copy("existing_dir", "new") is False and os.path.isfile("new/a.txt")
    error = raised(t.str_copy, "existing_dir", "new")
    assert type(error) is FileExistsError and entries(error) == [("textkit.str_copy", 64)]
    assert t.str_copy("missing", "nowhere") is True
    assert t.str_copy("missing", "b.txt") is False

    assert t.str_move("a.txt", "c.txt") is False
    assert not os.path.exists("a.txt") and os.path.isfile("c.txt")
    assert t.str_move("new", "moved") is False and os.path.isfile("moved/a.txt")
    assert t.str_move("missing", "nowhere") is True


# --- reading and writing -------------------------------------------------------------


@pytest.fixture
def sample(tmp_path):
    path = tmp_path / "sample.txt"
    path.write_bytes(b"a \n\nb\r\n c")
    return str(path)


def test_readers(sample, tmp_path, monkeypatch):
    assert t.str_read_file(sample) == "a \n\nb\n c"
    assert t.str_read_file(sample, "rb") == b"a \n\nb\r\n c"
    assert t.str_read_file(sample, mode="rb", encoding="utf-8") == b"a \n\nb\r\n c"
    assert t.str_read_lines(sample) == ["a \n", "\n", "b\n", " c"]
    for reader in (t.str_read_file, t.str_read_lines, t.str_read_yaml):
        assert reader(str(tmp_path / "missing")) is None and reader(str(tmp_path)) is None
    error = raised(t.str_read_file, sample, "r+b")
    assert type(error) is ValueError and entries(error) == [("textkit.str_read_file", 94)]

    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"\xff\xfe")
    error = raised(t.str_read_lines, str(bad))
    assert type(error) is UnicodeDecodeError
    assert entries(error) == [("textkit.str_read_lines", 117), ("textkit.str_read_lines", 118)]

    # The kept `open` is the one of import time.
    monkeypatch.setattr(builtins, "open", None)
    monkeypatch.setattr(t, "open", None, raising=False)
    assert t.str_read_file(sample) == "a \n\nb\n c"


def test_read_yaml(tmp_path):
    path = tmp_path / "c.yaml"
    path.write_text("")
    assert t.str_read_yaml(str(path)) is None
    path.write_text("a: 1\n")
    assert t.str_read_yaml(str(path)) == {"a": 1}
    path.write_text("a: [1\n")
    error = raised(t.str_read_yaml, str(path))
    assert isinstance(error, yaml.YAMLError)
    assert entries(error) == [("textkit.str_read_yaml", 84), ("textkit.str_read_yaml", 85)]


def test_write_file(tmp_path):
    path = str(tmp_path / "w.txt")
    assert t.str_write_file("abc", path) is None
    t.str_write_file("def", path, "a")
    assert open(path).read() == "abcdef"
    t.str_write_file(b"xyz", path, "wb")
    assert open(path, "rb").read() == b"xyz"
    t.str_write_file(bytearray(b"!"), path, "ab", None)
    assert open(path, "rb").read() == b"xyz!"

    # Content of the wrong kind leaves an existing file as it was and creates
    # no new one.
    for x, mode, message in [
        ("abc", "wb", "a bytes-like object is required, not 'str'"),
        ("abc", "ab", "a bytes-like object is required, not 'str'"),
        ("abc", "r+b", "a bytes-like object is required, not 'str'"),
        (b"abc", "w", "write() argument must be str, not bytes"),
        (5, "a+", "write() argument must be str, not int"),
    ]:
        error = raised(t.str_write_file, x, path, mode)
        assert type(error) is TypeError and str(error) == message
        assert entries(error) == [("textkit.str_write_file", 126)]
        assert open(path, "rb").read() == b"xyz!"
        raised(t.str_write_file, x, str(tmp_path / "new"), mode)
        assert not os.path.exists(tmp_path / "new")

    error = raised(t.str_write_file, "abc", str(tmp_path / "no" / "f"))
    assert type(error) is FileNotFoundError and not os.path.exists(tmp_path / "no")
    # A mode that `open` refuses is still reported by `open`.
    assert type(raised(t.str_write_file, b"abc", path, "q")) is ValueError
    error = raised(t.str_write_file, "\udc80", path)
    assert type(error) is UnicodeEncodeError
    assert entries(error) == [("textkit.str_write_file", 126), ("textkit.str_write_file", 127)]


def test_binary_content_without_a_buffer_leaves_the_file_as_it_was(tmp_path):
    class Refuses:
        def __buffer__(self, flags):
            raise ValueError("no buffer today")

    released = memoryview(b"gone")
    released.release()
    grid = memoryview(bytearray(12)).cast("B", (3, 4))
    path = tmp_path / "keep.bin"
    for x, kind in [
        (memoryview(b"abcdef")[::2], BufferError),
        (released, ValueError),
        (Refuses(), ValueError),
        (grid[::2], BufferError),
        ("text", TypeError),
    ]:
        for mode in ("wb", "ab", "r+b", "w+b", "a+b"):
            path.write_bytes(b"precious")
            error = raised(t.str_write_file, x, str(path), mode)
            assert type(error) is kind, (x, mode)
            assert entries(error) == [("textkit.str_write_file", 126)]
            assert path.read_bytes() == b"precious"
            raised(t.str_write_file, x, str(tmp_path / "new.bin"), mode)
            assert not (tmp_path / "new.bin").exists()
    # A contiguous view of any shape is written whole.
    t.str_write_file(memoryview(bytearray(b"abcdef")).cast("B", (2, 3)), str(path), "wb")
    assert path.read_bytes() == b"abcdef"


def test_a_write_that_cannot_encode_leaves_the_file_as_it_was(tmp_path):
    path = tmp_path / "keep.txt"
    for mode in ("w", "a", "w+", "a+", "r+"):
        for x, encoding, kind in [
            ("abc", "no-such-codec", LookupError),
            ("\ud800", "utf-8", UnicodeEncodeError),
            ("café", "ascii", UnicodeEncodeError),
            ("abc", 5, TypeError),
        ]:
            path.write_bytes(b"precious")
            error = raised(t.str_write_file, x, str(path), mode, encoding)
            assert type(error) is kind, (mode, x, encoding)
            assert entries(error) == [("textkit.str_write_file", 126), ("textkit.str_write_file", 127)]
            assert path.read_bytes() == b"precious"
            raised(t.str_write_file, x, str(tmp_path / "new.txt"), mode, encoding)
            assert not (tmp_path / "new.txt").exists()


@pytest.mark.parametrize("interpreter_options", [
    [], ["-X", "utf8"], ["-X", "utf8=0"], ["-X", "utf8=0", "-W", "error::EncodingWarning"],
])
def test_writers_take_the_encoding_none_as_open_does(tmp_path, interpreter_options):
    # In the C locale the host turns the UTF-8 mode on, and `open` encodes in
    # UTF-8 where the locale's encoding is ASCII. A missing encoding is
    # warned of once, by `open`, also when the content then fails.
    code = """if True:
        import sys, warnings
        from tarvex_func.function import textkit, treekit
        def plain_write(x, path):
            with open(path, "w", encoding=None) as file:
                file.write(x)
        for x in ["caf\\xe9", 5]:
            kind = type(x).__name__
            for write in (lambda: textkit.str_write_file(x, f"t{kind}.txt", "w", None),
                          lambda: treekit.dict_write_yaml({"k": x}, "y.yaml", default_style=x),
                          lambda: plain_write(x, f"o{kind}.txt")):
                with warnings.catch_warnings(record=True) as caught:
                    if not sys.warnoptions:
                        warnings.simplefilter("always")
                    try:
                        write()
                        outcome = "written"
                    except Exception as error:
                        outcome = type(error).__name__
                print(outcome, [w.category.__name__ for w in caught])
    """
    done = subprocess.run([sys.executable, "-X", "warn_default_encoding", *interpreter_options,
                           "-c", code], capture_output=True, text=True, cwd=tmp_path,
                          env={**os.environ, "LC_ALL": "C", "LANG": "C"})
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(set(lines[:3])) == 1 and len(set(lines[3:])) == 1, lines
    if "error::EncodingWarning" in interpreter_options:
        assert set(lines) == {"EncodingWarning []"}
        return
    assert lines[3] == "TypeError ['EncodingWarning']"
    if interpreter_options == ["-X", "utf8=0"]:
        assert lines[0] == "UnicodeEncodeError ['EncodingWarning']"
    else:
        assert lines[0] == "written ['EncodingWarning']"
        assert (tmp_path / "tstr.txt").read_bytes() == (tmp_path / "ostr.txt").read_bytes() \
            == "café".encode()


def test_a_successful_write_gives_what_the_open_file_gives(tmp_path):
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    for first, then, mode, encoding in [
        ("a\nb\r\n", "c\n", "a", "utf-8"),
        ("ä\n", "ö", "a", "utf-16"),  # no second byte-order mark when appending
        ("x" * 10000, "y\n", "w", "utf-16-le"),
        ("plain\n", "more", "a", None),
        ("é", "è", "a+", "latin-1"),
    ]:
        for target in (ours, theirs):
            target.unlink(missing_ok=True)
        for text in (first, then):
            t.str_write_file(text, str(ours), mode, encoding)
            with open(theirs, mode, encoding=encoding) as file:
                file.write(text)
        assert ours.read_bytes() == theirs.read_bytes(), (mode, encoding)


# --- the line generator -----------------------------------------------------------------


def open_file_of(generator):
    return generator.gi_frame.f_locals["file"]


def test_line_generator_protocol(sample, tmp_path):
    g = t.str_read_line(sample)
    assert isinstance(g, collections.abc.Generator) and iter(g) is g
    assert type(g) is sys.modules["_tarvex_shared"].generator_type
    assert g.__name__ == g.__qualname__ == "str_read_line"
    assert g.gi_code is t.str_read_line.__code__ and not g.gi_running
    assert list(g) == ["a", "", "b", " c"]
    assert g.gi_frame is None and list(g) == []
    with pytest.raises(StopIteration):
        g.send(None)

    # Lazy: nothing is looked at before the first next().
    later = tmp_path / "later.txt"
    g = t.str_read_line(str(later))
    later.write_text("x\n")
    assert list(g) == ["x"]
    assert list(t.str_read_line(str(tmp_path / "missing"))) == []
    assert list(t.str_read_line(str(tmp_path))) == []
    assert list(t.str_read_line(sample, "rb", "utf-8")) == [b"a", b"", b"b", b" c"]

    g = t.str_read_line(sample)
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        g.send(1)
    assert next(g) == "a" and g.send(42) == "" and g.gi_suspended
    assert g.gi_frame.f_locals["data"] == "\n"
    g.__name__ = "renamed"
    assert g.__name__ == "renamed"
    with pytest.raises(TypeError):
        g.__qualname__ = 1


def test_line_generator_closes_its_file(sample):
    g = t.str_read_line(sample)
    next(g)
    file = open_file_of(g)
    assert g.close() is None and file.closed and g.gi_frame is None
    with pytest.raises(StopIteration):
        next(g)

    g = t.str_read_line(sample)
    next(g)
    file = open_file_of(g)
    error = raised(g.throw, KeyError("k"))
    assert type(error) is KeyError and file.closed
    assert entries(error) == [("str_read_line", 104), ("textkit.str_read_line", 109)]
    with pytest.raises(KeyError):
        g.throw(KeyError)  # finished: the exception comes straight back

    g = t.str_read_line(sample)
    next(g)
    file = open_file_of(g)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match="v"):
            g.throw(ValueError, "v", None)
    assert caught[0].category is DeprecationWarning and file.closed

    g = t.str_read_line(sample)
    next(g)
    file = open_file_of(g)
    del g
    assert file.closed

    # Unstarted: close and throw open nothing.
    g = t.str_read_line(sample)
    assert g.close() is None and list(g) == []
    g = t.str_read_line(sample)
    with pytest.raises(OSError):
        g.throw(OSError)
    assert list(g) == []

    # A cycle through the generator's locals is collected, closing the file.
    class Path:
        def __fspath__(self):
            return sample
    path = Path()
    path.generator = t.str_read_line(path)
    next(path.generator)
    file = open_file_of(path.generator)
    del path
    gc.collect()
    assert file.closed


def test_line_generator_failures(tmp_path, monkeypatch):
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"ok\n" + b"-" * 20000 + b"\xff\n")
    g = t.str_read_line(str(bad))
    assert next(g) == "ok"
    file = open_file_of(g)
    error = raised(list, g)
    assert type(error) is UnicodeDecodeError and file.closed
    assert entries(error) == [("str_read_line", 104), ("textkit.str_read_line", 106)]

    error = raised(next, t.str_read_line(str(bad), "r", "no-such-codec"))
    assert type(error) is LookupError and entries(error) == [("str_read_line", 104)]

    path = types.SimpleNamespace(isfile=None)
    monkeypatch.setattr(t, "os", types.SimpleNamespace(path=path))

    def stop(p):
        raise StopIteration
    path.isfile = stop
    error = raised(next, t.str_read_line("x"))
    assert type(error) is RuntimeError and str(error) == "generator raised StopIteration"
    assert type(error.__cause__) is StopIteration

    def reenter(p):
        return next(g)
    path.isfile = reenter
    g = t.str_read_line("x")
    error = raised(next, g)
    assert type(error) is ValueError and str(error) == "generator already executing"
    assert entries(error) == [("str_read_line", 102)]


# --- directory listing -----------------------------------------------------------------


@pytest.fixture
def tree(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    os.makedirs("top/sub/deep")
    os.makedirs("top/skip")
    for name in ("top/a.txt", "top/sub/b.txt", "top/skip/c.txt"):
        open(name, "w").close()
    return "top"


def expected_dict(top, label):
    """The listing built from the host's own listing order."""
    result = {}

    def walk(path, lab):
        result[lab] = []
        for name in os.listdir(path):
            full = os.path.join(path, name)
            if os.path.isfile(full):
                result[lab].append(name)
            elif os.path.isdir(full):
                walk(full, os.path.join(lab, name))
    walk(top, label)
    return result


def test_files_dict(tree):
    result = t.str_files_dict(tree)
    assert result == expected_dict(tree, "top")
    assert list(result) == list(expected_dict(tree, "top"))
    assert result == {"top": ["a.txt"], "top/sub": ["b.txt"], "top/sub/deep": [],
                      "top/skip": ["c.txt"]}
    assert "top/skip" not in t.str_files_dict(tree, skip_dir=["skip"])
    assert t.str_files_dict(tree, skip_file=["b.txt"])["top/sub"] == []
    assert "top/sub" in t.str_files_dict(tree, skip_file=["sub"])
    assert t.str_files_dict(tree, skip_dir=["a.txt"])["top"] == ["a.txt"]
    assert t.str_files_dict(tree, skip_dir=[]) == result
    assert list(t.str_files_dict(tree, "root"))[0] == "root"
    assert "root/sub/deep" in t.str_files_dict(tree, "root")
    assert "a/b" in t.str_files_dict(tree, "a\\b")
    assert set(t.str_files_dict("top/")) == {"", "sub", "sub/deep", "skip"}

    error = raised(t.str_files_dict, tree, skip_dir=("skip",))
    assert str(error) == "Argument 'skip_dir' has incorrect type (expected list, got tuple)"
    assert entries(error) == []

    class MyList(list):
        pass
    assert "skip_file" in str(raised(t.str_files_dict, tree, None, None, MyList()))
    error = raised(t.str_files_dict, "missing")
    assert type(error) is FileNotFoundError and entries(error) == [("textkit.str_files_dict", 135)]
    assert entries(raised(t.str_files_dict, tree, 5)) == [("textkit.str_files_dict", 133)]


def test_files_dict_on_nt_host(tree, monkeypatch):
    fake_os = types.SimpleNamespace(name="nt", path=os.path, listdir=os.listdir)
    monkeypatch.setattr(t, "os", fake_os)
    assert "a\\b" in t.str_files_dict(tree, "a/b")
    # Joined with "/" by the host, normalised to backslashes.
    assert "top\\sub\\deep" in t.str_files_dict(tree, "top")


def test_files_dict_nested_failure_and_depth(tree, monkeypatch):
    real_listdir = os.listdir

    def listdir(p):
        if p.endswith("deep"):
            raise PermissionError(p)
        return real_listdir(p)
    monkeypatch.setattr(t, "os", types.SimpleNamespace(name="posix", path=os.path,
                                                       listdir=listdir))
    error = raised(t.str_files_dict, tree)
    assert type(error) is PermissionError
    assert entries(error) == [("textkit.str_files_dict", 144), ("textkit.str_files_dict", 144),
                              ("textkit.str_files_dict", 135)]

    # Without end: the host's recursion guard stops it, the process lives.
    endless = types.SimpleNamespace(isfile=lambda p: False, isdir=lambda p: True,
                                    join=lambda a, b: "d", basename=os.path.basename)
    monkeypatch.setattr(t, "os", types.SimpleNamespace(name="posix", path=endless,
                                                       listdir=lambda p: ["d"]))
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10**6)
    try:
        assert type(raised(t.str_files_dict, "top")) is RecursionError
    finally:
        sys.setrecursionlimit(limit)


def test_files_list(tree, tmp_path):
    assert sorted(t.str_files_list(tree)) == ["top/a.txt", "top/skip/c.txt", "top/sub/b.txt"]
    assert t.str_files_list(tree)[-1] == "top/a.txt"
    assert t.str_files_list("top/sub/deep") == [] and t.str_files_list("missing") == []
    assert t.str_files_list("top/a.txt") == []
    os.makedirs("only/empty/dirs")
    assert t.str_files_list("only") == []


def test_the_line_generator_frame_shows_its_line(sample):
    g = t.str_read_line(sample)
    assert g.gi_frame.f_lineno == g.gi_code.co_firstlineno == 101
    next(g)
    frame = g.gi_frame
    assert frame.f_lineno == 109 and frame is g.gi_frame  # suspended at the yield
    assert frame.f_locals["x"] == sample and frame.f_code.co_varnames == g.gi_code.co_varnames
    list(g)
    assert g.gi_frame is None
