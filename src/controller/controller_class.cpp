#include "controller/controller_class.hpp"

#include <vector>

#include "controller/members.hpp"
#include "homing/members.hpp"
#include "module/class_builder.hpp"
#include "module/namespace.hpp"
#include "py/call.hpp"
#include "status/members.hpp"

namespace qzr::controller {
namespace {

using M = MemberSpec;

// The class body, in definition order.
std::vector<MemberSpec> members() {
    return {
        M::plain(kInit),
        M::plain(kClose),
        M::plain(kDel),
        M::property_of(kFindingOMethodGet, kFindingOMethodSet),
        M::plain(kOpen),
        M::plain(kSetPpmm),
        M::plain(kPpmm),
        M::plain(kToPulse),
        M::plain(kFromPulse),
        M::plain(kStop),
        M::plain(kSetStartVelocity),
        M::plain(kSetVelocity),
        M::plain(kSetAccelerationTime),
        M::plain(kSetParameters),
        M::plain(kSetAbsoluteTarget),
        M::plain(kSetRelativeTarget),
        M::plain(kLocateAbsolutely),
        M::plain(kLocateRelatively),
        M::plain(kWaitForLocatingDone),
        M::plain(kRunPositive),
        M::plain(kRunNegative),
        M::plain(kEnableAxis),
        M::plain(kDisableAxis),
        M::plain(homing::kFindOSearch),
        M::plain(status::kStatusWords),
        M::plain(status::kGetPosition),
        M::plain(status::kSetPosition),
        M::plain(status::kSetHereO),
        M::plain(status::kIsAlarming),
        M::plain(status::kIsRunning),
        M::plain(status::kAtO),
        M::plain(status::kAtPositiveLimit),
        M::plain(status::kAtNegativeLimit),
        M::plain(status::kAtEmergency),
        M::plain(status::kGetStopSource),
        M::plain(status::kGetCoil),
        M::plain(status::kSetCoil),
        M::plain(status::kGetCoilUint16),
        M::plain(status::kSetCoilUint16),
        M::plain(homing::kFindOStage0),
        M::plain(homing::kFindOThreadFunc),
        M::plain(homing::kFindOOriginOnly),
        M::plain(homing::kFindOLimitFirstThenBackward),
        M::plain(homing::kFindO),
        M::plain(homing::kIsFindingO),
        M::plain(homing::kWaitForFindOFinish),
        M::plain(status::kOriginRisingValid),
        M::plain(status::kDisableNegativeLimit),
        M::plain(status::kEnableNegativeLimit),
        M::plain(status::kNegativeLimitIsDisabled),
        M::plain(status::kDisablePositiveLimit),
        M::plain(status::kEnablePositiveLimit),
        M::plain(status::kPositiveLimitIsDisabled),
        M::plain(status::kDisableAlarm),
        M::plain(status::kEnableAlarm),
        M::plain(status::kAlarmIsDisabled),
        M::plain(status::kDisableEmergency),
        M::plain(status::kEnableEmergency),
        M::plain(status::kEmergencyIsDisabled),
        M::plain(status::kReverseDirectionOutput),
    };
}

}  // namespace

void create_class() {
    const char* name = ns::kKOVAxisController.text();
    py::Ref bases = py::tuple();
    py::Ref body = py::check(PyDict_New());
    begin_namespace(body.get(), name);
    add_members(body.get(), name, members());
    py::Ref cls =
        qzr::create_class(reinterpret_cast<PyObject*>(&PyType_Type), name, bases.get(), body.get());
    ns::bind(ns::kKOVAxisController, cls.get());
}

}  // namespace qzr::controller
