#include "entry/import_steps.hpp"

#include "core/namespace.hpp"
#include "entry/classes.hpp"
#include "entry/enums.hpp"
#include "log/log.hpp"
#include "py/call.hpp"

namespace qzr {
namespace {

constexpr long kMaxPulsePerSecond = 70000;

// from <module> import <name> as <alias>
void import_from(const char* module, const char* name, const py::Name& alias) {
    py::Ref mod = py::check(PyImport_ImportModule(module));
    PyObject* value = PyObject_GetAttrString(mod.get(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::Error{};
        PyErr_Clear();
        py::Ref path = py::Ref::steal(PyObject_GetAttrString(mod.get(), "__file__"));
        if (!path) PyErr_Clear();
        py::Ref module_name = py::check(PyUnicode_FromString(module));
#if PY_VERSION_HEX >= 0x03070000
        py::Ref message =
            path ? py::check(PyUnicode_FromFormat("cannot import name '%s' from '%s' (%S)", name,
                                                  module, path.get()))
                 : py::check(PyUnicode_FromFormat(
                       "cannot import name '%s' from '%s' (unknown location)", name, module));
#else
        py::Ref message = py::check(PyUnicode_FromFormat("cannot import name '%s'", name));
#endif
        PyErr_SetImportError(message.get(), module_name.get(), path.get());
        throw py::Error{};
    }
    py::Ref bound = py::Ref::steal(value);
    ns::bind(alias, bound.get());
}

void import_standard_library() {
    import_from("datetime", "date", ns::kDate);
    import_from("enum", "IntEnum", ns::kIntEnum);
    import_from("logging", "getLogger", ns::kGetLogger);
    import_from("logging", "Formatter", ns::kLogFormatter);
    import_from("logging", "INFO", ns::kLogInfo);
    import_from("logging", "Handler", ns::kLogHandler);
    import_from("logging", "LogRecord", ns::kLogRecord);
    import_from("pathlib", "Path", ns::kPath);
    import_from("threading", "Thread", ns::kThread);
    import_from("time", "sleep", ns::kSleep);
    import_from("time", "time", ns::kNow);
    import_from("typing", "Optional", ns::kOptional);
    import_from("typing", "Union", ns::kUnion);
}

}  // namespace

void run_import_steps() {
    import_from("qzr_mew", "MewMaster", ns::kMewMaster);
    import_standard_library();
    log::create_logger();
    classes::create_file_log_handler();
    log::set_up_log_file();
    py::Ref max_rate = py::check(PyLong_FromLong(kMaxPulsePerSecond));
    ns::bind(ns::kMaxPulsePerSecond, max_rate.get());
    enums::create();
    classes::create_controller();
}

}  // namespace qzr
