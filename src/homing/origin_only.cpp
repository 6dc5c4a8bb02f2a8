// The module's origin search, stage 0 of the limit-first method (the run to
// the limit on the start side), and the origin-only method.
#include "controller/clock.hpp"
#include "controller/self_calls.hpp"
#include "homing/members.hpp"
#include "homing/steps.hpp"
#include "link/master.hpp"
#include "link/station_map.hpp"
#include "log/log.hpp"
#include "module/namespace.hpp"

namespace qzr::homing {
namespace {

namespace map = station_map;

py::Name kNegative{"Negative"};
py::Name kPositive{"Positive"};

// direction == Direction.<member>
bool direction_is(PyObject* direction, const py::Name& member) {
    py::Ref directions = ns::global(ns::kDirection);
    py::Ref value = py::getattr(directions.get(), member);
    return py::compare(direction, value.get(), Py_EQ);
}

// _find_o(self, station: int, direction: Direction): starts the module's
// origin search towards `direction`.
py::Ref find_o_search(PyObject* const* args) {
    PyObject* station = args[1];
    PyObject* direction = args[2];
    const py::Name& coil = direction_is(direction, kNegative) ? map::kOriginSearchNegative
                                                              : map::kOriginSearchPositive;
    link::set_coil(args[0], station, coil, Py_True);
    log::info(py::text("Start finding O for station ", station, ", direction ", direction));
    return py::none();
}

// __find_o_stage_0(self, station: int, direction: Direction): runs to the
// limit on the `direction` side unless the axis is already on it.
py::Ref find_o_stage_0(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    const char* expected;
    if (direction_is(args[2], kPositive)) {
        if (self::ask(self, self::kAtPositiveLimit, station)) return py::none();
        self::call(self, self::kRunPositive, station);
        expected = "PositiveLimit";
    } else {
        if (self::ask(self, self::kAtNegativeLimit, station)) return py::none();
        self::call(self, self::kRunNegative, station);
        expected = "NegativeLimit";
    }
    wait_until_stopped(self, station);
    py::Ref stop_source = stop_source_logged(self, station, ", finding O stage 0 stop, source: ");
    expect_stop_source(stop_source.get(), expected, "找原点阶段一，因故停机:");
    return py::none();
}

// _find_o_origin_only(self, station: int, direction: Direction)
py::Ref find_o_origin_only(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* station = args[1];
    ending_failures_silently([&] {
        self::call(self, self::kFindO, station, args[2]);
        wait_until_stopped(self, station);
        py::Ref stop_source =
            stop_source_logged(self, station, ", finding O(origin only) stopped, source: ");
        expect_stop_source(stop_source.get(), "Origin", "找原点，因故停机:");
        self::call(self, self::kSetHereO, station);
    });
    return py::none();
}

const std::vector<ParamSpec> kStationAndDirection{{"station", Ann::Int}, {"direction", Ann::Direction}};

}  // namespace

void wait_until_stopped(PyObject* self, PyObject* station) {
    while (self::ask(self, self::kIsRunning, station)) clock::sleep(clock::kPollPeriod);
}

py::Ref stop_source_logged(PyObject* self, PyObject* station, const char* what) {
    py::Ref stop_source = self::call(self, self::kGetStopSource, station);
    log::info(py::text("Station ", station, what, stop_source));
    return stop_source;
}

void expect_stop_source(PyObject* stop_source, const char* expected, const char* message) {
    py::Ref stop_sources = ns::global(ns::kStopSource);
    py::Ref wanted = py::check(PyObject_GetAttrString(stop_sources.get(), expected));
    if (py::compare(stop_source, wanted.get(), Py_NE)) {
        py::raise(PyExc_OSError, py::text(message, stop_source));
    }
}

const MethodSpec kFindOSearch{"_find_o", find_o_search, kStationAndDirection};
const MethodSpec kFindOStage0{"__find_o_stage_0", find_o_stage_0, kStationAndDirection};
const MethodSpec kFindOOriginOnly{"_find_o_origin_only", find_o_origin_only, kStationAndDirection};

}  // namespace qzr::homing
