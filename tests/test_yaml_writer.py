"""dict_write_yaml against the library's own dump into the same kind of file:
the same bytes for generated trees of plain data under every option, for the
YAML files found on this machine, and for everything that goes back to the
library; plain data is written without the library while it is as modelled."""

import contextlib
import datetime
import itertools
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest
import yaml
from hypothesis import HealthCheck, given, settings, strategies as st

from tarvex_func.function import treekit
from tarvex_func.function.treekit import dict_write_yaml

DEFAULTS = dict(default_style="", default_flow_style=False, canonical=False, indent=2,
                allow_unicode=True, encoding=None, sort_keys=False)


def library_bytes(tmp_path, data, mode="w", **options):
    path = tmp_path / "twin.yaml"
    path.write_bytes(b"before\n")
    full = {**DEFAULTS, **options}
    with open(path, mode, encoding=full["encoding"]) as f:
        yaml.dump(data, f, **full)
    return path.read_bytes()


@contextlib.contextmanager
def library_calls():
    """The number of calls of the library's `dump_all`, in a list of one."""
    calls = [0]
    code = yaml.dump_all.__code__

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is code:
            calls[0] += 1

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        yield calls
    finally:
        sys.setprofile(previous)


def ours(tmp_path, data, mode="w", **options):
    path = tmp_path / "out.yaml"
    path.write_bytes(b"before\n")
    assert dict_write_yaml(data, str(path), mode, **options) is None
    return path.read_bytes()


def assert_same(tmp_path, data, native=True, mode="w", **options):
    with library_calls() as calls:
        got = ours(tmp_path, data, mode, **options)
    assert got == library_bytes(tmp_path, data, mode, **options)
    assert calls[0] == (0 if native else 1), "native" if native else "library"


# --- generated trees --------------------------------------------------------------------------

LOOK_ALIKES = ["yes", "No", "ON", "off", "y", "n", "true", "False", "null", "Null", "~", "",
               "1", "-1", "+1", "0o7", "017", "08", "0x1F", "0b101", "1_000", "1:20", "190:20:30",
               "1.0", ".5", "1.", "1e5", "1.0e+5", "1.0e5", "-.inf", ".NaN", ".nan ", "<<", "=",
               "!", "&", "*", "2024-01-02", "2001-12-14t21:59:43.10-05:00",
               "2001-12-14 21:59:43.10 -5", "2002-12-14", "12:30", "yes\n", "1\n", "null\n"]
AWKWARD = ["-", "- a", "-a", "?", "? x", "?x", ":", ": x", "a:b", "a: b", "a #b", "a#b", "#x",
           "&a", "*a", "!a", "|", ">", "'", '"', "%", "@", "`", "a'b", 'a"b', "\\", "[a]", "{a}",
           "a,b", "---", "...", "--- x", " lead", "trail ", " ", "  ", "\t", "a\tb", "a\nb",
           "a\n", "\n", "\na", "a\n\nb", "a \nb", "a\n b", "\x00", "\x07\x1b", "\x85", "\xa0",
           "\u2028", "\u2029", "\ufeff", "\ud800", "\udfff", "é", "ü ö", "日本語", "😀",
           "a😀b", "\U0010ffff", "\U0010fffe", "\x7f", "\x80\x9f", "\r\n", "a\rb"]
ALPHABET = st.sampled_from(list("ab -:#?,[]{}'\"\\\n\t é😀\x85\u2028\x00\ud800.0"))


def long_text(draw):
    words = draw(st.lists(st.sampled_from(["word", "a", "longerword", " ", "x" * 30, "é", "😀",
                                           "\n", "'", '"', "\\", ":"]),
                          min_size=5, max_size=60))
    return "".join(words)


text = st.one_of(st.sampled_from(LOOK_ALIKES + AWKWARD),
                 st.text(ALPHABET, max_size=12),
                 st.text(max_size=8),
                 st.composite(long_text)())
