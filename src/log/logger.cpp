#include "core/namespace.hpp"
#include "log/log.hpp"
#include "py/call.hpp"

namespace qzr::log {
namespace {
py::Name kSetLevel{"setLevel"};
}  // namespace

void create_logger() {
    py::Ref get_logger = ns::global(ns::kGetLogger);
    py::Ref logger = py::call(get_logger.get(), ns::kModuleName.get());
    ns::bind(ns::kLogger, logger.get());
    py::Ref level = ns::global(ns::kLogInfo);
    py::call_method(logger.get(), kSetLevel, level);
}

}  // namespace qzr::log
