// The library's dumper, representer, serializer and emitter folded into two
// walks over plain data. The first walk checks the data, finds the containers
// that appear more than once (they get anchors, numbered as the serializer
// numbers them) and fixes each mapping's key order and each container's flow
// style; the second writes the text, keeping the emitter's state (column,
// indents, whitespace and indention flags) so that every choice it makes,
// from scalar styles to folding, falls out the same.
#include "yaml_writer.hpp"

#include "guard.hpp"
#include "resolver.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace tarvex::yaml {
namespace {

// --- the library as modelled ---------------------------------------------------

constexpr const char* modelled_modules[] = {
    "yaml", "yaml.dumper", "yaml.emitter", "yaml.serializer", "yaml.representer", "yaml.resolver"};
constexpr std::size_t module_count = std::size(modelled_modules);
constexpr std::size_t representer_module = 4;

// A function whose code and defaults the writer modelled. What it held is
// held here too, so that a replacement cannot take a freed one's address.
struct KeptFunction {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PyObject* keyword_defaults = nullptr;

    bool keep(const Ref& f) noexcept
    {
        if (!f || !PyFunction_Check(f.get()))
            return false;
        function = Py_NewRef(f);
        code = Py_XNewRef(PyFunction_GET_CODE(f));
        defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(f));
        keyword_defaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(f));
        return true;
    }
    bool unchanged() const noexcept
    {
        return PyFunction_GET_CODE(function) == code
               && PyFunction_GET_DEFAULTS(function) == defaults
               && PyFunction_GET_KW_DEFAULTS(function) == keyword_defaults;
    }
};

struct Library {
    FirstUse loading;
    KeptDict modules[module_count];
    KeptFunction dump;
    KeptFunction dump_all;
    KeptClass dumper;
    // Tables changed in place by `add_representer` and the like once a class
    // owns them, which leaves the class's version tag as it was.
    KeptDict representers;
    KeptDict multi_representers;
    KeptDict escapes;
};
constinit Library library;

bool keep_table(KeptDict& kept, PyTypeObject* type, const char* name) noexcept
{
    Ref table = class_attribute(type, name);
    return table && PyDict_CheckExact(table.get()) && kept.keep(table);
}

// `name` of a module's dict, held: another thread may rebind it.
Ref item_of(PyObject* dict, const char* name) noexcept
{
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(dict, name, &found) < 0)
        PyErr_Clear();
    return steal(found);
}

// The dumper `yaml.dump` passes on: its default for `Dumper`, which is
// `yaml.Dumper` as the module defined it.
PyTypeObject* default_dumper(PyObject* yaml_dict) noexcept
{
    PyObject* defaults = library.dump.defaults;
    Ref named = item_of(yaml_dict, "Dumper");
    if (!defaults || !PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults) != 2
        || PyTuple_GET_ITEM(defaults, 1) != named.get() || !named || !PyType_Check(named.get()))
        return nullptr;
    return reinterpret_cast<PyTypeObject*>(named.get()); // the kept defaults hold it
}

// Whether the kept table gives each plain type the library's own
// representer: one added before the first use is not what the writer models.
bool stock_representers(PyObject* table, PyObject* representer_module) noexcept
{
    const std::pair<PyTypeObject*, const char*> plain[] = {
        {Py_TYPE(Py_None), "represent_none"}, {&PyUnicode_Type, "represent_str"},
        {&PyBool_Type, "represent_bool"},     {&PyLong_Type, "represent_int"},
        {&PyFloat_Type, "represent_float"},   {&PyList_Type, "represent_list"},
        {&PyDict_Type, "represent_dict"},
    };
    Ref safe = item_of(representer_module, "SafeRepresenter");
    if (!safe || !PyType_Check(safe.get()))
        return false;
    for (const auto& [type, name] : plain) {
        Ref own = class_attribute(reinterpret_cast<PyTypeObject*>(safe.get()), name);
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table, reinterpret_cast<PyObject*>(type), &found) < 0)
            PyErr_Clear();
        Ref used = steal(found);
        if (!own || used.get() != own.get())
            return false;
    }
    return true;
}

bool load_library() noexcept
{
    if (!distribution_version_in("PyYAML", {"6.0."}))
        return false;
    PyObject* dicts[module_count]{};
    for (std::size_t i = 0; i < module_count; ++i) {
        Ref module = steal(PyImport_ImportModule(modelled_modules[i]));
        if (!module)
            return false;
        dicts[i] = PyModule_GetDict(module); // held by the module, which sys.modules keeps
        if (!library.modules[i].keep(dicts[i]))
            return false;
    }
    if (!library.dump.keep(item_of(dicts[0], "dump"))
        || !library.dump_all.keep(item_of(dicts[0], "dump_all"))
        || !defined_in(library.dump.function, "yaml")
        || !defined_in(library.dump_all.function, "yaml"))
        return false;
    PyTypeObject* dumper = default_dumper(dicts[0]);
    return dumper && library.dumper.keep(dumper, "yaml")
           && keep_table(library.representers, dumper, "yaml_representers")
           && stock_representers(library.representers.dict(), dicts[representer_module])
           && keep_table(library.multi_representers, dumper, "yaml_multi_representers")
           && keep_table(library.escapes, dumper, "ESCAPE_REPLACEMENTS");
}

