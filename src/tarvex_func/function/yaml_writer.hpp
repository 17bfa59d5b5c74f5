// The YAML text the library's default dumper writes for plain data, made
// without it.
#pragma once

#include "frame.hpp"

namespace tarvex::yaml {

// The options of `yaml.dump` that the writer takes, as the caller gave them.
struct DumpOptions {
    PyObject* default_style;
    PyObject* default_flow_style;
    PyObject* canonical;
    PyObject* indent;
    PyObject* allow_unicode;
    PyObject* sort_keys;
};

// What `dump(data, stream, **options)` writes into a text stream, as a str,
// when `dump` is the library's own, the library is as the writer models it,
// `data` is a tree of exact dict, list, str, int, float, bool and None, and
// the options are ones the writer models. Otherwise an empty Ref with nothing
// pending: the call then belongs to the library. An empty Ref with an error
// pending only when memory ran out.
Ref dump_plain(PyObject* dump, PyObject* data, const DumpOptions& options) noexcept;

} // namespace tarvex::yaml
