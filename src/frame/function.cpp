// The function type shared by every module of the package.
#include "internal.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tarvex {
namespace {

constexpr const char registry_key[] = "function_type";

// --- attributes -------------------------------------------------------------
//
// The fields behind the writable attributes are read and replaced under the
// object's lock: without the GIL a reader must not take a reference to an
// object that a setter in another thread is releasing. With the GIL the lock
// is nothing.

// The field, made by `make` on first use. It is made outside the lock (a
// lock is given up while its holder waits for another one), and the first
// value stored wins.
template <class Make> PyObject* lazy_field(PyObject* owner, PyObject** field, Make make)
{
    if (Ref value = read_field(owner, field))
        return value.release();
    PyObject* made = make();
    if (!made)
        return nullptr;
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(owner);
    if (!*field)
        *field = std::exchange(made, nullptr);
    value = Py_NewRef(*field);
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(made);
    return value;
}

PyObject* get_doc(PyObject* self, void*)
{
    const Spec* spec = as_function(self)->spec;
    return lazy_field(self, &as_function(self)->doc, [spec] {
        return spec->doc ? PyUnicode_FromString(spec->doc) : Py_NewRef(Py_None);
    });
}

int set_doc(PyObject* self, PyObject* value, void*)
{
    store_field(self, &as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return function_name(self).release(); }

} // namespace

Ref read_field([[maybe_unused]] PyObject* owner, PyObject* const* field) noexcept
{
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(owner);
    value = Py_XNewRef(*field);
    Py_END_CRITICAL_SECTION();
    return steal(value);
}

void store_field([[maybe_unused]] PyObject* owner, PyObject** field, PyObject* value) noexcept
{
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(owner);
    old = std::exchange(*field, value);
    Py_END_CRITICAL_SECTION();
    // Released after the lock: the release may run code that reads the field.
    Py_XDECREF(old);
}

Ref function_name(PyObject* function) noexcept
{
    const Spec* spec = as_function(function)->spec;
    return steal(lazy_field(function, &as_function(function)->name,
                            [spec] { return PyUnicode_InternFromString(spec->name); }));
}

int set_string(PyObject* owner, PyObject** field, PyObject* value, const char* message) noexcept
{
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    store_field(owner, field, Py_NewRef(value));
    return 0;
}

namespace {

int set_name(PyObject* self, PyObject* value, void*)
{
    return set_string(self, &as_function(self)->name, value,
                      "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*)
{
    return read_field(self, &as_function(self)->qualname).release();
}

int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_string(self, &as_function(self)->qualname, value,
                      "__qualname__ must be set to a string object");
}

PyObject* get_dict(PyObject* self, void*)
{
    return lazy_field(self, &as_function(self)->dict, [] { return PyDict_New(); });
}

int set_dict(PyObject* self, PyObject* value, void*)
{
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    store_field(self, &as_function(self)->dict, Py_NewRef(value));
    return 0;
}

// Attribute lookups and stores go through the host's generic algorithm with
// the dictionary taken under the lock. Left to find the dictionary itself
// through an offset, the host would read the field unlocked, and without the
// GIL a `__dict__` replaced in another thread could be freed between that
// read and the reference taken to it.
PyObject* function_getattro(PyObject* self, PyObject* name)
{
    Ref dict = read_field(self, &as_function(self)->dict);
    return _PyObject_GenericGetAttrWithDict(self, name, dict.get(), 0);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value)
{
    Ref dict = steal(get_dict(self, nullptr));
    if (!dict)
        return -1;
    return _PyObject_GenericSetAttrWithDict(self, name, value, dict.get());
}

PyObject* or_none(Ref value) { return value ? value.release() : Py_NewRef(Py_None); }

PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_code(PyObject* self, void*) { return or_none(borrow(as_function(self)->code)); }
PyObject* get_defaults(PyObject* self, void*)
{
    return or_none(read_field(self, &as_function(self)->defaults));
}
PyObject* get_kwdefaults(PyObject* self, void*)
{
    return or_none(read_field(self, &as_function(self)->kwdefaults));
}

// Stores a new `__defaults__` or `__kwdefaults__` for reading back only:
// calls keep the values fixed at definition, which the warning says.
int set_shown_defaults(PyObject* self, PyObject** field, PyObject* value,
                       bool (*accepts)(PyObject*), const char* type_message, const char* warning)
{
    if (value == Py_None)
        value = nullptr;
    if (value && !accepts(value)) {
        PyErr_SetString(PyExc_TypeError, type_message);
        return -1;
    }
    // None and deletion are stores like any other: each warns before it
    // takes effect.
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0)
        return -1;
    store_field(self, field, Py_XNewRef(value));
    return 0;
}

bool is_tuple(PyObject* value) { return PyTuple_Check(value); }
bool is_dict(PyObject* value) { return PyDict_Check(value); }

int set_defaults(PyObject* self, PyObject* value, void*)
{
    return set_shown_defaults(
        self, &as_function(self)->defaults, value, is_tuple,
        "__defaults__ must be set to a tuple object",
        "changes to __defaults__ will not currently affect the values used in function calls");
}

int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    return set_shown_defaults(
        self, &as_function(self)->kwdefaults, value, is_dict,
        "__kwdefaults__ must be set to a dict object",
        "changes to __kwdefaults__ will not currently affect the values used in function calls");
}

PyObject* get_annotations(PyObject* self, void*)
{
    return lazy_field(self, &as_function(self)->annotations, [] { return PyDict_New(); });
}

int set_annotations(PyObject* self, PyObject* value, void*)
{
    if (value == Py_None)
        value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    store_field(self, &as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

// The package defines no coroutine functions, so `_is_coroutine` is False.
PyObject* get_is_coroutine(PyObject*, void*) { Py_RETURN_FALSE; }

// Any object, as for the host's functions; after a delete it reads as None.
PyObject* get_module(PyObject* self, void*)
{
    return or_none(read_field(self, &as_function(self)->module));
}

int set_module(PyObject* self, PyObject* value, void*)
{
    store_field(self, &as_function(self)->module, Py_XNewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods and slots ------------------------------------------------------

// Pickled by reference: the module named by `__module__`, attribute
// `__qualname__`.
PyObject* function_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_get(PyObject* self, PyObject* instance, PyObject*)
{
    if (!instance || instance == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self)
{
    Ref qualname = read_field(self, &as_function(self)->qualname);
    return PyUnicode_FromFormat("<tarvex_function %U at %p>", qualname.get(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    FunctionObject* f = as_function(self);
    Py_VISIT(f->module);
    Py_VISIT(f->dict);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->fixed_defaults);
    Py_VISIT(f->params);
    Py_VISIT(f->entry_name);
    return 0;
}

int function_clear(PyObject* self)
{
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->fixed_defaults);
    Py_CLEAR(f->params);
    Py_CLEAR(f->entry_name);
    return 0;
}

void function_dealloc(PyObject* self)
{
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs)
        PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyTypeObject local_function_type = {
    // The head macro brings its own comma, which clang-format cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarvex_function",
    // clang-format on
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = function_getattro,
    .tp_setattro = function_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE
                | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR
                | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "Function of the tarvex_func package.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = function_methods,
    .tp_getset = function_getset,
    .tp_descr_get = function_get,
};

} // namespace

namespace {

// The build of the frame, as the build system names it: the frame's sources
// and the compiler. Builds with the same tag lay out their objects alike.
#ifdef TARVEX_ABI
constexpr char abi_tag[] = TARVEX_ABI;
#else
constexpr char abi_tag[] = "unnamed build";
#endif

// A registered type is used only with the mark of the build that put it
// there: its instances' C fields are read as this build's, so a type of
// another build, or anything else under the same key, must never be taken
// for it. The mark is a capsule of the type itself with the build's tag as
// its context, so that replacing the type alone does not pass either.
constexpr char abi_mark_name[] = "_tarvex_shared.abi_mark";

bool carries_this_build(PyObject* registry, const char* mark_key, PyObject* shared)
{
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(registry, mark_key, &found) < 0)
        return false;
    Ref mark = steal(found);
    if (!mark || !PyCapsule_IsValid(mark, abi_mark_name)
        || PyCapsule_GetPointer(mark, abi_mark_name) != shared)
        return false;
    const auto* tag = static_cast<const char*>(PyCapsule_GetContext(mark));
    return tag && std::strcmp(tag, abi_tag) == 0;
}

// `local`, readied, published under `key` with its mark unless another
// module got there first; the entry under `key` afterwards. Each entry is put
// in with one insert-if-absent, the mark before the type, so that modules
// initialised by several threads at once all take the first one's type.
Ref publish_type(PyObject* registry, const char* key, const char* mark_key, PyTypeObject* local)
{
    if (PyType_Ready(local) < 0)
        return {};
    Ref mark = steal(PyCapsule_New(local, abi_mark_name, nullptr));
    if (!mark || PyCapsule_SetContext(mark, const_cast<char*>(abi_tag)) < 0)
        return {};
    Ref first_mark = publish(registry, mark_key, mark);
    if (!first_mark)
        return {};
    // Another build's mark (or anything else) fails the check of the caller.
    PyObject* type = reinterpret_cast<PyObject*>(local);
    if (first_mark != mark && PyCapsule_IsValid(first_mark, abi_mark_name))
        type = static_cast<PyObject*>(PyCapsule_GetPointer(first_mark, abi_mark_name));
    return publish(registry, key, type);
}

} // namespace

Ref registry_module() noexcept
{
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_Check(modules))
        return steal(PyImport_AddModuleRef(registry_name));
    Ref name = steal(PyUnicode_FromString(registry_name));
    PyObject* found = nullptr;
    if (!name || PyDict_GetItemRef(modules, name, &found) < 0)
        return {};
    if (found)
        return steal(found);
    Ref fresh = steal(PyModule_NewObject(name));
    if (!fresh || PyDict_SetDefaultRef(modules, name, fresh, &found) < 0)
        return {};
    return steal(found);
}

Ref publish(PyObject* registry, const char* key, PyObject* value) noexcept
{
    Ref name = steal(PyUnicode_FromString(key));
    PyObject* first = nullptr;
    if (!name || PyDict_SetDefaultRef(PyModule_GetDict(registry), name, value, &first) < 0)
        return {};
    return steal(first);
}

bool registry_entry(const char* key, Ref& registry, Ref& entry) noexcept
{
    registry = registry_module();
    PyObject* found = nullptr;
    if (!registry || PyObject_GetOptionalAttrString(registry, key, &found) < 0)
        return false;
    entry = steal(found);
    return true;
}

PyTypeObject* shared_type(const char* key, PyTypeObject* local) noexcept
{
    char mark_key[64];
    PyOS_snprintf(mark_key, sizeof mark_key, "%s_abi", key);
    Ref registry, shared;
    if (!registry_entry(key, registry, shared))
        return nullptr;
    if (!shared && !(shared = publish_type(registry, key, mark_key, local)))
        return nullptr;
    if (!carries_this_build(registry, mark_key, shared)) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "%s.%s is not the %s of this build", registry_name, key,
                         local->tp_name);
        return nullptr;
    }
    // The registry keeps the type alive for the life of the process.
    return reinterpret_cast<PyTypeObject*>(shared.get());
}

PyTypeObject* shared_function_type() noexcept
{
    return shared_type(registry_key, &local_function_type);
}

Ref new_function(const Spec& spec, vectorcallfunc call, PyObject* params, PyObject* code,
                 PyObject* defaults, PyObject* annotations) noexcept
{
    Ref qualname = steal(PyUnicode_FromString(spec.qualname ? spec.qualname : spec.name));
    if (!qualname)
        return {};
    Ref entry_name
        = steal(spec.entry_name ? PyUnicode_FromFormat("%U.%s", state.bare_name, spec.entry_name)
                                : PyUnicode_FromFormat("%U.%U", state.bare_name, qualname.get()));
    if (!entry_name)
        return {};
    // A parameter that takes exactly one type accepts None besides, so any
    // other default could never reach the body. (Checked here: where the host
    // is a DLL, whether a type is named is no constant expression.)
    for (int i = spec.required_count(); i < spec.param_count(); ++i)
        if (spec.exact[i] && spec.defaults[i - spec.required_count()].kind != Default::Kind::none) {
            PyErr_Format(PyExc_SystemError,
                         "%s(): a parameter that takes exactly one type can only default to None",
                         spec.name);
            return {};
        }
    auto* f = PyObject_GC_New(FunctionObject, state.function_type);
    if (!f)
        return {};
    f->vectorcall = call;
    f->spec = &spec;
    f->module = Py_NewRef(state.bare_name);
    f->weakrefs = nullptr;
    f->dict = nullptr;
    f->name = nullptr;
    f->qualname = qualname.release();
    f->doc = nullptr;
    f->globals = Py_NewRef(state.globals);
    f->code = Py_NewRef(code);
    f->defaults = Py_XNewRef(defaults);
    f->kwdefaults = nullptr;
    f->annotations = Py_XNewRef(annotations);
    f->fixed_defaults = Py_XNewRef(defaults);
    f->params = Py_NewRef(params);
    f->entry_name = entry_name.release();
    f->shape = {
        .params = spec.param_count(),
        .required = spec.required_count(),
        .star_args = spec.star_args != nullptr,
        .star_kwargs = spec.star_kwargs != nullptr,
        .no_arguments = spec.takes_no_arguments(),
        .typed = std::any_of(spec.exact.begin(), spec.exact.end(),
                             [](ExactType type) { return type != nullptr; }),
    };
    f->shape.simple
        = !f->shape.star_args && !f->shape.star_kwargs && !f->shape.typed && !f->shape.no_arguments;
    PyObject_GC_Track(f);
    return steal(reinterpret_cast<PyObject*>(f));
}

} // namespace tarvex
