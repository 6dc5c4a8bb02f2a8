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
py::Name kThreadModule{"_thread"};
py::Name kRLock{"RLock"};
py::Name kAcquire{"acquire"};
py::Name kRelease{"release"};

// The class, for super() in __init__ (what a __class__ cell holds in
// Python). Owned for the life of the process.
PyObject* g_class = nullptr;

// The lock logging.Handler makes (threading.RLock, the C type _thread.RLock)
// and its acquire and release, looked up on first use. For a lock of exactly
// that type, `with lock:` is acquire() and release(), called here without a
// lookup on the lock; any other lock (a subclass's) is entered as it is.
struct KnownLock {
    bool looked_up = false;
    PyObject* type = nullptr;     // owned, or null when there is no such type
    PyObject* acquire = nullptr;  // owned method descriptors
    PyObject* release = nullptr;
};
KnownLock g_rlock;

const KnownLock& rlock() {
    if (g_rlock.looked_up) return g_rlock;
    g_rlock.looked_up = true;
    py::keeping_error([] {
        py::Ref module = py::check(PyImport_Import(kThreadModule.get()));
        py::Ref type = py::getattr(module.get(), kRLock);
        if (!PyType_Check(type.get())) return;
        py::Ref acquire = py::getattr(type.get(), kAcquire);
        py::Ref release = py::getattr(type.get(), kRelease);
        g_rlock.acquire = acquire.release();
        g_rlock.release = release.release();
        g_rlock.type = type.release();
    });
    return g_rlock;
}

bool is_rlock(PyObject* lock) {
    const KnownLock& known = rlock();
    return known.type != nullptr && Py_TYPE(lock) == reinterpret_cast<PyTypeObject*>(known.type);
}

void enter(PyObject* lock) {
    if (is_rlock(lock)) {
        py::call(g_rlock.acquire, lock);
    } else {
        py::call_method(lock, kEnter);
    }
}

void leave(PyObject* lock) {
    if (is_rlock(lock)) {
        py::call(g_rlock.release, lock);
    } else {
        py::call_method(lock, kExit, Py_None, Py_None, Py_None);
    }
}

/*[method]
@order(10)
@member_of(FileLogHandler)
@stub(returns="None")
def __init__(self, filename: str, level: int = _LOG_INFO):
    """A handler writing to the file FILENAME (a str), at LEVEL (default INFO).

    Nothing is opened yet: the file is opened, written and closed for each
    record. Raises TypeError when FILENAME is neither a str nor None.
    """
[method]*/
py::Ref dunder_init(PyObject* self, py::StrOrNone filename, PyObject* level) {
    py::Ref base = py::call(reinterpret_cast<PyObject*>(&PySuper_Type), g_class, self);
    py::call_method(base.get(), kInit, level);
    py::setattr(self, kFilename, filename.get());
    return py::none();
}

/*[method]
@order(20)
@member_of(FileLogHandler)
def emit(self, record: _LogRecord) -> None:
    """Formats RECORD and appends it, with a newline, to the file in UTF-8.

    Creates the file if needed. Holds the handler's lock while writing, so
    lines from several threads never mix. An error opening or writing the
    file (folder gone, disk full) is raised as OSError from the logging
    call, not passed to handleError; so it comes out of the controller
    method that logged. What a failed write put in the file stays there,
    and the next record starts on a new line. Signal handlers run while
    the file's open or write waits; their exception (KeyboardInterrupt)
    ends the record.
    """
[method]*/
py::Ref emit(PyObject* self, PyObject* record) {
    py::Ref formatted = py::call_method(self, kFormat, record);
    if (!PyUnicode_Check(formatted.get())) {
        // What formatted + "\n" says of a format() that gave no str.
        py::Ref newline = py::check(PyUnicode_FromString("\n"));
        py::check(PyUnicode_Concat(formatted.get(), newline.get()));
    }
    // Handler.handle() already holds this (re-entrant) lock when it calls
    // emit; taking it here as well keeps a record whole when emit is called
    // on its own.
    py::Ref lock = py::getattr(self, kLock);
    enter(lock.get());
    py::run_finally(
        [&] {
            py::Ref filename = py::getattr(self, kFilename);
            append_line(filename.get(), formatted.get());
        },
        [&] { leave(lock.get()); });
    return py::none();
}

}  // namespace

void adopt_handler_class(PyObject* cls) {
    Py_INCREF(cls);
    Py_XSETREF(g_class, cls);
}

#include "log/file_log_handler.gen.inc"

}  // namespace qzr::log
