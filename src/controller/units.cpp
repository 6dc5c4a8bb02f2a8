// Scale (pulses per millimetre), conversions, and the trapezoidal speed
// profile: start velocity DT0, velocity DT2, acceleration time DT4.
#include "controller/members.hpp"
#include "controller/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log.hpp"
#include "module/namespace.hpp"
#include "py/args.hpp"

namespace qzr::controller {
namespace {

py::Name kGet{"get"};

// int(seconds * 1000), truncated toward zero.
py::Ref milliseconds(PyObject* seconds) {
    return py::check(PyLong_FromDouble(PyFloat_AS_DOUBLE(seconds) * 1000.0));
}

// assert pps <= _MaxPulsePerSecond
void assert_rate_allowed(PyObject* pps) {
    if (!py::assertions_enabled()) return;
    py::Ref limit = ns::global(ns::kMaxPulsePerSecond);
    if (!py::compare(pps, limit.get(), Py_LE)) py::assertion_failed();
}

// set_ppmm(self, station: int, ppmm: Union[int, float])
py::Ref set_ppmm(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    PyObject* ppmm = args[2];
    if (py::assertions_enabled() && !py::compare(ppmm, py::integer(0).get(), Py_NE)) {
        py::assertion_failed();
    }
    py::Ref table = py::getattr(self, self::kPpmmTable);
    py::require(PyObject_SetItem(table.get(), station, ppmm) == 0);
    log::info(py::text("Set PPMM to ", ppmm, " for station ", station));
    return py::none();
}

// ppmm(self, station: int): the station's scale, 1 until set.
py::Ref ppmm(PyObject* const* args) {
    py::Ref table = py::getattr(args[0], self::kPpmmTable);
    if (PyDict_CheckExact(table.get())) {
        PyObject* value = PyDict_GetItemWithError(table.get(), args[1]);
        if (value != nullptr) return py::Ref::borrow(value);
        if (PyErr_Occurred()) throw py::Error{};
        return py::integer(1);
    }
    return py::call_method(table.get(), kGet, args[1], py::integer(1));
}

// to_pulse(self, station: int, value: float): int(value * ppmm)
py::Ref to_pulse(PyObject* const* args) {
    py::Ref scale = self::call(args[0], self::kPpmm, args[1]);
    if (PyLong_CheckExact(scale.get()) || PyFloat_CheckExact(scale.get())) {
        // float * int and float * float multiply as doubles.
        double factor = PyFloat_AsDouble(scale.get());
        if (factor == -1.0 && PyErr_Occurred()) throw py::Error{};
        return py::check(PyLong_FromDouble(PyFloat_AS_DOUBLE(args[2]) * factor));
    }
    py::Ref product = py::check(PyNumber_Multiply(args[2], scale.get()));
    return py::check(PyNumber_Long(product.get()));
}

// from_pulse(self, station: int, value): value / ppmm
py::Ref from_pulse(PyObject* const* args) {
    py::Ref scale = self::call(args[0], self::kPpmm, args[1]);
    return py::check(PyNumber_TrueDivide(args[2], scale.get()));
}

// Converts a speed to pulses per second, checks the limit and writes it.
void write_rate(PyObject* self, PyObject* station, PyObject* velocity, const py::Name& reg) {
    py::Ref pps = self::call(self, self::kToPulse, station, velocity);
    assert_rate_allowed(pps.get());
    link::set_uint32(self, station, reg, pps.get());
}

// set_start_velocity(self, station: int, velocity: float)
py::Ref set_start_velocity(PyObject* const* args) {
    write_rate(args[0], args[1], args[2], station_map::kStartVelocity);
    log::info(py::text("Set start velocity to ", args[2], ", station ", args[1]));
    return py::none();
}

// set_velocity(self, station: int, velocity: float)
py::Ref set_velocity(PyObject* const* args) {
    write_rate(args[0], args[1], args[2], station_map::kVelocity);
    log::info(py::text("Set velocity to ", args[2], ", station ", args[1]));
    return py::none();
}

// set_acceleration_time(self, station: int, time: float)
py::Ref set_acceleration_time(PyObject* const* args) {
    py::Ref ms = milliseconds(args[2]);
    link::set_uint32(args[0], args[1], station_map::kAccelerationTime, ms.get());
    log::info(py::text("Set acceleration time to ", args[2], ", station ", args[1]));
    return py::none();
}

// set_parameters(self, station: int, start_velocity: float, velocity: float,
//                acceleration_time: float)
py::Ref set_parameters(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    PyObject* start_velocity = args[2];
    PyObject* velocity = args[3];
    PyObject* acceleration_time = args[4];
    if (py::assertions_enabled()) {
        double start = PyFloat_AS_DOUBLE(start_velocity);
        if (!(start > 0)) py::assertion_failed();
        if (!(PyFloat_AS_DOUBLE(velocity) >= start)) py::assertion_failed();
        if (!(PyFloat_AS_DOUBLE(acceleration_time) >= 0)) py::assertion_failed();
    }
    py::Ref start_pps = self::call(self, self::kToPulse, station, start_velocity);
    py::Ref pps = self::call(self, self::kToPulse, station, velocity);
    py::Ref ms = milliseconds(acceleration_time);
    assert_rate_allowed(pps.get());
    py::Ref values = py::check(PyList_New(3));
    PyList_SET_ITEM(values.get(), 0, start_pps.release());
    PyList_SET_ITEM(values.get(), 1, pps.release());
    PyList_SET_ITEM(values.get(), 2, ms.release());
    link::set_multi_uint32(self, station, station_map::kStartVelocity.get(), values.get());
    log::info(py::text("Set (start velocity, velocity, acceleration time) to (", start_velocity,
                       ", ", velocity, ", ", acceleration_time, ")"));
    return py::none();
}

constexpr const char* kSetParametersDoc =
    "\n\t\t设置梯形速度参数"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param start_velocity: 梯形速度曲线的起始速度。单位：mm/s"
    "\n\t\t:param velocity: 梯形速度曲线的匀速速度。单位：mm/s"
    "\n\t\t:param acceleration_time: 梯形速度曲线的加、减速时间。单位：s（秒）"
    "\n\t\t";

}  // namespace

const MethodSpec kSetPpmm{"set_ppmm", set_ppmm, {{"station", Ann::Int}, {"ppmm", Ann::UnionIntFloat}}};
const MethodSpec kPpmm{"ppmm", ppmm, {{"station", Ann::Int}}};
const MethodSpec kToPulse{"to_pulse", to_pulse, {{"station", Ann::Int}, {"value", Ann::Float}}};
const MethodSpec kFromPulse{"from_pulse", from_pulse, {{"station", Ann::Int}, {"value"}}};
const MethodSpec kSetStartVelocity{
    "set_start_velocity", set_start_velocity, {{"station", Ann::Int}, {"velocity", Ann::Float}}};
const MethodSpec kSetVelocity{
    "set_velocity", set_velocity, {{"station", Ann::Int}, {"velocity", Ann::Float}}};
const MethodSpec kSetAccelerationTime{
    "set_acceleration_time", set_acceleration_time, {{"station", Ann::Int}, {"time", Ann::Float}}};
const MethodSpec kSetParameters{"set_parameters",
                                set_parameters,
                                {{"station", Ann::Int},
                                 {"start_velocity", Ann::Float},
                                 {"velocity", Ann::Float},
                                 {"acceleration_time", Ann::Float}},
                                Ann::Unset,
                                kSetParametersDoc};

}  // namespace qzr::controller
