// Argument conversions applied when a method is called, and the typed
// parameters a method body receives.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "py/compat.hpp"
#include "py/ref.hpp"

namespace py {

// How a parameter is converted on entry, before the method body runs.
enum class Conv {
    None,       // passed on as given
    Float,      // converted as to a C double; the body sees a float object
    StrOrNone,  // exactly a str or None, else TypeError
};

// Whether `value` must still go through `conv` (false when it already is
// what the conversion would make it).
inline bool needs_conversion(Conv conv, PyObject* value) {
    switch (conv) {
        case Conv::None: return false;
        case Conv::Float: return !PyFloat_CheckExact(value);
        case Conv::StrOrNone: return !PyUnicode_CheckExact(value) && value != Py_None;
    }
    return false;
}

// The argument as a float object, converted the way the interpreter converts
// to a C double (int, float, objects with __float__); TypeError otherwise.
Ref to_float(PyObject* value);

// Accepts exactly a str or None; anything else, str subclasses included,
// raises TypeError naming the parameter, "str" and the given type.
void require_str_or_none(PyObject* value, const char* param);

// Typed parameters of a method body. The parameter's type says how the
// argument is converted on entry; a plain PyObject* takes it as given.
//
// A float parameter: an exact float object by the time the body runs.
class Float {
public:
    explicit Float(PyObject* object) noexcept : object_(object) {}
    PyObject* get() const noexcept { return object_; }
    double value() const noexcept { return PyFloat_AS_DOUBLE(object_); }

private:
    PyObject* object_;  // borrowed for the call
};

// A parameter that is exactly a str or None by the time the body runs.
class StrOrNone {
public:
    explicit StrOrNone(PyObject* object) noexcept : object_(object) {}
    PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;  // borrowed for the call
};

// How an argument reaches a body parameter of type T.
template <class T>
struct ParamType;
template <>
struct ParamType<PyObject*> {
    static constexpr Conv conv = Conv::None;
    static PyObject* from(PyObject* arg) noexcept { return arg; }
};
template <>
struct ParamType<Float> {
    static constexpr Conv conv = Conv::Float;
    static Float from(PyObject* arg) noexcept { return Float(arg); }
};
template <>
struct ParamType<StrOrNone> {
    static constexpr Conv conv = Conv::StrOrNone;
    static StrOrNone from(PyObject* arg) noexcept { return StrOrNone(arg); }
};

// The C++ body of a function object: receives the arguments in parameter
// order, defaults filled in and conversions applied (borrowed references,
// valid for the call); returns the result or throws Error with a Python
// exception set.
using Body = Ref (*)(PyObject* const* args);

// What a body with typed parameters looks like to the function object.
template <class F>
struct Signature;
template <class... P>
struct Signature<Ref (*)(P...)> {
    static constexpr std::size_t arity = sizeof...(P);
    static constexpr Conv conversions[sizeof...(P)] = {ParamType<P>::conv...};

    // Unpacks the argument array into the typed parameters of F.
    template <Ref (*F)(P...), std::size_t... I>
    static Ref invoke(PyObject* const* args, std::index_sequence<I...>) {
        return F(ParamType<P>::from(args[I])...);
    }
    template <Ref (*F)(P...)>
    static Ref body(PyObject* const* args) {
        return invoke<F>(args, std::index_sequence_for<P...>{});
    }
};

// The Body of a function with typed parameters:
//     py::Ref stop(PyObject* self, PyObject* station);   ...   py::body<stop>
template <auto F>
constexpr Body body = &Signature<decltype(F)>::template body<F>;

// Whether `assert` statements run (the interpreter is not running with -O).
// Check it before evaluating an asserted condition, as the interpreter does:
//     if (py::assertions_enabled() && !(x > 0)) py::assertion_failed();
inline bool assertions_enabled() { return compat::assertions_enabled(); }

// Raises a bare AssertionError, as a failing `assert x` does.
[[noreturn]] void assertion_failed();
// Raises AssertionError with a message, as `assert x, message` does.
[[noreturn]] void assertion_failed(const Ref& message);

}  // namespace py
