// Interned strings for attribute, method and dictionary key names.
#pragma once

#include <Python.h>

#include "py/ref.hpp"

namespace py {

// A name interned on first use and kept for the life of the process (the
// module loads into one interpreter only). Declare them with static storage:
//     static py::Name kInfo{"info"};   ...   kInfo.get()
// (shared ones in headers as `inline py::Name`).
class Name {
public:
    explicit constexpr Name(const char* text) noexcept : text_(text) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // Borrowed; throws Error when interning fails (out of memory).
    PyObject* get() const {
        if (object_ == nullptr) {
            object_ = PyUnicode_InternFromString(text_);
            require(object_ != nullptr);
        }
        return object_;
    }
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace py
