// treekit: JSONPath lookups and edits on nested data, and writing it as YAML.
#include "frame.hpp"

#include <iterator>
#include <string_view>

namespace {
using namespace tarvex;

// --- functions -----------------------------------------------------------------

constexpr Spec dict_find_path_spec{
    .name = "dict_find_path",
    .doc = "dict_find_path(json, path)",
    .line = 14,
    .params = {"json", "path"},
    .locals = {"result", "i"},
};

constexpr Spec dict_find_all_path_spec{
    .name = "dict_find_all_path",
    .doc = "dict_find_all_path(json, path)",
    .line = 22,
    .params = {"json", "path"},
    .locals = {"result", "i"},
};

constexpr Spec dict_update_path_spec{
    .name = "dict_update_path",
    .doc = "dict_update_path(json, path, value=None)",
    .line = 30,
    .params = {"json", "path", "value"},
    .defaults = {Default::none()},
    .locals = {"parse_json"},
};

constexpr Spec dict_delete_path_spec{
    .name = "dict_delete_path",
    .doc = "dict_delete_path(json, path, index=1)",
    .line = 39,
    .params = {"json", "path", "index"},
    .defaults = {Default::integer(1)},
    .locals = {"number", "i", "full_path"},
};

// `lambda x: x is marker`, the filter of the delete.
constexpr Spec is_marker_spec{
    .name = "<lambda>",
    .doc = nullptr,
    .line = 46,
    .params = {"x"},
    .qualname = "dict_delete_path.<locals>.<lambda>",
    .entry_name = "dict_delete_path.lambda",
};

// The update callback that puts the original value back where the marker
// sits, bound to that value: `lambda original, old, data, field: ...`. It
// stores the value itself and returns what the location is to hold, since
// versions of the library differ in whether they store what it returns.
constexpr Spec put_back_spec{
    .name = "<lambda>",
    .doc = nullptr,
    .line = 49,
    .params = {"original", "old", "data", "field"},
    .qualname = "dict_delete_path.<locals>.<lambda>",
    .entry_name = "dict_delete_path.lambda1",
};

constexpr Spec dict_write_yaml_spec{
    .name = "dict_write_yaml",
    .doc = "dict_write_yaml(x, path, mode=u'w', default_style=u'', default_flow_style=False, "
           "canonical=False, indent=2, allow_unicode=True, encoding=None, sort_keys=False)",
    .line = 54,
    .params = {"x", "path", "mode", "default_style", "default_flow_style", "canonical", "indent",
               "allow_unicode", "encoding", "sort_keys"},
    .defaults
    = {Default::str("w"), Default::str(""), Default::boolean(false), Default::boolean(false),
       Default::integer(2), Default::boolean(true), Default::none(), Default::boolean(false)},
    .locals = {"yaml_file"},
};

Name parse_name{"parse"};
Name yaml_name{"yaml"};
Name dict_update_path_name{"dict_update_path"};
Name find_name{"find"};
Name find_or_create_name{"find_or_create"};
Name update_name{"update"};
Name filter_name{"filter"};
Name value_name{"value"};
Name full_path_name{"full_path"};
Name dump_name{"dump"};
GlobalChain yaml_dump{yaml_name, dump_name};
Name write_name{"write"};
Name flush_name{"flush"};
Name getvalue_name{"getvalue"};
Name decode_name{"decode"};
Name encoding_name{"encoding"};
Text no_newline_translation{""};
Builtin open_builtin{"open"};
Keywords open_keywords{"encoding"};
Keywords stand_in_keywords{"encoding newline"};
Keywords dump_keywords{
    "default_style default_flow_style canonical indent allow_unicode encoding sort_keys"};

// --- parsed paths ----------------------------------------------------------------

// Parsing a path builds the parser anew each time and costs milliseconds, so
// parsed paths are kept: path text -> (parse, expression), least recently used
// out. An entry serves only the `parse` that made it (held, so its identity
// cannot be reused), so rebinding `parse` takes effect at the next call; a path
// that fails to parse is never kept. The table is only an aid: when it cannot
// grow, the expression is still used.
class ParsedPaths {
public:
    explicit constexpr ParsedPaths(Py_ssize_t capacity) noexcept : capacity_(capacity) {}

    bool make() noexcept { return table_ || (table_ = PyDict_New()); }

