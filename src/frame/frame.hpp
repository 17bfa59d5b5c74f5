// The module frame shared by every tarvex_func extension module.
//
// A module is written as a table: a `Spec` per function (signature text,
// definition line, parameters, defaults, locals), the function bodies, and a
// `ModuleDef` whose statement list runs at exec in source order.  Everything
// about loading, calling, binding arguments, looking up globals and reporting
// errors lives here, once.
#pragma once

#include "ref.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <span>
#include <tuple>
#include <utility>

namespace tarvex {

// ---------------------------------------------------------------------------
// Constant table: string constants created once at exec, hashed at creation.

class Constant {
public:
    enum class Kind : unsigned char { identifier, text, builtin, keywords };

    // Registers the constant with this extension's table; the object is made
    // when the module executes.
    Constant(const char* text, Kind kind) noexcept;
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

private:
    friend struct StringTable;
    const char* text_;
    Kind kind_;
    PyObject* object_ = nullptr;
    Constant* next_ = nullptr;
};

// An interned identifier: a global, attribute or keyword name.
struct Name : Constant {
    explicit Name(const char* text) noexcept : Constant(text, Kind::identifier) {}
};

// An ordinary (not interned) string literal.
struct Text : Constant {
    explicit Text(const char* text) noexcept : Constant(text, Kind::text) {}
};

// A built-in looked up once at exec and held for the life of the process, so
// later rebinding of the built-in does not reach the module.
struct Builtin : Constant {
    explicit Builtin(const char* name) noexcept : Constant(name, Kind::builtin) {}
};

// The names of a call's keyword arguments, as one tuple of identifiers:
// `Keywords open_keywords{"encoding"}`, names separated by blanks.
struct Keywords : Constant {
    explicit Keywords(const char* names) noexcept : Constant(names, Kind::keywords) {}
};

// ---------------------------------------------------------------------------
// Function specifications.

// A default value fixed at definition.
struct Default {
    enum class Kind : unsigned char { absent, none, text, integer, boolean };
    Kind kind = Kind::absent;
    const char* text = nullptr;
    long long value = 0;

    static constexpr Default none() { return {Kind::none}; }
    static constexpr Default str(const char* text) { return {Kind::text, text}; }
    static constexpr Default integer(long long v) { return {Kind::integer, nullptr, v}; }
    static constexpr Default boolean(bool v) { return {Kind::boolean, nullptr, v}; }
};

// Markers a function carries: `hubkit`'s installers are static methods; a
// coroutine function would show the host's marker as `_is_coroutine`.
enum Marker : unsigned {
    static_method = 1u << 0,
    coroutine = 1u << 3,
};

inline constexpr std::size_t max_params = 16;
inline constexpr std::size_t max_locals = 12;

// An annotation shown by `__annotations__` ("skip_dir": "list").
struct Annotation {
    const char* name = nullptr;
    const char* value = nullptr;
};

// The one type a parameter accepts, named by a function: where the host is a
// DLL, the address of a built-in type is not a constant expression.
using ExactType = PyTypeObject* (*)() noexcept;
inline PyTypeObject* list_type() noexcept { return &PyList_Type; }

namespace detail {
// How many names an array of optional names holds. (Outside `Spec`, so that
// it is defined before the members that the compiler evaluates in constant
// expressions.)
template <class Array> constexpr int count(const Array& names)
{
    int n = 0;
    for (const char* name : names)
        n += name != nullptr;
    return n;
}
} // namespace detail

// Static description of one function: what `def` says in source.
struct Spec {
    const char* name;                             // "list_diff"
    const char* doc;                              // signature text, "list_diff(list1, list2)"
    int line;                                     // line of the definition
    std::array<const char*, max_params> params{}; // positional-or-keyword
    std::array<Default, max_params> defaults{};   // for the last parameters
    const char* star_args = nullptr;              // "args" for *args
    const char* star_kwargs = nullptr;            // "kwargs" for **kwargs
    std::array<const char*, max_locals> locals{}; // body locals, after the parameters
    std::array<ExactType, max_params> exact{};    // a parameter typed `list` and the like
    std::array<Annotation, 4> annotations{};
    const char* qualname = nullptr; // defaults to `name`
    unsigned markers = 0;
    bool generator = false;           // the body returns a generator
    const char* entry_name = nullptr; // traceback entry after the module name; `qualname` if unset

