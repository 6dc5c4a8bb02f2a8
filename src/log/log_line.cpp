#include "log/log_line.hpp"

#include "core/namespace.hpp"
#include "py/call.hpp"

namespace qzr::log {
namespace {
py::Name kInfo{"info"};
py::Name kError{"error"};
}  // namespace

void info(const py::Ref& text) {
    py::Ref logger = ns::global(ns::kLogger);
    py::call_method(logger.get(), kInfo, text);
}

void error(const py::Ref& text) {
    py::Ref logger = ns::global(ns::kLogger);
    py::call_method(logger.get(), kError, text);
}

}  // namespace qzr::log
