// FileLogHandler: a logging.Handler that appends each record to a file,
// opening and closing the file for every record.
#include <Python.h>

#include "core/class_builder.hpp"
#include "core/namespace.hpp"
#include "log/append.hpp"
#include "log/log.hpp"
#include "py/args.hpp"
#include "py/call.hpp"
#include "py/finally.hpp"

namespace qzr::log {
namespace {

py::Name kInit{"__init__"};
py::Name kFilename{"__filename", ns::kHandlerClass};
py::Name kFormat{"format"};
py::Name kLock{"lock"};
py::Name kEnter{"__enter__"};
py::Name kExit{"__exit__"};

// The class, for super() in __init__ (what a __class__ cell holds in
// Python). Owned for the life of the process.
PyObject* g_class = nullptr;

/*[method]
@order(10)
@member_of(FileLogHandler)
@stub(returns="None")
def __init__(self, filename: str, level: int = _LOG_INFO):
    ...
[method]*/
py::Ref init(PyObject* self, py::StrOrNone filename, PyObject* level) {
    py::Ref base = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), g_class, self);
    py::call_method(base.get(), kInit, level);
    py::setattr(self, kFilename, filename.get());
    return py::none();
}

/*[method]
@order(20)
@member_of(FileLogHandler)
def emit(self, record: _LogRecord) -> None:
    ...
[method]*/
py::Ref emit(PyObject* self, PyObject* record) {
    py::Ref formatted = py::call_method(self, kFormat, record);
    py::Ref newline = py::check(PyUnicode_FromString("\n"));
    py::Ref message = py::check(PyUnicode_Concat(formatted.get(), newline.get()));
    // Handler.handle() already holds this (re-entrant) lock when it calls
    // emit; taking it here as well keeps a record whole when emit is called
    // on its own.
    py::Ref lock = py::getattr(self, kLock);
    py::call_method(lock.get(), kEnter);
    py::run_finally(
        [&] {
            py::Ref filename = py::getattr(self, kFilename);
            append(filename.get(), message.get());
        },
        [&] { py::call_method(lock.get(), kExit, Py_None, Py_None, Py_None); });
    return py::none();
}

}  // namespace

void adopt_handler_class(PyObject* cls) {
    Py_INCREF(cls);
    Py_XSETREF(g_class, cls);
}

#include "log/file_log_handler.gen.inc"

}  // namespace qzr::log
