// Scale (pulses per millimetre), conversions, and the trapezoidal speed
// profile: start velocity DT0, velocity DT2, acceleration time DT4.
#include "core/class_builder.hpp"
#include "core/fields.hpp"
#include "core/namespace.hpp"
#include "core/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log_line.hpp"
#include "py/args.hpp"

namespace qzr::controller {
namespace {

py::Name kGet{"get"};

// int(seconds * 1000), truncated toward zero.
py::Ref milliseconds(py::Float seconds) {
    return py::check(PyLong_FromDouble(seconds.value() * 1000.0));
}

// assert pps <= _MaxPulsePerSecond
void assert_rate_allowed(PyObject* pps) {
    if (!py::assertions_enabled()) return;
    py::Ref limit = ns::global(ns::kMaxPulsePerSecond);
    if (!py::compare(pps, limit.get(), Py_LE)) py::assertion_failed();
}

/*[method]
@order(60)
@stub(returns="None")
def set_ppmm(self, station: int, ppmm: _Union[int, float]):
    """Sets the scale of STATION: PPMM pulses per millimetre.

    Only the controller keeps it; nothing is sent. Logs "Set PPMM to ...
    for station ...". Raises AssertionError (while assertions are
    enabled) when PPMM is 0.
    """
[method]*/
py::Ref set_ppmm(PyObject* self, PyObject* station, PyObject* ppmm) {
    if (py::assertions_enabled() && !py::compare(ppmm, py::integer(0).get(), Py_NE)) {
        py::assertion_failed();
    }
    py::Ref table = py::getattr(self, field::ppmm);
    py::require(PyObject_SetItem(table.get(), station, ppmm) == 0);
    log::info(py::text("Set PPMM to ", ppmm, " for station ", station));
    return py::none();
}

/*[method]
@order(70)
@stub(returns="Union[int, float]")
def ppmm(self, station: int):
    """The scale of STATION in pulses per millimetre: 1 until set_ppmm."""
[method]*/
py::Ref ppmm(PyObject* self, PyObject* station) {
    py::Ref table = py::getattr(self, field::ppmm);
    if (PyDict_CheckExact(table.get())) {
        PyObject* value = PyDict_GetItemWithError(table.get(), station);
        if (value != nullptr) return py::Ref::borrow(value);
        if (PyErr_Occurred()) py::throw_error();
        return py::integer(1);
    }
    return py::call_method(table.get(), kGet, station, py::integer(1));
}

/*[method]
@order(80)
@stub(returns="int")
def to_pulse(self, station: int, value: float):
    """VALUE millimetres (or mm/s) in pulses (or pulses/s) of STATION.

    Multiplies by the scale and truncates toward zero: 12.7 pulses become
    12, -12.7 become -12. Raises TypeError when VALUE is not a number.
    """
[method]*/
py::Ref to_pulse(PyObject* self, PyObject* station, py::Float value) {
    py::Ref scale = self::call(self, method::ppmm, station);
    if (PyLong_CheckExact(scale.get()) || PyFloat_CheckExact(scale.get())) {
        // float * int and float * float multiply as doubles.
        double factor = PyFloat_AsDouble(scale.get());
        if (factor == -1.0 && PyErr_Occurred()) py::throw_error();
        return py::check(PyLong_FromDouble(value.value() * factor));
    }
    py::Ref product = py::check(PyNumber_Multiply(value.get(), scale.get()));
    return py::check(PyNumber_Long(product.get()));
}

/*[method]
@order(90)
@stub(value="float", returns="float")
def from_pulse(self, station: int, value):
    """VALUE pulses (or pulses/s) of STATION in millimetres (or mm/s).

    Divides by the scale; the result is always a float. Raises
    ZeroDivisionError for a scale of 0, TypeError for a non-number.
    """
[method]*/
py::Ref from_pulse(PyObject* self, PyObject* station, PyObject* value) {
    py::Ref scale = self::call(self, method::ppmm, station);
    return py::check(PyNumber_TrueDivide(value, scale.get()));
}

// Converts a speed to pulses per second, checks the limit and writes it.
void write_rate(PyObject* self, PyObject* station, py::Float velocity, const py::Name& reg) {
    py::Ref pps = self::call(self, method::to_pulse, station, velocity);
    assert_rate_allowed(pps.get());
    link::set_uint32(self, station, reg, pps.get());
}

/*[method]
@order(110)
@stub(returns="None")
def set_start_velocity(self, station: int, velocity: float):
    """Sets the start velocity of the speed ramp, VELOCITY mm/s.

    Writes it in pulses per second to DT0. Logs "Set start velocity to
    ..., station ...". Raises AssertionError (while assertions are
    enabled) above 70000 pulses per second (_MaxPulsePerSecond).
    """
[method]*/
py::Ref set_start_velocity(PyObject* self, PyObject* station, py::Float velocity) {
    write_rate(self, station, velocity, station_map::kStartVelocity);
    log::info(py::text("Set start velocity to ", velocity, ", station ", station));
    return py::none();
}

/*[method]
@order(120)
@stub(returns="None")
def set_velocity(self, station: int, velocity: float):
    """Sets the velocity of moves and runs, VELOCITY mm/s.

    Writes it in pulses per second to DT2. Logs "Set velocity to ...,
    station ...". Raises AssertionError (while assertions are enabled)
    above 70000 pulses per second (_MaxPulsePerSecond).
    """
[method]*/
py::Ref set_velocity(PyObject* self, PyObject* station, py::Float velocity) {
    write_rate(self, station, velocity, station_map::kVelocity);
    log::info(py::text("Set velocity to ", velocity, ", station ", station));
    return py::none();
}

/*[method]
@order(130)
@stub(returns="None")
def set_acceleration_time(self, station: int, time: float):
    """Sets the time of the ramps up and down, TIME seconds.

    Writes it in whole milliseconds (truncated) to DT4. Logs "Set
    acceleration time to ..., station ...".
    """
[method]*/
py::Ref set_acceleration_time(PyObject* self, PyObject* station, py::Float time) {
    py::Ref ms = milliseconds(time);
    link::set_uint32(self, station, station_map::kAccelerationTime, ms.get());
    log::info(py::text("Set acceleration time to ", time, ", station ", station));
    return py::none();
}

constexpr const char* kSetParametersDoc =
    "\n\t\t设置梯形速度参数"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param start_velocity: 梯形速度曲线的起始速度。单位：mm/s"
    "\n\t\t:param velocity: 梯形速度曲线的匀速速度。单位：mm/s"
    "\n\t\t:param acceleration_time: 梯形速度曲线的加、减速时间。单位：s（秒）"
    "\n\t\t";

/*[method]
@order(140)
@doc(kSetParametersDoc)
@stub(returns="None")
def set_parameters(self, station: int, start_velocity: float, velocity: float,
                   acceleration_time: float):
    """Sets the whole speed profile of STATION in one write.

    START_VELOCITY and VELOCITY in mm/s and ACCELERATION_TIME in seconds
    go to DT0, DT2 and DT4 as pulses/s, pulses/s and milliseconds. Logs
    "Set (start velocity, velocity, acceleration time) to (...)". Raises
    AssertionError (while assertions are enabled) unless 0 <
    START_VELOCITY <= VELOCITY, ACCELERATION_TIME >= 0 and VELOCITY is at
    most 70000 pulses per second.
    """
[method]*/
py::Ref set_parameters(PyObject* self, PyObject* station, py::Float start_velocity,
                       py::Float velocity, py::Float acceleration_time) {
    if (py::assertions_enabled()) {
        if (!(start_velocity.value() > 0)) py::assertion_failed();
        if (!(velocity.value() >= start_velocity.value())) py::assertion_failed();
        if (!(acceleration_time.value() >= 0)) py::assertion_failed();
    }
    py::Ref start_pps = self::call(self, method::to_pulse, station, start_velocity);
    py::Ref pps = self::call(self, method::to_pulse, station, velocity);
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

}  // namespace

#include "controller/units.gen.inc"

}  // namespace qzr::controller
