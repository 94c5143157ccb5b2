// CRC-16/MODBUS of a frame (polynomial 0xA001 reflected, initial value 0xFFFF).
#pragma once

#include <cstdint>

namespace zelkSDK {

// Returns the CRC with its bytes swapped: the high-order half is the CRC's low byte, which
// goes on the line first. A frame stores (value >> 8) then (value & 0xFF); a check compares
// the value with (second-last byte * 256 + last byte). "123456789" gives 0x374B.
uint16_t modbus_crc16(const uint8_t* data, int length);

}  // namespace zelkSDK
