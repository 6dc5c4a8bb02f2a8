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
    """Reads the coil NAME (such as "X0", "R12") of STATION; returns what the master returns.

    Raises TypeError when NAME is not a str.
    """
[method]*/
py::Ref get_coil(PyObject* self, PyObject* station, py::StrOrNone name) {
    return link::get_coil(self, station, name.get());
}

/*[method]
@order(370)
@stub(name="Optional[str]", returns="None")
def set_coil(self, station: int, name: str, value: bool):
    """Writes VALUE to the coil NAME of STATION, passed to the master unchanged.

    Raises TypeError when NAME is not a str.
    """
[method]*/
py::Ref set_coil(PyObject* self, PyObject* station, py::StrOrNone name, PyObject* value) {
    link::set_coil(self, station, name.get(), value);
    return py::none();
}

/*[method]
@order(380)
@stub(name="Optional[str]", returns="Any")
def get_coil_uint16(self, station: int, name: str):
    """Reads the sixteen coils from NAME on (such as "X0") as one number, through the master.

    Raises TypeError when NAME is not a str.
    """
[method]*/
py::Ref get_coil_uint16(PyObject* self, PyObject* station, py::StrOrNone name) {
    return link::get_coil_uint16(self, station, name.get());
}

/*[method]
@order(390)
@stub(name="Optional[str]", returns="None")
def set_coil_uint16(self, station: int, name: str, value: int):
    """Writes the sixteen coils from NAME on as one number VALUE, through the master.

    Raises TypeError when NAME is not a str.
    """
[method]*/
py::Ref set_coil_uint16(PyObject* self, PyObject* station, py::StrOrNone name, PyObject* value) {
    link::set_coil_uint16(self, station, name.get(), value);
    return py::none();
}

}  // namespace

#include "status/raw_coils.gen.inc"

}  // namespace qzr::status
