"""Strings as numbers, timestamps, templates and paths: conversion and formatting, path
tests, delete, copy and move, reading and writing text and YAML files, listing directory
trees. Installed on ``str``.
"""

import datetime as datetime
import os as os
import shutil as shutil
from collections.abc import Generator
from typing import Any, Literal, overload

import yaml as yaml

__test__: dict[str, object]

def str_int(x: object) -> int:
    """The integer *x* converts to, as ``int(x)`` gives it; 0 when it does not.

    Text is read as a base-10 integer literal, with white space around it and
    underscores between digits allowed; a float is truncated toward zero, a
    bool gives 0 or 1, exactly an ``int`` comes back as it is.

    :param x: text, or any object ``int()`` takes.
    :returns: the int.
    :failures: ``0`` for anything ``int()`` refuses (``"1.5"``, ``"abc"``, None,
        a list): no exception.
    :raises BaseException: exceptions outside ``Exception`` (KeyboardInterrupt,
        SystemExit) are raised.

    Example::

        >>> str_int(" 42 "), str_int("4.2")
        (42, 0)
    """

def str_float(x: object) -> float:
    """The float *x* converts to, as ``float(x)`` gives it; 0.0 when it does not.

    Text (``str``, ``bytes``, ``bytearray``) is read as a float literal:
    white space around it, underscores between digits, exponents, ``inf``,
    ``infinity`` and ``nan`` in any case with a sign. Exactly a ``float``
    comes back as it is.

    :param x: text, or any object ``float()`` takes.
    :returns: the float.
    :failures: ``0.0`` (a float, not the int 0) for anything ``float()``
        refuses (``"abc"``, ``""``, None): no exception.
    :raises BaseException: exceptions outside ``Exception`` are raised.

    Example::

        >>> str_float("1e3"), str_float("abc")
        (1000.0, 0.0)
    """

def str_time(x: str, fmt: str = "%Y-%m-%d %H:%M:%S.%f") -> float | Exception:
    """The timestamp of the date-and-time text *x*, read with the format *fmt*.

    Computes ``datetime.datetime.strptime(x, fmt).timestamp()``: text without a
    ``%z`` offset is taken as local time. A failure is returned, not raised:
    test the result with ``isinstance(result, Exception)``.

    :param x: the text.
    :param fmt: a ``strptime`` format.
    :returns: seconds since the epoch, a float (with the fraction of ``%f``).
    :failures: the exception *instance* is the result, with its traceback:
        ValueError for text that does not match *fmt*, TypeError for an *x* or
        *fmt* that is no str, OverflowError for a date out of range.
    :raises BaseException: exceptions outside ``Exception`` are raised.

    Example::

        >>> str_time("2024-01-02", "%Y-%m-%d")   # local midnight; this in UTC
        1704153600.0
        >>> str_time("2024-01-02")
        ValueError("time data '2024-01-02' does not match format '%Y-%m-%d %H:%M:%S.%f'")
    """

def str_isfile(x: Any) -> bool:
    """Whether *x* names an existing regular file (``os.path.isfile``).

    Symbolic links are followed.

    :param x: a path: ``str``, ``bytes`` or path-like (anything else raises
        TypeError).
    :returns: True or False; False for a directory or nothing at all.

    Example::

        >>> str_isfile("notes.txt")
        True
    """

def str_file_delete(x: Any) -> bool:
    """Deletes the regular file *x*, answering whether there was **nothing** to delete.

    The answer is inverted: ``False`` means a file was there and is removed,
    ``True`` that *x* named no regular file (a directory is left alone).

    :param x: a path (anything but ``str``, ``bytes`` or path-like raises
        TypeError).
    :returns: False when a file was removed, True when nothing was done.
    :raises OSError: removing failed (no permission, a file in use).

    Example::

        >>> str_file_delete("notes.txt"), str_file_delete("notes.txt")
        (False, True)
    """

def str_isdir(x: Any) -> bool:
    """Whether *x* names an existing directory (``os.path.isdir``).

    :param x: a path (anything but ``str``, ``bytes`` or path-like raises
        TypeError).
    :returns: True or False; False for a file or nothing at all.

    Example::

        >>> str_isdir("src")
        True
    """

def str_dir_delete(x: Any) -> bool:
    """Deletes the directory tree *x*, answering whether there was **nothing** to delete.

    The answer is inverted: ``False`` means a directory was there and is
    removed (``shutil.rmtree``), ``True`` that *x* named no directory (a file
    is left alone).

    :param x: a path (anything but ``str``, ``bytes`` or path-like raises
        TypeError).
    :returns: False when a tree was removed, True when nothing was done.
    :raises OSError: removing failed; what was removed before stays removed.

    Example::

        >>> str_dir_delete("build")
        False
    """

