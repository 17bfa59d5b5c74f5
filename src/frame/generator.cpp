// The generator type shared by every module with generator functions.
//
// The object follows the host's generators: a body that runs to its next
// yield on each resumption, `send`, `throw` and `close` with the host's
// messages, and a finaliser that closes a suspended generator so that what
// its body holds open (a file in a `with` block) is released.
#include "internal.hpp"

#include <frameobject.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <thread>

namespace tarvex {
namespace {

constexpr const char registry_key[] = "generator_type";

Name replace_name{"replace"};
Name co_code_name{"co_code"};
Name co_linetable_name{"co_linetable"};
Keywords<"co_code co_linetable"> code_keywords;
Keywords<"co_code co_linetable co_firstlineno"> placed_code_keywords;

// Who may touch the body: nobody, the thread running it, or (without the
// GIL) a thread that reads its locals into `gi_frame` and runs none of its
// code meanwhile.
enum class Holder : unsigned char { none, runner, reader };

struct GeneratorObject {
    PyObject ob_base;
    PyObject* function; // the generator function: code, globals, entry names
    PyObject* name;     // __name__
    PyObject* qualname; // __qualname__
    PyObject* frame;    // gi_frame, made on first read
    int frame_line;     // the line `frame` shows
    PyObject* weakrefs;
    detail::Resumable* body; // nullptr once finished
    bool started;
    Holder holder;
    PyThreadState* reader; // the thread that holds it as `Holder::reader`
};

GeneratorObject* as_generator(PyObject* object) { return layout_of<GeneratorObject>(object); }

// The right to run the body, and with it to touch `body`, `started` and
// `frame`: false when the generator is already running. Without the GIL two
// threads may ask at once, and only one is given it; one that finds another
// thread reading the frame waits the moment that takes, detached, so that
// the host can stop the world meanwhile.
bool claim(GeneratorObject* g)
{
#ifdef Py_GIL_DISABLED
    std::atomic_ref<Holder> holder(g->holder);
    for (;;) {
        Holder seen = Holder::none;
        if (holder.compare_exchange_weak(seen, Holder::runner, std::memory_order_acquire))
            return true;
        if (seen == Holder::runner)
            return false;
        if (seen == Holder::reader) {
            // The reader's own thread, called back while it reads (a finalizer).
            if (std::atomic_ref<PyThreadState*>(g->reader).load(std::memory_order_relaxed)
                == PyThreadState_Get())
                return false;
            PyThreadState* detached = PyEval_SaveThread();
            std::this_thread::yield();
            PyEval_RestoreThread(detached);
        }
    }
#else
    return std::exchange(g->holder, Holder::runner) == Holder::none;
#endif
}

void release(GeneratorObject* g)
{
#ifdef Py_GIL_DISABLED
    std::atomic_ref<Holder>(g->holder).store(Holder::none, std::memory_order_release);
#else
    g->holder = Holder::none;
#endif
}

bool is_running(GeneratorObject* g)
{
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<Holder>(g->holder).load(std::memory_order_acquire) == Holder::runner;
#else
    return g->holder == Holder::runner;
#endif
}

#ifdef Py_GIL_DISABLED
// The right to read the body's locals, given only while nobody holds it.
bool claim_to_read(GeneratorObject* g)
{
    Holder none = Holder::none;
    if (!std::atomic_ref<Holder>(g->holder).compare_exchange_strong(none, Holder::reader,
                                                                    std::memory_order_acquire))
        return false;
    std::atomic_ref<PyThreadState*>(g->reader).store(PyThreadState_Get(),
                                                     std::memory_order_relaxed);
    return true;
}

void release_from_reading(GeneratorObject* g)
{
    std::atomic_ref<PyThreadState*>(g->reader).store(nullptr, std::memory_order_relaxed);
    release(g);
}
#endif

// `body` and `started` change only under the claim, but `gi_suspended` reads
// them without it: without the GIL both sides go through these.
template <class T> T read_state(T& field)
{
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
#else
    return field;
#endif
}

template <class T> void write_state(T& field, T value)
{
#ifdef Py_GIL_DISABLED
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
#else
    field = value;
#endif
}

// Replaces the shown frame, returning the old one (to release). Without the
// GIL a thread that finds the generator running reads the frame meanwhile,
// so the field is only touched under the generator's lock.
PyObject* exchange_frame(GeneratorObject* g, PyObject* frame)
{
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(g);
    old = std::exchange(g->frame, frame);
    Py_END_CRITICAL_SECTION();
    return old;
}

// What an ended generator gives up, taken by the holder of the claim and
// released after it (releasing runs the body's cleanup, which may read the
// generator again and must find it ended and not running).
struct Ended {
    detail::Resumable* body = nullptr;
    PyObject* frame = nullptr;

