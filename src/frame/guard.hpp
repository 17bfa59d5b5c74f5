// What a native path that stands in for a pure-Python library assumed of it.
//
// A path modelled on a library's code holds only while the names, tables and
// classes it read hold what they held when it was modelled. A check is a
// comparison of version tags and of the dictionary watcher's generation;
// dictionaries are compared with their copies only after some watched
// dictionary changed (at every check when the interpreter had no watcher id
// left). Everything kept here is held for the life of the process.
//
// Checks may run in several threads at once, and without the GIL a check may
// race a change to the library: what a check refreshes is atomic, and a
// dictionary is compared under its own lock, the one its changes hold.
#pragma once

#include "frame.hpp"

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace tarvex {

// Whether the installed distribution's version starts with one of `prefixes`
// (such as "1.17."): native paths apply to the versions their tests ran
// against. False, with nothing pending, when the version cannot be read.
bool distribution_version_in(const char* distribution,
                             std::initializer_list<std::string_view> prefixes) noexcept;

// Whether `function` (a plain function, or one that a staticmethod or a
// classmethod wraps) was defined in a module of `package`. What a native path
// models is the library's own code: a replacement put in its place before
// the path's first use is not, though the record then made holds it.
bool defined_in(PyObject* function, std::string_view package) noexcept;

// A value that checks read and refresh in any thread, each read or write
// whole (no order among them is needed: a stale value only sends a check the
// long way). Atomic without the GIL; a plain value under it, which keeps the
// checks' loops as short as they were.
template <class T> class Relaxed {
public:
    constexpr Relaxed(T value) noexcept : value_(value) {}
#ifdef Py_GIL_DISABLED
    T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T value) noexcept { value_.store(value, std::memory_order_relaxed); }
    T exchange(T value) noexcept { return value_.exchange(value, std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
#else
    T load() const noexcept { return value_; }
    void store(T value) noexcept { value_ = value; }
    T exchange(T value) noexcept { return std::exchange(value_, value); }

private:
    T value_;
#endif
};

// Forks of the process seen by this one (by its ancestors too): a thread
// that was working in the parent at the fork does not exist in the child.
std::uint64_t forks_seen() noexcept;

// Counts forks from now on, where the host can fork; false with an exception
// pending when that cannot be arranged. Run once, as the module is made.
bool count_forks() noexcept;

// A record made at its first use, by the first thread to need it. Until it is
// made, other uses do not wait for it: they take the library's own path,
// which gives the same results. So no lock is held while the making runs
// code (a library's import), and a thread that comes back here from inside
// the making, or a child forked meanwhile, never waits for it; in the child
// the making is taken over, since the thread doing it stayed in the parent.
class FirstUse {
public:
    // Runs `make` (which returns whether the record is made, false to try
    // again at a later use) unless the record is made or being made; whether
    // it is made now.
    template <class Make> bool made(Make make) noexcept
    {
        if (done_.load(std::memory_order_acquire))
            return true;
        if (!claim())
            return false;
        const bool done = make();
        done_.store(done, std::memory_order_release);
        making_.store(0, std::memory_order_release);
        return done;
    }

    // For a record made in one attempt: whether `load` (run once) found the
    // library as modelled; an error it leaves pending means it did not.
    template <class Load> bool loaded(Load load) noexcept
    {
        return made([this, &load] {
                   usable_ = load();
                   PyErr_Clear();
                   return true;
               })
               && usable_;
    }

private:
    // Whether this thread may make the record: no thread of this process is
    // making it.
    bool claim() noexcept
    {
        const std::uint64_t mine = forks_seen() + 1;
        std::uint64_t seen = making_.load(std::memory_order_acquire);
        while (seen != mine)
            if (making_.compare_exchange_weak(seen, mine, std::memory_order_acq_rel))
                return true;
        return false;
    }

    std::atomic<bool> done_{false};
    bool usable_ = false; // read only once `done_` is seen set
    // 0 when nobody is making the record; else one more than the forks seen
    // by the process whose thread is making it.
    std::atomic<std::uint64_t> making_{0};
};

// A class attribute as the class's MRO holds it, read from the class dicts
// without running any code (no descriptor, no metaclass); empty, with nothing
// pending, when missing.
Ref class_attribute(PyTypeObject* type, const char* name) noexcept;

// A dictionary whose bindings a native path read: a module's names or a
// class-level table. Every key must keep holding the same object and no key
// may be added, but the registry that a warning issued from a module adds.
class KeptDict {
public:
    // Copies and watches `dict`; false, with nothing pending, when it cannot.
    bool keep(PyObject* dict) noexcept;
    bool unchanged() noexcept
    {
        return (watched_ && watched_generation() == generation_.load()) || same_as_copy();
    }
    PyObject* dict() const noexcept { return dict_; }

private:
    bool same_as_copy() noexcept;
    PyObject* dict_ = nullptr;
    PyObject* copy_ = nullptr;
    bool watched_ = false;
    Relaxed<std::uint64_t> generation_ = 0; // when it was last found unchanged
};

// A class whose methods a native path modelled. Any change to the class or a
// base moves its version tag; the dictionaries along its MRO are kept too, so
// that a class changed and then restored (which gets a new tag) is told from
// one that still differs, and gets its native path back.
class KeptClass {
public:
    // False, with nothing pending, when `type` cannot be kept, or when a
    // method along its MRO (but `object`'s) is not `package`'s own.
    bool keep(PyTypeObject* type, std::string_view package) noexcept;
    bool unchanged() noexcept { return version_tag() == tag_.load() || restored(); }
    PyTypeObject* type() const noexcept { return type_; }

private:
    // The host changes a type's tag while other threads read it, atomically
    // where it runs without the GIL.
    static unsigned int tag_of(PyTypeObject* type) noexcept
    {
#ifdef Py_GIL_DISABLED
        return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed);
#else
        return type->tp_version_tag;
#endif
    }
    unsigned int version_tag() const noexcept { return tag_of(type_); }
    bool restored() noexcept;
    PyTypeObject* type_ = nullptr;
    PyObject* contents_ = nullptr; // a tuple of dict copies, None for `object`
    Relaxed<unsigned int> tag_ = 0;
    Relaxed<unsigned int> rejected_ = 0; // the last changed tag found to differ
};

} // namespace tarvex
