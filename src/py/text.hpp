// Text of values as log lines and messages show them.
#pragma once

#include <Python.h>

#include "py/ref.hpp"

namespace py {

// format(value, ""): a str as it is, an int in decimal, a float in its
// shortest round-trip form (10.0), an enumeration member as its value.
Ref format(PyObject* value);

namespace detail {
inline Ref piece(const char* literal) { return check(PyUnicode_FromString(literal)); }
inline Ref piece(PyObject* value) { return format(value); }
// Refs and typed parameters (py::Float, py::StrOrNone).
template <class T>
Ref piece(const T& value) {
    return format(value.get());
}
Ref join(Ref* pieces, Py_ssize_t count);
}  // namespace detail

// Joins literal pieces (UTF-8 C strings) and values, each value formatted
// with format(value, ""), into one str:
//     text("Stop station ", station)
template <class... P>
Ref text(const P&... parts) {
    Ref pieces[] = {detail::piece(parts)...};
    return detail::join(pieces, sizeof...(P));
}

// Sets `type` with a message and throws Error.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const Ref& message);
// Sets `type` without a message (as a bare `raise Type`) and throws Error.
[[noreturn]] void raise(PyObject* type);

}  // namespace py
