// Direct access to any coil, or group of sixteen coils, of a station.
#include "core/class_builder.hpp"
#include "link/master.hpp"
#include "py/args.hpp"

namespace qzr::status {
namespace {

/*[method]
@order(360)
@stub(name="Optional[str]", returns="Any")
def get_coil(self, station: int, name: str):
    ...
[method]*/
py::Ref get_coil(PyObject* self, PyObject* station, py::StrOrNone name) {
    return link::get_coil(self, station, name.get());
}

/*[method]
@order(370)
@stub(name="Optional[str]", returns="None")
def set_coil(self, station: int, name: str, value: bool):
    ...
[method]*/
py::Ref set_coil(PyObject* self, PyObject* station, py::StrOrNone name, PyObject* value) {
    link::set_coil(self, station, name.get(), value);
    return py::none();
}

/*[method]
@order(380)
@stub(name="Optional[str]", returns="Any")
def get_coil_uint16(self, station: int, name: str):
    ...
[method]*/
py::Ref get_coil_uint16(PyObject* self, PyObject* station, py::StrOrNone name) {
    return link::get_coil_uint16(self, station, name.get());
}

/*[method]
@order(390)
@stub(name="Optional[str]", returns="None")
def set_coil_uint16(self, station: int, name: str, value: int):
    ...
[method]*/
py::Ref set_coil_uint16(PyObject* self, PyObject* station, py::StrOrNone name, PyObject* value) {
    link::set_coil_uint16(self, station, name.get(), value);
    return py::none();
}

}  // namespace

#include "status/raw_coils.gen.inc"

}  // namespace qzr::status
