// What a native path that stands in for a pure-Python library assumed of it.
//
// A path modelled on a library's code holds only while the names, tables and
// classes it read hold what they held when it was modelled. A check is a
// comparison of version tags and of the dictionary watcher's generation;
// dictionaries are compared with their copies only after some watched
// dictionary changed (at every check when the interpreter had no watcher id
// left). Everything kept here is held for the life of the process.
#pragma once

#include "frame.hpp"

#include <initializer_list>
#include <string_view>

namespace tarvex {

// Whether the installed distribution's version starts with one of `prefixes`
// (such as "1.17."): native paths apply to the versions their tests ran
// against. False, with nothing pending, when the version cannot be read.
bool distribution_version_in(const char* distribution,
                             std::initializer_list<std::string_view> prefixes) noexcept;

// A class attribute as the class's MRO holds it, read from the class dicts
// without running any code (no descriptor, no metaclass); borrowed, nullptr
// when missing.
PyObject* class_attribute(PyTypeObject* type, const char* name) noexcept;

// A dictionary whose bindings a native path read: a module's names or a
// class-level table. Every key must keep holding the same object and no key
// may be added, but the registry that a warning issued from a module adds.
class KeptDict {
public:
    // Copies and watches `dict`; false, with nothing pending, when it cannot.
    bool keep(PyObject* dict) noexcept;
    bool unchanged() noexcept;
    PyObject* dict() const noexcept { return dict_; }

private:
    PyObject* dict_ = nullptr;
    PyObject* copy_ = nullptr;
    bool watched_ = false;
    std::uint64_t generation_ = 0; // when it was last found unchanged
};

// A class whose methods a native path modelled. Any change to the class or a
// base moves its version tag; the dictionaries along its MRO are kept too, so
// that a class changed and then restored (which gets a new tag) is told from
// one that still differs, and gets its native path back.
class KeptClass {
public:
    // False, with nothing pending, when `type` cannot be kept.
    bool keep(PyTypeObject* type) noexcept;
    bool unchanged() noexcept { return type_->tp_version_tag == tag_ || restored(); }
    PyTypeObject* type() const noexcept { return type_; }

private:
    bool restored() noexcept;
    PyTypeObject* type_ = nullptr;
    PyObject* contents_ = nullptr; // a tuple of dict copies, None for `object`
    unsigned int tag_ = 0;
    unsigned int rejected_ = 0; // the last changed tag found to differ
};

} // namespace tarvex
