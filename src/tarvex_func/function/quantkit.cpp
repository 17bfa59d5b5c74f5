// quantkit: number conversion and timestamp formatting.
#include "frame.hpp"

namespace {
using namespace tarvex;

constexpr const char* default_format = "%Y-%m-%d %H:%M:%S.%f";

// --- functions -----------------------------------------------------------------

constexpr Spec number_str_spec{
    .name = "number_str",
    .doc = "number_str(x)",
    .line = 13,
    .params = {"x"},
};

constexpr Spec number_int_spec{
    .name = "number_int",
    .doc = "number_int(x)",
    .line = 17,
    .params = {"x"},
};

constexpr Spec number_float_spec{
    .name = "number_float",
    .doc = "number_float(x)",
    .line = 21,
    .params = {"x"},
};

constexpr Spec number_time_spec{
    .name = "number_time",
    .doc = "number_time(x, fmt=u'%Y-%m-%d %H:%M:%S.%f')",
    .line = 25,
    .params = {"x", "fmt"},
    .defaults = {Default::str(default_format)},
    .locals = {"datetime_object", "e"},
};

Name datetime_name{"datetime"};
Name fromtimestamp_name{"fromtimestamp"};
GlobalChain datetime_fromtimestamp{datetime_name, datetime_name, fromtimestamp_name};
Name strftime_name{"strftime"};

// --- bodies --------------------------------------------------------------------

Ref number_str(Site& at, PyObject* x)
{
    at.line(14);
    if (PyUnicode_CheckExact(x))
        return borrow(x);
    return steal(PyObject_Str(x));
}

Ref number_int(Site& at, PyObject* x)
{
    at.line(18);
    if (PyLong_CheckExact(x))
        return borrow(x);
    return steal(PyNumber_Long(x));
}

Ref number_float(Site& at, PyObject* x)
{
    at.line(22);
    if (PyFloat_CheckExact(x))
        return borrow(x);
    return steal(PyNumber_Float(x));
}

// datetime.datetime.fromtimestamp(x).strftime(fmt)
Ref format_local_time(Site& at, PyObject* x, PyObject* fmt)
{
    at.line(27);
    Ref fromtimestamp = datetime_fromtimestamp.get();
    if (!fromtimestamp)
        return {};
    Ref datetime_object = call(fromtimestamp, x);
    if (!datetime_object)
        return {};
    at.line(28);
    return call_method(datetime_object, strftime_name, fmt);
}

Ref number_time(Site& at, PyObject* x, PyObject* fmt)
{
    if (Ref text = format_local_time(at, x, fmt))
        return text;
    return exception_as_result(at);
}

// --- module --------------------------------------------------------------------

constexpr Statement statements[] = {
    import_module(10, "datetime"),        def<number_str_spec, number_str>(),
    def<number_int_spec, number_int>(),   def<number_float_spec, number_float>(),
    def<number_time_spec, number_time>(),
};

constexpr ModuleDef quantkit{
    .name = "quantkit",
    .doc = "Number conversion and the formatting of timestamps as local time.",
    .statements = statements,
    .runs_without_gil = true,
};

} // namespace

PyMODINIT_FUNC PyInit_quantkit() { return tarvex::init(quantkit); }
