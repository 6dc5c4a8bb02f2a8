// Calls a controller method makes on itself. They go through attribute lookup
// on `self`, so a subclass that overrides a method, or an instance attribute
// that replaces one, is what runs.
#pragma once

#include <Python.h>

#include "py/call.hpp"
#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr::self {

inline py::Name kClose{"close"};
inline py::Name kPpmm{"ppmm"};
inline py::Name kToPulse{"to_pulse"};
inline py::Name kFromPulse{"from_pulse"};
inline py::Name kSetParameters{"set_parameters"};
inline py::Name kSetAbsoluteTarget{"set_absolute_target"};
inline py::Name kSetRelativeTarget{"set_relative_target"};
inline py::Name kRunPositive{"run_positive"};
inline py::Name kRunNegative{"run_negative"};
inline py::Name kSetPosition{"set_position"};
inline py::Name kSetHereO{"set_here_o"};
inline py::Name kIsRunning{"is_running"};
inline py::Name kAtPositiveLimit{"at_positive_limit"};
inline py::Name kAtNegativeLimit{"at_negative_limit"};
inline py::Name kGetStopSource{"get_stop_source"};
inline py::Name kNegativeLimitIsDisabled{"negative_limit_is_disabled"};
inline py::Name kPositiveLimitIsDisabled{"positive_limit_is_disabled"};
inline py::Name kFindO{"_find_o"};
inline py::Name kFindOStage0{"_KOVAxisController__find_o_stage_0"};
inline py::Name kFindOThreadFunc{"_find_o_thread_func"};
inline py::Name kFindOOriginOnly{"_find_o_origin_only"};
inline py::Name kFindOLimitFirstThenBackward{"_find_o_thread_func_limit_first_then_backward"};

// Fields and the property.
inline py::Name kBaudrate{"baudrate"};
inline py::Name kPpmmTable{"_ppmm"};
inline py::Name kFindOThreads{"_find_o_threads"};
inline py::Name kFindingOMethodField{"_finding_o_method"};
inline py::Name kFindingOMethod{"finding_o_method"};

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

}  // namespace qzr::self
