// Native plans for JSONPath lookups, and the table of parsed paths.
#include "jsonpath_plan.hpp"

#include "guard.hpp"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <string_view>
#include <type_traits>

namespace tarvex::jsonpath {

namespace {

// --- the library as modelled -------------------------------------------------------

enum Kept : int {
    root_class,
    child_class,
    fields_class,
    index_class,
    wildcard_class,
    slice_class,
    descendants_class,
    this_class,
    union_class,
    modelled_count,               // the node classes above have plans
    datum_class = modelled_count, // the match objects: their methods shape every `find`
    // Node classes the parser makes that plans do not model: kept so that
    // a kept tree is never handed to changed code.
    parent_class,
    where_class,
    where_not_class,
    intersect_class,
    class_count
};
constexpr const char* kept_classes[class_count]
    = {"Root", "Child",  "Fields",         "Index",  "Wildcard", "Slice",    "Descendants",
       "This", "_Union", "DatumInContext", "Parent", "Where",    "WhereNot", "_Intersect"};

struct Library {
    FirstUse loading;
    // The module dict that `find` reads: the finds read the datum class, the
    // array walk and the automatic id field from it at each call.
    KeptDict globals;
    PyObject* not_set = nullptr;  // what `get` is given as default: a value that is a miss
    PyObject* list_key = nullptr; // the key an empty dict gets when an index makes it a list
    // The library's own `parse`: its trees are new objects that only the
    // table holds, so a plan made once stays true to its tree.
    PyObject* parse = nullptr;
    KeptClass classes[class_count];

    PyTypeObject* type(int kind) const noexcept { return classes[kind].type(); }
};
constinit Library library;

Name find_name{"find"};
Name value_name{"value"};
Name items_name{"items"};
Name fields_attr_name{"fields"};
Name indices_attr_name{"indices"};
Name left_name{"left"};
Name right_name{"right"};
Name start_name{"start"};
Name end_name{"end"};
Name step_name{"step"};
Name deprecated_wildcard_name{"_deprecated_wildcard_use"};

// `name` of a module's dict, held: another thread may rebind it.
Ref module_item(PyObject* globals, const char* name) noexcept
{
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(globals, name, &found) < 0)
        PyErr_Clear();
    return steal(found);
}

// Plans model the library with the automatic id field off.
bool load_library() noexcept
{
    Ref package = steal(PyImport_ImportModule("jsonpath_ng"));
    Ref module = package ? steal(PyImport_ImportModule("jsonpath_ng.jsonpath")) : Ref();
    if (!module || !distribution_version_in("jsonpath-ng", {"1.17."}))
        return false;
    PyObject* globals = PyModule_GetDict(module);
    Ref auto_id = module_item(globals, "auto_id_field");
    library.not_set = module_item(globals, "NOT_SET").release();
    library.list_key = module_item(globals, "LIST_KEY").release();
    if (auto_id.get() != Py_None || !library.not_set || !library.list_key
        || !library.globals.keep(globals))
        return false;
    Ref parser = steal(PyImport_ImportModule("jsonpath_ng.parser"));
    library.parse = parser ? PyObject_GetAttrString(parser, "parse") : nullptr;
    if (!library.parse || !defined_in(library.parse, "jsonpath_ng")
        || !defined_in(module_item(globals, "_find_array_elements").get(), "jsonpath_ng"))
        return false;
    for (std::size_t i = 0; i < class_count; ++i) {
        // Read from the module dict: the module's own lookup of a missing
        // name warns for some of these.
        Ref type = module_item(globals, kept_classes[i]);
        if (!type || !PyType_Check(type.get())
            || !library.classes[i].keep(reinterpret_cast<PyTypeObject*>(type.get()), "jsonpath_ng"))
            return false;
    }
    return true;
}

bool library_loaded() noexcept { return library.loading.loaded(load_library); }

int kept_class(PyObject* node, int count) noexcept
{
    for (int i = 0; i < count; ++i)
        if (Py_TYPE(node) == library.type(i))
            return i;
    return -1;
}

} // namespace

bool library_unchanged() noexcept
{
    if (!library_loaded())
        return false;
    for (KeptClass& kept : library.classes)
        if (!kept.unchanged())
            return false;
    return library.globals.unchanged();
}

// --- plans -----------------------------------------------------------------------------

enum class Op : unsigned char {
    root,
    self,
    group,
    fields,
    index,
    wildcard,
    slice,
    descend,
    either
};

struct Node {
    Op op;
    Ref items;  // field names or indexes, a tuple
    Ref source; // the library's node: its own `find` takes data a step does not model
    Py_ssize_t start = 0, stop = 0, step = 0; // a slice, unpacked; step 0 selects nothing
    std::unique_ptr<Node> left; // the first side, what descendants start from, a group's steps
    std::unique_ptr<Node> right;
    // The step run on each of this step's matches once they are all found:
    // `a.b.c` parses as ((a, b), c), whose `find` finishes `a.b` before `c`.
    std::unique_ptr<Node> next;
};

namespace {
bool edit_chain(const Node* root, bool& marks_back) noexcept;
} // namespace

Plan::Plan(std::unique_ptr<Node> root) noexcept : root_(std::move(root))
{
    chain_ = edit_chain(root_.get(), marks_back_);
    many_ = many_shape(root_.get());
}
Plan::Plan(Plan&&) noexcept = default;
Plan& Plan::operator=(Plan&&) noexcept = default;
Plan::~Plan() = default;

namespace {

using NodePtr = std::unique_ptr<Node>;

NodePtr new_node(Op op, PyObject* source = nullptr, PyObject* items = nullptr) noexcept
{
    NodePtr node(new (std::nothrow) Node{op, borrow(items), borrow(source)});
    if (!node)
        PyErr_NoMemory();
    return node;
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
bool plain_node(PyObject* node) noexcept
{
    Ref wildcard = attr(node, deprecated_wildcard_name);
    return wildcard && wildcard.get() == Py_False;
}

constexpr int compile_depth_limit = 64;

NodePtr compile_node(PyObject* node, int depth) noexcept;

NodePtr compile_sides(Op op, PyObject* node, int depth) noexcept
{
    Ref left = attr(node, left_name);
    Ref right = left ? attr(node, right_name) : Ref();
    NodePtr compiled = right ? new_node(op, node) : nullptr;
    if (!compiled || !(compiled->left = compile_node(left, depth + 1))
        || !(compiled->right = compile_node(right, depth + 1)))
        return nullptr;
    return compiled;
}

// `left.right`: the steps of `right` follow those of `left`; when `right`
// has steps of its own, they run as one step, all of them for each match of
// `left` before the next, as `find` nests them.
NodePtr compile_child(PyObject* node, int depth) noexcept
{
    Ref left = attr(node, left_name);
    Ref right = left ? attr(node, right_name) : Ref();
    NodePtr first = right ? compile_node(left, depth + 1) : nullptr;
    NodePtr then = first ? compile_node(right, depth + 1) : nullptr;
    if (!then)
        return nullptr;
    if (then->next) {
        NodePtr group = new_node(Op::group);
        if (!group)
            return nullptr;
        group->left = std::move(then);
        then = std::move(group);
    }
    Node* last = first.get();
    while (last->next)
        last = last->next.get();
    last->next = std::move(then);
    return first;
}

NodePtr compile_slice(PyObject* node) noexcept
{
    Ref start = attr(node, start_name);
    Ref end = start ? attr(node, end_name) : Ref();
    Ref step = end ? attr(node, step_name) : Ref();
    if (!step || !is_bound(start) || !is_bound(end) || !is_bound(step) || !plain_node(node))
        return nullptr;
    NodePtr compiled = new_node(Op::slice, node);
    const int zero = step.get() == Py_None ? 0 : PyObject_Not(step);
    if (!compiled || zero < 0)
        return nullptr;
    if (zero)
        return compiled; // step stays 0
    // Unpacking clamps the bounds into what the arithmetic of a walk can hold.
    Ref slice = steal(PySlice_New(start, end, step));
    if (!slice || PySlice_Unpack(slice, &compiled->start, &compiled->stop, &compiled->step) < 0)
        return nullptr;
    return compiled;
}

// The plan of one node; null when it is not modelled.
NodePtr compile_node(PyObject* node, int depth) noexcept
{
    if (depth > compile_depth_limit)
        return nullptr;
    switch (kept_class(node, modelled_count)) {
    case root_class:
        return new_node(Op::root);
    case this_class:
        return new_node(Op::self);
    case child_class:
        return compile_child(node, depth);
    case union_class:
        return compile_sides(Op::either, node, depth);
    case descendants_class:
        return compile_sides(Op::descend, node, depth);
    case fields_class: {
        Ref fields = attr(node, fields_attr_name);
        if (!fields || !all_exact(fields, is_str) || !plain_node(node))
            return nullptr;
        return new_node(Op::fields, node, fields);
    }
    case index_class: {
        Ref indices = attr(node, indices_attr_name);
        if (!indices || !all_exact(indices, is_int))
            return nullptr;
        return new_node(Op::index, node, indices);
    }
    case wildcard_class:
        return new_node(Op::wildcard, node);
    case slice_class:
        return compile_slice(node);
    default:
        return nullptr;
    }
}

// Whether every node of a tree is of a class the library record keeps, so
// that while the record holds, only the library's own code runs on it.
bool guarded_tree(PyObject* node, int depth) noexcept
{
    const int kind = kept_class(node, class_count);
    if (kind < 0 || kind == datum_class || depth > compile_depth_limit)
        return false;
    switch (kind) {
    case child_class:
    case union_class:
    case descendants_class:
    case where_class:
    case where_not_class:
    case intersect_class: {
        Ref left = attr(node, left_name);
        Ref right = left ? attr(node, right_name) : Ref();
        return right && guarded_tree(left, depth + 1) && guarded_tree(right, depth + 1);
    }
    default:
        return true;
    }
}

} // namespace

Plan Plan::compile(PyObject* expression) noexcept
{
    NodePtr root = library_unchanged() ? compile_node(expression, 0) : nullptr;
    PyErr_Clear();
    return Plan(std::move(root));
}

// --- the walk ----------------------------------------------------------------------------

namespace {

// Strong references, a few of them inline: most steps match once or not at all.
class Values {
public:
    Values() noexcept = default;
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values()
    {
        for (Py_ssize_t i = 0; i < size_; ++i)
            Py_DECREF(items_[i]);
        if (items_ != inline_)
            PyMem_Free(items_);
    }

