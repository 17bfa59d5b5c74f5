// Internals of the frame: the function object's layout and the per-extension
// statics.  Module sources include only frame.hpp (and the writers
// writing.hpp).
#pragma once

#include "frame.hpp"

namespace tarvex {

using detail::FunctionObject;
using detail::Shape;

// The C layout behind an object of one of the frame's types.
template <class Layout> Layout* layout_of(PyObject* object) noexcept
{
    return reinterpret_cast<Layout*>(object);
}

inline FunctionObject* as_function(PyObject* object) noexcept
{
    return layout_of<FunctionObject>(object);
}

// The statics of one extension module, set while it executes and kept for the
// life of the process.
struct ModuleState {
    const ModuleDef* def = nullptr;
    PyObject* module = nullptr; // the module pointer
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
    int64_t interpreter = -1;
    PyObject* bare_name = nullptr;
    PyObject* filename = nullptr; // "setkit.py"
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* traceback_frames = nullptr; // line -> (entry name, frame)
    PyTypeObject* function_type = nullptr;
    PyTypeObject* generator_type = nullptr;
};

extern ModuleState state;

// The registry module that the package's modules share things through.
inline constexpr const char registry_name[] = "_tarvex_shared";

// The registry module, and its entry `key` (empty when there is none yet);
// false with an exception pending.
bool registry_entry(const char* key, Ref& registry, Ref& entry) noexcept;

// The registry module: the one in `sys.modules`, else a new one put there,
// by one insert-if-absent so that threads importing at once share it.
Ref registry_module() noexcept;

// Sets the registry's entry `key` to `value` unless it has one already, in
// one step; returns the entry it then has.
Ref publish(PyObject* registry, const char* key, PyObject* value) noexcept;

// Finds the package's dictionary watcher in the registry, or makes and
// publishes it; a module without it looks its global chains up afresh.
bool share_dict_watch() noexcept;

// A type shared by all modules of the process: the one published in the
// registry module under `key` (it must have `local`'s instance size), else
// `local`, readied and published.
PyTypeObject* shared_type(const char* key, PyTypeObject* local) noexcept;

// The shared function type, looked up in (or published to) the registry.
PyTypeObject* shared_function_type() noexcept;
Ref new_function(const Spec& spec, vectorcallfunc call, PyObject* params, PyObject* code,
                 PyObject* defaults, PyObject* annotations) noexcept;

// The function's `__name__`: its spec's name interned on first use, or what
// was stored since.
Ref function_name(PyObject* function) noexcept;

// A field of `owner` behind a writable attribute, read or replaced (`value`
// is a new reference or null) under the object's lock, so that without the
// GIL no reader gets an object that a setter is releasing.
Ref read_field(PyObject* owner, PyObject* const* field) noexcept;
void store_field(PyObject* owner, PyObject** field, PyObject* value) noexcept;

// Stores a str attribute (`__name__`, `__qualname__`); anything else, or a
// delete, raises TypeError `message`.
int set_string(PyObject* owner, PyObject** field, PyObject* value, const char* message) noexcept;

// Adds a traceback entry `name` at `line` of this module to the pending
// exception.
void add_traceback(PyObject* name, int line) noexcept;

// The code object that `__code__` shows for a function.
Ref new_code(const Spec& spec, PyObject* params) noexcept;

// The shared generator type, for modules with generator functions, registered
// with `collections.abc.Generator`.
bool ready_generator_type() noexcept;

} // namespace tarvex
