// treekit: JSONPath lookups and edits on nested data, and writing it as YAML.
#include "frame.hpp"
#include "writing.hpp"

#include <cstdint>
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

// --- native plans ------------------------------------------------------------------

// A parsed path built only from the library's node classes below is walked
// natively: the matches' values, in the library's order, without its context
// objects. The walk is depth-first: each value a step yields goes through the
// rest of the plan before the step's next value, which gives the order of the
// library's step-by-step lists. Any data a step does not model exactly, or a
// changed library, sends the call back to the library's `find`, which is safe
// since lookups only read.
enum class Op : unsigned char { root, fields, index, wildcard, slice, descend, either };

struct Plan;

struct Step {
    Op op;
    PyObject* items;              // field names or indexes (a tuple), owned
    Py_ssize_t start, stop, step; // a slice, unpacked; step 0 selects nothing
    Plan* left;                   // what descendants match, or the first of two
    Plan* right;                  // the second of two
};

struct Plan {
    Py_ssize_t size;
    Py_ssize_t capacity;
    Step* steps;
};

void free_plan(Plan* plan) noexcept
{
    if (!plan)
        return;
    for (Py_ssize_t i = 0; i < plan->size; ++i) {
        Py_XDECREF(plan->steps[i].items);
        free_plan(plan->steps[i].left);
        free_plan(plan->steps[i].right);
    }
    PyMem_Free(plan->steps);
    PyMem_Free(plan);
}

Plan* new_plan() noexcept { return static_cast<Plan*>(PyMem_Calloc(1, sizeof(Plan))); }

// Appends `step`, which the plan then owns; on failure its parts are freed.
bool add_step(Plan* plan, Step step) noexcept
{
    if (plan->size == plan->capacity) {
        const Py_ssize_t capacity = plan->capacity ? plan->capacity * 2 : 4;
        void* grown = PyMem_Realloc(plan->steps, sizeof(Step) * capacity);
        if (!grown) {
            Py_XDECREF(step.items);
            free_plan(step.left);
            free_plan(step.right);
            return false;
        }
        plan->steps = static_cast<Step*>(grown);
        plan->capacity = capacity;
    }
    plan->steps[plan->size++] = step;
    return true;
}

Step simple_step(Op op, PyObject* items = nullptr) noexcept
{
    return Step{op, Py_XNewRef(items), 0, 0, 1, nullptr, nullptr};
}

enum Modelled : int {
    root_class,
    child_class,
    fields_class,
    index_class,
    wildcard_class,
    slice_class,
    descendants_class,
    this_class,
    union_class,
    datum_class, // the match objects: their methods shape every `find`
    class_count
};
constexpr const char* modelled_classes[class_count]
    = {"Root",  "Child",       "Fields", "Index",  "Wildcard",
       "Slice", "Descendants", "This",   "_Union", "DatumInContext"};

struct Library {
    bool ready = false;
    bool usable = false;
    PyObject* globals = nullptr; // the module dict that `find` reads
    // What it held when the plans were made: the finds read the datum class,
    // the array walk and the automatic id field from it at each call.
    PyObject* globals_copy = nullptr;
    bool globals_watched = false;
    std::uint64_t globals_generation = 0; // when they were last found unchanged
    PyObject* not_set = nullptr;          // what `get` is given as default: a value that is a miss
    // The library's own `parse`: its trees are new objects that only the
    // cache holds. A tree from any other `parse` may be kept and changed by
    // its maker, which a plan made once would not see.
    PyObject* parse = nullptr;
    PyTypeObject* types[class_count] = {};
    unsigned int tags[class_count] = {};
    // Copies of the class dicts along each class's MRO, for telling a class
    // changed and then restored (a new tag) from one that still differs.
    PyObject* contents[class_count] = {};
    unsigned int rejected[class_count] = {}; // the last changed tag found to differ
};
constinit Library library;
Name auto_id_field_name{"auto_id_field"};
Name fields_attr_name{"fields"};
Name indices_attr_name{"indices"};
Name left_name{"left"};
Name right_name{"right"};
Name start_name{"start"};
Name end_name{"end"};
Name step_name{"step"};
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

