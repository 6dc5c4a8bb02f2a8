// Construction, open, close and destruction of a controller, and its homing
// method.
#include "core/class_builder.hpp"
#include "core/enum_members.hpp"
#include "core/fields.hpp"
#include "core/namespace.hpp"
#include "core/self_calls.hpp"
#include "link/master.hpp"
#include "log/log_line.hpp"
#include "py/args.hpp"

namespace qzr::controller {
namespace {

bool is_none(const py::Ref& r) { return r.get() == Py_None; }

// The master for a constructor's `port`: none for None, a new master for a
// non-empty string, and any other value adopted as the master itself.
py::Ref master_for(PyObject* port, PyObject* baudrate) {
    if (port == Py_None) return py::none();
    if (PyUnicode_Check(port) && PyUnicode_GetLength(port) > 0) {
        return link::create_master(port, baudrate);
    }
    return py::Ref::borrow(port);
}

/*[method]
@order(10)
@stub(port="Any", baudrate="int", returns="None")
def __init__(self, port, baudrate=115200):
    """A controller for the line PORT.

    PORT is a port name (a non-empty str such as "/dev/ttyUSB0": a master
    is opened with MewMaster(port, baudrate=BAUDRATE)), None (the
    controller starts closed; open() it later) or any other object, which
    is adopted as the master itself (a simulated line, for instance). The
    homing method starts as FindingOMethod.LimitFirstThenBackward and every
    scale as 1 pulse per mm. Logs "KOV Axis Controller created with port
    ..., baudrate ...". Raises what MewMaster raises.
    """
[method]*/
py::Ref dunder_init(PyObject* self, PyObject* port, PyObject* baudrate) {
    py::Ref master = master_for(port, baudrate);
    py::setattr(self, field::mew, master.get());
    py::setattr(self, field::baudrate, baudrate);
    py::setattr(self, field::ppmm, py::check(PyDict_New()).get());
    py::setattr(self, field::find_o_threads, py::check(PyDict_New()).get());
    py::setattr(self, field::finding_o_method,
                enums::member_named(ns::kFindingOMethod, enums::kLimitFirstThenBackward).get());
    log::info(py::text("KOV Axis Controller created with port ", port, ", baudrate ", baudrate));
    return py::none();
}

/*[method]
@order(20)
@stub(force="bool", returns="None")
def close(self, force=False):
    """Closes the master and leaves the controller closed.

    Logs "KOV Axis Controller closed. force = ..." first, then does
    nothing more if already closed. Refuses with RuntimeError ("Not all
    axis are ready for close. Some is finding o.") while a homing result
    has not been collected, unless FORCE is true; forcing does not stop
    the homing workers. Raises what the master's close() raises.
    """
[method]*/
py::Ref close(PyObject* self, PyObject* force) {
    log::info(py::text("KOV Axis Controller closed. force = ", force));
    py::Ref master = link::master_of(self);
    if (is_none(master)) return py::none();
    py::Ref threads = py::getattr(self, field::find_o_threads);
    if (py::truth(threads.get()) && !py::truth(force)) {
        py::raise(PyExc_RuntimeError, "Not all axis are ready for close. Some is finding o.");
    }
    link::close(master.get());
    py::setattr(self, field::mew, Py_None);
    return py::none();
}

/*[method]
@order(30)
@stub(returns="None")
def __del__(self):
    """Calls close() when the controller is destroyed; its errors are reported
    as unraisable, not raised."""
[method]*/
py::Ref dunder_del(PyObject* self) {
    self::call(self, method::close);
    return py::none();
}

/*[method]
@order(40)
@property
def finding_o_method(self) -> FindingOMethod:
    """The homing method find_o uses; LimitFirstThenBackward at first."""
[method]*/
py::Ref finding_o_method(PyObject* self) { return py::getattr(self, field::finding_o_method); }

/*[method]
@stub(returns="None")
@finding_o_method.setter
def finding_o_method(self, value: FindingOMethod):
    """Sets the homing method and logs "Set finding o method to N".

    Raises AssertionError (while assertions are enabled) when VALUE is
    not a FindingOMethod member.
    """
[method]*/
py::Ref finding_o_method_setter(PyObject* self, PyObject* value) {
    if (py::assertions_enabled()) {
        py::Ref methods = ns::global(ns::kFindingOMethod);
        int is_member = PyObject_IsInstance(value, methods.get());
        py::require(is_member >= 0);
        if (!is_member) py::assertion_failed(py::text("未知的找原点方式值：", value));
    }
    py::setattr(self, field::finding_o_method, value);
    log::info(py::text("Set finding o method to ", value));
    return py::none();
}

/*[method]
@order(50)
@stub(port="Any", returns="None")
def open(self, port):
    """Opens a new master on PORT with the constructor's baud rate.

    Calls MewMaster(port, baudrate=...) and logs "KOV Axis Controller is
    opened again with port ....". Raises RuntimeError when the controller
    is open already (close() it first), and what MewMaster raises.
    """
[method]*/
py::Ref open(PyObject* self, PyObject* port) {
    if (!is_none(link::master_of(self))) {
        py::raise(PyExc_RuntimeError,
                  "设备已经打开，要重新打开或打开其他端口，请先调用 close 关闭设备。");
    }
    py::Ref baudrate = py::getattr(self, field::baudrate);
    py::Ref master = link::create_master(port, baudrate.get());
    py::setattr(self, field::mew, master.get());
    log::info(py::text("KOV Axis Controller is opened again with port ", port, "."));
    return py::none();
}

}  // namespace

#include "controller/lifecycle.gen.inc"

}  // namespace qzr::controller
