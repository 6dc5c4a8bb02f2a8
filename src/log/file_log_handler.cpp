// FileLogHandler: a logging.Handler that appends each record to a file,
// opening and closing the file for every record.
#include <Python.h>

#include "log/append.hpp"
#include "log/log.hpp"
#include "module/class_builder.hpp"
#include "module/namespace.hpp"
#include "py/call.hpp"
#include "py/finally.hpp"

namespace qzr::log {
namespace {

py::Name kInit{"__init__"};
py::Name kFilename{"_FileLogHandler__filename"};
py::Name kFormat{"format"};
py::Name kLock{"lock"};
py::Name kEnter{"__enter__"};
py::Name kExit{"__exit__"};

// The class being defined, for super() in __init__ (what a __class__ cell
// holds in Python). Owned for the life of the process.
PyObject* g_class = nullptr;

// __init__(self, filename: str, level: int = _LOG_INFO)
py::Ref init(PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref base = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), g_class, self);
    py::call_method(base.get(), kInit, args[2]);
    py::setattr(self, kFilename, args[1]);
    return py::none();
}

// emit(self, record: LogRecord) -> None
py::Ref emit(PyObject* const* args) {
    PyObject* self = args[0];
    py::Ref formatted = py::call_method(self, kFormat, args[1]);
    py::Ref newline = py::check(PyUnicode_FromString("\n"));
    py::Ref message = py::check(PyUnicode_Concat(formatted.get(), newline.get()));
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

const MethodSpec kHandlerInit{
    "__init__", init, {{"filename", Ann::Str}, {"level", Ann::Int, Default::global(ns::kLogInfo)}}};
const MethodSpec kEmit{"emit", emit, {{"record", Ann::LogRecord}}, Ann::NoneValue};

}  // namespace

void create_file_log_handler_class() {
    const char* name = ns::kFileLogHandler.text();
    py::Ref base = ns::global(ns::kLogHandler);
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    py::Ref bases = py::tuple(base);
    py::Ref body = py::check(PyDict_New());
    begin_namespace(body.get(), name);
    add_members(body.get(), name, {MemberSpec::plain(kHandlerInit), MemberSpec::plain(kEmit)});
    py::Ref cls = create_class(metaclass, name, bases.get(), body.get());
    ns::bind(ns::kFileLogHandler, cls.get());
    Py_XSETREF(g_class, cls.release());
}

}  // namespace qzr::log
