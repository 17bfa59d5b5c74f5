// The library's implicit resolvers as matchers of their own. Every stock
// pattern is anchored at both ends and made of ASCII classes, so each one is
// a left-to-right scan whose only choices are run lengths; a trailing "\n"
// may stand after the match, as `$` allows.
#include "resolver.hpp"

#include "guard.hpp"

#include <array>
#include <atomic>
#include <initializer_list>

namespace tarvex::yaml {
namespace {

// --- the matchers ----------------------------------------------------------------

bool digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool sign(char c) noexcept { return c == '-' || c == '+'; }

class Scan {
public:
    explicit Scan(std::string_view text) noexcept : text_(text) {}
    bool done() const noexcept { return at_ == text_.size(); }
    char peek() const noexcept { return done() ? '\0' : text_[at_]; }
    bool take(char c) noexcept
    {
        if (done() || text_[at_] != c)
            return false;
        ++at_;
        return true;
    }
    bool take_sign() noexcept { return sign(peek()) && take(peek()); }
    bool take_digit() noexcept { return digit(peek()) && take(peek()); }
    // Characters while `in` holds: how many.
    template <class In> std::size_t run(In in) noexcept
    {
        const std::size_t from = at_;
        while (!done() && in(text_[at_]))
            ++at_;
        return at_ - from;
    }
    std::size_t digits() noexcept { return run(digit); }
    bool take_word(std::string_view word) noexcept
    {
        if (text_.substr(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

bool digit_or_underscore(char c) noexcept { return digit(c) || c == '_'; }

// `[eE][-+][0-9]+`, optional, then the end.
bool exponent_then_end(Scan& s) noexcept
{
    if (s.take('e') || s.take('E'))
        return s.take_sign() && s.digits() > 0 && s.done();
    return s.done();
}

// `(?::[0-5]?[0-9])+`: the groups of a base-60 number.
bool base60_groups(Scan& s) noexcept
{
    std::size_t groups = 0;
    while (s.take(':')) {
        const char first = s.peek();
        const std::size_t n = s.digits();
        if (n == 0 || n > 2 || (n == 2 && first > '5'))
            return false;
        ++groups;
    }
    return groups > 0;
}

bool is_one_of(std::string_view text, std::initializer_list<std::string_view> words) noexcept
{
    for (std::string_view word : words)
        if (text == word)
            return true;
    return false;
}

bool boolean(std::string_view t) noexcept
{
    return is_one_of(t, {"yes", "Yes", "YES", "no", "No", "NO", "true", "True", "TRUE", "false",
                         "False", "FALSE", "on", "On", "ON", "off", "Off", "OFF"});
}

bool null(std::string_view t) noexcept { return is_one_of(t, {"~", "null", "Null", "NULL", ""}); }

bool floating(std::string_view t) noexcept
{
    {
        Scan s(t); // [-+]?[0-9][0-9_]*\.[0-9_]*(?:[eE][-+][0-9]+)?
        s.take_sign();
        if (s.take_digit() && (s.run(digit_or_underscore), s.take('.'))) {
            s.run(digit_or_underscore);
            if (exponent_then_end(s))
                return true;
        }
    }
    {
        Scan s(t); // \.[0-9][0-9_]*(?:[eE][-+][0-9]+)?
        if (s.take('.') && s.take_digit() && (s.run(digit_or_underscore), exponent_then_end(s)))
            return true;
    }
    {
        Scan s(t); // [-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\.[0-9_]*
        s.take_sign();
        if (s.take_digit() && (s.run(digit_or_underscore), base60_groups(s)) && s.take('.')
            && (s.run(digit_or_underscore), s.done()))
            return true;
    }
    {
        Scan s(t); // [-+]?\.(?:inf|Inf|INF)
        s.take_sign();
        if (s.take('.') && (s.take_word("inf") || s.take_word("Inf") || s.take_word("INF"))
            && s.done())
            return true;
    }
    return is_one_of(t, {".nan", ".NaN", ".NAN"});
}

bool integer(std::string_view t) noexcept
{
    const auto prefixed = [t](std::string_view prefix, auto in) {
        Scan s(t); // [-+]?<prefix><in>+
        s.take_sign();
        return s.take_word(prefix) && s.run(in) > 0 && s.done();
    };
    if (prefixed("0b", [](char c) { return c == '0' || c == '1' || c == '_'; })
        || prefixed("0", [](char c) { return (c >= '0' && c <= '7') || c == '_'; })
        || prefixed("0x", [](char c) {
               return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == '_';
           }))
        return true;
    {
        Scan s(t); // [-+]?(?:0|[1-9][0-9_]*)
        s.take_sign();
        if (s.take('0')
                ? s.done()
                : (s.peek() != '0' && s.take_digit() && (s.run(digit_or_underscore), s.done())))
            return true;
    }
    Scan s(t); // [-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+
    s.take_sign();
    return s.peek() != '0' && s.take_digit() && (s.run(digit_or_underscore), base60_groups(s))
           && s.done();
}

bool space_or_tab(char c) noexcept { return c == ' ' || c == '\t'; }

bool timestamp(std::string_view t) noexcept
{
    {
        Scan s(t); // [0-9]{4}-[0-9]{2}-[0-9]{2}
        if (s.digits() == 4 && s.take('-') && s.digits() == 2 && s.take('-') && s.digits() == 2
            && s.done())
            return true;
    }
    Scan s(t);
    const auto one_or_two = [&s] {
        const std::size_t n = s.digits();
        return n == 1 || n == 2;
    };
    if (!(s.digits() == 4 && s.take('-') && one_or_two() && s.take('-') && one_or_two()))
        return false;
    if (!(s.take('T') || s.take('t') || s.run(space_or_tab) > 0))
        return false;
    if (!(one_or_two() && s.take(':') && s.digits() == 2 && s.take(':') && s.digits() == 2))
        return false;
    if (s.take('.'))
        s.digits();
    const bool spaced = s.run(space_or_tab) > 0;
    if (s.done())
        return !spaced;
    if (s.take('Z'))
        return s.done();
    if (!s.take_sign() || !one_or_two())
        return false;
    if (s.take(':') && s.digits() != 2)
        return false;
    return s.done();
}

// The resolvers the stock table lists under a first character, in its order.
struct Rule {
    Implicit tag;
    bool (*matches)(std::string_view) noexcept;
};

template <class... Rules> constexpr std::array<Rule, sizeof...(Rules)> rules(Rules... r)
{
    return {r...};
}

constexpr Rule bool_rule{Implicit::boolean, boolean};
constexpr Rule null_rule{Implicit::null, null};
constexpr Rule float_rule{Implicit::floating, floating};
constexpr Rule int_rule{Implicit::integer, integer};
constexpr Rule timestamp_rule{Implicit::timestamp, timestamp};

bool merge(std::string_view t) noexcept { return t == "<<"; }
bool value(std::string_view t) noexcept { return t == "="; }
bool lone_indicator(std::string_view t) noexcept { return t == "!" || t == "&" || t == "*"; }

Implicit first_of(std::string_view text, std::initializer_list<Rule> candidates) noexcept
{
    for (const Rule& rule : candidates)
        if (rule.matches(text))
            return rule.tag;
    return Implicit::str;
}

Implicit resolve_exact(std::string_view text) noexcept
{
    if (text.empty())
        return null(text) ? Implicit::null : Implicit::str;
    switch (text[0]) {
    case 'y':
    case 'Y':
    case 't':
    case 'T':
    case 'f':
    case 'F':
    case 'o':
    case 'O':
        return first_of(text, {bool_rule});
    case 'n':
    case 'N':
        return first_of(text, {bool_rule, null_rule});
    case '-':
    case '+':
        return first_of(text, {float_rule, int_rule});
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9':
        return first_of(text, {float_rule, int_rule, timestamp_rule});
    case '.':
        return first_of(text, {float_rule});
    case '~':
        return first_of(text, {null_rule});
    case '<':
        return first_of(text, {Rule{Implicit::merge, merge}});
    case '=':
        return first_of(text, {Rule{Implicit::value, value}});
    case '!':
    case '&':
    case '*':
        return first_of(text, {Rule{Implicit::yaml, lone_indicator}});
    default:
        return Implicit::str;
    }
}

// --- the stock table -------------------------------------------------------------

struct StockResolver {
    Implicit tag;
    const char* name;
    const char* pattern;
    long flags; // re.VERBOSE | re.UNICODE, or re.UNICODE
};

constexpr StockResolver stock[] = {
    {Implicit::boolean, "tag:yaml.org,2002:bool",
     "^(?:yes|Yes|YES|no|No|NO\n                    |true|True|TRUE|false|False|FALSE\n"
     "                    |on|On|ON|off|Off|OFF)$",
     96},
    {Implicit::floating, "tag:yaml.org,2002:float",
     "^(?:[-+]?(?:[0-9][0-9_]*)\\.[0-9_]*(?:[eE][-+][0-9]+)?\n"
     "                    |\\.[0-9][0-9_]*(?:[eE][-+][0-9]+)?\n"
     "                    |[-+]?[0-9][0-9_]*(?::[0-5]?[0-9])+\\.[0-9_]*\n"
     "                    |[-+]?\\.(?:inf|Inf|INF)\n"
     "                    |\\.(?:nan|NaN|NAN))$",
     96},
    {Implicit::integer, "tag:yaml.org,2002:int",
     "^(?:[-+]?0b[0-1_]+\n                    |[-+]?0[0-7_]+\n"
     "                    |[-+]?(?:0|[1-9][0-9_]*)\n"
     "                    |[-+]?0x[0-9a-fA-F_]+\n"
     "                    |[-+]?[1-9][0-9_]*(?::[0-5]?[0-9])+)$",
     96},
    {Implicit::merge, "tag:yaml.org,2002:merge", "^(?:<<)$", 32},
    {Implicit::null, "tag:yaml.org,2002:null",
     "^(?: ~\n                    |null|Null|NULL\n                    | )$", 96},
    {Implicit::timestamp, "tag:yaml.org,2002:timestamp",
     "^(?:[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]\n"
     "                    |[0-9][0-9][0-9][0-9] -[0-9][0-9]? -[0-9][0-9]?\n"
     "                     (?:[Tt]|[ \\t]+)[0-9][0-9]?\n"
     "                     :[0-9][0-9] :[0-9][0-9] (?:\\.[0-9]*)?\n"
     "                     (?:[ \\t]*(?:Z|[-+][0-9][0-9]?(?::[0-9][0-9])?))?)$",
     96},
    {Implicit::value, "tag:yaml.org,2002:value", "^(?:=)$", 32},
    {Implicit::yaml, "tag:yaml.org,2002:yaml", "^(?:!|&|\\*)$", 32},
};

// The stock table's keys, each with its resolvers in order.
struct StockKey {
    const char* key;
    std::initializer_list<Implicit> tags;
};

const StockKey stock_keys[] = {
    {"y", {Implicit::boolean}},
    {"Y", {Implicit::boolean}},
    {"n", {Implicit::boolean, Implicit::null}},
    {"N", {Implicit::boolean, Implicit::null}},
    {"t", {Implicit::boolean}},
    {"T", {Implicit::boolean}},
    {"f", {Implicit::boolean}},
    {"F", {Implicit::boolean}},
    {"o", {Implicit::boolean}},
    {"O", {Implicit::boolean}},
    {"-", {Implicit::floating, Implicit::integer}},
    {"+", {Implicit::floating, Implicit::integer}},
    {"0", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"1", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"2", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"3", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"4", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"5", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"6", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"7", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"8", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {"9", {Implicit::floating, Implicit::integer, Implicit::timestamp}},
    {".", {Implicit::floating}},
    {"<", {Implicit::merge}},
    {"~", {Implicit::null}},
    {"", {Implicit::null}},
    {"=", {Implicit::value}},
    {"!", {Implicit::yaml}},
    {"&", {Implicit::yaml}},
    {"*", {Implicit::yaml}},
};

const StockResolver& stock_of(Implicit tag) noexcept
{
    for (const StockResolver& r : stock)
        if (r.tag == tag)
            return r;
    return stock[0];
}

bool text_is(PyObject* object, const char* text) noexcept
{
    return object && PyUnicode_CheckExact(object)
           && PyUnicode_CompareWithASCIIString(object, text) == 0;
}

// Whether `entry` is the stock `(tag, compiled pattern)` pair.
bool stock_entry(PyObject* entry, Implicit tag, PyObject* pattern_type) noexcept
{
    const StockResolver& r = stock_of(tag);
    if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2
        || !text_is(PyTuple_GET_ITEM(entry, 0), r.name))
        return false;
    PyObject* regexp = PyTuple_GET_ITEM(entry, 1);
    if (reinterpret_cast<PyObject*>(Py_TYPE(regexp)) != pattern_type)
        return false;
    Ref pattern = steal(PyObject_GetAttrString(regexp, "pattern"));
    Ref flags = pattern ? steal(PyObject_GetAttrString(regexp, "flags")) : Ref();
    return flags && text_is(pattern, r.pattern) && PyLong_CheckExact(flags.get())
           && PyLong_AsLong(flags) == r.flags;
}

bool stock_table(PyObject* table, PyObject* pattern_type) noexcept
{
    if (!PyDict_CheckExact(table)
        || PyDict_GET_SIZE(table) != static_cast<Py_ssize_t>(std::size(stock_keys)))
        return false;
    // Each list and entry is held while it is read: without the GIL another
    // thread may add a resolver meanwhile.
    for (const StockKey& k : stock_keys) {
        PyObject* found = nullptr;
        if (PyDict_GetItemStringRef(table, k.key, &found) < 0)
            PyErr_Clear();
        Ref list = steal(found);
        if (!list || !PyList_CheckExact(list.get())
            || PyList_GET_SIZE(list.get()) != static_cast<Py_ssize_t>(k.tags.size()))
            return false;
        Py_ssize_t i = 0;
        for (Implicit tag : k.tags) {
            Ref entry = steal(PyList_GetItemRef(list, i++));
            if (!entry) {
                PyErr_Clear();
                return false;
            }
            if (!stock_entry(entry, tag, pattern_type))
                return false;
        }
    }
    return true;
}

// What was kept of one resolver class: its table, the lists the table held
// with a copy of each one's items, and the (empty) path resolvers.
struct KeptResolver {
    // Set, once the rest is kept, by the one thread that keeps it.
    std::atomic<PyTypeObject*> type{nullptr};
    bool usable = false;
    KeptClass kept_class;
    KeptDict table;
    PyObject* lists = nullptr; // tuple of (list, tuple of its items)
    PyObject* paths = nullptr;
};

constexpr int kept_resolver_slots = 4;
KeptResolver kept_resolvers[kept_resolver_slots];
PyMutex keeping_resolvers{};
std::atomic<unsigned long> resolver_keeper{0};

// The list holds the kept items, read under its lock: without the GIL,
// `add_implicit_resolver` may append to it meanwhile.
bool same_items(PyObject* list, PyObject* items) noexcept
{
    bool same = true;
    Py_BEGIN_CRITICAL_SECTION(list);
    const Py_ssize_t n = PyTuple_GET_SIZE(items);
    same = PyList_GET_SIZE(list) == n;
    for (Py_ssize_t j = 0; same && j < n; ++j)
        same = PyList_GET_ITEM(list, j) == PyTuple_GET_ITEM(items, j);
    Py_END_CRITICAL_SECTION();
    return same;
}

bool same_lists(PyObject* lists) noexcept
{
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(lists); ++i) {
        PyObject* pair = PyTuple_GET_ITEM(lists, i);
        if (!same_items(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)))
            return false;
    }
    return true;
}

Ref list_copies(PyObject* table) noexcept
{
    Ref lists = steal(PyTuple_New(PyDict_GET_SIZE(table)));
    Py_ssize_t position = 0, i = 0;
    PyObject* key = nullptr;
    PyObject* list = nullptr;
    while (lists && PyDict_Next(table, &position, &key, &list)) {
        PyObject* pair = Py_BuildValue("(ON)", list, PyList_AsTuple(list));
        if (!pair)
            return {};
        PyTuple_SET_ITEM(lists.get(), i++, pair);
    }
    return lists;
}

bool keep_resolver(KeptResolver& kept, PyTypeObject* type) noexcept
{
    Ref re = steal(PyImport_ImportModule("re"));
    Ref probe = re ? steal(PyObject_CallMethod(re, "compile", "s", "")) : Ref();
    if (!probe)
        return false;
    PyObject* pattern_type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
    Ref table = class_attribute(type, "yaml_implicit_resolvers");
    Ref paths = class_attribute(type, "yaml_path_resolvers");
    if (!table || !paths || !PyDict_CheckExact(paths.get()) || !stock_table(table, pattern_type))
        return false;
    Ref lists = list_copies(table);
    if (!lists || !kept.kept_class.keep(type, "yaml") || !kept.table.keep(table))
        return false;
    kept.lists = lists.release();
    kept.paths = Py_NewRef(paths);
    return true;
}

} // namespace

Implicit resolve_plain(std::string_view text) noexcept
{
    const Implicit whole = resolve_exact(text);
    if (whole != Implicit::str || text.empty() || text.back() != '\n')
        return whole;
    // `$` also matches before a final "\n"; the dispatch still goes by the
    // first character of the whole text.
    const std::string_view body = text.substr(0, text.size() - 1);
    if (body.empty())
        return Implicit::str; // the '' key is taken only for the empty text
    return resolve_exact(body);
}

namespace {

// The slot kept for `resolver_class`, kept at its first use: by one thread
// while the others wait. None when every slot holds another class, or when
// the keeping (which runs the library's code) comes back here.
KeptResolver* kept_for(PyTypeObject* resolver_class) noexcept
{
    for (KeptResolver& slot : kept_resolvers) {
        PyTypeObject* type = slot.type.load(std::memory_order_acquire);
        if (type == resolver_class)
            return &slot;
        if (!type)
            break;
    }
    const unsigned long self = PyThread_get_thread_ident();
    if (resolver_keeper.load(std::memory_order_relaxed) == self)
        return nullptr;
    KeptResolver* kept = nullptr;
    PyMutex_Lock(&keeping_resolvers);
    resolver_keeper.store(self, std::memory_order_relaxed);
    for (KeptResolver& slot : kept_resolvers) {
        PyTypeObject* type = slot.type.load(std::memory_order_relaxed);
        if (type && type != resolver_class)
            continue;
        if (!type) {
            slot.usable = keep_resolver(slot, resolver_class);
            PyErr_Clear();
            Py_INCREF(resolver_class);
            slot.type.store(resolver_class, std::memory_order_release);
        }
        kept = &slot;
        break;
    }
    resolver_keeper.store(0, std::memory_order_relaxed);
    PyMutex_Unlock(&keeping_resolvers);
    return kept;
}

} // namespace

bool stock_resolvers(PyTypeObject* resolver_class) noexcept
{
    KeptResolver* kept = kept_for(resolver_class);
    return kept && kept->usable && kept->kept_class.unchanged() && kept->table.unchanged()
           && same_lists(kept->lists) && PyDict_GET_SIZE(kept->paths) == 0;
}

} // namespace tarvex::yaml
