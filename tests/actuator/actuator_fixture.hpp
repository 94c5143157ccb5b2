// An Actuator on the simulated device through the in-process line, with a fake clock that
// moves 50 us at every reading so waits and time-outs pass without sleeping.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "fakes/fake_clock.hpp"
#include "sdk/actuator/actuator.hpp"
#include "sim/device_model.hpp"
#include "sim/simulated_line.hpp"

class ActuatorTest : public ::testing::Test {
  protected:
    ActuatorTest() { clock->step_per_reading = 50; }

    // The function codes of every request the device was sent.
    std::vector<int> function_codes() const {
        std::vector<int> codes;
        for (const auto& frame : line->requests)
            codes.push_back(frame[1]);
        return codes;
    }
    // Makes the device silent (every response dropped).
    void silence_device() {
        line->filter = [](const std::vector<uint8_t>&, std::vector<uint8_t>) {
            return std::vector<uint8_t>();
        };
    }

    sim::DeviceModel device{1};
    std::shared_ptr<sim::SimulatedLine> line = std::make_shared<sim::SimulatedLine>(device);
    std::shared_ptr<fakes::FakeClock> clock = std::make_shared<fakes::FakeClock>();
    zelkSDK::Actuator actuator{line, clock, "x1", 1};
};