    void dispose()
    {
        delete std::exchange(body, nullptr);
        Py_CLEAR(frame);
    }
};

Ended detach(GeneratorObject* g)
{
    detail::Resumable* body = g->body;
    write_state(g->body, static_cast<detail::Resumable*>(nullptr));
    return {body, exchange_frame(g, nullptr)};
}

// Ends the generator: its body, and with it everything the body held, is
// released, and the frame goes with it.
void finish(GeneratorObject* g) { detach(g).dispose(); }

// `raise RuntimeError("generator raised StopIteration") from <pending>`.
void replace_stop_iteration()
{
    Ref cause = steal(PyErr_GetRaisedException());
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    Ref error = steal(PyErr_GetRaisedException());
    PyException_SetCause(error, Py_NewRef(cause.get()));
    PyException_SetContext(error, cause.release());
    PyErr_SetRaisedException(error.release());
}

enum class Sent { value, exception };

// One resumption, as the host's generators make it. The result is the
// yielded value; empty with nothing pending when the body ended; empty with an
// exception pending when it failed (or could not be resumed). With
// `Sent::exception` the exception to raise at the yield is pending on entry.
// A running generator has always started, so claiming it before the check of
// a value sent to a just-started one gives the host's order of errors.
Ref resume(GeneratorObject* g, PyObject* value, Sent sent)
{
    const bool thrown = sent == Sent::exception;
    if (!claim(g)) {
        if (thrown)
            PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return {};
    }
    if (g->body && !g->started && !thrown && value != Py_None) {
        release(g);
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return {};
    }
    // Thrown into before its first statement: the body never runs.
    if (g->body && !g->started && thrown) {
        Ended ended = detach(g);
        release(g);
        ended.dispose();
        return {};
    }
    // The frame's stack guard, not the host's recursion count: a body that
    // resumes its own generator fails as already executing, and one resumed
    // deep in a recursion through other calls must not overrun a small
    // thread stack.
    if (!g->body || detail::stack_short()) {
        release(g);
        return {};
    }
    write_state(g->started, true);
    // The body may drop the last other reference to the generator.
    Ref keep = borrow(reinterpret_cast<PyObject*>(g));
    Ref result = g->body->resume(g->function, thrown);
    Ended ended = result ? Ended{} : detach(g);
    release(g);
    if (result)
        return result;
    ended.dispose();
    if (PyErr_ExceptionMatches(PyExc_StopIteration))
        replace_stop_iteration();
    return {};
}

// --- protocol ------------------------------------------------------------------

PyObject* generator_iternext(PyObject* self)
{
    return resume(as_generator(self), Py_None, Sent::value).release();
}

// The body ended: `send` and `throw` report it as StopIteration.
PyObject* stop_unless_failed(Ref result)
{
    if (!result && !PyErr_Occurred())
        PyErr_SetNone(PyExc_StopIteration);
    return result.release();
}

PyObject* generator_send(PyObject* self, PyObject* value)
{
    return stop_unless_failed(resume(as_generator(self), value, Sent::value));
}

// Makes `throw`'s arguments the pending exception, as the host does.
bool raise_thrown(PyObject* type, PyObject* value, PyObject* traceback)
{
    if (traceback == Py_None)
        traceback = nullptr;
    if (traceback && !PyTraceBack_Check(traceback)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    if (PyExceptionClass_Check(type)) {
        PyErr_SetObject(type, value);
    } else if (PyExceptionInstance_Check(type)) {
        if (value && value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        PyErr_SetRaisedException(Py_NewRef(type));
        return true;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return false;
    }
    if (traceback) {
        Ref error = steal(PyErr_GetRaisedException());
        PyException_SetTraceback(error, traceback);
        PyErr_SetRaisedException(error.release());
    }
    return true;
}

// throw(value) or the deprecated throw(type[, value[, traceback]]).
PyObject* generator_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs)
{
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1
        && PyErr_WarnEx(PyExc_DeprecationWarning,
                        "the (type, exc, tb) signature of throw() is deprecated, use the "
                        "single-arg signature instead.",
                        1)
               < 0)
        return nullptr;
    if (!raise_thrown(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr))
        return nullptr;
    return stop_unless_failed(resume(as_generator(self), Py_None, Sent::exception));
}

PyObject* generator_close(PyObject* self, PyObject*)
{
    GeneratorObject* g = as_generator(self);
    if (!claim(g)) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    // A generator that never ran has nothing to unwind.
    Ended ended = g->started ? Ended{} : detach(g);
    const bool over = !g->body;
    release(g);
    ended.dispose();
    if (over)
        Py_RETURN_NONE;
    PyErr_SetNone(PyExc_GeneratorExit);
    if (Ref value = resume(g, Py_None, Sent::exception)) {
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (!PyErr_Occurred())
        Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit)
        || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded "
     "value or raise\nStopIteration."},
    {"close", generator_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes ------------------------------------------------------------------

PyObject* get_name(PyObject* self, void*)
{
    return read_field(self, &as_generator(self)->name).release();
}
PyObject* get_qualname(PyObject* self, void*)
{
    return read_field(self, &as_generator(self)->qualname).release();
}

int set_name(PyObject* self, PyObject* value, void*)
{
    return set_string(self, &as_generator(self)->name, value,
                      "__name__ must be set to a string object");
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_string(self, &as_generator(self)->qualname, value,
                      "__qualname__ must be set to a string object");
}

PyObject* get_running(PyObject* self, void*)
{
    return PyBool_FromLong(is_running(as_generator(self)));
}

PyObject* get_suspended(PyObject* self, void*)
{
    GeneratorObject* g = as_generator(self);
    return PyBool_FromLong(read_state(g->body) && read_state(g->started) && !is_running(g));
}

PyObject* get_code(PyObject* self, void*)
{
    PyObject* code = as_function(as_generator(self)->function)->code;
    return Py_NewRef(code ? code : Py_None);
}

PyObject* get_yieldfrom(PyObject*, void*) { Py_RETURN_NONE; }

// A frame of the function's code whose locals show the body's current
// values; None once the generator has finished.
// The function's code with the few instructions of an empty code object
// (a frame reports no line on no instructions) and a line table that puts
// them at `line`: one entry without columns, the line given as its distance
// from the first line. The table's format is the host's own and not part of
// its stable interface, so the result is checked through the public line
// lookup; were the format to change, the empty code's own table is used,
// placed at `line`, and only the code's first line differs from the
// function's.
Ref code_at_line(PyObject* code, int first_line, int line)
{
    Ref empty = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", first_line)));
    Ref instructions = empty ? attr(empty, co_code_name) : Ref();
    Ref replace = instructions ? attr(code, replace_name) : Ref();
    if (!replace)
        return {};
    const Py_ssize_t units = PyBytes_GET_SIZE(instructions.get()) / 2;
    constexpr unsigned char without_columns = 0x80 | (13 << 3);
    unsigned char table[8] = {static_cast<unsigned char>(without_columns | ((units - 1) & 7))};
    std::size_t size = 1;
    const int delta = line - first_line;
    unsigned value
        = delta < 0 ? (static_cast<unsigned>(-delta) << 1) | 1u : static_cast<unsigned>(delta) << 1;
    for (; value >= 64; value >>= 6)
        table[size++] = static_cast<unsigned char>(0x40 | (value & 0x3f));
    table[size++] = static_cast<unsigned char>(value);
    Ref lines = steal(PyBytes_FromStringAndSize(reinterpret_cast<char*>(table), size));
    Ref made = lines ? call_with_keywords(replace, code_keywords, {instructions.get(), lines.get()})
                     : Ref();
    if (!made || PyCode_Addr2Line(reinterpret_cast<PyCodeObject*>(made.get()), 0) == line)
        return made;
    Ref placed = steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", "", line)));
    Ref placed_lines = placed ? attr(placed, co_linetable_name) : Ref();
    Ref line_number = placed_lines ? steal(PyLong_FromLong(line)) : Ref();
    return line_number
               ? call_with_keywords(replace, placed_code_keywords,
                                    {instructions.get(), placed_lines.get(), line_number.get()})
               : Ref();
}

// The frame shows the line the body stands at, as the host's frames do; it
// is made anew only when that line has changed since it was last read.
bool frame_at_current_line(GeneratorObject* g, const FunctionObject* f)
{
    const int line = g->body->line();
    if (g->frame && g->frame_line == line)
        return true;
    Ref code = code_at_line(f->code, f->spec->line, line);
    if (!code)
        return false;
    PyObject* frame = reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), f->globals, nullptr));
    if (!frame)
        return false;
    Py_XDECREF(exchange_frame(g, frame));
    g->frame_line = line;
    return true;
}

