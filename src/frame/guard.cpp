// The record of what native paths assumed of the libraries they model.
#include "guard.hpp"

namespace tarvex {
namespace {

Name version_name{"version"};
Name warning_registry_name{"__warningregistry__"};

std::string_view utf8_view(PyObject* text) noexcept
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
}

// Whether every key of `kept` holds the same object in `now`.
bool same_contents_of_kept(PyObject* kept, PyObject* now) noexcept
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kept, &position, &key, &value)) {
        PyObject* current = PyDict_GetItemWithError(now, key);
        if (current != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Whether `now` holds the names of its copy `kept`, each bound to the same
// object, and no other name but a warning registry.
bool same_names(PyObject* kept, PyObject* now) noexcept
{
    const bool registry_added = !PyDict_Contains(kept, warning_registry_name)
                                && PyDict_Contains(now, warning_registry_name) == 1;
    PyErr_Clear();
    return PyDict_GET_SIZE(now) - registry_added == PyDict_GET_SIZE(kept)
           && same_contents_of_kept(kept, now);
}

// The dicts of the classes along `type`'s MRO, copied (None for `object`,
// which cannot change).
Ref class_contents(PyTypeObject* type) noexcept
{
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro))
        return {};
    Ref copies = steal(PyTuple_New(PyTuple_GET_SIZE(mro)));
    for (Py_ssize_t i = 0; copies && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        PyObject* copy
            = base == &PyBaseObject_Type ? Py_NewRef(Py_None) : PyDict_Copy(base->tp_dict);
        if (!copy)
            return {};
        PyTuple_SET_ITEM(copies.get(), i, copy);
    }
    return copies;
}

bool same_class_contents(PyObject* kept, PyObject* now) noexcept
{
    if (PyTuple_GET_SIZE(kept) != PyTuple_GET_SIZE(now))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kept); ++i) {
        PyObject* was = PyTuple_GET_ITEM(kept, i);
        PyObject* is = PyTuple_GET_ITEM(now, i);
        if (was == Py_None || is == Py_None
                ? was != is
                : PyDict_GET_SIZE(was) != PyDict_GET_SIZE(is) || !same_contents_of_kept(was, is))
            return false;
    }
    return true;
}

} // namespace

bool distribution_version_in(const char* distribution,
                             std::initializer_list<std::string_view> prefixes) noexcept
{
    Ref metadata = steal(PyImport_ImportModule("importlib.metadata"));
    Ref version_of = metadata ? attr(metadata, version_name) : Ref();
    Ref name = steal(PyUnicode_FromString(distribution));
    Ref version = version_of && name ? call(version_of, name.get()) : Ref();
    const std::string_view text = version ? utf8_view(version) : std::string_view();
    PyErr_Clear();
    for (std::string_view prefix : prefixes)
        if (!text.empty() && text.starts_with(prefix))
            return true;
    return false;
}

PyObject* class_attribute(PyTypeObject* type, const char* name) noexcept
{
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (PyObject* found = PyDict_GetItemString(base->tp_dict, name))
            return found;
    }
    return nullptr;
}

bool KeptDict::keep(PyObject* dict) noexcept
{
    copy_ = PyDict_Copy(dict);
    if (!copy_) {
        PyErr_Clear();
        return false;
    }
    dict_ = Py_NewRef(dict);
    watched_ = watch_dict(dict_);
    generation_ = watched_generation();
    return true;
}

bool KeptDict::unchanged() noexcept
{
    const std::uint64_t generation = watched_generation();
    if (watched_ && generation == generation_)
        return true;
    if (!same_names(copy_, dict_))
        return false;
    generation_ = generation;
    return true;
}

bool KeptClass::keep(PyTypeObject* type) noexcept
{
    Ref contents = class_contents(type);
    if (!contents || !PyUnstable_Type_AssignVersionTag(type)) {
        PyErr_Clear();
        return false;
    }
    type_ = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    contents_ = contents.release();
    tag_ = type->tp_version_tag;
    return true;
}

// A class whose version tag changed holds again what it held when it was
// kept: its new tag is taken. Each changed tag is compared once. A change
// clears the tag until the next lookup on the class, so one is assigned first.
bool KeptClass::restored() noexcept
{
    if (!PyUnstable_Type_AssignVersionTag(type_) || type_->tp_version_tag == rejected_)
        return false;
    rejected_ = type_->tp_version_tag;
    Ref now = class_contents(type_);
    if (!now) {
        PyErr_Clear();
        return false;
    }
    if (!same_class_contents(contents_, now))
        return false;
    tag_ = type_->tp_version_tag;
    return true;
}

} // namespace tarvex
