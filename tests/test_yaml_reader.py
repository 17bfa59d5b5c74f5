"""str_read_yaml against the library's own `yaml.load(f, Loader=yaml.FullLoader)`:
the same values and types all the way down, the same key order, or the same
exception; documents the native reader does not take, and a library that has
been changed, read by the library itself."""

import glob
import math
import os
import re
import sys

import pytest
import yaml
from hypothesis import HealthCheck, given, settings, strategies as st

from tarvex_func.function import textkit as t


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(x, y) for x, y in zip(a, b)) and all(
            same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    return a == b


def outcome(read, path):
    try:
        return "value", read(path)
    except Exception as error:  # noqa: BLE001 (the library's exception is the expected result)
        return type(error), str(error)


def by_library(path):
    with open(path, encoding="utf-8") as file:
        return yaml.load(file, Loader=yaml.FullLoader)


def library_calls(call):
    """`call()` and whether the library's code ran under it."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and f"{os.sep}yaml{os.sep}" in frame.f_code.co_filename:
            calls.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        result = call()
    finally:
        sys.setprofile(None)
    return result, bool(calls)


def write(path, text):
    with open(path, "w", encoding="utf-8", newline="") as file:
        file.write(text)
    return str(path)


def assert_as_library(path):
    expected, got = outcome(by_library, path), outcome(t.str_read_yaml, path)
    assert expected[0] == got[0], (open(path, encoding="utf-8", errors="replace").read(), expected, got)
    if expected[0] == "value":
        assert same(expected[1], got[1]), (expected, got)
    else:
        assert expected[1] == got[1]


def read_natively(path):
    return not library_calls(lambda: outcome(t.str_read_yaml, path))[1]


# Every rule of the library's implicit resolvers, with look-alikes on either side.
SCALARS = """
yes Yes YES no No NO true True TRUE false False FALSE on On ON off Off OFF
yEs tRue oN y n Y N
~ null Null NULL nULL nil None
0 -0 +0 00 007 0_7 08 0o7 017 -017 0b101 0b_1 -0b11 0b2 0x1F 0x_f -0xFF 0X1F 0xg
1_000 1__0 _1 1_ +12 -12 123456789012345678901234567890 -99999999999999999999
190:20:30 -1:30 1:60 1:5 1:05:59 0:30 1:2:3:4
1.5 -1.5 +1.5 1. 1.e+3 1.5e+3 1.5E-3 1e3 1.5e3 .5 -.5 ._5 .5e+1 1_0.5_0 1.2.3 -0.0 0.0
190:20:30.15 1:30. -1:30.5 .inf -.inf +.inf .Inf .INF .iNf inf .nan .NaN .NAN -.nan nan
2001-12-14 2001-12-14t21:59:43.10-05:00 2001-12-14 21:59:43.10 2001-1-1 20011214 12:30
<< = ! & * a<<b == -a --a -- --- ... a: b? a#b a,b [a] {a}
é ü 中文 😀 a\\b 'q' "d"
""".split()

DOCUMENTS = [
    "", "\n\n", "# only a comment\n", "---\n", "--- # c\n...\n", "a: 1\n", "---\na: 1\n...\n",
    "a: 1\n...\n# after\n", "a: 1\n---\nb: 2\n", "%YAML 1.1\n---\na: 1\n", "\ufeffa: 1\n",
    "a: &x 1\nb: *x\n", "a: !!str 1\n", "<<: {a: 1}\n", "=: 1\n", "? a\n: b\n", "[a]: b\n",
    "a:\tb\n", "a: b\r\nc: d\r\n", "a: b\rc: d\n", "a\x85b: 1\n", "a: \u2028\n", "a: \x07\n",
    "- a\n- b\n-\n- - c\n  - d\n- e: f\n  g: h\n", "a:\n- 1\n- 2\nb:\n  - 3\nc:\n",
    "a:\n  b:\n    c: 1\n  d: 2\ne: 3\n", "a:\n    b: 1\n  c: 2\n", "a: 1\n b: 2\n",
    "a: b c\n  d\n\n  e\nf: g\n", "plain\n text\n\n more\n", "a: b\n# c\n  d\n", "- a\n  - b\n",
    "a: b: c\n", "a: - b\n", "a:b\n", "'a': 'it''s'\n", '"a\\tb": "\\x41\\u00e9\\U0001F600\\N\\_\\L\\P"\n',
    '"a": "x\\\n   y"\n', "a: 'x\n\n  y\n z'\n", 'a: "unterminated\n', 'a: "\\q"\n', 'a: "\\ud800"\n',
    "a: |\n  x\n   y\n\n  z\n\n\n", "a: >\n  x\n  y\n\n  z\n   w\n  v\n", "a: |-\n  x\n\n",
    "a: |+\n  x\n\n\nb: 1\n", "a: |2\n    x\n   y\n", "a: >1-\n  x\n", "a: |0\n  x\n", "a: |x\n",
    "a: | # c\n  x\n", "- |\n  x\n- >\n y\n", "|\n x\n", "a: |\n\n     \n  x\n", "a: |\n  x\n# c\n",
    "[1, 2,\n 3, ]\n", "{a: 1, b, c: }\n", "{a: [1, {b: c}], 'd': \"e\"}\n", '{"a":1,"b":[true,null]}\n',
    "[a: b]\n", "[,]\n", "{a:1}\n", "{a:}\n", "[a, b\n", "[-, -a, a-]\n", "{? a}\n", "[a?b]\n",
    "a: [1,\n---\n]\n", "a: 1\na: 2\nb: 1\n", "1: a\n1.0: b\ntrue: c\n.nan: d\n.nan: e\n~: f\n",
    "- .nan\n- .nan\n", "a: " + "x" * 1100 + "\n", "x" * 1100 + ": 1\n", "a: 1 # c\nb: 2#c\n",
    "a:    \n  - 1\n", "- - - a\n    - b\n  - c\n", "a: [\n]\n", "a: {\n  b: 1\n}\n", "  a: 1\n  b: 2\n",
]


def test_every_resolver_rule_and_construct_reads_as_the_library_reads_it(tmp_path):
    path = str(tmp_path / "d.yaml")
    for scalar in SCALARS:
        for text in (f"{scalar}\n", f"k: {scalar}\n", f"- {scalar}\n", f"{scalar}: v\n",
                     f"[{scalar}]\n", f"{{{scalar}: v}}\n", f"k: '{scalar}'\n"):
            write(path, text)
            assert_as_library(path)
    for text in DOCUMENTS:
        write(path, text)
        assert_as_library(path)


def test_plain_documents_are_read_natively(tmp_path):
    path = str(tmp_path / "d.yaml")
    for text in ("a: 1\n", "- [a, {b: c}]\n- 'x'\n- \"y\\n\"\n", "a: |\n  x\n", "k: .nan\nj: 0x1F\n",
                 "--- # c\na:\n- 1\n...\n", "", "plain\n text\n"):
        write(path, text)
        assert read_natively(path), text
    for text in ("a: &x 1\n", "a: 2001-12-14\n", "<<: {}\n", "a:\tb\n", "a: [1\n", "a: 1\n---\nb: 2\n"):
        write(path, text)
        assert not read_natively(path), text


# --- generated documents ---------------------------------------------------------------

SCALAR = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=True),
    st.sampled_from(SCALARS), st.text(max_size=12),
    st.text(alphabet=" \n\t\r:#-,[]{}'\"|>!&*?%@`~.0123456789abxeE_+é\x85\u2028\ufeff", max_size=12))
KEY = st.one_of(st.text(max_size=8), st.sampled_from(SCALARS), st.integers(), st.booleans(), st.none())
TREE = st.recursive(SCALAR, lambda children: st.one_of(
    st.lists(children, max_size=4), st.dictionaries(KEY, children, max_size=4)), max_leaves=12)
DUMP_OPTIONS = st.fixed_dictionaries({
    "default_flow_style": st.sampled_from([False, True, None]),
    "default_style": st.sampled_from([None, "'", '"', "|", ">"]),
    "indent": st.integers(2, 6), "width": st.sampled_from([8, 20, 80, 1000]),
    "allow_unicode": st.booleans(), "explicit_start": st.booleans(), "explicit_end": st.booleans(),
    "sort_keys": st.booleans(), "canonical": st.sampled_from([False, False, False, True])})
MUTATION = st.tuples(st.integers(0, 10), st.integers(0, 10**6), st.sampled_from(
    [" ", "\n", "\t", "\r\n", " # c\n", ":", "- ", "#", ",", "[", "]", "{", "}", "'", '"', "|", ">-",
     "|+2", "é", "\ufeff", "\x85", "\u2028", "---\n", "...\n", "  ", "&a ", "!!str "]))


def mutated(text, mutations):
    for kind, where, piece in mutations:
        p = where % (len(text) + 1)
        lines = text.split("\n")
        if kind == 0:
            text = text[:p] + piece + text[p:]
        elif kind == 1:
            text = text[:p]
        elif kind == 2:
            text = text[:p] + text[p + 1:]
        elif kind == 3:
            text = "\n".join("  " + line if (i + where) % 3 == 0 else line for i, line in enumerate(lines))
        elif kind == 4:
            text = "\n".join(line[1:] if (i + where) % 3 == 0 and line.startswith(" ") else line
                             for i, line in enumerate(lines))
        elif kind == 5:
            text = text.replace("\n", " \n", where % 3)
        elif kind == 6:
            text = text.replace("\n", "\n\n", where % 3)
        elif kind == 7:
            text = text.replace("\n", "\r\n")
        else:
            text = text[:p] + piece + text[p:]
    return text


@settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))
@given(tree=TREE, options=DUMP_OPTIONS, mutations=st.lists(MUTATION, max_size=3))
def test_dumped_and_mutated_documents_read_as_the_library_reads_them(tmp_path_factory, tree, options,
                                                                     mutations):
    path = str(tmp_path_factory.getbasetemp() / "generated.yaml")
    write(path, mutated(yaml.dump(tree, **options), mutations))
    assert_as_library(path)


def test_every_truncation_reads_as_the_library_reads_it(tmp_path):
    path = str(tmp_path / "d.yaml")
    text = ('--- # head\na: 1\nb:\n- x\n- {c: [1, 2.5, "q\\tr"], d: \'e\'\'f\'}\ng: |-\n  h\n\n  i\n'
            'j: >\n  k\n  l\nm: n o\n  p\n...\n')
    for end in range(len(text) + 1):
        write(path, text[:end])
        assert_as_library(path)


def test_real_yaml_files_read_as_the_library_reads_them(tmp_path):
    roots = [os.path.dirname(os.path.dirname(yaml.__file__)), "/usr/share", "/etc"]
    found = [p for root in roots for pattern in ("**/*.yaml", "**/*.yml")
             for p in glob.glob(os.path.join(root, pattern), recursive=True)]
    found = [p for p in found if os.path.isfile(p) and os.path.getsize(p) < 200_000][:300]
    if not found:
        pytest.skip("no YAML files here")
    for path in found:
        try:
            assert_as_library(path)
        except PermissionError:
            continue


def test_deep_nesting_gives_the_library_result_or_recursion_error(tmp_path):
    path = str(tmp_path / "d.yaml")
    for text in ("[" * 50 + "]" * 50, "[" * 5000 + "]" * 5000, "{a: " * 3000 + "1" + "}" * 3000,
                 "".join("  " * i + "- \n" for i in range(300)) + "  " * 300 + "x\n",
                 "".join("  " * i + f"k{i}:\n" for i in range(150)) + "  " * 150 + "v\n"):
        write(path, text)
        expected = outcome(by_library, path)
        got = outcome(t.str_read_yaml, path)
        assert got[0] is RecursionError or (expected[0] == got[0] and (
            same(expected[1], got[1]) if got[0] == "value" else expected[1] == got[1]))


# --- a library that is not what the reader models -----------------------------------------


def test_a_changed_library_reads_the_document_itself(tmp_path, monkeypatch):
    path = write(tmp_path / "d.yaml", "a: 1\nb: x\n")
    assert read_natively(path)

    # The library adds the resolver to its default Dumper too.
    yaml.add_implicit_resolver("!x", re.compile("^x$"), ["x"], Loader=yaml.FullLoader)
    try:
        assert outcome(t.str_read_yaml, path) == outcome(by_library, path)
        assert not read_natively(path)
    finally:
        del yaml.FullLoader.yaml_implicit_resolvers
        del yaml.Dumper.yaml_implicit_resolvers
    assert read_natively(path)

    lists = yaml.resolver.Resolver.yaml_implicit_resolvers
    lists["1"].insert(0, ("tag:yaml.org,2002:str", re.compile("^1$")))
    try:
        assert t.str_read_yaml(path) == {"a": "1", "b": "x"}
    finally:
        del lists["1"][0]
    assert read_natively(path) and t.str_read_yaml(path) == {"a": 1, "b": "x"}

    table = yaml.constructor.FullConstructor.yaml_constructors
    original = table["tag:yaml.org,2002:int"]
    table["tag:yaml.org,2002:int"] = lambda loader, node: "int " + node.value
    try:
        assert t.str_read_yaml(path) == {"a": "int 1", "b": "x"}
    finally:
        table["tag:yaml.org,2002:int"] = original
    assert read_natively(path)

    monkeypatch.setattr(yaml.constructor.SafeConstructor, "bool_values", {})
    assert not read_natively(path)
    monkeypatch.undo()
    assert read_natively(path)

    monkeypatch.setattr(yaml, "FullLoader", yaml.SafeLoader)
    assert not read_natively(path) and t.str_read_yaml(path) == {"a": 1, "b": "x"}
    monkeypatch.setattr(yaml, "load", lambda stream, Loader: ("patched", Loader))
    assert t.str_read_yaml(path) == ("patched", yaml.SafeLoader)
    monkeypatch.undo()
    assert read_natively(path)


def test_unreadable_bytes_raise_as_the_library_raises(tmp_path):
    path = tmp_path / "d.yaml"
    path.write_bytes(b"a: " + b"x" * 20000 + b"\n\xff\n")
    assert outcome(t.str_read_yaml, str(path)) == outcome(by_library, str(path))
