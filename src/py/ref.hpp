// Owned references and the one exception type that means "a Python error is set".
#pragma once

#include <Python.h>

#include <utility>

namespace py {

// Thrown by C++ code when the interpreter's error indicator is set. It carries
// nothing: the Python exception itself stays in the interpreter.
struct Error {};

// Throws Error unless `ok`. Use right after a C API call that reports failure
// with its return value and sets the error indicator.
inline void require(bool ok) {
    if (!ok) throw Error{};
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
inline Ref check(PyObject* p) {
    if (p == nullptr) throw Error{};
    return Ref::steal(p);
}

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

}  // namespace py