scalars = st.one_of(text, st.integers(), st.integers(min_value=-(10**60), max_value=10**60),
                    st.floats(), st.sampled_from([1e16, 1e-5, -0.0, 1e300, 5e-324, 1.5e16]),
                    st.booleans(), st.none())
keys = st.one_of(text, st.integers(), st.floats(allow_nan=False), st.booleans(), st.none())


@st.composite
def trees(draw):
    shared = draw(st.lists(st.one_of(st.lists(scalars, max_size=3),
                                     st.dictionaries(text, scalars, max_size=3)), max_size=2))
    leaves = st.one_of(scalars, st.sampled_from(shared)) if shared else scalars
    return draw(st.recursive(leaves, lambda inner: st.one_of(
        st.lists(inner, max_size=5), st.dictionaries(keys, inner, max_size=5)), max_leaves=25))


OPTIONS = st.fixed_dictionaries({
    "default_style": st.sampled_from(["", None]),
    "default_flow_style": st.sampled_from([False, True, None]),
    "canonical": st.sampled_from([False, None]),
    "indent": st.sampled_from([2, 1, 3, 4, 9, 10, 0, None, True, -5, 10**30]),
    "allow_unicode": st.sampled_from([True, False, None]),
    "sort_keys": st.sampled_from([False, True, None]),
})


@settings(max_examples=1500, deadline=None, suppress_health_check=list(HealthCheck))
@given(tree=trees(), options=OPTIONS)
def test_generated_trees_under_every_option(tmp_path, tree, options):
    assert_same(tmp_path, tree, **options)


def test_every_option_combination(tmp_path):
    shared = {"k": [1, "yes", None]}
    tree = {"b": [shared, shared, {"deep": shared}], "a": "x " * 60, "é": "😀 \x85", 1.5: True,
            "c": {}, "d": [], "e": [[1, 2], {"f": "g"}], "h": "line\nbreak\n", "": ""}
    for style, flow, canonical, indent, unicode, sort in itertools.product(
            ["", None], [False, True, None], [False, None], [None, 2, 5, 11],
            [True, False, None], [False, True, None]):
        assert_same(tmp_path, tree, default_style=style, default_flow_style=flow,
                    canonical=canonical, indent=indent, allow_unicode=unicode, sort_keys=sort)


def test_shapes_the_emitter_treats_apart(tmp_path):
    recursive = {"a": 1}
    recursive["self"] = recursive
    looped = [1]
    looped.append(looped)
    cases = [
        "plain root", "", None, 3, -2.5, float("nan"), float("inf"), -float("inf"), True,
        1e17, 10**400 // 10**100, "x" * 300, ("word " * 40).strip(), "a" + " " * 90 + "b",
        "'" * 100, '"' * 100, "é" * 100, "😀 " * 60, "\n".join(["line"] * 5),
        recursive, looped, [[[[]]]], [{}], {"k": [{"a": 1, "b": [2]}]},
        {"x" * 122: 1, "x" * 123: 2, "é" * 130: [1], 10**130: "long int key", "": 0},
        {"multi\nline key": {"v": 1}, "ends ": 1, (" lead"): 2},
        {"a": "x" * 79 + " y z", "b": "-" * 85 + " ' \" \\ " * 9},
        {"dq": "\x00 " * 50, "sq": "a  b   c " * 20, "mixed": "é\u2028x " * 30},
        [1e16, 1.5e16, 1e-5, 123456789012345678.0, -0.0, 2.0**70],
        {True: 1, 1.5: 2, None: 3, -7: 4},
        {1: "a", "b": 2, None: 3},  # keys that do not sort keep their order
        {float("nan"): 1, 2: 2},
    ]
    for case in cases:
        for options in ({}, {"sort_keys": True}, {"default_flow_style": None},
                        {"default_flow_style": True}, {"allow_unicode": False, "indent": 4}):
            assert_same(tmp_path, case, **options)


