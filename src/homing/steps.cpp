// The steps every homing method takes, and the module's origin search.
#include "homing/steps.hpp"

#include "core/class_builder.hpp"
#include "core/clock.hpp"
#include "core/enum_members.hpp"
#include "core/namespace.hpp"
#include "core/self_calls.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log_line.hpp"

namespace qzr::homing {

bool direction_is(PyObject* direction, const py::Name& member) {
    return enums::is_member(direction, ns::kDirection, member);
}

void wait_until_stopped(PyObject* self, PyObject* station) {
    while (self::ask(self, method::is_running, station)) clock::sleep(clock::kPollPeriod);
}

py::Ref stop_source_logged(PyObject* self, PyObject* station, const char* what) {
    py::Ref stop_source = self::call(self, method::get_stop_source, station);
    log::info(py::text("Station ", station, what, stop_source));
    return stop_source;
}

void expect_stop_source(PyObject* stop_source, const py::Name& expected, const char* message) {
    py::Ref wanted = enums::member_named(ns::kStopSource, expected);
    if (py::compare(stop_source, wanted.get(), Py_NE)) {
        py::raise(PyExc_OSError, py::text(message, stop_source));
    }
}

void search_origin_then_zero(PyObject* self, PyObject* station, PyObject* direction,
                             const char* what, const char* message) {
    self::call(self, method::_find_o, station, direction);
    wait_until_stopped(self, station);
    py::Ref stop_source = stop_source_logged(self, station, what);
    expect_stop_source(stop_source.get(), enums::kOrigin, message);
    self::call(self, method::set_here_o, station);
}

namespace {

namespace map = station_map;

/*[method]
@order(240)
@stub(returns="None")
def _find_o(self, station: int, direction: Direction):
    """Starts the station's own origin search towards DIRECTION; returns at once.

    Sets the command coil R5 (Negative) or R6 (Positive) and logs "Start
    finding O for station ..., direction ...". A step of the homing
    methods; find_o is the call to use.
    """
[method]*/
// Starts the module's origin search towards `direction`; does not wait.
py::Ref _find_o(PyObject* self, PyObject* station, PyObject* direction) {
    const py::Name& coil = direction_is(direction, enums::kNegative) ? map::kOriginSearchNegative
                                                                     : map::kOriginSearchPositive;
    link::set_coil(self, station, coil, Py_True);
    log::info(py::text("Start finding O for station ", station, ", direction ", direction));
    return py::none();
}

}  // namespace

#include "homing/steps.gen.inc"

}  // namespace qzr::homing
