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
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error();
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
        py::throw_error();
    }
    py::Ref bound = py::Ref::steal(value);
    ns::bind(alias, bound.get());
}

// The standard-library aliases, in the order they are bound.
struct Alias {
    const char* module;
    const char* name;
    const py::Name& alias;
};

const Alias kStandardLibrary[] = {
    {"datetime", "date", ns::kDate},         {"enum", "IntEnum", ns::kIntEnum},
    {"logging", "getLogger", ns::kGetLogger}, {"logging", "Formatter", ns::kLogFormatter},
    {"logging", "INFO", ns::kLogInfo},       {"logging", "Handler", ns::kLogHandler},
    {"logging", "LogRecord", ns::kLogRecord}, {"pathlib", "Path", ns::kPath},
    {"threading", "Thread", ns::kThread},    {"time", "sleep", ns::kSleep},
    {"time", "time", ns::kNow},              {"typing", "Optional", ns::kOptional},
    {"typing", "Union", ns::kUnion},
};

}  // namespace

void run_import_steps() {
    import_from("qzr_mew", "MewMaster", ns::kMewMaster);
    for (const Alias& a : kStandardLibrary) import_from(a.module, a.name, a.alias);
    log::create_logger();
    classes::create_file_log_handler();
    log::set_up_log_file();
    py::Ref max_rate = py::check(PyLong_FromLong(kMaxPulsePerSecond));
    ns::bind(ns::kMaxPulsePerSecond, max_rate.get());
    enums::create();
    classes::create_controller();
}

}  // namespace qzr