def test_modes_and_encodings_through_the_stand_in(tmp_path):
    data = {"a": ["é", "😀", {"k": None}], "b": "x\ny"}
    for mode, encoding in [("w", None), ("a", None), ("w", "utf-8"), ("w", "utf-16"),
                           ("a", "latin-1"), ("w", "UTF_8"), ("w+", "utf-8-sig")]:
        options = {"encoding": encoding, "allow_unicode": encoding != "latin-1"}
        assert_same(tmp_path, data, mode=mode, **options)
    # What the stand-in refuses goes to the library, which fails as it fails.
    path = tmp_path / "keep.yaml"
    path.write_text("keep\n")
    with pytest.raises(UnicodeEncodeError) as info:
        dict_write_yaml({"f": "é"}, str(path), "w", encoding="ascii")
    with open(tmp_path / "twin.yaml", "w", encoding="ascii") as f, \
            pytest.raises(UnicodeEncodeError) as twin:
        yaml.dump({"f": "é"}, f, **{**DEFAULTS, "encoding": "ascii"})
    assert str(info.value) == str(twin.value)
    assert path.read_text() == "keep\n"
    # An int past the host's digit limit: the library's own error.
    with pytest.raises(ValueError, match="digits"):
        dict_write_yaml({"n": 10**5000}, str(path))
    assert path.read_text() == "keep\n"


# --- documents found on this machine ----------------------------------------------------------

def machine_yaml_files(limit=150, max_bytes=300_000):
    found = []
    for root in ["/usr", "/etc", "/opt", "/root", "/work/main"]:
        for directory, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if not d.startswith(".") and d != "proc"]
            for name in sorted(files):
                if name.endswith((".yaml", ".yml")):
                    path = pathlib.Path(directory, name)
                    with contextlib.suppress(OSError):
                        if 0 < path.stat().st_size <= max_bytes:
                            found.append(path)
                if len(found) >= limit:
                    return found
    return found


def test_yaml_files_on_this_machine_load_and_dump_the_same(tmp_path):
    documents = []
    for path in machine_yaml_files():
        with contextlib.suppress(Exception):
            documents.extend(d for d in yaml.safe_load_all(path.read_text(encoding="utf-8"))
                             if d is not None)
    if not documents:
        pytest.skip("no YAML files on this machine")
    for document in documents:
        for options in ({}, {"sort_keys": True, "allow_unicode": False},
                        {"default_flow_style": None, "indent": 4}):
            with library_calls() as calls:
                got = ours(tmp_path, document, **options)
            assert got == library_bytes(tmp_path, document, **options)
            assert calls[0] <= 1  # dates and the like go to the library


# --- what goes to the library -----------------------------------------------------------------

class Sub(dict):
    pass


class Text(str):
    pass


class Point:
    def __init__(self, x):
        self.x = x


def test_data_that_is_not_plain_goes_to_the_library(tmp_path):
    deep = current = []
    for _ in range(150):
        current.append([])
        current = current[0]
    for data in [(1, 2), {"a": (1,)}, Sub(a=1), {"a": Text("x")}, {Text("k"): 1}, {(1, 2): 3},
                 [{1, 2}], {"d": datetime.date(2024, 1, 2)}, [b"bytes"], {"p": Point(3)},
                 [1 + 2j], {"f": frozenset()}, deep]:
        assert_same(tmp_path, data, native=False)


def test_options_that_are_not_modelled_go_to_the_library(tmp_path):
    data = {"a": [1, "x y"], "b": None}
    for options in [{"canonical": True}, {"default_style": '"'}, {"default_style": "'"},
                    {"default_style": "|"}, {"indent": 2.5}, {"default_flow_style": 1},
                    {"allow_unicode": 1}, {"sort_keys": "yes"}, {"canonical": 0}]:
        assert_same(tmp_path, data, native=False, **options)


