#pragma once
// Program-wide state shared by every window and device procedure. It lives
// from start to end of the run and only the user-interface thread touches it.

#include <QString>
#include <array>
#include <cstdint>

namespace Others {

// Flags are 16-bit: 0 is False, -1 is True.
inline constexpr int16_t False = 0;
inline constexpr int16_t True = -1;

inline constexpr int kInputs = 6;
// Columns of ParamTable.
inline constexpr int kSignColumn = 0;
inline constexpr int kNumeratorColumn = 1;
inline constexpr int kDivisorColumn = 2;

// Row i (0..5) is input IN i+1; column 0 the sign flag (1 adds, 0 subtracts),
// column 1 the coefficient numerator, column 2 the coefficient divisor.
using ParameterTable = std::array<std::array<int32_t, 3>, kInputs>;

// Device parameter set and transaction state.
inline QString FirmwareVersion;
inline ParameterTable ParamTable{};
inline uint8_t OutputParam = 0;
inline int16_t RetryCount = 0;
inline int16_t ReadFailed = False;
// Why the last transaction's port operation failed, for a caller that can
// show more than the "ERROR" box (ktr6ctl); empty when none failed.
inline QString LastPortError;

// Port settings, kept in the settings file beside the program.
inline int16_t PortNumber = 0;
inline int16_t HandshakeMode = 0;
inline int16_t BaudRate = 0;
inline int32_t WaitTime = 0;
inline int16_t TimeDelay = 0;

// Back to the values of program start (used by tests and the fuzzers).
void resetAll();

} // namespace Others
