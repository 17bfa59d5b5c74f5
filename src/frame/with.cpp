// The `with` statement.
#include "internal.hpp"

namespace tarvex {
namespace {

Name enter_name{"__enter__"};
Name exit_name{"__exit__"};

// A special method, looked up on the type as the interpreter does.
Ref special_method(PyObject* object, PyObject* name)
{
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), name, &found) < 0)
        return {};
    return steal(found);
}

} // namespace

bool With::enter(PyObject* manager) noexcept
{
    Ref enter = special_method(manager, enter_name);
    if (!enter && PyErr_Occurred())
        return false;
    Ref exit = special_method(manager, exit_name);
    if (!exit && PyErr_Occurred())
        return false;
    if (!enter || !exit) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol",
                     Py_TYPE(manager)->tp_name);
        return false;
    }
    value_ = call(enter, manager);
    if (!value_)
        return false;
    manager_ = borrow(manager);
    exit_ = std::move(exit);
    return true;
}

bool With::exit() noexcept
{
    Ref result = call(exit_, manager_.get(), Py_None, Py_None, Py_None);
    return static_cast<bool>(result);
}

With::Outcome With::exit_with_error() noexcept
{
    Ref error = steal(PyErr_GetRaisedException());
    Ref traceback = steal(PyException_GetTraceback(error));
    // While `__exit__` runs, the block's exception is the one being handled,
    // so an exception that `__exit__` raises chains to it.
    PyObject* handled = PyErr_GetHandledException();
    PyErr_SetHandledException(error);
    Ref result = call(exit_, manager_.get(), reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                      error.get(), traceback ? traceback.get() : Py_None);
    PyErr_SetHandledException(handled);
    Py_XDECREF(handled);
    if (!result)
        return Outcome::raised;
    const int suppress = PyObject_IsTrue(result);
    if (suppress < 0)
        return Outcome::raised;
    if (suppress)
        return Outcome::suppressed;
    PyErr_SetRaisedException(error.release());
    return Outcome::raised;
}

With::Outcome With::leave_failed(Site& at, int with_line) noexcept
{
    at.report();
    at.line(with_line);
    return exit_with_error();
}

int With::traverse(visitproc visit, void* arg) const noexcept
{
    Py_VISIT(manager_.get());
    Py_VISIT(exit_.get());
    Py_VISIT(value_.get());
    return 0;
}

} // namespace tarvex
