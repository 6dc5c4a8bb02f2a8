// The coils and registers of a motion-control station, by address.
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
inline py::Name kEmergencyInput{"X3"};
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
constexpr int kStatusBlockLength = 11;
constexpr int kStatusBlockIoWord = 10;  // inputs low 16 bits, outputs high 16

}  // namespace qzr::station_map