    Py_ssize_t size() const noexcept { return size_; }
    PyObject* operator[](Py_ssize_t i) const noexcept { return items_[i]; }

    // Adds a reference to `value`; false with MemoryError pending.
    bool push(PyObject* value) noexcept
    {
        if (size_ == capacity_ && !reserve(size_ + 1))
            return false;
        items_[size_++] = Py_NewRef(value);
        return true;
    }

    // Room for `count` more; false with MemoryError pending.
    bool reserve(Py_ssize_t count) noexcept
    {
        if (count <= capacity_)
            return true;
        Py_ssize_t capacity = capacity_ * 2 > count ? capacity_ * 2 : count;
        if (capacity > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*))) {
            PyErr_NoMemory();
            return false;
        }
        void* grown = items_ == inline_ ? PyMem_Malloc(capacity * sizeof(PyObject*))
                                        : PyMem_Realloc(items_, capacity * sizeof(PyObject*));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        if (items_ == inline_)
            std::copy(inline_, inline_ + size_, static_cast<PyObject**>(grown));
        items_ = static_cast<PyObject**>(grown);
        capacity_ = capacity;
        return true;
    }

    // Adds a new reference, with room already reserved.
    void put(PyObject* value) noexcept { items_[size_++] = value; }
    // Fills a slot that `put` left empty.
    void set(Py_ssize_t i, PyObject* value) noexcept { items_[i] = value; }

    Ref pop() noexcept { return steal(items_[--size_]); }

    void clear() noexcept
    {
        while (size_)
            Py_DECREF(items_[--size_]);
    }

    Ref list() const noexcept
    {
        Ref list = steal(PyList_New(size_));
        if (list)
            for (Py_ssize_t i = 0; i < size_; ++i)
                PyList_SET_ITEM(list.get(), i, Py_NewRef(items_[i]));
        return list;
    }

private:
    static constexpr Py_ssize_t inline_capacity = 4;
    PyObject* inline_[inline_capacity];
    PyObject** items_ = inline_;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = inline_capacity;
};

// Types that run no code of the caller's under the library's checks and
// lookups, and have no items a step reads.
bool plain_scalar(PyObject* value) noexcept
{
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value)
           || PyBool_Check(value) || PyFloat_CheckExact(value);
}

bool exact_sequence(PyObject* value) noexcept
{
    return PyList_CheckExact(value) || PyTuple_CheckExact(value);
}

// How many values a descendants step visits between checks for signals.
constexpr Py_ssize_t signal_interval = 4096;

// Runs a plan as the library's `find` does: a step's matches, and the items
// of each container it reads, are all taken before the next step runs on
// them, and every value is held strongly before it is used, since a key's
// comparison may run code that changes the data.
class Finder {
public:
    explicit Finder(PyObject* json) noexcept : json_(json) {}

    bool ran_library() const noexcept { return ran_library_; }

    // Appends the matches of the steps from `node` on at `value` to `out`:
    // each step on all matches of the one before; false with the error
    // pending that `find` would raise.
    bool find(const Node& node, PyObject* value, Values& out) noexcept
    {
        if (detail::stack_short())
            return false;
        if (!node.next)
            return step(node, value, out);
        Values first;
        Values second;
        Values* matches = &first;
        Values* following = &second;
        if (!step(node, value, *matches))
            return false;
        for (const Node* at = node.next.get(); at; at = at->next.get()) {
            Values& into = at->next ? *following : out;
            for (Py_ssize_t i = 0; i < matches->size(); ++i)
                if (!step(*at, (*matches)[i], into))
                    return false;
            matches->clear();
            std::swap(matches, following);
        }
        return true;
    }

private:
    bool step(const Node& node, PyObject* value, Values& out) noexcept
    {
        switch (node.op) {
        case Op::root:
            return out.push(json_);
        case Op::self:
            return out.push(value);
        case Op::group:
            return find(*node.left, value, out);
        case Op::either:
            return find(*node.left, value, out) && find(*node.right, value, out);
        case Op::fields:
            return fields(node, value, out);
        case Op::index:
            return index(node, value, out);
        case Op::wildcard:
            return wildcard(node, value, out);
        case Op::slice:
            return slice(node, value, out);
        case Op::descend:
            return descend(node, value, out);
        }
        return true;
    }

    // What the library's own node finds at `value`, for data a step does
    // not model: `node.find(DatumInContext(value))`, as a parent step hands
    // it over.
    bool delegate(const Node& node, PyObject* value, Values& out) noexcept
    {
        ran_library_ = true;
        Ref datum = call(reinterpret_cast<PyObject*>(library.type(datum_class)), value);
        Ref matches = datum ? call_method(node.source, find_name, datum) : Ref();
        Ref iterator = matches ? steal(PyObject_GetIter(matches)) : Ref();
        if (!iterator)
            return false;
        while (Ref match = steal(PyIter_Next(iterator))) {
            Ref found = attr(match, value_name);
            if (!found || !out.push(found))
                return false;
        }
        return !PyErr_Occurred();
    }

