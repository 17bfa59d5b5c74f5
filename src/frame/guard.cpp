// The record of what native paths assumed of the libraries they model.
#include "guard.hpp"

namespace tarvex {
namespace {

Name version_name{"version"};
Name warning_registry_name{"__warningregistry__"};
Name os_name{"os"};
Name register_at_fork_name{"register_at_fork"};
Keywords<"after_in_child"> after_in_child_keyword;

// Forks seen: counted in each child by the hook that `count_forks` registers.
std::atomic<std::uint64_t> forks{0};

PyObject* count_fork(PyObject*, PyObject*)
{
    forks.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef count_fork_def = {"_count_fork", count_fork, METH_NOARGS, nullptr};

std::string_view utf8_view(PyObject* text) noexcept
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    return data ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
}

// Whether every key of `kept` holds the same object in `now`. Each value is
// held while it is compared: without the GIL another thread may replace it.
bool same_contents_of_kept(PyObject* kept, PyObject* now) noexcept
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kept, &position, &key, &value)) {
        PyObject* current = nullptr;
        const int found = PyDict_GetItemRef(now, key, &current);
        Py_XDECREF(current);
        if (found <= 0 || current != value) {
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

// The MRO of `type`. Without the GIL, assigning `__bases__` in another
// thread replaces it: it is then read through the type's own getter, which
// holds the types' lock (and runs no code of a class's own where the
// metaclass is `type`; other metaclasses are not kept).
Ref mro_of(PyTypeObject* type) noexcept
{
#ifdef Py_GIL_DISABLED
    if (!Py_IS_TYPE(type, &PyType_Type))
        return {};
    Ref mro = steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__"));
    PyErr_Clear();
#else
    Ref mro = borrow(type->tp_mro);
#endif
    if (!mro || !PyTuple_Check(mro.get()))
        return {};
    return mro;
}

// The dicts of the classes along `type`'s MRO, copied (None for `object`,
// which cannot change).
Ref class_contents(PyTypeObject* type) noexcept
{
    Ref mro = mro_of(type);
    if (!mro)
        return {};
    Ref copies = steal(PyTuple_New(PyTuple_GET_SIZE(mro.get())));
    for (Py_ssize_t i = 0; copies && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        PyObject* copy
            = base == &PyBaseObject_Type ? Py_NewRef(Py_None) : PyDict_Copy(base->tp_dict);
        if (!copy)
            return {};
        PyTuple_SET_ITEM(copies.get(), i, copy);
    }
    return copies;
}

// Whether every callable in the copied class dicts but a class is a method
// of `package`'s own.
bool methods_defined_in(PyObject* contents, std::string_view package) noexcept
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(contents); ++i) {
        PyObject* dict = PyTuple_GET_ITEM(contents, i);
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (dict != Py_None && PyDict_Next(dict, &position, &name, &value)) {
            const bool method = PyCallable_Check(value) || Py_IS_TYPE(value, &PyStaticMethod_Type)
                                || Py_IS_TYPE(value, &PyClassMethod_Type);
            if (method && !PyType_Check(value) && !defined_in(value, package))
                return false;
        }
    }
    return true;
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

std::uint64_t forks_seen() noexcept { return forks.load(std::memory_order_relaxed); }

bool count_forks() noexcept
{
    Ref os = steal(PyImport_Import(os_name));
    if (!os)
        return false;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(os, register_at_fork_name, &found) < 0)
        return false;
    Ref register_at_fork = steal(found);
    if (!register_at_fork) // a host that cannot fork
        return true;
    Ref hook = steal(PyCFunction_New(&count_fork_def, nullptr));
    return hook && call_with_keywords(register_at_fork, after_in_child_keyword, {hook.get()});
}

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

bool defined_in(PyObject* function, std::string_view package) noexcept
{
    Ref wrapped;
    if (Py_IS_TYPE(function, &PyStaticMethod_Type) || Py_IS_TYPE(function, &PyClassMethod_Type)) {
        wrapped = steal(PyObject_GetAttrString(function, "__func__"));
        PyErr_Clear();
        function = wrapped.get();
    }
    if (!function || !PyFunction_Check(function))
        return false;
    PyObject* module = PyFunction_GetModule(function);
    const std::string_view name = module ? utf8_view(module) : std::string_view();
    PyErr_Clear();
    return name.starts_with(package)
           && (name.size() == package.size() || name[package.size()] == '.');
}

Ref class_attribute(PyTypeObject* type, const char* name) noexcept
{
    Ref mro = mro_of(type);
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro.get()); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i));
        PyObject* found = nullptr;
        const int got = PyDict_GetItemStringRef(base->tp_dict, name, &found);
        if (got > 0)
            return steal(found);
        if (got < 0)
            PyErr_Clear();
    }
    return {};
}

// The dict is watched, and its generation read, before it is copied, all
// under its lock: a change made by another thread lands before the copy, or
// moves the generation on past the one recorded.
bool KeptDict::keep(PyObject* dict) noexcept
{
    bool watched = false;
    std::uint64_t generation = 0;
    Ref copy;
    Py_BEGIN_CRITICAL_SECTION(dict);
    watched = watch_dict(dict);
    generation = watched_generation();
    copy = steal(PyDict_Copy(dict));
    Py_END_CRITICAL_SECTION();
    if (!copy) {
        PyErr_Clear();
        return false;
    }
    copy_ = copy.release();
    dict_ = Py_NewRef(dict);
    watched_ = watched;
    generation_.store(generation);
    return true;
}

// The generation is read under the dict's lock: a change to the dict holds
// it while the watcher moves the generation on and until the change is made,
// so a change that the comparison missed leaves a later generation than the
// one recorded.
bool KeptDict::same_as_copy() noexcept
{
    std::uint64_t generation = 0;
    bool same = false;
    Py_BEGIN_CRITICAL_SECTION(dict_);
    generation = watched_generation();
    same = same_names(copy_, dict_);
    Py_END_CRITICAL_SECTION();
    if (same)
        generation_.store(generation);
    return same;
}

// The tag is taken before the copies and checked after them: a change that
// another thread made meanwhile clears it, and leaves the class unkept.
bool KeptClass::keep(PyTypeObject* type, std::string_view package) noexcept
{
    const unsigned int tag = PyUnstable_Type_AssignVersionTag(type) ? tag_of(type) : 0;
    Ref contents = tag ? class_contents(type) : Ref();
    if (!contents || tag_of(type) != tag || !methods_defined_in(contents, package)) {
        PyErr_Clear();
        return false;
    }
    type_ = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
    contents_ = contents.release();
    tag_.store(tag);
    return true;
}

// A class whose version tag changed holds again what it held when it was
// kept: its new tag is taken. Each changed tag is compared once: a thread that
// finds another comparing it takes the library's path meanwhile. A change
// clears the tag until the next lookup on the class, so one is assigned first.
bool KeptClass::restored() noexcept
{
    if (!PyUnstable_Type_AssignVersionTag(type_))
        return false;
    const unsigned int tag = version_tag();
    if (tag == 0 || rejected_.exchange(tag) == tag)
        return false;
    Ref now = class_contents(type_);
    if (!now) {
        PyErr_Clear();
        return false;
    }
    if (!same_class_contents(contents_, now))
        return false;
    tag_.store(tag);
    return true;
}

} // namespace tarvex
