// The frame's call path: the function object's layout, the argument binder,
// the native stack guard and the fast-call entry that `def<>` instantiates
// for each body. Internal to the frame; a module source never names these.
#pragma once

#include "definition.hpp"

#include <cstdint>
#include <utility>

namespace tarvex {

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

template <class Body> inline constexpr bool always_false = false;

// The number of parameters a body takes after its `Site&`.
template <class Body> struct Arity {
    static_assert(always_false<Body>,
                  "a body is a function `Ref body(Site&, PyObject*...)`, one PyObject* per "
                  "parameter of its spec");
    static constexpr std::size_t value = 0;
};
template <class... Args> struct Arity<Ref (*)(Site&, Args...)> {
    static constexpr std::size_t value = sizeof...(Args);
};
template <class... Args> struct Arity<Ref (*)(Site&, Args...) noexcept> {
    static_assert(always_false<Ref (*)(Site&, Args...)>,
                  "a body is not declared noexcept: write `Ref body(Site&, PyObject*...)`; "
                  "the frame's entry already keeps exceptions from leaving it");
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

} // namespace tarvex
