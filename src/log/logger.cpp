#include "log/log.hpp"

#include "module/namespace.hpp"
#include "py/call.hpp"

namespace qzr::log {
namespace {
py::Name kInfo{"info"};
py::Name kError{"error"};
py::Name kSetLevel{"setLevel"};
}  // namespace

void info(const py::Ref& text) {
    py::Ref logger = ns::global(ns::kLogger);
    py::call_method(logger.get(), kInfo, text);
}

void error(const py::Ref& text) {
    py::Ref logger = ns::global(ns::kLogger);
    py::call_method(logger.get(), kError, text);
}

void create_logger() {
    py::Ref get_logger = ns::global(ns::kGetLogger);
    py::Ref logger = py::call(get_logger.get(), ns::kModuleName.get());
    ns::bind(ns::kLogger, logger.get());
    py::Ref level = ns::global(ns::kLogInfo);
    py::call_method(logger.get(), kSetLevel, level);
}

}  // namespace qzr::log