    // The kept entry (parse, expression, plan) of `path` made by `parse`, or
    // empty (no error).
    Ref find(PyObject* parse, PyObject* path) noexcept
    {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table_, path, &found) < 0)
            PyErr_Clear();
        Ref entry = steal(found);
        if (!entry || PyTuple_GET_ITEM(entry.get(), 0) != parse)
            return {};
        if (PyDict_DelItem(table_, path) < 0 || PyDict_SetItem(table_, path, entry) < 0)
            PyErr_Clear();
        return entry;
    }

    void keep(PyObject* parse, PyObject* path, PyObject* expression, PyObject* plan) noexcept
    {
        Ref entry = steal(PyTuple_Pack(3, parse, expression, plan));
        if (!entry || PyDict_Pop(table_, path, nullptr) < 0
            || PyDict_SetItem(table_, path, entry) < 0 || !drop_oldest())
            PyErr_Clear();
    }

private:
    bool drop_oldest() noexcept
    {
        while (PyDict_GET_SIZE(table_) > capacity_) {
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            if (!PyDict_Next(table_, &position, &key, nullptr))
                break;
            Ref oldest = borrow(key);
            if (PyDict_DelItem(table_, oldest) < 0)
                return false;
        }
        return true;
    }

    Py_ssize_t capacity_;
    PyObject* table_ = nullptr;
};

// The callers' paths, and apart from them the concrete paths that the delete
// makes for each match it removes, so that those never push the callers' out.
constinit ParsedPaths user_paths{256};
constinit ParsedPaths mark_paths{64};

// --- native plans ------------------------------------------------------------------

// A parsed path built only from the library's root, child, field-name and
// index nodes is walked natively: the matches' values, in the library's order,
// without its context objects. A plan is a list of steps `(kind, items)`; any
// data it does not model exactly, or a changed library, sends the call back to
// the library's `find`, which is safe since lookups only read.
enum Kind : long { root_step, fields_step, index_step };
constexpr const char* modelled_classes[] = {"Root", "Child", "Fields", "Index"};
constexpr std::size_t class_count = std::size(modelled_classes);

struct Library {
    bool ready = false;
    bool usable = false;
    PyObject* globals = nullptr; // the module dict that `find` reads
    PyTypeObject* types[class_count] = {};
    unsigned int tags[class_count] = {};
};
constinit Library library;
Name auto_id_field_name{"auto_id_field"};
Name fields_attr_name{"fields"};
Name indices_attr_name{"indices"};
Name left_name{"left"};
Name right_name{"right"};
Name deprecated_wildcard_name{"_deprecated_wildcard_use"};
Name version_name{"version"};

// Plans apply to the library versions the tests ran against.
bool covered_version()
{
    Ref metadata = steal(PyImport_ImportModule("importlib.metadata"));
    Ref version_of = metadata ? attr(metadata, version_name) : Ref();
    Ref distribution = steal(PyUnicode_FromString("jsonpath-ng"));
    Ref version = version_of && distribution ? call(version_of, distribution.get()) : Ref();
    if (!version) {
        PyErr_Clear();
        return false;
    }
    const char* text = PyUnicode_Check(version.get()) ? PyUnicode_AsUTF8(version) : nullptr;
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(text).starts_with("1.17.");
}

bool load_library()
{
    Ref package = steal(PyImport_ImportModule("jsonpath_ng"));
    Ref module = package ? steal(PyImport_ImportModule("jsonpath_ng.jsonpath")) : Ref();
    if (!module || !covered_version())
        return false;
    library.globals = PyModule_GetDict(module);
    Py_INCREF(library.globals);
    for (std::size_t i = 0; i < class_count; ++i) {
        Ref type = steal(PyObject_GetAttrString(module, modelled_classes[i]));
        if (!type || !PyType_Check(type.get()))
            return false;
        Ref find = attr(type, find_name); // assigns the version tag
        if (!find)
            return false;
        library.types[i] = reinterpret_cast<PyTypeObject*>(type.release());
        library.tags[i] = library.types[i]->tp_version_tag;
        if (library.tags[i] == 0)
            return false;
    }
    return true;
}