    // `value.get(field, NOT_SET)` for each name, as the library asks: a
    // TypeError or AttributeError (from a key's comparison) is a miss, and
    // the library's own default held as a value is one too.
    bool fields(const Node& node, PyObject* value, Values& out) noexcept
    {
        if (!PyDict_CheckExact(value))
            return plain_scalar(value) || exact_sequence(value) || delegate(node, value, out);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(node.items.get()); ++i) {
            PyObject* found = nullptr;
            const int got = PyDict_GetItemRef(value, PyTuple_GET_ITEM(node.items.get(), i), &found);
            Ref held = steal(found);
            if (got < 0) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)
                    && !PyErr_ExceptionMatches(PyExc_AttributeError))
                    return false;
                PyErr_Clear();
            } else if (got && found != library.not_set && !out.push(held))
                return false;
        }
        return true;
    }

    bool index(const Node& node, PyObject* value, Values& out) noexcept
    {
        if (!exact_sequence(value))
            return plain_scalar(value) || PyDict_CheckExact(value) || delegate(node, value, out);
        bool pushed = true;
        Py_BEGIN_CRITICAL_SECTION(value);
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        for (Py_ssize_t i = 0; pushed && i < PyTuple_GET_SIZE(node.items.get()); ++i) {
            int overflow = 0;
            const long long at
                = PyLong_AsLongLongAndOverflow(PyTuple_GET_ITEM(node.items.get(), i), &overflow);
            if (overflow || at < -size || at >= size)
                continue;
            pushed = out.push(PySequence_Fast_GET_ITEM(value, at < 0 ? at + size : at));
        }
        Py_END_CRITICAL_SECTION();
        return pushed;
    }

    // Every item of a list or tuple, every value of a dict, nothing of a scalar.
    bool wildcard(const Node& node, PyObject* value, Values& out) noexcept
    {
        if (exact_sequence(value))
            return all_items(value, out);
        if (!PyDict_CheckExact(value))
            return plain_scalar(value) || delegate(node, value, out);
        bool reserved = false;
        Py_BEGIN_CRITICAL_SECTION(value);
        reserved = out.reserve(out.size() + PyDict_GET_SIZE(value));
        Py_ssize_t position = 0;
        PyObject* member = nullptr;
        while (reserved && PyDict_Next(value, &position, nullptr, &member))
            out.put(Py_NewRef(member));
        Py_END_CRITICAL_SECTION();
        return reserved;
    }

    static bool all_items(PyObject* sequence, Values& out) noexcept
    {
        bool reserved = false;
        Py_BEGIN_CRITICAL_SECTION(sequence);
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
        reserved = out.reserve(out.size() + size);
        for (Py_ssize_t i = 0; reserved && i < size; ++i)
            out.put(Py_NewRef(PySequence_Fast_GET_ITEM(sequence, i)));
        Py_END_CRITICAL_SECTION();
        return reserved;
    }

    // `range(len(value))[start:stop:step]` of a list or tuple.
    bool slice(const Node& node, PyObject* value, Values& out) noexcept
    {
        if (!exact_sequence(value))
            return plain_scalar(value) || PyDict_CheckExact(value) || delegate(node, value, out);
        if (node.step == 0)
            return true;
        bool pushed = true;
        Py_BEGIN_CRITICAL_SECTION(value);
        Py_ssize_t start = node.start;
        Py_ssize_t stop = node.stop;
        const Py_ssize_t count
            = PySlice_AdjustIndices(PySequence_Fast_GET_SIZE(value), &start, &stop, node.step);
        pushed = out.reserve(out.size() + count);
        // Each index is computed from the start: stepping past the last one
        // could leave the range of Py_ssize_t, while every selected index is
        // within the sequence, and so is its distance from the start.
        for (Py_ssize_t i = 0; pushed && i < count; ++i)
            out.put(Py_NewRef(PySequence_Fast_GET_ITEM(value, start + i * node.step)));
        Py_END_CRITICAL_SECTION();
        return pushed;
    }

    // The matches of the right side at each node under the left side's
    // matches, in pre-order: a node's own matches are found before its
    // children are taken, its children all at once (items of lists, values
    // of dicts), as the library's explicit stack does.
    bool descend(const Node& node, PyObject* value, Values& out) noexcept
    {
        Values stack;
        {
            Values left;
            if (!find(*node.left, value, left) || !stack.reserve(left.size()))
                return false;
            for (Py_ssize_t i = left.size(); i-- > 0;)
                stack.put(Py_NewRef(left[i]));
        }
        while (stack.size()) {
            Ref at = stack.pop();
            if (++visited_ % signal_interval == 0 && PyErr_CheckSignals() < 0)
                return false;
            if (!find(*node.right, at, out) || !push_children(at, stack))
                return false;
        }
        return true;
    }

public:
    // The children of `value`, last first, so that they pop in order.
    static bool push_children(PyObject* value, Values& stack) noexcept
    {
        bool pushed = true;
        if (PyList_CheckExact(value)) {
            Py_BEGIN_CRITICAL_SECTION(value);
            const Py_ssize_t size = PyList_GET_SIZE(value);
            pushed = stack.reserve(stack.size() + size);
            for (Py_ssize_t i = size; pushed && i-- > 0;)
                stack.put(Py_NewRef(PyList_GET_ITEM(value, i)));
            Py_END_CRITICAL_SECTION();
            return pushed;
        }
        if (PyDict_CheckExact(value)) {
            Py_BEGIN_CRITICAL_SECTION(value);
            const Py_ssize_t size = PyDict_GET_SIZE(value);
            pushed = stack.reserve(stack.size() + size);
            if (pushed) {
                Py_ssize_t position = 0;
                PyObject* member = nullptr;
                const Py_ssize_t base = stack.size();
                Py_ssize_t i = 0;
                // PyDict_Next runs forward: fill the reserved slots from the top.
                for (; i < size; ++i)
                    stack.put(nullptr);
                while (PyDict_Next(value, &position, nullptr, &member) && i > 0)
                    stack.set(base + --i, Py_NewRef(member));
            }
            Py_END_CRITICAL_SECTION();
            return pushed;
        }
        if (plain_scalar(value) || PyTuple_CheckExact(value))
            return true;
        return children_of_other(value, stack);
    }

private:
    // `isinstance(value, list)`, then `isinstance(value, dict)`, and the
    // children as the library takes them: `enumerate(value)`, or
    // `reversed(value.items())` with each pair unpacked.
    static bool children_of_other(PyObject* value, Values& stack) noexcept
    {
        const int is_list = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyList_Type));
        if (is_list < 0)
            return false;
        if (is_list) {
            Values items;
            if (!iterate(value, items, false))
                return false;
            for (Py_ssize_t i = items.size(); i-- > 0;)
                if (!stack.push(items[i]))
                    return false;
            return true;
        }
        const int is_dict = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyDict_Type));
        if (is_dict <= 0)
            return is_dict == 0;
        Ref items = call_method(value, items_name);
        Ref reversed = items ? call(reinterpret_cast<PyObject*>(&PyReversed_Type), items) : Ref();
        return reversed && iterate(reversed, stack, true);
    }

    // Appends each item of `iterable` (the second of each pair, unpacked as
    // `field, child` is, when `pairs`).
    static bool iterate(PyObject* iterable, Values& out, bool pairs) noexcept
    {
        Ref iterator = steal(PyObject_GetIter(iterable));
        if (!iterator)
            return false;
        while (Ref item = steal(PyIter_Next(iterator))) {
            Ref child = pairs ? second_of_pair(item) : item;
            if (!child || !out.push(child))
                return false;
        }
        return !PyErr_Occurred();
    }

    static Ref second_of_pair(PyObject* pair) noexcept
    {
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2)
            return borrow(PyTuple_GET_ITEM(pair, 1));
        Ref iterator = steal(PyObject_GetIter(pair));
        Ref first = iterator ? steal(PyIter_Next(iterator)) : Ref();
        Ref second = first ? steal(PyIter_Next(iterator)) : Ref();
        Ref extra = second ? steal(PyIter_Next(iterator)) : Ref();
        if (PyErr_Occurred())
            return {};
        if (!second) {
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                         first ? 1 : 0);
            return {};
        }
        if (extra) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            return {};
        }
        return second;
    }

    PyObject* json_;
    bool ran_library_ = false;
    Py_ssize_t visited_ = 0;
};

} // namespace

Ref Plan::values(PyObject* json, bool all, bool& ran_library) const noexcept
{
    // A root of another kind (even a match object of the library's) is
    // read by the library's own code.
    if (!root_ || !(plain_scalar(json) || exact_sequence(json) || PyDict_CheckExact(json)))
        return {};
    Values out;
    Finder finder(json);
    const bool found = finder.find(*root_, json, out);
    ran_library = finder.ran_library();
    if (!found)
        return {};
    if (all)
        return out.list();
    return out.size() ? borrow(out[0]) : none();
}

