// Whether a failed request is resent. It does not change the order of sending.
#pragma once

namespace zelkSDK {

enum class MessagePriority : int {
    important = 0,      // resent after a failure or an exception response, up to 5 times
    not_important = 1,  // sent once
};

}  // namespace zelkSDK
