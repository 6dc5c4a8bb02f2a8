#include "entry/enums.hpp"

#include <vector>

#include "core/class_builder.hpp"
#include "core/enum_members.hpp"
#include "core/namespace.hpp"
#include "entry/members.gen.hpp"
#include "py/call.hpp"

namespace qzr::enums {
namespace {

py::Name kPrepare{"__prepare__"};

/*[method]
@order(10)
@member_of(Direction)
@stub(returns="Direction")
def reverse(self):
    """The opposite direction: Negative for Positive and Positive for Negative."""
[method]*/
// The member of opposite sign.
py::Ref reverse(PyObject* self) {
    py::Ref negated = py::check(PyNumber_Negative(self));
    return member(ns::kDirection, negated.get());
}

#if PY_VERSION_HEX >= 0x030B0000
// __format__(self, format_spec): the member's value formatted, as the
// enumerations of earlier versions format. Only there on 3.11 and later, so
// not declared with the members the stub shows.
py::Ref format_value(PyObject* self, PyObject* format_spec) {
    py::Ref value = py::check(PyNumber_Index(self));
    return py::check(PyObject_Format(value.get(), format_spec));
}

const ParamSpec kFormatSpecParam[] = {{"format_spec"}};
const MethodSpec kFormatValue = declare<format_value>("__format__", kFormatSpecParam, Ann::Unset,
                                                      nullptr);

// enum.Enum.__str__: "Class.Member".
py::Ref enum_str() {
    py::Ref enum_module = py::check(PyImport_ImportModule("enum"));
    py::Ref base = py::check(PyObject_GetAttrString(enum_module.get(), "Enum"));
    return py::check(PyObject_GetAttrString(base.get(), "__str__"));
}
#endif

// class <name>(IntEnum): members..., methods...
void create_enum(const Enumeration& enumeration, const std::vector<MemberSpec>& methods) {
    const py::Name& name = enumeration.cls;
    py::Ref int_enum = ns::global(ns::kIntEnum);
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(int_enum.get()));
    py::Ref bases = py::tuple(int_enum);
    py::Ref class_name = py::check(PyUnicode_FromString(name.text()));
    py::Ref body = py::call_method(metaclass, kPrepare, class_name, bases);
    begin_namespace(body.get(), name.text());
    for (std::size_t i = 0; i < enumeration.count; ++i) {
        const Member& m = enumeration.members[i];
        py::Ref v = py::integer(m.value);
        py::require(PyObject_SetItem(body.get(), m.name.get(), v.get()) == 0);
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
    remember(enumeration, cls.get());
}

}  // namespace

void create() {
    create_enum(kEnumerations[0], members::Direction());
    create_enum(kEnumerations[1], {});
    create_enum(kEnumerations[2], {});
}

#include "entry/enums.gen.inc"

}  // namespace qzr::enums