// --- edits -----------------------------------------------------------------------------------

namespace {

Name get_name{"get"};
Name pop_name{"pop"};
Name keys_name{"keys"};

// An index past this has the library pad a list with as many dicts: such a
// path is left to it.
constexpr long long padded_index_limit = 1LL << 24;

// A name that `str(Fields(name))` writes bare and the lexer reads back as
// the same name, never as a reserved word.
bool bare_name(PyObject* name) noexcept
{
    if (!PyUnicode_IS_ASCII(name) || PyUnicode_GET_LENGTH(name) == 0)
        return false;
    const std::string_view text(static_cast<const char*>(PyUnicode_DATA(name)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(name)));
    if (text == "where" || text == "wherenot")
        return false;
    const auto letter
        = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return letter(text.front())
           && std::all_of(text.begin(), text.end(), [&](char c) { return letter(c) || digit(c); });
}

// `$` first (only there), then steps of one name or one index each.
bool edit_chain(const Node* node, bool& marks_back) noexcept
{
    marks_back = true;
    if (node && node->op == Op::root)
        node = node->next.get();
    if (!node)
        return false;
    for (; node; node = node->next.get()) {
        if (node->op == Op::wildcard && !node->next) {
            // The last step may match many: the delete's marks are left to the library.
            marks_back = false;
            return true;
        }
        if ((node->op != Op::fields && node->op != Op::index)
            || PyTuple_GET_SIZE(node->items.get()) != 1)
            return false;
        PyObject* item = PyTuple_GET_ITEM(node->items.get(), 0);
        if (node->op == Op::fields) {
            marks_back = marks_back && bare_name(item);
            continue;
        }
        int overflow = 0;
        const long long at = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow || at >= padded_index_limit || at <= -padded_index_limit)
            return false;
    }
    return true;
}

const Node* last_step(const Node* node) noexcept
{
    while (node->next)
        node = node->next.get();
    return node;
}

PyObject* key_of(const Node& node) noexcept { return PyTuple_GET_ITEM(node.items.get(), 0); }

Py_ssize_t index_of(const Node& node) noexcept { return PyLong_AsSsize_t(key_of(node)); }

int instance_of(PyObject* value, PyTypeObject* type) noexcept
{
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(type));
}

// The library catches these two around a field lookup: a miss.
int miss_or_error() noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}

// `Fields.get_field_datum`: `value.get(field, NOT_SET)`, and when creating,
// `value[field] = {}` for a missing one. 1 with `out` set, 0 for no match.
int field_of(PyObject* value, PyObject* field, bool create, Ref& out) noexcept
{
    Ref got;
    if (PyDict_CheckExact(value)) {
        PyObject* found = nullptr;
        const int present = PyDict_GetItemRef(value, field, &found);
        if (present < 0)
            return miss_or_error();
        got = present ? steal(found) : borrow(library.not_set);
    } else {
        Ref get = attr(value, get_name);
        got = get ? call(get, field, library.not_set) : Ref();
        if (!got)
            return miss_or_error();
    }
    if (got.get() == library.not_set) {
        if (!create)
            return 0;
        got = steal(PyDict_New());
        if (!got)
            return -1;
        if (PyObject_SetItem(value, field, got) < 0)
            return miss_or_error();
    }
    out = std::move(got);
    return 1;
}

// `-len(value) <= at < len(value)`, with `len` called as often as there.
int within(PyObject* value, Py_ssize_t at) noexcept
{
    Py_ssize_t size = PyObject_Size(value);
    if (size < 0)
        return -1;
    if (at < -size)
        return 0;
    size = PyObject_Size(value);
    return size < 0 ? -1 : at < size;
}

// The finding part of `Index._find_base`: the item of a list or tuple that
// is long enough. 1 with `out` set, 0 for no match.
int item_at(PyObject* value, PyObject* key, Ref& out) noexcept
{
    int sequence = instance_of(value, &PyList_Type);
    if (sequence == 0)
        sequence = instance_of(value, &PyTuple_Type);
    if (sequence <= 0)
        return sequence;
    const int truth = PyObject_IsTrue(value);
    if (truth <= 0)
        return truth;
    const int inside = within(value, PyLong_AsSsize_t(key));
    if (inside <= 0)
        return inside;
    out = steal(PyObject_GetItem(value, key));
    return out ? 1 : -1;
}

int item_of(PyObject* value, const Node& node, Ref& out) noexcept
{
    return item_at(value, key_of(node), out);
}

// `value == {}`, which the library asks before an index step that creates.
int equals_empty_dict(PyObject* value) noexcept
{
    if (PyDict_CheckExact(value))
        return PyDict_GET_SIZE(value) == 0;
    if (plain_scalar(value) || exact_sequence(value))
        return 0;
    Ref empty = steal(PyDict_New());
    Ref equal = empty ? steal(PyObject_RichCompare(value, empty, Py_EQ)) : Ref();
    return equal ? PyObject_IsTrue(equal) : -1;
}

// `Index._pad_value`: `value += [{} ...]` up to the index; the sum itself is
// dropped, as the library drops it.
bool pad(PyObject* value, Py_ssize_t at) noexcept
{
    const Py_ssize_t size = PyObject_Size(value);
    if (size < 0)
        return false;
    if (size > at)
        return true;
    const Py_ssize_t count = at - size + 1;
    Ref padding = steal(PyList_New(count));
    if (!padding)
        return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* fresh = PyDict_New();
        if (!fresh)
            return false;
        PyList_SET_ITEM(padding.get(), i, fresh);
    }
    return static_cast<bool>(steal(PyNumber_InPlaceAdd(value, padding)));
}

// What the delete's update callback puts back: the original where the
// marker is.
struct PutBack {
    PyObject* marker;
    PyObject* original;
};

// `value.pop(0)` for a list value, which an index step stores in its place.
Ref stored_at_index(PyObject* value) noexcept
{
    const int list = instance_of(value, &PyList_Type);
    if (list <= 0)
        return list == 0 ? borrow(value) : Ref();
    Ref zero = steal(PyLong_FromLong(0));
    return zero ? call_method(value, pop_name, zero) : Ref();
}

// The put-back callback at `data[key]`, and its result stored unless None.
bool put_back_at(PyObject* data, PyObject* key, const PutBack& put_back) noexcept
{
    Ref old = steal(PyObject_GetItem(data, key));
    if (!old)
        return false;
    PyObject* result = old.get();
    if (result == put_back.marker) {
        if (PyObject_SetItem(data, key, put_back.original) < 0)
            return false;
        result = put_back.original;
    }
    return result == Py_None || PyObject_SetItem(data, key, result) == 0;
}

// `Fields(key).update` (`field`) or `Index(key).update` at `data`: `value`
// stored, or with `put_back`, the delete's callback run on what is there.
bool set_at_key(bool field, PyObject* key, PyObject* data, PyObject* value,
                const PutBack* put_back) noexcept
{
    if (field) {
        const int has_get = PyDict_CheckExact(data) ? 1 : PyObject_HasAttrWithError(data, get_name);
        if (has_get <= 0)
            return has_get == 0;
        if (data == Py_None || PyBool_Check(data))
            return true;
        const int present = PySequence_Contains(data, key);
        if (present <= 0)
            return present == 0;
    } else {
        const int list = instance_of(data, &PyList_Type);
        if (list <= 0)
            return list == 0;
        const int inside = within(data, PyLong_AsSsize_t(key));
        if (inside <= 0)
            return inside == 0;
    }
    if (put_back)
        return put_back_at(data, key, *put_back);
    Ref stored = field ? borrow(value) : stored_at_index(value);
    return stored && PyObject_SetItem(data, key, stored) == 0;
}

bool set_at(const Node& node, PyObject* data, PyObject* value, const PutBack* put_back) noexcept
{
    return set_at_key(node.op == Op::fields, key_of(node), data, value, put_back);
}

