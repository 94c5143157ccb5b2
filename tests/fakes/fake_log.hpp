// A log sink that keeps its lines in memory.
#pragma once

#include <string>
#include <vector>

#include "sdk/log/log_interface.hpp"

namespace fakes {

class FakeLog : public zelkSDK::LogInterface {
  public:
    zelkSDK::ZelkError open(const std::string& path) override {
        opened = path;
        return zelkSDK::ZelkError(open_failure.empty() ? 0 : 1, open_failure);
    }
    zelkSDK::ZelkError write(const std::string& text) override {
        if (!write_failure.empty()) {
            return zelkSDK::ZelkError(1, write_failure);
        }
        lines.push_back(text);
        return zelkSDK::ZelkError(0, "");
    }

    std::string opened;
    std::string open_failure;
    std::string write_failure;  // non-empty: every write fails with this text
    std::vector<std::string> lines;
};

}  // namespace fakes
