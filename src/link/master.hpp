// Every exchange with the stations goes through the controller's master
// object (an instance of qzr_mew.MewMaster or anything with its operations).
// This is the only code that calls it.
#pragma once

#include <Python.h>

#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr::link {

// A new master: _MewMaster(port, baudrate=baudrate).
py::Ref create_master(PyObject* port, PyObject* baudrate);

// The controller's master as it is now (None when closed).
py::Ref master_of(PyObject* controller);

// Operations on the controller's master. Addresses are either station-map
// names or address strings given by the caller.
void close(PyObject* master);
py::Ref get_coil(PyObject* controller, PyObject* station, PyObject* name);
void set_coil(PyObject* controller, PyObject* station, PyObject* name, PyObject* value);
py::Ref get_coil_uint16(PyObject* controller, PyObject* station, PyObject* name);
void set_coil_uint16(PyObject* controller, PyObject* station, PyObject* name, PyObject* value);
py::Ref get_int32(PyObject* controller, PyObject* station, PyObject* name);
void set_int32(PyObject* controller, PyObject* station, PyObject* name, PyObject* value);
void set_uint32(PyObject* controller, PyObject* station, PyObject* name, PyObject* value);
py::Ref get_multi_int32(PyObject* controller, PyObject* station, PyObject* name, PyObject* count);
void set_multi_uint32(PyObject* controller, PyObject* station, PyObject* name, PyObject* values);

inline py::Ref get_coil(PyObject* c, PyObject* s, const py::Name& n) { return get_coil(c, s, n.get()); }
inline void set_coil(PyObject* c, PyObject* s, const py::Name& n, PyObject* v) { set_coil(c, s, n.get(), v); }
inline py::Ref get_int32(PyObject* c, PyObject* s, const py::Name& n) { return get_int32(c, s, n.get()); }
inline void set_int32(PyObject* c, PyObject* s, const py::Name& n, PyObject* v) { set_int32(c, s, n.get(), v); }
inline void set_uint32(PyObject* c, PyObject* s, const py::Name& n, PyObject* v) { set_uint32(c, s, n.get(), v); }

}  // namespace qzr::link