// The dicts of the classes along `type`'s MRO (but `object`), copied.
Ref class_contents(PyTypeObject* type)
{
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro))
        return {};
    Ref copies = steal(PyTuple_New(PyTuple_GET_SIZE(mro)));
    for (Py_ssize_t i = 0; copies && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        PyObject* copy
            = base == &PyBaseObject_Type ? Py_NewRef(Py_None) : PyDict_Copy(base->tp_dict);
        if (!copy)
            return {};
        PyTuple_SET_ITEM(copies.get(), i, copy);
    }
    return copies;
}

// Whether every key of `kept` holds the same object in `now`.
bool same_contents_of_kept(PyObject* kept, PyObject* now)
{
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kept, &position, &key, &value)) {
        PyObject* current = PyDict_GetItemWithError(now, key);
        if (current != value) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// Whether every key of two dicts holds the same object in both.
bool same_contents(PyObject* kept, PyObject* now)
{
    if (kept == Py_None || now == Py_None)
        return kept == now;
    return PyDict_GET_SIZE(kept) == PyDict_GET_SIZE(now) && same_contents_of_kept(kept, now);
}

// A class whose version tag changed holds again what it held when the plans
// were made: its new tag is taken (a restored method brings its plans back).
bool restored(std::size_t i)
{
    if (library.types[i]->tp_version_tag == library.rejected[i])
        return false;
    library.rejected[i] = library.types[i]->tp_version_tag;
    Ref now = class_contents(library.types[i]);
    PyObject* kept = library.contents[i];
    if (!now || PyTuple_GET_SIZE(now.get()) != PyTuple_GET_SIZE(kept)) {
        PyErr_Clear();
        return false;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kept); ++k)
        if (!same_contents(PyTuple_GET_ITEM(kept, k), PyTuple_GET_ITEM(now.get(), k)))
            return false;
    Ref looked_up = attr(reinterpret_cast<PyObject*>(library.types[i]), value_name);
    PyErr_Clear();
    const unsigned int tag = library.types[i]->tp_version_tag;
    if (tag == 0)
        return false;
    library.tags[i] = tag;
    return true;
}

bool load_library()
{
    Ref package = steal(PyImport_ImportModule("jsonpath_ng"));
    Ref module = package ? steal(PyImport_ImportModule("jsonpath_ng.jsonpath")) : Ref();
    if (!module || !covered_version())
        return false;
    library.globals = PyModule_GetDict(module);
    Py_INCREF(library.globals);
    library.globals_copy = PyDict_Copy(library.globals);
    if (!library.globals_copy)
        return false;
    library.globals_watched = watch_dict(library.globals);
    library.not_set = PyDict_GetItemString(library.globals, "NOT_SET");
    if (!library.not_set)
        return false;
    Py_INCREF(library.not_set);
    Ref parser = steal(PyImport_ImportModule("jsonpath_ng.parser"));
    library.parse = parser ? PyObject_GetAttrString(parser, "parse") : nullptr;
    if (!library.parse)
        return false;
    for (std::size_t i = 0; i < class_count; ++i) {
        // Read from the module dict: the module's own lookup of a missing
        // name warns for some of these.
        PyObject* type = PyDict_GetItemString(library.globals, modelled_classes[i]);
        if (!type || !PyType_Check(type))
            return false;
        library.types[i] = reinterpret_cast<PyTypeObject*>(Py_NewRef(type));
        library.contents[i] = class_contents(library.types[i]).release();
        // A lookup on the type assigns its version tag.
        Ref looked_up = attr(type, i == datum_class ? value_name : find_name);
        if (!looked_up || !library.contents[i])
            return false;
        library.tags[i] = library.types[i]->tp_version_tag;
        if (library.tags[i] == 0)
            return false;
    }
    return true;
}

Name warning_registry_name{"__warningregistry__"};

// Whether the module dict `now` holds the names of its copy `kept`, each
// bound to the same object, and no other name but the registry that a
// warning issued from the module adds.
bool same_names(PyObject* kept, PyObject* now)
{
    const bool registry_added = !PyDict_Contains(kept, warning_registry_name)
                                && PyDict_Contains(now, warning_registry_name) == 1;
    return PyDict_GET_SIZE(now) - registry_added == PyDict_GET_SIZE(kept)
           && same_contents_of_kept(kept, now);
}

