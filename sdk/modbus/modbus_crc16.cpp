#include "sdk/modbus/modbus_crc16.hpp"

#include <array>

namespace zelkSDK {
namespace {

// The two byte-wise lookup tables of the Modbus serial line guide, one per CRC byte,
// derived here from the reflected polynomial instead of being typed in.
struct CrcTables {
    std::array<uint8_t, 256> first;   // xored into the byte that goes on the line first
    std::array<uint8_t, 256> second;  // becomes the byte that goes on the line second
};

constexpr CrcTables make_tables() {
    CrcTables tables{};
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : (crc >> 1);
        }
        tables.first[i] = static_cast<uint8_t>(crc & 0xFF);
        tables.second[i] = static_cast<uint8_t>(crc >> 8);
    }
    return tables;
}

constexpr CrcTables kTables = make_tables();

}  // namespace

uint16_t modbus_crc16(const uint8_t* data, int length) {
    uint8_t crc_first = 0xFF;
    uint8_t crc_second = 0xFF;
    for (int i = 0; i < length; ++i) {
        const uint8_t index = crc_first ^ data[i];
        crc_first = crc_second ^ kTables.first[index];
        crc_second = kTables.second[index];
    }
    return static_cast<uint16_t>((crc_first << 8) | crc_second);
}

}  // namespace zelkSDK
