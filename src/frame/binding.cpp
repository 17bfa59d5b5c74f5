// Binding call arguments to parameters, with the package's TypeError texts.
#include "internal.hpp"

#include <algorithm>

namespace tarvex::detail {
namespace {

// The count error: "f() takes exactly 2 positional arguments (1 given)".
BindResult count_error(const FunctionObject* f, Py_ssize_t given)
{
    const Spec& spec = *f->spec;
    const Py_ssize_t total = f->shape.params;
    const Py_ssize_t required = f->shape.required;
    const char* bound = "at most";
    Py_ssize_t expected = total;
    if (required == total && !f->shape.star_args) {
        bound = "exactly";
        expected = required;
    } else if (given < required) {
        bound = "at least";
        expected = required;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, expected, expected == 1 ? "" : "s", given);
    return BindResult::error;
}

BindResult no_arguments(const Spec& spec, Py_ssize_t nargs, Py_ssize_t nkwargs)
{
    if (nkwargs) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", spec.name);
        return BindResult::error;
    }
    if (nargs) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", spec.name, nargs);
        return BindResult::error;
    }
    return BindResult::ok;
}

// The parameter that a keyword names, or -1. Names are interned, so identity
// settles almost every case; equal strings made elsewhere still match.
Py_ssize_t parameter_index(PyObject* params, PyObject* keyword)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(params);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(params, i) == keyword)
            return i;
    if (!PyUnicode_Check(keyword))
        return -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyTuple_GET_ITEM(params, i);
        if (PyUnicode_GET_LENGTH(name) == PyUnicode_GET_LENGTH(keyword)
            && PyUnicode_Compare(name, keyword) == 0)
            return i;
    }
    return -1;
}

// The error for a keyword that binds nothing: a repeat of a positional
// argument, a name that is not a str, or an unknown name.
BindResult keyword_error(const Spec& spec, PyObject* keyword, bool repeats_positional)
{
    if (repeats_positional)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     spec.name, keyword);
    else if (!PyUnicode_Check(keyword))
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name,
                     keyword);
    return BindResult::error;
}

// A parameter declared with a built-in type takes exactly that type or None.
BindResult check_exact_types(const FunctionObject* f, PyObject* const* slots)
{
    const Spec& spec = *f->spec;
    for (Py_ssize_t i = 0; i < f->shape.params; ++i) {
        PyTypeObject* expected = spec.exact[i] ? spec.exact[i]() : nullptr;
        if (expected && slots[i] != Py_None && Py_TYPE(slots[i]) != expected) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         spec.params[i], expected->tp_name, Py_TYPE(slots[i])->tp_name);
            return BindResult::error_without_entry;
        }
    }
    return BindResult::ok;
}

Ref tuple_of(PyObject* const* items, Py_ssize_t count)
{
    Ref tuple = steal(PyTuple_New(count));
    if (tuple)
        for (Py_ssize_t i = 0; i < count; ++i)
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(items[i]));
    return tuple;
}

} // namespace

BindResult bind(PyObject* function, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                Bound& bound) noexcept
{
    const FunctionObject* f = as_function(function);
    const Spec& spec = *f->spec;
    const Shape& shape = f->shape;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkwargs = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (shape.no_arguments)
        return no_arguments(spec, nargs, nkwargs);

    const Py_ssize_t total = shape.params;
    const Py_ssize_t required = shape.required;
    if (nargs > total && !shape.star_args)
        return count_error(f, nargs);

    PyObject** slots = bound.slots;
    const Py_ssize_t positional = std::min(nargs, total);
    std::copy_n(args, positional, slots);
    std::fill(slots + positional, slots + total, nullptr);
    Py_ssize_t next_slot = total;
    if (shape.star_args) {
        bound.star_args = tuple_of(args + positional, nargs - positional);
        if (!bound.star_args)
            return BindResult::error;
        slots[next_slot++] = bound.star_args;
    }
    if (shape.star_kwargs) {
        bound.star_kwargs = steal(PyDict_New());
        if (!bound.star_kwargs)
            return BindResult::error;
        slots[next_slot++] = bound.star_kwargs;
    }

    // Keywords bind the parameters not bound positionally; the first keyword
    // that binds nothing is reported once the required parameters are known
    // to be present.
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t stray = -1;
    bool stray_repeats = false;
    for (Py_ssize_t j = 0; j < nkwargs; ++j) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, j);
        const Py_ssize_t i = parameter_index(f->params, keyword);
        if (i >= positional) {
            slots[i] = kwvalues[j];
            continue;
        }
        if (i < 0 && shape.star_kwargs && PyUnicode_Check(keyword)) {
            if (PyDict_SetItem(bound.star_kwargs, keyword, kwvalues[j]) < 0)
                return BindResult::error;
            continue;
        }
        if (stray < 0) {
            stray = j;
            stray_repeats = i >= 0;
        }
    }
    for (Py_ssize_t i = positional; i < required; ++i)
        if (!slots[i])
            return count_error(f, i);
    if (stray >= 0)
        return keyword_error(spec, PyTuple_GET_ITEM(kwnames, stray), stray_repeats);
    for (Py_ssize_t i = std::max(positional, required); i < total; ++i)
        if (!slots[i])
            slots[i] = PyTuple_GET_ITEM(f->fixed_defaults, i - required);
    return shape.typed ? check_exact_types(f, slots) : BindResult::ok;
}

} // namespace tarvex::detail
