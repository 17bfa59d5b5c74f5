// What a module states about one function: the string constants it uses,
// its `Spec` (the `def` line: signature text, parameters, defaults, locals)
// and the `Site` its body reports errors at. Part of the module author's
// interface; frame.hpp includes it.
#pragma once

#include "ref.hpp"

#include <array>
#include <cstddef>

namespace tarvex {

// ---------------------------------------------------------------------------
// Constant table: string constants created once at exec, hashed at creation.

class Constant {
public:
    enum class Kind : unsigned char { identifier, text, builtin, keywords };

    // Registers the constant with this extension's table; the object is made
    // when the module executes.
    Constant(const char* text, Kind kind) noexcept;
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

private:
    friend struct StringTable;
    const char* text_;
    Kind kind_;
    PyObject* object_ = nullptr;
    Constant* next_ = nullptr;
};

// An interned identifier: a global, attribute or keyword name.
struct Name : Constant {
    explicit Name(const char* text) noexcept : Constant(text, Kind::identifier) {}
};

// An ordinary (not interned) string literal.
struct Text : Constant {
    explicit Text(const char* text) noexcept : Constant(text, Kind::text) {}
};

// A built-in looked up once at exec and held for the life of the process, so
// later rebinding of the built-in does not reach the module.
struct Builtin : Constant {
    explicit Builtin(const char* name) noexcept : Constant(name, Kind::builtin) {}
};

// Text fixed at compile time, as a template argument: what lets the frame
// count the names of a `Keywords` before the module runs.
template <std::size_t Size> struct FixedText {
    char text[Size]{};
    consteval FixedText(const char (&literal)[Size]) noexcept
    {
        for (std::size_t i = 0; i < Size; ++i)
            text[i] = literal[i];
    }
    // The blank-separated words.
    consteval std::size_t words() const noexcept
    {
        std::size_t n = 0;
        for (std::size_t i = 0; i + 1 < Size; ++i)
            n += text[i] != ' ' && (i == 0 || text[i - 1] == ' ');
        return n;
    }
};

// The names of a call's keyword arguments, as one tuple of identifiers:
// `Keywords<"encoding newline"> stand_in_keywords;`, names separated by
// blanks. Their number is known when the module compiles, so a call that
// passes another number of values does not compile (`call_with_keywords`).
template <FixedText Names> struct Keywords : Constant {
    static constexpr std::size_t count = Names.words();
    Keywords() noexcept : Constant(Names.text, Kind::keywords) {}
};

// ---------------------------------------------------------------------------
// Function specifications.

// A default value fixed at definition.
struct Default {
    enum class Kind : unsigned char { absent, none, text, integer, boolean };
    Kind kind = Kind::absent;
    const char* text = nullptr;
    long long value = 0;

    static constexpr Default none() { return {Kind::none}; }
    static constexpr Default str(const char* text) { return {Kind::text, text}; }
    static constexpr Default integer(long long v) { return {Kind::integer, nullptr, v}; }
    static constexpr Default boolean(bool v) { return {Kind::boolean, nullptr, v}; }
};

inline constexpr std::size_t max_params = 16;
inline constexpr std::size_t max_locals = 12;

// An annotation shown by `__annotations__` ("skip_dir": "list").
struct Annotation {
    const char* name = nullptr;
    const char* value = nullptr;
};

// The one type a parameter accepts, named by a function: where the host is a
// DLL, the address of a built-in type is not a constant expression.
using ExactType = PyTypeObject* (*)() noexcept;
inline PyTypeObject* list_type() noexcept { return &PyList_Type; }

namespace detail {
// How many names an array of optional names holds. (Outside `Spec`, so that
// it is defined before the members that the compiler evaluates in constant
// expressions.)
template <class Array> constexpr int count(const Array& names)
{
    int n = 0;
    for (const char* name : names)
        n += name != nullptr;
    return n;
}
} // namespace detail

// Static description of one function: what `def` says in source.
struct Spec {
    const char* name;                             // "list_diff"
    const char* doc;                              // signature text, "list_diff(list1, list2)"
    int line;                                     // line of the definition
    std::array<const char*, max_params> params{}; // positional-or-keyword
    std::array<Default, max_params> defaults{};   // for the last parameters
    const char* star_args = nullptr;              // "args" for *args
    const char* star_kwargs = nullptr;            // "kwargs" for **kwargs
    std::array<const char*, max_locals> locals{}; // body locals, after the parameters
    std::array<ExactType, max_params> exact{};    // a parameter typed `list` and the like
    std::array<Annotation, 4> annotations{};
    const char* qualname = nullptr;   // defaults to `name`
    bool generator = false;           // the body returns a generator
    const char* entry_name = nullptr; // traceback entry after the module name; `qualname` if unset

    constexpr int param_count() const { return detail::count(params); }
    constexpr int default_count() const
    {
        int n = 0;
        for (const Default& d : defaults)
            n += d.kind != Default::Kind::absent;
        return n;
    }
    constexpr int required_count() const { return param_count() - default_count(); }
    // The names and defaults fill their arrays from the start, without gaps:
    // the binder reads the first `param_count()` names and the first
    // `default_count()` defaults.
    constexpr bool params_without_gaps() const
    {
        for (int i = param_count(); i < static_cast<int>(max_params); ++i)
            if (params[i] != nullptr)
                return false;
        return true;
    }
    constexpr bool defaults_without_gaps() const
    {
        for (int i = default_count(); i < static_cast<int>(max_params); ++i)
            if (defaults[i].kind != Default::Kind::absent)
                return false;
        return true;
    }
    constexpr int local_count() const { return detail::count(locals); }
    constexpr int slot_count() const
    {
        return param_count() + (star_args != nullptr) + (star_kwargs != nullptr);
    }
    constexpr bool takes_no_arguments() const { return slot_count() == 0; }
};

// ---------------------------------------------------------------------------
// The running body of a call: which statement it is at, for traceback
// entries.

class Site {
public:
    Site(PyObject* function, int line) noexcept : function_(function), line_(line) {}

    // Marks the statement about to run.
    void line(int line) noexcept
    {
        line_ = line;
        reported_ = false;
    }
    int line() const noexcept { return line_; }

    // Adds this function's traceback entry, at the current line, to the
    // pending exception now: before a body's own except clause sees it, or
    // before a `with` block's exit runs. An error returned without a new
    // `line()` after this gets no second entry for the same line.
    void report() noexcept;
    bool reported() const noexcept { return reported_; }

    PyObject* function() const noexcept { return function_; }

private:
    PyObject* function_;
    int line_;
    bool reported_ = false;
};

} // namespace tarvex
