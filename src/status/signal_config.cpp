// How a station treats its limit, alarm, emergency and origin inputs and its
// direction output. "Enable" writes False to the signal's coil, "disable"
// writes True.
#include "core/class_builder.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log_line.hpp"
#include "py/call.hpp"

namespace qzr::status {
namespace {

namespace map = station_map;

// Writes a configuration coil, then logs the line followed by the station.
template <const py::Name& coil, bool value, const char* const& line>
py::Ref configure(PyObject* self, PyObject* station) {
    link::set_coil(self, station, coil, value ? Py_True : Py_False);
    log::info(py::text(line, station));
    return py::none();
}

// Whether the signal is disabled: the coil as the master reports it.
template <const py::Name& coil>
py::Ref is_disabled(PyObject* self, PyObject* station) {
    return link::get_coil(self, station, coil);
}

constexpr const char* kEnableNegative = "Enable negative limit, station ";
constexpr const char* kDisableNegative = "Disable negative limit, station ";
constexpr const char* kEnablePositive = "Enable positive limit, station ";
constexpr const char* kDisablePositive = "Disable positive limit, station ";
constexpr const char* kEnableAlarmLine = "Enable alarm, station ";
constexpr const char* kDisableAlarmLine = "Disable alarm, station ";
constexpr const char* kEnableEmergencyLine = "Enable emergency, station ";
constexpr const char* kDisableEmergencyLine = "Disable emergency, station ";

constexpr const char* kOriginRisingValidDoc =
    "\n\t\t设置原点检测信号是否上升沿触发。默认为下降沿触发。"
    "\n\t\t";

/*[method]
@order(470)
@doc(kOriginRisingValidDoc)
@stub(returns="None")
def origin_rising_valid(self, station: int, value: bool):
    """Chooses the edge of the origin signal that counts: rising when VALUE is
    true, falling (the station's default) when false.

    Writes VALUE to the coil R10. Logs "Set origin trigger edge as
    rising/falling, station N".
    """
[method]*/
py::Ref origin_rising_valid(PyObject* self, PyObject* station, PyObject* value) {
    link::set_coil(self, station, map::kOriginRisingEdge, value);
    const char* edge = py::truth(value) ? "rising" : "falling";
    log::info(py::text("Set origin trigger edge as ", edge, ", station ", station));
    return py::none();
}

/*[method]
@order(480)
@body("configure<map::kNegativeLimitDisabled, true, kDisableNegative>")
@stub(returns="None")
def disable_negative_limit(self, station: int):
    """Makes STATION ignore its negative limit switch (coil R12 on).

    Logs "Disable negative limit, station N".
    """
[method]*/

/*[method]
@order(490)
@body("configure<map::kNegativeLimitDisabled, false, kEnableNegative>")
@stub(returns="None")
def enable_negative_limit(self, station: int):
    """Makes STATION stop at its negative limit switch (coil R12 off).

    Logs "Enable negative limit, station N".
    """
[method]*/

/*[method]
@order(500)
@body("is_disabled<map::kNegativeLimitDisabled>")
def negative_limit_is_disabled(self, station: int) -> bool:
    """Whether STATION ignores its negative limit switch: the coil R12, read."""
[method]*/

/*[method]
@order(510)
@body("configure<map::kPositiveLimitDisabled, true, kDisablePositive>")
@stub(returns="None")
def disable_positive_limit(self, station: int):
    """Makes STATION ignore its positive limit switch (coil R13 on).

    Logs "Disable positive limit, station N".
    """
[method]*/

/*[method]
# The parameter is called axis here, unlike everywhere else, and has no
# annotation: callers that pass it by keyword use that name.
@order(520)
@body("configure<map::kPositiveLimitDisabled, false, kEnablePositive>")
@stub(axis="int", returns="None")
def enable_positive_limit(self, axis):
    """Makes the station AXIS stop at its positive limit switch (coil R13 off).

    Logs "Enable positive limit, station N".
    """
[method]*/

/*[method]
@order(530)
@body("is_disabled<map::kPositiveLimitDisabled>")
def positive_limit_is_disabled(self, station: int) -> bool:
    """Whether STATION ignores its positive limit switch: the coil R13, read."""
[method]*/

constexpr const char* kDisableAlarmDoc =
    "\n\t\t禁用指定轴的报警信号。禁用报警信号后，运动模块的 Alarm 引脚输入信号有效也不会停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t";

/*[method]
@order(540)
@body("configure<map::kAlarmDisabled, true, kDisableAlarmLine>")
@doc(kDisableAlarmDoc)
@stub(returns="None")
def disable_alarm(self, station: int):
    """Makes STATION ignore the drive's alarm input (coil R14 on).

    Logs "Disable alarm, station N".
    """
[method]*/

constexpr const char* kEnableAlarmDoc =
    "\n\t\t使能指定轴的报警信号。使能后，运动模块的 Alarm 引脚输入信号有效将使得运动控制模块停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t";

/*[method]
@order(550)
@body("configure<map::kAlarmDisabled, false, kEnableAlarmLine>")
@doc(kEnableAlarmDoc)
@stub(returns="None")
def enable_alarm(self, station: int):
    """Makes STATION stop sending pulses when the drive's alarm input comes on
    (coil R14 off).

    Logs "Enable alarm, station N".
    """
[method]*/

/*[method]
@order(560)
@body("is_disabled<map::kAlarmDisabled>")
def alarm_is_disabled(self, station: int) -> bool:
    """Whether STATION ignores the drive's alarm input: the coil R14, read."""
[method]*/

constexpr const char* kDisableEmergencyDoc =
    "\n\t\t禁用急停信号。禁用后，运动模块的 EMG 引脚输入信号失效（急停为常闭信号）也不会停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块站号"
    "\n\t\t";

/*[method]
@order(570)
@body("configure<map::kEmergencyDisabled, true, kDisableEmergencyLine>")
@doc(kDisableEmergencyDoc)
@stub(returns="None")
def disable_emergency(self, station: int):
    """Makes STATION ignore its emergency input (coil R15 on).

    Logs "Disable emergency, station N".
    """
[method]*/

constexpr const char* kEnableEmergencyDoc =
    "\n\t\t使能急停信号。使能后，运动模块的 EMG 引脚输入信号失效（急停为常闭信号）将引起停止发送脉冲。"
    "\n\t\t:param station: 控制电机轴的运动控制模块站号"
    "\n\t\t";

/*[method]
@order(580)
@body("configure<map::kEmergencyDisabled, false, kEnableEmergencyLine>")
@doc(kEnableEmergencyDoc)
@stub(returns="None")
def enable_emergency(self, station: int):
    """Makes STATION stop sending pulses when its emergency input opens
    (coil R15 off); the input is normally closed.

    Logs "Enable emergency, station N".
    """
[method]*/

/*[method]
@order(590)
@body("is_disabled<map::kEmergencyDisabled>")
def emergency_is_disabled(self, station: int) -> bool:
    """Whether STATION ignores its emergency input: the coil R15, read."""
[method]*/

constexpr const char* kReverseDirectionOutputDoc =
    "\n\t\t反相输出方向信号。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param value: 是否反相输出。True 为反相输出，False 为正常输出（默认）"
    "\n\t\t";

/*[method]
@order(600)
@doc(kReverseDirectionOutputDoc)
@stub(returns="None")
def reverse_direction_output(self, station: int, value: bool = True):
    """Inverts STATION's direction output when VALUE is true (the default),
    restores it when false.

    Writes VALUE to the coil R16. Logs "Set reverse direction output to
    ..., station N".
    """
[method]*/
py::Ref reverse_direction_output(PyObject* self, PyObject* station, PyObject* value) {
    link::set_coil(self, station, map::kDirectionInverted, value);
    log::info(py::text("Set reverse direction output to ", value, ", station ", station));
    return py::none();
}

}  // namespace

#include "status/signal_config.gen.inc"

}  // namespace qzr::status
