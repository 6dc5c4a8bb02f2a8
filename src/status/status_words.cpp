// The status block, the position, and redefining the coordinate.
#include "core/class_builder.hpp"
#include "core/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log_line.hpp"
#include "py/args.hpp"

namespace qzr::status {
namespace {

namespace map = station_map;

// block[i]
py::Ref block_value(PyObject* block, long i) {
    if (PyList_CheckExact(block) && i < PyList_GET_SIZE(block)) {
        return py::Ref::borrow(PyList_GET_ITEM(block, i));
    }
    return py::item(block, i);
}

constexpr const char* kStatusWordsDoc =
    "\n\t\t读取电机状态字。状态字是包含多个（目前是3个）32位整数的列表。"
    "\n\t\tstatus_words[0]: 当前位置。"
    "\n\t\tstatus_words[1]: 当前编码器位置。"
    "\n\t\tstatus_words[2]: 当前速度。"
    "\n\t\tstatus_words[3]: 低16位：当前输入状态，即 WX0；高16位：当前输出状态，即 WY0。"
    "\n\t\tstatus_words[4]: 低16位：停止来源；值对应的意义见 class StopSource。高16位：保留。"
    "\n\t\t注意：不排除以后扩展状态字中元素的个数。"
    "\n\t\t";
/*[method]
@order(250)
@doc(kStatusWordsDoc)
@stub(returns="List[Any]")
def status_words(self, station: int):
    """Reads STATION's status block in one exchange.

    Reads 11 values from DT10 and returns [position in mm, encoder
    position in mm, velocity in mm/s, I/O word, 0]. The I/O word holds
    the inputs in its low 16 bits (X0 origin, X1 negative limit, X2
    positive limit, X3 emergency, X4 alarm) and the outputs in its high
    16 bits (Y1 running). Give the list to the predicates and
    get_position to answer them without further reads.
    """
[method]*/
py::Ref status_words(PyObject* self, PyObject* station) {
    py::Ref count = py::integer(map::kStatusBlockLength);
    py::Ref block = link::get_multi_int32(self, station, map::kPosition.get(), count.get());
    py::Ref words[map::kWordCount];
    words[map::kWordPosition] = self::call(self, method::from_pulse, station,
                                           block_value(block.get(), map::kBlockPosition));
    words[map::kWordEncoder] = self::call(self, method::from_pulse, station,
                                          block_value(block.get(), map::kBlockEncoder));
    words[map::kWordVelocity] = self::call(self, method::from_pulse, station,
                                           block_value(block.get(), map::kBlockVelocity));
    // The whole I/O value, outputs included, so that is_running can answer
    // from the list.
    words[map::kWordIo] = block_value(block.get(), map::kBlockIo);
    // The docstring places the stop source here, but no block value carries
    // it; get_stop_source reads it from D20.
    words[map::kWordReserved] = py::integer(0);
    py::Ref list = py::check(PyList_New(map::kWordCount));
    for (long i = 0; i < map::kWordCount; ++i) PyList_SET_ITEM(list.get(), i, words[i].release());
    return list;
}

/*[method]
@order(260)
@stub(status_words="Optional[List[Any]]", returns="float")
def get_position(self, station: int, status_words: _Optional[list] = None):
    """The coordinate of STATION in mm.

    Taken from STATUS_WORDS (element 0) when given, else read from DT10
    and converted with the station's scale.
    """
[method]*/
py::Ref get_position(PyObject* self, PyObject* station, PyObject* status_words) {
    if (py::truth(status_words)) {
        // The list's position is already in millimetres.
        py::Ref position = py::item(status_words, map::kWordPosition);
        return py::check(PyNumber_Float(position.get()));
    }
    py::Ref pulses = link::get_int32(self, station, map::kPosition);
    return self::call(self, method::from_pulse, station, pulses);
}

constexpr const char* kSetPositionDoc =
    "\n\t\t设置当前位置为制定坐标值。通常用于找原点后设置当前位置为原点坐标（0）。"
    "\n\t\t:param station: 电机控制模块站号。"
    "\n\t\t:param position: 坐标值。单位：mm"
    "\n\t\t";
/*[method]
@order(270)
@doc(kSetPositionDoc)
@stub(returns="None")
def set_position(self, station: int, position: float):
    """Declares the axis's present place to be the coordinate POSITION mm.

    Writes it in pulses to DT10; the axis does not move. Does not log.
    """
[method]*/
py::Ref set_position(PyObject* self, PyObject* station, py::Float position) {
    py::Ref pulse = self::call(self, method::to_pulse, station, position);
    link::set_int32(self, station, map::kPosition, pulse.get());
    return py::none();
}

constexpr const char* kSetHereODoc =
    "\n\t\t设置当前位置为坐标原点。"
    "\n\t\t:param station: 电机控制模块的站号。"
    "\n\t\t";

/*[method]
@order(280)
@doc(kSetHereODoc)
@stub(returns="None")
def set_here_o(self, station: int):
    """Makes the axis's present place the origin, coordinate 0.

    Writes 0 to DT10 through set_position; logs "Set here O for station N".
    """
[method]*/
py::Ref set_here_o(PyObject* self, PyObject* station) {
    self::call(self, method::set_position, station, py::integer(0));
    log::info(py::text("Set here O for station ", station));
    return py::none();
}

}  // namespace

#include "status/status_words.gen.inc"

}  // namespace qzr::status
