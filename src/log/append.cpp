#include "log/append.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "py/ref.hpp"

namespace qzr::log {
namespace {

// A file descriptor closed when it goes out of scope (errors of that close
// are not reported; the normal path closes explicitly).
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    int release() { int fd = fd_; fd_ = -1; return fd; }

private:
    int fd_;
};

int open_for_append(const char* path) {
    int fd;
    Py_BEGIN_ALLOW_THREADS
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    Py_END_ALLOW_THREADS
    return fd;
}

// Writes all of data; false with errno set on failure.
bool write_all(int fd, const char* data, Py_ssize_t size) {
    while (size > 0) {
        ssize_t n;
        Py_BEGIN_ALLOW_THREADS
        n = ::write(fd, data, static_cast<size_t>(size));
        Py_END_ALLOW_THREADS
        if (n < 0) {
            if (errno != EINTR) return false;
            if (PyErr_CheckSignals() != 0) throw py::Error{};
            continue;
        }
        data += n;
        size -= n;
    }
    return true;
}

[[noreturn]] void raise_os_error() {
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::Error{};
}

}  // namespace

void append(PyObject* filename, PyObject* message) {
    PyObject* encoded_path = nullptr;
    py::require(PyUnicode_FSConverter(filename, &encoded_path) != 0);
    py::Ref path = py::Ref::steal(encoded_path);

    Descriptor file(open_for_append(PyBytes_AS_STRING(path.get())));
    if (file.get() < 0) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
        throw py::Error{};
    }
    py::Ref data = py::check(PyUnicode_AsUTF8String(message));
    if (!write_all(file.get(), PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()))) {
        raise_os_error();
    }
    int fd = file.release();
    int closed;
    Py_BEGIN_ALLOW_THREADS
    closed = ::close(fd);
    Py_END_ALLOW_THREADS
    if (closed != 0 && errno != EINTR) raise_os_error();
}

}  // namespace qzr::log