bool library_loaded() noexcept { return library.loading.loaded(load_library); }

bool library_as_modelled(PyObject* dump) noexcept
{
    if (!library_loaded())
        return false;
    if (dump != library.dump.function || !library.dump.unchanged() || !library.dump_all.unchanged()
        || !library.dumper.unchanged() || !library.representers.unchanged()
        || !library.multi_representers.unchanged() || !library.escapes.unchanged())
        return false;
    for (KeptDict& module : library.modules)
        if (!module.unchanged())
            return false;
    return stock_resolvers(library.dumper.type());
}

// --- options ---------------------------------------------------------------------

enum class FlowStyle : unsigned char { block, flow, by_content };

struct Options {
    FlowStyle flow_style;
    int best_indent;
    bool allow_unicode;
    bool sort_keys;
};

bool is_singleton(PyObject* value) noexcept
{
    return value == Py_None || value == Py_True || value == Py_False;
}

// The emitter's `if indent and 1 < indent < 10`, for an int, a bool or None.
bool best_indent_of(PyObject* indent, int& best) noexcept
{
    best = 2;
    if (indent == Py_None)
        return true;
    if (!PyLong_Check(indent) || !(PyLong_CheckExact(indent) || PyBool_Check(indent)))
        return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(indent, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (!overflow && value > 1 && value < 10)
        best = static_cast<int>(value);
    return true;
}

bool modelled_options(const DumpOptions& given, Options& options) noexcept
{
    const bool plain_style = given.default_style == Py_None
                             || (PyUnicode_CheckExact(given.default_style)
                                 && PyUnicode_GET_LENGTH(given.default_style) == 0);
    if (!plain_style || !is_singleton(given.default_flow_style)
        || (given.canonical != Py_False && given.canonical != Py_None)
        || !is_singleton(given.allow_unicode) || !is_singleton(given.sort_keys)
        || !best_indent_of(given.indent, options.best_indent))
        return false;
    options.flow_style = given.default_flow_style == Py_None   ? FlowStyle::by_content
                         : given.default_flow_style == Py_True ? FlowStyle::flow
                                                               : FlowStyle::block;
    options.allow_unicode = given.allow_unicode == Py_True;
    options.sort_keys = given.sort_keys == Py_True;
    return true;
}

// --- the data --------------------------------------------------------------------

bool is_container(PyObject* x) noexcept { return PyDict_CheckExact(x) || PyList_CheckExact(x); }

bool is_scalar(PyObject* x) noexcept
{
    return PyUnicode_CheckExact(x) || PyLong_CheckExact(x) || PyFloat_CheckExact(x)
           || PyBool_Check(x) || x == Py_None;
}

// Deeper trees go to the library, whose own recursion limit decides.
constexpr int max_depth = 100;

// What the first walk learnt of a container, in the order of first visits.
struct Record {
    std::uint32_t anchor = 0;         // 0: none; else the N of idNNN
    std::uint32_t order = UINT32_MAX; // where its sorted pairs start
    bool flow = false;
};

// Containers that may appear more than once: only one with more than one
// reference can. Open addressing over their addresses.
class Seen {
public:
    // The record index of `x`, or `fresh` after recording it; `found` says which.
    std::uint32_t find_or_add(PyObject* x, std::uint32_t fresh, bool& found)
    {
        if ((count_ + 1) * 2 > slots_.size())
            grow();
        std::size_t i = slot_of(x);
        while (slots_[i].key && slots_[i].key != x)
            i = (i + 1) & (slots_.size() - 1);
        found = slots_[i].key != nullptr;
        if (!found) {
            slots_[i] = {x, fresh};
            ++count_;
        }
        return slots_[i].index;
    }
    bool find(PyObject* x, std::uint32_t& index) const noexcept
    {
        if (slots_.empty())
            return false;
        for (std::size_t i = slot_of(x); slots_[i].key; i = (i + 1) & (slots_.size() - 1))
            if (slots_[i].key == x) {
                index = slots_[i].index;
                return true;
            }
        return false;
    }

private:
    struct Slot {
        PyObject* key = nullptr;
        std::uint32_t index = 0;
    };
    std::size_t slot_of(PyObject* x) const noexcept
    {
        auto bits = reinterpret_cast<std::uintptr_t>(x) >> 4;
        return (bits * 0x9E3779B97F4A7C15ull >> 20) & (slots_.size() - 1);
    }
    void grow()
    {
        std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2));
        old.swap(slots_);
        count_ = 0;
        for (const Slot& s : old)
            if (s.key) {
                bool found = false;
                find_or_add(s.key, s.index, found);
            }
    }
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

enum class Walk : unsigned char { ok, not_plain, failed };

