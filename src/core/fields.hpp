// The instance attributes of a controller.
#pragma once

#include "core/namespace.hpp"
#include "py/name.hpp"

namespace qzr {

namespace field {
inline py::Name mew{"__mew", ns::kControllerClass};  // the master; None while closed
inline py::Name baudrate{"baudrate"};
inline py::Name ppmm{"_ppmm"};                      // station -> pulses per millimetre
inline py::Name find_o_threads{"_find_o_threads"};  // station -> uncollected homing worker
inline py::Name finding_o_method{"_finding_o_method"};
}  // namespace field

}  // namespace qzr