// `datum.value = _create_list_key(datum.value)`: the empty dict gets the
// library's list key, and the new list takes its place in `parent` through
// the step that reached it (none at the root).
Ref list_in_place_of(PyObject* value, PyObject* parent, bool field, PyObject* key) noexcept
{
    Ref list = steal(PyList_New(1));
    PyObject* fresh = list ? PyDict_New() : nullptr;
    if (!fresh)
        return {};
    PyList_SET_ITEM(list.get(), 0, fresh);
    if (PyObject_SetItem(value, library.list_key, list) < 0)
        return {};
    if (parent && !set_at_key(field, key, parent, list, nullptr))
        return {};
    return list;
}

// `Wildcard.find`, run by `find_or_create` for what it may run of the
// caller's code only: what it finds is dropped. Lists, tuples, dicts and
// scalars run none; other data goes to the library's own node.
int wildcard_find(const Node& node, PyObject* value) noexcept
{
    if (exact_sequence(value) || PyDict_CheckExact(value) || plain_scalar(value))
        return 1;
    Ref datum = call(reinterpret_cast<PyObject*>(library.type(datum_class)), value);
    Ref found = datum ? call_method(node.source, find_name, datum) : Ref();
    return found ? 1 : -1;
}

// `tuple(value.keys())`, empty for a value without `keys`.
Ref keys_of(PyObject* value) noexcept
{
    if (PyDict_CheckExact(value))
        return steal(PyDict_Keys(value));
    Ref keys = call_method(value, keys_name);
    Ref held = keys ? steal(PySequence_Tuple(keys)) : Ref();
    if (held || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return held;
    PyErr_Clear();
    return steal(PyTuple_New(0));
}

// `Wildcard.update` for a value that is not callable: every index of a
// list (`Index(*range(len(data)))`), or every key of what has a `get`
// (`Fields(*tuple(data.keys()))`), each checked again before it is set.
bool wildcard_update(PyObject* data, PyObject* value) noexcept
{
    const int list = instance_of(data, &PyList_Type);
    if (list < 0)
        return false;
    if (list) {
        const Py_ssize_t count = PyObject_Size(data);
        if (count < 0)
            return false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            const int inside = within(data, i);
            if (inside <= 0) {
                if (inside < 0)
                    return false;
                continue;
            }
            Ref key = steal(PyLong_FromSsize_t(i));
            Ref stored = key ? stored_at_index(value) : Ref();
            if (!stored || PyObject_SetItem(data, key, stored) < 0)
                return false;
        }
        return true;
    }
    const int has_get = PyDict_CheckExact(data) ? 1 : PyObject_HasAttrWithError(data, get_name);
    if (has_get <= 0)
        return has_get == 0;
    Ref keys = keys_of(data);
    if (!keys)
        return false;
    if (PyBool_Check(data))
        return true;
    Ref iterator = steal(PyObject_GetIter(keys));
    if (!iterator)
        return false;
    while (Ref key = steal(PyIter_Next(iterator))) {
        const int present = PySequence_Contains(data, key);
        if (present < 0 || (present && PyObject_SetItem(data, key, value) < 0))
            return false;
    }
    return !PyErr_Occurred();
}

// The steps from `node` up to `stop`, each on the one match of the step
// before, as `find` (or `find_or_create`) runs a chain: `value` is the last
// match. 1 when every step matched, 0 when one matched nothing.
int walk(const Node* node, const Node* stop, PyObject* json, bool create, Ref& value) noexcept
{
    value = borrow(json);
    Ref parent;
    const Node* via = nullptr;
    for (; node != stop; node = node->next.get()) {
        if (node->op == Op::root)
            continue;
        if (node->op == Op::wildcard)
            return create ? wildcard_find(*node, value) : 0; // only the update's last step
        Ref next;
        int matched = 0;
        if (node->op == Op::fields) {
            matched = field_of(value, key_of(*node), create, next);
        } else {
            if (create) {
                const int empty = equals_empty_dict(value);
                if (empty < 0)
                    return -1;
                if (empty) {
                    Ref list = parent ? list_in_place_of(value, parent, via->op == Op::fields,
                                                         key_of(*via))
                                      : list_in_place_of(value, nullptr, false, nullptr);
                    if (!list)
                        return -1;
                    value = std::move(list);
                }
                if (!pad(value, index_of(*node)))
                    return -1;
            }
            matched = item_of(value, *node, next);
        }
        if (matched <= 0)
            return matched;
        parent = std::move(value);
        value = std::move(next);
        via = node;
    }
    return 1;
}

// --- edits of paths that match many ---------------------------------------------------

// Values and keys on which every operation the library makes (a lookup, a
// comparison, `isinstance`, `.get`) runs no code of the caller's. Where only
// these are in the way, the edits below may reach the library's resulting
// tree in their own order of operations.
bool plain_value(PyObject* value) noexcept
{
    return plain_scalar(value) || Py_IS_TYPE(value, &PyBaseObject_Type);
}

bool plain_keys(PyObject* dict) noexcept
{
    bool plain = true;
    Py_BEGIN_CRITICAL_SECTION(dict);
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    while (plain && PyDict_Next(dict, &position, &key, nullptr))
        plain = plain_value(key);
    Py_END_CRITICAL_SECTION();
    return plain;
}

