// The native reader behind `str_read_yaml`.
//
// The reader follows the library's scanner step by step for the constructs it
// takes (where a plain scalar ends, how quoted and block scalars fold, which
// lines continue a node), so that whatever it reads is read as the library
// reads it. At the first construct it does not model, or the first fault, it
// gives up (`Unmodelled`) and the library reads the whole document instead:
// the library's errors, with their messages and marks, are always its own.
#include "yaml_reader.hpp"

#include "guard.hpp"
#include "resolver.hpp"

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace tarvex::yaml {
namespace {

struct Unmodelled {}; // the library reads the document
struct Failed {};     // a Python exception is pending

// Deeper documents go to the library, whose own recursion decides their fate.
constexpr int max_depth = 100;
// The library drops a simple key 1024 characters or more before its ':'; a
// byte count never undercounts characters.
constexpr std::size_t max_key_bytes = 1000;

PyObject* shared_nan = nullptr; // the loader's one NaN object, which `.nan` gives

Ref checked(PyObject* object)
{
    if (!object)
        throw Failed{};
    return steal(object);
}

// The text's end reads as '\0': the text itself holds none (see printable).
constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\n' || c == '\0'; }
constexpr bool is_break(char c) noexcept { return c == '\n' || c == '\0'; }
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_flow_indicator(char c) noexcept
{
    return c == ',' || c == '[' || c == ']' || c == '{' || c == '}';
}
// The characters that cannot begin a plain scalar, but for "-" before a
// non-blank.
constexpr bool is_indicator(char c) noexcept
{
    return std::string_view("-?:,[]{}#&*!|>'\"%@`").find(c) != std::string_view::npos;
}

// Text the library reads as a stream of printable characters, without a
// byte-order mark or a line break other than "\n" (tabs are not modelled).
bool printable(const unsigned char* p, std::size_t n) noexcept
{
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char b = p[i];
        if ((b >= 0x20 && b < 0x7F) || b == '\n')
            continue;
        if (b < 0x80)
            return false; // controls, tab, carriage return, delete
        // The text is valid UTF-8, so a lead byte has its continuation bytes.
        if (b == 0xC2 && p[i + 1] < 0xA0)
            return false; // C1 controls and NEL
        if (b == 0xE2 && p[i + 1] == 0x80 && (p[i + 2] == 0xA8 || p[i + 2] == 0xA9))
            return false; // line and paragraph separators
        if (b == 0xEF && p[i + 1] == 0xBF && p[i + 2] >= 0xBE)
            return false; // U+FFFE, U+FFFF
    }
    return true;
}

void append_code_point(std::string& out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

Ref new_str(std::string_view text)
{
    return checked(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
}

// --- plain scalars as the full constructor builds them -----------------------------

// `text` without its underscores, as the constructors first take it.
std::string without_underscores(std::string_view text)
{
    std::string clean;
    clean.reserve(text.size());
    for (char c : text)
        if (c != '_')
            clean += c;
    return clean;
}

// `float(text)`: the host's own conversion of the whole text.
double float_of(const std::string& text)
{
    const double value = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
    if (value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw Unmodelled{};
    }
    return value;
}

// `int(text, base)` for digits without a sign; the host's conversion when the
// value may not fit a machine word (and the library's error, if any, when it
// refuses).
Ref int_of(const std::string& digits, int base, bool negative)
{
    if (digits.empty())
        throw Unmodelled{}; // `int('', base)` raises in the library
    const std::size_t fits = base == 10 ? 18 : base == 16 ? 15 : base == 8 ? 20 : 62;
    if (digits.size() <= fits) {
        std::int64_t value = 0;
        for (char c : digits) {
            const int digit = is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
            value = value * base + digit;
        }
        return checked(PyLong_FromLongLong(negative ? -value : value));
    }
    const std::string text = (negative ? "-" : "") + digits;
    PyObject* value = PyLong_FromString(text.c_str(), nullptr, base);
    if (!value) {
        PyErr_Clear();
        throw Unmodelled{};
    }
    return steal(value);
}

// SafeConstructor.construct_yaml_int
Ref construct_int(std::string_view text)
{
    std::string value = without_underscores(text);
    bool negative = false;
    if (value[0] == '-' || value[0] == '+') {
        negative = value[0] == '-';
        value.erase(0, 1);
    }
    if (value == "0")
        return checked(PyLong_FromLong(0));
    if (value.starts_with("0b"))
        return int_of(value.substr(2), 2, negative);
    if (value.starts_with("0x"))
        return int_of(value.substr(2), 16, negative);
    if (value[0] == '0')
        return int_of(value, 8, negative);
    if (value.find(':') == std::string::npos)
        return int_of(value, 10, negative);
    // Base 60: each part an int, the first one of any length.
    std::uint64_t total = 0;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(':', start);
        if (end == std::string::npos)
            end = value.size();
        if (end - start > 18)
            throw Unmodelled{};
        std::uint64_t part = 0;
        for (std::size_t k = start; k < end; ++k)
            part = part * 10 + static_cast<std::uint64_t>(value[k] - '0');
        if (total > (UINT64_C(1) << 62) / 60)
            throw Unmodelled{};
        total = total * 60 + part;
        if (total >= (UINT64_C(1) << 62))
            throw Unmodelled{};
        start = end + 1;
    }
    const auto signed_total = static_cast<std::int64_t>(total);
    return checked(PyLong_FromLongLong(negative ? -signed_total : signed_total));
}

// SafeConstructor.construct_yaml_float
Ref construct_float(std::string_view text)
{
    std::string value = without_underscores(text);
    for (char& c : value)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c | 0x20 : c);
    double sign = 1.0;
    if (value[0] == '-' || value[0] == '+') {
        sign = value[0] == '-' ? -1.0 : 1.0;
        value.erase(0, 1);
    }
    if (value == ".inf")
        return checked(PyFloat_FromDouble(sign * Py_HUGE_VAL));
    if (value == ".nan")
        return borrow(shared_nan);
    if (value.find(':') == std::string::npos)
        return checked(PyFloat_FromDouble(sign * float_of(value)));
    // Base 60, the last part carrying the fraction, summed from the last part
    // up as the library sums it.
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = value.find(':', start);
        parts.push_back(value.substr(start, end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    if (parts.size() > 8)
        throw Unmodelled{}; // the powers of 60 stay exact in a double
    double total = 0.0, base = 1.0;
    for (auto part = parts.rbegin(); part != parts.rend(); ++part) {
        total += float_of(*part) * base;
        base *= 60.0;
    }
    return checked(PyFloat_FromDouble(sign * total));
}

// The object the full loader makes of a plain scalar.
Ref construct_plain(std::string_view text)
{
    switch (resolve_plain(text)) {
    case Implicit::str:
        return new_str(text);
    case Implicit::null:
        return none();
    case Implicit::boolean:
        return boolean(text[0] == 'y' || text[0] == 'Y' || text[0] == 't' || text[0] == 'T'
                       || text == "on" || text == "On" || text == "ON");
    case Implicit::integer:
        return construct_int(text);
    case Implicit::floating:
        return construct_float(text);
    default:
        throw Unmodelled{}; // timestamps, merge and value keys, lone indicators
    }
}

// --- the reader ----------------------------------------------------------------

// Where the next token begins, past spaces, comments and line breaks.
struct Next {
    std::size_t pos;
    std::size_t column;
    bool first_on_line; // only spaces before it on its line
    bool end;
    bool separator; // "---" or "..." opening a line
};

class DepthGuard {
public:
    explicit DepthGuard(int& depth) : depth_(depth)
    {
        if (++depth_ > max_depth) {
            --depth_;
            throw Unmodelled{};
        }
    }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

private:
    int& depth_;
};

class Reader {
public:
    Reader(const char* data, std::size_t size) noexcept : s_(data), n_(size) {}
    Ref document();

private:
    char at(std::size_t k) const noexcept { return k < n_ ? s_[k] : '\0'; }
    std::size_t line_start(std::size_t p) const noexcept
    {
        while (p > 0 && s_[p - 1] != '\n')
            --p;
        return p;
    }
    bool separator_at(std::size_t p) const noexcept
    {
        return p + 3 <= n_
               && (std::memcmp(s_ + p, "---", 3) == 0 || std::memcmp(s_ + p, "...", 3) == 0)
               && is_blank(at(p + 3));
    }
    void skip_to_line_end() noexcept;
    Next next_content() noexcept;
    Next here(std::size_t p) const noexcept;

    Ref block_node(long indent, const Next& start, bool after_key);
    Ref block_mapping(long column, Ref key);
    Ref mapping_value(long column);
    Ref block_sequence(long column);
    Ref block_scalar(long indent);
    std::size_t block_scalar_breaks(long indent, long& column) noexcept;

    Ref flow_collection();
    Ref flow_node();
    void skip_flow_space();

    Ref quoted(bool& multiline);
    void quoted_non_spaces(bool double_quoted, bool& multiline);
    void quoted_spaces(bool& multiline);
    std::size_t quoted_breaks();
    Ref plain(long threshold, bool flow, bool& multiline);

    const char* s_;
    std::size_t n_;
    std::size_t i_ = 0;
    int depth_ = 0;
    std::string text_; // the scalar being scanned
};

Next Reader::here(std::size_t p) const noexcept
{
    const std::size_t start = line_start(p);
    bool first = true;
    for (std::size_t k = start; k < p && first; ++k)
        first = s_[k] == ' ';
    return {p, p - start, first, p >= n_, p == start && separator_at(p)};
}

// Past the spaces and any comment that end the current line.
void Reader::skip_to_line_end() noexcept
{
    while (at(i_) == ' ')
        ++i_;
    if (at(i_) == '#')
        while (!is_break(at(i_)))
            ++i_;
}

Next Reader::next_content() noexcept
{
    for (skip_to_line_end(); at(i_) == '\n'; skip_to_line_end())
        ++i_;
    return here(i_);
}

Ref Reader::document()
{
    Next next = next_content();
    if (next.separator && at(next.pos) == '-') {
        i_ = next.pos + 3;
        while (at(i_) == ' ')
            ++i_;
        if (at(i_) != '#' && !is_break(at(i_)))
            throw Unmodelled{}; // a node on the "---" line
        next = next_content();
    }
    if (next.end)
        return none();
    Ref root = block_node(-1, next, false);
    next = next_content();
    if (next.separator && at(next.pos) == '.') {
        i_ = next.pos + 3;
        next = next_content();
    }
    if (!next.end)
        throw Unmodelled{};
    return root;
}

// A node in block context beginning at `start`, inside a collection whose
// entries stand at column `indent` (-1 at the root). `after_key`: it stands on
// the line of its key, where neither a sequence nor a mapping may begin.
Ref Reader::block_node(long indent, const Next& start, bool after_key)
{
    DepthGuard depth(depth_);
    if (start.separator || start.end)
        throw Unmodelled{};
    i_ = start.pos;
    const char c = at(i_);
    const auto column = static_cast<long>(start.column);
    if (c == '-' && is_blank(at(i_ + 1))) {
        if (after_key)
            throw Unmodelled{};
        return block_sequence(column);
    }
    if (c == '|' || c == '>')
        return block_scalar(indent);
    if (c == '[' || c == '{')
        return flow_collection();
    bool multiline = false;
    Ref scalar;
    if (c == '"' || c == '\'')
        scalar = quoted(multiline);
    else if (!is_indicator(c) || (c == '-' && !is_blank(at(i_ + 1))))
        scalar = plain(indent + 1, false, multiline);
    else
        throw Unmodelled{};
    if (after_key)
        return scalar;
    std::size_t colon = i_;
    while (at(colon) == ' ')
        ++colon;
    if (at(colon) != ':' || !is_blank(at(colon + 1)))
        return scalar;
    if (multiline || colon - start.pos > max_key_bytes)
        throw Unmodelled{};
    i_ = colon + 1;
    return block_mapping(column, std::move(scalar));
}

Ref Reader::block_mapping(long column, Ref key)
{
    Ref mapping = checked(PyDict_New());
    for (;;) {
        Ref value = mapping_value(column);
        if (PyDict_SetItem(mapping, key, value) < 0)
            throw Failed{};
        const Next next = next_content();
        if (next.end || next.separator || static_cast<long>(next.column) < column)
            return mapping;
        if (!next.first_on_line || static_cast<long>(next.column) > column)
            throw Unmodelled{};
        i_ = next.pos;
        const char c = at(i_);
        bool multiline = false;
        if (c == '"' || c == '\'')
            key = quoted(multiline);
        else if (!is_indicator(c) || (c == '-' && !is_blank(at(i_ + 1))))
            key = plain(column + 1, false, multiline);
        else
            throw Unmodelled{};
        std::size_t colon = i_;
        while (at(colon) == ' ')
            ++colon;
        if (multiline || at(colon) != ':' || !is_blank(at(colon + 1))
            || colon - next.pos > max_key_bytes)
            throw Unmodelled{};
        i_ = colon + 1;
    }
}

// The value after a key's ':' (at `i_`) in a mapping at `column`.
Ref Reader::mapping_value(long column)
{
    std::size_t p = i_;
    while (at(p) == ' ')
        ++p;
    if (at(p) != '#' && !is_break(at(p)))
        return block_node(column, here(p), true);
    i_ = p;
    const Next next = next_content();
    if (next.end || next.separator)
        return none();
    if (static_cast<long>(next.column) > column)
        return block_node(column, next, false);
    if (static_cast<long>(next.column) == column && at(next.pos) == '-'
        && is_blank(at(next.pos + 1))) {
        DepthGuard depth(depth_);
        i_ = next.pos;
        return block_sequence(column); // a sequence at the key's own column
    }
    return none();
}

Ref Reader::block_sequence(long column)
{
    Ref sequence = checked(PyList_New(0));
    for (;;) {
        std::size_t p = i_ + 1;
        while (at(p) == ' ')
            ++p;
        Ref item;
        if (at(p) == '#' || is_break(at(p))) {
            i_ = p;
            const Next next = next_content();
            if (!next.end && !next.separator && static_cast<long>(next.column) > column)
                item = block_node(column, next, false);
            else
                item = none();
        } else {
            item = block_node(column, here(p), false);
        }
        if (PyList_Append(sequence, item) < 0)
            throw Failed{};
        const Next next = next_content();
        if (next.end || next.separator || static_cast<long>(next.column) < column)
            return sequence;
        if (!next.first_on_line || static_cast<long>(next.column) > column)
            throw Unmodelled{};
        if (at(next.pos) != '-' || !is_blank(at(next.pos + 1)))
            return sequence;
        i_ = next.pos;
    }
}

// --- block scalars (Scanner.scan_block_scalar) -----------------------------------

std::size_t Reader::block_scalar_breaks(long indent, long& column) noexcept
{
    std::size_t breaks = 0;
    while (column < indent && at(i_) == ' ') {
        ++i_;
        ++column;
    }
    while (at(i_) == '\n') {
        ++breaks;
        ++i_;
        column = 0;
        while (column < indent && at(i_) == ' ') {
            ++i_;
            ++column;
        }
    }
    return breaks;
}

Ref Reader::block_scalar(long indent)
{
    const bool folded = at(i_) == '>';
    ++i_;
    int chomping = 0; // -1 strip, 0 clip, 1 keep
    long increment = 0;
    auto read_chomping = [&] {
        if (at(i_) == '+' || at(i_) == '-') {
            chomping = at(i_) == '+' ? 1 : -1;
            ++i_;
            return true;
        }
        return false;
    };
    auto read_increment = [&] {
        if (!is_digit(at(i_)))
            return;
        if (at(i_) == '0')
            throw Unmodelled{};
        increment = at(i_) - '0';
        ++i_;
    };
    if (read_chomping())
        read_increment();
    else if (is_digit(at(i_))) {
        read_increment();
        read_chomping();
    }
    if (!is_blank(at(i_)))
        throw Unmodelled{};
    while (at(i_) == ' ')
        ++i_;
    if (at(i_) == '#')
        while (!is_break(at(i_)))
            ++i_;
    if (!is_break(at(i_)))
        throw Unmodelled{};
    if (at(i_) == '\n')
        ++i_;

    const long min_indent = indent + 1 < 1 ? 1 : indent + 1;
    long column = 0;
    std::size_t breaks = 0;
    long block_indent = 0;
    if (increment == 0) {
        long max_indent = 0;
        while (at(i_) == ' ' || at(i_) == '\n') {
            if (at(i_) == '\n') {
                ++breaks;
                column = 0;
            } else if (++column > max_indent) {
                max_indent = column;
            }
            ++i_;
        }
        block_indent = max_indent > min_indent ? max_indent : min_indent;
    } else {
        block_indent = min_indent + increment - 1;
        breaks = block_scalar_breaks(block_indent, column);
    }

    std::string& out = text_;
    out.clear();
    bool line_break = false;
    while (column == block_indent && at(i_) != '\0') {
        out.append(breaks, '\n');
        const bool leading_non_space = at(i_) != ' ';
        const std::size_t start = i_;
        while (!is_break(at(i_)))
            ++i_;
        out.append(s_ + start, i_ - start);
        line_break = at(i_) == '\n';
        if (line_break)
            ++i_;
        column = 0;
        breaks = block_scalar_breaks(block_indent, column);
        if (column != block_indent || at(i_) == '\0')
            break;
        if (folded && line_break && leading_non_space && at(i_) != ' ') {
            if (breaks == 0)
                out += ' ';
        } else if (line_break) {
            out += '\n';
        }
    }
    if (chomping != -1 && line_break)
        out += '\n';
    if (chomping == 1)
        out.append(breaks, '\n');
    return new_str(out);
}

// --- quoted scalars (Scanner.scan_flow_scalar) -------------------------------------

Ref Reader::quoted(bool& multiline)
{
    const char quote = at(i_);
    const bool double_quoted = quote == '"';
    ++i_;
    text_.clear();
    quoted_non_spaces(double_quoted, multiline);
    while (at(i_) != quote) {
        quoted_spaces(multiline);
        quoted_non_spaces(double_quoted, multiline);
    }
    ++i_;
    return new_str(text_);
}

void Reader::quoted_non_spaces(bool double_quoted, bool& multiline)
{
    static constexpr std::string_view stops("'\"\\ \n", 6); // and '\0'
    for (;;) {
        const std::size_t start = i_;
        while (stops.find(at(i_)) == std::string_view::npos)
            ++i_;
        text_.append(s_ + start, i_ - start);
        const char c = at(i_);
        if (!double_quoted && c == '\'' && at(i_ + 1) == '\'') {
            text_ += '\'';
            i_ += 2;
        } else if ((double_quoted && c == '\'') || (!double_quoted && (c == '"' || c == '\\'))) {
            text_ += c;
            ++i_;
        } else if (double_quoted && c == '\\') {
            ++i_;
            const char e = at(i_);
            static constexpr std::string_view simple("0abtnvfre \"\\/");
            static constexpr std::string_view replaced("\0\a\b\t\n\v\f\r\x1b \"\\/", 13);
            if (const std::size_t k = simple.find(e); k != std::string_view::npos && e != '\0') {
                text_ += replaced[k];
                ++i_;
            } else if (e == 'N' || e == '_' || e == 'L' || e == 'P') {
                append_code_point(text_, e == 'N'   ? 0x85
                                         : e == '_' ? 0xA0
                                         : e == 'L' ? 0x2028
                                                    : 0x2029);
                ++i_;
            } else if (e == 'x' || e == 'u' || e == 'U') {
                const int length = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                ++i_;
                std::uint32_t code = 0;
                for (int k = 0; k < length; ++k) {
                    const char h = at(i_ + static_cast<std::size_t>(k));
                    const int lower = h | 0x20;
                    if (!is_digit(h) && !(lower >= 'a' && lower <= 'f'))
                        throw Unmodelled{};
                    code = code * 16
                           + static_cast<std::uint32_t>(is_digit(h) ? h - '0' : lower - 'a' + 10);
                }
                if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                    throw Unmodelled{}; // an error, or a lone surrogate
                append_code_point(text_, code);
                i_ += static_cast<std::size_t>(length);
            } else if (e == '\n') {
                ++i_;
                multiline = true;
                text_.append(quoted_breaks(), '\n');
            } else {
                throw Unmodelled{};
            }
        } else {
            return;
        }
    }
}

void Reader::quoted_spaces(bool& multiline)
{
    const std::size_t start = i_;
    while (at(i_) == ' ')
        ++i_;
    if (at(i_) == '\0')
        throw Unmodelled{}; // the stream ends inside the scalar
    if (at(i_) == '\n') {
        ++i_;
        multiline = true;
        const std::size_t breaks = quoted_breaks();
        if (breaks == 0)
            text_ += ' ';
        else
            text_.append(breaks, '\n');
    } else {
        text_.append(s_ + start, i_ - start);
    }
}

std::size_t Reader::quoted_breaks()
{
    std::size_t breaks = 0;
    for (;;) {
        if (separator_at(i_))
            throw Unmodelled{};
        while (at(i_) == ' ')
            ++i_;
        if (at(i_) != '\n')
            return breaks;
        ++breaks;
        ++i_;
    }
}

// --- plain scalars (Scanner.scan_plain) ----------------------------------------------

// A plain scalar from `i_`; lines of a block-context scalar continue while
// they reach column `threshold`. Leaves `i_` after its last character.
Ref Reader::plain(long threshold, bool flow, bool& multiline)
{
    const std::size_t start = i_;
    std::size_t end = i_;
    text_.clear();
    bool one_piece = true; // the text is s_[start, end)
    std::size_t space_start = 0, space_end = 0, breaks = 0;
    bool folded = false;
    for (bool first = true;; first = false) {
        if (at(i_) == '#')
            break;
        const std::size_t chunk = i_;
        for (;;) {
            const char c = at(i_);
            if (c == ' ' || is_break(c))
                break;
            if (c == ':' && (is_blank(at(i_ + 1)) || (flow && is_flow_indicator(at(i_ + 1)))))
                break;
            if (flow && (c == '?' || is_flow_indicator(c)))
                break;
            ++i_;
        }
        if (i_ == chunk)
            break;
        if (!first) {
            if (one_piece) {
                text_.assign(s_ + start, end - start);
                one_piece = false;
            }
            if (folded) {
                multiline = true;
                if (breaks == 0)
                    text_ += ' ';
                else
                    text_.append(breaks, '\n');
            } else {
                text_.append(s_ + space_start, space_end - space_start);
            }
        }
        if (!one_piece)
            text_.append(s_ + chunk, i_ - chunk);
        end = i_;
        // Scanner.scan_plain_spaces
        space_start = i_;
        while (at(i_) == ' ')
            ++i_;
        space_end = i_;
        folded = false;
        if (at(i_) == '\n') {
            ++i_;
            if (separator_at(i_))
                break;
            breaks = 0;
            bool separator = false;
            while (at(i_) == ' ' || at(i_) == '\n') {
                if (at(i_) == ' ') {
                    ++i_;
                    continue;
                }
                ++breaks;
                ++i_;
                if ((separator = separator_at(i_)))
                    break;
            }
            if (separator)
                break;
            folded = true;
            if (at(i_) == '#' || (!flow && static_cast<long>(i_ - line_start(i_)) < threshold))
                break;
        } else if (space_end == space_start || at(i_) == '#') {
            break;
        }
    }
    i_ = end;
    const std::string_view text
        = one_piece ? std::string_view(s_ + start, end - start) : std::string_view(text_);
    return construct_plain(text);
}

// --- flow collections --------------------------------------------------------------

void Reader::skip_flow_space()
{
    for (;;) {
        skip_to_line_end();
        if (at(i_) != '\n')
            return;
        ++i_;
        if (separator_at(i_))
            throw Unmodelled{};
    }
}

Ref Reader::flow_node()
{
    const char c = at(i_);
    if (c == '[' || c == '{')
        return flow_collection();
    bool multiline = false;
    if (c == '"' || c == '\'')
        return quoted(multiline);
    if ((!is_indicator(c) && !is_blank(c)) || (c == '-' && !is_blank(at(i_ + 1))))
        return plain(0, true, multiline);
    throw Unmodelled{};
}

Ref Reader::flow_collection()
{
    DepthGuard depth(depth_);
    const bool sequence = at(i_) == '[';
    const char close = sequence ? ']' : '}';
    ++i_;
    Ref collection = checked(sequence ? PyList_New(0) : PyDict_New());
    for (bool first = true;; first = false) {
        skip_flow_space();
        if (at(i_) == close) {
            ++i_;
            return collection;
        }
        if (!first) {
            if (at(i_) != ',')
                throw Unmodelled{};
            ++i_;
            skip_flow_space();
            if (at(i_) == close) {
                ++i_;
                return collection;
            }
        }
        if (sequence) {
            Ref item = flow_node();
            if (PyList_Append(collection, item) < 0)
                throw Failed{};
            continue;
        }
        const std::size_t key_start = i_;
        const char c = at(i_);
        bool multiline = false;
        Ref key;
        if (c == '"' || c == '\'')
            key = quoted(multiline);
        else if ((!is_indicator(c) && !is_blank(c)) || (c == '-' && !is_blank(at(i_ + 1))))
            key = plain(0, true, multiline);
        else
            throw Unmodelled{};
        if (multiline)
            throw Unmodelled{};
        std::size_t p = i_;
        while (at(p) == ' ')
            ++p;
        Ref value;
        if (at(p) == ':') {
            if (p - key_start > max_key_bytes)
                throw Unmodelled{};
            i_ = p + 1;
            skip_flow_space();
            value = at(i_) == ',' || at(i_) == close ? none() : flow_node();
        } else {
            i_ = p;
            skip_flow_space();
            if (at(i_) != ',' && at(i_) != close)
                throw Unmodelled{};
            value = none();
        }
        if (PyDict_SetItem(collection, key, value) < 0)
            throw Failed{};
    }
}

// --- the library as modelled -------------------------------------------------------

Name load_name{"load"};
Name full_loader_name{"FullLoader"};
Name yaml_constructors_name{"yaml_constructors"};
Name yaml_multi_constructors_name{"yaml_multi_constructors"};
Name nan_value_name{"nan_value"};

struct Library {
    FirstUse keeping;
    bool usable = false;
    PyObject* load = nullptr;
    KeptClass loader;
    KeptDict constructors;
    KeptDict multi_constructors;
};
Library library;

// The table `name` of `loader`, when it is a dict.
bool keep_table(KeptDict& kept, PyObject* loader, PyObject* name) noexcept
{
    Ref table = attr(loader, name);
    PyErr_Clear();
    return table && PyDict_CheckExact(table.get()) && kept.keep(table);
}

// Whether the kept table gives each of the library's own tags the safe
// constructor the library registered for it (`construct_yaml_` and the tag's
// last part): one added before the first use is not what the reader models.
bool stock_constructors(PyObject* table) noexcept
{
    static constexpr const char* tags[] = {"null", "bool",  "int", "float", "binary", "timestamp",
                                           "omap", "pairs", "set", "str",   "seq",    "map"};
    Ref module = steal(PyImport_ImportModule("yaml.constructor"));
    Ref safe = module ? steal(PyObject_GetAttrString(module, "SafeConstructor")) : Ref();
    PyErr_Clear();
    if (!safe || !PyType_Check(safe.get()))
        return false;
    for (const char* tag : tags) {
        Ref name = steal(PyUnicode_FromFormat("construct_yaml_%s", tag));
        Ref key = steal(PyUnicode_FromFormat("tag:yaml.org,2002:%s", tag));
        if (!name || !key) {
            PyErr_Clear();
            return false;
        }
        PyObject* own = nullptr;
        PyObject* used = nullptr;
        PyObject* safe_dict = reinterpret_cast<PyTypeObject*>(safe.get())->tp_dict;
        const bool read = PyDict_GetItemRef(safe_dict, name, &own) > 0
                          && PyDict_GetItemRef(table, key, &used) > 0;
        Ref held_own = steal(own), held_used = steal(used);
        PyErr_Clear();
        if (!read || held_own.get() != held_used.get())
            return false;
    }
    return true;
}

// Kept at the first call that finds `yaml.load` and `yaml.FullLoader` to be the
// library's own; the checks are for tested versions only.
bool keep_library(PyObject* load, PyObject* loader) noexcept
{
    Ref module = steal(PyImport_ImportModule("yaml"));
    Ref own_load = module ? attr(module, load_name) : Ref();
    Ref own_loader = own_load ? attr(module, full_loader_name) : Ref();
    PyErr_Clear();
    if (own_load.get() != load || own_loader.get() != loader || !PyType_Check(loader)
        || !defined_in(load, "yaml"))
        return false; // not yet: the library's own names are rebound, or replaced
    Ref nan = attr(loader, nan_value_name);
    PyErr_Clear();
    library.usable
        = distribution_version_in("PyYAML", {"6.0."}) && nan && PyFloat_CheckExact(nan.get())
          && library.loader.keep(reinterpret_cast<PyTypeObject*>(loader), "yaml")
          && keep_table(library.constructors, loader, yaml_constructors_name)
          && stock_constructors(library.constructors.dict())
          && keep_table(library.multi_constructors, loader, yaml_multi_constructors_name);
    if (library.usable) {
        library.load = Py_NewRef(load);
        shared_nan = nan.release();
    }
    return true;
}

} // namespace

bool library_modelled(PyObject* load, PyObject* loader) noexcept
{
    if (!library.keeping.made([load, loader] { return keep_library(load, loader); }))
        return false;
    return library.usable && load == library.load
           && loader == reinterpret_cast<PyObject*>(library.loader.type())
           && library.loader.unchanged() && library.constructors.unchanged()
           && library.multi_constructors.unchanged()
           && stock_resolvers(reinterpret_cast<PyTypeObject*>(loader));
}

Document read_document(PyObject* text) noexcept
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError))
            return {Reading::failed, {}};
        PyErr_Clear();
        return {Reading::unmodelled, {}};
    }
    const auto length = static_cast<std::size_t>(size);
    if (!printable(reinterpret_cast<const unsigned char*>(data), length))
        return {Reading::unmodelled, {}};
    try {
        Reader reader(data, length);
        return {Reading::read, reader.document()};
    } catch (const Unmodelled&) {
        return {Reading::unmodelled, {}};
    } catch (const Failed&) {
        return {Reading::failed, {}};
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {Reading::failed, {}};
    }
}

} // namespace tarvex::yaml
