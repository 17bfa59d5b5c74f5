"""The library's own answer to a lookup, and the check that ours is the same."""

import functools

from jsonpath_ng.jsonpath import AutoIdForDatum
from jsonpath_ng.parser import parse as library_parse

from tarvex_func.function.treekit import dict_find_all_path, dict_find_path


@functools.lru_cache(maxsize=None)
def parsed(path):
    """The library's expression for `path`, or the exception parsing raises
    (parsing is slow, and a parsed expression is only read)."""
    try:
        return library_parse(path)
    except Exception as error:  # noqa: BLE001 - the lookups swallow these too
        return error


def library_matches(json, path):
    """`parse(path).find(json)`, or None where parsing or finding raises an
    ordinary exception: both lookups then answer None."""
    expression = parsed(path) if isinstance(path, str) else None
    if expression is None:
        try:
            expression = library_parse(path)
        except Exception:  # noqa: BLE001
            return None
    if isinstance(expression, Exception):
        return None
    try:
        return expression.find(json)
    except Exception:  # noqa: BLE001
        return None


def assert_same(json, path):
    """Both lookups give the library's values: equal, the same objects (an
    automatic id is text made afresh, so only its value counts), in order."""
    matches = library_matches(json, path)
    found_all = dict_find_all_path(json, path)
    found_first = dict_find_path(json, path)
    try:
        # an automatic id is made as its value is read, from the text of
        # its path, which a key that is not a str makes fail
        expected = None if matches is None else [m.value for m in matches]
    except Exception:  # noqa: BLE001 - the lookups swallow these too
        matches = None
    if matches is None:
        assert found_all is None and found_first is None, path
        return
    assert found_all == expected, path
    assert len(found_all) == len(expected), path
    for got, match, value in zip(found_all, matches, expected):
        if not isinstance(match, AutoIdForDatum):
            assert got is value, path
    if not expected:
        assert found_first is None, path
    elif isinstance(matches[0], AutoIdForDatum):
        assert found_first == expected[0], path
    else:
        assert found_first is expected[0], path
