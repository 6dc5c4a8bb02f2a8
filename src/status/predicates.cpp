// State predicates, answered from a status-words list when one is given and
// otherwise read from the station, and the stop source.
#include "controller/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "module/enums.hpp"
#include "module/namespace.hpp"
#include "status/members.hpp"

namespace qzr::status {
namespace {

namespace map = station_map;

// ((words[3] >> shift) & mask) != 0
py::Ref io_bit(PyObject* words, long shift, long mask) {
    if (PyList_CheckExact(words) && PyList_GET_SIZE(words) > 3) {
        PyObject* w = PyList_GET_ITEM(words, 3);
        int overflow = 0;
        long long v = PyLong_CheckExact(w) ? PyLong_AsLongLongAndOverflow(w, &overflow) : 0;
        if (PyLong_CheckExact(w) && !overflow) {
            // Python's >> on a negative int rounds toward minus infinity, as
            // the arithmetic shift does.
            return py::boolean(((v >> shift) & mask) != 0);
        }
    }
    py::Ref word = py::item(words, 3);
    if (shift != 0) word = py::check(PyNumber_Rshift(word.get(), py::integer(shift).get()));
    py::Ref bits = py::check(PyNumber_And(word.get(), py::integer(mask).get()));
    return py::boolean(py::compare(bits.get(), py::integer(0).get(), Py_NE));
}

// A predicate of (self, station, status_words=None) over one signal.
template <const py::Name& coil, long shift, long mask>
py::Ref predicate(PyObject* const* args) {
    PyObject* words = args[2];
    if (py::truth(words)) return io_bit(words, shift, mask);
    return link::get_coil(args[0], args[1], coil);
}

// get_stop_source(self, station: int) -> StopSource
py::Ref get_stop_source(PyObject* const* args) {
    py::Ref code = link::get_int32(args[0], args[1], map::kStopSourceCode);
    return enums::member(ns::kStopSource, code.get());
}

constexpr const char* kIsAlarmingDoc =
    "\n\t\t判断电机轴是否在报警。"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param status_words: 电机状态字。如果提供了，将从状态字中提取报警状态；否则，从控制模块读取最新值"
    "\n\t\t:return: True 如果电机报警；否则，False"
    "\n\t\t";
constexpr const char* kIsRunningDoc =
    "\n\t\t判断电机轴当前是否正处于发脉冲运动状态。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param status_words: 电机状态字"
    "\n\t\t:return: True 如果正在发脉冲；否则，False"
    "\n\t\t";

const std::vector<ParamSpec> kPredicateParams{
    {"station", Ann::Int}, {"status_words", Ann::OptionalList, Default::none()}};

}  // namespace

const MethodSpec kIsAlarming{"is_alarming", predicate<map::kAlarmInput, 0, 16>, kPredicateParams,
                             Ann::Unset, kIsAlarmingDoc};
const MethodSpec kIsRunning{"is_running", predicate<map::kRunning, 16, 2>, kPredicateParams,
                            Ann::Unset, kIsRunningDoc};
const MethodSpec kAtO{"at_o", predicate<map::kOriginInput, 0, 1>, kPredicateParams};
const MethodSpec kAtPositiveLimit{"at_positive_limit", predicate<map::kPositiveLimitInput, 0, 4>,
                                  kPredicateParams};
const MethodSpec kAtNegativeLimit{"at_negative_limit", predicate<map::kNegativeLimitInput, 0, 2>,
                                  kPredicateParams};
const MethodSpec kAtEmergency{"at_emergency", predicate<map::kEmergencyInput, 0, 8>,
                              kPredicateParams};
const MethodSpec kGetStopSource{"get_stop_source", get_stop_source, {{"station", Ann::Int}},
                                Ann::StopSource};

}  // namespace qzr::status
