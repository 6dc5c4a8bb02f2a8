#include "core/enum_members.hpp"

#include "py/call.hpp"

namespace qzr::enums {
namespace {

// The class made at import for each of kEnumerations, and its members by
// value; owned for the life of the process.
struct ValueTable {
    PyObject* made = nullptr;
    PyObject* by_value = nullptr;
};

constexpr std::size_t kCount = sizeof(kEnumerations) / sizeof(kEnumerations[0]);
ValueTable g_tables[kCount];

ValueTable* table_for(const py::Name& cls) {
    for (std::size_t i = 0; i < kCount; ++i) {
        if (&kEnumerations[i].cls == &cls) return g_tables[i].made ? &g_tables[i] : nullptr;
    }
    return nullptr;
}

}  // namespace

py::Ref member_named(const py::Name& cls, const py::Name& member) {
    py::Ref c = ns::global(cls);
    return py::getattr(c.get(), member);
}

bool is_member(PyObject* value, const py::Name& cls, const py::Name& member) {
    return py::compare(value, member_named(cls, member).get(), Py_EQ);
}

py::Ref member(const py::Name& cls, PyObject* value) {
    py::Ref current = ns::global(cls);
    ValueTable* table = table_for(cls);
    if (table != nullptr && current.get() == table->made) {
        PyObject* found = PyDict_GetItemWithError(table->by_value, value);
        if (found != nullptr) return py::Ref::borrow(found);
        // Unhashable values and misses take the enumeration's own path.
        PyErr_Clear();
    }
    return py::call(current.get(), value);
}

void remember(const Enumeration& enumeration, PyObject* cls) {
    py::Ref by_value = py::check(PyDict_New());
    for (std::size_t i = 0; i < enumeration.count; ++i) {
        const Member& m = enumeration.members[i];
        py::Ref member = py::getattr(cls, m.name);
        py::Ref value = py::integer(m.value);
        py::require(PyDict_SetItem(by_value.get(), value.get(), member.get()) == 0);
    }
    ValueTable& table = g_tables[&enumeration - kEnumerations];
    Py_INCREF(cls);
    Py_XSETREF(table.made, cls);
    Py_XSETREF(table.by_value, by_value.release());
}

}  // namespace qzr::enums
