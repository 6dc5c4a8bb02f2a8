// Construction, open, close and destruction of a controller, and its homing
// method.
#include "controller/members.hpp"
#include "controller/self_calls.hpp"
#include "link/master.hpp"
#include "log/log.hpp"
#include "module/namespace.hpp"
#include "py/args.hpp"

namespace qzr::controller {
namespace {

py::Name kMasterField{"_KOVAxisController__mew"};
py::Name kLimitFirstThenBackward{"LimitFirstThenBackward"};

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

// __init__(self, port, baudrate=115200)
py::Ref init(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* port = args[1];
    PyObject* baudrate = args[2];
    py::Ref master = master_for(port, baudrate);
    py::setattr(self, kMasterField, master.get());
    py::setattr(self, self::kBaudrate, baudrate);
    py::setattr(self, self::kPpmmTable, py::check(PyDict_New()).get());
    py::setattr(self, self::kFindOThreads, py::check(PyDict_New()).get());
    py::Ref methods = ns::global(ns::kFindingOMethod);
    py::setattr(self, self::kFindingOMethodField,
                py::getattr(methods.get(), kLimitFirstThenBackward).get());
    log::info(py::text("KOV Axis Controller created with port ", port, ", baudrate ", baudrate));
    return py::none();
}

// close(self, force=False)
py::Ref close(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* force = args[1];
    log::info(py::text("KOV Axis Controller closed. force = ", force));
    py::Ref master = link::master_of(self);
    if (is_none(master)) return py::none();
    py::Ref threads = py::getattr(self, self::kFindOThreads);
    if (py::truth(threads.get()) && !py::truth(force)) {
        py::raise(PyExc_RuntimeError, "Not all axis are ready for close. Some is finding o.");
    }
    link::close(master.get());
    py::setattr(self, kMasterField, Py_None);
    return py::none();
}

// __del__(self)
py::Ref del(PyObject* const* args) {
    self::call(args[0], self::kClose);
    return py::none();
}

// finding_o_method, read
py::Ref finding_o_method_get(PyObject* const* args) {
    return py::getattr(args[0], self::kFindingOMethodField);
}

// finding_o_method, write
py::Ref finding_o_method_set(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* value = args[1];
    if (py::assertions_enabled()) {
        py::Ref methods = ns::global(ns::kFindingOMethod);
        int is_member = PyObject_IsInstance(value, methods.get());
        py::require(is_member >= 0);
        if (!is_member) py::assertion_failed(py::text("未知的找原点方式值：", value));
    }
    py::setattr(self, self::kFindingOMethodField, value);
    log::info(py::text("Set finding o method to ", value));
    return py::none();
}

// open(self, port)
py::Ref open(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* port = args[1];
    if (!is_none(link::master_of(self))) {
        py::raise(PyExc_RuntimeError,
                  "设备已经打开，要重新打开或打开其他端口，请先调用 close 关闭设备。");
    }
    py::Ref baudrate = py::getattr(self, self::kBaudrate);
    py::Ref master = link::create_master(port, baudrate.get());
    py::setattr(self, kMasterField, master.get());
    log::info(py::text("KOV Axis Controller is opened again with port ", port, "."));
    return py::none();
}

}  // namespace

const MethodSpec kInit{"__init__", init, {{"port"}, {"baudrate", Ann::Unset, Default::of(115200)}}};
const MethodSpec kClose{"close", close, {{"force", Ann::Unset, Default::of(false)}}};
const MethodSpec kDel{"__del__", del, {}};
const MethodSpec kFindingOMethodGet{"finding_o_method", finding_o_method_get, {}, Ann::FindingOMethod};
const MethodSpec kFindingOMethodSet{
    "finding_o_method", finding_o_method_set, {{"value", Ann::FindingOMethod}}};
const MethodSpec kOpen{"open", open, {{"port"}}};

}  // namespace qzr::controller
