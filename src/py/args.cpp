#include "py/args.hpp"

#include "py/text.hpp"

namespace py {

Ref to_float(PyObject* value) {
    if (PyFloat_CheckExact(value)) return Ref::borrow(value);
    double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    return check(PyFloat_FromDouble(d));
}

void require_str_or_none(PyObject* value, const char* param) {
    if (value == Py_None || PyUnicode_CheckExact(value)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, "str", Py_TYPE(value)->tp_name);
    throw_error();
}

void assertion_failed() { raise(PyExc_AssertionError); }

void assertion_failed(const Ref& message) { raise(PyExc_AssertionError, message); }

}  // namespace py
