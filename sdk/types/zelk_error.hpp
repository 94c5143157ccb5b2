// The error value every SDK operation returns instead of throwing.
#pragma once

#include <string>

namespace zelkSDK {

class ZelkError {
  public:
    // Any non-zero failure_type (for example a byte of failure bits) means failure.
    ZelkError(int failure_type, std::string error_message)
        : failure(failure_type != 0), message(std::move(error_message)) {}

    explicit operator bool() const { return failure; }
    std::string what() const { return message; }

  private:
    bool failure;
    std::string message;
};

// The success value used throughout the SDK.
inline ZelkError no_error() {
    return ZelkError(0, "");
}

}  // namespace zelkSDK
