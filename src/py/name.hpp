// Interned strings for attribute, method and dictionary key names.
#pragma once

#include <Python.h>

#include <string>

#include "py/ref.hpp"

namespace py {

// The name under which `name` is stored when it is written inside the class
// `owner`: a class-private name ("__x", not ending in "__") becomes
// "_Owner__x", as the compiler mangles it; every other name stays as it is.
std::string mangle(const char* owner, const char* name);

// A name interned on first use and kept for the life of the process (the
// module loads into one interpreter only). Declare them with static storage:
//     static py::Name kInfo{"info"};   ...   kInfo.get()
// (shared ones in headers as `inline py::Name`). A name given with its
// owning class is the mangled one: Name{"__mew", "KOVAxisController"} is
// "_KOVAxisController__mew".
class Name {
public:
    explicit constexpr Name(const char* text, const char* owner = nullptr) noexcept
        : text_(text), owner_(owner) {}
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    // Borrowed; throws Error when interning fails (out of memory).
    PyObject* get() const {
        if (object_ == nullptr) {
            object_ = owner_ == nullptr ? PyUnicode_InternFromString(text_)
                                        : PyUnicode_InternFromString(mangle(owner_, text_).c_str());
            require(object_ != nullptr);
        }
        return object_;
    }
    // The name as written (unmangled).
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    const char* owner_;
    mutable PyObject* object_ = nullptr;
};

}  // namespace py
