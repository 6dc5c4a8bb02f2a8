// try/finally for code that reports failures as py::Error.
#pragma once

#include <Python.h>

#include "py/ref.hpp"

namespace py {

// Makes the fetched exception (type, value, traceback; references taken
// over) the context of the exception now set, as Python does when an
// exception is raised while another is being handled.
void chain_current_error(PyObject* type, PyObject* value, PyObject* traceback);

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
            chain_current_error(type, value, traceback);
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
void keeping_error(Cleanup&& cleanup) {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
    PyErr_Fetch(&type, &value, &traceback);
    try {
        cleanup();
    } catch (const Error&) {
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
