// The status block, the position, and redefining the coordinate.
#include "controller/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log.hpp"
#include "status/members.hpp"

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

// status_words(self, station: int): [position mm, encoder mm, velocity,
// I/O word (inputs low 16 bits, outputs high 16), 0]
py::Ref status_words(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    py::Ref count = py::integer(map::kStatusBlockLength);
    py::Ref block = link::get_multi_int32(self, station, map::kPosition.get(), count.get());
    py::Ref words[5];
    for (long i = 0; i < 3; ++i) {
        py::Ref pulses = block_value(block.get(), i);
        words[i] = self::call(self, self::kFromPulse, station, pulses);
    }
    words[3] = block_value(block.get(), map::kStatusBlockIoWord);
    words[4] = py::integer(0);
    py::Ref list = py::check(PyList_New(5));
    for (long i = 0; i < 5; ++i) PyList_SET_ITEM(list.get(), i, words[i].release());
    return list;
}

// get_position(self, station: int, status_words: Optional[list] = None)
py::Ref get_position(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    PyObject* words = args[2];
    if (py::truth(words)) {
        // Element 0 of the status words is already in millimetres.
        py::Ref position = py::item(words, 0);
        return py::check(PyNumber_Float(position.get()));
    }
    py::Ref pulses = link::get_int32(self, station, map::kPosition);
    return self::call(self, self::kFromPulse, station, pulses);
}

// set_position(self, station: int, position: float)
py::Ref set_position(PyObject* const* args) {
    py::Ref pulse = self::call(args[0], self::kToPulse, args[1], args[2]);
    link::set_int32(args[0], args[1], map::kPosition, pulse.get());
    return py::none();
}

// set_here_o(self, station: int)
py::Ref set_here_o(PyObject* const* args) {
    self::call(args[0], self::kSetPosition, args[1], py::integer(0));
    log::info(py::text("Set here O for station ", args[1]));
    return py::none();
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
constexpr const char* kSetPositionDoc =
    "\n\t\t设置当前位置为制定坐标值。通常用于找原点后设置当前位置为原点坐标（0）。"
    "\n\t\t:param station: 电机控制模块站号。"
    "\n\t\t:param position: 坐标值。单位：mm"
    "\n\t\t";
constexpr const char* kSetHereODoc =
    "\n\t\t设置当前位置为坐标原点。"
    "\n\t\t:param station: 电机控制模块的站号。"
    "\n\t\t";

}  // namespace

const MethodSpec kStatusWords{"status_words", status_words, {{"station", Ann::Int}}, Ann::Unset,
                              kStatusWordsDoc};
const MethodSpec kGetPosition{
    "get_position",
    get_position,
    {{"station", Ann::Int}, {"status_words", Ann::OptionalList, Default::none()}}};
const MethodSpec kSetPosition{"set_position", set_position,
                              {{"station", Ann::Int}, {"position", Ann::Float}}, Ann::Unset,
                              kSetPositionDoc};
const MethodSpec kSetHereO{"set_here_o", set_here_o, {{"station", Ann::Int}}, Ann::Unset,
                           kSetHereODoc};

}  // namespace qzr::status
