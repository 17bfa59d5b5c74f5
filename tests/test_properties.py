"""Property tests: native functions against plain-Python models of the same rules."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarvex_func.function import quantkit, setkit


def binding_error(name, params, ndefaults, star_args, star_kwargs, nargs, keywords):
    """The TypeError text that binding `nargs` positional arguments and the
    keyword names `keywords` gives, or None when the call binds."""
    total, required = len(params), len(params) - ndefaults

    def count(given):
        if required == total and not star_args:
            word, expected = "exactly", required
        elif given < required:
            word, expected = "at least", required
        else:
            word, expected = "at most", total
        plural = "" if expected == 1 else "s"
        return f"{name}() takes {word} {expected} positional argument{plural} ({given} given)"

    if nargs > total and not star_args:
        return count(nargs)
    if not keywords:
        return count(nargs) if nargs < required else None
    for i in range(nargs, required):
        if params[i] not in keywords:
            return count(i)
    for keyword in keywords:
        if keyword in params[:nargs]:
            return f"{name}() got multiple values for keyword argument '{keyword}'"
        if keyword not in params and not star_kwargs:
            return f"{name}() got an unexpected keyword argument '{keyword}'"
    return None


SIGNATURES = [
    (setkit.list_diff, ["list1", "list2"], 0, False, False),
    (setkit.list_set, ["list1"], 0, False, False),
    (setkit.list_intersect, ["list1", "list2"], 0, False, False),
    (quantkit.number_time, ["x", "fmt"], 1, False, False),
    (quantkit.number_str, ["x"], 0, False, False),
]

try:
    from tarvex_func.function import textkit
except ImportError:  # pragma: no cover - the module is built with the others
    textkit = None
else:
    SIGNATURES += [
        (textkit.str_format, ["x"], 0, True, True),
        (textkit.str_format_s, ["x"], 0, True, False),
        (textkit.str_read_file, ["x", "mode", "encoding"], 2, False, False),
        (textkit.str_files_dict, ["x", "dirs", "skip_dir", "skip_file"], 3, False, False),
    ]


def argument_value(function):
    # Values that make every body run without touching files or failing in a
    # way that looks like a binding error.
    if function.__module__ == "textkit" and function.__name__ != "str_format_s":
        return None if function.__name__ != "str_format" else "t"
    return [] if function.__module__ == "setkit" else "%s" if function.__name__ == "str_format_s" else 0


@settings(max_examples=400, deadline=None)
@given(
    st.sampled_from(SIGNATURES),
    st.integers(min_value=0, max_value=6),
    st.lists(st.sampled_from(["list1", "list2", "x", "fmt", "mode", "encoding", "dirs",
                              "skip_dir", "skip_file", "foo", "args", "kwargs"]),
             unique=True, max_size=4),
)
def test_binding_matches_the_model(signature, nargs, keywords):
    function, params, ndefaults, star_args, star_kwargs = signature
    expected = binding_error(function.__name__, params, ndefaults, star_args, star_kwargs,
                             nargs, keywords)
    value = argument_value(function)
    if function.__name__ == "str_format_s":
        args = ["%s" * max(nargs - 1, 0)] + [1] * (nargs - 1) if nargs else []
    else:
        args = [value] * nargs
    kwargs = {k: value for k in keywords}
    if function.__name__ == "str_format_s" and "x" in kwargs and nargs <= 1:
        kwargs["x"] = "" if nargs == 0 else "%s"
    try:
        function(*args, **kwargs)
    except TypeError as error:
        if expected is None:
            assert "positional argument" not in str(error) and "keyword" not in str(error)
        else:
            assert str(error) == expected
    else:
        assert expected is None


hashables = st.one_of(
    st.integers(-5, 5), st.booleans(), st.floats(allow_nan=False, min_value=-5, max_value=5),
    st.text(max_size=2), st.tuples(st.integers(0, 2)), st.none(),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(hashables, max_size=12), st.lists(hashables, max_size=12))
def test_set_operations_match_the_model(a, b):
    def same(native, model):
        assert type(native) is list
        assert len(native) == len(model) and set(native) == model
        for item in native:  # the very objects the host set keeps
            assert any(item is kept for kept in model)

    same(setkit.list_diff(a, b), set(a) - set(b))
    same(setkit.list_set(a), set(a))
    same(setkit.list_intersect(a, b), set(a) & set(b))


def outcome(function, value):
    try:
        return ("ok", function(value))
    except Exception as error:  # compared by type and message
        return ("error", type(error), str(error))


def same_outcome(native, model):
    if native[0] == "ok" and isinstance(native[1], float) and math.isnan(native[1]):
        assert model[0] == "ok" and math.isnan(model[1])
    else:
        assert native == model


number_text = st.one_of(
    st.text(alphabet="0123456789 _.-+eEinfatyINFATY\t", max_size=8),
    st.integers().map(str),
    st.floats().map(repr),
)
numbers = st.one_of(st.integers(), st.floats(), st.booleans(), number_text, st.none(),
                    st.binary(max_size=4))


@settings(max_examples=500, deadline=None)
@given(numbers)
def test_number_conversions_match_the_builtins(value):
    same_outcome(outcome(quantkit.number_str, value), outcome(str, value))
    same_outcome(outcome(quantkit.number_int, value), outcome(int, value))
    same_outcome(outcome(quantkit.number_float, value), outcome(float, value))
    if textkit is not None:
        expected_int = outcome(int, value)
        expected_int = expected_int if expected_int[0] == "ok" else ("ok", 0)
        same_outcome(outcome(textkit.str_int, value), expected_int)
        expected_float = outcome(float, value)
        expected_float = expected_float if expected_float[0] == "ok" else ("ok", 0.0)
        same_outcome(outcome(textkit.str_float, value), expected_float)
