// Reads a fuzz input as a stream of fields: big-endian integers, then zeros once the input
// runs out, so every input, however short, is a complete scenario.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data(data), size(size) {}

    bool empty() const { return position >= size; }
    uint8_t u8() { return position < size ? data[position++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>((u8() << 8) | u8()); }
    uint32_t u32() { return (uint32_t{u16()} << 16) | u16(); }
    // Up to count bytes: fewer when the input ends first.
    std::vector<uint8_t> bytes(size_t count) {
        const size_t available = position < size ? size - position : 0;
        const size_t taken = count < available ? count : available;
        std::vector<uint8_t> out(data + position, data + position + taken);
        position += taken;
        return out;
    }

  private:
    const uint8_t* data;
    size_t size;
    size_t position = 0;
};

}  // namespace fuzz
