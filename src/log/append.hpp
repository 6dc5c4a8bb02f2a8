// Appending one record's line to a file.
#pragma once

#include <Python.h>

namespace qzr::log {

// Opens `filename` (str, bytes or path-like) for appending, creating it if
// absent, writes `text` (a str) as UTF-8 followed by "\n" in one write, and
// closes it: the bytes open(filename, "a", encoding="utf8").write(text +
// "\n") leaves on this platform. The GIL is released around the file
// operations, once unless a signal interrupts them: then the interpreter's
// signal handlers run, and an exception they raise ends the append.
//
// Nothing written is ever taken back or rewritten. When a write fails
// part-way (disk full, a file size limit, an I/O error, a signal handler's
// exception), the part written stays, and the next record appended to that
// file starts with a newline, so that it begins a line of its own. The same
// holds when the file ends mid-line for another reason (another process's
// record cut short): the last byte of a regular file is read before the
// record goes out, unless the file still ends where this process's last
// whole record did.
//
// Throws py::Error with the operating system's error, as open() and write()
// report it, or with a signal handler's exception.
void append_line(PyObject* filename, PyObject* text);

}  // namespace qzr::log
