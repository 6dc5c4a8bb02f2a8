// The origin-only method: one origin search by the module, without limits.
#include "core/class_builder.hpp"
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
        search_origin_then_zero(self, station, direction,
                                ", finding O(origin only) stopped, source: ", "找原点，因故停机:");
    });
    return py::none();
}

}  // namespace

#include "homing/origin_only.gen.inc"

}  // namespace qzr::homing
