// hubkit: the class TarvexHubkit, whose construction installs the helper
// functions as methods of dict, list, str, int and float.
#include "frame.hpp"

#include <iterator>
#include <span>
#include <utility>

namespace {
using namespace tarvex;

// --- installation table -------------------------------------------------------------
// Each installer writes its rows, helpers looked up by name among hubkit's
// globals, into a built-in type's dictionary under the method names. The
// statement lines follow from the table: an installer is defined at `line`,
// fetches the dictionary on the next line but one and writes row i on the
// line after that plus i; `__init__` calls installer i at line 26 + i.

struct Row {
    Row(const char* method, const char* helper) noexcept : method(method), helper(helper) {}
    Name method;
    Name helper;
};

Row dict_rows[] = {
    {"find", "dict_find_path"},        {"find_all", "dict_find_all_path"},
    {"modify", "dict_update_path"},    {"delete", "dict_delete_path"},
    {"write_yaml", "dict_write_yaml"},
};

Row list_rows[] = {
    {"set", "list_set"},
    {"diff", "list_diff"},
    {"inter", "list_intersect"},
    {"intersect", "list_intersect"},
};

Row str_rows[] = {
    {"int", "str_int"},          {"float", "str_float"},         {"timestamp", "str_time"},
    {"f", "str_format"},         {"s", "str_format_s"},          {"yaml", "str_read_yaml"},
    {"read", "str_read_file"},   {"read_line", "str_read_line"}, {"read_lines", "str_read_lines"},
    {"write", "str_write_file"},
};

Row file_rows[] = {
    {"isfile", "str_isfile"},
    {"remove", "str_file_delete"},
    {"copy", "str_copy"},
    {"move", "str_move"},
};

Row dir_rows[] = {
    {"isdir", "str_isdir"},       {"files_dict", "str_files_dict"},
    {"files", "str_files_list"},  {"files_list", "str_files_list"},
    {"delete", "str_dir_delete"}, {"rmtree", "str_dir_delete"},
    {"copy", "str_copy"},         {"move", "str_move"},
};

// int and float get the same methods.
Row number_rows[] = {
    {"str", "number_str"},
    {"int", "number_int"},
    {"float", "number_float"},
    {"time", "number_time"},
};

constexpr Spec installer_spec(const char* name, const char* qualname, const char* doc, int line)
{
    return {
        .name = name,
        .doc = doc,
        .line = line,
        .locals = {"_gc"},
        .qualname = qualname,
    };
}

// The type is reached through a function: where the host is a shared
// library, the address of its data is not a compile-time constant.
struct Installer {
    PyTypeObject* (*type)();
    std::span<const Row> rows;
    Spec spec;
    int first_line() const noexcept { return spec.line + 2; }
};

// In the order construction runs them.
constexpr Installer installers[] = {
    {[] { return &PyDict_Type; }, dict_rows,
     installer_spec("_extend_dict", "TarvexHubkit._extend_dict", "TarvexHubkit._extend_dict()",
                    65)},
    {[] { return &PyList_Type; }, list_rows,
     installer_spec("_extend_list", "TarvexHubkit._extend_list", "TarvexHubkit._extend_list()",
                    74)},
    {[] { return &PyUnicode_Type; }, str_rows,
     installer_spec("_extend_str", "TarvexHubkit._extend_str", "TarvexHubkit._extend_str()", 82)},
    {[] { return &PyUnicode_Type; }, file_rows,
     installer_spec("_extend_file", "TarvexHubkit._extend_file", "TarvexHubkit._extend_file()",
                    96)},
    {[] { return &PyUnicode_Type; }, dir_rows,
     installer_spec("_extend_dir", "TarvexHubkit._extend_dir", "TarvexHubkit._extend_dir()", 104)},
    {[] { return &PyLong_Type; }, number_rows,
     installer_spec("_extend_int", "TarvexHubkit._extend_int", "TarvexHubkit._extend_int()", 116)},
    {[] { return &PyFloat_Type; }, number_rows,
     installer_spec("_extend_float", "TarvexHubkit._extend_float", "TarvexHubkit._extend_float()",
                    124)},
};

// The spec of installer I as an object of its own, for the compile-time
// check of its definition.
template <std::size_t I> constexpr Spec installer_spec_of = installers[I].spec;
constexpr int first_init_call_line = 26;

// --- functions -------------------------------------------------------------------

constexpr Spec init_spec{
    .name = "__init__",
    .doc = "TarvexHubkit.__init__(self, *args, **kwargs)",
    .line = 23,
    .params = {"self"},
    .star_args = "args",
    .star_kwargs = "kwargs",
    .qualname = "TarvexHubkit.__init__",
};

Name gc_name{"gc"};
Name get_referents_name{"get_referents"};
Name dict_name{"__dict__"};
Builtin staticmethod_builtin{"staticmethod"};

// --- bodies ------------------------------------------------------------------------

Ref init_body(Site& at, PyObject* self, PyObject*, PyObject*)
{
    int line = first_init_call_line;
    for (const Installer& step : installers) {
        at.line(line++);
        Ref installer = steal(PyObject_GetAttrString(self, step.spec.name));
        if (!installer || !call(installer))
            return {};
    }
    return none();
}

// The host's own `gc.get_referents`, as hubkit's `gc` held it at import.
PyObject* own_get_referents = nullptr;

// The dictionary behind the read-only proxy of `type.__dict__`:
// `gc.get_referents(type.__dict__)[0]`. While the name still reads the host's
// own function, the type's dictionary is asked of the type: the same object,
// without the host's `get_referents`, which pauses every other thread (without
// the GIL) and leaves that pause half taken in a child forked meanwhile.
Ref type_dictionary(PyTypeObject* type)
{
    Ref get_referents = global_attr(gc_name, get_referents_name);
    if (!get_referents)
        return {};
    if (get_referents.get() == own_get_referents)
        return steal(PyType_GetDict(type));
    Ref proxy = attr(reinterpret_cast<PyObject*>(type), dict_name);
    if (!proxy)
        return {};
    Ref referents = call(get_referents, proxy.get());
    if (!referents)
        return {};
    return steal(PySequence_GetItem(referents, 0));
}

bool write_rows(Site& at, int first_row_line, PyObject* dictionary, std::span<const Row> rows)
{
    int line = first_row_line;
    for (const Row& row : rows) {
        at.line(line++);
        Ref helper = global(row.helper);
        if (!helper || PyObject_SetItem(dictionary, row.method, helper) < 0)
            return false;
    }
    return true;
}

// The group an installer writes: its name after "_extend_".
const char* group_name(const Installer& installer) noexcept
{
    return installer.spec.name + sizeof("_extend_") - 1;
}

Name install_module_name{"_install"};
Name lock_name{"_lock"};
Name acquire_name{"acquire"};
Name release_name{"release"};
Name installing_name{"_installing"};

// The lock of the package's installation functions, held while an installer
// writes, so that a construction and a scoped installation never interleave.
// It is looked up at every use: a forked child renews it.
class InstallLock {
public:
    bool acquire(PyObject* install_module) noexcept
    {
        lock_ = attr(install_module, lock_name);
        held_ = lock_ && call_method(lock_, acquire_name);
        return held_;
    }
    // Releases on every path; the pending exception, if any, stays the one
    // reported.
    ~InstallLock()
    {
        if (!held_)
            return;
        PyObject* pending = PyErr_GetRaisedException();
        if (!call_method(lock_, release_name))
            PyErr_WriteUnraisable(lock_);
        PyErr_SetRaisedException(pending);
    }

private:
    Ref lock_;
    bool held_ = false;
};

// `from . import _install`: the package's installation functions, which keep
// what an installation replaces and count who holds each group.
Ref install_module() { return import_name(install_module_name, nullptr, 1); }

// Writes the rows into the type's own dictionary, under the installation
// lock, once the installation functions have noted what the rows replace.
// The interpreter caches attribute lookups per type, misses included, and
// such writes bypass the type's setattr; so the type is told it changed,
// also after a failure, for the rows written before it to be found.
template <std::size_t I> Ref extend(Site& at)
{
    const Installer& installer = installers[I];
    PyTypeObject* type = installer.type();
    at.line(installer.first_line());
    Ref installation = install_module();
    InstallLock lock;
    if (!installation || !lock.acquire(installation))
        return {};
    Ref group = steal(PyUnicode_FromString(group_name(installer)));
    if (!group || !call_method(installation, installing_name, group))
        return {};
    Ref dictionary = type_dictionary(type);
    if (!dictionary)
        return {};
    const bool written = write_rows(at, installer.first_line() + 1, dictionary, installer.rows);
    PyType_Modified(type);
    return written ? none() : Ref();
}

// Takes `method` back from the type's own dictionary only while its value is
// still `helper`, so a name rebound by someone else since stays: the value it
// replaced goes back (`previous` is a one-element tuple of it), or, with an
// empty `previous`, the name is deleted; true when taken back. The type is
// told it changed, as after an installation, so a cached hit is not served
// after the name is gone.
constexpr Spec remove_spec{
    .name = "_remove",
    .doc = "_remove(cls, method, helper, previous)",
    .line = 134,
    .params = {"cls", "method", "helper", "previous"},
};

// Puts back the one value of `previous`, or deletes the name: 1, or -1 failed.
int take_back(PyObject* dictionary, PyObject* method, PyObject* previous)
{
    const int done = PyTuple_GET_SIZE(previous) == 0
                         ? PyDict_DelItem(dictionary, method)
                         : PyDict_SetItem(dictionary, method, PyTuple_GET_ITEM(previous, 0));
    return done == 0 ? 1 : -1;
}

Ref remove_body(Site&, PyObject* cls, PyObject* method, PyObject* helper, PyObject* previous)
{
    if (!PyType_Check(cls) || !PyTuple_Check(previous) || PyTuple_GET_SIZE(previous) > 1) {
        PyErr_SetString(PyExc_TypeError, "_remove() needs a type and a tuple of at most one value");
        return {};
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref dictionary = type_dictionary(type);
    if (!dictionary)
        return {};
    // The name is read and taken back under the dictionary's lock, so that
    // no write of another thread's falls between the two.
    int state = 0; // -1 failed, 0 not the helper, 1 taken back
    Py_BEGIN_CRITICAL_SECTION(dictionary.get());
    PyObject* current = nullptr;
    state = PyDict_GetItemRef(dictionary, method, &current);
    const bool ours = state > 0 && current == helper;
    Py_XDECREF(current);
    if (state >= 0)
        state = ours ? take_back(dictionary, method, previous) : 0;
    Py_END_CRITICAL_SECTION();
    if (state == 0)
        return boolean(false);
    PyType_Modified(type);
    return state > 0 ? boolean(true) : Ref();
}

// `_groups`: the installers' tables as data, the one statement of the groups
// that the installation functions and the tests read: a tuple of
// `(group, type, ((method, helper name), ...))` in the order construction
// runs them.
Ref group_table()
{
    Ref table = steal(PyTuple_New(std::size(installers)));
    if (!table)
        return {};
    Py_ssize_t i = 0;
    for (const Installer& installer : installers) {
        Ref rows = steal(PyTuple_New(static_cast<Py_ssize_t>(installer.rows.size())));
        if (!rows)
            return {};
        Py_ssize_t j = 0;
        for (const Row& row : installer.rows) {
            PyObject* pair = PyTuple_Pack(2, row.method.get(), row.helper.get());
            if (!pair)
                return {};
            PyTuple_SET_ITEM(rows.get(), j++, pair);
        }
        PyObject* entry = Py_BuildValue("(sOO)", group_name(installer),
                                        reinterpret_cast<PyObject*>(installer.type()), rows.get());
        if (!entry)
            return {};
        PyTuple_SET_ITEM(table.get(), i++, entry);
    }
    return table;
}

bool define_group_table(Exec& m)
{
    m.line(134);
    Ref table = group_table();
    return table && m.store("_groups", table);
}

// --- module ------------------------------------------------------------------------

// `from .function import *`, by the language's rule for `import *`.
bool import_star(PyObject* globals, PyObject* package)
{
    PyObject* names = nullptr;
    if (PyObject_GetOptionalAttrString(package, "__all__", &names) < 0)
        return false;
    Ref all = steal(names);
    const bool public_only = !all;
    if (public_only) {
        PyObject* dict = nullptr;
        if (PyObject_GetOptionalAttrString(package, "__dict__", &dict) < 0)
            return false;
        if (!dict) {
            PyErr_SetString(PyExc_ImportError,
                            "from-import-* object has no __dict__ and no __all__");
            return false;
        }
        Ref namespace_dict = steal(dict);
        all = steal(PyMapping_Keys(namespace_dict));
        if (!all)
            return false;
    }
    Ref iterator = steal(PyObject_GetIter(all));
    if (!iterator)
        return false;
    while (Ref name = steal(PyIter_Next(iterator))) {
        if (!PyUnicode_Check(name.get())) {
            Ref module_name = steal(PyObject_GetAttrString(package, "__name__"));
            if (module_name)
                PyErr_Format(PyExc_TypeError, "%s in %U.%s must be str, not %.100s",
                             public_only ? "Key" : "Item", module_name.get(),
                             public_only ? "__dict__" : "__all__", Py_TYPE(name.get())->tp_name);
            return false;
        }
        if (public_only && PyUnicode_READ_CHAR(name.get(), 0) == '_')
            continue;
        Ref value = attr(package, name);
        if (!value || PyDict_SetItem(globals, name, value) < 0)
            return false;
    }
    return !PyErr_Occurred();
}

bool import_function_package(Exec& m)
{
    m.line(19);
    Ref name = steal(PyUnicode_FromString("function"));
    Ref from_list = steal(Py_BuildValue("[s]", "*"));
    if (!name || !from_list)
        return false;
    Ref package = import_name(name, from_list, 1);
    return package && import_star(m.globals(), package);
}

bool add_static_method(Exec& m, PyObject* namespace_dict, const Definition& definition)
{
    Ref function = m.function(definition);
    if (!function)
        return false;
    Ref wrapped = call(staticmethod_builtin, function);
    return wrapped && PyDict_SetItemString(namespace_dict, definition.spec->name, wrapped) == 0;
}

template <std::size_t... I>
bool add_installers(Exec& m, PyObject* namespace_dict, std::index_sequence<I...>)
{
    return (add_static_method(m, namespace_dict, checked<installer_spec_of<I>, extend<I>>())
            && ...);
}

bool define_class(Exec& m)
{
    m.line(22);
    Ref namespace_dict
        = steal(Py_BuildValue("{ssss}", "__module__", "hubkit", "__qualname__", "TarvexHubkit"));
    if (!namespace_dict)
        return false;
    Ref init_function = m.function(checked<init_spec, init_body>());
    if (!init_function || PyDict_SetItemString(namespace_dict, "__init__", init_function) < 0)
        return false;
    if (!add_installers(m, namespace_dict, std::make_index_sequence<std::size(installers)>{}))
        return false;
    m.line(22);
    Ref cls = steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                          "TarvexHubkit", namespace_dict.get()));
    return cls && m.store("TarvexHubkit", cls);
}

bool hold_own_get_referents(Exec& m)
{
    PyObject* gc = nullptr;
    if (PyDict_GetItemRef(m.globals(), gc_name, &gc) == 0)
        PyErr_SetObject(PyExc_NameError, gc_name);
    Ref module = steal(gc);
    Ref function = module ? attr(module, get_referents_name) : Ref();
    if (!function)
        return false;
    Py_XSETREF(own_get_referents, function.release());
    return true;
}

constexpr Statement statements[] = {
    import_module(10, "gc"), run(hold_own_get_referents),     run(import_function_package),
    run(define_class),       def<remove_spec, remove_body>(), run(define_group_table),
};

constexpr ModuleDef hubkit{
    .name = "hubkit",
    .doc = "TarvexHubkit: installs the package's helpers as methods of the built-in types.",
    .statements = statements,
    .runs_without_gil = true,
};

} // namespace

PyMODINIT_FUNC PyInit_hubkit() { return tarvex::init(hubkit); }
