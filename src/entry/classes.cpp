#include "entry/classes.hpp"

#include "core/class_builder.hpp"
#include "core/namespace.hpp"
#include "entry/members.gen.hpp"
#include "log/log.hpp"
#include "py/call.hpp"

namespace qzr::classes {
namespace {

// class <name>(*bases): members..., through the metaclass of the first base
// (or type), and bound under its name.
py::Ref create(const py::Name& name, PyObject* bases, const std::vector<MemberSpec>& members) {
    PyObject* metaclass = PyTuple_GET_SIZE(bases) > 0
                              ? reinterpret_cast<PyObject*>(Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                              : reinterpret_cast<PyObject*>(&PyType_Type);
    py::Ref body = py::check(PyDict_New());
    begin_namespace(body.get(), name.text());
    add_members(body.get(), name.text(), members);
    py::Ref cls = create_class(metaclass, name.text(), bases, body.get());
    ns::bind(name, cls.get());
    return cls;
}

}  // namespace

void create_file_log_handler() {
    py::Ref base = ns::global(ns::kLogHandler);
    py::Ref bases = py::tuple(base);
    py::Ref cls = create(ns::kFileLogHandler, bases.get(), members::FileLogHandler());
    log::adopt_handler_class(cls.get());
}

void create_controller() {
    py::Ref bases = py::tuple();
    create(ns::kKOVAxisController, bases.get(), members::KOVAxisController());
}

}  // namespace qzr::classes
