// Cached global chains and the dictionary watcher they rely on.
#include "internal.hpp"

#include <utility>

namespace tarvex {

namespace detail {
namespace {
// Until exec finds the shared watcher: no caching.
DictWatch unwatched;
} // namespace
DictWatch* dict_watch = &unwatched;
} // namespace detail

namespace {

constexpr const char registry_key[] = "dict_watch";
// The capsule's name carries the layout of `DictWatch`.
constexpr const char capsule_name[] = "_tarvex_shared.dict_watch.v1";

// Used only when this module is the first to ask for the watcher.
detail::DictWatch owned_watch;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    ++owned_watch.generation;
    return 0;
}

// A new watcher published under the registry's key; without a free watcher id
// it is published all the same, as the record that there is none.
bool publish_watch(PyObject* registry)
{
    owned_watch.id = PyDict_AddWatcher(on_dict_event);
    if (owned_watch.id < 0)
        PyErr_Clear();
    Ref capsule = steal(PyCapsule_New(&owned_watch, capsule_name, nullptr));
    if (!capsule || PyObject_SetAttrString(registry, registry_key, capsule) < 0) {
        if (owned_watch.id >= 0) {
            PyObject* pending = PyErr_GetRaisedException();
            PyDict_ClearWatcher(owned_watch.id);
            PyErr_SetRaisedException(pending);
        }
        owned_watch.id = -1;
        return false;
    }
    detail::dict_watch = &owned_watch;
    return true;
}

// Whether `owner` is an exact module whose `__dict__` maps `name` to `value`
// (what an attribute read of such a module gives when its type has nothing
// of that name, as neither ModuleType nor object has); -1 on error.
int read_from_module_dict(PyObject* owner, PyObject* name, PyObject* value)
{
    if (!Py_IS_TYPE(owner, &PyModule_Type))
        return 0;
    PyObject* found = nullptr;
    const int present = PyDict_GetItemRef(PyModule_GetDict(owner), name, &found);
    Py_XDECREF(found);
    return present < 0 ? -1 : present && found == value;
}

void watch(PyObject* dict) noexcept { PyDict_Watch(detail::dict_watch->id, dict); }

} // namespace

bool share_dict_watch() noexcept
{
    if (detail::dict_watch != &detail::unwatched)
        return true;
    Ref registry, shared;
    if (!registry_entry(registry_key, registry, shared))
        return false;
    if (!shared)
        return publish_watch(registry);
    // Another build's record (or anything else) leaves this module uncached.
    if (PyCapsule_IsValid(shared, capsule_name))
        detail::dict_watch
            = static_cast<detail::DictWatch*>(PyCapsule_GetPointer(shared, capsule_name));
    return true;
}

bool watch_dict(PyObject* dict) noexcept
{
    if (detail::dict_watch->id < 0)
        return false;
    if (PyDict_Watch(detail::dict_watch->id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref GlobalChain::fill() noexcept
{
    const bool caching = detail::dict_watch->id >= 0;
    // Taken first: a change while the lookup runs leaves the cache stale.
    const std::uint64_t generation = detail::dict_watch->generation;
    PyObject* owners[max_links];
    int owner_count = 0;
    PyObject* found = nullptr;
    const int in_globals = PyDict_GetItemRef(state.globals, *names_[0], &found);
    if (in_globals < 0)
        return {};
    Ref value = steal(found);
    bool cacheable = caching;
    if (!value) {
        if (PyObject_GetOptionalAttr(state.builtins, *names_[0], &found) < 0)
            return {};
        value = steal(found);
        if (!value) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", names_[0]->get());
            return {};
        }
        const int from_dict
            = cacheable ? read_from_module_dict(state.builtins, *names_[0], value) : 0;
        if (from_dict < 0)
            return {};
        cacheable = from_dict;
        if (cacheable) {
            watch(PyModule_GetDict(state.builtins));
            owners[owner_count++] = state.builtins;
        }
    }
    if (cacheable)
        watch(state.globals);
    int cached = cacheable ? 1 : 0;
    Ref prefix = cacheable ? value : Ref();
    for (int i = 1; i < length_; ++i) {
        Ref next = attr(value, *names_[i]);
        if (!next)
            return {};
        if (cacheable) {
            const int from_dict = read_from_module_dict(value, *names_[i], next);
            if (from_dict < 0)
                return {};
            cacheable = from_dict;
            if (cacheable) {
                watch(PyModule_GetDict(value));
                owners[owner_count++] = value;
                cached = i + 1;
                prefix = next;
            }
        }
        value = std::move(next);
    }
    if (cached > 0) {
        // The old value goes last: its release may run code that reads the chain.
        PyObject* old = std::exchange(value_, prefix.release());
        cached_ = cached;
        owner_count_ = owner_count;
        for (int i = 0; i < owner_count; ++i)
            owners_[i] = owners[i];
        generation_ = generation;
        Py_XDECREF(old);
    }
    return value;
}

} // namespace tarvex
