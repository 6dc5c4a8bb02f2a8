// Writing log lines through the module's logger.
#pragma once

#include "py/ref.hpp"
#include "py/text.hpp"

namespace qzr::log {

// logger.info(text) / logger.error(text) on the module's `logger` as it is
// bound now.
void info(const py::Ref& text);
void error(const py::Ref& text);

}  // namespace qzr::log
