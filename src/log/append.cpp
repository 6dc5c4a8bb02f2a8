#include "log/append.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "py/ref.hpp"

namespace qzr::log {
namespace {

// The path bytes of the last file name appended to, kept while the handler
// keeps that name (str and bytes names only: they cannot change). Touched
// with the GIL held only.
PyObject* g_name = nullptr;     // owned
PyObject* g_encoded = nullptr;  // owned bytes

// The file name as the operating system takes it (new reference).
py::Ref encoded_path(PyObject* filename) {
    if (filename == g_name) return py::Ref::borrow(g_encoded);
    PyObject* encoded = nullptr;
    py::require(PyUnicode_FSConverter(filename, &encoded) != 0);
    py::Ref path = py::Ref::steal(encoded);
    if (PyUnicode_CheckExact(filename) || PyBytes_CheckExact(filename)) {
        Py_INCREF(filename);
        Py_XSETREF(g_name, filename);
        Py_INCREF(encoded);
        Py_XSETREF(g_encoded, encoded);
    }
    return path;
}

// What became of one append, found out without the GIL.
struct Outcome {
    int open_error = 0;        // errno of open(), or 0
    int error = 0;             // errno of a write or of close(), or 0
    bool interrupted = false;  // a write was interrupted by a signal
};

// Writes the pieces from `done` bytes on, in one writev call where the
// system takes it all; returns false with errno set when a write fails.
// `start` is where this record began in the file, once known (-1 before).
bool write_pieces(int fd, const iovec* pieces, Py_ssize_t total, Py_ssize_t& done, off_t& start) {
    while (done < total) {
        iovec rest[2];
        int count = 0;
        Py_ssize_t skip = done;
        for (int i = 0; i < 2; ++i) {
            Py_ssize_t len = static_cast<Py_ssize_t>(pieces[i].iov_len);
            if (skip >= len) {
                skip -= len;
                continue;
            }
            rest[count].iov_base = static_cast<char*>(pieces[i].iov_base) + skip;
            rest[count].iov_len = static_cast<size_t>(len - skip);
            skip = 0;
            ++count;
        }
        ssize_t n = ::writev(fd, rest, count);
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        if (start < 0 && n < total - done) {
            // A short write: note where the record began, in case the rest
            // fails and the part written must be taken back.
            off_t here = ::lseek(fd, 0, SEEK_CUR);
            start = here < 0 ? -2 : here - n;
        }
        done += n;
    }
    return true;
}

// Takes back the `done` bytes a failed record left from `start` on, unless
// something else has been appended after them.
void remove_partial_record(int fd, off_t start, Py_ssize_t done) {
    if (done == 0 || start < 0) return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size != start + done) return;
    while (::ftruncate(fd, start) != 0 && errno == EINTR) {
    }
}

// Writes the rest of the record and closes the file; a failed write takes
// its part of the record back first. Interrupted by a signal, it leaves the
// file open for the rest.
Outcome write_and_close(int fd, const iovec* pieces, Py_ssize_t total, Py_ssize_t& done,
                        off_t& start) {
    Outcome outcome;
    if (!write_pieces(fd, pieces, total, done, start)) {
        outcome.error = errno;
        if (outcome.error == EINTR) {
            outcome.interrupted = true;
            return outcome;
        }
        remove_partial_record(fd, start, done);
    }
    if (::close(fd) != 0 && errno != EINTR && outcome.error == 0) outcome.error = errno;
    return outcome;
}

}  // namespace

void append_line(PyObject* filename, PyObject* text) {
    py::Ref path = encoded_path(filename);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    py::require(data != nullptr);
    static char newline[] = "\n";
    iovec pieces[2] = {{const_cast<char*>(data), static_cast<size_t>(size)}, {newline, 1}};
    Py_ssize_t total = size + 1;
    Py_ssize_t done = 0;
    off_t start = -1;

    // Open, write and close with the GIL released once.
    Outcome outcome;
    int fd;
    Py_BEGIN_ALLOW_THREADS
    do {
        fd = ::open(PyBytes_AS_STRING(path.get()), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        outcome.open_error = errno;
    } else {
        outcome = write_and_close(fd, pieces, total, done, start);
    }
    Py_END_ALLOW_THREADS

    if (outcome.open_error != 0) {
        errno = outcome.open_error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
        py::throw_error();
    }
    // A signal during a write: its handler runs (and may raise) with the
    // GIL, then the rest of the record goes out.
    while (outcome.interrupted) {
        if (PyErr_CheckSignals() != 0) {
            Py_BEGIN_ALLOW_THREADS
            remove_partial_record(fd, start, done);
            ::close(fd);
            Py_END_ALLOW_THREADS
            py::throw_error();
        }
        Py_BEGIN_ALLOW_THREADS
        outcome = write_and_close(fd, pieces, total, done, start);
        Py_END_ALLOW_THREADS
    }
    if (outcome.error != 0) {
        errno = outcome.error;
        PyErr_SetFromErrno(PyExc_OSError);
        py::throw_error();
    }
}

}  // namespace qzr::log
