// A value read from the device together with the outcome of reading it.
#pragma once

#include "sdk/types/zelk_error.hpp"

namespace zelkSDK {

template <typename T>
struct ZelkResult {
    T value;  // meaningful only when error reports no failure
    ZelkError error;
};

}  // namespace zelkSDK
