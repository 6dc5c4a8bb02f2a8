// Appending one record's line to a file.
#pragma once

#include <Python.h>

namespace qzr::log {

// Opens `filename` (str, bytes or path-like) for appending, creating it if
// absent, writes `text` (a str) as UTF-8 followed by "\n" in one write, and
// closes it: the bytes open(filename, "a", encoding="utf8").write(text +
// "\n") leaves on this platform. The GIL is released once, around the file
// operations. When a write fails part-way (disk full, an I/O error), the
// part of the line already written is removed again, unless something else
// was appended after it, so the file holds whole lines only. Throws
// py::Error with the operating system's error, as open() and write() report
// it.
void append_line(PyObject* filename, PyObject* text);

}  // namespace qzr::log