// Whether the library module's names are as when the plans were made, with
// the automatic id field off: compared in full only after some watched
// dictionary changed (at every call when none can be watched).
bool module_unchanged() noexcept
{
    const std::uint64_t generation = watched_generation();
    if (library.globals_watched && generation == library.globals_generation)
        return true;
    PyObject* auto_id = PyDict_GetItemWithError(library.globals, auto_id_field_name);
    if (auto_id != Py_None || !same_names(library.globals_copy, library.globals)) {
        PyErr_Clear();
        return false;
    }
    library.globals_generation = generation;
    return true;
}

// Whether the library is still as the plans assume.
bool library_unchanged() noexcept
{
    if (!library.ready) {
        library.ready = true;
        library.usable = load_library();
        PyErr_Clear();
    }
    if (!library.usable)
        return false;
    for (std::size_t i = 0; i < class_count; ++i)
        if (library.types[i]->tp_version_tag != library.tags[i] && !restored(i))
            return false;
    return module_unchanged();
}

int modelled_class(PyObject* node) noexcept
{
    for (int i = 0; i < datum_class; ++i)
        if (Py_TYPE(node) == library.types[i])
            return i;
    return -1;
}

bool all_exact(PyObject* items, bool (*exact)(PyObject*)) noexcept
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
bool is_bound(PyObject* item) { return item == Py_None || PyLong_CheckExact(item); }

// The node's `_deprecated_wildcard_use` is False: a parsed `*` or `[:]` is a
// plain name or slice, never the old wildcard.
bool plain_node(PyObject* node)
{
    Ref wildcard = attr(node, deprecated_wildcard_name);
    return wildcard && wildcard.get() == Py_False;
}

bool compile_node(Plan* plan, PyObject* node, int depth);

// `left` and `right` of a two-sided node into plans of their own (`right`
// may be the plan the caller appends to, `into`).
bool compile_sides(PyObject* node, Plan* into, Plan*& left, Plan*& right, int depth)
{
    Ref left_node = attr(node, left_name);
    Ref right_node = left_node ? attr(node, right_name) : Ref();
    if (!right_node)
        return false;
    left = into ? into : new_plan();
    if (!left || !compile_node(left, left_node, depth + 1))
        return false;
    right = new_plan();
    return right && compile_node(right, right_node, depth + 1);
}

bool compile_slice(Plan* plan, PyObject* node)
{
    Ref start = attr(node, start_name);
    Ref end = start ? attr(node, end_name) : Ref();
    Ref step = end ? attr(node, step_name) : Ref();
    if (!step || !is_bound(start) || !is_bound(end) || !is_bound(step) || !plain_node(node))
        return false;
    Step walk = simple_step(Op::slice);
    const int zero = step.get() == Py_None ? 0 : PyObject_Not(step);
    if (zero < 0)
        return false;
    if (zero) {
        walk.step = 0;
        return add_step(plan, walk);
    }
    Ref slice = steal(PySlice_New(start, end, step));
    return slice && PySlice_Unpack(slice, &walk.start, &walk.stop, &walk.step) == 0
           && add_step(plan, walk);
}

// Appends the steps of `node` to `plan`; false when a node is not modelled.
bool compile_node(Plan* plan, PyObject* node, int depth)
{
    if (depth > 64)
        return false;
    switch (modelled_class(node)) {
    case root_class:
        return add_step(plan, simple_step(Op::root));
    case this_class:
        return true; // the value itself
    case child_class: {
        Ref left = attr(node, left_name);
        Ref right = left ? attr(node, right_name) : Ref();
        return right && compile_node(plan, left, depth + 1) && compile_node(plan, right, depth + 1);
    }
    case fields_class: {
        Ref fields = attr(node, fields_attr_name);
        return fields && all_exact(fields, is_str) && plain_node(node)
               && add_step(plan, simple_step(Op::fields, fields));
    }
    case index_class: {
        Ref indices = attr(node, indices_attr_name);
        return indices && all_exact(indices, is_int)
               && add_step(plan, simple_step(Op::index, indices));
    }
    case wildcard_class:
        return add_step(plan, simple_step(Op::wildcard));
    case slice_class:
        return compile_slice(plan, node);
    case descendants_class: {
        Plan* left = nullptr;
        Plan* right = nullptr;
        if (!compile_sides(node, plan, left, right, depth)) {
            free_plan(right);
            return false;
        }
        Step step = simple_step(Op::descend);
        step.left = right;
        return add_step(plan, step);
    }
    case union_class: {
        Plan* left = nullptr;
        Plan* right = nullptr;
        if (!compile_sides(node, nullptr, left, right, depth)) {
            free_plan(left);
            free_plan(right);
            return false;
        }
        Step step = simple_step(Op::either);
        step.left = left;
        step.right = right;
        return add_step(plan, step);
    }
    default:
        return false;
    }
}

