// Moves, continuous runs, stop, drive power, and waiting for a move to end.
#include "core/class_builder.hpp"
#include "core/clock.hpp"
#include "core/enum_members.hpp"
#include "core/namespace.hpp"
#include "core/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log_line.hpp"

namespace qzr::controller {
namespace {

namespace map = station_map;

// Writes True to a command coil and logs what was done.
template <class... P>
py::Ref command(PyObject* self, PyObject* station, const py::Name& coil, const P&... line) {
    link::set_coil(self, station, coil, Py_True);
    log::info(py::text(line...));
    return py::none();
}

/*[method]
@order(100)
@stub(returns="None")
def stop(self, station: int):
    """Stops STATION's motion: sets the command coil R0.

    A move or run ends with StopSource.Command; a homing run then ends
    with the result False. Logs "Stop station N".
    """
[method]*/
py::Ref stop(PyObject* self, PyObject* station) {
    return command(self, station, map::kStop, "Stop station ", station);
}

/*[method]
@order(150)
@stub(target="float", returns="None")
def set_absolute_target(self, station: int, target):
    """Writes the target of an absolute move, TARGET mm, to DT6 in pulses.

    Does not move and does not log.
    """
[method]*/
py::Ref set_absolute_target(PyObject* self, PyObject* station, PyObject* target) {
    py::Ref pulse = self::call(self, method::to_pulse, station, target);
    link::set_int32(self, station, map::kAbsoluteTarget, pulse.get());
    return py::none();
}

/*[method]
@order(160)
@stub(target="float", returns="None")
def set_relative_target(self, station: int, target):
    """Writes the distance of a relative move, TARGET mm, to DT8 in pulses.

    Does not move and does not log.
    """
[method]*/
py::Ref set_relative_target(PyObject* self, PyObject* station, PyObject* target) {
    py::Ref pulse = self::call(self, method::to_pulse, station, target);
    link::set_int32(self, station, map::kRelativeDistance, pulse.get());
    return py::none();
}

constexpr const char* kLocateAbsolutelyDoc =
    "\n\t\t执行绝对定位。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param target: 目标的绝对位置。单位：mm"
    "\n\t\t";

/*[method]
@order(170)
@doc(kLocateAbsolutelyDoc)
@stub(returns="None")
def locate_absolutely(self, station: int, target: float):
    """Starts a move of STATION to the coordinate TARGET mm; returns at once.

    Writes the target (DT6), then sets the command coil R1. Logs
    "Absolutely locating with target ..., station ...". Wait for the end
    with wait_for_locating_done.
    """
[method]*/
py::Ref locate_absolutely(PyObject* self, PyObject* station, py::Float target) {
    self::call(self, method::set_absolute_target, station, target);
    return command(self, station, map::kStartAbsoluteMove, "Absolutely locating with target ",
                   target, ", station ", station);
}

constexpr const char* kLocateRelativelyDoc =
    "\n\t\t执行相对定位。如果不提供目标值，将使用之前提供的相对位移值，即重复执行一次相对位移量。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param target: 相对位移量。单位：mm"
    "\n\t\t";

/*[method]
@order(180)
@doc(kLocateRelativelyDoc)
@stub(returns="None")
def locate_relatively(self, station: int, target: _Optional[float] = None):
    """Starts a move of STATION by TARGET mm (negative: backwards); returns at once.

    Writes the distance (DT8), then sets the command coil R2; with TARGET
    None the last distance written is moved again. Logs "Relatively
    locating with target ..., station ...". Wait for the end with
    wait_for_locating_done.
    """
[method]*/
py::Ref locate_relatively(PyObject* self, PyObject* station, PyObject* target) {
    if (target != Py_None) self::call(self, method::set_relative_target, station, target);
    return command(self, station, map::kStartRelativeMove, "Relatively locating with target ",
                   target, ", station ", station);
}

// Whether more than `timeout` seconds have passed since `begin` (0 or less:
// never), on the module's clock _now.
bool timed_out(PyObject* begin, py::Float timeout) {
    if (!(timeout.value() > 0)) return false;
    py::Ref now = clock::now();
    py::Ref elapsed = py::check(PyNumber_Subtract(now.get(), begin));
    return py::compare(elapsed.get(), timeout.get(), Py_GT);
}

constexpr const char* kWaitForLocatingDoneDoc =
    "\n\t\t等待定位完成"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param timeout: 等待超时参数。如果传入0，表示一直等；如果传入大于0的值，最多等待该值（单位：秒）。"
    "\n\t\t\t\t如果等待超时，抛出 Timeout 异常。"
    "\n\t\t\t\t如果定位过程中碰到限位、急停等信号，将抛出 IOError。"
    "\n\t\t";

/*[method]
@order(190)
@doc(kWaitForLocatingDoneDoc)
@stub(returns="None")
def wait_for_locating_done(self, station: int, timeout: float = 0.0):
    """Waits until STATION stops sending pulses, then checks why it stopped.

    Reads the running output Y1 every 10 ms, releasing the interpreter
    lock in between; TIMEOUT 0 (or less) waits for good. Then reads the
    stop source (D20) and logs "Station ... locating done. Stop source:
    N". Returns None when the move ran to its end (StopSource.Null).
    Raises TimeoutError ("定位超时") after TIMEOUT seconds while the move
    goes on; IOError ("定位动作因故未能完成:N", N the StopSource) when it
    ended early (stop command, limit, alarm, emergency); ValueError when
    the station reports a code that is no StopSource.
    """
[method]*/
py::Ref wait_for_locating_done(PyObject* self, PyObject* station, py::Float timeout) {
    py::Ref begin = clock::now();
    while (self::ask(self, method::is_running, station)) {
        if (timed_out(begin.get(), timeout)) py::raise(PyExc_TimeoutError, "定位超时");
        clock::sleep(clock::kPollPeriod);
    }
    py::Ref stop_source = self::call(self, method::get_stop_source, station);
    log::info(py::text("Station ", station, " locating done. Stop source: ", stop_source));
    py::Ref null = enums::member_named(ns::kStopSource, enums::kNull);
    if (py::compare(stop_source.get(), null.get(), Py_NE)) {
        py::raise(PyExc_OSError, py::text("定位动作因故未能完成:", stop_source));
    }
    return py::none();
}

constexpr const char* kRunPositiveDoc =
    "\n\t\t向正方向一直前进，直到碰到正极限（如果正极限处于使能状态的话）"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";

/*[method]
@order(200)
@doc(kRunPositiveDoc)
@stub(returns="None")
def run_positive(self, station: int):
    """Starts running STATION in the positive direction; returns at once.

    Sets the command coil R4. The run goes on until stop(), the positive
    limit (when enabled), the alarm or the emergency input. Logs
    "Station N run positive".
    """
[method]*/
py::Ref run_positive(PyObject* self, PyObject* station) {
    return command(self, station, map::kRunPositive, "Station ", station, " run positive");
}

constexpr const char* kRunNegativeDoc =
    "\n\t\t向负方向一直前进，直到碰到正极限（如果负极限处于使能状态的话）"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";

/*[method]
@order(210)
@doc(kRunNegativeDoc)
@stub(returns="None")
def run_negative(self, station: int):
    """Starts running STATION in the negative direction; returns at once.

    Sets the command coil R3. The run goes on until stop(), the negative
    limit (when enabled), the alarm or the emergency input. Logs
    "Station N run negative".
    """
[method]*/
py::Ref run_negative(PyObject* self, PyObject* station) {
    return command(self, station, map::kRunNegative, "Station ", station, " run negative");
}

constexpr const char* kEnableAxisDoc =
    "\n\t\t使能电机轴。使能后，电机将输出力矩。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";

/*[method]
@order(220)
@doc(kEnableAxisDoc)
@stub(returns="None")
def enable_axis(self, station: int):
    """Powers the drive of STATION (output Y2 on): the motor holds its torque.

    Logs "Enable axis(station) N".
    """
[method]*/
py::Ref enable_axis(PyObject* self, PyObject* station) {
    return command(self, station, map::kDriveEnabled, "Enable axis(station) ", station);
}

constexpr const char* kDisableAxisDoc =
    "\n\t\t禁能电机轴。禁能后，电机将关闭输出力矩，对应轴将处于松弛状态，可用手轻易推动。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";

/*[method]
@order(230)
@doc(kDisableAxisDoc)
@stub(returns="None")
def disable_axis(self, station: int):
    """Switches the drive of STATION off (output Y2 off): the axis goes slack.

    Logs "Disable axis(station) N".
    """
[method]*/
py::Ref disable_axis(PyObject* self, PyObject* station) {
    link::set_coil(self, station, map::kDriveEnabled, Py_False);
    log::info(py::text("Disable axis(station) ", station));
    return py::none();
}

}  // namespace

#include "controller/motion.gen.inc"

}  // namespace qzr::controller
