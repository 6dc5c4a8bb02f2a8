// The enumerations Direction, StopSource and FindingOMethod.
#pragma once

#include <Python.h>

#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr::enums {

// Creates the three enumerations and binds them, in this order.
void create();

// <cls>(value) for the enumeration the module-level name `cls` holds now:
// the member with that value, or the enumeration's own ValueError. Answered
// from a table of the members while the name still holds the class made at
// import (members never change); anything else is called as it is.
py::Ref member(const py::Name& cls, PyObject* value);

}  // namespace qzr::enums
