// The module's logger and its daily log file, set up at import.
#pragma once

#include <Python.h>

namespace qzr::log {

// Import: logger "qzr_kov" at level INFO.
void create_logger();
// Import: the class FileLogHandler has been made (its methods need it).
void adopt_handler_class(PyObject* cls);
// Import: the "log" directory, the day's file name, the handler and its
// formatter, attached to the logger.
void set_up_log_file();
// Undoes set_up_log_file's attachment after a failed import, so that the
// next attempt does not attach a second handler.
void detach_file_handler();
// After a completed import: the handler stays attached for good.
void forget_file_handler();

}  // namespace qzr::log
