// Owned references and the one exception type that means "a Python error is set".
#pragma once

#include <Python.h>

#include <cstdio>
#include <utility>

// Checked builds (debug, Py_DEBUG, sanitizer builds, or QZR_KOV_CHECK_ERRORS
// given) stop at a throw of py::Error that has no Python error set.
#if !defined(NDEBUG) || defined(Py_DEBUG) || defined(QZR_KOV_CHECK_ERRORS)
#define QZR_KOV_CHECKING_ERRORS 1
#else
#define QZR_KOV_CHECKING_ERRORS 0
#endif

namespace py {

// Throws Error for the Python error now set: every throw goes through here.
// `file` and `line` are the caller's, which checked builds name when no
// error is set.
[[noreturn]] inline void throw_error(const char* file = __builtin_FILE(),
                                     int line = __builtin_LINE());

// Thrown by C++ code when the interpreter's error indicator is set. It carries
// nothing: the Python exception itself stays in the interpreter. Only
// throw_error() makes one.
class Error {
public:
    Error(const Error&) = default;

private:
    Error() noexcept {}  // user-provided: no aggregate initialisation around it
    friend void throw_error(const char* file, int line);
};

namespace detail {
// A throw without a Python error set: a fault at FILE:LINE, which would
// reach the interpreter as a failure with no exception.
[[noreturn, gnu::cold, gnu::noinline]] inline void no_error_set(const char* file, int line) {
    char message[512];
    std::snprintf(message, sizeof message, "py::Error thrown at %s:%d with no Python exception set",
                  file, line);
    Py_FatalError(message);
}
}  // namespace detail

inline void throw_error([[maybe_unused]] const char* file, [[maybe_unused]] int line) {
#if QZR_KOV_CHECKING_ERRORS
    if (PyErr_Occurred() == nullptr) detail::no_error_set(file, line);
#endif
    throw Error();
}

// Throws Error unless `ok`. Use right after a C API call that reports failure
// with its return value and sets the error indicator.
inline void require(bool ok, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    if (!ok) throw_error(file, line);
}

// An owned (strong) reference, released when it goes out of scope.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    ~Ref() {
        if (p_ != nullptr) drop(p_);
    }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference; null is allowed and gives an empty Ref.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Gives the reference away, e.g. as a function's result.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}

    static void drop(PyObject* p) noexcept {
        // When the interpreter ends a daemon thread (at exit, as the thread
        // asks for the GIL back) the thread's stack is unwound without the
        // GIL. An object must not be freed then: the last reference is left
        // alone (the process is ending).
        if (Py_REFCNT(p) == 1 && !PyGILState_Check()) return;
        Py_DECREF(p);
    }

    PyObject* p_ = nullptr;
};

// Wraps the result of a C API call returning a new reference: throws Error
// when it is null.
inline Ref check(PyObject* p, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
    if (p == nullptr) throw_error(file, line);
    return Ref::steal(p);
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace py
