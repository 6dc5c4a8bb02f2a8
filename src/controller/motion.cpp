// Moves, continuous runs, stop, drive power, and waiting for a move to end.
#include "controller/clock.hpp"
#include "controller/members.hpp"
#include "controller/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log.hpp"
#include "module/namespace.hpp"

namespace qzr::controller {
namespace {

namespace map = station_map;

py::Name kNull{"Null"};

// Writes True to a command coil and logs what was done.
template <class... P>
py::Ref command(PyObject* const* args, const py::Name& coil, const P&... line) {
    link::set_coil(args[0], args[1], coil, Py_True);
    log::info(py::text(line...));
    return py::none();
}

// set_absolute_target(self, station: int, target)
py::Ref set_absolute_target(PyObject* const* args) {
    py::Ref pulse = self::call(args[0], self::kToPulse, args[1], args[2]);
    link::set_int32(args[0], args[1], map::kAbsoluteTarget, pulse.get());
    return py::none();
}

// set_relative_target(self, station: int, target)
py::Ref set_relative_target(PyObject* const* args) {
    py::Ref pulse = self::call(args[0], self::kToPulse, args[1], args[2]);
    link::set_int32(args[0], args[1], map::kRelativeDistance, pulse.get());
    return py::none();
}

// locate_absolutely(self, station: int, target: float)
py::Ref locate_absolutely(PyObject* const* args) {
    self::call(args[0], self::kSetAbsoluteTarget, args[1], args[2]);
    return command(args, map::kStartAbsoluteMove, "Absolutely locating with target ", args[2],
                   ", station ", args[1]);
}

// locate_relatively(self, station: int, target: Optional[float] = None)
py::Ref locate_relatively(PyObject* const* args) {
    if (args[2] != Py_None) self::call(args[0], self::kSetRelativeTarget, args[1], args[2]);
    return command(args, map::kStartRelativeMove, "Relatively locating with target ", args[2],
                   ", station ", args[1]);
}

// Whether more than `timeout` seconds have passed since `begin` (0 or less:
// never), on the module's clock _now.
bool timed_out(PyObject* begin, PyObject* timeout) {
    if (!(PyFloat_AS_DOUBLE(timeout) > 0)) return false;
    py::Ref now = clock::now();
    py::Ref elapsed = py::check(PyNumber_Subtract(now.get(), begin));
    return py::compare(elapsed.get(), timeout, Py_GT);
}

// wait_for_locating_done(self, station: int, timeout: float = 0.0)
py::Ref wait_for_locating_done(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    PyObject* timeout = args[2];
    py::Ref begin = clock::now();
    while (self::ask(self, self::kIsRunning, station)) {
        if (timed_out(begin.get(), timeout)) py::raise(PyExc_TimeoutError, "定位超时");
        clock::sleep(clock::kPollPeriod);
    }
    py::Ref stop_source = self::call(self, self::kGetStopSource, station);
    log::info(py::text("Station ", station, " locating done. Stop source: ", stop_source));
    py::Ref stop_sources = ns::global(ns::kStopSource);
    py::Ref null = py::getattr(stop_sources.get(), kNull);
    if (py::compare(stop_source.get(), null.get(), Py_NE)) {
        py::raise(PyExc_OSError, py::text("定位动作因故未能完成:", stop_source));
    }
    return py::none();
}

py::Ref run_positive(PyObject* const* args) {
    return command(args, map::kRunPositive, "Station ", args[1], " run positive");
}

py::Ref run_negative(PyObject* const* args) {
    return command(args, map::kRunNegative, "Station ", args[1], " run negative");
}

py::Ref stop(PyObject* const* args) {
    return command(args, map::kStop, "Stop station ", args[1]);
}

py::Ref enable_axis(PyObject* const* args) {
    return command(args, map::kDriveEnabled, "Enable axis(station) ", args[1]);
}

py::Ref disable_axis(PyObject* const* args) {
    link::set_coil(args[0], args[1], map::kDriveEnabled, Py_False);
    log::info(py::text("Disable axis(station) ", args[1]));
    return py::none();
}

constexpr const char* kLocateAbsolutelyDoc =
    "\n\t\t执行绝对定位。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param target: 目标的绝对位置。单位：mm"
    "\n\t\t";
constexpr const char* kLocateRelativelyDoc =
    "\n\t\t执行相对定位。如果不提供目标值，将使用之前提供的相对位移值，即重复执行一次相对位移量。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param target: 相对位移量。单位：mm"
    "\n\t\t";
constexpr const char* kWaitForLocatingDoneDoc =
    "\n\t\t等待定位完成"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param timeout: 等待超时参数。如果传入0，表示一直等；如果传入大于0的值，最多等待该值（单位：秒）。"
    "\n\t\t\t\t如果等待超时，抛出 Timeout 异常。"
    "\n\t\t\t\t如果定位过程中碰到限位、急停等信号，将抛出 IOError。"
    "\n\t\t";
constexpr const char* kRunPositiveDoc =
    "\n\t\t向正方向一直前进，直到碰到正极限（如果正极限处于使能状态的话）"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";
constexpr const char* kRunNegativeDoc =
    "\n\t\t向负方向一直前进，直到碰到正极限（如果负极限处于使能状态的话）"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";
constexpr const char* kEnableAxisDoc =
    "\n\t\t使能电机轴。使能后，电机将输出力矩。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";
constexpr const char* kDisableAxisDoc =
    "\n\t\t禁能电机轴。禁能后，电机将关闭输出力矩，对应轴将处于松弛状态，可用手轻易推动。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t";

const std::vector<ParamSpec> kStationOnly{{"station", Ann::Int}};

}  // namespace

const MethodSpec kStop{"stop", stop, kStationOnly};
const MethodSpec kSetAbsoluteTarget{
    "set_absolute_target", set_absolute_target, {{"station", Ann::Int}, {"target"}}};
const MethodSpec kSetRelativeTarget{
    "set_relative_target", set_relative_target, {{"station", Ann::Int}, {"target"}}};
const MethodSpec kLocateAbsolutely{"locate_absolutely", locate_absolutely,
                                   {{"station", Ann::Int}, {"target", Ann::Float}}, Ann::Unset,
                                   kLocateAbsolutelyDoc};
const MethodSpec kLocateRelatively{"locate_relatively", locate_relatively,
                                   {{"station", Ann::Int}, {"target", Ann::OptionalFloat, Default::none()}},
                                   Ann::Unset, kLocateRelativelyDoc};
const MethodSpec kWaitForLocatingDone{"wait_for_locating_done", wait_for_locating_done,
                                      {{"station", Ann::Int}, {"timeout", Ann::Float, Default::of(0.0)}},
                                      Ann::Unset, kWaitForLocatingDoneDoc};
const MethodSpec kRunPositive{"run_positive", run_positive, kStationOnly, Ann::Unset, kRunPositiveDoc};
const MethodSpec kRunNegative{"run_negative", run_negative, kStationOnly, Ann::Unset, kRunNegativeDoc};
const MethodSpec kEnableAxis{"enable_axis", enable_axis, kStationOnly, Ann::Unset, kEnableAxisDoc};
const MethodSpec kDisableAxis{"disable_axis", disable_axis, kStationOnly, Ann::Unset, kDisableAxisDoc};

}  // namespace qzr::controller
