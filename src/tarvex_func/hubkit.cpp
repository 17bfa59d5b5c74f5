// hubkit: the class TarvexHubkit, whose construction installs the helper
// functions as methods of dict, list, str, int and float.
#include "frame.hpp"

#include <span>

namespace {
using namespace tarvex;

// --- installation tables -----------------------------------------------------------
// Each row writes one helper, looked up by name among hubkit's globals, into
// a built-in type's dictionary under the method name.

struct Row {
    Row(const char* method, const char* helper, int line) noexcept
        : method(method),
          helper(helper),
          line(line)
    {
    }
    Name method;
    Name helper;
    int line;
};

struct Installer {
    PyTypeObject* type;
    int first_line;
    std::span<Row> rows;
};

Row dict_rows[] = {
    {"find", "dict_find_path", 68},        {"find_all", "dict_find_all_path", 69},
    {"modify", "dict_update_path", 70},    {"delete", "dict_delete_path", 71},
    {"write_yaml", "dict_write_yaml", 72},
};

Row list_rows[] = {
    {"set", "list_set", 77},
    {"diff", "list_diff", 78},
    {"inter", "list_intersect", 79},
    {"intersect", "list_intersect", 80},
};

Row str_rows[] = {
    {"int", "str_int", 85},
    {"float", "str_float", 86},
    {"timestamp", "str_time", 87},
    {"f", "str_format", 88},
    {"s", "str_format_s", 89},
    {"yaml", "str_read_yaml", 90},
    {"read", "str_read_file", 91},
    {"read_line", "str_read_line", 92},
    {"read_lines", "str_read_lines", 93},
    {"write", "str_write_file", 94},
};

Row file_rows[] = {
    {"isfile", "str_isfile", 99},
    {"remove", "str_file_delete", 100},
    {"copy", "str_copy", 101},
    {"move", "str_move", 102},
};

Row dir_rows[] = {
    {"isdir", "str_isdir", 107},       {"files_dict", "str_files_dict", 108},
    {"files", "str_files_list", 109},  {"files_list", "str_files_list", 110},
    {"delete", "str_dir_delete", 111}, {"rmtree", "str_dir_delete", 112},
    {"copy", "str_copy", 113},         {"move", "str_move", 114},
};

Row int_rows[] = {
    {"str", "number_str", 119},
    {"int", "number_int", 120},
    {"float", "number_float", 121},
    {"time", "number_time", 122},
};

Row float_rows[] = {
    {"str", "number_str", 127},
    {"int", "number_int", 128},
    {"float", "number_float", 129},
    {"time", "number_time", 130},
};

Installer dict_installer{&PyDict_Type, 67, dict_rows};
Installer list_installer{&PyList_Type, 76, list_rows};
Installer str_installer{&PyUnicode_Type, 84, str_rows};
Installer file_installer{&PyUnicode_Type, 98, file_rows};
Installer dir_installer{&PyUnicode_Type, 106, dir_rows};
Installer int_installer{&PyLong_Type, 118, int_rows};
Installer float_installer{&PyFloat_Type, 126, float_rows};

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

constexpr Spec installer_spec(const char* name, const char* qualname, const char* doc, int line)
{
    return {
        .name = name,
        .doc = doc,
        .line = line,
        .locals = {"_gc"},
        .qualname = qualname,
        .markers = static_method,
    };
}

constexpr Spec extend_dict_spec = installer_spec("_extend_dict", "TarvexHubkit._extend_dict",
                                                 "TarvexHubkit._extend_dict()", 65);
constexpr Spec extend_list_spec = installer_spec("_extend_list", "TarvexHubkit._extend_list",
                                                 "TarvexHubkit._extend_list()", 74);
constexpr Spec extend_str_spec
    = installer_spec("_extend_str", "TarvexHubkit._extend_str", "TarvexHubkit._extend_str()", 82);
constexpr Spec extend_file_spec = installer_spec("_extend_file", "TarvexHubkit._extend_file",
                                                 "TarvexHubkit._extend_file()", 96);
constexpr Spec extend_dir_spec
    = installer_spec("_extend_dir", "TarvexHubkit._extend_dir", "TarvexHubkit._extend_dir()", 104);
constexpr Spec extend_int_spec
    = installer_spec("_extend_int", "TarvexHubkit._extend_int", "TarvexHubkit._extend_int()", 116);
constexpr Spec extend_float_spec = installer_spec("_extend_float", "TarvexHubkit._extend_float",
                                                  "TarvexHubkit._extend_float()", 124);

Name gc_name{"gc"};
Name get_referents_name{"get_referents"};
Name dict_name{"__dict__"};
Builtin staticmethod_builtin{"staticmethod"};

// The installers in the order construction runs them, with the line of each
// call in `__init__`.
struct Step {
    Step(const char* name, int line) noexcept : name(name), line(line) {}
    Name name;
    int line;
};

Step init_steps[] = {
    {"_extend_dict", 26}, {"_extend_list", 27}, {"_extend_str", 28},   {"_extend_file", 29},
    {"_extend_dir", 30},  {"_extend_int", 31},  {"_extend_float", 32},
};

// --- bodies ------------------------------------------------------------------------

Ref init(Site& at, PyObject* self, PyObject*, PyObject*)
{
    for (const Step& step : init_steps) {
        at.line(step.line);
        Ref installer = attr(self, step.name);
        if (!installer || !call(installer))
            return {};
    }
    return none();
}

// The dictionary behind the read-only proxy of `type.__dict__`:
// `gc.get_referents(type.__dict__)[0]`.
Ref type_dictionary(PyTypeObject* type)
{
    Ref get_referents = global_attr(gc_name, get_referents_name);
    if (!get_referents)
        return {};
    Ref proxy = attr(reinterpret_cast<PyObject*>(type), dict_name);
    if (!proxy)
        return {};
    Ref referents = call(get_referents, proxy.get());
    if (!referents)
        return {};
    return steal(PySequence_GetItem(referents, 0));
}

bool write_rows(Site& at, PyObject* dictionary, std::span<Row> rows)
{
    for (const Row& row : rows) {
        at.line(row.line);
        Ref helper = global(row.helper);
        if (!helper || PyObject_SetItem(dictionary, row.method, helper) < 0)
            return false;
    }
    return true;
}

// Writes the rows into the type's own dictionary. The interpreter caches
// attribute lookups per type, misses included, and such writes bypass the
// type's setattr; so the type is told it changed, also after a failure, for
// the rows written before it to be found.
template <Installer& installer> Ref extend(Site& at)
{
    at.line(installer.first_line);
    Ref dictionary = type_dictionary(installer.type);
    if (!dictionary)
        return {};
    const bool written = write_rows(at, dictionary, installer.rows);
    PyType_Modified(installer.type);
    return written ? none() : Ref();
}

// Deletes `method` from the type's own dictionary only while its value is
// still `helper`, so a name rebound by someone else since stays; true when
// removed. The type is told it changed, as after an installation, so a
// cached hit is not served after the name is gone.
constexpr Spec remove_spec{
    .name = "_remove",
    .doc = "_remove(cls, method, helper)",
    .line = 134,
    .params = {"cls", "method", "helper"},
};

Ref remove(Site&, PyObject* cls, PyObject* method, PyObject* helper)
{
    if (!PyType_Check(cls)) {
        PyErr_SetString(PyExc_TypeError, "_remove() needs a type");
        return {};
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    Ref dictionary = type_dictionary(type);
    if (!dictionary)
        return {};
    PyObject* current = nullptr;
    if (PyDict_GetItemRef(dictionary, method, &current) < 0)
        return {};
    Ref held = steal(current);
    if (held.get() != helper)
        return boolean(false);
    const bool deleted = PyDict_DelItem(dictionary, method) == 0;
    PyType_Modified(type);
    return deleted ? boolean(true) : Ref();
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

bool add_static_method(Exec& m, PyObject* namespace_dict, const Spec& spec, vectorcallfunc call)
{
    Ref function = m.function(spec, call);
    if (!function)
        return false;
    Ref wrapped = tarvex::call(staticmethod_builtin, function.get());
    return wrapped && PyDict_SetItemString(namespace_dict, spec.name, wrapped) == 0;
}

bool define_class(Exec& m)
{
    m.line(22);
    Ref namespace_dict
        = steal(Py_BuildValue("{ssss}", "__module__", "hubkit", "__qualname__", "TarvexHubkit"));
    if (!namespace_dict)
        return false;
    Ref init_function = m.function(init_spec, entry<init>);
    if (!init_function || PyDict_SetItemString(namespace_dict, "__init__", init_function) < 0)
        return false;
    if (!add_static_method(m, namespace_dict, extend_dict_spec, entry<extend<dict_installer>>)
        || !add_static_method(m, namespace_dict, extend_list_spec, entry<extend<list_installer>>)
        || !add_static_method(m, namespace_dict, extend_str_spec, entry<extend<str_installer>>)
        || !add_static_method(m, namespace_dict, extend_file_spec, entry<extend<file_installer>>)
        || !add_static_method(m, namespace_dict, extend_dir_spec, entry<extend<dir_installer>>)
        || !add_static_method(m, namespace_dict, extend_int_spec, entry<extend<int_installer>>)
        || !add_static_method(m, namespace_dict, extend_float_spec, entry<extend<float_installer>>))
        return false;
    m.line(22);
    Ref cls = steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                          "TarvexHubkit", namespace_dict.get()));
    return cls && m.store("TarvexHubkit", cls);
}

bool statements(Exec& m)
{
    return m.import(10, "gc") && import_function_package(m) && define_class(m)
           && m.define(remove_spec, entry<remove>);
}

constexpr ModuleDef hubkit{
    .name = "hubkit",
    .doc = "TarvexHubkit: installs the package's helpers as methods of the built-in types.",
    .statements = statements,
};

} // namespace

PyMODINIT_FUNC PyInit_hubkit() { return tarvex::init(hubkit); }
