// Several actuators on one line: the bus hands every answer to the actuator that asked,
// gives every streaming actuator one exchange per cycle, and keeps a silent one in the cycle.
#include "sdk/actuator/bus.hpp"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <vector>

#include "actuator/actuator_fixture.hpp"
#include "fakes/fake_clock.hpp"
#include "sdk/actuator/actuator.hpp"
#include "sim/device_model.hpp"
#include "sim/simulated_line.hpp"

using namespace zelkSDK;

namespace {

class BusTest : public ::testing::Test {
  protected:
    BusTest() {
        clock->step_per_reading = 50;
        // Devices 2 and 3 answer on the same line as device 1; a silenced one says nothing.
        line->filter = [this](const std::vector<uint8_t>& request, std::vector<uint8_t> answer) {
            if (silenced.count(request[0]) != 0)
                return std::vector<uint8_t>();
            if (request[0] == 2)
                return device2.handle_frame(request.data(), request.size());
            if (request[0] == 3)
                return device3.handle_frame(request.data(), request.size());
            return answer;
        };
        device1.place(0.010);
        device2.place(0.020);
        device3.place(0.030);
    }
    std::vector<int> stream_addresses() const {
        std::vector<int> addresses;
        for (const auto& frame : line->requests)
            if (frame[1] == 100)
                addresses.push_back(frame[0]);
        return addresses;
    }

    sim::DeviceModel device1{1}, device2{2}, device3{3};
    std::map<int, bool> silenced;
    std::shared_ptr<sim::SimulatedLine> line = std::make_shared<sim::SimulatedLine>(device1);
    std::shared_ptr<fakes::FakeClock> clock = std::make_shared<fakes::FakeClock>();
    std::shared_ptr<Bus> bus = std::make_shared<Bus>(line, clock);
    Actuator a1{bus, "a1", 1}, a2{bus, "a2", 2}, a3{bus, "a3", 3};
};

}  // namespace

TEST_F(BusTest, AnswersGoToTheActuatorThatAsked) {
    ASSERT_FALSE(static_cast<bool>(a1.write_register_blocking(600, 11)));
    ASSERT_FALSE(static_cast<bool>(a2.write_register_blocking(600, 22)));
    EXPECT_EQ(a1.read_register_blocking(600).value, 11);
    EXPECT_EQ(a2.read_register_blocking(600).value, 22);
    EXPECT_EQ(bus->actuator_count(), 3u);
}

TEST_F(BusTest, NoBusAnAddressAbove247OrATakenAddressIsRefused) {
    EXPECT_THROW(Actuator(nullptr, "none", 1), std::invalid_argument);
    EXPECT_THROW(Actuator(bus, "a248", 248), std::invalid_argument);
    try {
        Actuator twin(bus, "twin", 2);
        ADD_FAILURE() << "a second actuator at address 2 was accepted";
    } catch (const std::invalid_argument& refused) {
        EXPECT_STREQ(refused.what(),
                     "Server address 2 is already taken on this bus (by \"a2\"); let that "
                     "Actuator go first.");
    }
    EXPECT_EQ(bus->actuator_count(), 3u);
    {
        Actuator four(bus, "a4", 4);
        EXPECT_EQ(bus->actuator_count(), 4u);
    }
    Actuator four_again(bus, "a4", 4);  // free again once its first holder is gone
    EXPECT_THROW(Actuator(line, clock, "own", 255), std::invalid_argument);
}

TEST_F(BusTest, EveryStreamingActuatorGetsOneExchangePerCycleWithItsOwnTelemetry) {
    for (Actuator* a : {&a1, &a2, &a3})
        a->enable_stream();
    for (int i = 0; i < 1000; ++i)
        bus->run();
    const std::vector<int> order = stream_addresses();
    ASSERT_GE(order.size(), 30u);
    for (size_t i = 0; i < order.size(); ++i)
        ASSERT_EQ(order[i], static_cast<int>(i % 3) + 1) << i;
    EXPECT_NEAR(a1.get_stream_data().position, 10000, 100);
    EXPECT_NEAR(a2.get_stream_data().position, 20000, 100);
    EXPECT_NEAR(a3.get_stream_data().position, 30000, 100);

    // A blocking call slots in between stream exchanges and gets its own answer.
    ASSERT_FALSE(static_cast<bool>(a3.write_register_blocking(600, 33)));
    EXPECT_EQ(a3.read_register_blocking(600).value, 33);
}

TEST_F(BusTest, SilentActuatorStaysInTheCycleAndTheOthersKeepTheirShare) {
    silenced[2] = true;
    for (Actuator* a : {&a1, &a2, &a3})
        a->enable_stream();
    for (int i = 0; i < 20000; ++i)
        bus->run();
    std::map<int, int> count;
    for (int address : stream_addresses())
        ++count[address];
    EXPECT_GE(count[1], 10);
    EXPECT_LE(std::abs(count[1] - count[3]), 1);
    EXPECT_LE(std::abs(count[1] - count[2]), 1);  // still asked, every cycle
    EXPECT_EQ(a2.last_error().what(), "Response timed out, the motor took too long to respond. ");
    EXPECT_FALSE(static_cast<bool>(a1.last_error()));
    EXPECT_NEAR(a3.get_stream_data().position, 30000, 100);
}

TEST_F(ActuatorTest, StreamingActuatorsOnABusTakeTurns) {
    // The device answers address 1 only: address 2 times out and keeps its turn all the same.
    auto bus = std::make_shared<Bus>(line, clock);
    Actuator first(bus, "a", 1);
    Actuator second(bus, "b", 2);
    first.enable_stream();
    second.enable_stream();
    const auto run_until = [&](size_t requests) {
        for (int i = 0; i < 5000 && line->requests.size() < requests; ++i)
            bus->run();
    };
    run_until(3);
    second.disable_stream();
    run_until(5);
    std::vector<int> addresses;
    for (const auto& frame : line->requests)
        addresses.push_back(frame[0]);
    EXPECT_EQ(addresses, (std::vector<int>{1, 2, 1, 1, 1}));
    {
        Actuator gone(bus, "c", 3);
        EXPECT_EQ(bus->actuator_count(), 3u);
    }
    EXPECT_EQ(bus->actuator_count(), 2u);
}
