// Direct access to any coil, or group of sixteen coils, of a station.
#include "link/master.hpp"
#include "status/members.hpp"

namespace qzr::status {
namespace {

// get_coil(self, station: int, name: str)
py::Ref get_coil(PyObject* const* args) { return link::get_coil(args[0], args[1], args[2]); }

// set_coil(self, station: int, name: str, value: bool)
py::Ref set_coil(PyObject* const* args) {
    link::set_coil(args[0], args[1], args[2], args[3]);
    return py::none();
}

// get_coil_uint16(self, station: int, name: str)
py::Ref get_coil_uint16(PyObject* const* args) {
    return link::get_coil_uint16(args[0], args[1], args[2]);
}

// set_coil_uint16(self, station: int, name: str, value: int)
py::Ref set_coil_uint16(PyObject* const* args) {
    link::set_coil_uint16(args[0], args[1], args[2], args[3]);
    return py::none();
}

}  // namespace

const MethodSpec kGetCoil{"get_coil", get_coil, {{"station", Ann::Int}, {"name", Ann::Str}}};
const MethodSpec kSetCoil{
    "set_coil", set_coil, {{"station", Ann::Int}, {"name", Ann::Str}, {"value", Ann::Bool}}};
const MethodSpec kGetCoilUint16{
    "get_coil_uint16", get_coil_uint16, {{"station", Ann::Int}, {"name", Ann::Str}}};
const MethodSpec kSetCoilUint16{"set_coil_uint16",
                                set_coil_uint16,
                                {{"station", Ann::Int}, {"name", Ann::Str}, {"value", Ann::Int}}};

}  // namespace qzr::status
