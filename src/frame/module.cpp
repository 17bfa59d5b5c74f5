// Module definition, the create and exec steps, module-level imports and
// global lookup.
#include "guard.hpp"
#include "internal.hpp"
#include "writing.hpp"

#include <cstring>

namespace tarvex {

ModuleState state;

// --- string table -------------------------------------------------------------

namespace {
constinit Constant* registered_strings = nullptr;
}

Constant::Constant(const char* text, Kind kind) noexcept
    : text_(text),
      kind_(kind),
      next_(registered_strings)
{
    registered_strings = this;
}

struct StringTable {
    static PyObject* make(const Constant& s)
    {
        switch (s.kind_) {
        case Constant::Kind::identifier:
            return PyUnicode_InternFromString(s.text_);
        case Constant::Kind::keywords:
            return identifier_tuple(s.text_);
        default:
            return PyUnicode_FromString(s.text_);
        }
    }

    // "a b c" -> ('a', 'b', 'c'), each interned.
    static PyObject* identifier_tuple(const char* names)
    {
        Ref text = steal(PyUnicode_FromString(names));
        Ref parts = text ? steal(PyUnicode_Split(text, nullptr, -1)) : Ref();
        if (!parts)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
            PyObject* name = Py_NewRef(PyList_GET_ITEM(parts.get(), i));
            PyUnicode_InternInPlace(&name);
            PyList_SetItem(parts, i, name);
        }
        return PyList_AsTuple(parts);
    }

    // Creates every registered identifier and literal, interning identifiers
    // and hashing each once.
    static bool build()
    {
        for (Constant* s = registered_strings; s; s = s->next_) {
            if (s->kind_ == Constant::Kind::builtin || s->object_)
                continue;
            s->object_ = make(*s);
            if (!s->object_ || PyObject_Hash(s->object_) == -1)
                return false;
        }
        return true;
    }

    // Looks up each held built-in once, as an attribute of `builtins`.
    static bool hold_builtins()
    {
        for (Constant* s = registered_strings; s; s = s->next_) {
            if (s->kind_ != Constant::Kind::builtin || s->object_)
                continue;
            if (PyObject_GetOptionalAttrString(state.builtins, s->text_, &s->object_) < 0)
                return false;
            if (!s->object_) {
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", s->text_);
                return false;
            }
        }
        return true;
    }
};

// --- global lookup ------------------------------------------------------------

Ref global(PyObject* name) noexcept
{
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(state.globals, name, &value) != 0)
        return steal(value);
    if (PyObject_GetOptionalAttr(state.builtins, name, &value) != 0)
        return steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref import_name(PyObject* name, PyObject* from_list, int level) noexcept
{
    Ref locals = steal(PyDict_New());
    if (!locals)
        return {};
    return steal(PyImport_ImportModuleLevelObject(name, state.globals, locals, from_list, level));
}

IoStreams io_streams;

namespace {

Keywords<"encoding newline"> stand_in_keywords;

// A flag of `sys.flags`; -1 with an exception pending when it cannot be read.
int interpreter_flag(PyObject* flags, const char* name)
{
    Ref value = steal(PyObject_GetAttrString(flags, name));
    return value ? PyObject_IsTrue(value) : -1;
}

} // namespace

bool hold_io_streams(Exec&) noexcept
{
    Ref io = steal(PyImport_ImportModule("io"));
    Ref bytes_io = io ? steal(PyObject_GetAttrString(io, "BytesIO")) : Ref();
    Ref wrapper = bytes_io ? steal(PyObject_GetAttrString(io, "TextIOWrapper")) : Ref();
    Ref sys = wrapper ? steal(PyImport_ImportModule("sys")) : Ref();
    Ref flags = sys ? steal(PyObject_GetAttrString(sys, "flags")) : Ref();
    const int utf8_mode = flags ? interpreter_flag(flags, "utf8_mode") : -1;
    const int warn = utf8_mode < 0 ? -1 : interpreter_flag(flags, "warn_default_encoding");
    Ref encoding
        = warn < 0 ? Ref() : steal(PyUnicode_InternFromString(utf8_mode ? "utf-8" : "locale"));
    if (!encoding)
        return false;
    Py_XSETREF(io_streams.bytes_io, bytes_io.release());
    Py_XSETREF(io_streams.text_io_wrapper, wrapper.release());
    Py_XSETREF(io_streams.default_encoding, encoding.release());
    io_streams.warn_default_encoding = warn != 0;
    return true;
}