def str_copy(x: Any, y: Any) -> bool:
    """Copies the file or tree *x* to *y*, answering whether **nothing** is at *y* now.

    A file goes with ``shutil.copy`` (data and permission bits; into *y* when
    that is a directory), a directory with ``shutil.copytree``. When *x* names
    nothing, nothing is copied. The answer depends on *y* alone: ``False``
    whenever something is there afterwards, so a successful copy gives
    ``False``, and so does a missing *x* with an existing *y*.

    :param x: the source path (anything but ``str``, ``bytes`` or path-like
        raises TypeError).
    :param y: the target path.
    :returns: True when nothing exists at *y* afterwards, else False.
    :raises OSError: the copy failed: no permission, *y* already exists for a
        tree (FileExistsError), source and target the same file.

    Example::

        >>> str_copy("a.txt", "b.txt")
        False
    """

def str_move(x: Any, y: Any) -> bool:
    """Moves the file or directory *x* to *y*, answering whether **nothing** is at *y* now.

    Uses ``shutil.move`` (a rename where it can, else copy and delete; into
    *y* when that is a directory). When *x* names nothing, nothing is moved.
    The answer is that of :func:`str_copy`: ``False`` after a successful move.

    :param x: the source path (anything but ``str``, ``bytes`` or path-like
        raises TypeError).
    :param y: the target path.
    :returns: True when nothing exists at *y* afterwards, else False.
    :raises OSError: the move failed.

    Example::

        >>> str_move("a.txt", "c.txt")
        False
    """

def str_format(x: str, *args: Any, **kwargs: Any) -> str:
    """``x.format(*args, **kwargs)``: a ``{}`` template filled in.

    :param x: the template.
    :param args: the positional values.
    :param kwargs: the named values; ``x`` itself may be given by keyword too.
    :returns: the formatted str.
    :raises KeyError: a named field without a value; IndexError for a missing
        positional one, ValueError for a bad format spec, AttributeError when
        *x* has no ``format``.

    Example::

        >>> str_format("{}-{b}", 1, b=2)
        '1-2'
    """

def str_format_s(x: str, *args: Any) -> str:
    """``x % args``: a printf-style template filled in.

    The values are always passed as one tuple, so a single tuple or dict is
    one value (``str_format_s("%s", (1, 2))`` gives ``'(1, 2)'``) and
    ``%(name)s`` fields cannot be used.

    :param x: the template.
    :param args: the values, in order; no keywords but ``x``.
    :returns: the formatted str.
    :raises TypeError: too few or too many values, or a value of the wrong
        kind; ValueError for an unsupported format character.

    Example::

        >>> str_format_s("%s-%d", "a", 3)
        'a-3'
    """

def str_read_yaml(x: Any) -> Any:
    """The YAML document in the file *x*, or None when there is no such file.

    The file is read as UTF-8 and parsed with ``yaml.load(file,
    Loader=yaml.FullLoader)``; only a single document is accepted.

    :param x: the path of the file (anything but ``str``, ``bytes`` or
        path-like raises TypeError).
    :returns: the document's root (dict, list or scalar); None for an empty
        document, and None when *x* names no regular file.
    :raises yaml.YAMLError: malformed YAML, or more than one document.
    :raises UnicodeDecodeError: the file is not UTF-8; OSError when it cannot
        be read.

    Example::

        >>> str_read_yaml("cfg.yaml")
        {'a': 1}
    """

@overload
def str_read_file(
    x: Any, mode: Literal["r", "rt"] = "r", encoding: str | None = "utf-8"
) -> str | None:
    """The whole content of the file *x*, or None when there is no such file.

    *mode* and *encoding* go to ``open``; with the mode ``"rb"`` the encoding
    is dropped and the content is bytes.

    :param x: the path of the file (anything but ``str``, ``bytes`` or
        path-like raises TypeError).
    :param mode: ``"r"`` for text, ``"rb"`` for bytes.
    :param encoding: the text encoding.
    :returns: the content, ``str`` or ``bytes``; None when *x* names no
        regular file (nothing, a directory).
    :raises UnicodeDecodeError: the bytes are not valid in *encoding*.
    :raises LookupError: an unknown encoding; ValueError for a binary mode
        other than ``"rb"`` (the encoding is passed with it), OSError when the
        file cannot be opened or read.

    Example::

        >>> str_read_file("notes.txt")
        'first\\nsecond  \\n'
        >>> str_read_file("notes.txt", "rb")
        b'first\\nsecond  \\n'
    """

@overload
def str_read_file(x: Any, mode: Literal["rb"], encoding: str | None = "utf-8") -> bytes | None: ...
@overload
def str_read_file(x: Any, mode: str, encoding: str | None = "utf-8") -> str | bytes | None: ...
@overload
def str_read_line(
    x: Any, mode: Literal["r", "rt"] = "r", encoding: str | None = "utf-8"
) -> Generator[str, None, None]:
    """The lines of the file *x*, read lazily, without trailing white space.

    Each line comes without its ending and without the white space at its
    end (spaces, tabs, ``\\r``); leading white space and empty lines stay.
    Nothing is opened until the first ``next()``; the file is closed when the
    generator ends, is closed, or is collected. When *x* names no regular
    file the generator yields nothing.

    :param x: the path of the file (anything but ``str``, ``bytes`` or
        path-like raises TypeError).
    :param mode: ``"r"`` for str lines, ``"rb"`` for bytes lines (the
        encoding is then dropped).
    :param encoding: the text encoding.
    :returns: a generator.
    :raises UnicodeDecodeError: on the ``next()`` that meets bytes not valid in
        *encoding*; LookupError, ValueError or OSError from ``open`` on the
        first ``next()``.

    Example::

        >>> list(str_read_line("notes.txt"))
        ['first', 'second']
    """

