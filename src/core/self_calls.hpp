// Calls a controller method makes on itself.
// Calls go through attribute lookup on `self`, so a subclass that overrides a
// method, or an instance attribute that replaces one, is what runs. The
// method names come from the declarations (method::is_running, ...).
#pragma once

#include <Python.h>

#include "core/fields.hpp"
#include "core/method_names.gen.hpp"
#include "py/call.hpp"
#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr {

namespace self {

// self.<method>(args...)
template <class... A>
py::Ref call(PyObject* self, const py::Name& method, const A&... args) {
    return py::call_method(self, method, args...);
}

// self.<method>(station) tested for truth, as `if self.method(station):`.
inline bool ask(PyObject* self, const py::Name& method, PyObject* station) {
    py::Ref answer = py::call_method(self, method, station);
    return py::truth(answer.get());
}

}  // namespace self
}  // namespace qzr