bool warn_as_open_would(PyObject* encoding) noexcept
{
    if (encoding != Py_None || !io_streams.warn_default_encoding)
        return true;
    Ref refusal = steal(PyErr_GetRaisedException());
    if (PyErr_WarnEx(PyExc_EncodingWarning, "'encoding' argument not specified", 1) < 0)
        return false;
    PyErr_SetRaisedException(refusal.release());
    return true;
}

Ref text_stand_in(PyObject* buffer, PyObject* encoding, PyObject* newline) noexcept
{
    PyObject* chosen = encoding == Py_None ? io_streams.default_encoding : encoding;
    return call_with_keywords(io_streams.text_io_wrapper, {buffer}, stand_in_keywords,
                              {chosen, newline});
}

// --- create ---------------------------------------------------------------------

namespace {

bool check_interpreter()
{
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter == -1) {
        if (current == -1)
            return false;
        state.interpreter = current;
    } else if (state.interpreter != current) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

// Copies one attribute of the spec into the module's dict; a missing one is
// skipped.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to,
                         bool skip_none)
{
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(spec, from, &value) < 0)
        return false;
    Ref held = steal(value);
    if (!held || (skip_none && held.get() == Py_None))
        return true;
    return PyDict_SetItemString(dict, to, held) == 0;
}

PyObject* create(PyObject* spec, PyModuleDef*)
{
    if (!check_interpreter())
        return nullptr;
    if (state.module)
        return Py_NewRef(state.module);
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = steal(PyModule_NewObject(name));
    if (!module)
        return nullptr;
    PyObject* dict = PyModule_GetDict(module);
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", false)
        || !copy_spec_attribute(spec, dict, "origin", "__file__", false)
        || !copy_spec_attribute(spec, dict, "parent", "__package__", false)
        || !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// --- exec -----------------------------------------------------------------------

bool warn_on_version_mismatch()
{
    const int built = PY_VERSION_HEX >> 16;
    const int running = static_cast<int>(Py_Version >> 16);
    if (built == running)
        return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built >> 8, built & 0xff, state.def->name, "does not match", running >> 8,
                  running & 0xff);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool make_constants()
{
    if (!state.empty_tuple)
        state.empty_tuple = PyTuple_New(0);
    if (!state.empty_bytes)
        state.empty_bytes = PyBytes_FromStringAndSize("", 0);
    return state.empty_tuple && state.empty_bytes;
}

bool make_module_names()
{
    if (!state.bare_name && !(state.bare_name = PyUnicode_InternFromString(state.def->name)))
        return false;
    if (!state.filename && !(state.filename = PyUnicode_FromFormat("%s.py", state.def->name)))
        return false;
    if (!state.traceback_frames && !(state.traceback_frames = PyDict_New()))
        return false;
    return true;
}

bool register_bare_name(PyObject* module)
{
    PyObject* modules = PyImport_GetModuleDict();
    const int present = PyDict_Contains(modules, state.bare_name);
    if (present != 0)
        return present > 0;
    return PyDict_SetItem(modules, state.bare_name, module) == 0;
}

// A module that failed to execute leaves `sys.modules` under its bare name
// too, as the import system drops it under its import name; a later import
// then registers the module that succeeds.
void forget_bare_name(PyObject* module)
{
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* entry = nullptr;
    if (state.bare_name && PyDict_GetItemRef(modules, state.bare_name, &entry) > 0
        && entry == module)
        PyDict_DelItem(modules, state.bare_name);
    Py_XDECREF(entry);
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
}

// The failure path of exec: an "init" entry once the string table exists,
// then the module pointer is dropped so a later import starts afresh.
int fail_exec(bool with_entry, int line)
{
    if (!state.module) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "init %s", state.def->name);
        return -1;
    }
    if (with_entry && PyErr_Occurred()) {
        if (Ref name = steal(PyUnicode_FromFormat("init %s", state.def->name)))
            add_traceback(name, line);
        else
            PyErr_Clear();
    }
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "init %s", state.def->name);
    forget_bare_name(state.module);
    Py_CLEAR(state.module);
    return -1;
}

