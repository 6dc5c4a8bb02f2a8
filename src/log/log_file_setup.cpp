// The day's log file: "log/qzr_kov-YYYYMMDD.log" under the working directory
// at import, written through the one FileLogHandler attached to `logger`.
#include <Python.h>

#include "core/namespace.hpp"
#include "log/log.hpp"
#include "py/call.hpp"
#include "py/finally.hpp"
#include "py/text.hpp"

namespace qzr::log {
namespace {

py::Name kToday{"today"};
py::Name kMkdir{"mkdir"};
py::Name kExistOk{"exist_ok"};
py::Name kYear{"year"};
py::Name kMonth{"month"};
py::Name kDay{"day"};
py::Name kSetFormatter{"setFormatter"};
py::Name kAddHandler{"addHandler"};
py::Name kRemoveHandler{"removeHandler"};

constexpr const char* kLineFormat = "%(asctime)s - %(levelname)s - %(message)s";

// format(value, format_spec)
py::Ref formatted(PyObject* value, const char* format_spec) {
    py::Ref s = py::check(PyUnicode_FromString(format_spec));
    return py::check(PyObject_Format(value, s.get()));
}

// "qzr_kov-" + year + month (02) + day (02) + ".log"
py::Ref file_name(PyObject* today) {
    py::Ref year = py::getattr(today, kYear);
    py::Ref month = py::getattr(today, kMonth);
    py::Ref day = py::getattr(today, kDay);
    return py::text("qzr_kov-", year, formatted(month.get(), "02"), formatted(day.get(), "02"),
                    ".log");
}

// The handler attached by the import in progress, until it completes.
PyObject* g_attached = nullptr;

}  // namespace

void set_up_log_file() {
    py::Ref date = ns::global(ns::kDate);
    py::Ref today = py::call_method(date.get(), kToday);
    ns::bind(ns::kToday, today.get());

    py::Ref path_class = ns::global(ns::kPath);
    py::Ref log_dir_name = py::check(PyUnicode_FromString("log"));
    py::Ref log_path = py::call(path_class.get(), log_dir_name);
    ns::bind(ns::kLogPath, log_path.get());
    py::Ref mkdir = py::getattr(log_path.get(), kMkdir);
    py::KeywordCall().with(kExistOk, Py_True).call(mkdir.get());

    py::Ref name = file_name(today.get());
    py::Ref log_filename = py::check(PyNumber_TrueDivide(log_path.get(), name.get()));
    ns::bind(ns::kLogFilename, log_filename.get());

    py::Ref handler_class = ns::global(ns::kFileLogHandler);
    py::Ref filename_text = py::check(PyObject_Str(log_filename.get()));
    py::Ref handler = py::call(handler_class.get(), filename_text);
    ns::bind(ns::kFileLogHandlerInstance, handler.get());

    py::Ref formatter_class = ns::global(ns::kLogFormatter);
    py::Ref line_format = py::check(PyUnicode_FromString(kLineFormat));
    py::Ref formatter = py::call(formatter_class.get(), line_format);
    ns::bind(ns::kFormatter, formatter.get());
    py::call_method(handler.get(), kSetFormatter, formatter);

    py::Ref logger = ns::global(ns::kLogger);
    py::call_method(logger.get(), kAddHandler, handler);
    Py_XSETREF(g_attached, handler.release());
}

void detach_file_handler() {
    if (g_attached == nullptr) return;
    py::keeping_error([] {
        py::Ref logger = ns::global(ns::kLogger);
        py::call_method(logger.get(), kRemoveHandler, g_attached);
    });
    Py_CLEAR(g_attached);
}

void forget_file_handler() { Py_CLEAR(g_attached); }

}  // namespace qzr::log
