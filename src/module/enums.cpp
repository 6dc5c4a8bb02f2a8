#include "module/enums.hpp"

#include <utility>
#include <vector>

#include "module/class_builder.hpp"
#include "module/namespace.hpp"
#include "py/call.hpp"

namespace qzr::enums {
namespace {

py::Name kPrepare{"__prepare__"};

using Members = std::vector<std::pair<const char*, long>>;

// An enumeration made at import and its members by value; owned for the life
// of the process.
struct ValueTable {
    const py::Name* name;
    PyObject* cls = nullptr;
    PyObject* by_value = nullptr;
};

ValueTable g_tables[] = {{&ns::kDirection}, {&ns::kStopSource}, {&ns::kFindingOMethod}};

ValueTable* table_for(const py::Name& name) {
    for (ValueTable& t : g_tables) {
        if (t.name == &name) return &t;
    }
    return nullptr;
}

void remember(const py::Name& name, PyObject* cls, const Members& members) {
    ValueTable* table = table_for(name);
    py::Ref by_value = py::check(PyDict_New());
    for (const auto& entry : members) {
        py::Ref member = py::check(PyObject_GetAttrString(cls, entry.first));
        py::Ref value = py::check(PyLong_FromLong(entry.second));
        py::require(PyDict_SetItem(by_value.get(), value.get(), member.get()) == 0);
    }
    Py_INCREF(cls);
    Py_XSETREF(table->cls, cls);
    Py_XSETREF(table->by_value, by_value.release());
}

// Direction.reverse(): the member of opposite sign.
py::Ref reverse(PyObject* const* args) {
    py::Ref negated = py::check(PyNumber_Negative(args[0]));
    return member(ns::kDirection, negated.get());
}

const MethodSpec kReverse{"reverse", reverse, {}};

#if PY_VERSION_HEX >= 0x030B0000
// __format__(self, format_spec): the member's value formatted, as the
// enumerations of earlier versions format.
py::Ref format_value(PyObject* const* args) {
    py::Ref value = py::check(PyNumber_Index(args[0]));
    return py::check(PyObject_Format(value.get(), args[1]));
}

const MethodSpec kFormatValue{"__format__", format_value, {{"format_spec"}}};

// enum.Enum.__str__: "Class.Member".
py::Ref enum_str() {
    py::Ref enum_module = py::check(PyImport_ImportModule("enum"));
    py::Ref base = py::check(PyObject_GetAttrString(enum_module.get(), "Enum"));
    return py::check(PyObject_GetAttrString(base.get(), "__str__"));
}
#endif

// class <name>(IntEnum): members..., methods...
void create_enum(const py::Name& name, const Members& members,
                 const std::vector<MemberSpec>& methods = {}) {
    py::Ref int_enum = ns::global(ns::kIntEnum);
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get()));
    py::Ref bases = py::tuple(int_enum);
    py::Ref class_name = py::check(PyUnicode_FromString(name.text()));
    py::Ref body = py::call_method(metaclass, kPrepare, class_name, bases);
    begin_namespace(body.get(), name.text());
    for (const auto& [member, value] : members) {
        py::Ref v = py::check(PyLong_FromLong(value));
        py::require(PyMapping_SetItemString(body.get(), member, v.get()) == 0);
    }
    add_members(body.get(), name.text(), methods);
#if PY_VERSION_HEX >= 0x030B0000
    // From 3.11 on an IntEnum member's str() is its number; members of this
    // module keep the class and member name ("StopSource.Alarm") on every
    // version. format(), used by every log line, still gives the number.
    py::Ref plain_str = enum_str();
    py::require(PyMapping_SetItemString(body.get(), "__str__", plain_str.get()) == 0);
    add_members(body.get(), name.text(), {MemberSpec::plain(kFormatValue)});
#endif
    py::Ref cls = create_class(metaclass, name.text(), bases.get(), body.get());
    ns::bind(name, cls.get());
    remember(name, cls.get(), members);
}

}  // namespace

void create() {
    create_enum(ns::kDirection, {{"Negative", -1}, {"Positive", 1}}, {MemberSpec::plain(kReverse)});
    create_enum(ns::kStopSource, {{"Null", 0},
                                  {"Command", 1},
                                  {"Origin", 2},
                                  {"NegativeLimit", 3},
                                  {"PositiveLimit", 4},
                                  {"Alarm", 5},
                                  {"Emergency", 6}});
    create_enum(ns::kFindingOMethod, {{"LimitFirstThenBackward", 0}, {"OriginOnly", 1}});
}

py::Ref member(const py::Name& name, PyObject* value) {
    py::Ref cls = ns::global(name);
    ValueTable* table = table_for(name);
    if (table != nullptr && cls.get() == table->cls) {
        PyObject* found = PyDict_GetItemWithError(table->by_value, value);
        if (found != nullptr) return py::Ref::borrow(found);
        // Unhashable values and misses take the enumeration's own path.
        PyErr_Clear();
    }
    return py::call(cls.get(), value);
}

}  // namespace qzr::enums
