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

// Runs before the change is made, in the changing thread and, without the
// GIL, under the dictionary's own lock, which a lookup that fills a cache
// takes too (see `read_watched`).
int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    owned_watch.generation.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// A new watcher published under the registry's key; without a free watcher id
// it is published all the same, as the record that there is none. Returns
// the registry's entry afterwards: another module's, when one published its
// watcher first, and this one is given back.
Ref publish_watch(PyObject* registry)
{
    owned_watch.id = PyDict_AddWatcher(on_dict_event);
    if (owned_watch.id < 0)
        PyErr_Clear();
    Ref capsule = steal(PyCapsule_New(&owned_watch, capsule_name, nullptr));
    Ref first = capsule ? publish(registry, registry_key, capsule) : Ref();
    if ((!first || first != capsule) && owned_watch.id >= 0) {
        PyObject* pending = PyErr_GetRaisedException();
        PyDict_ClearWatcher(owned_watch.id);
        PyErr_SetRaisedException(pending);
        owned_watch.id = -1;
    }
    return first;
}

void watch(PyObject* dict) noexcept { PyDict_Watch(detail::dict_watch->id, dict); }

// `dict[name]` into `found` as `PyDict_GetItemRef` gives it, with `dict`
// watched first when `watched`. Without the GIL the read is made under the
// dictionary's lock, which a change holds from its watcher event to its
// write: the value read is then either the one before an event or the one
// after it, never the old value behind a counter already moved on.
int read_watched(PyObject* dict, PyObject* name, PyObject** found, bool watched) noexcept
{
    int present;
    Py_BEGIN_CRITICAL_SECTION(dict);
    if (watched)
        watch(dict);
    present = PyDict_GetItemRef(dict, name, found);
    Py_END_CRITICAL_SECTION();
    return present;
}

// Whether `owner` is an exact module whose `__dict__` maps `name` to `value`
// (what an attribute read of such a module gives when its type has nothing
// of that name, as neither ModuleType nor object has); -1 on error. The
// module's dictionary is watched from then on.
int read_from_module_dict(PyObject* owner, PyObject* name, PyObject* value)
{
    if (!Py_IS_TYPE(owner, &PyModule_Type))
        return 0;
    PyObject* found = nullptr;
    const int present = read_watched(PyModule_GetDict(owner), name, &found, true);
    Py_XDECREF(found);
    return present < 0 ? -1 : present && found == value;
}

} // namespace

bool share_dict_watch() noexcept
{
    if (detail::dict_watch != &detail::unwatched)
        return true;
    Ref registry, shared;
    if (!registry_entry(registry_key, registry, shared))
        return false;
    if (!shared && !(shared = publish_watch(registry)))
        return false;
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

#ifdef Py_GIL_DISABLED
Ref GlobalChain::cached(int& links) noexcept
{
    Ref value;
    PyMutex_Lock(&lock_);
    if (generation_ == watched_generation() && owners_are_modules()) {
        value = borrow(value_);
        links = cached_;
    }
    PyMutex_Unlock(&lock_);
    return value;
}
#endif

Ref GlobalChain::fill() noexcept
{
    const bool caching = detail::dict_watch->id >= 0;
    // Taken first: a change while the lookup runs leaves the cache stale.
    const std::uint64_t generation = watched_generation();
    PyObject* owners[max_links];
    int owner_count = 0;
    PyObject* found = nullptr;
    const int in_globals = read_watched(state.globals, *names_[0], &found, caching);
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
        if (cacheable)
            owners[owner_count++] = state.builtins;
    }
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
                owners[owner_count++] = value;
                cached = i + 1;
                prefix = next;
            }
        }
        value = std::move(next);
    }
    if (cached > 0)
        publish(prefix.release(), cached, owners, owner_count, generation);
    return value;
}

void GlobalChain::publish(PyObject* value, int cached, PyObject* const* owners, int owner_count,
                          std::uint64_t generation) noexcept
{
#ifdef Py_GIL_DISABLED
    PyObject* old_owners[max_links];
    for (int i = 0; i < owner_count; ++i)
        Py_INCREF(owners[i]);
    PyMutex_Lock(&lock_);
    const int old_count = owner_count_;
    for (int i = 0; i < old_count; ++i)
        old_owners[i] = owners_[i];
#endif
    PyObject* old = std::exchange(value_, value);
    cached_ = cached;
    owner_count_ = owner_count;
    for (int i = 0; i < owner_count; ++i)
        owners_[i] = owners[i];
    generation_ = generation;
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&lock_);
    for (int i = 0; i < old_count; ++i)
        Py_DECREF(old_owners[i]);
#endif
    // The old value goes last: its release may run code that reads the chain.
    Py_XDECREF(old);
}

} // namespace tarvex
