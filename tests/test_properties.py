"""Property tests: native functions against plain-Python models of the same rules."""

import copy
import math
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from jsonpath_ng.parser import parse

from tarvex_func import hubkit
from tarvex_func.function import quantkit, setkit, textkit, treekit


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


# Parameter lists: (function, names, number of defaults, *args, **kwargs).
SIGNATURES = [
    (setkit.list_diff, ["list1", "list2"], 0, False, False),
    (setkit.list_set, ["list1"], 0, False, False),
    (setkit.list_intersect, ["list1", "list2"], 0, False, False),
    (quantkit.number_str, ["x"], 0, False, False),
    (quantkit.number_int, ["x"], 0, False, False),
    (quantkit.number_float, ["x"], 0, False, False),
    (quantkit.number_time, ["x", "fmt"], 1, False, False),
    (textkit.str_int, ["x"], 0, False, False),
    (textkit.str_float, ["x"], 0, False, False),
    (textkit.str_time, ["x", "fmt"], 1, False, False),
    (textkit.str_isfile, ["x"], 0, False, False),
    (textkit.str_file_delete, ["x"], 0, False, False),
    (textkit.str_isdir, ["x"], 0, False, False),
    (textkit.str_dir_delete, ["x"], 0, False, False),
    (textkit.str_copy, ["x", "y"], 0, False, False),
    (textkit.str_move, ["x", "y"], 0, False, False),
    (textkit.str_format, ["x"], 0, True, True),
    (textkit.str_format_s, ["x"], 0, True, False),
    (textkit.str_read_yaml, ["x"], 0, False, False),
    (textkit.str_read_file, ["x", "mode", "encoding"], 2, False, False),
    (textkit.str_read_line, ["x", "mode", "encoding"], 2, False, False),
    (textkit.str_read_lines, ["x", "mode", "encoding"], 2, False, False),
    (textkit.str_write_file, ["x", "path", "mode", "encoding"], 2, False, False),
    (textkit.str_files_dict, ["x", "dirs", "skip_dir", "skip_file"], 3, False, False),
    (textkit.str_files_list, ["x"], 0, False, False),
    (treekit.dict_find_path, ["json", "path"], 0, False, False),
    (treekit.dict_find_all_path, ["json", "path"], 0, False, False),
    (treekit.dict_update_path, ["json", "path", "value"], 1, False, False),
    (treekit.dict_delete_path, ["json", "path", "index"], 1, False, False),
    (treekit.dict_write_yaml, ["x", "path", "mode", "default_style", "default_flow_style",
                               "canonical", "indent", "allow_unicode", "encoding", "sort_keys"],
     8, False, False),
    (hubkit.TarvexHubkit.__init__, ["self"], 0, True, True),
]
INSTALLERS = [getattr(hubkit.TarvexHubkit, name) for name in (
    "_extend_dict", "_extend_list", "_extend_str", "_extend_file", "_extend_dir", "_extend_int",
    "_extend_float")]
KEYWORDS = sorted({name for signature in SIGNATURES for name in signature[1]}
                  | {"foo", "args", "kwargs"})


class KeyName(str):
    pass


def no_arguments_error(name, nargs, keywords):
    if keywords:
        return f"{name}() takes no keyword arguments"
    return f"{name}() takes no arguments ({nargs} given)" if nargs else None


@pytest.fixture(scope="module")
def nowhere(tmp_path_factory):
    """A path under a directory that does not exist: every body that gets it
    for all its arguments runs without touching the file system (writers
    fail to open it, or refuse it as a mode)."""
    return str(tmp_path_factory.mktemp("binding") / "missing" / "p")


def test_the_binding_table_covers_every_function():
    from tarvex_func import function

    names = {signature[0].__name__ for signature in SIGNATURES}
    assert names - {"__init__"} == set(function.__all__) and len(names) == 31


