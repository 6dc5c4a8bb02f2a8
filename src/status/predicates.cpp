// State predicates, answered from a status-words list when one is given and
// otherwise read from the station, and the stop source.
#include "core/class_builder.hpp"
#include "core/enum_members.hpp"
#include "core/namespace.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "py/call.hpp"

namespace qzr::status {
namespace {

namespace map = station_map;

// ((words[3] >> shift) & mask) != 0
py::Ref io_bit(PyObject* words, const map::IoBit& bit) {
    if (PyList_CheckExact(words) && PyList_GET_SIZE(words) > map::kWordIo) {
        PyObject* w = PyList_GET_ITEM(words, map::kWordIo);
        int overflow = 0;
        long long v = PyLong_CheckExact(w) ? PyLong_AsLongLongAndOverflow(w, &overflow) : 0;
        if (PyLong_CheckExact(w) && !overflow) {
            // Python's >> on a negative int rounds toward minus infinity, as
            // the arithmetic shift does.
            return py::boolean(((v >> bit.shift) & bit.mask) != 0);
        }
    }
    py::Ref word = py::item(words, map::kWordIo);
    if (bit.shift != 0) word = py::check(PyNumber_Rshift(word.get(), py::integer(bit.shift).get()));
    py::Ref bits = py::check(PyNumber_And(word.get(), py::integer(bit.mask).get()));
    return py::boolean(py::compare(bits.get(), py::integer(0).get(), Py_NE));
}

// A predicate over one signal: from the list when one is given, else one
// read of the signal's coil.
template <const map::IoBit& bit>
py::Ref predicate(PyObject* self, PyObject* station, PyObject* status_words) {
    if (py::truth(status_words)) return io_bit(status_words, bit);
    return link::get_coil(self, station, bit.coil);
}

constexpr const char* kIsAlarmingDoc =
    "\n\t\t判断电机轴是否在报警。"
    "\n\t\t:param station: 电机控制模块站号"
    "\n\t\t:param status_words: 电机状态字。如果提供了，将从状态字中提取报警状态；否则，从控制模块读取最新值"
    "\n\t\t:return: True 如果电机报警；否则，False"
    "\n\t\t";

/*[method]
@order(290)
@body("predicate<map::kAlarmBit>")
@doc(kIsAlarmingDoc)
@stub(status_words="Optional[List[Any]]", returns="bool")
def is_alarming(self, station: int, status_words: _Optional[list] = None):
    """Whether the drive's alarm input X4 of STATION is on.

    Answered from STATUS_WORDS when given, else by one coil read.
    """
[method]*/

constexpr const char* kIsRunningDoc =
    "\n\t\t判断电机轴当前是否正处于发脉冲运动状态。"
    "\n\t\t:param station: 电机控制模块的站号"
    "\n\t\t:param status_words: 电机状态字"
    "\n\t\t:return: True 如果正在发脉冲；否则，False"
    "\n\t\t";

/*[method]
@order(300)
@body("predicate<map::kRunningBit>")
@doc(kIsRunningDoc)
@stub(status_words="Optional[List[Any]]", returns="bool")
def is_running(self, station: int, status_words: _Optional[list] = None):
    """Whether STATION is sending pulses (output Y1): a move, run or search goes on.

    Answered from STATUS_WORDS when given, else by one coil read.
    """
[method]*/

/*[method]
@order(310)
@body("predicate<map::kOriginBit>")
@stub(status_words="Optional[List[Any]]", returns="bool")
def at_o(self, station: int, status_words: _Optional[list] = None):
    """Whether the origin sensor input X0 of STATION is on.

    Answered from STATUS_WORDS when given, else by one coil read.
    """
[method]*/

/*[method]
@order(320)
@body("predicate<map::kPositiveLimitBit>")
@stub(status_words="Optional[List[Any]]", returns="bool")
def at_positive_limit(self, station: int, status_words: _Optional[list] = None):
    """Whether the positive limit switch input X2 of STATION is on.

    Answered from STATUS_WORDS when given, else by one coil read.
    """
[method]*/

/*[method]
@order(330)
@body("predicate<map::kNegativeLimitBit>")
@stub(status_words="Optional[List[Any]]", returns="bool")
def at_negative_limit(self, station: int, status_words: _Optional[list] = None):
    """Whether the negative limit switch input X1 of STATION is on.

    Answered from STATUS_WORDS when given, else by one coil read.
    """
[method]*/

/*[method]
@order(340)
@body("predicate<map::kEmergencyBit>")
@stub(status_words="Optional[List[Any]]", returns="bool")
def at_emergency(self, station: int, status_words: _Optional[list] = None):
    """The emergency input X3 of STATION as it is.

    The input is normally closed: True while all is well, False while the
    emergency button is pressed. Answered from STATUS_WORDS when given,
    else by one coil read.
    """
[method]*/

/*[method]
@order(350)
def get_stop_source(self, station: int) -> StopSource:
    """Why STATION last stopped sending pulses, read from D20.

    Raises ValueError ("N is not a valid StopSource") when the station
    reports another code.
    """
[method]*/
py::Ref get_stop_source(PyObject* self, PyObject* station) {
    py::Ref code = link::get_int32(self, station, map::kStopSourceCode);
    return enums::member(ns::kStopSource, code.get());
}

}  // namespace

#include "status/predicates.gen.inc"

}  // namespace qzr::status
