// The SDK's serial traffic log kept in memory: a LogInterface that parses each tx and rx
// line as the engine writes it, so the soak knows which requests went out during each of
// its calls and what the engine made of each answer. A copy can go to a file as well.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "sdk/log/log_interface.hpp"

namespace soak {

struct LoggedFrame {
    int64_t time_us = 0;  // the SDK's clock
    std::vector<uint8_t> bytes;
    std::string failure;  // the failure texts of an rx line; empty when it had none
};

class TrafficRecord : public zelkSDK::LogInterface {
  public:
    // An empty path keeps the lines in memory only.
    zelkSDK::ZelkError open(const std::string& path) override;
    zelkSDK::ZelkError write(const std::string& text) override;

    std::vector<LoggedFrame> sent;      // tx lines, in order
    std::vector<LoggedFrame> received;  // rx lines, in order
    long unreadable = 0;                // lines that are neither

  private:
    std::ofstream copy;
};

}  // namespace soak
