// The module frame shared by every tarvex_func extension module: what a
// module source includes.
//
// A module is written as a table: a `Spec` per function (signature text,
// definition line, parameters, defaults, locals), the function bodies, and a
// `ModuleDef` whose statement list runs at exec in source order.  Everything
// about loading, calling, binding arguments, looking up globals and reporting
// errors lives in the frame, once. This header holds what a module author
// writes against; the call path (call.hpp) and the generator machinery
// (generator_body.hpp) are the frame's own, and the writers' file stand-ins
// are in writing.hpp.
#pragma once

#include "call.hpp"
#include "definition.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>

namespace tarvex {

// ---------------------------------------------------------------------------
// Host operations as a body states them.

// Module global lookup: the module's globals, then builtins, else NameError.
Ref global(PyObject* name) noexcept;

inline Ref attr(PyObject* object, PyObject* name) noexcept
{
    return steal(PyObject_GetAttr(object, name));
}

// `name.a.b...`: a module global, then its attributes in turn
// (`global_attr(os_name, path_name, isfile_name)` is `os.path.isfile`).
template <class... Names>
inline Ref global_attr(PyObject* name, const Names&... attributes) noexcept
{
    Ref value = global(name);
    ((value = value ? attr(value, attributes) : Ref()), ...);
    return value;
}

namespace detail {

// The package's one dictionary watcher, shared by its modules: every event on
// a watched dictionary bumps `generation`; `id` is -1 when the interpreter
// had no watcher left, and nothing is cached then. Events come from whichever
// thread changes a dictionary, so the counter is atomic (a read is still a
// plain load on x86-64).
struct DictWatch {
    int id = -1;
    std::atomic<std::uint64_t> generation = 1;
};
extern DictWatch* dict_watch;

} // namespace detail

// Watches `dict` with the package's watcher: from now on any change to it
// moves `watched_generation()` on. False, with nothing pending, when the
// interpreter had no watcher left (the caller then checks at every use).
bool watch_dict(PyObject* dict) noexcept;
inline std::uint64_t watched_generation() noexcept
{
    return detail::dict_watch->generation.load(std::memory_order_acquire);
}

// `name.a.b...` as `global_attr` reads it, with the links read from
// dictionaries cached: the global from the module's globals or builtins, then
// each attribute of an exact module from its `__dict__`. The cache holds while
// no watched dictionary has changed and every module read from is still an
// exact module (its `__class__` can be assigned without touching a
// dictionary); the links past the first object that is not a module are read
// afresh on every call. Declared at namespace scope, after its names.
class GlobalChain {
public:
    template <class... Names>
    explicit GlobalChain(const Name& global, const Names&... attributes) noexcept
        : names_{&global, &attributes...},
          length_(1 + sizeof...(Names))
    {
        static_assert(sizeof...(Names) < max_links, "a longer chain than a cache holds");
    }
    GlobalChain(const GlobalChain&) = delete;
    GlobalChain& operator=(const GlobalChain&) = delete;

    Ref get() noexcept
    {
        int links = 0;
#ifdef Py_GIL_DISABLED
        Ref value = cached(links);
        if (!value)
            return fill();
#else
        if (generation_ != watched_generation() || !owners_are_modules())
            return fill();
        Ref value = borrow(value_);
        links = cached_;
#endif
        for (int i = links; value && i < length_; ++i)
            value = attr(value, *names_[i]);
        return value;
    }

private:
    static constexpr int max_links = 4;

    bool owners_are_modules() const noexcept
    {
        for (int i = 0; i < owner_count_; ++i)
            if (!Py_IS_TYPE(owners_[i], &PyModule_Type))
                return false;
        return true;
    }
    // The lookup from the start, caching what it read from dictionaries.
    Ref fill() noexcept;
    void publish(PyObject* value, int cached, PyObject* const* owners, int owner_count,
                 std::uint64_t generation) noexcept;
#ifdef Py_GIL_DISABLED
    // Without the GIL another thread may refill the cache at any time: the
    // cache is read and written under `lock_`, and it holds its modules.
    // The cached value, if the cache holds, and the links it stands for.
    Ref cached(int& links) noexcept;
    PyMutex lock_{};
#endif

