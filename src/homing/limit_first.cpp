// The limit-first-then-backward method: run to the limit on the start side
// (stage 0), then let the module search for the origin in the opposite
// direction (stage 1), then make that point the coordinate zero.
#include "core/class_builder.hpp"
#include "core/enum_members.hpp"
#include "core/self_calls.hpp"
#include "homing/steps.hpp"

namespace qzr::homing {
namespace {

py::Name kReverse{"reverse"};

/*[method]
@order(400)
@stub(returns="None")
def __find_o_stage_0(self, station: int, direction: Direction):
    """Runs STATION to the limit switch on the DIRECTION side and waits for it.

    Does nothing when the axis is on that limit already. Raises IOError
    ("找原点阶段一，因故停机:N") when the run stopped for another reason.
    The first step of the limit-first homing method.
    """
[method]*/
// Runs to the limit on the `direction` side unless the axis is already on it.
py::Ref private_find_o_stage_0(PyObject* self, PyObject* station, PyObject* direction) {
    const py::Name* expected;
    if (direction_is(direction, enums::kPositive)) {
        if (self::ask(self, method::at_positive_limit, station)) return py::none();
        self::call(self, method::run_positive, station);
        expected = &enums::kPositiveLimit;
    } else {
        if (self::ask(self, method::at_negative_limit, station)) return py::none();
        self::call(self, method::run_negative, station);
        expected = &enums::kNegativeLimit;
    }
    wait_until_stopped(self, station);
    py::Ref stop_source = stop_source_logged(self, station, ", finding O stage 0 stop, source: ");
    expect_stop_source(stop_source.get(), *expected, "找原点阶段一，因故停机:");
    return py::none();
}

/*[method]
@order(430)
@stub(returns="None")
def _find_o_thread_func_limit_first_then_backward(self, station: int, direction: Direction):
    """The limit-first homing method: to the limit on the DIRECTION side, then
    an origin search the other way.

    When the station stopped on the origin, makes it coordinate 0. Any
    failure (a communication error included) ends it silently; the
    result of wait_for_find_o_finish tells.
    """
[method]*/
py::Ref _find_o_thread_func_limit_first_then_backward(PyObject* self, PyObject* station, PyObject* direction) {
    ending_failures_silently([&] {
        self::call(self, method::private_find_o_stage_0, station, direction);
        py::Ref back = py::call_method(direction, kReverse);
        search_origin_then_zero(self, station, back.get(), ", finding O stage 1 stopped, source: ",
                                "找原点阶段二，因故停机:");
    });
    return py::none();
}

}  // namespace

#include "homing/limit_first.gen.inc"

}  // namespace qzr::homing
