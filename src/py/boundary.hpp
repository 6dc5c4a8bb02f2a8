// Where C++ code hands control back to the interpreter: no C++ exception may
// pass; a failure leaves a Python exception set and returns null.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <new>

#include "py/ref.hpp"

namespace py {

namespace detail {
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const Error&) {
        // The Python exception is already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}
}  // namespace detail

// Runs `body` (returning a Ref) and gives the interpreter a new reference, or
// null with an exception set.
//
// The one thing let through is the unwinding with which the interpreter ends
// a daemon thread at exit (the thread never returns to the interpreter).
//
// (UBSan's null check is off here: that unwinding carries no C++ object, so
// the handler binds its reference to null.)
template <class Body>
__attribute__((no_sanitize("null"), noinline)) PyObject* guard(Body&& body) {
    try {
        return body().release();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        detail::set_error_from_current_exception();
        return nullptr;
    }
}

// The same for C API slots that report success as 0 and failure as -1.
template <class Body>
__attribute__((no_sanitize("null"), noinline)) int guard_status(Body&& body) {
    try {
        body();
        return 0;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        detail::set_error_from_current_exception();
        return -1;
    }
}

}  // namespace py