// A growable array of trivially copyable items in Python's memory.
template <class T> class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { PyMem_Free(items_); }

    Py_ssize_t size() const noexcept { return size_; }
    T& operator[](Py_ssize_t i) noexcept { return items_[i]; }
    const T& operator[](Py_ssize_t i) const noexcept { return items_[i]; }

    // Room for `count` in all; false with MemoryError pending.
    bool reserve(Py_ssize_t count) noexcept
    {
        if (count <= capacity_)
            return true;
        Py_ssize_t capacity = std::max<Py_ssize_t>({count, capacity_ * 2, 8});
        if (capacity > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(T))) {
            PyErr_NoMemory();
            return false;
        }
        void* grown = PyMem_Realloc(items_, static_cast<std::size_t>(capacity) * sizeof(T));
        if (!grown) {
            PyErr_NoMemory();
            return false;
        }
        items_ = static_cast<T*>(grown);
        capacity_ = capacity;
        return true;
    }

    bool push(const T& item) noexcept
    {
        if (size_ == capacity_ && !reserve(size_ + 1))
            return false;
        items_[size_++] = item;
        return true;
    }
    // With room already reserved.
    void put(const T& item) noexcept { items_[size_++] = item; }
    T pop() noexcept { return items_[--size_]; }

    void swap(Buffer& other) noexcept
    {
        std::swap(items_, other.items_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

private:
    T* items_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

using Indexes = Buffer<Py_ssize_t>;

// Where a match sits, as the library's match object knows it: its value,
// and the key that its container holds it under (a field name, or an index
// as an int). Both references are strong.
struct Spot {
    PyObject* value;
    PyObject* key;   // none at the start
    Py_ssize_t from; // the container's spot; -1 at the start
    bool field;
};

// Runs the steps of a path on every match of the step before, keeping each
// match's place: the matches of the whole walk are spots in one array, and
// a step's matches are their numbers in it. A checking walk refuses, with
// nothing pending, any value or dict key that is not plain.
class ManyWalk {
public:
    ManyWalk(PyObject* json, bool check) noexcept : json_(json), check_(check) {}
    ManyWalk(const ManyWalk&) = delete;
    ManyWalk& operator=(const ManyWalk&) = delete;
    ~ManyWalk()
    {
        for (Py_ssize_t i = 0; i < spots_.size(); ++i) {
            Py_DECREF(spots_[i].value);
            Py_XDECREF(spots_[i].key);
        }
    }

    bool unmodelled() const noexcept { return unmodelled_; }
    const Spot& spot(Py_ssize_t at) const noexcept { return spots_[at]; }
    PyObject* value(Py_ssize_t at) const noexcept { return spots_[at].value; }

    // The matches of the chain from `node` up to `stop` at the root, each
    // step run on all matches of the one before, as `Child` nests them;
    // `create` makes what `find_or_create` makes.
    bool find(const Node* node, const Node* stop, Indexes& level, bool create) noexcept
    {
        if (!start(level))
            return false;
        for (; node != stop; node = node->next.get()) {
            if (node->op == Op::root)
                continue; // only first, where the level is the root already
            Indexes next;
            for (Py_ssize_t i = 0; i < level.size(); ++i)
                if (!admit(spots_[level[i]].value) || !step(*node, level[i], create, next))
                    return false;
            level.swap(next);
        }
        return true;
    }

    // `Descendants.find`: the right step at each node under the left
    // chain's matches, in pre-order, the children of lists and dicts only.
    bool descend(const Node& node, Indexes& matches) noexcept
    {
        Indexes level;
        Indexes stack;
        if (!find(node.left.get(), nullptr, level, false) || !stack.reserve(level.size()))
            return false;
        for (Py_ssize_t i = level.size(); i-- > 0;)
            stack.put(level[i]);
        Py_ssize_t visited = 0;
        while (stack.size()) {
            const Py_ssize_t at = stack.pop();
            if (++visited % signal_interval == 0 && PyErr_CheckSignals() < 0)
                return false;
            PyObject* value = spots_[at].value;
            if (!admit(value) || !step(*node.right, at, false, matches))
                return false;
            if (!PyList_CheckExact(value) && !PyDict_CheckExact(value))
                continue;
            const Py_ssize_t first = spots_.size();
            if (!add_children(at) || !stack.reserve(stack.size() + spots_.size() - first))
                return false;
            for (Py_ssize_t child = spots_.size(); child-- > first;)
                stack.put(child);
        }
        return true;
    }

    // Whether `"$." + str(full_path)` of the match at `at` reads back as the
    // same chain of names and indexes.
    bool marks_back(Py_ssize_t at) const noexcept
    {
        for (; spots_[at].from >= 0; at = spots_[at].from) {
            const Spot& spot = spots_[at];
            if (spot.field && !(PyUnicode_CheckExact(spot.key) && bare_name(spot.key)))
                return false;
        }
        return true;
    }

private:
    bool start(Indexes& level) noexcept
    {
        if (!spots_.size() && !spots_.push(Spot{Py_NewRef(json_), nullptr, -1, false}))
            return false;
        return level.push(0);
    }

    bool admit(PyObject* value) noexcept
    {
        if (PyDict_CheckExact(value) ? !check_ || plain_keys(value)
                                     : exact_sequence(value) || plain_value(value))
            return true;
        if (check_)
            unmodelled_ = true;
        else
            PyErr_SetString(PyExc_SystemError, "an edit met data that its check did not see");
        return false;
    }

    // Takes over both references.
    bool add(PyObject* value, PyObject* key, Py_ssize_t from, bool field, Indexes& out) noexcept
    {
        if (!spots_.push(Spot{value, key, from, field})) {
            Py_DECREF(value);
            Py_XDECREF(key);
            return false;
        }
        return out.push(spots_.size() - 1);
    }

    bool step(const Node& node, Py_ssize_t at, bool create, Indexes& out) noexcept
    {
        Ref value = borrow(spots_[at].value);
        Ref found;
        int matched = 0;
        switch (node.op) {
        case Op::fields:
            // Of plain values only a dict has a `get`.
            if (!PyDict_CheckExact(value))
                return true;
            matched = field_of(value, key_of(node), create, found);
            break;
        case Op::index:
            if (create && !make_room(at, index_of(node), value))
                return false;
            matched = item_of(value, node, found);
            break;
        case Op::wildcard: {
            const Py_ssize_t first = spots_.size();
            if (!add_children(at) || !out.reserve(out.size() + spots_.size() - first))
                return false;
            for (Py_ssize_t child = first; child < spots_.size(); ++child)
                out.put(child);
            return true;
        }
        default:
            PyErr_SetString(PyExc_SystemError, "an edit met a step it does not model");
            return false;
        }
        if (matched <= 0)
            return matched == 0;
        return add(found.release(), Py_NewRef(key_of(node)), at, node.op == Op::fields, out);
    }

    // `Index._find_base` when creating: an empty dict turned into a list in
    // its container's place (`datum.value = ...` stores it through the
    // match's own path), then the list padded up to the index.
    bool make_room(Py_ssize_t at, Py_ssize_t index, Ref& value) noexcept
    {
        const int empty = equals_empty_dict(value);
        if (empty < 0)
            return false;
        if (empty) {
            const Spot spot = spots_[at];
            PyObject* parent = spot.from >= 0 ? spots_[spot.from].value : nullptr;
            Ref list = list_in_place_of(value, parent, spot.field, spot.key);
            if (!list)
                return false;
            Py_SETREF(spots_[at].value, Py_NewRef(list.get()));
            value = std::move(list);
        }
        return pad(value, index);
    }

    // A spot for each item of a list or tuple, or each entry of a dict, in order.
    bool add_children(Py_ssize_t at) noexcept
    {
        PyObject* value = spots_[at].value;
        bool added = true;
        if (exact_sequence(value)) {
            Py_BEGIN_CRITICAL_SECTION(value);
            const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
            added = spots_.reserve(spots_.size() + size);
            for (Py_ssize_t i = 0; added && i < size; ++i) {
                PyObject* index = PyLong_FromSsize_t(i);
                added = index != nullptr;
                if (added)
                    spots_.put(
                        Spot{Py_NewRef(PySequence_Fast_GET_ITEM(value, i)), index, at, false});
            }
            Py_END_CRITICAL_SECTION();
        } else if (PyDict_CheckExact(value)) {
            Py_BEGIN_CRITICAL_SECTION(value);
            added = spots_.reserve(spots_.size() + PyDict_GET_SIZE(value));
            Py_ssize_t position = 0;
            PyObject *key = nullptr, *member = nullptr;
            while (added && PyDict_Next(value, &position, &key, &member))
                spots_.put(Spot{Py_NewRef(member), Py_NewRef(key), at, true});
            Py_END_CRITICAL_SECTION();
        }
        return added;
    }

    Buffer<Spot> spots_;
    PyObject* json_;
    bool check_;
    bool unmodelled_ = false;
};

// `Fields.update`, `Index.update` or `Wildcard.update` of one step at
// `data`, for a value that is not callable.
bool update_step(const Node& node, PyObject* data, PyObject* value) noexcept
{
    if (node.op == Op::wildcard)
        return wildcard_update(data, value);
    return set_at(node, data, value, nullptr);
}

// The position of the last `marker` in `list`, -1 for none.
Py_ssize_t last_marker(PyObject* list, PyObject* marker) noexcept
{
    Py_ssize_t found = -1;
    Py_BEGIN_CRITICAL_SECTION(list);
    for (Py_ssize_t i = PyList_GET_SIZE(list); found < 0 && i-- > 0;)
        if (PyList_GET_ITEM(list, i) == marker)
            found = i;
    Py_END_CRITICAL_SECTION();
    return found;
}

// The `filter` of one step at `data` with `lambda x: x is marker`, on
// plain data: a dict entry goes with its key, a list item with the later
// ones moving up.
bool filter_step(const Node& node, PyObject* data, PyObject* marker) noexcept
{
    if (PyDict_CheckExact(data)) {
        if (node.op == Op::index)
            return true;
        if (node.op == Op::fields) {
            PyObject* found = nullptr;
            const int got = PyDict_GetItemRef(data, key_of(node), &found);
            const bool marked = got > 0 && found == marker;
            Py_XDECREF(found);
            return got >= 0 && (!marked || PyDict_DelItem(data, key_of(node)) == 0);
        }
        Ref items = steal(PyDict_Items(data));
        if (!items)
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            if (PyTuple_GET_ITEM(item, 1) == marker
                && PyDict_DelItem(data, PyTuple_GET_ITEM(item, 0)) < 0)
                return false;
        }
        return true;
    }
    if (!PyList_CheckExact(data) || node.op == Op::fields)
        return true;
    if (node.op == Op::index) {
        const Py_ssize_t size = PyList_Size(data);
        const Py_ssize_t at = index_of(node);
        if (at < -size || at >= size)
            return true;
        const Py_ssize_t position = at < 0 ? at + size : at;
        Ref item = steal(PySequence_GetItem(data, position));
        return item && (item.get() != marker || PySequence_DelItem(data, position) == 0);
    }
    for (Py_ssize_t at = last_marker(data, marker); at >= 0; at = last_marker(data, marker))
        if (PyList_SetSlice(data, at, at + 1, nullptr) < 0)
            return false;
    return true;
}

// `Descendants.update` or `Descendants.filter` at the matches of its left
// chain: `run` on each list and dict in pre-order, their children read after it.
template <class Run> bool each_descendant(const Node& node, PyObject* json, Run run) noexcept
{
    ManyWalk walk(json, false);
    Indexes level;
    Values stack;
    if (!walk.find(node.left.get(), nullptr, level, false) || !stack.reserve(level.size()))
        return false;
    for (Py_ssize_t i = level.size(); i-- > 0;)
        stack.put(Py_NewRef(walk.value(level[i])));
    Py_ssize_t visited = 0;
    while (stack.size()) {
        Ref at = stack.pop();
        if (++visited % signal_interval == 0 && PyErr_CheckSignals() < 0)
            return false;
        if (!PyList_CheckExact(at) && !PyDict_CheckExact(at))
            continue;
        if (!run(*node.right, at) || !Finder::push_children(at, stack))
            return false;
    }
    return true;
}

// `Child.update` or `Child.filter`: `run` with the last step at each match
// of the steps before it.
template <class Run> bool each_last(const Node* root, PyObject* json, Run run) noexcept
{
    const Node* last = last_step(root);
    ManyWalk walk(json, false);
    Indexes level;
    if (!walk.find(root, last, level, false))
        return false;
    for (Py_ssize_t i = 0; i < level.size(); ++i) {
        Ref data = borrow(walk.value(level[i]));
        if (!run(*last, data))
            return false;
    }
    return true;
}

// One name, one index (that pads no more than the chains do), or every child.
bool single_step(const Node* node) noexcept
{
    if (node->op == Op::wildcard)
        return true;
    if ((node->op != Op::fields && node->op != Op::index)
        || PyTuple_GET_SIZE(node->items.get()) != 1)
        return false;
    if (node->op == Op::fields)
        return true;
    int overflow = 0;
    const long long at = PyLong_AsLongLongAndOverflow(key_of(*node), &overflow);
    return !overflow && at < padded_index_limit && at > -padded_index_limit;
}

// `$` first or not, then single steps; `$` alone when `bare` allows it.
bool simple_chain(const Node* node, bool bare) noexcept
{
    if (node && node->op == Op::root)
        node = node->next.get();
    if (!node)
        return bare;
    for (; node; node = node->next.get())
        if (!single_step(node))
            return false;
    return true;
}

// Every match of a many-match path, in the library's order.
bool all_matches(ManyWalk& walk, const Node& root, bool descendants, Indexes& found) noexcept
{
    return descendants ? walk.descend(root, found) : walk.find(&root, nullptr, found, false);
}

} // namespace

