// Time as the module sees it: its _now and _sleep, looked up at each use so
// that a replaced clock (a test's virtual one) takes effect at once.
#pragma once

#include "py/ref.hpp"

namespace qzr::clock {

// How long waits sleep between two reads of a station, in seconds.
constexpr double kPollPeriod = 0.01;

// _now(): the time in seconds.
py::Ref now();

// _sleep(seconds); the interpreter's sleep releases the GIL.
void sleep(double seconds);

}  // namespace qzr::clock