#ifdef Py_GIL_DISABLED
// Without the GIL another thread may change the caller's containers while
// they are written, and both walks must find the items they found before. The
// walks then run on a copy of the tree, each container copied at once under
// its own lock: the text shows every container as it was at one moment of the
// call (two containers possibly at different moments), as a walk of the
// library's own would. A container met again is copied once, so anchors fall
// where the data repeats.
class Settled {
public:
    Walk copy(PyObject* x, int depth, Ref& out)
    {
        if (is_scalar(x)) {
            out = borrow(x);
            return Walk::ok;
        }
        if (!is_container(x))
            return Walk::not_plain;
        bool found = false;
        const std::uint32_t index
            = seen_.find_or_add(x, static_cast<std::uint32_t>(copies_.size()), found);
        if (found) {
            out = borrow(copies_[index]);
            return Walk::ok;
        }
        if (depth > max_depth)
            return Walk::not_plain;
        // Held to the end, so that no container made meanwhile takes its address.
        originals_.push_back(borrow(x));
        const bool list = PyList_CheckExact(x);
        out = steal(list ? PyList_GetSlice(x, 0, PY_SSIZE_T_MAX) : PyDict_Copy(x));
        if (!out)
            return Walk::failed;
        copies_.push_back(out.get()); // held by the copied tree
        return list ? copy_items(out.get(), depth) : copy_values(out.get(), depth);
    }

private:
    Walk copy_items(PyObject* list, int depth)
    {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            if (is_scalar(item))
                continue;
            Ref copied;
            if (Walk w = copy(item, depth + 1, copied); w != Walk::ok)
                return w;
            PyList_SetItem(list, i, copied.release());
        }
        return Walk::ok;
    }

    // Replacing the value of a present key keeps the copy's size and order,
    // which iterating allows.
    Walk copy_values(PyObject* dict, int depth)
    {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!is_scalar(key))
                return Walk::not_plain;
            if (is_scalar(value))
                continue;
            Ref copied;
            if (Walk w = copy(value, depth + 1, copied); w != Walk::ok)
                return w;
            if (PyDict_SetItem(dict, key, copied) < 0)
                return Walk::failed;
        }
        return Walk::ok;
    }

    Seen seen_;
    std::vector<PyObject*> copies_;
    std::vector<Ref> originals_;
};
#endif

class Survey {
public:
    explicit Survey(const Options& options) : options_(options) {}

    Walk visit(PyObject* x, int depth)
    {
        if (is_scalar(x))
            return Walk::ok;
        if (!is_container(x))
            return Walk::not_plain;
        const auto index = static_cast<std::uint32_t>(records.size());
        if (Py_REFCNT(x) > 1) {
            bool found = false;
            const std::uint32_t first = seen.find_or_add(x, index, found);
            if (found) {
                if (!records[first].anchor)
                    records[first].anchor = ++last_anchor_;
                return Walk::ok;
            }
        }
        if (depth > max_depth)
            return Walk::not_plain;
        records.emplace_back();
        return PyList_CheckExact(x) ? visit_list(x, index, depth) : visit_dict(x, index, depth);
    }

    std::vector<Record> records;
    std::vector<PyObject*> pairs; // sorted mappings' keys and values, borrowed
    Seen seen;

private:
    void set_flow(std::uint32_t index, bool only_scalars)
    {
        records[index].flow = options_.flow_style == FlowStyle::by_content
                                  ? only_scalars
                                  : options_.flow_style == FlowStyle::flow;
    }

    Walk visit_list(PyObject* list, std::uint32_t index, int depth)
    {
        bool only_scalars = true;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            PyObject* item = PyList_GET_ITEM(list, i);
            only_scalars = only_scalars && !is_container(item);
            if (Walk w = visit(item, depth + 1); w != Walk::ok)
                return w;
        }
        set_flow(index, only_scalars);
        return Walk::ok;
    }

    Walk visit_dict(PyObject* dict, std::uint32_t index, int depth)
    {
        bool only_scalars = true;
        bool all_text = true;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!is_scalar(key))
                return Walk::not_plain;
            all_text = all_text && PyUnicode_CheckExact(key);
            only_scalars = only_scalars && !is_container(value);
        }
        set_flow(index, only_scalars);
        if (options_.sort_keys && PyDict_GET_SIZE(dict) > 1) {
            const std::size_t at = pairs.size();
            const Walk sorted = all_text ? sort_text_keys(dict) : sort_pairs(dict);
            if (sorted != Walk::ok)
                return sorted;
            records[index].order = static_cast<std::uint32_t>(at);
            const std::size_t end = pairs.size();
            for (std::size_t i = at; i < end; i += 2)
                if (Walk w = visit(pairs[i + 1], depth + 1); w != Walk::ok)
                    return w;
            return Walk::ok;
        }
        position = 0;
        while (PyDict_Next(dict, &position, &key, &value))
            if (Walk w = visit(value, depth + 1); w != Walk::ok)
                return w;
        return Walk::ok;
    }

    // Text keys sort by code point, as the host compares them; keys are
    // distinct, so the order is total.
    Walk sort_text_keys(PyObject* dict)
    {
        std::vector<std::pair<PyObject*, PyObject*>> items;
        items.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(dict, &position, &key, &value))
            items.emplace_back(key, value);
        std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) {
            return PyUnicode_Compare(a.first, b.first) < 0;
        });
        for (const auto& [k, v] : items) {
            pairs.push_back(k);
            pairs.push_back(v);
        }
        return Walk::ok;
    }

    // Other keys: the representer's `sorted(list(mapping.items()))`, whose
    // TypeError leaves the insertion order.
    Walk sort_pairs(PyObject* dict)
    {
        Ref items = steal(PyDict_Items(dict));
        if (!items || PyList_Sort(items) < 0) {
            if (!items || !PyErr_ExceptionMatches(PyExc_TypeError))
                return Walk::failed;
            PyErr_Clear();
            items = steal(PyDict_Items(dict));
            if (!items)
                return Walk::failed;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            pairs.push_back(PyTuple_GET_ITEM(pair, 0)); // the dict holds them too
            pairs.push_back(PyTuple_GET_ITEM(pair, 1));
        }
        return Walk::ok;
    }

    const Options& options_;
    std::uint32_t last_anchor_ = 0;
};

