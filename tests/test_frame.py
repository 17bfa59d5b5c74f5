"""The function type, argument binding, module loading and traceback entries,
seen through setkit and quantkit."""

import gc
import importlib
import inspect
import os
import pickle
import shutil
import subprocess
import sys
import sysconfig
import traceback
import types
import warnings
import weakref
from pathlib import Path

import pytest

from tarvex_func.function import quantkit, setkit, textkit

FUNCTION_TYPE = type(setkit.list_diff)


def run_python(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_module_loads_once_under_both_names():
    assert sys.modules["setkit"] is setkit
    assert sys.modules["quantkit"] is quantkit
    assert setkit.__name__ == "tarvex_func.function.setkit"
    assert setkit.__doc__ and setkit.__file__.endswith(".so")
    assert setkit.__package__ == "tarvex_func.function"
    assert setkit.__test__ == {} and setkit.__builtins__ is __import__("builtins")
    assert quantkit.datetime is __import__("datetime")
    assert not hasattr(setkit, "__path__")

    del sys.modules["tarvex_func.function.setkit"]
    try:
        again = importlib.import_module("tarvex_func.function.setkit")
    finally:
        sys.modules["tarvex_func.function.setkit"] = setkit
    assert again is setkit and again.list_diff is setkit.list_diff
    assert importlib.reload(setkit) is setkit


def test_existing_bare_name_entry_is_left_alone():
    out = run_python(
        "import sys; sys.modules['setkit'] = 'mine'\n"
        "import tarvex_func.function.setkit as s\n"
        "print(sys.modules['setkit'], type(s.list_diff).__name__)"
    )
    assert out.split() == ["mine", "tarvex_function"]


def test_one_function_type_for_all_modules():
    assert type(quantkit.number_time) is FUNCTION_TYPE
    assert sys.modules["_tarvex_shared"].function_type is FUNCTION_TYPE
    with pytest.raises(TypeError):
        FUNCTION_TYPE()
    assert not inspect.isfunction(setkit.list_diff)


def test_function_attributes():
    f = setkit.list_diff
    assert f.__module__ == "setkit"
    assert f.__name__ == f.__qualname__ == f.func_name == "list_diff"
    assert f.__doc__ == f.func_doc == "list_diff(list1, list2)"
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert f.__closure__ is None and f.func_closure is None
    assert f.__globals__ is vars(setkit) is f.func_globals
    assert f._is_coroutine is False
    assert f.__annotations__ == {}
    assert repr(f) == f"<tarvex_function list_diff at {id(f):#x}>"
    assert quantkit.number_time.__defaults__ == ("%Y-%m-%d %H:%M:%S.%f",)
    assert quantkit.number_time.__doc__ == "number_time(x, fmt=u'%Y-%m-%d %H:%M:%S.%f')"


def test_code_objects_describe_the_parameters():
    code = quantkit.number_time.__code__
    assert code.co_argcount == 2 and code.co_flags == 3
    assert code.co_varnames == ("x", "fmt", "datetime_object", "e")
    assert code.co_firstlineno == 25 and code.co_name == "number_time"
    assert setkit.list_set.__code__.co_varnames == ("list1",)
    assert str(inspect.signature(setkit.list_diff)) == "(list1, list2)"
    assert str(inspect.signature(quantkit.number_time)) == "(x, fmt='%Y-%m-%d %H:%M:%S.%f')"


def test_attribute_writes_and_deletes():
    f = setkit.list_set
    try:
        f.__doc__ = "other"
        assert f.__doc__ == "other"
        del f.__doc__
        assert f.__doc__ is None

        for name, message in [("__name__", "__name__"), ("__qualname__", "__qualname__")]:
            with pytest.raises(TypeError, match=f"^{message} must be set to a string object$"):
                setattr(f, name, 1)
            with pytest.raises(TypeError, match=f"^{message} must be set to a string object$"):
                delattr(f, name)
        f.__name__ = "renamed"
        assert f.__name__ == "renamed"

        f.custom = 5
        assert f.__dict__ == {"custom": 5}
        with pytest.raises(TypeError, match="^function's dictionary may not be deleted$"):
            del f.__dict__
        with pytest.raises(TypeError, match="^setting function's dictionary to a non-dict$"):
            f.__dict__ = []
        f.__dict__ = {}
        assert not hasattr(f, "custom")
        # As for the host's functions, the instance's own entries come before
        # the type's methods, and a replaced dictionary is the one read.
        f.__dict__ = replaced = {"__reduce__": lambda: "own"}
        assert f.__reduce__() == "own" and f.__dict__ is replaced
        del f.__reduce__
        assert f.__reduce__() == f.__qualname__ and replaced == {}
        with pytest.raises(AttributeError, match="has no attribute 'custom'"):
            del f.custom

        for name in ["__globals__", "__closure__", "__code__", "_is_coroutine"]:
            with pytest.raises(AttributeError):
                setattr(f, name, None)

        with pytest.raises(TypeError, match="^__annotations__ must be set to a dict object$"):
            f.__annotations__ = 1
        f.__annotations__ = {"a": 1}
        assert f.__annotations__ == {"a": 1}
        f.__annotations__ = None
        assert f.__annotations__ == {}

        f.__module__ = 7
        assert f.__module__ == 7
    finally:
        f.__doc__ = "list_set(list1)"
        f.__name__ = "list_set"
        f.__module__ = "setkit"
        f.__dict__ = {}
    assert weakref.ref(f)() is f


def test_defaults_store_warns_and_calls_keep_the_fixed_default():
    f = quantkit.number_time
    try:
        with pytest.warns(RuntimeWarning, match="__defaults__ will not currently affect"):
            f.__defaults__ = ("%Y",)
        assert f.__defaults__ == ("%Y",)
        assert len(f(0)) == len("1970-01-01 00:00:00.000000")
        with pytest.raises(TypeError, match="^__defaults__ must be set to a tuple object$"):
            f.__defaults__ = ["%Y"]
        with pytest.warns(RuntimeWarning, match="__kwdefaults__ will not currently affect"):
            f.__kwdefaults__ = {"fmt": "%Y"}
        with pytest.raises(TypeError, match="^__kwdefaults__ must be set to a dict object$"):
            f.__kwdefaults__ = 1
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning):
                f.__defaults__ = ("%m",)
            assert f.__defaults__ == ("%Y",)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for store in (lambda: setattr(f, "__defaults__", None),
                          lambda: delattr(f, "__defaults__"),
                          lambda: setattr(f, "__kwdefaults__", None),
                          lambda: delattr(f, "__kwdefaults__")):
                with pytest.raises(RuntimeWarning, match="will not currently affect"):
                    store()
            assert f.__defaults__ == ("%Y",) and f.__kwdefaults__ == {"fmt": "%Y"}
    finally:
        with pytest.warns(RuntimeWarning, match="__kwdefaults__ will not currently affect"):
            del f.__kwdefaults__
        with pytest.warns(RuntimeWarning, match="__defaults__ will not currently affect"):
            f.__defaults__ = None
    assert f.__defaults__ is None and f.__kwdefaults__ is None
    assert len(f(0)) == len("1970-01-01 00:00:00.000000")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: setkit.list_diff([1]), "list_diff() takes exactly 2 positional arguments (1 given)"),
        (lambda: setkit.list_set([1], [2]), "list_set() takes exactly 1 positional argument (2 given)"),
        (lambda: setkit.list_set(), "list_set() takes exactly 1 positional argument (0 given)"),
        (lambda: quantkit.number_time(), "number_time() takes at least 1 positional argument (0 given)"),
        (lambda: quantkit.number_time(1, 2, 3), "number_time() takes at most 2 positional arguments (3 given)"),
        (lambda: quantkit.number_time(fmt="%Y"), "number_time() takes at least 1 positional argument (0 given)"),
        (lambda: quantkit.number_time(1, x=2), "number_time() got multiple values for keyword argument 'x'"),
        (lambda: setkit.list_diff([1], foo=2), "list_diff() takes exactly 2 positional arguments (1 given)"),
        (lambda: setkit.list_diff(list2=[1], foo=2), "list_diff() takes exactly 2 positional arguments (0 given)"),
        (lambda: setkit.list_diff([1], [2], foo=2), "list_diff() got an unexpected keyword argument 'foo'"),
        (lambda: setkit.list_diff([1], list2=[2], list1=[3]), "list_diff() got multiple values for keyword argument 'list1'"),
        (lambda: setkit.list_diff([1], bar=1, list1=[3], list2=[]), "list_diff() got an unexpected keyword argument 'bar'"),
        (lambda: quantkit.number_str(**{"x": 1, 5: 2}), "keywords must be strings"),
        (lambda: FUNCTION_TYPE.__call__(setkit.list_set, [1], **{"list1": 2}), "list_set() got multiple values for keyword argument 'list1'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value).endswith(message)


def test_keyword_binding_matches_positional():
    assert setkit.list_diff(list2=[2], list1=[1, 2]) == [1]
    assert setkit.list_diff([1, 2], list2=[2]) == [1]
    name = "".join(["li", "st1"])  # an equal but not interned keyword
    assert setkit.list_set(**{name: [4]}) == [4]
    assert quantkit.number_time(0, fmt="%Y") == quantkit.number_time(0, "%Y")
    assert FUNCTION_TYPE.__call__(setkit.list_set, list1=[3]) == [3]


def test_binding_as_a_method():
    class Holder(list):
        diff = setkit.list_diff

    h = Holder([1, 2])
    assert Holder.diff is setkit.list_diff
    bound = h.diff
    assert isinstance(bound, types.MethodType) and bound.__self__ is h
    assert h.diff([2]) == [1] and h.diff(list2=[1]) == [2]
    assert setkit.list_diff.__get__(None, Holder) is setkit.list_diff
    with pytest.raises(TypeError, match=r"list_diff\(\) takes exactly 2 positional arguments \(3 given\)"):
        h.diff([1], [2])


def test_pickle_stores_a_reference():
    data = pickle.dumps(setkit.list_diff)
    assert b"setkit" in data and b"list_diff" in data
    assert pickle.loads(data) is setkit.list_diff
    assert setkit.list_diff.__reduce__() == "list_diff"


def frames_of(error):
    return [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(error.__traceback__)]


def test_traceback_entries_name_the_module_function_and_line():
    with pytest.raises(TypeError) as info:
        setkit.list_diff(5, [])
    assert frames_of(info.value)[-1] == ("setkit.py", 13, "setkit.list_diff")
    assert "not iterable" in str(info.value)

    with pytest.raises(TypeError) as info:
        setkit.list_diff([1])
    assert frames_of(info.value)[-1] == ("setkit.py", 12, "setkit.list_diff")

    with pytest.raises(ValueError) as info:
        quantkit.number_int("1.5")
    assert frames_of(info.value)[-1] == ("quantkit.py", 18, "quantkit.number_int")
    text = "".join(traceback.format_exception(info.value))
    assert 'File "quantkit.py", line 18, in quantkit.number_int' in text


def test_traceback_code_objects_are_cached_per_line():
    def last_code():
        try:
            setkit.list_set(1)
        except TypeError as error:
            tb = error.__traceback__
            while tb.tb_next:
                tb = tb.tb_next
            return tb.tb_frame.f_code

    first, second = last_code(), last_code()
    assert first is second and first.co_firstlineno == 17


def test_unbounded_recursion_raises_recursion_error():
    class Recursive:
        def __hash__(self):
            return hash(tuple(setkit.list_set([Recursive()])))

    with pytest.raises(RecursionError):
        setkit.list_set([Recursive()])
    result = subprocess.run([sys.executable, "-c", SMALL_STACK_RECURSION.replace(
        "threading.stack_size(int(sys.argv[1]) * 1024)", "cases()\nsys.exit()")],
        capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["maximum recursion depth exceeded"] * 4, result.stdout


SMALL_STACK_RECURSION = """
import os, sys, threading, types
from tarvex_func.function import setkit, textkit

class Recursive:
    def __hash__(self):
        return hash(tuple(setkit.list_set([Recursive()])))

class Fresh:
    def __hash__(self):
        setkit.list_set([Fresh()])
        return 0

endless = types.SimpleNamespace(isfile=lambda p: False, isdir=lambda p: True,
                                join=lambda a, b: "d", basename=os.path.basename)
textkit.os = types.SimpleNamespace(name="posix", path=endless, listdir=lambda p: ["d"])

def outcome(call):
    try:
        call()
    except RecursionError as error:
        return str(error)
    return "returned"

# Each resumption of a line generator tests its path, which resumes another.
resuming = types.SimpleNamespace(
    path=types.SimpleNamespace(isfile=lambda p: next(textkit.str_read_line(p), None)))

def resumed_generators():
    saved, textkit.os = textkit.os, resuming
    try:
        return outcome(lambda: next(textkit.str_read_line("p"), None))
    finally:
        textkit.os = saved

def cases():
    print(outcome(lambda: setkit.list_set([Recursive()])))
    print(outcome(lambda: setkit.list_set([Fresh()])))
    print(outcome(lambda: textkit.str_files_dict("top")))
    print(resumed_generators())

threading.stack_size(int(sys.argv[1]) * 1024)
thread = threading.Thread(target=cases)
thread.start()
thread.join()
"""


@pytest.mark.skipif("libasan" in __import__("os").environ.get("LD_PRELOAD", ""),
                    reason="instrumented frames are several times larger")
@pytest.mark.parametrize("kib", [256, 384, 512, 768])
def test_recursion_in_a_thread_with_a_small_stack_raises_recursion_error(kib):
    result = subprocess.run([sys.executable, "-c", SMALL_STACK_RECURSION, str(kib)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 4 and all(line.startswith("maximum recursion depth exceeded")
                                   for line in lines), result.stdout


def test_a_failed_exec_reports_init_and_a_later_import_starts_afresh():
    out = run_python(
        "import sys, traceback\n"
        "sys.modules['datetime'] = None\n"
        "try:\n"
        "    import tarvex_func.function.quantkit\n"
        "except ImportError as e:\n"
        "    last = traceback.extract_tb(e.__traceback__)[-1]\n"
        "    print(type(e).__name__, last.filename, last.lineno, last.name)\n"
        "del sys.modules['datetime']\n"
        "from tarvex_func.function import quantkit\n"
        "print(quantkit.number_time(0, '%Y') in ('1969', '1970'), sys.modules['quantkit'] is quantkit)\n"
    )
    assert out.split("\n")[:2] == ["ModuleNotFoundError quantkit.py 10 init quantkit", "True True"]


def test_a_foreign_function_type_in_the_registry_is_refused():
    out = run_python(
        "import sys, types\n"
        "registry = types.ModuleType('_tarvex_shared')\n"
        "registry.function_type = 5\n"
        "sys.modules['_tarvex_shared'] = registry\n"
        "try:\n"
        "    import tarvex_func.function.setkit\n"
        "except TypeError as e:\n"
        "    print('TypeError')\n"
    )
    assert out.strip() == "TypeError"


def test_a_second_interpreter_is_refused():
    out = run_python(
        "import _interpreters\n"
        "import tarvex_func.function.setkit\n"
        "interp = _interpreters.create('legacy')\n"
        "error = _interpreters.run_string(interp, 'import tarvex_func.function.setkit')\n"
        "print(error.type.__name__, error.msg)\n"
    )
    assert out.strip() == (
        "ImportError Interpreter change detected - this module can only be loaded into one "
        "interpreter per process."
    )


# A type of the same instance size as the package's, under the registry's key:
# a plain class with enough slots, and the real type of this build whose mark
# names another build (as a copy built from other sources would leave it).
SAME_SIZE_FOREIGN_TYPE = (
    "slots = (FUNCTION_SIZE - object.__basicsize__) // 8\n"
    "foreign = type('Foreign', (), {'__slots__': tuple(f's{i}' for i in range(slots))})\n"
    "assert foreign.__basicsize__ == FUNCTION_SIZE\n"
    "registry.function_type = foreign\n"
)
OTHER_BUILDS_MARK = (
    "import ctypes\n"
    "api = ctypes.pythonapi\n"
    "api.PyCapsule_New.restype = ctypes.py_object\n"
    "api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]\n"
    "api.PyCapsule_SetContext.argtypes = [ctypes.py_object, ctypes.c_void_p]\n"
    "name, tag = ctypes.create_string_buffer(b'_tarvex_shared.abi_mark'), ctypes.create_string_buffer(b'another build')\n"
    "mark = api.PyCapsule_New(id(REAL_TYPE), name, None)\n"
    "api.PyCapsule_SetContext(mark, ctypes.addressof(tag))\n"
    "registry.function_type, registry.function_type_abi = REAL_TYPE, mark\n"
)


@pytest.mark.parametrize("planted", [SAME_SIZE_FOREIGN_TYPE, OTHER_BUILDS_MARK])
def test_a_shared_type_of_another_build_is_refused_without_a_crash(planted):
    out = run_python(
        "import sys, gc\n"
        "import tarvex_func.function.setkit as setkit\n"
        "REAL_TYPE = type(setkit.list_diff)\n"
        "FUNCTION_SIZE = REAL_TYPE.__basicsize__\n"
        "registry = sys.modules['_tarvex_shared']\n"
        + planted
        # hubkit is the one module not loaded yet: its import meets the planted type.
        + "try:\n"
        "    import tarvex_func.hubkit\n"
        "except TypeError as e:\n"
        "    print(e)\n"
        "gc.collect()\n"
        "print('alive')\n"
    )
    assert out.split("\n")[:2] == [
        "_tarvex_shared.function_type is not the tarvex_function of this build",
        "alive",
    ]


def test_keywords_in_parameter_order_bind_like_any_other_call():
    when = quantkit.number_time(0, "%Y")
    assert quantkit.number_time(0, fmt="%Y") == quantkit.number_time(x=0, fmt="%Y") == when
    assert quantkit.number_time(fmt="%Y", x=0) == when
    assert quantkit.number_time(x=0) == quantkit.number_time(0) == quantkit.number_time(
        0, "%Y-%m-%d %H:%M:%S.%f")
    fmt = "".join(["f", "mt"])  # equal to the parameter name, not the same object
    assert quantkit.number_time(0, **{fmt: "%Y"}) == when
    with pytest.raises(TypeError, match=r"takes at most 2 positional arguments \(3 given\)"):
        quantkit.number_time(0, "%Y", 1)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'x'"):
        quantkit.number_time(0, x=0)
    with pytest.raises(TypeError, match="unexpected keyword argument 'y'"):
        quantkit.number_time(x=0, y=0)
    with pytest.raises(TypeError, match=r"takes at least 1 positional argument \(0 given\)"):
        quantkit.number_time(fmt="%Y")


FRAME_DIR = Path(__file__).resolve().parent.parent / "src" / "frame"
PROBE = """
#include "frame.hpp"
using namespace tarvex;
namespace {
constexpr Spec spec{.name = "f", .doc = "f(x, *args)", .line = 1, .params = {"x"} DEFAULTS,
                    .star_args = "args"};
Ref body(Site&, PyObject* x, PyObject* args BODY_EXTRA) BODY_NOEXCEPT { return borrow(x); }
constexpr Spec spare_spec{.name = "g", .doc = "g(x)", .line = 2, .params = {"x"}};
Ref spare(Site&, PyObject* x) { return borrow(x); }
Keywords<"a b"> two_names;
Ref keyword_call(PyObject* f) { return call_with_keywords(f, {f}, two_names, {KEYWORD_VALUES}); }
constexpr Statement statements[] = {def<spec, body>() MORE_STATEMENTS};
} // namespace
const Statement* table() { keyword_call(nullptr); return statements; }
"""
CORRECT = {"DEFAULTS": "", "BODY_EXTRA": "", "BODY_NOEXCEPT": "",
           "KEYWORD_VALUES": "f, f", "MORE_STATEMENTS": ", def<spare_spec, spare>()"}


@pytest.mark.skipif(not shutil.which("c++") or not FRAME_DIR.is_dir(),
                    reason="needs a C++ compiler and the sources")
@pytest.mark.slow
def test_a_definition_that_disagrees_with_its_spec_does_not_compile(tmp_path):
    source = tmp_path / "probe.cpp"
    source.write_text(PROBE)
    # The build's own flags for an unused body (CMakeLists.txt).
    command = ["c++", "-std=c++20", "-c", "-o", os.devnull, "-Wall", "-Werror=unused-function",
               f"-I{FRAME_DIR}", f"-I{sysconfig.get_paths()['include']}", str(source)]
    mistakes = [
        ({}, None),
        ({"BODY_EXTRA": ", PyObject*"}, "the body's parameters differ from its spec"),
        ({"DEFAULTS": ", .defaults = {Default::none(), Default::none()}"},
         "more defaults than parameters"),
        ({"DEFAULTS": ", .defaults = {Default{}, Default::none()}"}, "without gaps"),
        ({"BODY_NOEXCEPT": "noexcept"}, "a body is not declared noexcept"),
        ({"KEYWORD_VALUES": "f"}, "as many values as its Keywords has names"),
        ({"KEYWORD_VALUES": "f, f, f"}, "as many values as its Keywords has names"),
        ({"MORE_STATEMENTS": ""}, "spare"),
    ]
    for change, message in mistakes:
        macros = [f"-D{name}={value}" for name, value in {**CORRECT, **change}.items()]
        done = subprocess.run(command + macros, capture_output=True, text=True)
        assert (done.returncode == 0) == (message is None), (change, done.stderr[-3000:])
        if message:
            assert message in done.stderr, (change, done.stderr[-3000:])


def test_a_generator_takes_its_function_name_at_the_call(monkeypatch):
    first = textkit.str_read_line("missing")
    assert first.__name__ == "str_read_line" and first.__name__ is textkit.str_read_line.__name__
    monkeypatch.setattr(textkit.str_read_line, "__name__", "renamed")
    renamed = textkit.str_read_line("missing")
    assert renamed.__name__ == "renamed" and first.__name__ == "str_read_line"
    assert renamed.__qualname__ == "str_read_line"


STACK_LIMIT_RAISED = """
import resource, sys
from tarvex_func.function import quantkit
sys.setrecursionlimit(1_000_000)
depth = 0
class Node:
    def __str__(self):
        global depth
        depth += 1
        return quantkit.number_str(self)
def reach():
    global depth
    depth = 0
    try:
        str(Node())
    except RecursionError as error:
        return depth, str(error)
first, _ = reach()
resource.setrlimit(resource.RLIMIT_STACK, (8 * 1024 * 1024, resource.RLIM_INFINITY))
after, stopped_by = reach()
print(first, after)
print(stopped_by)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the main thread's stack limit")
def test_the_stack_guard_follows_a_raised_stack_limit_of_the_main_thread():
    import resource

    if resource.getrlimit(resource.RLIMIT_STACK)[1] != resource.RLIM_INFINITY:
        pytest.skip("the hard stack limit is fixed")

    def small_stack():
        resource.setrlimit(resource.RLIMIT_STACK, (400 * 1024, resource.RLIM_INFINITY))

    done = subprocess.run([sys.executable, "-c", STACK_LIMIT_RAISED], capture_output=True,
                          text=True, timeout=120, preexec_fn=small_stack)
    assert done.returncode == 0, done.stderr[-2000:]
    depths, stopped_by = done.stdout.splitlines()
    first, after = map(int, depths.split())
    # Once the limit is raised the host's own limit ends the recursion (its
    # recursion count, or on later versions the stack the thread started with),
    # not the guard, whose message is the bare one.
    assert stopped_by != "maximum recursion depth exceeded", (first, after)
    assert after >= first, (first, after)