// Whether the library is still as the plans assume.
bool library_unchanged()
{
    if (!library.ready) {
        library.ready = true;
        library.usable = load_library();
        PyErr_Clear();
    }
    if (!library.usable)
        return false;
    for (std::size_t i = 0; i < class_count; ++i)
        if (library.types[i]->tp_version_tag != library.tags[i])
            return false;
    PyObject* auto_id = PyDict_GetItemWithError(library.globals, auto_id_field_name);
    return auto_id == Py_None;
}

int modelled_class(PyObject* node)
{
    for (std::size_t i = 0; i < class_count; ++i)
        if (Py_TYPE(node) == library.types[i])
            return static_cast<int>(i);
    return -1;
}

bool all_exact(PyObject* items, bool (*exact)(PyObject*))
{
    if (!PyTuple_CheckExact(items))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i)
        if (!exact(PyTuple_GET_ITEM(items, i)))
            return false;
    return true;
}

bool is_str(PyObject* item) { return PyUnicode_CheckExact(item); }
bool is_int(PyObject* item) { return PyLong_CheckExact(item); }

bool add_step(PyObject* plan, long kind, PyObject* items)
{
    Ref step = steal(Py_BuildValue("(lO)", kind, items));
    return step && PyList_Append(plan, step) == 0;
}

// Appends the steps of `node` to `plan`; false when a node is not modelled.
bool compile_node(PyObject* plan, PyObject* node, int depth)
{
    if (depth > 64)
        return false;
    switch (modelled_class(node)) {
    case 0:
        return add_step(plan, root_step, Py_None);
    case 1: {
        Ref left = attr(node, left_name);
        Ref right = left ? attr(node, right_name) : Ref();
        return right && compile_node(plan, left, depth + 1) && compile_node(plan, right, depth + 1);
    }
    case 2: {
        Ref wildcard = attr(node, deprecated_wildcard_name);
        Ref fields = wildcard ? attr(node, fields_attr_name) : Ref();
        return fields && wildcard.get() == Py_False && all_exact(fields, is_str)
               && add_step(plan, fields_step, fields);
    }
    case 3: {
        Ref indices = attr(node, indices_attr_name);
        return indices && all_exact(indices, is_int) && add_step(plan, index_step, indices);
    }
    default:
        return false;
    }
}

// The plan of `expression`, or None when it has none (no error).
Ref compile_plan(PyObject* expression)
{
    Ref plan = steal(PyList_New(0));
    if (plan && library_unchanged() && compile_node(plan, expression, 0))
        return plan;
    PyErr_Clear();
    return none();
}

enum class Walk { done, fall_back, failed };

// Types whose lack of `get` (fields) or of list-ness (index) is certain.
bool plain_scalar(PyObject* value)
{
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value)
           || PyBool_Check(value) || PyFloat_CheckExact(value);
}

Walk field_values(PyObject* value, PyObject* fields, PyObject* out)
{
    if (!PyDict_CheckExact(value))
        return plain_scalar(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value)
                   ? Walk::done
                   : Walk::fall_back;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        PyObject* found = nullptr;
        const int got = PyDict_GetItemRef(value, PyTuple_GET_ITEM(fields, i), &found);
        Ref held = steal(found);
        if (got < 0) {
            PyErr_Clear();
            return Walk::fall_back;
        }
        if (got && PyList_Append(out, held) < 0)
            return Walk::failed;
    }
    return Walk::done;
}

Walk index_values(PyObject* value, PyObject* indices, PyObject* out)
{
    const bool list = PyList_CheckExact(value);
    if (!list && !PyTuple_CheckExact(value))
        return plain_scalar(value) || PyDict_CheckExact(value) ? Walk::done : Walk::fall_back;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(indices); ++i) {
        const Py_ssize_t size = list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value);
        int overflow = 0;
        long long index = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(indices, i), &overflow);
        if (overflow || index < -size || index >= size)
            continue;
        if (index < 0)
            index += size;
        PyObject* item = list ? PyList_GET_ITEM(value, index) : PyTuple_GET_ITEM(value, index);
        if (PyList_Append(out, item) < 0)
            return Walk::failed;
    }
    return Walk::done;
}

Walk step_values(PyObject* step, PyObject* json, PyObject* value, PyObject* out)
{
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(step, 0));
    PyObject* items = PyTuple_GET_ITEM(step, 1);
    if (kind == root_step)
        return PyList_Append(out, json) < 0 ? Walk::failed : Walk::done;
    if (kind == fields_step)
        return field_values(value, items, out);
    return index_values(value, items, out);
}

