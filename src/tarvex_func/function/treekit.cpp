// treekit: JSONPath lookups and edits on nested data, and writing it as YAML.
#include "frame.hpp"
#include "jsonpath_plan.hpp"
#include "writing.hpp"
#include "yaml_writer.hpp"

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
Name context_name{"context"};
Name dump_name{"dump"};
GlobalChain yaml_dump{yaml_name, dump_name};
Name write_name{"write"};
Name flush_name{"flush"};
Name getvalue_name{"getvalue"};
Name decode_name{"decode"};
Name encoding_name{"encoding"};
Text no_newline_translation{""};
Builtin open_builtin{"open"};
Keywords<"encoding"> open_keywords;
Keywords<"default_style default_flow_style canonical indent allow_unicode encoding sort_keys">
    dump_keywords;

// --- statics made at exec ------------------------------------------------------------

// What the delete writes at the match it removes: an object of the module's
// own, which no caller's data can hold and which the filter tells by identity.
PyObject* marker = nullptr;
PyObject* is_marker = nullptr; // the filter predicate
PyObject* put_back = nullptr;  // the update callback, bound to the original value
// The module's own `dict_update_path`: while the global still names it, the
// delete may mark natively what it would mark.
PyObject* own_update = nullptr;

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

// parse(path), with `parse` looked up by name, through the kept parses.
bool parse_path(jsonpath::Parsed& parsed, PyObject* path,
                jsonpath::Table table = jsonpath::Table::callers)
{
    Ref parse = global(parse_name);
    return parse && parsed.parse(parse, path, table);
}

// [i.value for i in parse(path).find(json)], all of them or only the first
// (None when there is none).
Ref match_values(PyObject* json, PyObject* path, bool all)
{
    jsonpath::Parsed parsed;
    if (!parse_path(parsed, path))
        return {};
    // The library was found as modelled when the path was looked up, and
    // nothing ran since.
    if (parsed.plan()) {
        bool ran_library = false;
        Ref values = parsed.plan()->values(json, all, ran_library);
        if (ran_library)
            parsed.used();
        if (values || PyErr_Occurred())
            return values;
    }
    Ref matches = call_method(parsed.expression(), find_name, json);
    parsed.used();
    Ref values = matches ? values_of(matches) : Ref();
    if (!values || all)
        return values;
    if (PyList_GET_SIZE(values.get()) == 0)
        return none();
    return borrow(PyList_GET_ITEM(values.get(), 0));
}

Ref dict_find_path(Site& at, PyObject* json, PyObject* path)
{
    at.line(16);
    Ref result = match_values(json, path, false);
    if (!result)
        return discard_ordinary() ? none() : Ref();
    return result;
}

Ref dict_find_all_path(Site& at, PyObject* json, PyObject* path)
{
    at.line(24);
    Ref result = match_values(json, path, true);
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
    jsonpath::Parsed parse_json;
    if (!parse_path(parse_json, path))
        return false;
    const jsonpath::Plan* plan = parse_json.plan();
    if (plan && plan->edits(json) && !PyCallable_Check(value)) {
        at.line(33);
        if (!plan->find_or_create(json))
            return false;
        at.line(34);
        return plan->update(json, value);
    }
    if (plan && plan->updates_many(json, value)) {
        at.line(33);
        const int updated = plan->update_many(json, value);
        if (updated != 0)
            return updated > 0;
    }
    at.line(33);
    const bool created
        = static_cast<bool>(call_method(parse_json.expression(), find_or_create_name, json));
    parse_json.used();
    if (!created)
        return false;
    at.line(34);
    const bool updated
        = static_cast<bool>(call_method(parse_json.expression(), update_name, json, value));
    parse_json.used();
    return updated;
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
    jsonpath::Parsed expression;
    if (!parse_path(expression, path))
        return false;
    const bool filtered
        = static_cast<bool>(call_method(expression.expression(), filter_name, is_marker, json));
    expression.used();
    return filtered;
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

// The container the selected match sits in (`match.context.value`), taken
// before the marker is written: where the marker goes when the library's
// putting back fails. None for a match without a parent.
Ref container_of(PyObject* match)
{
    Ref context = attr(match, context_name);
    if (!context || context.get() == Py_None)
        return context;
    return attr(context, value_name);
}

// The last resort of the `finally`, when putting back through the library
// failed (it allocates, and memory may have run out): the original value is
// written over every marker in the match's own list or dict, in place,
// without allocating. The pending exception, if any, stays as it was.
void sweep_marker(PyObject* container, PyObject* original) noexcept
{
    PyObject* pending = PyErr_GetRaisedException();
    // The items are read borrowed: held still against other threads.
    Py_BEGIN_CRITICAL_SECTION(container);
    if (PyList_Check(container)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(container); ++i)
            if (PyList_GET_ITEM(container, i) == marker)
                PyList_SetItem(container, i, Py_NewRef(original));
    } else if (PyDict_Check(container)) {
        // Replacing the value of a present key keeps the dict's size, which
        // iterating allows.
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(container, &position, &key, &value))
            if (value == marker && PyDict_SetItem(container, key, original) < 0)
                PyErr_Clear();
    }
    Py_END_CRITICAL_SECTION();
    PyErr_SetRaisedException(pending);
}

