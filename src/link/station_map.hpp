// The coils and registers of a motion-control station, by address, and where
// the status words hold each signal.
#pragma once

#include "py/name.hpp"

namespace qzr::station_map {

// Command coils, written True.
inline py::Name kStop{"R0"};
inline py::Name kStartAbsoluteMove{"R1"};  // to the target in DT6
inline py::Name kStartRelativeMove{"R2"};  // by the distance in DT8
inline py::Name kRunNegative{"R3"};
inline py::Name kRunPositive{"R4"};
inline py::Name kOriginSearchNegative{"R5"};
inline py::Name kOriginSearchPositive{"R6"};

// Configuration coils.
inline py::Name kOriginRisingEdge{"R10"};        // True rising, False falling
inline py::Name kNegativeLimitDisabled{"R12"};
inline py::Name kPositiveLimitDisabled{"R13"};
inline py::Name kAlarmDisabled{"R14"};
inline py::Name kEmergencyDisabled{"R15"};
inline py::Name kDirectionInverted{"R16"};

// Inputs.
inline py::Name kOriginInput{"X0"};
inline py::Name kNegativeLimitInput{"X1"};
inline py::Name kPositiveLimitInput{"X2"};
inline py::Name kEmergencyInput{"X3"};  // normally closed: on while all is well
inline py::Name kAlarmInput{"X4"};

// Outputs.
inline py::Name kRunning{"Y1"};       // pulses are being sent
inline py::Name kDriveEnabled{"Y2"};

// 32-bit registers.
inline py::Name kStartVelocity{"DT0"};     // pulses/s; first of the three profile registers
inline py::Name kVelocity{"DT2"};          // pulses/s
inline py::Name kAccelerationTime{"DT4"};  // ms
inline py::Name kAbsoluteTarget{"DT6"};    // pulses
inline py::Name kRelativeDistance{"DT8"};  // pulses
inline py::Name kPosition{"DT10"};         // pulses; first of the status block
inline py::Name kStopSourceCode{"D20"};

// The status block: eleven 32-bit values from DT10 on.
constexpr long kStatusBlockLength = 11;
constexpr long kBlockPosition = 0;  // pulses
constexpr long kBlockEncoder = 1;   // pulses
constexpr long kBlockVelocity = 2;  // pulses/s
constexpr long kBlockIo = 10;       // inputs in the low 16 bits, outputs in the high 16

// The status words (what status_words returns): indices of the list.
constexpr long kWordPosition = 0;  // mm
constexpr long kWordEncoder = 1;   // mm
constexpr long kWordVelocity = 2;  // the velocity divided by the scale
constexpr long kWordIo = 3;        // the block's I/O value as it is
constexpr long kWordReserved = 4;  // always 0
constexpr long kWordCount = 5;

// A signal in the I/O word: the coil that reads it alone, and its test on
// the word, ((word >> shift) & mask) != 0. Outputs sit in the high half.
struct IoBit {
    const py::Name& coil;
    long shift;
    long mask;
};

inline constexpr IoBit kOriginBit{kOriginInput, 0, 1 << 0};
inline constexpr IoBit kNegativeLimitBit{kNegativeLimitInput, 0, 1 << 1};
inline constexpr IoBit kPositiveLimitBit{kPositiveLimitInput, 0, 1 << 2};
inline constexpr IoBit kEmergencyBit{kEmergencyInput, 0, 1 << 3};
inline constexpr IoBit kAlarmBit{kAlarmInput, 0, 1 << 4};
inline constexpr IoBit kRunningBit{kRunning, 16, 1 << 1};  // Y1: bit 1 of the outputs

}  // namespace qzr::station_map
