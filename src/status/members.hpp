// The members of KOVAxisController defined in this folder: status words and
// position, state predicates, raw coil access and signal configuration.
#pragma once

#include "module/class_builder.hpp"

namespace qzr::status {

// status_words.cpp
extern const MethodSpec kStatusWords;
extern const MethodSpec kGetPosition;
extern const MethodSpec kSetPosition;
extern const MethodSpec kSetHereO;

// predicates.cpp
extern const MethodSpec kIsAlarming;
extern const MethodSpec kIsRunning;
extern const MethodSpec kAtO;
extern const MethodSpec kAtPositiveLimit;
extern const MethodSpec kAtNegativeLimit;
extern const MethodSpec kAtEmergency;
extern const MethodSpec kGetStopSource;

// raw_coils.cpp
extern const MethodSpec kGetCoil;
extern const MethodSpec kSetCoil;
extern const MethodSpec kGetCoilUint16;
extern const MethodSpec kSetCoilUint16;

// signal_config.cpp
extern const MethodSpec kOriginRisingValid;
extern const MethodSpec kDisableNegativeLimit;
extern const MethodSpec kEnableNegativeLimit;
extern const MethodSpec kNegativeLimitIsDisabled;
extern const MethodSpec kDisablePositiveLimit;
extern const MethodSpec kEnablePositiveLimit;
extern const MethodSpec kPositiveLimitIsDisabled;
extern const MethodSpec kDisableAlarm;
extern const MethodSpec kEnableAlarm;
extern const MethodSpec kAlarmIsDisabled;
extern const MethodSpec kDisableEmergency;
extern const MethodSpec kEnableEmergency;
extern const MethodSpec kEmergencyIsDisabled;
extern const MethodSpec kReverseDirectionOutput;

}  // namespace qzr::status
