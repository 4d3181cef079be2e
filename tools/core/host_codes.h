// The numbers the host and the plug-in agree on, in one place: the record
// it hands over and the control calls the console sends.
#pragma once

#include <cstddef>

namespace smdhost {

// The measurement record: its size and the code it is handed over with.
constexpr std::size_t kRecordSize = 37;
constexpr int kRecordCode = 5156;

// Control calls.
constexpr int kWriteRegisterCode = 206;   // one register: address, value
constexpr int kWriteRegistersCode = 210;  // consecutive registers: address, values...
constexpr int kSnapshotCode = 801;        // the latest readings as JSON text
// Asks for the last write's outcome: any code the driver does not handle
// itself answers it.
constexpr int kWriteOutcomeCode = 100;

// One Modbus write carries at most this many registers.
constexpr int kMaxWriteRegisters = 123;

// The Modbus functions the two write controls become.
constexpr int kFunctionWriteRegister = 6;
constexpr int kFunctionWriteRegisters = 16;

}  // namespace smdhost
