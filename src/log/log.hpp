// Writing log lines through the module's logger, and setting it up at import.
#pragma once

#include <Python.h>

#include "py/ref.hpp"
#include "py/text.hpp"

namespace qzr::log {

// logger.info(text) / logger.error(text) on the module's `logger` as it is
// bound now.
void info(const py::Ref& text);
void error(const py::Ref& text);

// Import: logger "qzr_kov" at level INFO.
void create_logger();
// Import: the class FileLogHandler.
void create_file_log_handler_class();
// Import: the "log" directory, the day's file name, the handler and its
// formatter, attached to the logger.
void set_up_log_file();
// Undoes set_up_log_file's attachment after a failed import, so that the
// next attempt does not attach a second handler.
void detach_file_handler();
// After a completed import: the handler stays attached for good.
void forget_file_handler();

}  // namespace qzr::log
