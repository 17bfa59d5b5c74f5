// textkit: strings taken as numbers, timestamps, format templates and
// file-system paths.
#include "frame.hpp"
#include "writing.hpp"
#include "yaml_reader.hpp"

#include <cfloat>
#include <cstdint>
#include <string>

namespace {
using namespace tarvex;

constexpr const char* default_format = "%Y-%m-%d %H:%M:%S.%f";

// --- functions -----------------------------------------------------------------

constexpr Spec str_int_spec{
    .name = "str_int",
    .doc = "str_int(x)",
    .line = 17,
    .params = {"x"},
};

constexpr Spec str_float_spec{
    .name = "str_float",
    .doc = "str_float(x)",
    .line = 24,
    .params = {"x"},
};

constexpr Spec str_time_spec{
    .name = "str_time",
    .doc = "str_time(x, fmt=u'%Y-%m-%d %H:%M:%S.%f')",
    .line = 31,
    .params = {"x", "fmt"},
    .defaults = {Default::str(default_format)},
    .locals = {"e"},
};

constexpr Spec str_isfile_spec{
    .name = "str_isfile",
    .doc = "str_isfile(x)",
    .line = 38,
    .params = {"x"},
};

constexpr Spec str_file_delete_spec{
    .name = "str_file_delete",
    .doc = "str_file_delete(x)",
    .line = 42,
    .params = {"x"},
    .locals = {"status"},
};

constexpr Spec str_isdir_spec{
    .name = "str_isdir",
    .doc = "str_isdir(x)",
    .line = 49,
    .params = {"x"},
};

constexpr Spec str_dir_delete_spec{
    .name = "str_dir_delete",
    .doc = "str_dir_delete(x)",
    .line = 53,
    .params = {"x"},
    .locals = {"status"},
};

constexpr Spec str_copy_spec{
    .name = "str_copy",
    .doc = "str_copy(x, y)",
    .line = 60,
    .params = {"x", "y"},
};

constexpr Spec str_move_spec{
    .name = "str_move",
    .doc = "str_move(x, y)",
    .line = 68,
    .params = {"x", "y"},
};

constexpr Spec str_format_spec{
    .name = "str_format",
    .doc = "str_format(x, *args, **kwargs)",
    .line = 74,
    .params = {"x"},
    .star_args = "args",
    .star_kwargs = "kwargs",
};

constexpr Spec str_format_s_spec{
    .name = "str_format_s",
    .doc = "str_format_s(x, *args)",
    .line = 78,
    .params = {"x"},
    .star_args = "args",
};

constexpr Spec str_read_yaml_spec{
    .name = "str_read_yaml",
    .doc = "str_read_yaml(x)",
    .line = 82,
    .params = {"x"},
    .locals = {"file", "data"},
};

constexpr Spec str_read_file_spec{
    .name = "str_read_file",
    .doc = "str_read_file(x, mode=u'r', encoding=u'utf-8')",
    .line = 91,
    .params = {"x", "mode", "encoding"},
    .defaults = {Default::str("r"), Default::str("utf-8")},
    .locals = {"file", "data"},
};

constexpr Spec str_read_line_spec{
    .name = "str_read_line",
    .doc = "str_read_line(x, mode=u'r', encoding=u'utf-8')",
    .line = 101,
    .params = {"x", "mode", "encoding"},
    .defaults = {Default::str("r"), Default::str("utf-8")},
    .locals = {"file", "data"},
    .generator = true,
};

constexpr Spec str_read_lines_spec{
    .name = "str_read_lines",
    .doc = "str_read_lines(x, mode=u'r', encoding=u'utf-8')",
    .line = 114,
    .params = {"x", "mode", "encoding"},
    .defaults = {Default::str("r"), Default::str("utf-8")},
    .locals = {"file", "data"},
};

constexpr Spec str_write_file_spec{
    .name = "str_write_file",
    .doc = "str_write_file(x, path, mode=u'w', encoding=u'utf-8')",
    .line = 124,
    .params = {"x", "path", "mode", "encoding"},
    .defaults = {Default::str("w"), Default::str("utf-8")},
    .locals = {"file"},
};

constexpr Spec str_files_dict_spec{
    .name = "str_files_dict",
    .doc = "str_files_dict(x, dirs=None, list skip_dir: list = None, "
           "list skip_file: list = None)",
    .line = 130,
    .params = {"x", "dirs", "skip_dir", "skip_file"},
    .defaults = {Default::none(), Default::none(), Default::none()},
    .locals = {"old", "new", "file_dict", "i", "new_root"},
    .exact = {nullptr, nullptr, list_type, list_type},
    .annotations = {{{"skip_dir", "list"}, {"skip_file", "list"}}},
};

constexpr Spec str_files_list_spec{
    .name = "str_files_list",
    .doc = "str_files_list(x)",
    .line = 148,
    .params = {"x"},
    .locals = {"files_path_list", "root", "dirs", "files", "file"},
};

Builtin open_builtin{"open"};

Name os_name{"os"};
Name path_name{"path"};
Name isfile_name{"isfile"};
Name isdir_name{"isdir"};
Name remove_name{"remove"};
Name listdir_name{"listdir"};
Name join_name{"join"};
Name basename_name{"basename"};
Name walk_name{"walk"};
Name name_name{"name"};
Name shutil_name{"shutil"};
Name rmtree_name{"rmtree"};
Name copy_name{"copy"};
Name copytree_name{"copytree"};
Name move_name{"move"};
Name datetime_name{"datetime"};
Name strptime_name{"strptime"};
Name timestamp_name{"timestamp"};
Name format_name{"format"};
Name yaml_name{"yaml"};
Name load_name{"load"};
Name full_loader_name{"FullLoader"};
Name read_name{"read"};
Name seek_name{"seek"};
Name readline_name{"readline"};
Name readlines_name{"readlines"};
Name write_name{"write"};
Name rstrip_name{"rstrip"};
Name replace_name{"replace"};
Name update_name{"update"};
Name append_name{"append"};
Name str_isfile_name{"str_isfile"};
Name str_isdir_name{"str_isdir"};
Name str_files_dict_name{"str_files_dict"};

// The globals and attribute chains the bodies read, cached while nothing
// along them changes.
GlobalChain os_path_isfile{os_name, path_name, isfile_name};
GlobalChain os_path_isdir{os_name, path_name, isdir_name};
GlobalChain os_path_join{os_name, path_name, join_name};
GlobalChain os_path_basename{os_name, path_name, basename_name};
GlobalChain os_remove{os_name, remove_name};
GlobalChain os_listdir{os_name, listdir_name};
GlobalChain os_walk{os_name, walk_name};
GlobalChain os_dot_name{os_name, name_name};
GlobalChain shutil_rmtree{shutil_name, rmtree_name};
GlobalChain shutil_copy{shutil_name, copy_name};
GlobalChain shutil_copytree{shutil_name, copytree_name};
GlobalChain shutil_move{shutil_name, move_name};
GlobalChain datetime_strptime{datetime_name, datetime_name, strptime_name};
GlobalChain yaml_load{yaml_name, load_name};
GlobalChain yaml_full_loader{yaml_name, full_loader_name};
GlobalChain str_isfile_global{str_isfile_name};
GlobalChain str_isdir_global{str_isdir_name};
GlobalChain str_files_dict_global{str_files_dict_name};

Text read_binary{"rb"};
Text write_binary{"wb"};
Text read_text{"r"};
Text utf_8{"utf-8"};
Text nt{"nt"};
Text slash{"/"};
Text backslash{"\\"};

Keywords<"encoding"> encoding_keyword;
Name flush_name{"flush"};
Keywords<"Loader"> loader_keyword;
Keywords<"topdown"> topdown_keyword;

// --- shared steps ----------------------------------------------------------------

// The truth of a value just computed: 1, 0, or -1 when it is missing (an
// exception is pending) or its truth test raises.
int truth(const Ref& value) noexcept { return value ? PyObject_IsTrue(value) : -1; }

// `os.path.join(x, y)`, `os.remove(x)`, `shutil.copy(x, y)`: the function
// read through its chain at each call.
template <class... Args> Ref chain_call(GlobalChain& chain, Args... args)
{
    Ref function = chain.get();
    return function ? call(function, args...) : Ref();
}

// `os.path.isfile(p)` or `os.path.isdir(p)` as a truth value.
int path_test(GlobalChain& test, PyObject* p) { return truth(chain_call(test, p)); }

// `value == text`, the host's equality.
int equals(PyObject* value, PyObject* text) { return PyObject_RichCompareBool(value, text, Py_EQ); }

// `open(x, mode, encoding=encoding)` through the built-in kept at exec.
Ref open_file(PyObject* x, PyObject* mode, PyObject* encoding)
{
    return call_with_keywords(open_builtin, {x, mode}, encoding_keyword, {encoding});
}

// `if mode == binary: encoding = None`, then `open(x, mode, encoding=encoding)`.
Ref open_file_in_mode(Site& at, int line, PyObject* x, PyObject* mode, PyObject* encoding,
                      PyObject* binary)
{
    at.line(line);
    const int is_binary = equals(mode, binary);
    if (is_binary < 0)
        return {};
    at.line(line + 1);
    return open_file(x, mode, is_binary ? Py_None : encoding);
}

Ref unbound_local(const char* name)
{
    PyErr_Format(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
    return {};
}

// `return data` at `line` after a file block whose exception `__exit__`
// suppressed: `data` was never bound.
Ref return_unbound_data(Site& at, int line)
{
    at.line(line);
    return unbound_local("data");
}

// --- conversion and formatting ----------------------------------------------------
//
// Text that is not a number is the common failure of `str_int` and
// `str_float`, and the exception the host would build for it (with the text's
// repr in its message) is thrown away at once. ASCII text is therefore checked
// against the literal's grammar first. Text that passes is converted here
// when that is plain (a few digits; a float literal without underscores,
// through the host's own string conversion); any other reaches the host's
// conversion, whose result (or failure, such as too many digits) stands.

// The space that the host strips around an ASCII number.
constexpr bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// `digit ("_"? digit)*` from `p`: the end of the run, or nullptr without one.
const char* digit_run(const char* p, const char* end)
{
    if (p == end || !is_digit(*p))
        return nullptr;
    for (++p; p < end; ++p)
        if (!is_digit(*p) && !(*p == '_' && p + 1 < end && is_digit(p[1])))
            break;
    return p;
}

// The text of an exact ASCII str without the surrounding space: `number`
// where it starts, `p` past its sign; false for anything else.
bool ascii_number_text(PyObject* x, const char*& number, const char*& p, const char*& end)
{
    if (!PyUnicode_CheckExact(x) || !PyUnicode_IS_ASCII(x))
        return false;
    p = static_cast<const char*>(PyUnicode_DATA(x));
    end = p + PyUnicode_GET_LENGTH(x);
    while (p < end && is_space(*p))
        ++p;
    while (end > p && is_space(end[-1]))
        --end;
    number = p;
    if (p < end && (*p == '+' || *p == '-'))
        ++p;
    return true;
}

bool has_underscore(const char* p, const char* end)
{
    for (; p < end; ++p)
        if (*p == '_')
            return true;
    return false;
}

// What the scan makes of a text: refused (the host would refuse it too),
// converted here, or left to the host's conversion.
enum class Scan { refused, converted, host };

// Up to 18 digits always fit a long long.
constexpr std::ptrdiff_t max_plain_digits = 18;
// Text longer than this is not converted here: it is the host's when it
// starts as a number does, refused when it cannot. Scanning the rest would
// cost about what the host's own parse does, and text that fails only late
// is rare.
constexpr std::ptrdiff_t max_plain_float = 24;

// `int(x)` of ASCII text: plain digits short enough are converted here, any
// other text the literal's grammar allows is the host's.
Scan scan_int(PyObject* x, Ref& value)
{
    const char *number, *p, *end;
    if (!ascii_number_text(x, number, p, end))
        return Scan::host;
    if (end - p > max_plain_digits)
        return is_digit(*p) ? Scan::host : Scan::refused;
    if (digit_run(p, end) != end)
        return Scan::refused;
    if (has_underscore(p, end))
        return Scan::host;
    long long magnitude = 0;
    for (; p < end; ++p)
        magnitude = magnitude * 10 + (*p - '0');
    value = steal(PyLong_FromLongLong(*number == '-' ? -magnitude : magnitude));
    return Scan::converted;
}

bool equals_ignoring_case(const char* p, const char* end, const char* word)
{
    for (; *word; ++p, ++word)
        if (p == end || (*p | 0x20) != *word)
            return false;
    return p == end;
}

// Whether `[p, end)` is the body of a float literal after its sign.
bool float_literal(const char* p, const char* end)
{
    if (equals_ignoring_case(p, end, "inf") || equals_ignoring_case(p, end, "infinity")
        || equals_ignoring_case(p, end, "nan"))
        return true;
    const char* digits = digit_run(p, end);
    bool any_digit = digits != nullptr;
    if (digits)
        p = digits;
    if (p < end && *p == '.') {
        if (const char* fraction = digit_run(++p, end)) {
            p = fraction;
            any_digit = true;
        }
    }
    if (!any_digit)
        return false;
    if (p < end && (*p == 'e' || *p == 'E')) {
        if (++p < end && (*p == '+' || *p == '-'))
            ++p;
        p = digit_run(p, end);
    }
    return p == end;
}

// The powers of ten that a double holds exactly.
constexpr double exact_powers_of_ten[]
    = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
       1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The value of a validated decimal literal without sign or underscores, when
// its digits form an integer a double holds exactly (below 2**53) and its
// scale is a power of ten that a double holds exactly: one multiplication or
// division, rounded once, is then the correctly rounded value that the
// host's conversion gives. False for anything else (the words inf and nan
// among them), which the host's conversion decides.
bool exact_decimal(const char* p, const char* end, double& result)
{
    static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must round to double");
    constexpr std::uint64_t exact_limit = std::uint64_t{1} << 53;
    std::uint64_t digits = 0;
    int scale = 0;
    int count = 0;
    bool fraction = false;
    for (; p < end && (is_digit(*p) || *p == '.'); ++p) {
        if (*p == '.') {
            fraction = true;
            continue;
        }
        if (++count > 16)
            return false;
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
        scale -= fraction;
    }
    if (p < end) {
        // The words inf and nan, or the exponent: the grammar check left a
        // sign and digits after `e`.
        if ((*p | 0x20) != 'e')
            return false;
        const bool negative = *++p == '-';
        p += *p == '-' || *p == '+';
        if (end - p > 3)
            return false;
        int exponent = 0;
        for (; p < end; ++p)
            exponent = exponent * 10 + (*p - '0');
        scale += negative ? -exponent : exponent;
    }
    if (digits >= exact_limit || scale < -22 || scale > 22)
        return false;
    const double mantissa = static_cast<double>(digits);
    result = scale >= 0 ? mantissa * exact_powers_of_ten[scale]
                        : mantissa / exact_powers_of_ten[-scale];
    return true;
}

// `float(x)` of ASCII text: a literal without underscores is converted here
// by the host's own string conversion, the one `float()` ends in (an
// overflow gives an infinity); one with underscores is the host's.
Scan scan_float(PyObject* x, Ref& value)
{
    const char *number, *p, *end;
    if (!ascii_number_text(x, number, p, end))
        return Scan::host;
    // (The words inf, infinity and nan are short.)
    if (end - p > max_plain_float)
        return is_digit(*p) || *p == '.' ? Scan::host : Scan::refused;
    if (!float_literal(p, end))
        return Scan::refused;
    if (has_underscore(p, end))
        return Scan::host;
    double parsed;
    if (exact_decimal(p, end, parsed)) {
        value = steal(PyFloat_FromDouble(*number == '-' ? -parsed : parsed));
        return Scan::converted;
    }
    char* stop = nullptr;
    parsed = PyOS_string_to_double(number, &stop, nullptr);
    if (parsed == -1.0 && PyErr_Occurred())
        return Scan::converted;
    if (stop != end)
        return Scan::host;
    value = steal(PyFloat_FromDouble(parsed));
    return Scan::converted;
}

// The conversion of `x` by `scan` or else `host`; empty with an ordinary
// exception discarded when the text is no number, empty with the exception
// pending when it is not ordinary.
Ref converted(PyObject* x, Scan (*scan)(PyObject*, Ref&), PyObject* (*host)(PyObject*),
              bool& failed)
{
    failed = false;
    Ref value;
    const Scan outcome = scan(x, value);
    if (outcome == Scan::refused)
        return {};
    if (outcome == Scan::host)
        value = steal(host(x));
    if (!value)
        failed = !discard_ordinary();
    return value;
}

Ref str_int(Site& at, PyObject* x)
{
    at.line(19);
    if (PyLong_CheckExact(x))
        return borrow(x);
    bool failed;
    if (Ref value = converted(x, scan_int, PyNumber_Long, failed))
        return value;
    if (failed)
        return {};
    return steal(PyLong_FromLong(0));
}

Ref str_float(Site& at, PyObject* x)
{
    at.line(26);
    if (PyFloat_CheckExact(x))
        return borrow(x);
    bool failed;
    if (Ref value = converted(x, scan_float, PyNumber_Float, failed))
        return value;
    if (failed)
        return {};
    at.line(28);
    return steal(PyFloat_FromDouble(0.0));
}

// datetime.datetime.strptime(x, fmt).timestamp()
Ref parse_local_time(PyObject* x, PyObject* fmt)
{
    Ref strptime = datetime_strptime.get();
    Ref datetime_object = strptime ? call(strptime, x, fmt) : Ref();
    return datetime_object ? call_method(datetime_object, timestamp_name) : Ref();
}

Ref str_time(Site& at, PyObject* x, PyObject* fmt)
{
    at.line(33);
    if (Ref timestamp = parse_local_time(x, fmt))
        return timestamp;
    return exception_as_result(at);
}

// x.format(*args, **kwargs)
Ref str_format(Site& at, PyObject* x, PyObject* args, PyObject* kwargs)
{
    at.line(75);
    Ref format = attr(x, format_name);
    if (!format)
        return {};
    return steal(PyObject_VectorcallDict(format, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                                         kwargs));
}

// x % args
Ref str_format_s(Site& at, PyObject* x, PyObject* args)
{
    at.line(79);
    return steal(PyNumber_Remainder(x, args));
}

// --- paths and file-system operations ------------------------------------------------

Ref str_isfile(Site& at, PyObject* x)
{
    at.line(39);
    return chain_call(os_path_isfile, x);
}

Ref str_isdir(Site& at, PyObject* x)
{
    at.line(50);
    return chain_call(os_path_isdir, x);
}

// status = <test>(x); if status: <module>.<operation>(x); return not status
Ref delete_if(Site& at, int line, GlobalChain& test, GlobalChain& operation, PyObject* x)
{
    at.line(line);
    Ref test_function = test.get();
    const int status = truth(test_function ? call(test_function, x) : Ref());
    if (status < 0)
        return {};
    if (status) {
        at.line(line + 2);
        if (!chain_call(operation, x))
            return {};
    }
    at.line(line + 3);
    return boolean(!status);
}

Ref str_file_delete(Site& at, PyObject* x)
{
    return delete_if(at, 43, str_isfile_global, os_remove, x);
}

Ref str_dir_delete(Site& at, PyObject* x)
{
    return delete_if(at, 54, str_isdir_global, shutil_rmtree, x);
}

// not (os.path.isfile(y) or os.path.isdir(y))
Ref nothing_at(Site& at, int line, PyObject* y)
{
    at.line(line);
    int exists = path_test(os_path_isfile, y);
    if (exists == 0)
        exists = path_test(os_path_isdir, y);
    if (exists < 0)
        return {};
    return boolean(!exists);
}

Ref str_copy(Site& at, PyObject* x, PyObject* y)
{
    at.line(61);
    const int is_file = path_test(os_path_isfile, x);
    if (is_file < 0)
        return {};
    if (is_file) {
        at.line(62);
        if (!chain_call(shutil_copy, x, y))
            return {};
    } else {
        at.line(63);
        const int is_dir = path_test(os_path_isdir, x);
        if (is_dir < 0)
            return {};
        at.line(64);
        if (is_dir && !chain_call(shutil_copytree, x, y))
            return {};
    }
    return nothing_at(at, 65, y);
}

Ref str_move(Site& at, PyObject* x, PyObject* y)
{
    at.line(69);
    int exists = path_test(os_path_isfile, x);
    if (exists == 0)
        exists = path_test(os_path_isdir, x);
    if (exists < 0)
        return {};
    at.line(70);
    if (exists && !chain_call(shutil_move, x, y))
        return {};
    return nothing_at(at, 71, y);
}

// --- reading and writing -----------------------------------------------------------

// if not os.path.isfile(x): return None
// if mode == 'rb': encoding = None
// with open(x, mode, encoding=encoding) as file: data = file.<read>()
// return data
Ref read_whole(Site& at, int line, PyObject* x, PyObject* mode, PyObject* encoding, PyObject* read)
{
    at.line(line);
    const int is_file = path_test(os_path_isfile, x);
    if (is_file <= 0)
        return is_file < 0 ? Ref() : none();
    const int with_line = line + 2;
    return with_block(
        at, open_file_in_mode(at, line + 1, x, mode, encoding, read_binary), with_line,
        with_line + 1, [read](PyObject* file) { return call_method(file, read); },
        [&at, with_line] { return return_unbound_data(at, with_line + 2); });
}

Ref str_read_file(Site& at, PyObject* x, PyObject* mode, PyObject* encoding)
{
    return read_whole(at, 92, x, mode, encoding, read_name);
}

Ref str_read_lines(Site& at, PyObject* x, PyObject* mode, PyObject* encoding)
{
    return read_whole(at, 115, x, mode, encoding, readlines_name);
}

// The document in `file` read natively, when it is made only of what the
// reader models; otherwise the file is back at its start for the library,
// so that its results and errors are its own.
yaml::Document read_natively(PyObject* file)
{
    Ref text = call_method(file, read_name);
    if (!text) {
        if (!discard_ordinary())
            return {yaml::Reading::failed, {}};
    } else if (PyUnicode_CheckExact(text.get())) {
        yaml::Document document = yaml::read_document(text);
        if (document.outcome != yaml::Reading::unmodelled)
            return document;
    }
    Ref zero = steal(PyLong_FromLong(0));
    Ref start = zero ? call_method(file, seek_name, zero.get()) : Ref();
    return {start ? yaml::Reading::unmodelled : yaml::Reading::failed, {}};
}

// yaml.load(file, Loader=yaml.FullLoader)
Ref load_yaml(PyObject* file)
{
    Ref load = yaml_load.get();
    Ref loader = load ? yaml_full_loader.get() : Ref();
    if (!loader)
        return {};
    if (yaml::library_modelled(load, loader)) {
        yaml::Document document = read_natively(file);
        if (document.outcome != yaml::Reading::unmodelled)
            return std::move(document.value);
    }
    return call_with_keywords(load, {file}, loader_keyword, {loader.get()});
}

Ref str_read_yaml(Site& at, PyObject* x)
{
    at.line(83);
    const int is_file = path_test(os_path_isfile, x);
    if (is_file <= 0)
        return is_file < 0 ? Ref() : none();
    at.line(84);
    return with_block(at, open_file(x, read_text, utf_8), 84, 85, load_yaml,
                      [&at] { return return_unbound_data(at, 86); });
}

// The kind of content a valid `open` mode writes: none for a mode that only
// reads or that `open` refuses.
enum class Writes { nothing, text, bytes };

Writes writes_in_mode(PyObject* mode)
{
    if (!PyUnicode_Check(mode))
        return Writes::nothing;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(mode, &size);
    if (!text) {
        PyErr_Clear();
        return Writes::nothing;
    }
    int kinds = 0;
    bool writes = false, binary = false, textual = false, update = false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (std::char_traits<char>::find(text, i, text[i]))
            return Writes::nothing; // a repeated letter
        switch (text[i]) {
        case 'r':
            ++kinds;
            break;
        case 'w':
        case 'x':
        case 'a':
            ++kinds;
            writes = true;
            break;
        case '+':
            update = writes = true;
            break;
        case 'b':
            binary = true;
            break;
        case 't':
            textual = true;
            break;
        default:
            return Writes::nothing;
        }
    }
    if (kinds != 1 || (binary && textual) || !(writes || update))
        return Writes::nothing;
    return binary ? Writes::bytes : Writes::text;
}

// The content's buffer, taken as the file's `write` asks for it (a simple,
// C-contiguous view) before `open` truncates the file, and held until the
// write is done: content that cannot give one (a str, a released memoryview,
// a strided slice, an exporter that raises) is refused with the file as it
// was, and what was checked cannot change before the file takes it (a held
// view keeps a bytearray from resizing and a memoryview from being released).
class HeldBuffer {
public:
    HeldBuffer() noexcept = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer()
    {
        if (held_)
            PyBuffer_Release(&view_);
    }

