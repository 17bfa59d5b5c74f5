"""Number conversion and timestamp formatting."""

import math
import os
import sys
import time

import pytest

from support import entries
from tarvex_func.function import quantkit
from tarvex_func.function.quantkit import number_float, number_int, number_str, number_time


@pytest.fixture
def utc(monkeypatch):
    monkeypatch.setenv("TZ", "UTC")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def test_exact_types_come_back_as_the_same_object():
    text, number, real = "a", 10**30, 2.5
    assert number_str(text) is text
    assert number_int(number) is number
    assert number_float(real) is real

    class Text(str):
        pass

    assert type(number_str(Text("t"))) is str
    result = number_int(True)
    assert result == 1 and type(result) is int


def test_conversions_are_the_host_ones():
    assert number_str(12) == "12" and number_str(None) == "None"
    assert number_int(3.9) == 3 and number_int(" 42 ") == 42
    assert number_float(2) == 2.0 and number_float(" 1_000.5 ") == 1000.5
    assert math.isnan(number_float("nan")) and number_float(b"3") == 3.0
    for bad in ["1.5", None, [1]]:
        with pytest.raises((ValueError, TypeError)):
            number_int(bad)
    with pytest.raises(ValueError):
        number_float("1__0")
    with pytest.raises(OverflowError):
        number_float(10**400)

    class BadStr:
        def __str__(self):
            return 5

    with pytest.raises(TypeError):
        number_str(BadStr())


def test_number_time_formats_local_time(utc):
    assert number_time(0) == "1970-01-01 00:00:00.000000"
    assert number_time(1.5, "%S.%f") == "01.500000"
    assert number_time(0, fmt="%Y") == "1970"


def test_number_time_returns_ordinary_exceptions():
    before = sys.exc_info()
    for args in [("abc",), (None,), (0, 5)]:
        result = number_time(*args)
        assert isinstance(result, TypeError)
        assert sys.exc_info() == before
    entry = result.__traceback__
    while entry.tb_next:
        entry = entry.tb_next
    assert (entry.tb_frame.f_code.co_name, entry.tb_lineno) == ("quantkit.number_time", 28)
    assert isinstance(number_time(1e20), (OverflowError, ValueError, OSError))


def test_number_time_with_datetime_missing_or_raising(monkeypatch):
    monkeypatch.delattr(quantkit, "datetime")
    result = number_time(0)
    assert isinstance(result, NameError) and str(result) == "name 'datetime' is not defined"

    class Interrupting:
        class datetime:
            @staticmethod
            def fromtimestamp(x):
                raise KeyboardInterrupt

    monkeypatch.setattr(quantkit, "datetime", Interrupting, raising=False)
    with pytest.raises(KeyboardInterrupt) as info:
        number_time(0)
    ours = [e.tb_lineno for e in entries(info.value.__traceback__)
            if e.tb_frame.f_code.co_name == "quantkit.number_time"]
    assert ours == [27]