int exec(PyObject* module)
{
    if (state.module) {
        if (state.module == module)
            return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     state.def->name);
        return -1;
    }
    state.module = Py_NewRef(module);
    state.globals = PyModule_GetDict(module);
    Py_CLEAR(state.builtins);
    state.builtins = PyImport_AddModuleRef("builtins");
    if (!state.builtins || PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0
        || !warn_on_version_mismatch() || !make_constants() || !make_module_names()
        || !(state.function_type = shared_function_type()) || !share_dict_watch()
        || (state.def->defines_generators() && !ready_generator_type()))
        return fail_exec(false, 0);

    if (!StringTable::build())
        return fail_exec(true, 0);
    Exec statements;
    if (!register_bare_name(module) || !StringTable::hold_builtins() || !count_forks())
        return fail_exec(true, statements.line());
    for (const Statement& statement : state.def->statements)
        if (!statements.execute(statement))
            return fail_exec(true, statements.line());
    statements.line(1);
    Ref test = steal(PyDict_New());
    if (!test || PyDict_SetItemString(state.globals, "__test__", test) < 0)
        return fail_exec(true, 1);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

// The same, for a module that runs without the GIL: a free-threaded host
// then keeps it off on import. Hosts with the GIL ignore the slot.
PyModuleDef_Slot module_slots_without_gil[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
};

// A module in `sys.modules` that is still initialising is imported again, as
// the import statement does.
Ref imported_module(PyObject* name)
{
    PyObject* found = PyImport_GetModule(name);
    if (!found && PyErr_Occurred())
        return {};
    Ref module = steal(found);
    // None in `sys.modules` halts the import; the import system says so.
    if (module && module.get() != Py_None) {
        PyObject* spec = nullptr;
        if (PyObject_GetOptionalAttrString(module, "__spec__", &spec) < 0)
            return {};
        Ref held_spec = steal(spec);
        int initialising = 0;
        if (held_spec) {
            PyObject* flag = nullptr;
            if (PyObject_GetOptionalAttrString(held_spec, "_initializing", &flag) < 0)
                return {};
            Ref held_flag = steal(flag);
            if (held_flag && (initialising = PyObject_IsTrue(held_flag)) < 0)
                return {};
        }
        if (!initialising)
            return module;
    }
    return import_name(name, nullptr, 0);
}

} // namespace

// --- statements -------------------------------------------------------------------

PyObject* Exec::globals() const noexcept { return state.globals; }

bool Exec::import(int line, const char* dotted) noexcept
{
    line_ = line;
    Ref name = steal(PyUnicode_InternFromString(dotted));
    if (!name)
        return false;
    Ref module;
    if (std::strchr(dotted, '.')) {
        module = import_name(name, nullptr, 0);
    } else {
        module = imported_module(name);
    }
    if (!module)
        return false;
    Ref bound = steal(PyUnicode_FromStringAndSize(dotted, std::strcspn(dotted, ".")));
    return bound && PyDict_SetItem(state.globals, bound, module) == 0;
}

namespace {

// The value that `from module import name` binds.
Ref imported_name(PyObject* module, PyObject* module_name, PyObject* name)
{
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module, name, &value) != 0)
        return steal(value);
    Ref full_name = steal(PyUnicode_FromFormat("%U.%U", module_name, name));
    if (!full_name)
        return {};
    if (Ref submodule = steal(PyImport_GetModule(full_name)))
        return submodule;
    if (!PyErr_Occurred())
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

} // namespace

