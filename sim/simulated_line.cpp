#include "sim/simulated_line.hpp"

namespace sim {

zelkSDK::ZelkError SimulatedLine::open_serial_port(std::string, int baud) {
    if (!open_failure.empty()) {
        return zelkSDK::ZelkError(1, open_failure);
    }
    open = true;
    baud_rate = static_cast<uint32_t>(baud);
    return zelkSDK::ZelkError(0, "");
}

zelkSDK::ZelkError SimulatedLine::open_serial_port(int, int baud) {
    return open_serial_port(std::string(), baud);
}

void SimulatedLine::transmit(size_t expected_response_length) {
    announced_lengths.push_back(expected_response_length);
    if (pending.empty()) {
        return;
    }
    requests.push_back(pending);
    std::vector<uint8_t> response = device.handle_frame(pending.data(), pending.size());
    if (filter) {
        response = filter(pending, std::move(response));
    }
    pending.clear();
    incoming.insert(incoming.end(), response.begin(), response.end());
}

uint8_t SimulatedLine::receive_byte() {
    const uint8_t byte = incoming.front();
    incoming.pop_front();
    return byte;
}

void SimulatedLine::inject(const std::vector<uint8_t>& bytes) {
    incoming.insert(incoming.end(), bytes.begin(), bytes.end());
}

}  // namespace sim
