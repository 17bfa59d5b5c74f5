// Code objects: the ones `__code__` shows, and the empty ones behind
// traceback entries.
#include "internal.hpp"

#include <frameobject.h>

namespace tarvex {
namespace {

Name replace_name{"replace"};
Keywords<"co_argcount co_posonlyargcount co_kwonlyargcount co_nlocals co_stacksize "
         "co_flags co_code co_consts co_names co_varnames co_freevars co_cellvars "
         "co_name co_qualname co_linetable co_exceptiontable">
    code_keywords;

int code_flags(const Spec& spec)
{
    return CO_OPTIMIZED | CO_NEWLOCALS | (spec.star_args ? CO_VARARGS : 0)
           | (spec.star_kwargs ? CO_VARKEYWORDS : 0) | (spec.generator ? CO_GENERATOR : 0);
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

// The code object is made by `replace` on an empty one, through keywords:
// the constructor's positional form is not part of the stable interface and
// has changed between releases, while `replace` names each field.
Ref new_code(const Spec& spec, PyObject* params) noexcept
{
    Ref varnames = local_names(spec, params);
    Ref name = steal(PyUnicode_InternFromString(spec.name));
    const char* filename = PyUnicode_AsUTF8(state.filename);
    if (!varnames || !name || !filename)
        return {};
    Ref empty = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, spec.name, spec.line)));
    Ref argcount = steal(PyLong_FromLong(spec.param_count()));
    Ref nlocals = steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(varnames.get())));
    Ref flags = steal(PyLong_FromLong(code_flags(spec)));
    Ref zero = steal(PyLong_FromLong(0));
    Ref replace = empty ? attr(empty, replace_name) : Ref();
    if (!argcount || !nlocals || !flags || !zero || !replace)
        return {};
    PyObject* empty_bytes = state.empty_bytes;
    PyObject* empty_tuple = state.empty_tuple;
    return call_with_keywords(replace, code_keywords,
                              {argcount.get(), zero.get(), zero.get(), nlocals.get(), zero.get(),
                               flags.get(), empty_bytes, empty_tuple, empty_tuple, varnames.get(),
                               empty_tuple, empty_tuple, name.get(), name.get(), empty_bytes,
                               empty_bytes});
}

namespace {

PyFrameObject* as_frame(PyObject* frame) { return reinterpret_cast<PyFrameObject*>(frame); }

// The frame of an empty code object named `name` whose first line is `line`.
Ref new_entry_frame(PyObject* name, int line)
{
    const char* filename = PyUnicode_AsUTF8(state.filename);
    const char* text = PyUnicode_AsUTF8(name);
    if (!filename || !text)
        return {};
    Ref code = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename, text, line)));
    if (!code)
        return {};
    return steal(reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), state.globals, nullptr)));
}

// The frame behind entries named `name` at `line`. Entries of one line share
// one code object and one frame, made once: the frame only carries the code,
// its line and the module's globals, and nothing runs in it. The cache keeps
// the name beside the frame, so that a hit is checked without reading the
// code object's fields.
Ref entry_frame(PyObject* name, int line)
{
    Ref key = steal(PyLong_FromLong(line));
    if (!key)
        return {};
    PyObject* cached = nullptr;
    if (PyDict_GetItemRef(state.traceback_frames, key, &cached) < 0)
        return {};
    const bool line_taken = cached != nullptr;
    if (Ref entry = steal(cached)) {
        PyObject* cached_name = PyTuple_GET_ITEM(entry.get(), 0);
        if (cached_name == name || PyUnicode_Compare(cached_name, name) == 0)
            return borrow(PyTuple_GET_ITEM(entry.get(), 1));
    }
    Ref frame = new_entry_frame(name, line);
    if (!frame || line_taken)
        return frame;
    // A cache that cannot grow still leaves the entry to be made.
    Ref entry = steal(PyTuple_Pack(2, name, frame.get()));
    if (!entry || PyDict_SetItem(state.traceback_frames, key, entry) < 0)
        PyErr_Clear();
    return frame;
}

} // namespace

void add_traceback(PyObject* name, int line) noexcept
{
    PyObject* pending = PyErr_GetRaisedException();
    Ref frame = entry_frame(name, line);
    if (!frame)
        PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame)
        PyTraceBack_Here(as_frame(frame));
}

void Site::report() noexcept
{
    add_traceback(as_function(function_)->entry_name, line_);
    reported_ = true;
}

} // namespace tarvex
