#include "core/clock.hpp"

#include "core/namespace.hpp"
#include "py/call.hpp"

namespace qzr::clock {

py::Ref now() {
    py::Ref now_function = ns::global(ns::kNow);
    return py::call(now_function.get());
}

void sleep(double seconds) {
    py::Ref sleep_function = ns::global(ns::kSleep);
    py::Ref duration = py::check(PyFloat_FromDouble(seconds));
    py::call(sleep_function.get(), duration);
}

}  // namespace qzr::clock
