#include "py/text.hpp"

namespace py {

Ref format(PyObject* value) {
    // These exact types format with an empty format exactly as str() does.
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value) ||
        value == Py_None) {
        return check(PyObject_Str(value));
    }
    return check(PyObject_Format(value, nullptr));
}

namespace detail {

Ref join(Ref* pieces, Py_ssize_t count) {
    Ref items = check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(items.get(), i, pieces[i].release());
    }
    Ref empty = check(PyUnicode_FromStringAndSize("", 0));
    return check(PyUnicode_Join(empty.get(), items.get()));
}

}  // namespace detail

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw_error();
}

void raise(PyObject* type, const Ref& message) {
    PyErr_SetObject(type, message.get());
    throw_error();
}

void raise(PyObject* type) {
    PyErr_SetNone(type);
    throw_error();
}

}  // namespace py
