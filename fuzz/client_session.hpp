// Drives a bare ModbusClient the way its owner does (run_in, take the finished exchange,
// run_out) with requests queued ahead of time, and checks every finished exchange, the
// diagnostic counters, the queue and the line's timing rules after every pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fuzz/session_setup.hpp"
#include "sdk/modbus/modbus_client.hpp"

namespace fuzz {

class ClientSession : private SessionSetup {
  public:
    ClientSession(const SessionSetup& setup, uint8_t address);

    void apply(const Operation& operation);
    void replace(uint8_t address);

  private:
    void queue(const zelkSDK::Transaction& transaction);
    void pass();
    void run_until_empty();
    void check_finished(const zelkSDK::Transaction& done);
    void check_new_transmits();
    void check_counters();
    int64_t slack_us() const { return 4 * clock->step; }

    uint8_t address = 1;
    std::unique_ptr<zelkSDK::ModbusClient> client;

    size_t outstanding = 0;  // requests queued and not yet finished for good
    uint64_t taken_base = 0;
    uint64_t handed_over_base = 0;
    size_t transmits_base = 0;
    size_t transmits_checked = 0;
    bool recovering = false;         // the last exchange failed: the line must stay quiet
    int64_t recovery_from_us = 0;    // its request, or the last byte after it
    size_t recovery_deliveries = 0;  // deliveries before the failure
};

}  // namespace fuzz
