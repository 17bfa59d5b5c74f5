// The in-memory stand-ins for a file that the writers (`textkit`'s and
// `treekit`'s) fill before they open the real file, so that content which
// cannot be written leaves an existing file as it was. Included by the
// modules that write files.
#pragma once

#include "frame.hpp"

namespace tarvex {

// `io.BytesIO` and `io.TextIOWrapper`: the in-memory stand-ins for a file
// that the writers fill before they open the real one, so that a failure to
// make the content leaves an existing file as it was. A module that uses them
// holds them from exec with the statement `run(hold_io_streams)`.
struct IoStreams {
    PyObject* bytes_io = nullptr;
    PyObject* text_io_wrapper = nullptr;
    // What `open` uses for the encoding None: UTF-8 in the UTF-8 mode (also
    // the one the C locale turns on), else the locale's encoding, named so
    // that the stand-in does not warn a second time of a missing encoding.
    PyObject* default_encoding = nullptr;
    bool warn_default_encoding = false; // `-X warn_default_encoding`
};
extern IoStreams io_streams;
bool hold_io_streams(Exec&) noexcept;

// Text mode content refused before the file is opened, its exception
// pending: `open` with the encoding None would have warned of it before the
// content failed, so the warning is issued now. False when the warning is
// raised as an error: it is then pending in place of the refusal, which the
// host would never have reached.
bool warn_as_open_would(PyObject* encoding) noexcept;

// A text stream into `buffer` that encodes as a file opened with `encoding`
// does, translating newlines as `open`'s `newline` argument says.
Ref text_stand_in(PyObject* buffer, PyObject* encoding, PyObject* newline) noexcept;

} // namespace tarvex
