// The origin-only method: one origin search by the module, without limits.
#include "core/class_builder.hpp"
#include "core/enum_members.hpp"
#include "core/self_calls.hpp"
#include "homing/steps.hpp"

namespace qzr::homing {
namespace {

/*[method]
@order(420)
@stub(returns="None")
def _find_o_origin_only(self, station: int, direction: Direction):
    """The origin-only homing method: searches towards DIRECTION and waits.

    When the station stopped on the origin, makes it coordinate 0. Any
    failure (a communication error included) ends it silently; the
    result of wait_for_find_o_finish tells.
    """
[method]*/
py::Ref _find_o_origin_only(PyObject* self, PyObject* station, PyObject* direction) {
    ending_failures_silently([&] {
        self::call(self, method::_find_o, station, direction);
        wait_until_stopped(self, station);
        py::Ref stop_source =
            stop_source_logged(self, station, ", finding O(origin only) stopped, source: ");
        expect_stop_source(stop_source.get(), enums::kOrigin, "找原点，因故停机:");
        self::call(self, method::set_here_o, station);
    });
    return py::none();
}

}  // namespace

#include "homing/origin_only.gen.inc"

}  // namespace qzr::homing