PyObject* current_frame(GeneratorObject* g)
{
    const FunctionObject* f = as_function(g->function);
    if (!g->body || !f->code)
        Py_RETURN_NONE;
    if (!frame_at_current_line(g, f))
        return nullptr;
    Ref names = steal(PyCode_GetVarnames(reinterpret_cast<PyCodeObject*>(f->code)));
    Ref proxy = steal(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(g->frame)));
    if (!names || !proxy)
        return nullptr;
    PyObject* values[max_params + 2 + max_locals] = {};
    const std::size_t count
        = std::min<std::size_t>(PyTuple_GET_SIZE(names.get()), std::size(values));
    g->body->locals(values, count);
    for (std::size_t i = 0; i < count; ++i)
        if (values[i] && PyObject_SetItem(proxy, PyTuple_GET_ITEM(names.get(), i), values[i]) < 0)
            return nullptr;
    return Py_NewRef(g->frame);
}

// Without the GIL the frame is refreshed only by a thread that may touch the
// body; one that finds the generator running gets the frame as last shown.
// A thread that resumes the generator meanwhile waits for the refresh rather
// than failing as already executing.
PyObject* get_frame(PyObject* self, void*)
{
    GeneratorObject* g = as_generator(self);
#ifdef Py_GIL_DISABLED
    if (!claim_to_read(g)) {
        PyObject* frame;
        Py_BEGIN_CRITICAL_SECTION(g);
        frame = Py_NewRef(g->frame ? g->frame : Py_None);
        Py_END_CRITICAL_SECTION();
        return frame;
    }
    PyObject* frame = current_frame(g);
    release_from_reading(g);
    return frame;
#else
    return current_frame(g);
#endif
}

