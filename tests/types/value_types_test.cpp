#include <gtest/gtest.h>

#include <type_traits>

#include "sdk/types/message_priority.hpp"
#include "sdk/types/motor_mode.hpp"
#include "sdk/types/stream_data.hpp"
#include "sdk/types/zelk_error.hpp"
#include "sdk/types/zelk_result.hpp"

using namespace zelkSDK;

TEST(ZelkError, AnyNonZeroFailureTypeIsAFailure) {
    EXPECT_TRUE(static_cast<bool>(ZelkError(0x40, "Wrong CRC. ")));
    EXPECT_TRUE(static_cast<bool>(ZelkError(-1, "")));
    const ZelkError note(0, "note");
    EXPECT_FALSE(static_cast<bool>(note));
    EXPECT_EQ(note.what(), "note");
    static_assert(!std::is_convertible<ZelkError, bool>::value, "only explicit truth tests");
}

TEST(ValueTypes, DefaultsAndEnumerations) {
    const StreamData data;
    EXPECT_EQ(data.position, 0);
    EXPECT_EQ(data.force, 0);
    EXPECT_EQ(data.power, 0);
    EXPECT_EQ(data.temperature, 0);
    EXPECT_EQ(data.voltage, 0);
    EXPECT_EQ(data.errors, 0);
    // Whatever the device reports converts without a check.
    EXPECT_EQ(static_cast<int>(static_cast<MotorMode>(6)), 6);
    EXPECT_EQ(static_cast<int>(static_cast<MotorMode>(0)), 0);
    const int as_int = PositionMode;  // unscoped: converts implicitly
    EXPECT_EQ(as_int, 3);
    static_assert(!std::is_convertible<MessagePriority, int>::value, "scoped enumeration");
    const ZelkResult<int> result{5, ZelkError(0, "")};
    EXPECT_EQ(result.value, 5);
}
