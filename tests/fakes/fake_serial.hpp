// A serial line for engine tests: records every call, and delivers only the bytes a test
// pushes in.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "sdk/serial/serial_interface.hpp"

namespace fakes {

class FakeSerial : public zelkSDK::SerialInterface {
  public:
    zelkSDK::ZelkError open_serial_port(std::string port_path, int baud_rate) override {
        calls.push_back("open " + port_path + " " + std::to_string(baud_rate));
        return zelkSDK::ZelkError(open_failure.empty() ? 0 : 1, open_failure);
    }
    zelkSDK::ZelkError open_serial_port(int port_number, int baud_rate) override {
        return open_serial_port("#" + std::to_string(port_number), baud_rate);
    }
    void close_serial_port() override { calls.push_back("close"); }
    void adjust_baud_rate(uint32_t baud_rate) override {
        calls.push_back("baud " + std::to_string(baud_rate));
    }
    bool ready_to_send() override { return send_ready; }
    void send_byte(uint8_t byte) override { pending.push_back(byte); }
    void transmit(size_t expected_response_length) override {
        frames.push_back(pending);
        pending.clear();
        announced.push_back(expected_response_length);
    }
    bool ready_to_receive() override { return endless || !incoming.empty(); }
    uint8_t receive_byte() override {
        if (incoming.empty()) {
            if (!endless) {
                ++receive_without_ready;
            }
            return 0x55;
        }
        const uint8_t byte = incoming.front();
        incoming.pop_front();
        return byte;
    }

    bool line_failed() override { return !failure.empty(); }
    std::string line_failure_reason() override { return failure; }
    bool bytes_in_driver() override { return in_driver; }
    int64_t adapter_latency_us() override { return adapter_latency; }

    void push(const std::vector<uint8_t>& bytes) {
        incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    }

    std::vector<std::string> calls;
    std::vector<std::vector<uint8_t>> frames;  // one per transmit
    std::vector<uint8_t> pending;              // sent but not yet transmitted
    std::vector<size_t> announced;
    std::deque<uint8_t> incoming;
    std::string open_failure;
    std::string failure;     // non-empty: the line has failed for this reason
    bool in_driver = false;  // bytes held by the driver, not yet received
    bool send_ready = true;
    bool endless = false;         // a line that never stops sending
    int64_t adapter_latency = 0;  // what open found
    int receive_without_ready = 0;
};

}  // namespace fakes
