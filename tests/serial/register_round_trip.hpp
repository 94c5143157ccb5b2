// One register, one wide register and the mode, written and read back through an Actuator on
// a real port: the first thing each serial back end must get right.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "sdk/actuator/actuator.hpp"

inline void expect_register_round_trips(zelkSDK::Actuator& actuator, uint16_t value,
                                        int32_t wide_value, zelkSDK::MotorMode mode) {
    EXPECT_FALSE(static_cast<bool>(actuator.write_register_blocking(600, value)));
    const zelkSDK::ZelkResult<unsigned short> read = actuator.read_register_blocking(600);
    EXPECT_FALSE(static_cast<bool>(read.error)) << read.error.what();
    EXPECT_EQ(read.value, value);
    EXPECT_FALSE(static_cast<bool>(actuator.write_wide_register_blocking(700, wide_value)));
    EXPECT_EQ(actuator.read_wide_register_blocking(700).value, wide_value);
    EXPECT_FALSE(static_cast<bool>(actuator.set_mode(mode)));
    EXPECT_EQ(actuator.get_mode().value, mode);
}
