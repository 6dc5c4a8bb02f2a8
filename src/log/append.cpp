#include "log/append.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

#include "py/ref.hpp"

namespace qzr::log {
namespace {

char g_newline[] = "\n";

// How a file may be opened so that its last byte can be read.
enum class Access : unsigned char {
    Unknown,    // not appended to yet under this name
    ReadWrite,  // a regular file we may read: opened O_RDWR
    WriteOnly,  // anything else (a FIFO, a device, a file we may not read)
};

// What this process knows of a file it appends to.
struct Facts {
    Access access = Access::Unknown;
    // The file the rest is about, as fstat() last saw it (appends to a
    // file that can be read do not look).
    bool seen = false;
    dev_t dev = 0;
    ino_t ino = 0;
    // Our last append to it stopped mid-line: a write failed part-way.
    bool mid_line = false;
    // Where it ends if nothing was appended after our last whole record, or
    // -1. The file then ends with our newline: its last byte need not be
    // read.
    off_t end = -1;
};

// The facts by the name the file was given. Process-wide (several handlers
// may name one file), touched with the GIL held only: an append works on a
// copy while the GIL is released.
struct Note {
    py::Ref name;     // the str or bytes given (immutable), or empty
    py::Ref encoded;  // the name as the OS takes it (bytes)
    Facts facts;
};

// A few names at once (one per handler; usually one in all). A note that
// says "mid-line" is the last to be given up for another name.
constexpr int kNotes = 4;
int g_next_victim = 0;

Note* notes() {
    // Never freed: references must not be dropped after the interpreter
    // has ended.
    static Note* all = new Note[kNotes];
    return all;
}

bool same_bytes(PyObject* a, PyObject* b) {
    Py_ssize_t size = PyBytes_GET_SIZE(a);
    return size == PyBytes_GET_SIZE(b) &&
           memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), static_cast<size_t>(size)) == 0;
}

// The note for the encoded name, or a slot given up for it.
Note& note_for_encoded(PyObject* encoded) {
    Note* all = notes();
    for (int i = 0; i < kNotes; ++i) {
        PyObject* known = all[i].encoded.get();
        if (known != nullptr && (known == encoded || same_bytes(known, encoded))) return all[i];
    }
    int victim = g_next_victim;
    for (int i = 0; i < kNotes; ++i) {
        int at = (g_next_victim + i) % kNotes;
        if (!all[at].facts.mid_line) {
            victim = at;
            break;
        }
    }
    g_next_victim = (victim + 1) % kNotes;
    Note& note = all[victim];
    note.name = py::Ref();
    note.encoded = py::Ref::borrow(encoded);
    note.facts = Facts{};
    return note;
}

// The note for `filename`; `path` receives the name as the OS takes it.
Note& note_for(PyObject* filename, py::Ref& path) {
    Note* all = notes();
    for (int i = 0; i < kNotes; ++i) {
        if (all[i].name.get() == filename) {
            path = all[i].encoded;
            return all[i];
        }
    }
    PyObject* encoded = nullptr;
    py::require(PyUnicode_FSConverter(filename, &encoded) != 0);
    path = py::Ref::steal(encoded);
    Note& note = note_for_encoded(encoded);
    if (PyUnicode_CheckExact(filename) || PyBytes_CheckExact(filename)) {
        note.name = py::Ref::borrow(filename);
    }
    return note;
}

// One record's append, advanced without the GIL from stage to stage. It
// stops early when the interpreter's signal handlers must run (a system
// call was interrupted, or a write was cut short, which a signal may also
// cause) and goes on from where it stopped afterwards.
struct Append {
    enum class Stage : unsigned char { Open, Write, Close, Done };

    const char* path = nullptr;
    Facts facts;           // what is known of the file; updated as it goes
    iovec pieces[3] = {};  // the separator (empty or "\n"), the text, "\n"
    Py_ssize_t total = 0;

    Stage stage = Stage::Open;
    bool check_signals = false;  // stopped for the signal handlers
    int fd = -1;
    off_t size_before = -1;      // the file's size when opened, if regular
    Py_ssize_t done = 0;         // bytes of the pieces written
    int open_error = 0;          // errno of open(), or 0
    int error = 0;               // errno of a write or of close(), or 0
};