def changed_library_settings():
    """Each change to the library that its output may depend on, undone by
    the context manager."""
    def set_attr(owner, name, value):
        @contextlib.contextmanager
        def change():
            had = name in vars(owner)
            old = vars(owner).get(name)
            setattr(owner, name, value)
            try:
                yield
            finally:
                if had:
                    setattr(owner, name, old)
                else:
                    delattr(owner, name)
        return change

    def in_place(table, key, value):
        @contextlib.contextmanager
        def change():
            had = key in table
            old = table.get(key)
            table[key] = value
            try:
                yield
            finally:
                if had:
                    table[key] = old
                else:
                    del table[key]
        return change

    def appended(table_owner, first, entry):
        @contextlib.contextmanager
        def change():
            lists = table_owner.yaml_implicit_resolvers
            lists[first].append(entry)
            try:
                yield
            finally:
                lists[first].pop()
        return change

    def function_attr(function, name, value):
        @contextlib.contextmanager
        def change():
            old = getattr(function, name)
            setattr(function, name, value)
            try:
                yield
            finally:
                setattr(function, name, old)
        return change

    @contextlib.contextmanager
    def path_resolver():
        had = "yaml_path_resolvers" in vars(yaml.Dumper)
        yaml.Dumper.add_path_resolver("!x", [(dict, "nope")], dict)
        try:
            yield
        finally:
            if not had:
                del yaml.Dumper.yaml_path_resolvers

    def shout(self, data):
        return self.represent_scalar("tag:yaml.org,2002:str", data.upper())

    loud = yaml.representer.SafeRepresenter.represent_str
    resolver = yaml.resolver.Resolver
    yes = ("tag:yaml.org,2002:bool", __import__("re").compile("^(?:maybe)$"))
    return [
        set_attr(yaml, "dump", lambda data, stream, **kw: yaml.dump_all([data], stream, **kw)),
        set_attr(yaml, "Dumper", yaml.SafeDumper),
        set_attr(yaml, "dump_all", lambda documents, stream=None, _all=yaml.dump_all, **kw: _all(
            documents, stream, **{**kw, "width": 20})),
        set_attr(yaml.Dumper, "yaml_representers", {**yaml.Dumper.yaml_representers, str: shout}),
        in_place(yaml.representer.Representer.yaml_representers, str, shout),
        in_place(yaml.representer.Representer.yaml_multi_representers, object, loud),
        set_attr(yaml.emitter.Emitter, "ESCAPE_REPLACEMENTS",
                 {**yaml.emitter.Emitter.ESCAPE_REPLACEMENTS, "é": "E"}),
        in_place(yaml.emitter.Emitter.ESCAPE_REPLACEMENTS, "\t", "T"),
        set_attr(yaml.emitter.Emitter, "write_plain", yaml.emitter.Emitter.write_single_quoted),
        set_attr(yaml.serializer.Serializer, "ANCHOR_TEMPLATE", "ref%d"),
        set_attr(yaml.representer.SafeRepresenter, "ignore_aliases", lambda self, data: True),
        appended(resolver, "m", yes) if "m" in resolver.yaml_implicit_resolvers else
        in_place(resolver.yaml_implicit_resolvers, "m", [yes]),
        appended(resolver, "y", yes),
        path_resolver,
        set_attr(yaml.Dumper, "yaml_implicit_resolvers", {}),
        function_attr(yaml.dump, "__defaults__", (None, yaml.SafeDumper)),
        # Run with the library's globals, where `dump_all` is defined.
        function_attr(yaml.dump, "__code__", (lambda data, stream=None, Dumper=None, **kw: dump_all(  # noqa: F821
            [data], stream, width=30, **kw)).__code__),
        function_attr(yaml.dump_all, "__kwdefaults__", {"x": 1}),
        in_place(vars(yaml.emitter), "ScalarAnalysis",
                 type("ScalarAnalysis", (yaml.emitter.ScalarAnalysis,), {})),
    ]


def test_a_changed_library_goes_to_the_library_until_put_back(tmp_path, rebind):
    shared = [1]
    data = {"maybe": "yes", "e": "é\t", "m": "x", "s": [shared, shared], "t": "plain " * 20}
    for change in changed_library_settings():
        assert_same(tmp_path, data)
        with change():
            with library_calls() as calls:
                got = ours(tmp_path, data)
            assert calls[0] >= 1
            assert got == library_bytes(tmp_path, data)
        assert_same(tmp_path, data)  # put back: native again
    # The module's own `yaml` global rebound to something that is not the library.
    fake = type(sys)("fake_yaml")
    fake.dump = lambda data, stream, **kw: stream.write("fake\n")
    rebind(treekit, "yaml", fake)
    assert ours(tmp_path, {"a": 1}) == b"fake\n"


