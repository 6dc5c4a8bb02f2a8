#include "link/master.hpp"

#include "core/fields.hpp"
#include "core/namespace.hpp"
#include "py/call.hpp"

namespace qzr::link {
namespace {

py::Name kBaudrate{"baudrate"};
py::Name kClose{"close"};
py::Name kGetCoil{"get_coil"};
py::Name kSetCoil{"set_coil"};
py::Name kGetCoilUint16{"get_coil_uint16"};
py::Name kSetCoilUint16{"set_coil_uint16"};
py::Name kGetInt32{"get_int32"};
py::Name kSetInt32{"set_int32"};
py::Name kSetUint32{"set_uint32"};
py::Name kGetMultiInt32{"get_multi_int32"};
py::Name kSetMultiUint32{"set_multi_uint32"};

// master.<op>(station, name, *rest)
template <class... A>
py::Ref exchange(PyObject* controller, const py::Name& op, PyObject* station, PyObject* name,
                 A... rest) {
    py::Ref master = master_of(controller);
    return py::call_method(master.get(), op, station, name, rest...);
}

}  // namespace

py::Ref create_master(PyObject* port, PyObject* baudrate) {
    py::Ref master_class = ns::global(ns::kMewMaster);
    return py::KeywordCall().with(kBaudrate, baudrate).call(master_class.get(), port);
}

py::Ref master_of(PyObject* controller) { return py::getattr(controller, field::mew); }

void close(PyObject* master) { py::call_method(master, kClose); }

py::Ref get_coil(PyObject* controller, PyObject* station, PyObject* name) {
    return exchange(controller, kGetCoil, station, name);
}

void set_coil(PyObject* controller, PyObject* station, PyObject* name, PyObject* value) {
    exchange(controller, kSetCoil, station, name, value);
}

py::Ref get_coil_uint16(PyObject* controller, PyObject* station, PyObject* name) {
    return exchange(controller, kGetCoilUint16, station, name);
}

void set_coil_uint16(PyObject* controller, PyObject* station, PyObject* name, PyObject* value) {
    exchange(controller, kSetCoilUint16, station, name, value);
}

py::Ref get_int32(PyObject* controller, PyObject* station, PyObject* name) {
    return exchange(controller, kGetInt32, station, name);
}

void set_int32(PyObject* controller, PyObject* station, PyObject* name, PyObject* value) {
    exchange(controller, kSetInt32, station, name, value);
}

void set_uint32(PyObject* controller, PyObject* station, PyObject* name, PyObject* value) {
    exchange(controller, kSetUint32, station, name, value);
}

py::Ref get_multi_int32(PyObject* controller, PyObject* station, PyObject* name, PyObject* count) {
    return exchange(controller, kGetMultiInt32, station, name, count);
}

void set_multi_uint32(PyObject* controller, PyObject* station, PyObject* name, PyObject* values) {
    exchange(controller, kSetMultiUint32, station, name, values);
}

}  // namespace qzr::link