@overload
def str_read_line(
    x: Any, mode: Literal["rb"], encoding: str | None = "utf-8"
) -> Generator[bytes, None, None]: ...
@overload
def str_read_line(
    x: Any, mode: str, encoding: str | None = "utf-8"
) -> Generator[str | bytes, None, None]: ...
@overload
def str_read_lines(
    x: Any, mode: Literal["r", "rt"] = "r", encoding: str | None = "utf-8"
) -> list[str] | None:
    """The lines of the file *x* with their endings, or None when there is no such file.

    ``file.readlines()``: in text mode the endings are ``"\\n"`` after newline
    translation; the last line has none if the file does not end with one.

    :param x: the path of the file (anything but ``str``, ``bytes`` or
        path-like raises TypeError).
    :param mode: ``"r"`` for str lines, ``"rb"`` for bytes lines (the
        encoding is then dropped).
    :param encoding: the text encoding.
    :returns: a new list (empty for an empty file); None when *x* names no
        regular file.
    :raises UnicodeDecodeError: the bytes are not valid in *encoding*;
        LookupError, ValueError or OSError as for :func:`str_read_file`.

    Example::

        >>> str_read_lines("notes.txt")
        ['first\\n', 'second  \\n']
    """

@overload
def str_read_lines(
    x: Any, mode: Literal["rb"], encoding: str | None = "utf-8"
) -> list[bytes] | None: ...
@overload
def str_read_lines(
    x: Any, mode: str, encoding: str | None = "utf-8"
) -> list[str] | list[bytes] | None: ...
def str_write_file(
    x: str | bytes, path: Any, mode: str = "w", encoding: str | None = "utf-8"
) -> None:
    """Writes *x* into the file at *path*, replacing it (appending with mode ``"a"``).

    With the mode ``"wb"`` the encoding is dropped and *x* must be bytes. In
    a text mode the text is encoded first, so content of the wrong kind, an
    unknown encoding or a character the encoding cannot take is refused
    before the file is opened, and an existing file stays as it was. No
    directory is created.

    :param x: the content: ``str`` for a text mode, ``bytes`` for ``"wb"``.
    :param path: the path of the file.
    :param mode: an ``open`` mode for writing: ``"w"``, ``"a"``, ``"wb"``, ...
    :param encoding: the text encoding.
    :returns: None.
    :raises TypeError: a str for ``"wb"``, bytes for a text mode.
    :raises UnicodeEncodeError: a character *encoding* cannot take; LookupError
        for an unknown encoding, FileNotFoundError for a missing directory,
        OSError when the file cannot be written.

    Example::

        >>> str_write_file("hello\\n", "out.txt")
        >>> str_write_file(b"\\x00\\x01", "out.bin", "wb")
    """

def str_files_dict(
    x: Any,
    dirs: str | None = None,
    skip_dir: list[str] | None = None,
    skip_file: list[str] | None = None,
) -> dict[str, list[str]]:
    """The files of the directory tree *x*, as ``{directory label: [file names]}``.

    Every directory of the tree, empty ones too, has a key, in pre-order
    (a directory before its subdirectories, in listing order); its value is
    the list of the plain names of the regular files directly in it. The top
    directory's label is *dirs*, else the last component of *x*; below it
    labels are joined with ``/`` (``\\`` on Windows, and separators in *dirs*
    are turned to match). Symbolic links to directories are entered.

    :param x: the path of the top directory (anything but ``str``, ``bytes``
        or path-like raises TypeError).
    :param dirs: the label of the top directory (``None`` or ``""``: the base
        name of *x*).
    :param skip_dir: names of directories to neither list nor enter, at any
        depth; a list or None.
    :param skip_file: names of files to leave out, at any depth; a list or
        None.
    :returns: a new dict.
    :raises TypeError: *skip_dir* or *skip_file* is not a list or None (before
        anything is read).
    :raises OSError: *x* or a directory below it cannot be listed
        (FileNotFoundError, NotADirectoryError, PermissionError): nothing is
        returned.

    Example::

        >>> str_files_dict("top", skip_dir=["skip"])
        {'top': ['a.txt'], 'top/sub': ['b.txt'], 'top/sub/deep': []}
    """

def str_files_list(x: Any) -> list[str]:
    """The paths of every file below the directory *x*, bottom-up.

    ``os.walk(x, topdown=False)``: the files of the deepest directories come
    first, those directly in *x* last; paths start with *x* as given.
    Directories that cannot be listed are skipped silently, and symbolic
    links to directories are not entered.

    :param x: the path of the top directory (anything but ``str``, ``bytes``
        or path-like raises TypeError).
    :returns: a new list; empty when *x* is not a directory.

    Example::

        >>> str_files_list("top")
        ['top/sub/b.txt', 'top/a.txt']
    """
