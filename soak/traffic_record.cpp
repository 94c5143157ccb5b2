#include "soak/traffic_record.hpp"

#include <cstdlib>
#include <sstream>

#include "sdk/modbus/wire.hpp"

namespace soak {

zelkSDK::ZelkError TrafficRecord::open(const std::string& path) {
    if (!path.empty()) {
        copy.open(path, std::ios::binary | std::ios::trunc);
        if (!copy) {
            return zelkSDK::ZelkError(1, "cannot write " + path);
        }
    }
    return zelkSDK::no_error();
}

zelkSDK::ZelkError TrafficRecord::write(const std::string& text) {
    if (copy.is_open()) {
        copy << text << "\r\n";
    }
    std::vector<std::string> fields;
    std::istringstream split(text);
    std::string field;
    while (std::getline(split, field, '\t')) {
        fields.push_back(field);
    }
    if (fields.size() < 2 || (fields[1] != "tx" && fields[1] != "rx")) {
        ++unreadable;
        return zelkSDK::no_error();
    }
    LoggedFrame frame;
    char* end = nullptr;
    frame.time_us = std::strtoll(fields[0].c_str(), &end, 10);
    if (end == fields[0].c_str() || *end != '\0') {
        ++unreadable;
        return zelkSDK::no_error();
    }
    std::vector<uint8_t> byte;
    for (size_t i = 2; i < fields.size(); ++i) {
        if (fields[i].size() == 2 && zelkSDK::wire::parse_hex(fields[i], byte)) {
            frame.bytes.push_back(byte[0]);
        } else {
            frame.failure += fields[i];  // any text at all, known or not, marks a failure
        }
    }
    (fields[1] == "tx" ? sent : received).push_back(std::move(frame));
    return zelkSDK::no_error();
}

}  // namespace soak
