// Calling Python callables and methods from C++ without temporary tuples
// where the interpreter allows it.
#pragma once

#include <Python.h>

#include "py/compat.hpp"
#include "py/name.hpp"
#include "py/ref.hpp"

namespace py {

// From function.hpp: whether obj is a C++ function object, and calling one
// with positional arguments (new reference, or null with an error set).
bool is_function(PyObject* obj);
PyObject* call_function(PyObject* function, PyObject* const* args, Py_ssize_t nargs);

namespace detail {
inline PyObject* arg(PyObject* p) { return p; }
// Refs and typed parameters (py::Float, py::StrOrNone).
template <class T>
PyObject* arg(const T& wrapped) {
    return wrapped.get();
}

// Calls from C++ count towards the interpreter's recursion limit, so that
// methods calling each other (or a master that is itself a controller)
// raise RecursionError instead of exhausting the C stack. `raw_call` makes
// one C API call returning a new reference or null; the count is taken back
// on its return (not by a destructor: a daemon thread ended by the
// interpreter at exit unwinds without the thread state it would need).
template <class RawCall>
Ref counted(RawCall&& raw_call) {
    require(Py_EnterRecursiveCall(" while calling from a qzr_kov method") == 0);
    PyObject* result = raw_call();
    Py_LeaveRecursiveCall();
    return check(result);
}
}  // namespace detail

// callable(*args); arguments are borrowed PyObject* or Refs.
template <class... A>
Ref call(PyObject* callable, const A&... args) {
#if QZR_HAVE_VECTORCALL
    // Slot 0 is scratch space the callee may use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* stack[] = {nullptr, detail::arg(args)...};
    return detail::counted([&] {
        return PyObject_Vectorcall(callable, stack + 1,
                                   sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    });
#else
    return detail::counted(
        [&] { return PyObject_CallFunctionObjArgs(callable, detail::arg(args)..., nullptr); });
#endif
}

// obj.name(*args), looked up on the object at each call, as `obj.name(...)`
// in Python would.
template <class... A>
Ref call_method(PyObject* obj, const Name& name, const A&... args) {
#if QZR_HAVE_VECTORCALL
    PyObject* stack[] = {obj, detail::arg(args)...};
    return detail::counted([&] {
        return PyObject_VectorcallMethod(name.get(), stack,
                                         (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr);
    });
#else
    Ref method = check(PyObject_GetAttr(obj, name.get()));
    if (PyMethod_Check(method.get())) {
        // A bound method is called as its function with its object first,
        // which is what calling it does, without the argument tuple the
        // bound method would build.
        PyObject* function = PyMethod_GET_FUNCTION(method.get());
        PyObject* self = PyMethod_GET_SELF(method.get());
        if (is_function(function)) {
            // One of our own methods.
            PyObject* stack[] = {self, detail::arg(args)...};
            return detail::counted(
                [&] { return call_function(function, stack, 1 + sizeof...(A)); });
        }
        return detail::counted([&] {
            return PyObject_CallFunctionObjArgs(function, self, detail::arg(args)..., nullptr);
        });
    }
    return detail::counted(
        [&] { return PyObject_CallFunctionObjArgs(method.get(), detail::arg(args)..., nullptr); });
#endif
}

inline Ref getattr(PyObject* obj, const Name& name) {
    return check(PyObject_GetAttr(obj, name.get()));
}

inline void setattr(PyObject* obj, const Name& name, PyObject* value) {
    require(PyObject_SetAttr(obj, name.get(), value) == 0);
}

// Truth value as `if x:` tests it.
inline bool truth(PyObject* obj) {
    int r = PyObject_IsTrue(obj);
    require(r >= 0);
    return r == 1;
}

// `a <op> b` tested for truth, as `if a == b:` does (no identity shortcut).
inline bool compare(PyObject* a, PyObject* b, int op) {
    Ref result = check(PyObject_RichCompare(a, b, op));
    return truth(result.get());
}

// obj[index]
inline Ref item(PyObject* obj, long index) {
    Ref key = check(PyLong_FromLong(index));
    return check(PyObject_GetItem(obj, key.get()));
}

inline Ref integer(long value) { return check(PyLong_FromLong(value)); }

// A call with keyword arguments: callable(*args, **{key: value, ...}):
//     py::KeywordCall().with(kBaudrate, baudrate).call(master_class, port)
class KeywordCall {
public:
    KeywordCall() : kwargs_(check(PyDict_New())) {}
    template <class V>
    KeywordCall& with(const Name& key, const V& value) {
        require(PyDict_SetItem(kwargs_.get(), key.get(), detail::arg(value)) == 0);
        return *this;
    }
    template <class... A>
    Ref call(PyObject* callable, const A&... args) const {
        Ref positional = check(PyTuple_Pack(sizeof...(A), detail::arg(args)...));
        return detail::counted(
            [&] { return PyObject_Call(callable, positional.get(), kwargs_.get()); });
    }

private:
    Ref kwargs_;
};

// Builds a tuple from borrowed references or Refs.
template <class... A>
Ref tuple(const A&... items) {
    return check(PyTuple_Pack(sizeof...(A), detail::arg(items)...));
}

}  // namespace py
