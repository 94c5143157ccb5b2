// What a session is given to play a scenario: the scripted line and clock, the rules it
// checks and the line's settings. Both sessions start from it.
#pragma once

#include <memory>

#include "fuzz/engine_scenario.hpp"
#include "fuzz/scripted_line.hpp"
#include "sdk/types/message_priority.hpp"

namespace fuzz {

struct SessionSetup {
    std::shared_ptr<ScriptedLine> line;
    std::shared_ptr<ScriptedClock> clock;
    Checks checks;
    int baud_rate = 19200;
    int interframe_delay_us = 2000;
};

// An operation's priority: its lowest bit.
inline zelkSDK::MessagePriority priority_of(const Operation& op) {
    return (op.prio & 1) ? zelkSDK::MessagePriority::not_important
                         : zelkSDK::MessagePriority::important;
}

}  // namespace fuzz
