// try/finally for code that reports failures as py::Error.
#pragma once

#include <Python.h>

#include "py/ref.hpp"

namespace py {

// Runs `body`, then `cleanup`, also when `body` fails. When both fail, the
// cleanup's error propagates with the body's as its context, as in Python.
template <class Body, class Cleanup>
void run_finally(Body&& body, Cleanup&& cleanup) {
    try {
        body();
    } catch (const Error&) {
        PyObject* type;
        PyObject* value;
        PyObject* traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            cleanup();
        } catch (const Error&) {
            PyErr_NormalizeException(&type, &value, &traceback);
            if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
            PyObject* t2;
            PyObject* v2;
            PyObject* tb2;
            PyErr_Fetch(&t2, &v2, &tb2);
            PyErr_NormalizeException(&t2, &v2, &tb2);
            if (v2 != nullptr && value != nullptr) {
                PyException_SetContext(v2, value);  // steals the reference to value
                value = nullptr;
            }
            PyErr_Restore(t2, v2, tb2);
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            throw;
        }
        PyErr_Restore(type, value, traceback);
        throw;
    }
    cleanup();
}

}  // namespace py

namespace py {

// Runs `cleanup` while a Python error is set, keeping that error as it is;
// a failure of `cleanup` is dropped.
template <class Cleanup>
void keeping_error(Cleanup&& cleanup) noexcept {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        cleanup();
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// Runs `body`; when it fails, runs `undo` and passes the body's error on.
template <class Body, class Undo>
void undo_on_error(Body&& body, Undo&& undo) {
    try {
        body();
    } catch (const Error&) {
        keeping_error(undo);
        throw;
    }
}

}  // namespace py