// The delete's `failure` raised again once the marker was put back: a
// failure of the putting back that is not ordinary (an interrupt) takes its
// place, with `failure` as its context.
bool raise_after_putting_back(Ref failure, bool put_back) noexcept
{
    if (!put_back && !discard_ordinary()) {
        Ref second = steal(PyErr_GetRaisedException());
        PyException_SetContext(second, failure.release());
        PyErr_SetRaisedException(second.release());
        return false;
    }
    PyErr_SetRaisedException(failure.release());
    return false;
}

// The `finally` of the delete: no marker stays in the caller's data. A
// pending exception keeps its entry at the line that raised it.
bool leave_no_marker(Site& at, PyObject* json, PyObject* mark, PyObject* original,
                     PyObject* container, bool filtered)
{
    if (filtered) {
        at.line(49);
        if (put_back_original(json, mark, original))
            return true;
        sweep_marker(container, original);
        return false;
    }
    at.report();
    Ref failure = steal(PyErr_GetRaisedException());
    const bool put_back = put_back_original(json, mark, original);
    if (!put_back)
        sweep_marker(container, original);
    return raise_after_putting_back(std::move(failure), put_back);
}

// The plan the delete runs natively: a chain whose mark reads back as the
// same chain, while `dict_update_path` is the module's own function.
const jsonpath::Plan* native_delete_plan(const jsonpath::Parsed& expression, PyObject* json)
{
    const jsonpath::Plan* plan = expression.plan();
    if (!plan || !plan->edits(json) || !plan->marks_back())
        return nullptr;
    Ref update = global(dict_update_path_name);
    PyErr_Clear(); // a missing one is raised by the library's steps, in their place
    return update.get() == own_update ? plan : nullptr;
}

// The plan the delete runs natively for paths that may match many, while
// `dict_update_path` is the module's own function.
const jsonpath::Plan* many_delete_plan(const jsonpath::Parsed& expression, PyObject* json,
                                       PyObject* index)
{
    const jsonpath::Plan* plan = expression.plan();
    if (!plan || !plan->deletes_many(json, index))
        return nullptr;
    Ref update = global(dict_update_path_name);
    PyErr_Clear();
    return update.get() == own_update ? plan : nullptr;
}

// The `finally` of the native delete after a failure, as `leave_no_marker`.
bool restore_after_failure(Site& at, const jsonpath::Plan& plan, PyObject* json, PyObject* original)
{
    at.report();
    Ref failure = steal(PyErr_GetRaisedException());
    const bool put_back = plan.put_back(json, marker, original);
    return raise_after_putting_back(std::move(failure), put_back);
}

// The delete of a chain's one match, with the library's steps run natively,
// one operation on the data for each of theirs, so that keys whose
// comparisons run code see the same calls: find, select, mark through what
// `dict_update_path` does, filter, and put back what is still marked.
bool delete_natively(Site& at, const jsonpath::Plan& plan, PyObject* json, PyObject* index)
{
    Ref original;
    const int found = plan.locate(json, original);
    if (found <= 0)
        return found == 0;
    Ref first = steal(PyLong_FromLong(1));
    const int selected = first ? PyObject_RichCompareBool(first, index, Py_EQ) : -1;
    if (selected <= 0)
        return selected == 0;
    at.line(45);
    if (!(plan.find_or_create(json) && plan.update(json, marker)) && !discard_ordinary())
        return restore_after_failure(at, plan, json, original);
    at.line(46);
    if (!plan.filter(json, marker))
        return restore_after_failure(at, plan, json, original);
    at.line(49);
    return plan.put_back(json, marker, original);
}

// The delete of a path that may match many, on plain data: the selected
// match marked where it sits, the path's filter run, and the original put
// back where the marker stayed. 2 when the library's steps must run.
int delete_many(Site& at, const jsonpath::Plan& plan, PyObject* json, PyObject* index)
{
    jsonpath::Plan::Selected selected;
    const int found = plan.select(json, index, selected);
    if (found != 1)
        return found;
    const auto restore_after_failure = [&at, &selected] {
        at.report();
        Ref failure = steal(PyErr_GetRaisedException());
        const bool put_back = jsonpath::Plan::put_back(selected, marker);
        raise_after_putting_back(std::move(failure), put_back);
        return -1;
    };
    at.line(45);
    if (!jsonpath::Plan::mark(selected, marker) && !discard_ordinary())
        return restore_after_failure();
    at.line(46);
    if (!plan.filter_many(json, marker))
        return restore_after_failure();
    at.line(49);
    return jsonpath::Plan::put_back(selected, marker) ? 1 : -1;
}

