// A serial line with the simulated actuator at its other end, in the same process: each
// transmitted frame is answered at once by the device model, the way a device answers on a
// real line. Tests use its hooks to record the traffic and to bend or drop responses.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "sdk/serial/serial_interface.hpp"
#include "sim/device_model.hpp"

namespace sim {

class SimulatedLine : public zelkSDK::SerialInterface {
  public:
    // Gets the request and the device's response; returns what goes back on the line.
    using ResponseFilter =
        std::function<std::vector<uint8_t>(const std::vector<uint8_t>&, std::vector<uint8_t>)>;

    explicit SimulatedLine(DeviceModel& device) : device(device) {}

    zelkSDK::ZelkError open_serial_port(std::string port_path, int baud_rate) override;
    zelkSDK::ZelkError open_serial_port(int port_number, int baud_rate) override;
    void close_serial_port() override { open = false; }
    void adjust_baud_rate(uint32_t baud_rate) override { this->baud_rate = baud_rate; }
    bool ready_to_send() override { return true; }
    void send_byte(uint8_t byte) override { pending.push_back(byte); }
    void transmit(size_t expected_response_length) override;
    bool ready_to_receive() override { return !incoming.empty(); }
    uint8_t receive_byte() override;

    // Bytes that arrive on the line outside any exchange.
    void inject(const std::vector<uint8_t>& bytes);

    std::vector<std::vector<uint8_t>> requests;  // every frame transmitted, in order
    std::vector<size_t> announced_lengths;       // the length each transmit announced
    ResponseFilter filter;                       // none: the device's response unchanged
    std::string open_failure;                    // non-empty: opening fails with this text
    bool open = false;
    uint32_t baud_rate = 0;

  private:
    DeviceModel& device;
    std::vector<uint8_t> pending;
    std::deque<uint8_t> incoming;
};

}  // namespace sim