unsigned char Plan::many_shape(const Node* root) noexcept
{
    if (!root)
        return many_none;
    if (root->op != Op::descend)
        return simple_chain(root, false) ? many_chain : many_none;
    const bool modelled = !root->next && simple_chain(root->left.get(), true) && !root->right->next
                          && single_step(root->right.get());
    return modelled ? many_descend : many_none;
}

bool Plan::updates_many(PyObject* json, PyObject* value) const noexcept
{
    if (many_ == many_none || chain_ || !(PyDict_CheckExact(json) || PyList_CheckExact(json)))
        return false;
    if (plain_value(value))
        return true;
    // A container stored by a descendants update is walked into next.
    return many_ == many_chain
           && (PyDict_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value));
}

int Plan::update_many(PyObject* json, PyObject* value) const noexcept
{
    {
        ManyWalk check(json, true);
        Indexes found;
        if (!all_matches(check, *root_, many_ == many_descend, found))
            return check.unmodelled() ? 0 : -1;
    }
    const auto update
        = [value](const Node& node, PyObject* data) { return update_step(node, data, value); };
    if (many_ == many_descend)
        return each_descendant(*root_, json, update) ? 1 : -1;
    {
        // A wildcard last creates nothing.
        const Node* last = last_step(root_.get());
        ManyWalk create(json, false);
        Indexes level;
        if (!create.find(root_.get(), last->op == Op::wildcard ? last : nullptr, level, true))
            return -1;
    }
    return each_last(root_.get(), json, update) ? 1 : -1;
}

bool Plan::deletes_many(PyObject* json, PyObject* index) const noexcept
{
    return many_ != many_none && !(chain_ && marks_back_)
           && (PyDict_CheckExact(json) || PyList_CheckExact(json))
           && (PyLong_CheckExact(index) || PyBool_Check(index));
}

int Plan::select(PyObject* json, PyObject* index, Selected& selected) const noexcept
{
    ManyWalk walk(json, true);
    Indexes matches;
    if (!all_matches(walk, *root_, many_ == many_descend, matches))
        return walk.unmodelled() ? 2 : -1;
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (overflow || number < 1 || number > matches.size())
        return 0;
    const Py_ssize_t at = matches[static_cast<Py_ssize_t>(number - 1)];
    if (!walk.marks_back(at))
        return 2;
    const Spot& spot = walk.spot(at);
    selected
        = Selected{borrow(walk.value(spot.from)), borrow(spot.key), borrow(spot.value), spot.field};
    return 1;
}

bool Plan::mark(const Selected& selected, PyObject* marker) noexcept
{
    return set_at_key(selected.field, selected.key, selected.parent, marker, nullptr);
}

bool Plan::filter_many(PyObject* json, PyObject* marker) const noexcept
{
    const auto filter
        = [marker](const Node& node, PyObject* data) { return filter_step(node, data, marker); };
    if (many_ == many_descend)
        return each_descendant(*root_, json, filter);
    return each_last(root_.get(), json, filter);
}

bool Plan::put_back(const Selected& selected, PyObject* marker) noexcept
{
    PyObject* parent = selected.parent;
    if (!PyDict_CheckExact(parent) && !PyList_CheckExact(parent))
        return true;
    if (PyList_CheckExact(parent)) {
        const Py_ssize_t at = PyLong_AsSsize_t(selected.key);
        const Py_ssize_t size = PyList_Size(parent);
        if (at < -size || at >= size)
            return true;
    }
    Ref now = steal(PyObject_GetItem(parent, selected.key));
    if (!now) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            return false;
        PyErr_Clear();
        return true;
    }
    return now.get() != marker || PyObject_SetItem(parent, selected.key, selected.original) == 0;
}

bool Plan::edits(PyObject* json) const noexcept
{
    return chain_ && (PyDict_CheckExact(json) || PyList_CheckExact(json));
}

bool Plan::find_or_create(PyObject* json) const noexcept
{
    Ref last;
    return walk(root_.get(), nullptr, json, true, last) >= 0;
}

bool Plan::update(PyObject* json, PyObject* value) const noexcept
{
    const Node* last = last_step(root_.get());
    Ref data;
    const int found = walk(root_.get(), last, json, false, data);
    if (found <= 0)
        return found == 0;
    if (last->op == Op::wildcard)
        return wildcard_update(data, value);
    return set_at(*last, data, value, nullptr);
}

int Plan::locate(PyObject* json, Ref& found) const noexcept
{
    return walk(root_.get(), nullptr, json, false, found);
}

