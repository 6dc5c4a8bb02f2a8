// The few places where the C API differs between interpreter versions.
#pragma once

#include <Python.h>

// Vectorcall is public from 3.9 on; older interpreters use tuple calls.
#if PY_VERSION_HEX >= 0x03090000
#define QZR_HAVE_VECTORCALL 1
#else
#define QZR_HAVE_VECTORCALL 0
#endif

// Lets the interpreter call a method without building a bound method first.
#if PY_VERSION_HEX >= 0x03080000
#define QZR_METHOD_DESCRIPTOR_FLAG Py_TPFLAGS_METHOD_DESCRIPTOR
#else
#define QZR_METHOD_DESCRIPTOR_FLAG 0
#endif

namespace py::compat {

// True unless the interpreter runs with -O (assert statements compiled out).
// Read at every check so that the flag is seen as the interpreter holds it.
inline bool assertions_enabled() {
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return Py_OptimizeFlag == 0;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
}

// An identity for the interpreter running the calling thread.
inline long long current_interpreter_id() {
#if PY_VERSION_HEX >= 0x03090000
    return static_cast<long long>(PyInterpreterState_GetID(PyInterpreterState_Get()));
#elif PY_VERSION_HEX >= 0x03070000
    return static_cast<long long>(PyInterpreterState_GetID(PyThreadState_Get()->interp));
#else
    return static_cast<long long>(reinterpret_cast<Py_intptr_t>(PyThreadState_Get()->interp));
#endif
}

// Keyword-argument error messages name the function by its qualified name
// from 3.10 on.
constexpr bool kArgErrorsUseQualname = PY_VERSION_HEX >= 0x030A0000;

}  // namespace py::compat
