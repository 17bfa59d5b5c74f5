"""Numbers: ``str()``, ``int()`` and ``float()`` of a value, and a timestamp as local
date-and-time text. Installed on ``int`` and ``float``.
"""

import datetime as datetime
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt

__test__: dict[str, object]

def number_str(x: object) -> str:
    """``str(x)``: the text of a number (or of any object).

    :param x: any object; exactly a ``str`` is returned as it is.
    :returns: the str.
    :raises Exception: whatever ``x.__str__`` raises; TypeError when it returns
        something other than a str.

    Example::

        >>> number_str(12), number_str(1.5)
        ('12', '1.5')
    """

def number_int(x: str | bytes | SupportsInt | SupportsIndex) -> int:
    """``int(x)``: a float truncated toward zero, text read as a base-10 integer.

    Unlike :func:`~tarvex_func.function.textkit.str_int`, a value that does not
    convert raises.

    :param x: a number, or text of an integer literal (white space around it
        and underscores between digits are allowed); exactly an ``int`` is
        returned as it is, a ``bool`` gives 0 or 1.
    :returns: the int.
    :raises ValueError: text that is not an integer literal (``"1.5"``).
    :raises TypeError: an object ``int()`` does not take (None, a list).
    :raises OverflowError: an infinite float; ValueError for a NaN.

    Example::

        >>> number_int(2.5), number_int(" 42 ")
        (2, 42)
    """

def number_float(x: str | bytes | SupportsFloat | SupportsIndex) -> float:
    """``float(x)``: an int as the nearest float, text read as a float literal.

    :param x: a number, or ``str``, ``bytes`` or ``bytearray`` text of a float
        literal (white space around it, underscores between digits, exponents,
        ``inf``, ``infinity`` and ``nan`` in any case); exactly a ``float`` is
        returned as it is.
    :returns: the float.
    :raises ValueError: text that is not a float literal (``"1__0"``).
    :raises TypeError: an object without ``__float__`` or ``__index__``.
    :raises OverflowError: an int too large for a float (``10**400``).

    Example::

        >>> number_float(2), number_float("1_000.5")
        (2.0, 1000.5)
    """

def number_time(x: float, fmt: str = "%Y-%m-%d %H:%M:%S.%f") -> str | Exception:
    """The timestamp *x* as local date-and-time text, formatted by *fmt*.

    Computes ``datetime.datetime.fromtimestamp(x).strftime(fmt)``. A failure
    is returned, not raised: test the result with ``isinstance(result,
    Exception)``. The exception state of the caller is left as it was.

    :param x: seconds since the epoch, an int or a float.
    :param fmt: a ``strftime`` format; the default gives
        ``"1970-01-01 00:00:00.000000"`` for 0 in UTC.
    :returns: the text, in the local time zone.
    :failures: the exception *instance* is the result, with its traceback: a
        TypeError for an *x* that is no number or a *fmt* that is no str, an
        OverflowError, ValueError or OSError for a timestamp out of the
        platform's range, a NameError when the module's ``datetime`` global is
        gone.
    :raises BaseException: exceptions outside ``Exception`` (KeyboardInterrupt,
        SystemExit) are raised.

    Example::

        >>> number_time(1.5, "%S.%f")
        '01.500000'
        >>> number_time("abc")
        TypeError("'str' object cannot be interpreted as an integer")
    """
