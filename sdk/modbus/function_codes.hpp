// The Modbus function codes the SDK sends, the stream command's sub-function codes (one
// per motor mode) and the fixed frame lengths that go with them.
#pragma once

#include <cstdint>

namespace zelkSDK {

constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kWriteSingleRegister = 6;
constexpr uint8_t kWriteMultipleRegisters = 16;
constexpr uint8_t kReadWriteMultipleRegisters = 23;
constexpr uint8_t kStreamCommand = 100;

// Sub-function codes of the stream command.
constexpr uint8_t kStreamSleep = 0;
constexpr uint8_t kStreamForce = 28;
constexpr uint8_t kStreamPosition = 30;
constexpr uint8_t kStreamKinematic = 32;
constexpr uint8_t kStreamHaptic = 34;

// Position, force, power, temperature, voltage and error bits between address+code and CRC.
constexpr int kStreamResponseLength = 19;

}  // namespace zelkSDK
