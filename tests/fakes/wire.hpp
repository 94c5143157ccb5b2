// Frames written as hex text, and the independently computed wire vectors.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sdk/modbus/modbus_crc16.hpp"

namespace fakes {

inline std::vector<uint8_t> hex(const std::string& text) {
    std::vector<uint8_t> bytes;
    std::istringstream in(text);
    std::string token;
    while (in >> token) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return bytes;
}

inline std::vector<uint8_t> with_crc(std::vector<uint8_t> frame) {
    const uint16_t crc = zelkSDK::modbus_crc16(frame.data(), static_cast<int>(frame.size()));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    return frame;
}

struct WireVector {
    std::string what;
    std::vector<uint8_t> frame;
    int expected_response_length = -1;  // requests only
};

// The vectors of the shared folder beside the project, by section ("requests",
// "responses"); empty when the folder is not there.
inline std::vector<WireVector> load_wire_vectors(const std::string& section) {
    std::ifstream file(std::string(FERRUN_VECTORS_DIR) + "/modbus_frames.json");
    std::stringstream text;
    text << file.rdbuf();
    const std::string all = text.str();
    const size_t start = all.find("\"" + section + "\"");
    if (start == std::string::npos) {
        return {};
    }
    const size_t end = all.find(']', start);
    const std::string body = all.substr(start, end - start);
    static const std::regex entry(
        R"re(\{\s*"what":\s*"([^"]*)",\s*"frame":\s*"([0-9a-f ]*)"(?:,\s*"expected_response_length":\s*(\d+))?)re");
    std::vector<WireVector> vectors;
    for (std::sregex_iterator it(body.begin(), body.end(), entry), last; it != last; ++it) {
        WireVector v;
        v.what = (*it)[1];
        v.frame = hex((*it)[2]);
        if ((*it)[3].matched) {
            v.expected_response_length = std::stoi((*it)[3]);
        }
        vectors.push_back(v);
    }
    return vectors;
}

}  // namespace fakes