char byte_at(const Append& a, Py_ssize_t offset) {
    for (const iovec& piece : a.pieces) {
        Py_ssize_t len = static_cast<Py_ssize_t>(piece.iov_len);
        if (offset < len) return static_cast<const char*>(piece.iov_base)[offset];
        offset -= len;
    }
    return '\n';
}

// The last byte of the file open as `fd`, of `size` bytes; -1 when it
// cannot be read.
int last_byte(int fd, off_t size) {
    unsigned char c;
    return ::pread(fd, &c, 1, size - 1) == 1 ? c : -1;
}

// The same through a descriptor of its own on `path`, for a file opened
// write-only; `st` describes that file.
int last_byte_of(const char* path, const struct stat& st) {
    int reader = ::open(path, O_RDONLY | O_CLOEXEC);
    if (reader < 0) return -1;
    struct stat other;
    int result = -1;
    if (::fstat(reader, &other) == 0 && other.st_dev == st.st_dev && other.st_ino == st.st_ino) {
        result = last_byte(reader, st.st_size);
    }
    ::close(reader);
    return result;
}

// Opens the file and decides whether the record must start with a newline:
// when the file does not end with one, because a record was cut short here
// or in another process. Returns false to stop (an error, or the signal
// handlers to run).
bool open_file(Append& a) {
    Facts& facts = a.facts;
    bool mid_line = facts.mid_line;
    for (;;) {
        bool readable = facts.access == Access::ReadWrite;
        int flags = (readable ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND | O_CLOEXEC;
        a.fd = ::open(a.path, flags, 0666);
        if (a.fd < 0) {
            if (errno == EACCES && readable) {
                facts.access = Access::WriteOnly;  // may write it, not read it
                continue;
            }
            if (errno == EINTR) {
                a.check_signals = true;
            } else {
                a.open_error = errno;
                a.stage = Append::Stage::Done;
            }
            return false;
        }
        if (readable) {
            // The usual case: a regular file appended to before. Its size
            // tells whether it still ends with our newline; if not, its
            // last byte is read. (One system call more than the append
            // itself, about a fifth of what fstat() costs.)
            off_t size = ::lseek(a.fd, 0, SEEK_END);
            if (size < 0) {
                // Not seekable: no longer a regular file. Opened write-only,
                // a FIFO waits for a reader as it should.
                ::close(a.fd);
                facts.access = Access::WriteOnly;
                continue;
            }
            a.size_before = size;
            if (size == 0 || size == facts.end) {
                mid_line = false;
            } else {
                int last = last_byte(a.fd, size);
                if (last >= 0) mid_line = last != '\n';
            }
            break;
        }
        // The first append under this name, or a file that cannot be read
        // (a FIFO, a device, no permission): what it is decides.
        struct stat st;
        if (::fstat(a.fd, &st) != 0) break;
        bool same = facts.seen && facts.dev == st.st_dev && facts.ino == st.st_ino;
        mid_line = same && facts.mid_line;
        if (!same) facts.end = -1;
        facts.seen = true;
        facts.dev = st.st_dev;
        facts.ino = st.st_ino;
        if (!S_ISREG(st.st_mode)) {
            facts.access = Access::WriteOnly;
            break;
        }
        a.size_before = st.st_size;
        if (st.st_size == 0 || st.st_size == facts.end) {
            mid_line = false;
        } else if (facts.access == Access::Unknown) {
            int last = last_byte_of(a.path, st);
            if (last >= 0) {
                mid_line = last != '\n';
            } else {
                facts.access = Access::WriteOnly;
            }
        }
        if (facts.access == Access::Unknown) facts.access = Access::ReadWrite;
        break;
    }
    facts.mid_line = mid_line;
    if (mid_line) {
        a.pieces[0] = {g_newline, 1};
        a.total += 1;
    }
    a.stage = Append::Stage::Write;
    return true;
}

// Writes what is left of the pieces. Returns false to stop.
bool write_rest(Append& a) {
    while (a.done < a.total) {
        iovec rest[3];
        int count = 0;
        Py_ssize_t skip = a.done;
        for (const iovec& piece : a.pieces) {
            Py_ssize_t len = static_cast<Py_ssize_t>(piece.iov_len);
            if (skip >= len) {
                skip -= len;
                continue;
            }
            rest[count].iov_base = static_cast<char*>(piece.iov_base) + skip;
            rest[count].iov_len = static_cast<size_t>(len - skip);
            skip = 0;
            ++count;
        }
        ssize_t n = ::writev(a.fd, rest, count);
        if (n < 0 && errno == EINTR) {
            a.check_signals = true;
            return false;
        }
        if (n <= 0) {
            // The part written stays: the next record starts on a new line.
            a.error = n < 0 ? errno : EIO;
            ::close(a.fd);  // its own failure adds nothing to the write's
            a.fd = -1;
            a.stage = Append::Stage::Done;
            return false;
        }
        a.done += n;
        if (a.done < a.total) {
            // Cut short: by a signal (the handlers must run before the rest
            // may block again), or at a limit the next write will report.
            a.check_signals = true;
            return false;
        }
    }
    a.stage = Append::Stage::Close;
    return true;
}

void close_file(Append& a) {
    int result = ::close(a.fd);
    // The descriptor is released whatever close() says, EINTR included: it
    // is never closed again.
    a.fd = -1;
    a.stage = Append::Stage::Done;
    if (result != 0) {
        if (errno == EINTR) {
            a.check_signals = true;
        } else {
            a.error = errno;
        }
    }
}

// Advances `a` until it is done or must stop for the signal handlers.
void advance(Append& a) {
    a.check_signals = false;
    if (a.stage == Append::Stage::Open && !open_file(a)) return;
    if (a.stage == Append::Stage::Write && !write_rest(a)) return;
    if (a.stage == Append::Stage::Close) close_file(a);
}

// Keeps what the append learnt of the file (with the GIL).
void remember(PyObject* encoded, const Append& a) {
    Facts& facts = note_for_encoded(encoded).facts;
    facts = a.facts;
    if (a.done == a.total) {
        facts.mid_line = false;
        facts.end = a.size_before >= 0 ? a.size_before + a.total : -1;
    } else {
        if (a.done > 0) facts.mid_line = byte_at(a, a.done - 1) != '\n';
        facts.end = -1;
    }
}

void release_and_advance(Append& a) {
    Py_BEGIN_ALLOW_THREADS
    advance(a);
    Py_END_ALLOW_THREADS
}

}  // namespace