// --- scalar text -----------------------------------------------------------------

// A scalar's text: a str's own storage, or ASCII the writer made.
struct Text {
    int kind = PyUnicode_1BYTE_KIND;
    const void* data = nullptr;
    Py_ssize_t length = 0;
    bool ascii = true;

    Py_UCS4 operator[](Py_ssize_t i) const noexcept { return PyUnicode_READ(kind, data, i); }
    static Text of(PyObject* s) noexcept
    {
        return {static_cast<int>(PyUnicode_KIND(s)), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s),
                PyUnicode_IS_ASCII(s) != 0};
    }
    static Text of(const char* s, std::size_t n) noexcept
    {
        return {PyUnicode_1BYTE_KIND, s, static_cast<Py_ssize_t>(n), true};
    }
};

bool is_break(Py_UCS4 c) noexcept { return c == '\n' || c == 0x85 || c == 0x2028 || c == 0x2029; }

bool is_blank_or_break(Py_UCS4 c) noexcept
{
    return c == 0 || c == ' ' || c == '\t' || c == '\r' || is_break(c);
}

bool is_printable_unicode(Py_UCS4 c) noexcept
{
    return (c == 0x85 || (c >= 0xA0 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD)
            || (c >= 0x10000 && c < 0x10FFFF))
           && c != 0xFEFF;
}

bool contains(const char* set, Py_UCS4 c) noexcept
{
    return c < 0x80 && c != 0 && std::strchr(set, static_cast<int>(c)) != nullptr;
}

// The emitter's analyze_scalar, reduced to what the styles it can choose for
// plain data depend on.
struct Analysis {
    bool empty = false;
    bool multiline = false;
    bool allow_flow_plain = true;
    bool allow_block_plain = true;
    bool allow_single_quoted = true;
};

Analysis analyze(const Text& t, bool allow_unicode) noexcept
{
    Analysis a;
    if (t.length == 0) {
        a.empty = true;
        a.allow_flow_plain = false;
        return a;
    }
    bool block_indicators = false, flow_indicators = false, line_breaks = false,
         special_characters = false;
    bool leading_space = false, leading_break = false, trailing_space = false,
         trailing_break = false, break_space = false, space_break = false;
    const auto starts_with = [&t](const char* p) {
        for (Py_ssize_t i = 0; p[i]; ++i)
            if (i >= t.length || t[i] != static_cast<Py_UCS4>(p[i]))
                return false;
        return true;
    };
    if (starts_with("---") || starts_with("..."))
        block_indicators = flow_indicators = true;
    bool preceded_by_whitespace = true;
    bool followed_by_whitespace = t.length == 1 || is_blank_or_break(t[1]);
    bool previous_space = false, previous_break = false;
    for (Py_ssize_t index = 0; index < t.length; ++index) {
        const Py_UCS4 ch = t[index];
        if (index == 0) {
            if (contains("#,[]{}&*!|>'\"%@`", ch))
                flow_indicators = block_indicators = true;
            if (ch == '?' || ch == ':') {
                flow_indicators = true;
                if (followed_by_whitespace)
                    block_indicators = true;
            }
            if (ch == '-' && followed_by_whitespace)
                flow_indicators = block_indicators = true;
        } else {
            if (contains(",?[]{}", ch))
                flow_indicators = true;
            if (ch == ':') {
                flow_indicators = true;
                if (followed_by_whitespace)
                    block_indicators = true;
            }
            if (ch == '#' && preceded_by_whitespace)
                flow_indicators = block_indicators = true;
        }
        if (is_break(ch))
            line_breaks = true;
        if (!(ch == '\n' || (ch >= 0x20 && ch <= 0x7E))) {
            if (is_printable_unicode(ch)) {
                if (!allow_unicode)
                    special_characters = true;
            } else {
                special_characters = true;
            }
        }
        if (ch == ' ') {
            leading_space = leading_space || index == 0;
            trailing_space = trailing_space || index == t.length - 1;
            break_space = break_space || previous_break;
            previous_space = true;
            previous_break = false;
        } else if (is_break(ch)) {
            leading_break = leading_break || index == 0;
            trailing_break = trailing_break || index == t.length - 1;
            space_break = space_break || previous_space;
            previous_space = false;
            previous_break = true;
        } else {
            previous_space = previous_break = false;
        }
        preceded_by_whitespace = is_blank_or_break(ch);
        followed_by_whitespace = index + 2 >= t.length || is_blank_or_break(t[index + 2]);
    }
    if (leading_space || leading_break || trailing_space || trailing_break)
        a.allow_flow_plain = a.allow_block_plain = false;
    if (break_space)
        a.allow_flow_plain = a.allow_block_plain = a.allow_single_quoted = false;
    if (space_break || special_characters)
        a.allow_flow_plain = a.allow_block_plain = a.allow_single_quoted = false;
    if (line_breaks)
        a.allow_flow_plain = a.allow_block_plain = false;
    if (flow_indicators)
        a.allow_flow_plain = false;
    if (block_indicators)
        a.allow_block_plain = false;
    a.multiline = line_breaks;
    return a;
}

