// Argument conversions applied when a method is called.
#pragma once

#include <Python.h>

#include "py/compat.hpp"
#include "py/ref.hpp"

namespace py {

// How a parameter is converted on entry, before the method body runs.
enum class Conv {
    None,       // passed on as given
    Float,      // converted as to a C double; the body sees a float object
    StrOrNone,  // exactly a str or None, else TypeError
};

// The argument as a float object, converted the way the interpreter converts
// to a C double (int, float, objects with __float__); TypeError otherwise.
Ref to_float(PyObject* value);

// Accepts exactly a str or None; anything else, str subclasses included,
// raises TypeError naming the parameter, "str" and the given type.
void require_str_or_none(PyObject* value, const char* param);

// Whether `assert` statements run (the interpreter is not running with -O).
// Check it before evaluating an asserted condition, as the interpreter does:
//     if (py::assertions_enabled() && !(x > 0)) py::assertion_failed();
inline bool assertions_enabled() { return compat::assertions_enabled(); }

// Raises a bare AssertionError, as a failing `assert x` does.
[[noreturn]] void assertion_failed();
// Raises AssertionError with a message, as `assert x, message` does.
[[noreturn]] void assertion_failed(const Ref& message);

}  // namespace py
