#include "py/finally.hpp"

namespace py {

void chain_current_error(PyObject* type, PyObject* value, PyObject* traceback) {
    PyObject* new_type;
    PyObject* new_value;
    PyObject* new_traceback;
    PyErr_Fetch(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    if (new_value != nullptr && value != nullptr) {
        PyException_SetContext(new_value, value);  // takes the reference
        value = nullptr;
    }
    PyErr_Restore(new_type, new_value, new_traceback);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
}

}  // namespace py