// The plan of the `expression` that `parse` made, or null when it has none
// (no error).
Plan* compile_plan(PyObject* parse, PyObject* expression)
{
    Plan* plan = library_unchanged() && parse == library.parse ? new_plan() : nullptr;
    if (plan && compile_node(plan, expression, 0))
        return plan;
    free_plan(plan);
    PyErr_Clear();
    return nullptr;
}

enum class Walk { done, fall_back, failed };

// Types whose lack of `get` and `keys` (fields, wildcard) or of list-ness
// (index, slice, descendants) is certain.
bool plain_scalar(PyObject* value) noexcept
{
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value)
           || PyBool_Check(value) || PyFloat_CheckExact(value);
}

// What a step that reads list items makes of a value that is not a list:
// nothing for the types it knows, else the library decides.
Walk not_a_list(PyObject* value) noexcept
{
    return plain_scalar(value) || PyDict_CheckExact(value) ? Walk::done : Walk::fall_back;
}

// The rest of the plan that follows a nested plan's last step.
struct Tail {
    const Step* begin;
    const Step* end;
    const Tail* next;
};

// The matched values: all of them in a list, or only the first.
class Sink {
public:
    explicit Sink(bool all) noexcept : all_(all) {}

    bool start() noexcept { return !all_ || (list_ = steal(PyList_New(0))); }

    Walk add(PyObject* value) noexcept
    {
        if (all_)
            return PyList_Append(list_, value) < 0 ? Walk::failed : Walk::done;
        if (!first_)
            first_ = borrow(value);
        return Walk::done;
    }

    // The list, or the first value (None when nothing matched).
    Ref result() noexcept
    {
        if (all_)
            return std::move(list_);
        return first_ ? std::move(first_) : none();
    }

private:
    bool all_;
    Ref list_;
    Ref first_;
};

// Deeper data than this goes to the library, which walks it without recursion.
constexpr int walk_depth_limit = 400;
// How many values the descendants step visits between checks for signals.
constexpr Py_ssize_t signal_interval = 4096;

// Walks `json` along a plan. Every value held during the walk is held
// strongly: a key's comparison during a lookup can run code that changes
// the data.
class Walker {
public:
    Walker(PyObject* json, Sink& sink) noexcept : json_(json), sink_(sink) {}

    Walk run(const Plan* plan) noexcept { return walk(plan->steps, end_of(plan), nullptr, json_); }

private:
    static const Step* end_of(const Plan* plan) noexcept { return plan->steps + plan->size; }

    struct Deeper {
        explicit Deeper(int& depth) noexcept : depth_(depth) { ++depth_; }
        ~Deeper() { --depth_; }
        int& depth_;
    };

    Walk walk(const Step* step, const Step* end, const Tail* tail, PyObject* value) noexcept
    {
        if (step == end)
            return tail ? walk(tail->begin, tail->end, tail->next, value) : sink_.add(value);
        Deeper deeper(depth_);
        if (depth_ > walk_depth_limit)
            return Walk::fall_back;
        switch (step->op) {
        case Op::root:
            return walk(step + 1, end, tail, json_);
        case Op::fields:
            return fields(step, end, tail, value);
        case Op::index:
            return index(step, end, tail, value);
        case Op::wildcard:
            return wildcard(step, end, tail, value);
        case Op::slice:
            return slice(step, end, tail, value);
        case Op::descend: {
            const Tail next{step + 1, end, tail};
            return descend(step->left, &next, value);
        }
        case Op::either: {
            const Tail next{step + 1, end, tail};
            const Walk first = walk(step->left->steps, end_of(step->left), &next, value);
            if (first != Walk::done)
                return first;
            return walk(step->right->steps, end_of(step->right), &next, value);
        }
        }
        return Walk::fall_back;
    }