def test_sorting_errors_are_the_librarys_own(tmp_path):
    # The representer leaves keys that do not sort in insertion order; values
    # take part in the comparison only for keys that compare equal.
    nan = float("nan")
    for data in [{1: 1, "a": 2}, {None: 1, 0: 2}, {nan: [1], float("nan"): {2: 3}},
                 {nan: {"a": 1}, float("nan"): {"b": 2}}]:
        assert_same(tmp_path, data, sort_keys=True)


@settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.lists(st.text(st.sampled_from(list("0123456789-+:._ eExXbBoTtZ\tnulaINFyYsO~<=!&*")),
                        max_size=28), min_size=50, max_size=400),
       st.lists(st.sampled_from(LOOK_ALIKES), max_size=20))
def test_plain_or_quoted_as_the_resolver_reads_it(tmp_path, texts, alikes):
    # Number, date and word look-alikes: each one quoted exactly when the
    # library's implicit resolvers would read its plain form as another type.
    dates = [f"{y:04}-{m}-{d} {h}:{mi:02}:{s:02}{f}{z}" for y, m, d, h, mi, s, f, z in zip(
        [2001, 99, 12345], ["1", "12", "123"], ["9", "09", "310"], ["1", "23", "123"], [0, 59, 7],
        [5, 60, 1], ["", ".", ".123"], ["", " Z", "+05:30", "\t-5", " +1:2"])]
    assert_same(tmp_path, texts + alikes + dates + [t + "\n" for t in texts[:20]])


LIBRARY_CHANGED_BEFORE_THE_FIRST_USE = {
    "tables": """
        yaml.add_representer(float, lambda d, v: d.represent_scalar("!f", repr(v)))
        yaml.FullLoader.add_constructor("tag:yaml.org,2002:int", lambda loader, node: "custom")
    """,
    # the usual way to write no anchors, and a mapping built another way
    "methods": """
        yaml.Dumper.ignore_aliases = lambda self, data: True
        construct_mapping = yaml.FullLoader.construct_mapping
        yaml.FullLoader.construct_mapping = (
            lambda self, node, deep=False: dict(construct_mapping(self, node, deep), seen=1))
    """,
    "entry points": """
        dump, load = yaml.dump, yaml.load
        yaml.dump = lambda data, stream=None, **options: dump(data, stream, **options, width=5)
        yaml.load = lambda stream, Loader: {"loaded": load(stream, Loader)}
    """,
}


@pytest.mark.parametrize("change", list(LIBRARY_CHANGED_BEFORE_THE_FIRST_USE))
def test_the_library_changed_before_the_first_use_is_honoured(tmp_path, change):
    # Each in a fresh interpreter: what the native paths model is kept at the
    # first use, and a library changed before it is not what they model.
    code = textwrap.dedent("""
        import sys, yaml
        from tarvex_func.function import textkit, treekit
        path = sys.argv[1]
    """) + textwrap.dedent(LIBRARY_CHANGED_BEFORE_THE_FIRST_USE[change]) + textwrap.dedent("""
        shared = ["a long item", "another"]
        data = {"x": 1.5, "n": 1, "s": shared, "t": shared}
        for _ in range(2):
            treekit.dict_write_yaml(data, path)
            with open(path) as f:
                written = f.read()
            with open(path, "w") as f:
                yaml.dump(data, f, default_style="", default_flow_style=False, allow_unicode=True,
                          sort_keys=False)
            with open(path) as f:
                assert written == f.read(), written
            with open(path, "w") as f:
                f.write("x: 1.5\\nn: 1\\nm: {a: 1}\\n")
            with open(path) as f:
                expected = yaml.load(f, Loader=yaml.FullLoader)
            assert textkit.str_read_yaml(path) == expected, expected
    """)
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "t.yaml")],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
