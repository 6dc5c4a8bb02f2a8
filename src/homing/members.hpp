// The homing members of KOVAxisController.
#pragma once

#include "module/class_builder.hpp"

namespace qzr::homing {

// driver.cpp
extern const MethodSpec kFindOThreadFunc;
extern const MethodSpec kFindO;
extern const MethodSpec kIsFindingO;
extern const MethodSpec kWaitForFindOFinish;

// origin_only.cpp
extern const MethodSpec kFindOSearch;  // _find_o
extern const MethodSpec kFindOStage0;
extern const MethodSpec kFindOOriginOnly;

// limit_first.cpp
extern const MethodSpec kFindOLimitFirstThenBackward;

}  // namespace qzr::homing