    Walk each_item(const Step* step, const Step* end, const Tail* tail, PyObject* sequence,
                   Py_ssize_t index) noexcept
    {
        Ref item = borrow(PySequence_Fast_GET_ITEM(sequence, index));
        return walk(step + 1, end, tail, item);
    }

    // `value.get(field, NOT_SET)` for each name, as the library asks a dict: a
    // value that is the library's own default counts as missing.
    Walk fields(const Step* step, const Step* end, const Tail* tail, PyObject* value) noexcept
    {
        if (!PyDict_CheckExact(value))
            return plain_scalar(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value)
                       ? Walk::done
                       : Walk::fall_back;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(step->items); ++i) {
            PyObject* found = nullptr;
            const int got = PyDict_GetItemRef(value, PyTuple_GET_ITEM(step->items, i), &found);
            Ref held = steal(found);
            if (got < 0) {
                PyErr_Clear();
                return Walk::fall_back;
            }
            if (got && found != library.not_set) {
                const Walk walked = walk(step + 1, end, tail, held);
                if (walked != Walk::done)
                    return walked;
            }
        }
        return Walk::done;
    }

    Walk index(const Step* step, const Step* end, const Tail* tail, PyObject* value) noexcept
    {
        if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value))
            return not_a_list(value);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(step->items); ++i) {
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
            int overflow = 0;
            long long at
                = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(step->items, i), &overflow);
            if (overflow || at < -size || at >= size)
                continue;
            const Walk walked = each_item(step, end, tail, value, at < 0 ? at + size : at);
            if (walked != Walk::done)
                return walked;
        }
        return Walk::done;
    }

    // Every item of a list or tuple, every value of a dict, nothing of a scalar.
    Walk wildcard(const Step* step, const Step* end, const Tail* tail, PyObject* value) noexcept
    {
        if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(value); ++i) {
                const Walk walked = each_item(step, end, tail, value, i);
                if (walked != Walk::done)
                    return walked;
            }
            return Walk::done;
        }
        if (PyDict_CheckExact(value)) {
            Py_ssize_t position = 0;
            PyObject* member = nullptr;
            while (PyDict_Next(value, &position, nullptr, &member)) {
                Ref held = borrow(member);
                const Walk walked = walk(step + 1, end, tail, held);
                if (walked != Walk::done)
                    return walked;
            }
            return Walk::done;
        }
        return plain_scalar(value) ? Walk::done : Walk::fall_back;
    }

    // `range(len(value))[start:stop:step]` of a list or tuple.
    Walk slice(const Step* step, const Step* end, const Tail* tail, PyObject* value) noexcept
    {
        if (!PyList_CheckExact(value) && !PyTuple_CheckExact(value))
            return not_a_list(value);
        if (step->step == 0)
            return Walk::done;
        Py_ssize_t start = step->start;
        Py_ssize_t stop = step->stop;
        const Py_ssize_t count
            = PySlice_AdjustIndices(PySequence_Fast_GET_SIZE(value), &start, &stop, step->step);
        for (Py_ssize_t i = 0, at = start; i < count; ++i, at += step->step) {
            if (at >= PySequence_Fast_GET_SIZE(value))
                return Walk::fall_back; // shrunk by a comparison's code
            const Walk walked = each_item(step, end, tail, value, at);
            if (walked != Walk::done)
                return walked;
        }
        return Walk::done;
    }

    // The matches of `right` at `node`, then at each of its descendants,
    // depth first: items of lists and values of dicts (not tuples' items).
    Walk descend(const Plan* right, const Tail* tail, PyObject* node) noexcept
    {
        Deeper deeper(depth_);
        if (depth_ > walk_depth_limit)
            return Walk::fall_back;
        if (++visited_ % signal_interval == 0 && PyErr_CheckSignals() < 0)
            return Walk::failed;
        Walk walked = walk(right->steps, end_of(right), tail, node);
        if (walked != Walk::done)
            return walked;
        if (PyList_CheckExact(node)) {
            for (Py_ssize_t i = 0; walked == Walk::done && i < PyList_GET_SIZE(node); ++i) {
                Ref item = borrow(PyList_GET_ITEM(node, i));
                walked = descend(right, tail, item);
            }
            return walked;
        }
        if (PyDict_CheckExact(node)) {
            Py_ssize_t position = 0;
            PyObject* member = nullptr;
            while (walked == Walk::done && PyDict_Next(node, &position, nullptr, &member)) {
                Ref held = borrow(member);
                walked = descend(right, tail, held);
            }
            return walked;
        }
        return plain_scalar(node) || PyTuple_CheckExact(node) ? Walk::done : Walk::fall_back;
    }

    PyObject* json_;
    Sink& sink_;
    int depth_ = 0;
    Py_ssize_t visited_ = 0;
};