// The values the plan matches in `json`, into `result`.
Walk walk_plan(PyObject* plan, PyObject* json, Ref& result)
{
    result = steal(PyList_New(0));
    if (!result || PyList_Append(result, json) < 0)
        return Walk::failed;
    for (Py_ssize_t s = 0; result && s < PyList_GET_SIZE(plan); ++s) {
        Ref next = steal(PyList_New(0));
        if (!next)
            return Walk::failed;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result.get()); ++i) {
            const Walk walk = step_values(PyList_GET_ITEM(plan, s), json,
                                          PyList_GET_ITEM(result.get(), i), next);
            if (walk != Walk::done)
                return walk;
        }
        result = std::move(next);
    }
    return result ? Walk::done : Walk::failed;
}

// `parse(path)`, looked up by name; an exact str path is kept in `home`,
// with its plan, which goes to `plan` when asked for (None when it has none).
Ref parsed(PyObject* path, ParsedPaths& home, Ref* plan = nullptr)
{
    Ref parse = global(parse_name);
    if (!parse)
        return {};
    if (plan)
        *plan = none();
    if (!PyUnicode_CheckExact(path))
        return call(parse, path);
    Ref known = user_paths.find(parse, path);
    if (!known)
        known = mark_paths.find(parse, path);
    if (known) {
        if (plan)
            *plan = borrow(PyTuple_GET_ITEM(known.get(), 2));
        return borrow(PyTuple_GET_ITEM(known.get(), 1));
    }
    Ref expression = call(parse, path);
    if (!expression)
        return {};
    Ref compiled = &home == &user_paths ? compile_plan(expression) : none();
    home.keep(parse, path, expression, compiled);
    if (plan)
        *plan = std::move(compiled);
    return expression;
}

// --- statics made at exec ------------------------------------------------------------

// What the delete writes at the match it removes: an object of the module's
// own, which no caller's data can hold and which the filter tells by identity.
PyObject* marker = nullptr;
PyObject* is_marker = nullptr; // the filter predicate
PyObject* put_back = nullptr;  // the update callback, bound to the original value
// The in-memory streams that the YAML is dumped into before the file is opened.

// --- bodies --------------------------------------------------------------------

// [i.value for i in matches]
Ref values_of(PyObject* matches)
{
    Ref result = steal(PyList_New(0));
    Ref iterator = steal(PyObject_GetIter(matches));
    if (!result || !iterator)
        return {};
    while (Ref match = steal(PyIter_Next(iterator))) {
        Ref value = attr(match, value_name);
        if (!value || PyList_Append(result, value) < 0)
            return {};
    }
    if (PyErr_Occurred())
        return {};
    return result;
}

// [i.value for i in parse(path).find(json)]
Ref match_values(PyObject* json, PyObject* path)
{
    Ref plan;
    Ref expression = parsed(path, user_paths, &plan);
    if (!expression)
        return {};
    if (plan.get() != Py_None && library_unchanged()) {
        Ref result;
        const Walk walk = walk_plan(plan, json, result);
        if (walk == Walk::done)
            return result;
        if (walk == Walk::failed)
            return {};
    }
    Ref matches = call_method(expression, find_name, json);
    if (!matches)
        return {};
    return values_of(matches);
}

Ref dict_find_path(Site& at, PyObject* json, PyObject* path)
{
    at.line(16);
    Ref result = match_values(json, path);
    if (!result)
        return discard_ordinary() ? none() : Ref();
    if (PyList_GET_SIZE(result.get()) == 0)
        return none();
    return borrow(PyList_GET_ITEM(result.get(), 0));
}

Ref dict_find_all_path(Site& at, PyObject* json, PyObject* path)
{
    at.line(24);
    Ref result = match_values(json, path);
    if (!result)
        return discard_ordinary() ? none() : Ref();
    return result;
}

// parse_json = parse(path)
// parse_json.find_or_create(json)
// parse_json.update(json, value)
bool update_in_place(Site& at, PyObject* json, PyObject* path, PyObject* value)
{
    at.line(32);
    Ref parse_json = parsed(path, user_paths);
    if (!parse_json)
        return false;
    at.line(33);
    if (!call_method(parse_json, find_or_create_name, json))
        return false;
    at.line(34);
    return static_cast<bool>(call_method(parse_json, update_name, json, value));
}