bool Plan::filter(PyObject* json, PyObject* marker) const noexcept
{
    const Node* last = last_step(root_.get());
    Ref data;
    const int found = walk(root_.get(), last, json, false, data);
    if (found <= 0)
        return found == 0;
    PyObject* key = key_of(*last);
    if (last->op == Op::fields) {
        // `Fields.filter`
        if (data.get() == Py_None)
            return true;
        const int dict = instance_of(data, &PyDict_Type);
        const int present = dict > 0 ? PySequence_Contains(data, key) : dict;
        if (present <= 0)
            return present == 0;
        Ref value = steal(PyObject_GetItem(data, key));
        if (!value || value.get() != marker)
            return static_cast<bool>(value);
        if (!PyDict_CheckExact(data))
            return static_cast<bool>(call_method(data, pop_name, key));
        const int popped = PyDict_Pop(data, key, nullptr);
        if (popped == 0)
            PyErr_SetObject(PyExc_KeyError, key);
        return popped > 0;
    }
    // `Index.filter`: the one position, its length taken once.
    const int list = instance_of(data, &PyList_Type);
    if (list <= 0)
        return list == 0;
    const Py_ssize_t size = PyObject_Size(data);
    if (size < 0)
        return false;
    const Py_ssize_t at = index_of(*last);
    if (at < -size || at >= size)
        return true;
    Ref position = steal(PyLong_FromSsize_t(at < 0 ? at + size : at));
    Ref value = position ? steal(PyObject_GetItem(data, position)) : Ref();
    if (!value || value.get() != marker)
        return static_cast<bool>(value);
    return PyObject_DelItem(data, position) == 0;
}

bool Plan::put_back(PyObject* json, PyObject* marker, PyObject* original) const noexcept
{
    Ref value;
    const int found = locate(json, value);
    if (found <= 0 || value.get() != marker)
        return found >= 0;
    const Node* last = last_step(root_.get());
    Ref data;
    const int reached = walk(root_.get(), last, json, false, data);
    if (reached <= 0)
        return reached == 0;
    const PutBack put_back{marker, original};
    return set_at(*last, data, nullptr, &put_back);
}

// --- the table of parsed paths ------------------------------------------------------------

namespace {

// A kept parse: the expression and its plan, or the ordinary exception that
// `parse` raised, held by a capsule in the table.
struct Entry {
    Ref parse; // held, so that its identity is not reused
    Ref expression;
    Ref failure;
    Plan plan;
    std::uint64_t stamp; // the table's clock when the entry was last put at the end
};

constexpr const char* entry_capsule_name = "treekit.parsed";

Entry* entry_of(PyObject* capsule) noexcept
{
    return static_cast<Entry*>(PyCapsule_GetPointer(capsule, entry_capsule_name));
}

void free_entry(PyObject* capsule) noexcept { delete entry_of(capsule); }

Ref new_entry(PyObject* parse, Ref expression, Ref failure, Plan plan, std::uint64_t stamp) noexcept
{
    std::unique_ptr<Entry> entry(new (std::nothrow) Entry{
        borrow(parse), std::move(expression), std::move(failure), std::move(plan), stamp});
    if (!entry)
        return steal(PyErr_NoMemory());
    Ref capsule = steal(PyCapsule_New(entry.get(), entry_capsule_name, free_entry));
    if (capsule)
        entry.release();
    return capsule;
}

// Parsing a path builds the parser anew each time and costs milliseconds, so
// parsed paths are kept: path text -> entry, the oldest out. The clock counts
// the entries put in; a hit moves its entry to the end of the table only when
// half the table has been put in since it was last moved, so that a hit is
// one lookup, while an entry used that often is never the one dropped. The
// table is only an aid: when it cannot grow, the expression is still used.
// Each use holds the table's critical section, for threads without the GIL.
class ParsedPaths {
public:
    explicit constexpr ParsedPaths(Py_ssize_t capacity) noexcept : capacity_(capacity) {}

    bool make() noexcept { return table_ || (table_ = PyDict_New()); }

    // The kept entry's capsule of `path` made by `parse`, or empty (no error).
    Ref find(PyObject* parse, PyObject* path) noexcept
    {
        Ref capsule;
        Py_BEGIN_CRITICAL_SECTION(table_);
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table_, path, &found) < 0)
            PyErr_Clear();
        capsule = steal(found);
        Entry* entry = capsule ? entry_of(capsule) : nullptr;
        if (entry && entry->parse.get() != parse) {
            capsule = Ref();
            entry = nullptr;
        }
        if (entry && clock_ - entry->stamp > static_cast<std::uint64_t>(capacity_ / 2)) {
            entry->stamp = clock_;
            if (PyDict_DelItem(table_, path) < 0 || PyDict_SetItem(table_, path, capsule) < 0)
                PyErr_Clear();
        }
        Py_END_CRITICAL_SECTION();
        return capsule;
    }

    // Keeps a new entry; its capsule, or empty (no error) when none was made.
    Ref keep(PyObject* parse, PyObject* path, Ref expression, Ref failure, Plan plan) noexcept
    {
        Ref capsule;
        Py_BEGIN_CRITICAL_SECTION(table_);
        capsule = new_entry(parse, std::move(expression), std::move(failure), std::move(plan),
                            ++clock_);
        if (!capsule || PyDict_Pop(table_, path, nullptr) < 0
            || PyDict_SetItem(table_, path, capsule) < 0 || !drop_oldest())
            PyErr_Clear();
        Py_END_CRITICAL_SECTION();
        return capsule;
    }

    // Drops the entry of `path` when it is still `capsule`.
    void drop(PyObject* path, PyObject* capsule) noexcept
    {
        Py_BEGIN_CRITICAL_SECTION(table_);
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table_, path, &found) > 0 && found == capsule
            && PyDict_DelItem(table_, path) < 0)
            PyErr_Clear();
        Py_XDECREF(found);
        PyErr_Clear();
        Py_END_CRITICAL_SECTION();
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

constinit ParsedPaths caller_paths{256};
constinit ParsedPaths mark_paths{64};

ParsedPaths& table_of(Table table) noexcept
{
    return table == Table::callers ? caller_paths : mark_paths;
}

// A refusal worth keeping: an ordinary exception that says something about
// the text, not about the moment (memory, recursion depth).
bool keepable_failure() noexcept
{
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError)
           && !PyErr_ExceptionMatches(PyExc_RecursionError);
}

} // namespace

bool make_tables() noexcept { return caller_paths.make() && mark_paths.make(); }

bool Parsed::parse(PyObject* parse, PyObject* path, Table table) noexcept
{
    table_ = table;
    if (!PyUnicode_CheckExact(path) || !library_unchanged()) {
        expression_ = call(parse, path);
        return static_cast<bool>(expression_);
    }
    // Only the library's own `parse` makes a tree that no one else holds and
    // may change, and refuses a text for good.
    const bool own_parse = parse == library.parse;
    Ref capsule = caller_paths.find(parse, path);
    if (!capsule)
        capsule = mark_paths.find(parse, path);
    if (!capsule) {
        Ref expression = call(parse, path);
        if (!expression) {
            if (!own_parse || !keepable_failure())
                return false;
            Ref failure = steal(PyErr_GetRaisedException());
            // The parser's frames would be kept alive with it.
            PyException_SetTraceback(failure, Py_None);
            PyException_SetContext(failure, nullptr);
            table_of(table).keep(parse, path, Ref(), failure, Plan());
            PyErr_SetRaisedException(failure.release());
            return false;
        }
        Plan plan = own_parse && table == Table::callers ? Plan::compile(expression) : Plan();
        if (!plan && !guarded_tree(expression, 0)) {
            PyErr_Clear();
            expression_ = std::move(expression);
            return true;
        }
        capsule = table_of(table).keep(parse, path, expression, Ref(), std::move(plan));
        if (!capsule) {
            expression_ = std::move(expression);
            return true;
        }
    }
    const Entry* entry = entry_of(capsule);
    if (entry->failure) {
        PyErr_SetRaisedException(Py_NewRef(entry->failure.get()));
        return false;
    }
    expression_ = entry->expression;
    plan_ = entry->plan ? &entry->plan : nullptr;
    entry_ = std::move(capsule);
    path_ = borrow(path);
    return true;
}

void Parsed::used() noexcept
{
    if (!entry_ || library_unchanged())
        return;
    Ref pending = steal(PyErr_GetRaisedException());
    caller_paths.drop(path_, entry_);
    mark_paths.drop(path_, entry_);
    PyErr_SetRaisedException(pending.release());
}

} // namespace tarvex::jsonpath