// --- parsed paths ----------------------------------------------------------------

// A kept path: the `parse` that made it (held, so its identity cannot be
// reused), the expression and its plan (null when it has none), held by a
// capsule in the table.
struct Entry {
    PyObject* parse;
    PyObject* expression;
    Plan* plan;
    std::uint64_t stamp; // the table's clock when the entry was last put at the end
};

constexpr const char* entry_capsule_name = "treekit.parsed";

void free_entry(PyObject* capsule) noexcept
{
    auto* entry = static_cast<Entry*>(PyCapsule_GetPointer(capsule, entry_capsule_name));
    Py_XDECREF(entry->parse);
    Py_XDECREF(entry->expression);
    free_plan(entry->plan);
    PyMem_Free(entry);
}

Entry* entry_of(PyObject* capsule) noexcept
{
    return static_cast<Entry*>(PyCapsule_GetPointer(capsule, entry_capsule_name));
}

// The capsule of a new entry; the plan is freed when it cannot be made.
Ref new_entry(PyObject* parse, PyObject* expression, Plan* plan, std::uint64_t stamp) noexcept
{
    auto* entry = static_cast<Entry*>(PyMem_Malloc(sizeof(Entry)));
    if (!entry) {
        free_plan(plan);
        return {};
    }
    *entry = Entry{Py_NewRef(parse), Py_NewRef(expression), plan, stamp};
    Ref capsule = steal(PyCapsule_New(entry, entry_capsule_name, free_entry));
    if (!capsule) {
        Py_DECREF(entry->parse);
        Py_DECREF(entry->expression);
        free_plan(plan);
        PyMem_Free(entry);
    }
    return capsule;
}

// Parsing a path builds the parser anew each time and costs milliseconds, so
// parsed paths are kept: path text -> entry, the oldest out. The clock counts
// the entries put in; a hit moves its entry to the end of the table only when
// half the table has been put in since it was last moved, so that a hit is
// one lookup, while an entry used that often is never the one dropped. An
// entry serves only the `parse` that made it, so rebinding `parse` takes
// effect at the next call; a path that fails to parse is never kept. The
// table is only an aid: when it cannot grow, the expression is still used.
class ParsedPaths {
public:
    explicit constexpr ParsedPaths(Py_ssize_t capacity) noexcept : capacity_(capacity) {}

    bool make() noexcept { return table_ || (table_ = PyDict_New()); }

    // The kept entry's capsule of `path` made by `parse`, or empty (no error).
    Ref find(PyObject* parse, PyObject* path) noexcept
    {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table_, path, &found) < 0)
            PyErr_Clear();
        Ref capsule = steal(found);
        Entry* entry = capsule ? entry_of(capsule) : nullptr;
        if (!entry || entry->parse != parse)
            return {};
        if (clock_ - entry->stamp > static_cast<std::uint64_t>(capacity_ / 2)) {
            entry->stamp = clock_;
            if (PyDict_DelItem(table_, path) < 0 || PyDict_SetItem(table_, path, capsule) < 0)
                PyErr_Clear();
        }
        return capsule;
    }

    // Keeps a new entry; its capsule, or empty (no error) when none was made.
    Ref keep(PyObject* parse, PyObject* path, PyObject* expression, Plan* plan) noexcept
    {
        Ref capsule = new_entry(parse, expression, plan, ++clock_);
        if (!capsule || PyDict_Pop(table_, path, nullptr) < 0
            || PyDict_SetItem(table_, path, capsule) < 0 || !drop_oldest())
            PyErr_Clear();
        return capsule;
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
    std::uint64_t clock_ = 0;
};

