"""JSONPath lookups and in-place edits on nested data (the trees of dicts, lists and
scalars that parsed JSON or YAML gives), and writing such data as YAML. Installed on
``dict``.
"""

from typing import Any, TypeVar

import yaml as yaml
from jsonpath_ng.parser import parse as parse

__test__: dict[str, object]

_Tree = TypeVar("_Tree")

def dict_find_path(json: Any, path: str) -> Any:
    """The value of the first match of the JSONPath *path* in *json*, or None.

    The path text goes to the JSONPath parser unchanged (a leading ``$`` is
    optional); the value returned is the object inside *json*, not a copy.
    Parsed paths are kept, so a repeated path is parsed once.

    :param json: nested data: dicts, lists and scalars.
    :param path: JSONPath text.
    :returns: the first match's value, in the library's match order.
    :failures: None for a path that matches nothing, a path that does not
        parse, and any other ``Exception`` on the way: a first match whose
        value is None looks the same.
    :raises BaseException: KeyboardInterrupt and SystemExit are raised.

    Example::

        >>> dict_find_path({"a": {"b": [1, 2, {"c": 3}]}}, "$.a.b[2].c")
        3
    """

def dict_find_all_path(json: Any, path: str) -> list[Any] | None:
    """The values of every match of the JSONPath *path* in *json*, in match order.

    :param json: nested data: dicts, lists and scalars.
    :param path: JSONPath text.
    :returns: a new list of the matched objects (not copies); an empty list
        when nothing matches.
    :failures: None for a path that does not parse and any other
        ``Exception`` on the way, so a failure is told from no match.
    :raises BaseException: KeyboardInterrupt and SystemExit are raised.

    Example::

        >>> dict_find_all_path({"a": {"b": [1, 2]}}, "a.b[*]")
        [1, 2]
    """

def dict_update_path(json: _Tree, path: str, value: Any = None) -> _Tree:
    """Sets *value* at every match of the JSONPath *path* in *json*, in place.

    Missing parts of the path are created on the way (``find_or_create``),
    then the library's ``update`` writes *value*.

    :param json: nested data, changed in place.
    :param path: JSONPath text.
    :param value: the value to write; None when not given.
    :returns: *json* itself, always.
    :failures: nothing is reported: a path that does not parse, or any
        exception (KeyboardInterrupt too), leaves *json* as far as it got and
        returns it. Look the path up again to know what was written.

    Example::

        >>> dict_update_path({"a": {}}, "a.new.key", 5)
        {'a': {'new': {'key': 5}}}
    """

def dict_delete_path(json: _Tree, path: str, index: int = 1) -> _Tree:
    """Removes the *index*-th match of the JSONPath *path* from *json*, in place.

    Matches are counted from 1 in the library's order; a dict entry goes with
    its key, a list element leaves the list and the later ones move up. The
    selected match is first overwritten with the marker string
    ``"qz_delete"``, then every match of *path* holding that string is
    removed: other matches whose value already is ``"qz_delete"`` go too.

    :param json: nested data, changed in place.
    :param path: JSONPath text.
    :param index: which match, counted from 1; a value equal to no count
        (0, a negative number, more than the matches) removes nothing.
    :returns: *json* itself, always.
    :failures: nothing is reported: a path that does not parse, or any
        exception, leaves *json* as far as it got and returns it.

    Example::

        >>> dict_delete_path({"a": [1, 2, 3]}, "a[*]", 2)
        {'a': [1, 3]}
    """

def dict_write_yaml(
    x: Any,
    path: Any,
    mode: str = "w",
    default_style: str | None = "",
    default_flow_style: bool | None = False,
    canonical: bool = False,
    indent: int = 2,
    allow_unicode: bool = True,
    encoding: str | None = None,
    sort_keys: bool = False,
) -> None:
    """Writes *x* as YAML into the file at *path* (``yaml.dump``).

    The defaults give block-style YAML, indented by 2, keys in insertion
    order, non-ASCII characters unescaped. The YAML is made before the file
    is opened, so an object that cannot be written leaves an existing file as
    it was.

    :param x: the data, as a rule a dict/list tree.
    :param path: the path of the file.
    :param mode: the ``open`` mode: ``"w"`` replaces, ``"a"`` appends (with no
        separator).
    :param default_style: ``yaml.dump``'s ``default_style``.
    :param default_flow_style: ``yaml.dump``'s ``default_flow_style``.
    :param canonical: ``yaml.dump``'s ``canonical``.
    :param indent: ``yaml.dump``'s ``indent``.
    :param allow_unicode: ``yaml.dump``'s ``allow_unicode``; False escapes
        non-ASCII characters.
    :param encoding: the file's encoding, given both to ``open`` and to
        ``yaml.dump`` (None: the encoding ``open`` chooses); a binary mode
        refuses it (ValueError).
    :param sort_keys: ``yaml.dump``'s ``sort_keys``.
    :returns: None.
    :raises yaml.YAMLError: an object the dumper cannot represent (or the
        exception it raises, such as TypeError for an object it cannot copy).
    :raises OSError: the file cannot be opened or written (a missing
        directory: FileNotFoundError).
    :raises UnicodeEncodeError: a character *encoding* cannot take;
        LookupError for an unknown encoding, TypeError for a binary mode
        without an encoding.

    Example::

        >>> dict_write_yaml({"b": 1, "a": [1, 2]}, "out.yaml", sort_keys=True)
    """
