// How the YAML library's resolver types a plain scalar, and whether a loader
// or dumper class still resolves with exactly those rules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace tarvex::yaml {

// What the library's resolver makes of a scalar's text when it stands plain.
// `yaml` is the tag of the lone indicators "!", "&" and "*", which the stock
// table also lists.
enum class Implicit : unsigned char {
    str,
    null,
    boolean,
    integer,
    floating,
    timestamp,
    merge,
    value,
    yaml
};

// `text` as UTF-8: the tag the library's `Resolver.resolve(ScalarNode, text,
// (True, False))` gives with the stock implicit resolvers (first-character
// dispatch, the '' key, and `$` matching before one trailing "\n" as well as
// at the end).
Implicit resolve_plain(std::string_view text) noexcept;

// Whether `resolver_class` (a dumper or loader class) resolves with exactly
// the stock rules that resolve_plain models: its `yaml_implicit_resolvers`
// table (found along its MRO) is the one kept at first use, holding the stock
// rules then and the same lists with the same contents now, and it has no
// path resolvers. Nothing is pending afterwards.
bool stock_resolvers(PyTypeObject* resolver_class) noexcept;

} // namespace tarvex::yaml