void append_line(PyObject* filename, PyObject* text) {
    py::Ref path;
    const Facts& facts = note_for(filename, path).facts;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    py::require(data != nullptr);

    Append a;
    a.path = PyBytes_AS_STRING(path.get());
    a.facts = facts;
    a.pieces[1] = {const_cast<char*>(data), static_cast<size_t>(size)};
    a.pieces[2] = {g_newline, 1};
    a.total = size + 1;

    // Open, write and close with the GIL released once, unless a signal
    // comes: its handlers then run (and may raise) before the append goes
    // on, as with the interpreter's own file operations.
    release_and_advance(a);
    while (a.check_signals) {
        if (PyErr_CheckSignals() != 0) {
            // Given up with the handler's exception; what the record had
            // written stays in the file.
            if (a.fd >= 0) {
                int fd = a.fd;
                a.fd = -1;
                Py_BEGIN_ALLOW_THREADS
                ::close(fd);
                Py_END_ALLOW_THREADS
            }
            remember(path.get(), a);
            py::throw_error();
        }
        if (a.stage == Append::Stage::Done) break;
        release_and_advance(a);
    }
    remember(path.get(), a);

    if (a.open_error != 0) {
        errno = a.open_error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
        py::throw_error();
    }
    if (a.error != 0) {
        errno = a.error;
        PyErr_SetFromErrno(PyExc_OSError);
        py::throw_error();
    }
}

}  // namespace qzr::log
