// A sink for lines of text: the serial traffic log writes one line per frame into it.
// Implementations are always owned as their concrete type, so there is no virtual destructor.
#pragma once

#include <string>

#include "sdk/types/zelk_error.hpp"

namespace zelkSDK {

class LogInterface {
  public:
    virtual ZelkError open(const std::string& path) = 0;
    // text carries no line terminator; ending the line is the sink's business.
    virtual ZelkError write(const std::string& text) = 0;

  protected:
    ~LogInterface() = default;
};

}  // namespace zelkSDK
