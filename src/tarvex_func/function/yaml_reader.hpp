// The native reader behind `str_read_yaml`: a single plain YAML document read
// into the objects the library's full loader builds, and nothing more.
//
// It takes only documents made of what it models exactly: block and flow
// collections, plain, quoted and block scalars, comments, a leading "---" and a
// trailing "...". Anything else (tags, anchors, aliases, merge keys, complex
// keys, directives, tabs, a byte-order mark, timestamps, malformed text) is
// left to the library, which then reads the whole file itself.
#pragma once

#include "frame.hpp"

namespace tarvex::yaml {

enum class Reading {
    read,       // `value` holds the document's root object
    unmodelled, // nothing pending: the library reads the document
    failed,     // an exception is pending
};

struct Document {
    Reading outcome;
    Ref value;
};

// The document in `text` (a str), built as `yaml.load(text, Loader=yaml.FullLoader)`
// builds it.
Document read_document(PyObject* text) noexcept;

// Whether `load` and `loader` (what `yaml.load` and `yaml.FullLoader` hold at
// this call) are still the library that `read_document` models: its tested
// version, its loader classes and their constructor and resolver tables as
// they were at first use. False, with nothing pending, when they are not.
bool library_modelled(PyObject* load, PyObject* loader) noexcept;

} // namespace tarvex::yaml
