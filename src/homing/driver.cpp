// Starting a homing run in a worker thread per station, and collecting its
// outcome. The registry _find_o_threads holds one entry per station whose run
// was started and whose outcome has not been collected yet.
#include "core/class_builder.hpp"
#include "core/enum_members.hpp"
#include "core/fields.hpp"
#include "core/namespace.hpp"
#include "core/self_calls.hpp"
#include "log/log_line.hpp"
#include "py/args.hpp"
#include "py/finally.hpp"

namespace qzr::homing {
namespace {

py::Name kTarget{"target"};
py::Name kArgs{"args"};
py::Name kStart{"start"};
py::Name kJoin{"join"};
py::Name kIsAlive{"is_alive"};
py::Name kGet{"get"};
py::Name kIdent{"ident"};
py::Name kThreading{"threading"};
py::Name kEnumerate{"enumerate"};

bool method_is(PyObject* method, const py::Name& member) {
    return enums::is_member(method, ns::kFindingOMethod, member);
}

// Refuses a limit-first run towards a side whose limit input is disabled.
void check_limit_configuration(PyObject* self, PyObject* station, PyObject* direction) {
    py::Ref homing_method = py::getattr(self, method::finding_o_method);
    if (!method_is(homing_method.get(), enums::kLimitFirstThenBackward)) return;
    if (enums::is_member(direction, ns::kDirection, enums::kNegative) &&
        self::ask(self, method::negative_limit_is_disabled, station)) {
        py::assertion_failed(py::text(
            "禁用了负极限，却往负方向找原点。可能需要把找原点方式改为只使用原点信号"));
    }
    if (enums::is_member(direction, ns::kDirection, enums::kPositive) &&
        self::ask(self, method::positive_limit_is_disabled, station)) {
        py::assertion_failed(py::text(
            "禁用了正极限，却往正方向找原点。可能需要把找原点方式改为只使用原点信号"));
    }
}

// Whether a worker whose start() failed runs all the same: start() can be
// interrupted (Ctrl-C) while it waits for the new thread, which then goes on
// homing. A started thread has an ident, or is among threading.enumerate()
// until it has set one. Anything unlike a thread counts as not started.
bool worker_started(PyObject* thread) {
    bool started = false;
    py::keeping_error([&] {
        py::Ref ident = py::getattr(thread, kIdent);
        if (ident.get() != Py_None) {
            started = true;
            return;
        }
        py::Ref threading = py::check(PyImport_Import(kThreading.get()));
        py::Ref running = py::call_method(threading.get(), kEnumerate);
        int found = PySequence_Contains(running.get(), thread);
        py::require(found >= 0);
        started = found == 1;
    });
    return started;
}

/*[method]
@order(410)
@stub(returns="None")
def _find_o_thread_func(self, station: int, direction: Direction):
    """The homing worker's body: runs the controller's finding_o_method.

    Logs "Finding o started, method ..., station ...". Started by find_o
    in a thread of its own.
    """
[method]*/
// The worker: runs the homing method the controller has when it starts.
py::Ref _find_o_thread_func(PyObject* self, PyObject* station, PyObject* direction) {
    py::Ref homing_method = py::getattr(self, method::finding_o_method);
    log::info(py::text("Finding o started, method ", homing_method, ", station ", station));
    // Read again for the dispatch, not reused from the log line: the property
    // (or a subclass's) is asked twice, and the run follows the second answer.
    homing_method = py::getattr(self, method::finding_o_method);
    if (method_is(homing_method.get(), enums::kLimitFirstThenBackward)) {
        self::call(self, method::_find_o_thread_func_limit_first_then_backward, station, direction);
    } else if (method_is(homing_method.get(), enums::kOriginOnly)) {
        self::call(self, method::_find_o_origin_only, station, direction);
    }
    return py::none();
}

constexpr const char* kFindODoc =
    "\n\t\t以指定的速度参数执行找原点动作。"
    "\n\t\t执行 find_o 函数，以寻找原点后，必须要在某个时间调用 wait_for_find_o_finish 函数以查询找原点的结果"
    "\n\t\t这是一个强制性的要求，以防止因为找原点失败而引起各种问题。"
    "\n\t\twait_for_find_o_finish 的使用说明请参见其函数本体说明。"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t:param start_velocity: 梯形速度曲线的起始速度"
    "\n\t\t:param velocity: 梯形速度曲线匀速段的速度值"
    "\n\t\t:param acceleration_time: 梯形速度曲线加速段的时间跨度，单位：s（秒）"
    "\n\t\t:param direction: 找原点时开始运动的方向。如果往这个方向碰到了限位感应器，会自动往反方向继续找"
    "\n\t\t";

/*[method]
@order(440)
@doc(kFindODoc)
@stub(returns="None")
def find_o(self, station: int, start_velocity: float, velocity: float, acceleration_time: float,
           direction: Direction = Direction.Negative):
    """Starts homing STATION in a worker thread; returns at once.

    Writes the speed profile (START_VELOCITY and VELOCITY in mm/s,
    ACCELERATION_TIME in seconds, as set_parameters does), then runs
    finding_o_method starting towards DIRECTION (default Negative). On
    success the origin becomes coordinate 0. Collecting the result with
    wait_for_find_o_finish is mandatory. Logs "Start finding o, station N".

    Raises BlockingIOError ("Axis N has been finding o.") while the
    station's previous result is uncollected; AssertionError when the
    limit on the start side is disabled under LimitFirstThenBackward
    ("禁用了负极限…" / "禁用了正极限…", under python -O too), and, while
    assertions are enabled, when DIRECTION is not a Direction or
    set_parameters refuses the speeds.
    """
[method]*/
py::Ref find_o(PyObject* self, PyObject* station, py::Float start_velocity, py::Float velocity,
               py::Float acceleration_time, PyObject* direction) {
    if (py::assertions_enabled()) {
        py::Ref directions = ns::global(ns::kDirection);
        int is_direction = PyObject_IsInstance(direction, directions.get());
        py::require(is_direction >= 0);
        if (!is_direction) py::assertion_failed();
    }
    py::Ref threads = py::getattr(self, field::find_o_threads);
    int homing = PySequence_Contains(threads.get(), station);
    py::require(homing >= 0);
    if (homing) {
        py::Ref format = py::check(PyUnicode_FromString("Axis %d has been finding o."));
        py::raise(PyExc_BlockingIOError, py::check(PyUnicode_Format(format.get(), station)));
    }
    check_limit_configuration(self, station, direction);
    self::call(self, method::set_parameters, station, start_velocity, velocity, acceleration_time);

    py::Ref thread_class = ns::global(ns::kThread);
    py::Ref target = py::getattr(self, method::_find_o_thread_func);
    py::Ref thread = py::KeywordCall()
                         .with(kTarget, target)
                         .with(kArgs, py::tuple(station, direction))
                         .call(thread_class.get());
    py::require(PyObject_SetItem(threads.get(), station, thread.get()) == 0);
    // A run that never started must not leave the station counted as homing
    // for good; one that started must stay registered, to be collected.
    py::undo_on_error(
        [&] {
            log::info(py::text("Start finding o, station ", station));
            py::call_method(thread.get(), kStart);
        },
        [&] {
            if (!worker_started(thread.get())) {
                py::require(PyObject_DelItem(threads.get(), station) == 0);
            }
        });
    return py::none();
}

constexpr const char* kIsFindingODoc =
    "\n\t\t当前轴是否在找原点过程中。如果是，返回 True；否则，返回 False"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t";

/*[method]
@order(450)
@doc(kIsFindingODoc)
@stub(returns="bool")
def is_finding_o(self, station: int):
    """Whether STATION has a homing run whose result has not been collected yet.

    True from find_o until wait_for_find_o_finish returned True or False,
    even after the motion ended.
    """
[method]*/
py::Ref is_finding_o(PyObject* self, PyObject* station) {
    py::Ref threads = py::getattr(self, field::find_o_threads);
    int homing = PySequence_Contains(threads.get(), station);
    py::require(homing >= 0);
    return py::boolean(homing);
}

constexpr const char* kWaitForFindOFinishDoc =
    "\n\t\t等待某轴找原点结束，并返回找原点的结果。有以下几种情况："
    "\n\t\t1. 提供了一个有效的超时参数 timeout"
    "\n\t\t\t1)找原点动作未能在超时前结束，函数返回 None"
    "\n\t\t\t2)在超时前顺利找到了原点，函数返回 True"
    "\n\t\t\t3)在超时前找原点动作已经结束，但没有找到原点，函数返回 False"
    "\n\t\t2. 未提供 timeout 参数，或所提供参数是 None，等待，直到..."
    "\n\t\t\t1)顺利找到了原点，返回 True"
    "\n\t\t\t2)两边限位都碰过了，没找到原点，返回 False"
    "\n\t\t\t3)以上两点都没有发生，将一直等待"
    "\n"
    "\n\t\t找原点过程中可能引起异常的情况有："
    "\n\t\t1. 通讯失败，无法获取轴状态"
    "\n\t\t2. 轴的报警信号输入有效"
    "\n\t\t:param station: 控制电机轴的运动控制模块的站号"
    "\n\t\t:param timeout: 等待的超时时间，单位：秒(second)"
    "\n\t\t";

/*[method]
@order(460)
@doc(kWaitForFindOFinishDoc)
@stub(timeout="Optional[float]", returns="Optional[bool]")
def wait_for_find_o_finish(self, station: int, timeout: _Optional[float] = None):
    """Waits for STATION's homing run to end and collects its result.

    Returns True when the station stopped on the origin (now coordinate
    0), False when the run ended without it (a limit, the emergency
    input, an alarm, a stop command, a communication failure in the
    worker), None when TIMEOUT seconds passed first: the run goes on, an
    ERROR line is logged, call again later. TIMEOUT None waits for good.
    Waiting releases the interpreter lock. Logs "Wait for finding O done.
    Station ..., source ...". Raises ValueError ("Axis is not finding
    origin point, or has been waited.") when no result is pending.
    """
[method]*/
py::Ref wait_for_find_o_finish(PyObject* self, PyObject* station, PyObject* timeout) {
    py::Ref threads = py::getattr(self, field::find_o_threads);
    py::Ref thread = py::call_method(threads.get(), kGet, station);
    if (thread.get() == Py_None) {
        py::raise(PyExc_ValueError, "Axis is not finding origin point, or has been waited.");
    }
    py::call_method(thread.get(), kJoin, timeout);
    if (py::truth(py::call_method(thread.get(), kIsAlive).get())) {
        log::error(py::text("Wait for finding O timeout, station ", station));
        return py::none();
    }
    py::require(PyObject_DelItem(threads.get(), station) == 0);
    py::Ref stop_source = self::call(self, method::get_stop_source, station);
    log::info(py::text("Wait for finding O done. Station ", station, ", source ", stop_source));
    py::Ref origin = enums::member_named(ns::kStopSource, enums::kOrigin);
    return py::check(PyObject_RichCompare(stop_source.get(), origin.get(), Py_EQ));
}

}  // namespace

#include "homing/driver.gen.inc"

}  // namespace qzr::homing
