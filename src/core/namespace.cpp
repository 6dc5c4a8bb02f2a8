#include "core/namespace.hpp"

namespace qzr::ns {
namespace {
PyObject* g_dict = nullptr;  // owned
}  // namespace

PyObject* dict() { return g_dict; }

void set_dict(PyObject* dict) {
    Py_XINCREF(dict);
    Py_XSETREF(g_dict, dict);
}

py::Ref global(const py::Name& name) {
    PyObject* value = g_dict ? PyDict_GetItemWithError(g_dict, name.get()) : nullptr;
    if (value == nullptr) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
        py::throw_error();
    }
    return py::Ref::borrow(value);
}

void bind(const py::Name& name, PyObject* value) {
    py::require(PyDict_SetItem(g_dict, name.get(), value) == 0);
}

}  // namespace qzr::ns