@pytest.mark.slow
@settings(max_examples=1500, deadline=None)
@given(st.data())
def test_binding_matches_the_model(nowhere, data):
    function, params, ndefaults, star_args, star_kwargs = data.draw(st.sampled_from(SIGNATURES))
    nargs = data.draw(st.integers(min_value=0, max_value=len(params) + 2))
    keywords = data.draw(st.lists(st.sampled_from(KEYWORDS), unique=True, max_size=4))
    as_method = nargs > 0 and data.draw(st.booleans())
    expected = binding_error(function.__name__, params, ndefaults, star_args, star_kwargs,
                             nargs, keywords)
    if function.__name__ == "__init__" and expected is None:
        return  # a binding construction installs methods process-wide
    # Names as the caller's own objects: equal to the parameter names but not
    # the same (interned) objects, and even of a subclass of str.
    form = data.draw(st.sampled_from([str, lambda k: "".join(list(k)), KeyName]))
    args, kwargs = [nowhere] * nargs, {form(k): nowhere for k in keywords}
    # Through a bound method the first positional argument is the instance.
    target = types.MethodType(function, args.pop(0)) if as_method else function
    try:
        target(*args, **kwargs)
    except Exception as error:  # the body may fail on these arguments, never as binding does
        if expected is None:
            assert "positional argument" not in str(error) and "keyword" not in str(error)
        else:
            assert type(error) is TypeError and str(error) == expected
    else:
        assert expected is None


@settings(max_examples=200, deadline=None)
@given(st.sampled_from(INSTALLERS), st.integers(min_value=0, max_value=3),
       st.lists(st.sampled_from(KEYWORDS), unique=True, max_size=2))
def test_installer_binding_matches_the_model(installer, nargs, keywords):
    expected = no_arguments_error(installer.__name__, nargs, keywords)
    if expected is None:
        return  # a call that binds installs methods process-wide
    with pytest.raises(TypeError) as info:
        installer(*[0] * nargs, **{k: 0 for k in keywords})
    assert str(info.value) == expected


hashables = st.one_of(
    st.integers(-5, 5), st.booleans(), st.floats(allow_nan=False, min_value=-5, max_value=5),
    st.text(max_size=2), st.tuples(st.integers(0, 2)), st.none(),
)


@pytest.mark.slow
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
    expected_int = outcome(int, value)
    expected_int = expected_int if expected_int[0] == "ok" else ("ok", 0)
    same_outcome(outcome(textkit.str_int, value), expected_int)
    expected_float = outcome(float, value)
    expected_float = expected_float if expected_float[0] == "ok" else ("ok", 0.0)
    same_outcome(outcome(textkit.str_float, value), expected_float)


def outcome_of(function, *args, **kwargs):
    try:
        return ("ok", function(*args, **kwargs))
    except Exception as error:
        return ("error", type(error), str(error))


# Templates drawn from pieces of both formatting languages, well and badly formed.
printf_pieces = st.sampled_from(["%s", "%d", "%r", "%5.2f", "%-3s", "%x", "%%", "%(a)s", "%z",
                                 "%", "%*d", "a", " ", "é", "{}"])
format_pieces = st.sampled_from(["{}", "{0}", "{1}", "{a}", "{b!r}", "{:>4}", "{0:.1f}", "{a[0]}",
                                 "{{", "}}", "{", "}", "{:d}", "{0.real}", "x", " ", "%s"])
format_values = st.one_of(st.integers(-1000, 1000), st.floats(allow_nan=False, width=32),
                          st.text(max_size=3), st.tuples(st.integers(0, 3)), st.none(),
                          st.lists(st.integers(0, 3), max_size=2))


@settings(max_examples=600, deadline=None)
@given(st.lists(printf_pieces, max_size=5).map("".join), st.lists(format_values, max_size=4))
def test_str_format_s_matches_the_remainder_operator(template, values):
    assert outcome_of(textkit.str_format_s, template, *values) == outcome_of(
        lambda: template % tuple(values))


@settings(max_examples=600, deadline=None)
@given(st.lists(format_pieces, max_size=5).map("".join), st.lists(format_values, max_size=3),
       st.dictionaries(st.sampled_from(["a", "b", "c"]), format_values, max_size=2))
