// try/finally for code that reports failures as py::Error. The cleanup runs
// whatever C++ exception leaves the body (std::bad_alloc included), except
// the unwinding with which the interpreter ends a daemon thread at exit: that
// thread no longer holds the GIL, so nothing may touch the interpreter.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include "py/ref.hpp"

namespace py {

// Makes the fetched exception (type, value, traceback; references taken
// over) the context of the exception now set, as Python does when an
// exception is raised while another is being handled.
void chain_current_error(PyObject* type, PyObject* value, PyObject* traceback);

// The Python error indicator, taken out while a cleanup runs and put back
// afterwards (owned until then).
class SavedError {
public:
    SavedError() noexcept {
        PyObject* type;
        PyObject* value;
        PyObject* traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = Ref::steal(type);
        value_ = Ref::steal(value);
        traceback_ = Ref::steal(traceback);
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    // Sets the error again.
    void restore() noexcept { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
    // Makes it the context of the error now set.
    void chain() noexcept { chain_current_error(type_.release(), value_.release(), traceback_.release()); }

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
};

// Runs `cleanup` while a Python error may be set, keeping that error as it
// is; a failure of `cleanup` is dropped. Throws nothing but the interpreter's
// forced unwinding.
template <class Cleanup>
void keeping_error(Cleanup&& cleanup) {
    SavedError saved;
    try {
        cleanup();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        PyErr_Clear();
    }
    saved.restore();
}

// Runs `body`, then `cleanup`, also when `body` fails. When both fail with a
// Python error, the cleanup's error propagates with the body's as its
// context, as in Python; a body that fails otherwise (out of memory) passes
// its failure on after the cleanup.
template <class Body, class Cleanup>
void run_finally(Body&& body, Cleanup&& cleanup) {
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const Error&) {
        SavedError saved;
        try {
            cleanup();
        } catch (const Error&) {
            saved.chain();
            throw;
        }
        saved.restore();
        throw;
    } catch (...) {
        keeping_error(cleanup);
        throw;
    }
    cleanup();
}

// Runs `body`; when it fails in any way, runs `undo` and passes the body's
// failure on.
template <class Body, class Undo>
void undo_on_error(Body&& body, Undo&& undo) {
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        keeping_error(undo);
        throw;
    }
}

}  // namespace py