Ref dict_update_path(Site& at, PyObject* json, PyObject* path, PyObject* value)
{
    if (!update_in_place(at, json, path, value) && !discard_ordinary())
        return {};
    return borrow(json);
}

Ref is_marker_body(Site&, PyObject* x) { return boolean(x == marker); }

Ref put_back_body(Site&, PyObject* original, PyObject* old, PyObject* data, PyObject* field)
{
    if (old != marker)
        return borrow(old);
    if (PyObject_SetItem(data, field, original) < 0)
        return {};
    return borrow(original);
}

// The `index`-th of `matches`, counted from 1, each count compared with
// `index` for equality; empty, without an error, when no count equals it.
Ref selected_match(PyObject* matches, PyObject* index)
{
    Ref iterator = steal(PyObject_GetIter(matches));
    if (!iterator)
        return {};
    Py_ssize_t number = 0;
    while (Ref match = steal(PyIter_Next(iterator))) {
        Ref count = steal(PyLong_FromSsize_t(++number));
        if (!count)
            return {};
        const int equal = PyObject_RichCompareBool(count, index, Py_EQ);
        if (equal < 0)
            return {};
        if (equal)
            return match;
    }
    return {};
}

// dict_update_path(json, mark_path, marker)
// parse(path).filter(lambda x: x is marker, json)
bool mark_and_filter(Site& at, PyObject* json, PyObject* path, PyObject* mark_path)
{
    at.line(45);
    Ref update = global(dict_update_path_name);
    if (!update || !call(update, json, mark_path, marker))
        return false;
    at.line(46);
    Ref expression = parsed(path, user_paths);
    return expression && call_method(expression, filter_name, is_marker, json);
}

// Wherever the marker still sits at `mark`, the original value goes back,
// through `mark.update(json, callback)`: the library calls a callable value
// instead of storing it, so the value itself (a list, a function) cannot be
// handed over as it is.
bool put_back_original(PyObject* json, PyObject* mark, PyObject* original)
{
    Ref matches = call_method(mark, find_name, json);
    Ref values = matches ? values_of(matches) : Ref();
    if (!values)
        return false;
    bool marked = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i)
        marked = marked || PyList_GET_ITEM(values.get(), i) == marker;
    if (!marked)
        return true;
    Ref callback = steal(PyMethod_New(put_back, original));
    return callback && call_method(mark, update_name, json, callback);
}

// The `finally` of the delete: no marker stays in the caller's data. A
// pending exception keeps its entry at the line that raised it; a failure of
// the putting back that is not ordinary (an interrupt) takes its place.
bool leave_no_marker(Site& at, PyObject* json, PyObject* mark, PyObject* original, bool filtered)
{
    if (filtered) {
        at.line(49);
        return put_back_original(json, mark, original);
    }
    at.report();
    Ref failure = steal(PyErr_GetRaisedException());
    if (!put_back_original(json, mark, original) && !discard_ordinary()) {
        Ref second = steal(PyErr_GetRaisedException());
        PyException_SetContext(second, failure.release());
        PyErr_SetRaisedException(second.release());
        return false;
    }
    PyErr_SetRaisedException(failure.release());
    return false;
}

// Removes the `index`-th match of `path`: marks it, filters out what is
// marked, and puts back whatever is left marked.
bool delete_match(Site& at, PyObject* json, PyObject* path, PyObject* index)
{
    at.line(41);
    Ref expression = parsed(path, user_paths);
    Ref matches = expression ? call_method(expression, find_name, json) : Ref();
    if (!matches)
        return false;
    Ref match = selected_match(matches, index);
    if (!match)
        return !PyErr_Occurred();
    at.line(44);
    Ref original = attr(match, value_name);
    Ref full_path = original ? attr(match, full_path_name) : Ref();
    Ref mark_path = full_path ? steal(PyUnicode_FromFormat("$.%S", full_path.get())) : Ref();
    Ref mark = mark_path ? parsed(mark_path, mark_paths) : Ref();
    if (!mark)
        return false;
    const bool filtered = mark_and_filter(at, json, path, mark_path);
    return leave_no_marker(at, json, mark, original, filtered);
}