bool Exec::import_from(int line, const char* dotted, const char* name) noexcept
{
    line_ = line;
    Ref module_name = steal(PyUnicode_InternFromString(dotted));
    Ref bound = steal(PyUnicode_InternFromString(name));
    if (!module_name || !bound)
        return false;
    Ref from_list = steal(PyTuple_Pack(1, bound.get()));
    if (!from_list)
        return false;
    Ref module = import_name(module_name, from_list, 0);
    if (!module)
        return false;
    Ref value = imported_name(module, module_name, bound);
    return value && PyDict_SetItem(state.globals, bound, value) == 0;
}

namespace {

Ref default_value(const Default& value)
{
    switch (value.kind) {
    case Default::Kind::text:
        return steal(PyUnicode_FromString(value.text));
    case Default::Kind::integer:
        return steal(PyLong_FromLongLong(value.value));
    case Default::Kind::boolean:
        return boolean(value.value != 0);
    default:
        return none();
    }
}

Ref defaults_tuple(const Spec& spec)
{
    const int count = spec.default_count();
    if (count == 0)
        return {};
    Ref tuple = steal(PyTuple_New(count));
    if (!tuple)
        return {};
    for (int i = 0; i < count; ++i) {
        Ref value = default_value(spec.defaults[i]);
        if (!value)
            return {};
        PyTuple_SET_ITEM(tuple.get(), i, value.release());
    }
    return tuple;
}

Ref annotations_dict(const Spec& spec)
{
    if (!spec.annotations[0].name)
        return {};
    Ref dict = steal(PyDict_New());
    if (!dict)
        return {};
    for (const Annotation& a : spec.annotations) {
        if (!a.name)
            break;
        Ref value = steal(PyUnicode_FromString(a.value));
        if (!value || PyDict_SetItemString(dict, a.name, value) < 0)
            return {};
    }
    return dict;
}

Ref parameter_names(const Spec& spec)
{
    Ref params = steal(PyTuple_New(spec.param_count()));
    if (!params)
        return {};
    for (int i = 0; i < spec.param_count(); ++i) {
        PyObject* name = PyUnicode_InternFromString(spec.params[i]);
        if (!name)
            return {};
        PyTuple_SET_ITEM(params.get(), i, name);
    }
    return params;
}

} // namespace

Ref Exec::function(const Definition& definition) noexcept
{
    const Spec& spec = *definition.spec;
    const vectorcallfunc call = definition.call;
    line_ = spec.line;
    Ref params = parameter_names(spec);
    if (!params)
        return {};
    Ref code = new_code(spec, params);
    if (!code)
        return {};
    Ref defaults = defaults_tuple(spec);
    if (!defaults && PyErr_Occurred())
        return {};
    Ref annotations = annotations_dict(spec);
    if (!annotations && PyErr_Occurred())
        return {};
    return new_function(spec, call, params, code, defaults, annotations);
}

bool Exec::define(const Definition& definition) noexcept
{
    Ref function = this->function(definition);
    return function && PyDict_SetItemString(state.globals, definition.spec->name, function) == 0;
}

bool Exec::execute(const Statement& statement) noexcept
{
    switch (statement.kind) {
    case Statement::Kind::import:
        return import(statement.line, statement.dotted);
    case Statement::Kind::import_from:
        return import_from(statement.line, statement.dotted, statement.name);
    case Statement::Kind::define:
        return define(statement.definition);
    case Statement::Kind::run:
        return statement.run(*this);
    }
    return false;
}

bool Exec::store(const char* name, PyObject* value) noexcept
{
    return PyDict_SetItemString(state.globals, name, value) == 0;
}

PyObject* init(const ModuleDef& def) noexcept
{
    state.def = &def;
    module_def.m_name = def.name;
    module_def.m_doc = def.doc;
    if (def.runs_without_gil)
        module_def.m_slots = module_slots_without_gil;
    return PyModuleDef_Init(&module_def);
}

} // namespace tarvex
