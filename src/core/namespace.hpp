// The module namespace: the names import binds, and lookups of them at each
// use, so that a name replaced on the module (a patched _sleep, a subclassed
// master) takes effect at once.
#pragma once

#include <Python.h>

#include "py/name.hpp"
#include "py/ref.hpp"

namespace qzr::ns {

// Names bound by import, in the order they are bound.
inline py::Name kMewMaster{"_MewMaster"};
inline py::Name kDate{"_date"};
inline py::Name kIntEnum{"_IntEnum"};
inline py::Name kGetLogger{"_get_logger"};
inline py::Name kLogFormatter{"_LogFormatter"};
inline py::Name kLogInfo{"_LOG_INFO"};
inline py::Name kLogHandler{"_LogHandler"};
inline py::Name kLogRecord{"_LogRecord"};
inline py::Name kPath{"_Path"};
inline py::Name kThread{"_Thread"};
inline py::Name kSleep{"_sleep"};
inline py::Name kNow{"_now"};
inline py::Name kOptional{"_Optional"};
inline py::Name kUnion{"_Union"};
inline py::Name kLogger{"logger"};
inline py::Name kFileLogHandler{"FileLogHandler"};
inline py::Name kToday{"_today"};
inline py::Name kLogPath{"_log_path"};
inline py::Name kLogFilename{"_log_filename"};
inline py::Name kFileLogHandlerInstance{"_file_log_handler"};
inline py::Name kFormatter{"_formatter"};
inline py::Name kMaxPulsePerSecond{"_MaxPulsePerSecond"};
inline py::Name kDirection{"Direction"};
inline py::Name kStopSource{"StopSource"};
inline py::Name kFindingOMethod{"FindingOMethod"};
inline py::Name kKOVAxisController{"KOVAxisController"};

// The names of the classes whose class-private attributes are mangled with
// them ("_KOVAxisController__mew").
inline constexpr char kControllerClass[] = "KOVAxisController";
inline constexpr char kHandlerClass[] = "FileLogHandler";

// The text of __module__ for everything the module defines.
inline py::Name kModuleName{"qzr_kov"};

// The namespace of the module being initialised or initialised (borrowed).
PyObject* dict();
void set_dict(PyObject* dict);

// The value a module-level name holds now; NameError when it is unbound.
py::Ref global(const py::Name& name);

// Binds a module-level name.
void bind(const py::Name& name, PyObject* value);

}  // namespace qzr::ns
