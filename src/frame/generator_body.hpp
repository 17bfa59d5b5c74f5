// The machinery behind `generator<Step>()`: the body object that the shared
// generator type resumes through virtual calls, and the frame's traversal of
// what a generator holds. Internal to the frame; frame.hpp includes it last.
#pragma once

#include "frame.hpp"

#include <new>
#include <tuple>
#include <utility>

namespace tarvex {

namespace detail {

// The body of one generator object, behind the shared generator type: each
// module's own code runs through these virtual calls.
class Resumable {
public:
    virtual ~Resumable() = default;
    // The next value; empty with nothing pending when the body has ended;
    // empty with an exception pending when it failed.
    virtual Ref resume(PyObject* function, bool thrown) noexcept = 0;
    virtual int traverse(visitproc visit, void* arg) noexcept = 0;
    // The values of the code object's locals (nullptr while unbound).
    virtual void locals(PyObject** values, std::size_t count) noexcept = 0;
    // The line the body stands at: its definition before the first
    // resumption, then the statement of the yield it is suspended at.
    virtual int line() const noexcept = 0;
};

// Takes ownership of `body`, also on failure.
Ref new_generator(PyObject* function, Resumable* body) noexcept;
// The entry of the generator frame (the function's qualified name).
void report_generator_frame(PyObject* function, int line) noexcept;

inline int traverse_held(const Ref& ref, visitproc visit, void* arg) noexcept
{
    return ref ? visit(ref.get(), arg) : 0;
}
inline int traverse_held(const With& block, visitproc visit, void* arg) noexcept
{
    return block.traverse(visit, arg);
}
template <class Other> int traverse_held(const Other&, visitproc, void*) noexcept { return 0; }

inline void export_local(const Ref& ref, PyObject** values, std::size_t count, std::size_t& i)
{
    if (i < count)
        values[i++] = ref.get();
}
template <class Other> void export_local(const Other&, PyObject**, std::size_t, std::size_t&) {}

// `Frame::held()` ties everything the frame owns, the code object's locals
// first and in their order.
template <auto Step, class Frame> class GeneratorBody final : public Resumable {
public:
    GeneratorBody(Frame&& frame, int line) noexcept
        : frame_(std::move(frame)),
          line_(line),
          yield_line_(line)
    {
    }

    Ref resume(PyObject* function, bool thrown) noexcept override
    {
        Site site(function, line_);
        Resumption run(site, line_, thrown);
        Ref value = Step(run, frame_);
        if (!value && PyErr_Occurred())
            report_generator_frame(function, line_);
        yield_line_ = site.line();
        return value;
    }

    int line() const noexcept override { return yield_line_; }

    int traverse(visitproc visit, void* arg) noexcept override
    {
        return std::apply(
            [&](const auto&... held) {
                int failed = 0;
                ((failed = failed ? failed : traverse_held(held, visit, arg)), ...);
                return failed;
            },
            frame_.held());
    }

    void locals(PyObject** values, std::size_t count) noexcept override
    {
        std::size_t i = 0;
        std::apply([&](const auto&... held) { (export_local(held, values, count, i), ...); },
                   frame_.held());
    }

private:
    Frame frame_;
    int line_;
    int yield_line_;
};

} // namespace detail

template <auto Step, class Frame> Ref generator(Site& at, Frame&& frame) noexcept
{
    auto* body = new (std::nothrow) detail::GeneratorBody<Step, Frame>(
        std::move(frame), reinterpret_cast<detail::FunctionObject*>(at.function())->spec->line);
    if (!body) {
        PyErr_NoMemory();
        return {};
    }
    return detail::new_generator(at.function(), body);
}

} // namespace tarvex