// Removes the `index`-th match of `path`: marks it, filters out what is
// marked, and puts back whatever is left marked.
bool delete_match(Site& at, PyObject* json, PyObject* path, PyObject* index)
{
    at.line(41);
    jsonpath::Parsed expression;
    if (!parse_path(expression, path))
        return false;
    if (const jsonpath::Plan* plan = native_delete_plan(expression, json))
        return delete_natively(at, *plan, json, index);
    if (const jsonpath::Plan* plan = many_delete_plan(expression, json, index)) {
        const int deleted = delete_many(at, *plan, json, index);
        if (deleted != 2)
            return deleted >= 0;
        at.line(41);
    }
    Ref matches = call_method(expression.expression(), find_name, json);
    expression.used();
    if (!matches)
        return false;
    Ref match = selected_match(matches, index);
    if (!match)
        return !PyErr_Occurred();
    at.line(44);
    Ref original = attr(match, value_name);
    Ref container = original ? container_of(match) : Ref();
    Ref full_path = container ? attr(match, full_path_name) : Ref();
    Ref mark_path = full_path ? steal(PyUnicode_FromFormat("$.%S", full_path.get())) : Ref();
    jsonpath::Parsed parsed_mark;
    if (!mark_path || !parse_path(parsed_mark, mark_path, jsonpath::Table::marks))
        return false;
    Ref mark = borrow(parsed_mark.expression());
    const bool filtered = mark_and_filter(at, json, path, mark_path);
    return leave_no_marker(at, json, mark, original, container, filtered);
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
    return text_stand_in(buffer, encoding, no_newline_translation);
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

// Whether `stream` encodes as UTF-8, which gives back any text the native
// writer makes as it was.
bool utf8_stream(PyObject* stream)
{
    Ref encoding = attr(stream, encoding_name);
    const char* name
        = encoding && PyUnicode_Check(encoding.get()) ? PyUnicode_AsUTF8(encoding) : nullptr;
    PyErr_Clear();
    if (!name)
        return false;
    std::string_view rest = "utf8";
    for (; *name; ++name) {
        if (*name == '-' || *name == '_')
            continue;
        if (rest.empty() || (*name | 0x20) != rest.front())
            return false;
        rest.remove_prefix(1);
    }
    return rest.empty();
}

// The natively made YAML as the stand-in gives it back. Empty, with nothing
// pending, when the stand-in refuses it: the library then writes into a
// fresh one and fails as it fails.
Ref through_stand_in(Ref text, PyObject* stream, PyObject* buffer)
{
    if (utf8_stream(stream))
        return text;
    Ref given_back = call_method(stream, write_name, text) ? text_of(stream, buffer) : Ref();
    PyErr_Clear();
    return given_back;
}

// The YAML is made before the file is opened, so that a failure to make it
// leaves an existing file as it was. Plain data with options the native
// writer models goes to it while the library is as it models; all else to
// the library's dump.
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
    Ref text;
    if (dump && !binary_mode(mode)) {
        text = yaml::dump_plain(
            dump, x,
            {default_style, default_flow_style, canonical, indent, allow_unicode, sort_keys});
        if (text) {
            text = through_stand_in(text, stream, buffer);
            if (!text) {
                at.line(58);
                buffer = call(io_streams.bytes_io);
                stream = buffer ? stand_in(buffer, mode, encoding) : Ref();
                if (!stream)
                    return {};
                at.line(59);
            }
        }
    }
    if (!text && !PyErr_Occurred()) {
        Ref dumped = dump ? call_with_keywords(dump, {x, stream}, dump_keywords,
                                               {default_style, default_flow_style, canonical,
                                                indent, allow_unicode, encoding, sort_keys})
                          : Ref();
        text = dumped ? text_of(stream, buffer) : Ref();
    }
    if (!text) {
        if (!binary_mode(mode) && !warn_as_open_would(encoding)) {
            at.line(58);
            return {};
        }
        at.report();
        at.line(58);
        return {};
    }
    at.line(58);
    Ref written = with_block(
        at, call_with_keywords(open_builtin, {path, mode}, open_keywords, {encoding}), 58, 59,
        [&text](PyObject* yaml_file) { return call_method(yaml_file, write_name, text); }, none);
    return written ? none() : Ref();
}

// --- module --------------------------------------------------------------------

bool hold(PyObject*& slot, Ref value)
{
    Py_XSETREF(slot, value.release());
    return slot != nullptr;
}

bool hold_own_update(Exec& m)
{
    PyObject* own = PyDict_GetItemWithError(m.globals(), dict_update_path_name);
    if (!own && !PyErr_Occurred())
        PyErr_SetObject(PyExc_NameError, dict_update_path_name);
    return own && hold(own_update, borrow(own));
}

bool make_statics(Exec& m)
{
    PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    return jsonpath::make_tables() && hold(marker, steal(PyObject_CallNoArgs(object_type)))
           && hold(is_marker, m.function(checked<is_marker_spec, is_marker_body>()))
           && hold(put_back, m.function(checked<put_back_spec, put_back_body>()))
           && hold_own_update(m);
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
    .runs_without_gil = true,
};

} // namespace

PyMODINIT_FUNC PyInit_treekit() { return tarvex::init(treekit); }