// Whether text standing plain reads back as a str: the serializer's
// `implicit[0]` for a str.
bool resolves_as_text(const Text& t) noexcept
{
    if (t.length == 0)
        return false; // null
    const Py_UCS4 first = t[0];
    if (!t.ascii || !contains("yYnNtTfFoO-+0123456789.<~=!&*", first))
        return true; // every stock pattern is ASCII and dispatched on these
    return resolve_plain(std::string_view(static_cast<const char*>(t.data),
                                          static_cast<std::size_t>(t.length)))
           == Implicit::str;
}

// A scalar as the representer makes it: its text, whether the plain text
// reads back as its own tag, and the length of that tag's short form, which
// counts towards a simple key's length.
struct Scalar {
    Text text;
    bool is_text = false; // a str, whose implicit[0] is resolved only when plain would fit
    bool implicit = true;
    int tag_length = 5;
    char buffer[40];
    Ref owner; // a long int's text
};

// The representer's text of a non-str scalar; false with an error pending
// when the host cannot make it (a long int past the digit limit).
bool represent(PyObject* x, Scalar& s) noexcept
{
    const auto ascii = [&s](const char* text, int tag_length) {
        std::size_t n = std::strlen(text);
        std::memcpy(s.buffer, text, n + 1);
        s.text = Text::of(s.buffer, n);
        s.tag_length = tag_length;
    };
    s.implicit = true;
    if (x == Py_None) {
        ascii("null", 6);
    } else if (PyBool_Check(x)) {
        ascii(x == Py_True ? "true" : "false", 6);
    } else if (PyFloat_CheckExact(x)) {
        const double v = PyFloat_AS_DOUBLE(x);
        if (v != v) {
            ascii(".nan", 7);
        } else if (v == Py_HUGE_VAL) {
            ascii(".inf", 7);
        } else if (v == -Py_HUGE_VAL) {
            ascii("-.inf", 7);
        } else {
            char* repr = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (!repr)
                return false;
            // A repr without a '.' but with an exponent gets ".0" before it.
            char* e = std::strchr(repr, 'e');
            if (e && !std::strchr(repr, '.')) {
                const std::size_t mantissa = static_cast<std::size_t>(e - repr);
                std::memcpy(s.buffer, repr, mantissa);
                std::memcpy(s.buffer + mantissa, ".0", 2);
                std::strcpy(s.buffer + mantissa + 2, e);
                s.text = Text::of(s.buffer, std::strlen(s.buffer));
                s.tag_length = 7;
            } else {
                ascii(repr, 7);
            }
            PyMem_Free(repr);
        }
    } else {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(x, &overflow);
        if (!overflow) {
            PyOS_snprintf(s.buffer, sizeof s.buffer, "%lld", v);
            s.text = Text::of(s.buffer, std::strlen(s.buffer));
        } else {
            s.owner = steal(PyObject_Str(x));
            if (!s.owner)
                return false;
            s.text = Text::of(s.owner);
        }
        s.tag_length = 5;
    }
    return true;
}

// --- output ----------------------------------------------------------------------