    const Constant* names_[max_links];
    int length_;
    int cached_ = 0;                // leading links that `value_` stands for
    std::uint64_t generation_ = 0;  // of the cache; 0 never matches
    PyObject* value_ = nullptr;     // owned; kept for the life of the process
    PyObject* owners_[max_links]{}; // the modules read from (alive while the cache holds;
                                    // owned without the GIL)
    int owner_count_ = 0;
};

// What the import statement calls: `__import__(name, globals, {}, from_list,
// level)` with this module's globals and a new empty locals dict.
Ref import_name(PyObject* name, PyObject* from_list, int level) noexcept;

// `callable(args...)` with positional arguments.
// Arguments are taken by reference, so a `Ref` passes as it is.
template <class... Args> inline Ref call(PyObject* callable, const Args&... args) noexcept
{
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return steal(PyObject_Vectorcall(callable, stack + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// `object.name(args...)` with positional arguments.
template <class... Args>
inline Ref call_method(PyObject* object, PyObject* name, const Args&... args) noexcept
{
    PyObject* stack[] = {object, static_cast<PyObject*>(args)...};
    return steal(PyObject_VectorcallMethod(
        name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

namespace detail {
// `callable(*positional, **dict(zip(names, values)))`, the counts checked.
inline Ref call_with_keywords(PyObject* callable, PyObject* const* positional,
                              std::size_t npositional, PyObject* names, PyObject* const* values,
                              std::size_t nvalues) noexcept
{
    constexpr std::size_t most = 16;
    PyObject* stack[1 + most];
    stack[0] = nullptr;
    for (std::size_t i = 0; i < npositional; ++i)
        stack[1 + i] = positional[i];
    for (std::size_t i = 0; i < nvalues; ++i)
        stack[1 + npositional + i] = values[i];
    return steal(PyObject_Vectorcall(callable, stack + 1,
                                     npositional | PY_VECTORCALL_ARGUMENTS_OFFSET, names));
}
} // namespace detail

// `callable(*positional, **dict(zip(names, values)))`: the values of the
// keywords in the order of their names, as many as there are names.
template <std::size_t P, std::size_t V, FixedText Names>
inline Ref call_with_keywords(PyObject* callable, PyObject* const (&positional)[P],
                              const Keywords<Names>& names, PyObject* const (&values)[V]) noexcept
{
    static_assert(V == Keywords<Names>::count,
                  "a keyword call passes as many values as its Keywords has names");
    static_assert(P + V <= 16, "more arguments than a keyword call holds");
    return detail::call_with_keywords(callable, positional, P, names, values, V);
}

// `callable(**dict(zip(names, values)))`.
template <std::size_t V, FixedText Names>
inline Ref call_with_keywords(PyObject* callable, const Keywords<Names>& names,
                              PyObject* const (&values)[V]) noexcept
{
    static_assert(V == Keywords<Names>::count,
                  "a keyword call passes as many values as its Keywords has names");
    static_assert(V <= 16, "more arguments than a keyword call holds");
    return detail::call_with_keywords(callable, nullptr, 0, names, values, V);
}

inline Ref none() noexcept { return borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return borrow(value ? Py_True : Py_False); }

// Whether the pending exception derives from `Exception` (what an
// `except Exception` clause catches).
inline bool pending_is_ordinary() noexcept { return PyErr_ExceptionMatches(PyExc_Exception); }

// `except Exception: pass`: clears an ordinary pending exception and says so;
// anything else (KeyboardInterrupt, SystemExit) stays pending.
inline bool discard_ordinary() noexcept
{
    if (!pending_is_ordinary())
        return false;
    PyErr_Clear();
    return true;
}

// `except Exception as e: return e`: an ordinary pending exception, given
// this function's traceback entry first, becomes the result; anything else
// stays pending and the result is empty.
inline Ref exception_as_result(Site& site) noexcept
{
    if (!pending_is_ordinary())
        return {};
    site.report();
    return steal(PyErr_GetRaisedException());
}

// `with manager as value:` as the host runs it: `__enter__` and `__exit__`
// are looked up on the manager's type, and an exception raised in the block
// is passed to `__exit__`, which may suppress it.
class With {
public:
    // Enters the context; false with an exception pending when the manager
    // lacks the protocol or `__enter__` raises.
    bool enter(PyObject* manager) noexcept;
    // The value of `as`.
    PyObject* value() const noexcept { return value_; }

    // Leaves after the block ran to its end: `__exit__(None, None, None)`.
    bool exit() noexcept;

    enum class Outcome { raised, suppressed };
    // Leaves with the pending exception of the block. `raised`: an exception
    // is pending again (the block's, or one that `__exit__` raised from it);
    // `suppressed`: `__exit__` returned true and nothing is pending.
    Outcome exit_with_error() noexcept;

    // A statement of the block failed at the current line: the exception
    // gets that line's entry before `__exit__` sees it, and `__exit__` runs
    // at `with_line`, where an exception it raises gets its entry.
    Outcome leave_failed(Site& at, int with_line) noexcept;

    // For a `with` block held open across a generator's yield.
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    Ref manager_;
    Ref exit_;
    Ref value_;
};

// `with manager as value: result = body(value)`, with `manager` made at
// `with_line` (the current line) and the body's statement at `body_line`.
// Gives the body's result once `__exit__` has run; when the body raises and
// `__exit__` suppresses it, execution goes on after the block, and what that
// means is the caller's to say: `after_suppressed()` gives the result then.
// An empty `manager` (its making failed) is passed through.
template <class Body, class AfterSuppressed>
Ref with_block(Site& at, const Ref& manager, int with_line, int body_line, Body&& body,
               AfterSuppressed&& after_suppressed) noexcept
{
    With block;
    if (!manager || !block.enter(manager))
        return {};
    at.line(body_line);
    Ref result = body(block.value());
    if (!result)
        return block.leave_failed(at, with_line) == With::Outcome::suppressed ? after_suppressed()
                                                                              : Ref();
    at.line(with_line);
    return block.exit() ? std::move(result) : Ref();
}

// ---------------------------------------------------------------------------
// Generator functions.
//
// A generator body is a state machine: a frame struct that holds what the
// body keeps between resumptions (owned references, an open `with` block,
// where to go on), and a step function that runs from the start or the last
// yield to the next yield. `generator<Step>(at, Frame{...})` is the body of
// the generator function: it returns the generator object.

// One run of a generator body.
class Resumption {
public:
    Resumption(Site& site, int& frame_line, bool thrown) noexcept
        : site(site),
          frame_line_(frame_line),
          thrown_(thrown)
    {
    }

    // The function's own entries ("textkit.str_read_line" and its lines).
    Site& site;
    // Marks the generator frame's statement: an exception that leaves the
    // generator gets an entry named by its qualified name at this line.
    void line(int line) noexcept { frame_line_ = line; }
    // Resumed with an exception pending, to be raised at the yield (`throw`,
    // `close`, destruction).
    bool thrown() const noexcept { return thrown_; }

private:
    int& frame_line_;
    bool thrown_;
};

// The generator object of a call of a generator function; nothing of the
// body runs until its first `next()`.
template <auto Step, class Frame> Ref generator(Site& at, Frame&& frame) noexcept;

// ---------------------------------------------------------------------------
// Module definition and exec.

// A function definition whose body's parameters match its spec: the arity is
// checked when the module compiles, so a body cannot read past the bound
// parameters.
struct Definition {
    const Spec* spec;
    vectorcallfunc call;
};

template <const Spec& S, auto Body> constexpr Definition checked() noexcept
{
    static_assert(S.params_without_gaps(), "a spec lists its parameters without gaps");
    static_assert(S.default_count() <= S.param_count(),
                  "a spec has more defaults than parameters (*args and **kwargs take none)");
    static_assert(S.defaults_without_gaps(),
                  "a spec lists its defaults without gaps, one for each of its last parameters");
    static_assert(detail::Arity<decltype(Body)>::value == static_cast<std::size_t>(S.slot_count()),
                  "the body's parameters differ from its spec (counting *args and **kwargs)");
    return {&S, entry<Body>};
}

class Exec;

// One module-level statement, as a row of the module's table.
struct Statement {
    enum class Kind : unsigned char { import, import_from, define, run };
    Kind kind;
    int line = 0;
    const char* dotted = nullptr; // the module of an import
    const char* name = nullptr;   // the name of `from dotted import name`
    Definition definition{};      // the function of a `def`
    bool (*run)(Exec&) = nullptr; // any other statement
};

// `import dotted` at `line`.
constexpr Statement import_module(int line, const char* dotted) noexcept
{
    return {.kind = Statement::Kind::import, .line = line, .dotted = dotted};
}

// `from dotted import name` at `line`.
constexpr Statement import_from(int line, const char* dotted, const char* name) noexcept
{
    return {.kind = Statement::Kind::import_from, .line = line, .dotted = dotted, .name = name};
}

// `def` of the spec's function with `Body`, at the spec's line.
template <const Spec& S, auto Body> constexpr Statement def() noexcept
{
    return {.kind = Statement::Kind::define, .line = S.line, .definition = checked<S, Body>()};
}

// A statement the module writes out itself (a class definition and the like);
// it marks its own lines.
constexpr Statement run(bool (*statement)(Exec&)) noexcept
{
    return {.kind = Statement::Kind::run, .run = statement};
}

struct ModuleDef {
    const char* name; // the bare module name, "setkit"
    const char* doc;
    std::span<const Statement> statements; // module-level statements in source order
    // Whether all the module's shared state is safe without the GIL (declared
    // to free-threaded hosts with `Py_mod_gil`).
    bool runs_without_gil = false;

    // Whether some statement defines a generator function, which needs the
    // shared generator type ready before the first call.
    constexpr bool defines_generators() const noexcept
    {
        for (const Statement& statement : statements)
            if (statement.kind == Statement::Kind::define && statement.definition.spec->generator)
                return true;
        return false;
    }
};

// The exec step as the module's statements see it.
class Exec {
public:
    PyObject* globals() const noexcept;

    // Marks the module-level statement about to run, for its "init" entry.
    void line(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }

    // `import name` at `line`; `import os.path` (a dotted name) binds `os`.
    bool import(int line, const char* dotted) noexcept;
    // `from dotted import name` at `line`: the module's attribute, else an
    // already imported submodule of that name, else ImportError.
    bool import_from(int line, const char* dotted, const char* name) noexcept;
    // `def` at the spec's line: creates the function and stores it as a global.
    bool define(const Definition& definition) noexcept;
    // Creates a function without storing it (methods of a class).
    Ref function(const Definition& definition) noexcept;
    // Runs one row of a module's table.
    bool execute(const Statement& statement) noexcept;
    bool store(const char* name, PyObject* value) noexcept;

private:
    int line_ = 0;
};

// The `PyInit_` entry of a module.
PyObject* init(const ModuleDef& def) noexcept;

} // namespace tarvex

#include "generator_body.hpp"