    constexpr int param_count() const { return detail::count(params); }
    constexpr int default_count() const
    {
        int n = 0;
        for (const Default& d : defaults)
            n += d.kind != Default::Kind::absent;
        return n;
    }
    constexpr int required_count() const { return param_count() - default_count(); }
    constexpr int local_count() const { return detail::count(locals); }
    constexpr int slot_count() const
    {
        return param_count() + (star_args != nullptr) + (star_kwargs != nullptr);
    }
    constexpr bool takes_no_arguments() const { return slot_count() == 0; }
};

// ---------------------------------------------------------------------------
// The running body of a call: which statement it is at, for traceback
// entries.

class Site {
public:
    Site(PyObject* function, int line) noexcept : function_(function), line_(line) {}

    // Marks the statement about to run.
    void line(int line) noexcept
    {
        line_ = line;
        reported_ = false;
    }
    int line() const noexcept { return line_; }

    // Adds this function's traceback entry, at the current line, to the
    // pending exception now: before a body's own except clause sees it, or
    // before a `with` block's exit runs. An error returned without a new
    // `line()` after this gets no second entry for the same line.
    void report() noexcept;
    bool reported() const noexcept { return reported_; }

    PyObject* function() const noexcept { return function_; }

private:
    PyObject* function_;
    int line_;
    bool reported_ = false;
};

// ---------------------------------------------------------------------------
// Calls into a body.

namespace detail {

// What the binder needs of a spec, counted once when the function is made.
struct Shape {
    Py_ssize_t params;
    Py_ssize_t required;
    bool star_args;
    bool star_kwargs;
    bool no_arguments;
    bool typed;  // some parameter takes exactly one type
    bool simple; // binds positional arguments as they come
};

struct FunctionObject {
    PyObject ob_base;
    vectorcallfunc vectorcall;
    const Spec* spec;
    PyObject* module; // __module__
    PyObject* weakrefs;
    PyObject* dict; // __dict__, made on first use
    PyObject* name; // __name__, made on first read
    PyObject* qualname;
    PyObject* doc; // __doc__, made on first read
    PyObject* globals;
    PyObject* code;
    PyObject* defaults; // __defaults__ as shown; calls use `fixed_defaults`
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* fixed_defaults; // the defaults fixed at definition
    PyObject* params;         // interned parameter names, in order
    PyObject* entry_name;     // "setkit.list_diff", for traceback entries
    unsigned markers;
    Shape shape;
};

// The parameters bound for one call; `*args` and `**kwargs` are owned here.
struct Bound {
    PyObject* slots[max_params + 2];
    Ref star_args;
    Ref star_kwargs;
};

enum class BindResult { ok, error, error_without_entry };

BindResult bind(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                Bound& bound) noexcept;

template <class Body> struct Arity;
template <class... Args> struct Arity<Ref (*)(Site&, Args...)> {
    static constexpr std::size_t value = sizeof...(Args);
};

template <auto Body, std::size_t... I>
inline Ref invoke(Site& site, PyObject* const* slots, std::index_sequence<I...>)
{
    return Body(site, slots[I]...);
}

} // namespace detail

namespace detail {

// The lowest stack address at which a body may still start, per thread; the
// largest address until the thread's bounds are looked up (on its first
// call), 0 when the system does not say.
inline constexpr std::uintptr_t stack_floor_unknown = UINTPTR_MAX;
#if defined(__GNUC__) && defined(__linux__)
// The initial-exec model reads the variable without a call into the loader.
#define TARVEX_STACK_TLS thread_local __attribute__((tls_model("initial-exec")))
#else
#define TARVEX_STACK_TLS thread_local
#endif
extern TARVEX_STACK_TLS std::uintptr_t stack_floor;

// Below the floor: looks the bounds up when unknown, and raises
// RecursionError if the stack is still short.
bool stack_exhausted(std::uintptr_t here) noexcept;

// Whether less than a safe margin of the thread's stack is left, with
// RecursionError raised then.
inline bool stack_short() noexcept
{
    char probe;
    const auto here = reinterpret_cast<std::uintptr_t>(&probe);
    return here < stack_floor && stack_exhausted(here);
}

// Runs the body on bound parameters, guarding the native stack (the host
// counts recursion, which a thread with a small stack outruns), and gives an
// escaping exception the function's entry.
template <auto Body> inline PyObject* run(PyObject* function, PyObject* const* slots)
{
    constexpr std::size_t arity = Arity<decltype(Body)>::value;
    Site site(function, reinterpret_cast<FunctionObject*>(function)->spec->line);
    if (stack_short())
        return nullptr;
    Ref result = invoke<Body>(site, slots, std::make_index_sequence<arity>{});
    if (!result && !site.reported())
        site.report();
    return result.release();
}

} // namespace detail

namespace detail {

// How many leading parameters a call of a simple function fills in order:
// its positional arguments, then keywords that are the parameter names' own
// interned objects in the order of the parameters (their values follow the
// positional ones in `args`); -1 when the general binder must decide.
inline Py_ssize_t filled_in_order(const FunctionObject* f, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept
{
    if (!kwnames)
        return nargs;
    const Py_ssize_t nkwargs = PyTuple_GET_SIZE(kwnames);
    if (nargs + nkwargs > f->shape.params)
        return -1;
    PyObject* const* names = &PyTuple_GET_ITEM(f->params, nargs);
    for (Py_ssize_t i = 0; i < nkwargs; ++i)
        if (PyTuple_GET_ITEM(kwnames, i) != names[i])
            return -1;
    return nargs + nkwargs;
}

} // namespace detail

// The fast-call entry of a function whose body is `Body`. Calls that fill
// the parameters in order reach the body without the general binder, and
// without a copy when every parameter is given.
template <auto Body>
PyObject* entry(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    const detail::FunctionObject* f = reinterpret_cast<detail::FunctionObject*>(function);
    if (f->shape.simple) {
        const Py_ssize_t filled = detail::filled_in_order(f, PyVectorcall_NARGS(nargsf), kwnames);
        if (filled == f->shape.params)
            return detail::run<Body>(function, args);
        if (filled >= f->shape.required && filled < f->shape.params) {
            constexpr std::size_t arity = detail::Arity<decltype(Body)>::value;
            PyObject* slots[arity > 0 ? arity : 1];
            for (Py_ssize_t i = 0; i < filled; ++i)
                slots[i] = args[i];
            for (Py_ssize_t i = filled; i < f->shape.params; ++i)
                slots[i] = PyTuple_GET_ITEM(f->fixed_defaults, i - f->shape.required);
            return detail::run<Body>(function, slots);
        }
    }
    if (f->shape.star_args && !f->shape.star_kwargs && !f->shape.typed && !kwnames) {
        // Every parameter given positionally: the rest becomes `*args` directly.
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        const Py_ssize_t params = f->shape.params;
        if (nargs >= params) {
            constexpr std::size_t arity = detail::Arity<decltype(Body)>::value;
            Ref rest = steal(PyTuple_New(nargs - params));
            if (!rest) {
                Site(function, f->spec->line).report();
                return nullptr;
            }
            for (Py_ssize_t i = params; i < nargs; ++i)
                PyTuple_SET_ITEM(rest.get(), i - params, Py_NewRef(args[i]));
            PyObject* slots[arity > 0 ? arity : 1];
            for (Py_ssize_t i = 0; i < params; ++i)
                slots[i] = args[i];
            slots[params] = rest;
            return detail::run<Body>(function, slots);
        }
    }
    detail::Bound bound;
    switch (detail::bind(function, args, nargsf, kwnames, bound)) {
    case detail::BindResult::ok:
        return detail::run<Body>(function, bound.slots);
    case detail::BindResult::error:
        Site(function, f->spec->line).report();
        return nullptr;
    default:
        return nullptr;
    }
}

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

class Exec;

// `io.BytesIO` and `io.TextIOWrapper`: the in-memory stand-ins for a file
// that the writers fill before they open the real one, so that a failure to
// make the content leaves an existing file as it was. A module that uses them
// holds them from exec with the statement `run(hold_io_streams)`.
struct IoStreams {
    PyObject* bytes_io = nullptr;
    PyObject* text_io_wrapper = nullptr;
    // What `open` uses for the encoding None: UTF-8 in the UTF-8 mode (also
    // the one the C locale turns on), else the locale's encoding, named so
    // that the stand-in does not warn a second time of a missing encoding.
    PyObject* default_encoding = nullptr;
    bool warn_default_encoding = false; // `-X warn_default_encoding`
};
extern IoStreams io_streams;
bool hold_io_streams(Exec&) noexcept;

// Text mode content refused before the file is opened, its exception
// pending: `open` with the encoding None would have warned of it before the
// content failed, so the warning is issued now. False when the warning is
// raised as an error: it is then pending in place of the refusal, which the
// host would never have reached.
bool warn_as_open_would(PyObject* encoding) noexcept;

// A text stream into `buffer` that encodes as a file opened with `encoding`
// does, translating newlines as `open`'s `newline` argument says.
Ref text_stand_in(PyObject* buffer, PyObject* encoding, PyObject* newline) noexcept;

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

// `callable(*args[:-len(kwnames)], **dict(zip(kwnames, args[-len(kwnames):])))`:
// the positional arguments first, then the values of the keywords that the
// tuple `kwnames` names, in order.
inline Ref call_with_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                              PyObject* kwnames) noexcept
{
    const std::size_t npositional = args.size() - PyTuple_GET_SIZE(kwnames);
    return steal(PyObject_Vectorcall(callable, args.begin(), npositional, kwnames));
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

namespace detail {

// The body of one generator object, behind the shared generator type: each
// module's own code runs through these virtual calls.
class Resumable {
public:
    virtual ~Resumable() = default;
    // The next value; empty with nothing pending when the body has ended;
    // empty with an exception pending when it failed.
    virtual Ref resume(PyObject* function, bool thrown) noexcept = 0;
    virtual int traverse(visitproc visit, void* arg) noexcept = 0;
    // The values of the code object's locals (nullptr while unbound).
    virtual void locals(PyObject** values, std::size_t count) noexcept = 0;
    // The line the body stands at: its definition before the first
    // resumption, then the statement of the yield it is suspended at.
    virtual int line() const noexcept = 0;
};

// Takes ownership of `body`, also on failure.
Ref new_generator(PyObject* function, Resumable* body) noexcept;
// The entry of the generator frame (the function's qualified name).
void report_generator_frame(PyObject* function, int line) noexcept;

inline int traverse_held(const Ref& ref, visitproc visit, void* arg) noexcept
{
    return ref ? visit(ref.get(), arg) : 0;
}
inline int traverse_held(const With& block, visitproc visit, void* arg) noexcept
{
    return block.traverse(visit, arg);
}
template <class Other> int traverse_held(const Other&, visitproc, void*) noexcept { return 0; }

inline void export_local(const Ref& ref, PyObject** values, std::size_t count, std::size_t& i)
{
    if (i < count)
        values[i++] = ref.get();
}
template <class Other> void export_local(const Other&, PyObject**, std::size_t, std::size_t&) {}

// `Frame::held()` ties everything the frame owns, the code object's locals
// first and in their order.
template <auto Step, class Frame> class GeneratorBody final : public Resumable {
public:
    GeneratorBody(Frame&& frame, int line) noexcept
        : frame_(std::move(frame)),
          line_(line),
          yield_line_(line)
    {
    }

    Ref resume(PyObject* function, bool thrown) noexcept override
    {
        Site site(function, line_);
        Resumption run(site, line_, thrown);
        Ref value = Step(run, frame_);
        if (!value && PyErr_Occurred())
            report_generator_frame(function, line_);
        yield_line_ = site.line();
        return value;
    }

    int line() const noexcept override { return yield_line_; }

    int traverse(visitproc visit, void* arg) noexcept override
    {
        return std::apply(
            [&](const auto&... held) {
                int failed = 0;
                ((failed = failed ? failed : traverse_held(held, visit, arg)), ...);
                return failed;
            },
            frame_.held());
    }

    void locals(PyObject** values, std::size_t count) noexcept override
    {
        std::size_t i = 0;
        std::apply([&](const auto&... held) { (export_local(held, values, count, i), ...); },
                   frame_.held());
    }

private:
    Frame frame_;
    int line_;
    int yield_line_;
};

} // namespace detail

// The generator object of a call of a generator function; nothing of the
// body runs until its first `next()`.
template <auto Step, class Frame> Ref generator(Site& at, Frame&& frame) noexcept
{
    auto* body = new (std::nothrow) detail::GeneratorBody<Step, Frame>(
        std::move(frame), reinterpret_cast<detail::FunctionObject*>(at.function())->spec->line);
    if (!body) {
        PyErr_NoMemory();
        return {};
    }
    return detail::new_generator(at.function(), body);
}

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
    static_assert(detail::Arity<decltype(Body)>::value == static_cast<std::size_t>(S.slot_count()),
                  "the body's parameters differ from its spec (counting *args and **kwargs)");
    return {&S, entry<Body>};
}

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
