// How a station treats its limit, alarm, emergency and origin inputs and its
// direction output. "Enable" writes False to the signal's coil, "disable"
// writes True.
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log.hpp"
#include "py/call.hpp"
#include "status/members.hpp"

namespace qzr::status {
namespace {

namespace map = station_map;

// Writes a configuration coil, then logs the line followed by the station.
template <const py::Name& coil, bool value, const char* const& line>
py::Ref configure(PyObject* const* args) {
    link::set_coil(args[0], args[1], coil, value ? Py_True : Py_False);
    log::info(py::text(line, args[1]));
    return py::none();
}

// Whether the signal is disabled: the coil as the master reports it.
template <const py::Name& coil>
py::Ref is_disabled(PyObject* const* args) {
    return link::get_coil(args[0], args[1], coil);
}

constexpr const char* kEnableNegative = "Enable negative limit, station ";
constexpr const char* kDisableNegative = "Disable negative limit, station ";
constexpr const char* kEnablePositive = "Enable positive limit, station ";
constexpr const char* kDisablePositive = "Disable positive limit, station ";
constexpr const char* kEnableAlarmLine = "Enable alarm, station ";
constexpr const char* kDisableAlarmLine = "Disable alarm, station ";
constexpr const char* kEnableEmergencyLine = "Enable emergency, station ";
constexpr const char* kDisableEmergencyLine = "Disable emergency, station ";

// origin_rising_valid(self, station: int, value: bool)
py::Ref origin_rising_valid(PyObject* const* args) {
    link::set_coil(args[0], args[1], map::kOriginRisingEdge, args[2]);
    const char* edge = py::truth(args[2]) ? "rising" : "falling";
    log::info(py::text("Set origin trigger edge as ", edge, ", station ", args[1]));
    return py::none();
}

// reverse_direction_output(self, station: int, value: bool = True)
py::Ref reverse_direction_output(PyObject* const* args) {
    link::set_coil(args[0], args[1], map::kDirectionInverted, args[2]);
    log::info(py::text("Set reverse direction output to ", args[2], ", station ", args[1]));
    return py::none();
}

constexpr const char* kEnableEmergencyDoc =
    "\n\t\t使能急停信号。使能后，运动模块的 EMG 引脚输入信号失效（急停为常闭信号）将引起停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块站号"
    "\n\t\t";
constexpr const char* kDisableEmergencyDoc =
    "\n\t\t禁用急停信号。禁用后，运动模块的 EMG 引脚输入信号失效（急停为常闭信号）也不会停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块站号"
    "\n\t\t";
constexpr const char* kEnableAlarmDoc =
    "\n\t\t使能指定轴的报警信号。使能后，运动模块的 Alarm 引脚输入信号有效将使得运动控制模块停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t";
constexpr const char* kDisableAlarmDoc =
    "\n\t\t禁用指定轴的报警信号。禁用报警信号后，运动模块的 Alarm 引脚输入信号有效也不会停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t";
constexpr const char* kOriginRisingValidDoc =
    "\n\t\t设置原点检测信号是否上升沿触发。默认为下降沿触发。"
    "\n\t\t";
constexpr const char* kReverseDirectionOutputDoc =
    "\n\t\t反相输出方向信号。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param value: 是否反相输出。True 为反相输出，False 为正常输出（默认）"
    "\n\t\t";

const std::vector<ParamSpec> kStation{{"station", Ann::Int}};

}  // namespace

const MethodSpec kOriginRisingValid{"origin_rising_valid", origin_rising_valid,
                                    {{"station", Ann::Int}, {"value", Ann::Bool}}, Ann::Unset,
                                    kOriginRisingValidDoc};
const MethodSpec kDisableNegativeLimit{
    "disable_negative_limit", configure<map::kNegativeLimitDisabled, true, kDisableNegative>, kStation};
const MethodSpec kEnableNegativeLimit{
    "enable_negative_limit", configure<map::kNegativeLimitDisabled, false, kEnableNegative>, kStation};
const MethodSpec kNegativeLimitIsDisabled{"negative_limit_is_disabled",
                                          is_disabled<map::kNegativeLimitDisabled>, kStation, Ann::Bool};
const MethodSpec kDisablePositiveLimit{
    "disable_positive_limit", configure<map::kPositiveLimitDisabled, true, kDisablePositive>, kStation};
const MethodSpec kEnablePositiveLimit{"enable_positive_limit",
                                      configure<map::kPositiveLimitDisabled, false, kEnablePositive>,
                                      {{"axis"}}};
const MethodSpec kPositiveLimitIsDisabled{"positive_limit_is_disabled",
                                          is_disabled<map::kPositiveLimitDisabled>, kStation, Ann::Bool};
const MethodSpec kDisableAlarm{"disable_alarm", configure<map::kAlarmDisabled, true, kDisableAlarmLine>,
                               kStation, Ann::Unset, kDisableAlarmDoc};
const MethodSpec kEnableAlarm{"enable_alarm", configure<map::kAlarmDisabled, false, kEnableAlarmLine>,
                              kStation, Ann::Unset, kEnableAlarmDoc};
const MethodSpec kAlarmIsDisabled{"alarm_is_disabled", is_disabled<map::kAlarmDisabled>, kStation,
                                  Ann::Bool};
const MethodSpec kDisableEmergency{"disable_emergency",
                                   configure<map::kEmergencyDisabled, true, kDisableEmergencyLine>,
                                   kStation, Ann::Unset, kDisableEmergencyDoc};
const MethodSpec kEnableEmergency{"enable_emergency",
                                  configure<map::kEmergencyDisabled, false, kEnableEmergencyLine>,
                                  kStation, Ann::Unset, kEnableEmergencyDoc};
const MethodSpec kEmergencyIsDisabled{"emergency_is_disabled", is_disabled<map::kEmergencyDisabled>,
                                      kStation, Ann::Bool};
const MethodSpec kReverseDirectionOutput{
    "reverse_direction_output",
    reverse_direction_output,
    {{"station", Ann::Int}, {"value", Ann::Bool, Default::of(true)}},
    Ann::Unset,
    kReverseDirectionOutputDoc};

}  // namespace qzr::status