PyGetSetDef generator_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", get_frame, nullptr, nullptr, nullptr},
    {"gi_code", get_code, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", get_yieldfrom, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- lifetime ----------------------------------------------------------------------

PyObject* generator_repr(PyObject* self)
{
    Ref qualname = read_field(self, &as_generator(self)->qualname);
    return PyUnicode_FromFormat("<tarvex_generator object %U at %p>", qualname.get(), self);
}

int generator_traverse(PyObject* self, visitproc visit, void* arg)
{
    GeneratorObject* g = as_generator(self);
    Py_VISIT(g->function);
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    Py_VISIT(g->frame);
    return g->body ? g->body->traverse(visit, arg) : 0;
}

// A suspended generator is closed, so its body leaves its `with` blocks; a
// failure there is reported as unraisable.
void generator_finalize(PyObject* self)
{
    GeneratorObject* g = as_generator(self);
    if (!g->body || !g->started)
        return;
    PyObject* pending = PyErr_GetRaisedException();
    if (Ref result = steal(generator_close(self, nullptr)); !result)
        PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
}

int generator_clear(PyObject* self)
{
    finish(as_generator(self));
    return 0;
}

void generator_dealloc(PyObject* self)
{
    GeneratorObject* g = as_generator(self);
    PyObject_GC_UnTrack(self);
    if (g->weakrefs)
        PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0)
        return; // resurrected by the finaliser
    PyObject_GC_UnTrack(self);
    finish(g);
    Py_CLEAR(g->function);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    PyObject_GC_Del(self);
}

PyTypeObject local_generator_type = {
    // The head macro brings its own comma, which clang-format cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarvex_generator",
    // clang-format on
    .tp_basicsize = sizeof(GeneratorObject),
    .tp_dealloc = generator_dealloc,
    .tp_repr = generator_repr,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "Generator of the tarvex_func package.",
    .tp_traverse = generator_traverse,
    .tp_clear = generator_clear,
    .tp_weaklistoffset = offsetof(GeneratorObject, weakrefs),
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = generator_iternext,
    .tp_methods = generator_methods,
    .tp_getset = generator_getset,
    .tp_finalize = generator_finalize,
};

bool register_with_abc(PyTypeObject* type)
{
    Ref abc = steal(PyImport_ImportModule("collections.abc"));
    Ref generator_abc = abc ? steal(PyObject_GetAttrString(abc, "Generator")) : Ref();
    if (!generator_abc)
        return false;
    Ref registered = steal(
        PyObject_CallMethod(generator_abc, "register", "O", reinterpret_cast<PyObject*>(type)));
    return static_cast<bool>(registered);
}

} // namespace

bool ready_generator_type() noexcept
{
    PyTypeObject* type = shared_type(registry_key, &local_generator_type);
    if (!type)
        return false;
    state.generator_type = type;
    return register_with_abc(type);
}

namespace detail {

Ref new_generator(PyObject* function, Resumable* body) noexcept
{
    std::unique_ptr<Resumable> owned(body);
    const FunctionObject* f = as_function(function);
    // The function's `__name__` at the call, as the host's generators take it.
    Ref name = function_name(function);
    if (!name)
        return {};
    auto* g = PyObject_GC_New(GeneratorObject, state.generator_type);
    if (!g)
        return {};
    g->function = Py_NewRef(function);
    g->name = name.release();
    g->qualname = read_field(function, &f->qualname).release();
    g->frame = nullptr;
    g->frame_line = 0;
    g->weakrefs = nullptr;
    g->body = owned.release();
    g->started = false;
    g->holder = Holder::none;
    g->reader = nullptr;
    PyObject_GC_Track(g);
    return steal(reinterpret_cast<PyObject*>(g));
}

void report_generator_frame(PyObject* function, int line) noexcept
{
    Ref name = read_field(function, &as_function(function)->qualname);
    add_traceback(name, line);
}

} // namespace detail
} // namespace tarvex
