// A function object for methods written in C++. It binds like a Python
// function (obj.method gives a bound method), parses arguments like one
// (positional or by keyword, defaults, the interpreter's error wording), and
// carries __name__, __qualname__, __module__, __doc__, __annotations__,
// __defaults__ and __kwdefaults__, plus a __signature__ for inspect and help().
#pragma once

#include <Python.h>

#include <vector>

#include "py/args.hpp"
#include "py/ref.hpp"

namespace py {

// The most parameters a function may declare, self included.
constexpr int kMaxParams = 8;

struct Param {
    const char* name;
    Conv conv = Conv::None;
};

struct FunctionParts {
    const char* name;
    const char* qualname;
    const char* doc;  // null for none
    std::vector<Param> params;  // self included, for methods
    Body body;
    PyObject* module;       // borrowed: the __module__ text
    PyObject* defaults;     // borrowed tuple for the last parameters, or null
    PyObject* annotations;  // borrowed dict, or null for an empty one
};

// Creates a function object.
Ref make_function(const FunctionParts& parts);

// Whether obj is such a function, and calling one with positional arguments
// only (new reference, or null with an error set).
bool is_function(PyObject* obj);
PyObject* call_function(PyObject* function, PyObject* const* args, Py_ssize_t nargs);

}  // namespace py
