// Code objects: the ones `__code__` shows, and the empty ones behind
// traceback entries.
#include "internal.hpp"

#include <frameobject.h>

namespace tarvex {
namespace {

constexpr int co_optimized_newlocals = 0x3;
constexpr int co_varargs = 0x4;
constexpr int co_varkeywords = 0x8;
constexpr int co_generator = 0x20;

int code_flags(const Spec& spec)
{
    return co_optimized_newlocals | (spec.star_args ? co_varargs : 0)
           | (spec.star_kwargs ? co_varkeywords : 0) | (spec.generator ? co_generator : 0);
}

// The local names: parameters, *args, **kwargs, then the body's locals.
Ref local_names(const Spec& spec, PyObject* params)
{
    const Py_ssize_t nparams = PyTuple_GET_SIZE(params);
    Ref names = steal(PyTuple_New(spec.slot_count() + spec.local_count()));
    if (!names)
        return {};
    Py_ssize_t i = 0;
    for (; i < nparams; ++i)
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(PyTuple_GET_ITEM(params, i)));
    for (const char* name : {spec.star_args, spec.star_kwargs})
        if (name) {
            PyObject* item = PyUnicode_InternFromString(name);
            if (!item)
                return {};
            PyTuple_SET_ITEM(names.get(), i++, item);
        }
    for (int k = 0; k < spec.local_count(); ++k) {
        PyObject* item = PyUnicode_InternFromString(spec.locals[k]);
        if (!item)
            return {};
        PyTuple_SET_ITEM(names.get(), i++, item);
    }
    return names;
}

} // namespace

Ref new_code(const Spec& spec, PyObject* params) noexcept
{
    Ref varnames = local_names(spec, params);
    Ref name = steal(PyUnicode_InternFromString(spec.name));
    if (!varnames || !name)
        return {};
    return steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        spec.param_count(), 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames.get())), 0,
        code_flags(spec), state.empty_bytes, state.empty_tuple, state.empty_tuple, varnames,
        state.empty_tuple, state.empty_tuple, state.filename, name, name, spec.line,
        state.empty_bytes, state.empty_bytes)));
}

namespace {

// The empty code object for entries named `name` at `line`, shared by every
// entry for that line of the module.
Ref traceback_code(PyObject* name, int line)
{
    Ref key = steal(PyLong_FromLong(line));
    if (!key)
        return {};
    PyObject* cached = nullptr;
    if (state.traceback_codes && PyDict_GetItemRef(state.traceback_codes, key, &cached) < 0)
        return {};
    if (Ref code = steal(cached)) {
        PyObject* cached_name = reinterpret_cast<PyCodeObject*>(code.get())->co_name;
        if (cached_name == name || PyUnicode_Compare(cached_name, name) == 0)
            return code;
    }
    const char* filename = PyUnicode_AsUTF8(state.filename);
    const char* text = PyUnicode_AsUTF8(name);
    if (!filename || !text)
        return {};
    Ref code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, text, line)));
    if (!code)
        return {};
    // A cache that cannot grow still leaves the entry to be made.
    if (!cached && state.traceback_codes && PyDict_SetItem(state.traceback_codes, key, code) < 0)
        PyErr_Clear();
    return code;
}

} // namespace

void add_traceback(PyObject* name, int line) noexcept
{
    PyObject* pending = PyErr_GetRaisedException();
    Ref code = traceback_code(name, line);
    Ref frame = code ? steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                           state.globals, nullptr)))
                     : Ref();
    if (!frame)
        PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame)
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

void Site::report() noexcept
{
    add_traceback(as_function(function_)->entry_name, line_);
    reported_ = true;
}

} // namespace tarvex
