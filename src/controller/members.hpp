// The members of KOVAxisController defined in this folder: lifecycle, units
// and speed profile, moves and runs.
#pragma once

#include "module/class_builder.hpp"

namespace qzr::controller {

// lifecycle.cpp
extern const MethodSpec kInit;
extern const MethodSpec kClose;
extern const MethodSpec kDel;
extern const MethodSpec kFindingOMethodGet;
extern const MethodSpec kFindingOMethodSet;
extern const MethodSpec kOpen;

// units.cpp
extern const MethodSpec kSetPpmm;
extern const MethodSpec kPpmm;
extern const MethodSpec kToPulse;
extern const MethodSpec kFromPulse;
extern const MethodSpec kSetStartVelocity;
extern const MethodSpec kSetVelocity;
extern const MethodSpec kSetAccelerationTime;
extern const MethodSpec kSetParameters;

// motion.cpp
extern const MethodSpec kStop;
extern const MethodSpec kSetAbsoluteTarget;
extern const MethodSpec kSetRelativeTarget;
extern const MethodSpec kLocateAbsolutely;
extern const MethodSpec kLocateRelatively;
extern const MethodSpec kWaitForLocatingDone;
extern const MethodSpec kRunPositive;
extern const MethodSpec kRunNegative;
extern const MethodSpec kEnableAxis;
extern const MethodSpec kDisableAxis;

}  // namespace qzr::controller
