#include "py/name.hpp"

#include <cstring>

namespace py {

std::string mangle(const char* owner, const char* name) {
    std::size_t n = std::strlen(name);
    bool is_private = n > 2 && name[0] == '_' && name[1] == '_' &&
                      !(name[n - 1] == '_' && name[n - 2] == '_');
    if (!is_private) return name;
    // As the compiler does it: the class name without its leading underscores.
    while (*owner == '_') ++owner;
    return std::string("_") + owner + name;
}

}  // namespace py