// The callers' paths, and apart from them the concrete paths that the delete
// makes for each match it removes, so that those never push the callers' out.
constinit ParsedPaths user_paths{256};
constinit ParsedPaths mark_paths{64};

// `parse(path)`, looked up by name; an exact str path is kept in `home`
// (with its plan for the callers' paths), and its capsule goes to `kept`
// when asked for (left empty for a path that is not kept).
Ref parsed(PyObject* path, ParsedPaths& home, Ref* kept = nullptr)
{
    Ref parse = global(parse_name);
    if (!parse)
        return {};
    if (!PyUnicode_CheckExact(path))
        return call(parse, path);
    Ref capsule = user_paths.find(parse, path);
    if (!capsule)
        capsule = mark_paths.find(parse, path);
    if (!capsule) {
        Ref expression = call(parse, path);
        if (!expression)
            return {};
        Plan* plan = &home == &user_paths ? compile_plan(parse, expression) : nullptr;
        capsule = home.keep(parse, path, expression, plan);
        if (!capsule) {
            PyErr_Clear();
            return expression;
        }
    }
    if (kept)
        *kept = capsule;
    return borrow(entry_of(capsule)->expression);
}

// --- statics made at exec ------------------------------------------------------------

// What the delete writes at the match it removes: an object of the module's
// own, which no caller's data can hold and which the filter tells by identity.
PyObject* marker = nullptr;
PyObject* is_marker = nullptr; // the filter predicate
PyObject* put_back = nullptr;  // the update callback, bound to the original value

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

// [i.value for i in parse(path).find(json)], all of them or only the first
// (None when there is none).
Ref match_values(PyObject* json, PyObject* path, bool all)
{
    Ref kept;
    Ref expression = parsed(path, user_paths, &kept);
    if (!expression)
        return {};
    const Plan* plan = kept ? entry_of(kept)->plan : nullptr;
    if (plan && library_unchanged()) {
        Sink sink(all);
        if (!sink.start())
            return {};
        const Walk walk = Walker(json, sink).run(plan);
        if (walk == Walk::done)
            return sink.result();
        if (walk == Walk::failed)
            return {};
    }
    Ref matches = call_method(expression, find_name, json);
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
    PyErr_SetRaisedException(pending);
}

// The `finally` of the delete: no marker stays in the caller's data. A
// pending exception keeps its entry at the line that raised it; a failure of
// the putting back that is not ordinary (an interrupt) takes its place.
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
    if (!put_back_original(json, mark, original)) {
        sweep_marker(container, original);
        if (!discard_ordinary()) {
            Ref second = steal(PyErr_GetRaisedException());
            PyException_SetContext(second, failure.release());
            PyErr_SetRaisedException(second.release());
            return false;
        }
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
    Ref container = original ? container_of(match) : Ref();
    Ref full_path = container ? attr(match, full_path_name) : Ref();
    Ref mark_path = full_path ? steal(PyUnicode_FromFormat("$.%S", full_path.get())) : Ref();
    Ref mark = mark_path ? parsed(mark_path, mark_paths) : Ref();
    if (!mark)
        return false;
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
    Ref dumped = dump ? call_with_keywords(dump, {x, stream}, dump_keywords,
                                           {default_style, default_flow_style, canonical, indent,
                                            allow_unicode, encoding, sort_keys})
                      : Ref();
    Ref text = dumped ? text_of(stream, buffer) : Ref();
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

bool make_statics(Exec& m)
{
    PyObject* object_type = reinterpret_cast<PyObject*>(&PyBaseObject_Type);
    return user_paths.make() && mark_paths.make()
           && hold(marker, steal(PyObject_CallNoArgs(object_type)))
           && hold(is_marker, m.function(checked<is_marker_spec, is_marker_body>()))
           && hold(put_back, m.function(checked<put_back_spec, put_back_body>()));
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
