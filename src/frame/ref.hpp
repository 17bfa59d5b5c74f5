// Owning references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarvex {

// One strong reference, released on destruction. A `Ref` converts to a
// borrowed `PyObject*` only while it is a named object, never as a temporary,
// so a reference cannot be dropped between the conversion and its use.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept
    {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference (nullptr stays empty: the error is pending).
    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* ptr) noexcept { return Ref(Py_XNewRef(ptr)); }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    operator PyObject*() const& noexcept { return ptr_; }
    operator PyObject*() const&& = delete;

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

inline Ref steal(PyObject* ptr) noexcept { return Ref::steal(ptr); }
inline Ref borrow(PyObject* ptr) noexcept { return Ref::borrow(ptr); }

} // namespace tarvex