Ref dict_delete_path(Site& at, PyObject* json, PyObject* path, PyObject* index)
{
    if (!delete_match(at, json, path, index) && !discard_ordinary())
        return {};
    return borrow(json);
}

bool binary_mode(PyObject* mode)
{
    return PyUnicode_Check(mode)
           && PyUnicode_FindChar(mode, 'b', 0, PyUnicode_GET_LENGTH(mode), 1) >= 0;
}

// The stream that stands in for the file while the YAML is made: a text
// stream with the file's encoding (no newline translation: the file does
// that when the text is written), or a bytes stream for a binary mode. The
// dumper writes into it what it would write into the file, and fails as the
// file would.
Ref stand_in(PyObject* buffer, PyObject* mode, PyObject* encoding)
{
    if (binary_mode(mode))
        return borrow(buffer);
    return call_with_keywords(io_streams.text_io_wrapper,
                              {buffer, encoding, no_newline_translation}, stand_in_keywords);
}

// The text in `stream`, written through to `buffer`.
Ref text_of(PyObject* stream, PyObject* buffer)
{
    if (stream == buffer)
        return call_method(buffer, getvalue_name);
    if (!call_method(stream, flush_name))
        return {};
    Ref data = call_method(buffer, getvalue_name);
    Ref encoding = data ? attr(stream, encoding_name) : Ref();
    if (!encoding)
        return {};
    return call_method(data, decode_name, encoding.get());
}

// The YAML is made before the file is opened, so that a failure to make it
// leaves an existing file as it was.
Ref dict_write_yaml(Site& at, PyObject* x, PyObject* path, PyObject* mode, PyObject* default_style,
                    PyObject* default_flow_style, PyObject* canonical, PyObject* indent,
                    PyObject* allow_unicode, PyObject* encoding, PyObject* sort_keys)
{
    at.line(58);
    Ref buffer = call(io_streams.bytes_io);
    Ref stream = buffer ? stand_in(buffer, mode, encoding) : Ref();
    if (!stream)
        return {};
    at.line(59);
    Ref dump = yaml_dump.get();
    Ref dumped = dump ? call_with_keywords(dump,
                                           {x, stream, default_style, default_flow_style, canonical,
                                            indent, allow_unicode, encoding, sort_keys},
                                           dump_keywords)
                      : Ref();
    Ref text = dumped ? text_of(stream, buffer) : Ref();
    if (!text) {
        at.report();
        at.line(58);
        return {};
    }
    at.line(58);
    Ref yaml_file = call_with_keywords(open_builtin, {path, mode, encoding}, open_keywords);
    With block;
    if (!yaml_file || !block.enter(yaml_file))
        return {};
    at.line(59);
    if (!call_method(block.value(), write_name, text.get())) {
        at.report();
        at.line(58);
        if (block.exit_with_error() == With::Outcome::suppressed)
            return none();
        return {};
    }
    at.line(58);
    if (!block.exit())
        return {};
    return none();
}

// --- module --------------------------------------------------------------------

bool hold(PyObject*& slot, Ref value)
{
    Py_XSETREF(slot, value.release());
    return slot != nullptr;
}

bool make_statics(Exec& m)
{
    PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    return user_paths.make() && mark_paths.make()
           && hold(marker, steal(PyObject_CallNoArgs(object_type)))
           && hold(is_marker, m.function(is_marker_spec, entry<is_marker_body>))
           && hold(put_back, m.function(put_back_spec, entry<put_back_body>));
}

constexpr Statement statements[] = {
    import_module(10, "yaml"),
    import_from(11, "jsonpath_ng.parser", "parse"),
    def<dict_find_path_spec, dict_find_path>(),
    def<dict_find_all_path_spec, dict_find_all_path>(),
    def<dict_update_path_spec, dict_update_path>(),
    def<dict_delete_path_spec, dict_delete_path>(),
    run(make_statics),
    run(hold_io_streams),
    def<dict_write_yaml_spec, dict_write_yaml>(),
};

constexpr ModuleDef treekit{
    .name = "treekit",
    .doc = "JSONPath lookups and edits on nested data, and writing it as YAML.",
    .statements = statements,
};

} // namespace

PyMODINIT_FUNC PyInit_treekit() { return tarvex::init(treekit); }
