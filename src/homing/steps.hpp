// Steps shared by the homing methods, which run in a station's worker thread.
#pragma once

#include <Python.h>

#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr::homing {

// Whether direction == Direction.<member>.
bool direction_is(PyObject* direction, const py::Name& member);

// Polls is_running(station) until it answers false, sleeping 0.01 s through
// the module's _sleep between polls; the first poll comes at once.
void wait_until_stopped(PyObject* self, PyObject* station);

// Reads the stop source, logs "Station <station><what><stop source>" and
// returns the stop source.
py::Ref stop_source_logged(PyObject* self, PyObject* station, const char* what);

// Raises IOError "<message><stop source>" unless the stop source equals
// StopSource.<expected>.
void expect_stop_source(PyObject* stop_source, const py::Name& expected, const char* message);

// The closing steps of every homing method: the module's origin search
// towards `direction`, waited for; its stop source logged as "Station
// <station><what><stop source>"; IOError "<message><stop source>" unless the
// station stopped on the origin; else that point becomes coordinate 0.
void search_origin_then_zero(PyObject* self, PyObject* station, PyObject* direction,
                             const char* what, const char* message);

// Runs a homing method's body; a failure of the Exception family ends it
// silently. Anything else (KeyboardInterrupt, SystemExit) passes.
template <class Body>
void ending_failures_silently(Body&& body) {
    try {
        body();
    } catch (const py::Error&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

}  // namespace qzr::homing
