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

// Direction.reverse(): the member of opposite sign.
py::Ref reverse(PyObject* const* args) {
    py::Ref negated = py::check(PyNumber_Negative(args[0]));
    py::Ref direction = ns::global(ns::kDirection);
    return py::call(direction.get(), negated);
}

const MethodSpec kReverse{"reverse", reverse, {}};

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
    py::Ref cls = create_class(metaclass, name.text(), bases.get(), body.get());
    ns::bind(name, cls.get());
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

}  // namespace qzr::enums