def test_str_format_matches_the_format_method(template, values, keywords):
    assert outcome_of(textkit.str_format, template, *values, **keywords) == outcome_of(
        template.format, *values, **keywords)


# Nested data and JSONPath text from a small grammar: fields, indices,
# wildcards, slices, descendants, with or without the root, now and then
# text that does not parse.
keys = st.sampled_from(["a", "b", "c"])
trees = st.recursive(
    st.one_of(st.integers(-3, 3), st.text(alphabet="xyz", max_size=2), st.none(), st.booleans()),
    lambda children: st.one_of(st.lists(children, max_size=3),
                               st.dictionaries(keys, children, max_size=3)),
    max_leaves=12,
)
roots = st.one_of(st.dictionaries(keys, trees, min_size=1, max_size=3), trees)
segments = st.one_of(
    keys.map(lambda k: "." + k), keys.map(lambda k: ".." + k),
    st.integers(-2, 3).map(lambda i: f"[{i}]"), st.just("[*]"), st.just(".*"),
    st.tuples(st.integers(0, 2), st.integers(0, 3)).map(lambda s: f"[{s[0]}:{s[1]}]"),
)
paths = st.one_of(
    st.tuples(st.sampled_from(["$", ""]), st.lists(segments, min_size=1, max_size=3)).map(
        lambda p: (p[0] + "".join(p[1])).lstrip(".") or "$"),
    st.sampled_from(["$", "(((", "$.[", "a..", "", "$[?a]"]),
)


def find_model(data, path):
    try:
        values = [match.value for match in parse(path).find(data)]
    except Exception:
        return None
    return values[0] if values else None


def find_all_model(data, path):
    try:
        return [match.value for match in parse(path).find(data)]
    except Exception:
        return None


def update_model(data, path, value):
    try:
        expression = parse(path)
        expression.find_or_create(data)
        expression.update(data, value)
    except Exception:
        pass
    return data


@pytest.mark.slow
@settings(max_examples=500, deadline=None)
@given(roots, paths)
def test_lookups_match_the_library(data, path):
    before = copy.deepcopy(data)
    found = treekit.dict_find_path(data, path)
    assert found == find_model(data, path)
    every = treekit.dict_find_all_path(data, path)
    assert every == find_all_model(data, path)
    if every:  # the very objects in the tree
        assert found is every[0]
    assert data == before


@pytest.mark.slow
@settings(max_examples=500, deadline=None)
@given(roots, paths, st.one_of(st.integers(-3, 3), st.lists(st.integers(0, 2), max_size=2)))
def test_updates_match_the_library(data, path, value):
    # Each side gets its own value too: the library takes the values for a
    # multiple index out of a list value.
    native, model = copy.deepcopy((data, value)), copy.deepcopy((data, value))
    assert treekit.dict_update_path(*native[:1], path, native[1]) is native[0]
    assert native == (update_model(model[0], path, model[1]), model[1])


@pytest.mark.slow
@settings(max_examples=300, deadline=None)
@given(roots, paths, st.integers(-1, 4))
def test_delete_removes_exactly_the_selected_match(data, path, index):
    before = copy.deepcopy(data)
    matches = find_all_model(data, path)
    assert treekit.dict_delete_path(data, path, index) is data
    if not matches or not 1 <= index <= len(matches):
        assert data == before
        return
    # The rest of the tree is what the library's own filter leaves when
    # exactly that match is singled out, by identity, for removal.
    model = copy.deepcopy(before)
    selected = parse(path).find(model)[index - 1]
    mark = object()
    try:
        parse(f"$.{selected.full_path}").update(model, mark)
    except Exception:
        pass
    try:
        parse(path).filter(lambda value: value is mark, model)
    except Exception:
        pass
    assert data == put_back(model, mark, selected.value)


def put_back(tree, mark, original):
    """`tree` with whatever the filter left marked holding its value again."""
    if tree is mark:
        return original
    if isinstance(tree, dict):
        return {k: put_back(v, mark, original) for k, v in tree.items()}
    if isinstance(tree, list):
        return [put_back(v, mark, original) for v in tree]
    return tree