// UTF-8 in the host's allocator, so that a failing allocation is the host's
// MemoryError.
class Buffer {
public:
    ~Buffer() { PyMem_Free(data_); }
    bool reserve(std::size_t more) noexcept
    {
        if (size_ + more <= capacity_)
            return true;
        std::size_t capacity = std::max<std::size_t>(capacity_ * 2, size_ + more + 256);
        auto* grown = static_cast<char*>(PyMem_Realloc(data_, capacity));
        if (!grown) {
            failed_ = true;
            return false;
        }
        data_ = grown;
        capacity_ = capacity;
        return true;
    }
    void put(const char* s, std::size_t n) noexcept
    {
        if (reserve(n)) {
            std::memcpy(data_ + size_, s, n);
            size_ += n;
        }
    }
    void put(char c) noexcept
    {
        if (reserve(1))
            data_[size_++] = c;
    }
    void put_code_point(Py_UCS4 c) noexcept
    {
        if (!reserve(4))
            return;
        if (c < 0x80) {
            data_[size_++] = static_cast<char>(c);
        } else if (c < 0x800) {
            data_[size_++] = static_cast<char>(0xC0 | (c >> 6));
            data_[size_++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            data_[size_++] = static_cast<char>(0xE0 | (c >> 12));
            data_[size_++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            data_[size_++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            data_[size_++] = static_cast<char>(0xF0 | (c >> 18));
            data_[size_++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            data_[size_++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            data_[size_++] = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    bool failed() const noexcept { return failed_; }
    Ref text() const noexcept
    {
        return steal(
            PyUnicode_DecodeUTF8(data_ ? data_ : "", static_cast<Py_ssize_t>(size_), "strict"));
    }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool failed_ = false;
};

// The escapes of double-quoted text that have a letter of their own.
char escape_letter(Py_UCS4 c) noexcept
{
    switch (c) {
    case 0:
        return '0';
    case 0x07:
        return 'a';
    case 0x08:
        return 'b';
    case 0x09:
        return 't';
    case 0x0A:
        return 'n';
    case 0x0B:
        return 'v';
    case 0x0C:
        return 'f';
    case 0x0D:
        return 'r';
    case 0x1B:
        return 'e';
    case '"':
        return '"';
    case '\\':
        return '\\';
    case 0x85:
        return 'N';
    case 0xA0:
        return '_';
    case 0x2028:
        return 'L';
    case 0x2029:
        return 'P';
    default:
        return 0;
    }
}

constexpr int best_width = 80;
constexpr int no_indent = -1; // the emitter's None

class Emitter {
public:
    Emitter(const Options& options, Survey& survey) : options_(options), survey_(survey) {}

    // False with an error pending when a scalar's text could not be made.
    bool document(PyObject* root)
    {
        if (!node(root, Context::root))
            return false;
        write_indent(); // the document end
        if (open_ended_) {
            write_indicator("...", true);
            write_indent();
        }
        return true;
    }

    Buffer out;

private:
    enum class Context : unsigned char { root, sequence, mapping, simple_key };

    // --- the emitter's writers
    void write(const Text& t, Py_ssize_t start, Py_ssize_t end)
    {
        column_ += end - start;
        if (t.ascii) {
            out.put(static_cast<const char*>(t.data) + start,
                    static_cast<std::size_t>(end - start));
            return;
        }
        for (Py_ssize_t i = start; i < end; ++i)
            out.put_code_point(t[i]);
    }
    void write_ascii(const char* s)
    {
        const std::size_t n = std::strlen(s);
        column_ += static_cast<long>(n);
        out.put(s, n);
    }
    void write_indicator(const char* indicator, bool need_whitespace, bool whitespace = false,
                         bool indention = false)
    {
        if (!whitespace_ && need_whitespace)
            write_ascii(" ");
        write_ascii(indicator);
        whitespace_ = whitespace;
        indention_ = indention_ && indention;
        open_ended_ = false;
    }
    void write_indent()
    {
        const long indent = indent_ == no_indent ? 0 : indent_;
        if (!indention_ || column_ > indent || (column_ == indent && !whitespace_))
            write_line_break('\n');
        if (column_ < indent) {
            whitespace_ = true;
            for (; column_ < indent; ++column_)
                out.put(' ');
        }
    }
    void write_line_break(Py_UCS4 br)
    {
        whitespace_ = indention_ = true;
        column_ = 0;
        out.put_code_point(br);
    }
    void increase_indent(bool flow, bool indentless = false)
    {
        indents_.push_back(indent_);
        if (indent_ == no_indent)
            indent_ = flow ? options_.best_indent : 0;
        else if (!indentless)
            indent_ += options_.best_indent;
    }
    void pop_indent()
    {
        indent_ = indents_.back();
        indents_.pop_back();
    }

    // --- nodes
    bool node(PyObject* x, Context context)
    {
        if (!is_container(x))
            return scalar(x, context);
        std::uint32_t index = next_record_;
        if (Py_REFCNT(x) > 1) {
            std::uint32_t first = 0;
            if (survey_.seen.find(x, first) && first < next_record_) {
                write_anchor('*', survey_.records[first].anchor);
                return true;
            }
        }
        ++next_record_;
        const Record& record = survey_.records[index];
        if (record.anchor)
            write_anchor('&', record.anchor);
        const bool empty = PyList_CheckExact(x) ? PyList_GET_SIZE(x) == 0 : PyDict_GET_SIZE(x) == 0;
        const bool flow = flow_level_ || record.flow || empty;
        if (PyList_CheckExact(x))
            return flow ? flow_sequence(x) : block_sequence(x, context);
        return flow ? flow_mapping(x, record) : block_mapping(x, record);
    }
    void write_anchor(char indicator, std::uint32_t anchor)
    {
        char text[24];
        PyOS_snprintf(text, sizeof text, "%cid%03u", indicator, static_cast<unsigned>(anchor));
        write_indicator(text, true);
    }

    bool flow_sequence(PyObject* list)
    {
        write_indicator("[", true, true);
        ++flow_level_;
        increase_indent(true);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            if (i > 0)
                write_indicator(",", false);
            if (column_ > best_width)
                write_indent();
            if (!node(PyList_GET_ITEM(list, i), Context::sequence))
                return false;
        }
        pop_indent();
        --flow_level_;
        write_indicator("]", false);
        return true;
    }

    bool block_sequence(PyObject* list, Context context)
    {
        increase_indent(false, context == Context::mapping && !indention_);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            write_indent();
            write_indicator("-", true, false, true);
            if (!node(PyList_GET_ITEM(list, i), Context::sequence))
                return false;
        }
        pop_indent();
        return true;
    }

    // The pairs of a mapping in the order the representer gives them.
    template <class Each> bool each_pair(PyObject* dict, const Record& record, Each each)
    {
        if (record.order != UINT32_MAX) {
            const std::size_t end
                = record.order + 2 * static_cast<std::size_t>(PyDict_GET_SIZE(dict));
            for (std::size_t i = record.order; i < end; i += 2)
                if (!each(survey_.pairs[i], survey_.pairs[i + 1], i == record.order))
                    return false;
            return true;
        }
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        bool first = true;
        while (PyDict_Next(dict, &position, &key, &value)) {
            if (!each(key, value, first))
                return false;
            first = false;
        }
        return true;
    }

    bool flow_mapping(PyObject* dict, const Record& record)
    {
        write_indicator("{", true, true);
        ++flow_level_;
        increase_indent(true);
        const bool done
            = each_pair(dict, record, [this](PyObject* key, PyObject* value, bool first) {
                  if (!first)
                      write_indicator(",", false);
                  if (column_ > best_width)
                      write_indent();
                  Scalar k;
                  if (!key_scalar(key, k))
                      return false;
                  if (simple_key(k)) {
                      scalar_of(k, Context::simple_key);
                      write_indicator(":", false);
                  } else {
                      write_indicator("?", true);
                      scalar_of(k, Context::mapping);
                      if (column_ > best_width)
                          write_indent();
                      write_indicator(":", true);
                  }
                  return node(value, Context::mapping);
              });
        if (!done)
            return false;
        pop_indent();
        --flow_level_;
        write_indicator("}", false);
        return true;
    }

    bool block_mapping(PyObject* dict, const Record& record)
    {
        increase_indent(false);
        const bool done = each_pair(dict, record, [this](PyObject* key, PyObject* value, bool) {
            write_indent();
            Scalar k;
            if (!key_scalar(key, k))
                return false;
            if (simple_key(k)) {
                scalar_of(k, Context::simple_key);
                write_indicator(":", false);
            } else {
                write_indicator("?", true, false, true);
                scalar_of(k, Context::mapping);
                write_indent();
                write_indicator(":", true, false, true);
            }
            return node(value, Context::mapping);
        });
        if (done)
            pop_indent();
        return done;
    }

    // --- scalars
    bool key_scalar(PyObject* key, Scalar& k)
    {
        if (PyUnicode_CheckExact(key)) {
            k.text = Text::of(key);
            k.is_text = true;
            return true;
        }
        return represent(key, k);
    }

    // The emitter's check_simple_key for a scalar key: its tag's short form
    // counts, though it is not written.
    bool simple_key(Scalar& k)
    {
        analysis_ = analyze(k.text, options_.allow_unicode);
        return k.tag_length + k.text.length < 128 && !analysis_.empty && !analysis_.multiline;
    }

    bool scalar(PyObject* x, Context context)
    {
        Scalar s;
        if (PyUnicode_CheckExact(x)) {
            s.text = Text::of(x);
            s.is_text = true;
        } else if (!represent(x, s)) {
            return false;
        }
        analysis_ = analyze(s.text, options_.allow_unicode);
        scalar_of(s, context);
        return true;
    }

    // The emitter's expect_scalar with the analysis made.
    void scalar_of(const Scalar& s, Context context)
    {
        const bool simple = context == Context::simple_key;
        increase_indent(true);
        const Analysis& a = analysis_;
        const bool plain_fits = !(simple && (a.empty || a.multiline))
                                && (flow_level_ ? a.allow_flow_plain : a.allow_block_plain);
        if (plain_fits && (s.is_text ? resolves_as_text(s.text) : s.implicit))
            write_plain(s.text, context == Context::root, !simple);
        else if (a.allow_single_quoted && !(simple && a.multiline))
            write_single_quoted(s.text, !simple);
        else
            write_double_quoted(s.text, !simple);
        pop_indent();
    }

    void write_plain(const Text& t, bool root, bool split)
    {
        if (root)
            open_ended_ = true;
        if (t.length == 0)
            return;
        if (!whitespace_)
            write_ascii(" ");
        whitespace_ = indention_ = false;
        bool spaces = false;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= t.length; ++end) {
            const bool at_end = end == t.length;
            const Py_UCS4 ch = at_end ? 0 : t[end];
            if (spaces) {
                if (at_end || ch != ' ') {
                    if (start + 1 == end && column_ > best_width && split) {
                        write_indent();
                        whitespace_ = indention_ = false;
                    } else {
                        write(t, start, end);
                    }
                    start = end;
                }
            } else if (at_end || ch == ' ') {
                write(t, start, end);
                start = end;
            }
            if (!at_end)
                spaces = ch == ' ';
        }
    }

    void write_single_quoted(const Text& t, bool split)
    {
        write_indicator("'", true);
        bool spaces = false, breaks = false;
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= t.length; ++end) {
            const bool at_end = end == t.length;
            const Py_UCS4 ch = at_end ? 0 : t[end];
            if (spaces) {
                if (at_end || ch != ' ') {
                    if (start + 1 == end && column_ > best_width && split && start != 0
                        && end != t.length)
                        write_indent();
                    else
                        write(t, start, end);
                    start = end;
                }
            } else if (breaks) {
                if (at_end || !is_break(ch)) {
                    if (t[start] == '\n')
                        write_line_break('\n');
                    for (Py_ssize_t i = start; i < end; ++i)
                        write_line_break(t[i]);
                    write_indent();
                    start = end;
                }
            } else if (at_end || ch == ' ' || is_break(ch) || ch == '\'') {
                if (start < end) {
                    write(t, start, end);
                    start = end;
                }
            }
            if (ch == '\'' && !at_end) {
                write_ascii("''");
                start = end + 1;
            }
            if (!at_end) {
                spaces = ch == ' ';
                breaks = is_break(ch);
            }
        }
        write_indicator("'", false);
    }

    bool escaped_in_double_quotes(Py_UCS4 ch) const noexcept
    {
        if (ch == '"' || ch == '\\' || ch == 0x85 || ch == 0x2028 || ch == 0x2029 || ch == 0xFEFF)
            return true;
        return !((ch >= 0x20 && ch <= 0x7E)
                 || (options_.allow_unicode
                     && ((ch >= 0xA0 && ch <= 0xD7FF) || (ch >= 0xE000 && ch <= 0xFFFD))));
    }

    void write_escape(Py_UCS4 ch)
    {
        char text[16];
        if (const char letter = escape_letter(ch))
            PyOS_snprintf(text, sizeof text, "\\%c", letter);
        else if (ch <= 0xFF)
            PyOS_snprintf(text, sizeof text, "\\x%02X", static_cast<unsigned>(ch));
        else if (ch <= 0xFFFF)
            PyOS_snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(ch));
        else
            PyOS_snprintf(text, sizeof text, "\\U%08X", static_cast<unsigned>(ch));
        write_ascii(text);
    }

    void write_double_quoted(const Text& t, bool split)
    {
        write_indicator("\"", true);
        Py_ssize_t start = 0;
        for (Py_ssize_t end = 0; end <= t.length; ++end) {
            const bool at_end = end == t.length;
            const Py_UCS4 ch = at_end ? 0 : t[end];
            if (at_end || escaped_in_double_quotes(ch)) {
                if (start < end) {
                    write(t, start, end);
                    start = end;
                }
                if (!at_end) {
                    write_escape(ch);
                    start = end + 1;
                }
            }
            if (0 < end && end < t.length - 1 && (ch == ' ' || start >= end)
                && column_ + (end - start) > best_width && split) {
                write(t, start, std::max(start, end));
                if (start < end)
                    start = end;
                write_ascii("\\");
                write_indent();
                whitespace_ = indention_ = false;
                if (t[start] == ' ')
                    write_ascii("\\");
            }
        }
        write_indicator("\"", false);
    }

    const Options& options_;
    Survey& survey_;
    std::uint32_t next_record_ = 0;
    Analysis analysis_;
    std::vector<int> indents_;
    int indent_ = no_indent;
    int flow_level_ = 0;
    long column_ = 0;
    bool whitespace_ = true;
    bool indention_ = true;
    bool open_ended_ = false;
};

} // namespace

Ref dump_plain(PyObject* dump, PyObject* data, const DumpOptions& given) noexcept
{
    Options options;
    if (!modelled_options(given, options) || !library_as_modelled(dump))
        return {};
    // Memory that ran out stays pending; anything else leaves the call to
    // the library.
    const auto not_written = [](Walk walk) {
        if (walk != Walk::failed || !PyErr_ExceptionMatches(PyExc_MemoryError))
            PyErr_Clear();
        return Ref();
    };
    try {
#ifdef Py_GIL_DISABLED
        Settled settled;
        Ref copy;
        if (Walk copied = settled.copy(data, 0, copy); copied != Walk::ok)
            return not_written(copied);
        data = copy.get();
#endif
        Survey survey(options);
        if (Walk walk = survey.visit(data, 0); walk != Walk::ok)
            return not_written(walk);
        Emitter emitter(options, survey);
        if (!emitter.document(data)) {
            if (!PyErr_ExceptionMatches(PyExc_MemoryError))
                PyErr_Clear();
            return {};
        }
        if (emitter.out.failed())
            return steal(PyErr_NoMemory());
        return emitter.out.text();
    } catch (const std::bad_alloc&) {
        return steal(PyErr_NoMemory());
    }
}

} // namespace tarvex::yaml
