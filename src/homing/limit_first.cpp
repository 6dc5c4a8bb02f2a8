// The limit-first-then-backward method: run to the limit on the start side
// (stage 0), then let the module search for the origin in the opposite
// direction (stage 1), then make that point the coordinate zero.
#include "controller/self_calls.hpp"
#include "homing/members.hpp"
#include "homing/steps.hpp"

namespace qzr::homing {
namespace {

py::Name kReverse{"reverse"};

// _find_o_thread_func_limit_first_then_backward(self, station: int, direction: Direction)
py::Ref find_o_limit_first_then_backward(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    PyObject* direction = args[2];
    ending_failures_silently([&] {
        self::call(self, self::kFindOStage0, station, direction);
        py::Ref back = py::call_method(direction, kReverse);
        self::call(self, self::kFindO, station, back);
        wait_until_stopped(self, station);
        py::Ref stop_source =
            stop_source_logged(self, station, ", finding O stage 1 stopped, source: ");
        expect_stop_source(stop_source.get(), "Origin", "找原点阶段二，因故停机:");
        self::call(self, self::kSetHereO, station);
    });
    return py::none();
}

}  // namespace

const MethodSpec kFindOLimitFirstThenBackward{"_find_o_thread_func_limit_first_then_backward",
                                              find_o_limit_first_then_backward,
                                              {{"station", Ann::Int}, {"direction", Ann::Direction}}};

}  // namespace qzr::homing