    bool take(PyObject* x) noexcept
    {
        if (PyObject_GetBuffer(x, &view_, PyBUF_SIMPLE) < 0)
            return false;
        held_ = true;
        if (PyBuffer_IsContiguous(&view_, 'C'))
            return true;
        PyErr_Format(PyExc_TypeError, "write() argument must be contiguous buffer, not %.50s",
                     Py_TYPE(x)->tp_name);
        return false;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The TypeError that the file object's `write` raises for content of the
// wrong kind, raised before `open` has truncated or created the file; binary
// content has its buffer taken into `held`.
bool content_fits_mode(PyObject* x, PyObject* mode, HeldBuffer& held)
{
    switch (writes_in_mode(mode)) {
    case Writes::text:
        if (PyUnicode_Check(x))
            return true;
        PyErr_Format(PyExc_TypeError, "write() argument must be str, not %.100s",
                     Py_TYPE(x)->tp_name);
        return false;
    case Writes::bytes:
        return held.take(x);
    default:
        return true;
    }
}

// Content of the wrong kind for the mode is refused before the file is
// opened: once `open` has run, the old content is gone.
// Writes `x` through a text stream like the one `open` would make (the same
// encoding, errors and newline translation) into memory, so that text the
// file cannot take (an unknown codec, an unencodable character) fails here,
// before `open` truncates the file. The file itself still gets `x` written
// into it, so what it receives stays what it always received.
bool file_would_take(PyObject* x, PyObject* encoding)
{
    Ref buffer = call(io_streams.bytes_io);
    Ref stream = buffer ? text_stand_in(buffer, encoding, Py_None) : Ref();
    return stream && call_method(stream, write_name, x) && call_method(stream, flush_name);
}

Ref str_write_file(Site& at, PyObject* x, PyObject* path, PyObject* mode, PyObject* encoding)
{
    at.line(125);
    const int is_binary = equals(mode, write_binary);
    if (is_binary < 0)
        return {};
    at.line(126);
    const bool text_mode = writes_in_mode(mode) == Writes::text;
    HeldBuffer content;
    if (!content_fits_mode(x, mode, content)) {
        if (text_mode)
            warn_as_open_would(encoding);
        return {};
    }
    if (text_mode && !file_would_take(x, encoding)) {
        if (!warn_as_open_would(encoding))
            return {};
        at.line(127);
        at.report();
        at.line(126);
        return {};
    }
    Ref written = with_block(
        at, open_file(path, mode, is_binary ? Py_None : encoding), 126, 127,
        [x](PyObject* file) { return call_method(file, write_name, x); }, none);
    return written ? none() : Ref();
}

// --- the line generator ---------------------------------------------------------------

// The method descriptor `type.name`, kept for the life of the process;
// nullptr if there is none.
PyObject* method_of(PyTypeObject* type, PyObject* name)
{
    PyObject* method = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
    if (!method)
        PyErr_Clear();
    return method;
}

// `data.rstrip()`. The method of an exact str or bytes is fixed (built-in
// types cannot be changed), so it is called without the lookup.
Ref rstrip(PyObject* data)
{
    static PyObject* const str_rstrip = method_of(&PyUnicode_Type, rstrip_name);
    static PyObject* const bytes_rstrip = method_of(&PyBytes_Type, rstrip_name);
    PyObject* method = PyUnicode_CheckExact(data) ? str_rstrip
                       : PyBytes_CheckExact(data) ? bytes_rstrip
                                                  : nullptr;
    if (!method)
        return call_method(data, rstrip_name);
    return steal(PyObject_Vectorcall(method, &data, 1, nullptr));
}

// What `str_read_line` keeps between its yields.
struct ReadLineFrame {
    Ref x, mode, encoding, file, data; // the code object's locals
    With block;
    bool in_loop = false;

    auto held() { return std::tie(x, mode, encoding, file, data, block); }
};

constexpr int lines_with_line = 104;

// An exception raised in the `with` block (at the current line) closes the
// file; the generator ends with it, or quietly when `__exit__` suppresses it.
Ref leave_lines_block(Site& at, ReadLineFrame& f)
{
    f.in_loop = false;
    f.block.leave_failed(at, lines_with_line);
    return {};
}

// if not os.path.isfile(x): return
// if mode == 'rb': encoding = None
// with open(x, mode, encoding=encoding) as file: ...
bool open_lines(Resumption& run, ReadLineFrame& f)
{
    run.line(102);
    const int is_file = path_test(os_path_isfile, f.x);
    if (is_file <= 0)
        return false;
    run.line(103);
    const int is_binary = equals(f.mode, read_binary);
    if (is_binary < 0)
        return false;
    if (is_binary)
        f.encoding = none();
    run.line(lines_with_line);
    Ref opened = open_file(f.x, f.mode, f.encoding);
    if (!opened || !f.block.enter(opened))
        return false;
    f.file = borrow(f.block.value());
    f.in_loop = true;
    return true;
}

// while True:
//     data = file.readline()
//     if not data: break
//     yield data.rstrip()
Ref read_line_step(Resumption& run, ReadLineFrame& f)
{
    Site& at = run.site;
    if (!f.in_loop) {
        if (!open_lines(run, f))
            return {};
    } else if (run.thrown()) {
        at.line(109);
        return leave_lines_block(at, f);
    }
    at.line(106);
    f.data = call_method(f.file, readline_name);
    if (!f.data)
        return leave_lines_block(at, f);
    at.line(107);
    const int more = PyObject_IsTrue(f.data);
    if (more < 0)
        return leave_lines_block(at, f);
    if (!more) {
        at.line(108);
        f.in_loop = false;
        f.block.exit();
        return {};
    }
    at.line(109);
    Ref line = rstrip(f.data);
    if (!line)
        return leave_lines_block(at, f);
    return line;
}

Ref str_read_line(Site& at, PyObject* x, PyObject* mode, PyObject* encoding)
{
    return generator<read_line_step>(at, ReadLineFrame{borrow(x), borrow(mode), borrow(encoding)});
}

// --- directory listing --------------------------------------------------------------

// os.name == 'nt'
int on_nt()
{
    Ref name = os_dot_name.get();
    return name ? equals(name, nt) : -1;
}

// `old`, `new`: the separator a label replaces and the one it gets.
Ref separator(Site& at, int line, bool replaced)
{
    at.line(line);
    const int nt_host = on_nt();
    if (nt_host < 0)
        return {};
    return borrow(nt_host == replaced ? slash : backslash);
}

// `name in skip and <test>(os.path.join(x, name))` for a true `skip`.
int skipped(PyObject* skip, PyObject* name, GlobalChain& test, PyObject* x)
{
    if (skip == Py_None || PyList_GET_SIZE(skip) == 0)
        return 0;
    const int listed = PySequence_Contains(skip, name);
    if (listed <= 0)
        return listed;
    Ref path = chain_call(os_path_join, x, name);
    return path ? path_test(test, path) : -1;
}

// file_dict.update(str_files_dict(os.path.join(x, i), os.path.join(dirs, i), skip_dir, skip_file))
bool merge_subdirectory(Site& at, PyObject* file_dict, PyObject* x, PyObject* dirs, PyObject* i,
                        PyObject* skip_dir, PyObject* skip_file)
{
    at.line(143);
    Ref new_root = chain_call(os_path_join, x, i);
    if (!new_root)
        return false;
    at.line(144);
    Ref files_dict = str_files_dict_global.get();
    Ref label = files_dict ? chain_call(os_path_join, dirs, i) : Ref();
    // The nested call reaches this body again without the host counting it.
    if (!label || Py_EnterRecursiveCall(" while calling a Python object"))
        return false;
    Ref nested = call(files_dict, new_root, label, skip_dir, skip_file);
    Py_LeaveRecursiveCall();
    if (!nested)
        return false;
    if (PyDict_Check(nested.get()))
        return PyDict_Update(file_dict, nested) == 0;
    return static_cast<bool>(call_method(file_dict, update_name, nested));
}

// One entry `i` of the directory `x` labelled `dirs`.
bool list_entry(Site& at, PyObject* file_dict, PyObject* x, PyObject* dirs, PyObject* i,
                PyObject* skip_dir, PyObject* skip_file)
{
    at.line(136);
    int skip = skipped(skip_file, i, os_path_isfile, x);
    if (skip == 0) {
        at.line(138);
        skip = skipped(skip_dir, i, os_path_isdir, x);
    }
    if (skip != 0)
        return skip > 0;
    at.line(140);
    Ref path = chain_call(os_path_join, x, i);
    const int is_file = path ? path_test(os_path_isfile, path) : -1;
    if (is_file < 0)
        return false;
    if (is_file) {
        at.line(141);
        Ref files = steal(PyObject_GetItem(file_dict, dirs));
        if (!files)
            return false;
        if (PyList_CheckExact(files.get()))
            return PyList_Append(files, i) == 0;
        return static_cast<bool>(call_method(files, append_name, i));
    }
    at.line(142);
    path = chain_call(os_path_join, x, i);
    const int is_dir = path ? path_test(os_path_isdir, path) : -1;
    if (is_dir <= 0)
        return is_dir == 0;
    return merge_subdirectory(at, file_dict, x, dirs, i, skip_dir, skip_file);
}

Ref str_files_dict(Site& at, PyObject* x, PyObject* dirs, PyObject* skip_dir, PyObject* skip_file)
{
    Ref old = separator(at, 131, true);
    Ref new_ = old ? separator(at, 132, false) : Ref();
    if (!new_)
        return {};
    at.line(133);
    const int labelled = PyObject_IsTrue(dirs);
    if (labelled < 0)
        return {};
    Ref label
        = labelled ? call_method(dirs, replace_name, old, new_) : chain_call(os_path_basename, x);
    if (!label)
        return {};
    at.line(134);
    Ref files = steal(PyList_New(0));
    Ref file_dict = files ? steal(PyDict_New()) : Ref();
    if (!file_dict || PyDict_SetItem(file_dict, label, files) < 0)
        return {};
    at.line(135);
    Ref entries = chain_call(os_listdir, x);
    Ref iterator = entries ? steal(PyObject_GetIter(entries)) : Ref();
    if (!iterator)
        return {};
    while (Ref i = steal(PyIter_Next(iterator))) {
        if (!list_entry(at, file_dict, x, label, i, skip_dir, skip_file))
            return {};
        at.line(135);
    }
    if (PyErr_Occurred())
        return {};
    at.line(145);
    return file_dict;
}

// `root, dirs, files = item`
bool unpack_three(PyObject* item, Ref (&values)[3])
{
    Ref iterator = steal(PyObject_GetIter(item));
    if (!iterator)
        return false;
    for (Py_ssize_t n = 0; n < 3; ++n) {
        values[n] = steal(PyIter_Next(iterator));
        if (!values[n]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)",
                             n);
            return false;
        }
    }
    if (Ref extra = steal(PyIter_Next(iterator))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
        return false;
    }
    return !PyErr_Occurred();
}

// for file in files: files_path_list.append(os.path.join(root, file))
bool append_paths(Site& at, PyObject* files_path_list, PyObject* root, PyObject* files)
{
    at.line(152);
    Ref iterator = steal(PyObject_GetIter(files));
    if (!iterator)
        return false;
    while (Ref file = steal(PyIter_Next(iterator))) {
        at.line(153);
        Ref path = chain_call(os_path_join, root, file.get());
        if (!path || PyList_Append(files_path_list, path) < 0)
            return false;
        at.line(152);
    }
    return !PyErr_Occurred();
}

Ref str_files_list(Site& at, PyObject* x)
{
    at.line(149);
    Ref files_path_list = steal(PyList_New(0));
    if (!files_path_list)
        return {};
    at.line(150);
    Ref is_dir_function = str_isdir_global.get();
    const int is_dir = truth(is_dir_function ? call(is_dir_function, x) : Ref());
    if (is_dir <= 0)
        return is_dir < 0 ? Ref() : files_path_list;
    at.line(151);
    Ref walk = os_walk.get();
    Ref walker = walk ? call_with_keywords(walk, {x}, topdown_keyword, {Py_False}) : Ref();
    Ref iterator = walker ? steal(PyObject_GetIter(walker)) : Ref();
    if (!iterator)
        return {};
    while (Ref item = steal(PyIter_Next(iterator))) {
        Ref triple[3];
        if (!unpack_three(item, triple) || !append_paths(at, files_path_list, triple[0], triple[2]))
            return {};
        at.line(151);
    }
    if (PyErr_Occurred())
        return {};
    return files_path_list;
}

// --- module --------------------------------------------------------------------

constexpr Statement statements[] = {
    import_module(10, "datetime"),
    import_module(11, "os.path"),
    import_module(12, "shutil"),
    import_module(14, "yaml"),
    def<str_int_spec, str_int>(),
    def<str_float_spec, str_float>(),
    def<str_time_spec, str_time>(),
    def<str_isfile_spec, str_isfile>(),
    def<str_file_delete_spec, str_file_delete>(),
    def<str_isdir_spec, str_isdir>(),
    def<str_dir_delete_spec, str_dir_delete>(),
    def<str_copy_spec, str_copy>(),
    def<str_move_spec, str_move>(),
    def<str_format_spec, str_format>(),
    def<str_format_s_spec, str_format_s>(),
    def<str_read_yaml_spec, str_read_yaml>(),
    def<str_read_file_spec, str_read_file>(),
    def<str_read_line_spec, str_read_line>(),
    def<str_read_lines_spec, str_read_lines>(),
    def<str_write_file_spec, str_write_file>(),
    def<str_files_dict_spec, str_files_dict>(),
    def<str_files_list_spec, str_files_list>(),
    run(hold_io_streams),
};

constexpr ModuleDef textkit{
    .name = "textkit",
    .doc = "Strings as numbers, timestamps, format templates and file-system paths.",
    .statements = statements,
    .runs_without_gil = true,
};

} // namespace

PyMODINIT_FUNC PyInit_textkit() { return tarvex::init(textkit); }
