// Appending one record's text to a file.
#pragma once

#include <Python.h>

namespace qzr::log {

// Opens `filename` (str, bytes or path-like) for appending, creating it if
// absent, writes `message` (a str) as UTF-8 in one write and closes it: the
// bytes open(filename, "a", encoding="utf8").write(message) leaves on this
// platform. The GIL is released during the file operations. Throws py::Error
// with the operating system's error, as open() and write() report it.
void append(PyObject* filename, PyObject* message);

}  // namespace qzr::log
