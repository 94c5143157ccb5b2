#include "fuzz/client_session.hpp"

#include <algorithm>

#include "sdk/modbus/request_builders.hpp"

namespace fuzz {
namespace {

using zelkSDK::MessagePriority;
using zelkSDK::Transaction;

// Requests queued at once, at most: enough to exercise ordering and resends.
constexpr size_t kMaxOutstanding = 32;

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

Bytes wire_bytes(const std::vector<uint16_t>& values) {
    Bytes bytes;
    for (uint16_t value : values) {
        put_u16(bytes, value);
    }
    return bytes;
}

}  // namespace

ClientSession::ClientSession(const SessionSetup& setup, uint8_t address_) : SessionSetup(setup) {
    replace(address_);
}

void ClientSession::replace(uint8_t new_address) {
    address = new_address;
    client = std::make_unique<zelkSDK::ModbusClient>(*line, *clock);
    client->open_serial_port("fuzz", baud_rate, interframe_delay_us);
    outstanding = 0;
    taken_base = line->bytes_taken();
    handed_over_base = line->bytes_handed_over();
    transmits_base = line->transmits().size();
    transmits_checked = transmits_base;
    recovering = false;
}

void ClientSession::apply(const Operation& op) {
    const MessagePriority prio = priority_of(op);
    switch (op.kind) {
        case read_one:
            queue(zelkSDK::build_read_holding_registers(address, op.reg, 1, prio));
            break;
        case read_wide:
            queue(zelkSDK::build_read_holding_registers(address, op.reg, 2, prio));
            break;
        case read_many:
            queue(zelkSDK::build_read_holding_registers(address, op.reg, op.count, prio));
            break;
        case write_one:
            queue(zelkSDK::build_write_single_register(address, op.reg,
                                                       static_cast<uint16_t>(op.value), prio));
            break;
        case write_wide:
        case write_many: {
            const std::vector<uint16_t> values =
                op.kind == write_wide
                    ? std::vector<uint16_t>{static_cast<uint16_t>(op.value & 0xFFFF),
                                            static_cast<uint16_t>(op.value >> 16)}
                    : seeded_values(op.seed, op.count);
            const Bytes data = wire_bytes(values);
            queue(zelkSDK::build_write_multiple_registers(
                address, op.reg, static_cast<uint16_t>(values.size()), data.data(), prio));
            break;
        }
        case read_write: {
            const Bytes data = wire_bytes(seeded_values(op.seed, op.count2));
            queue(zelkSDK::build_read_write_multiple_registers(address, op.reg, op.count, op.reg2,
                                                               op.count2, data.data(), prio));
            break;
        }
        case stream: {
            static const uint8_t kSubfunctions[] = {0, 28, 30, 32, 34};
            const uint8_t subfunction = op.what % 6 < 5 ? kSubfunctions[op.what % 6] : op.what;
            queue(zelkSDK::build_stream_command(address, subfunction,
                                                static_cast<int32_t>(op.value)));
            for (int i = 0; i <= op.passes % 32; ++i) {
                pass();
            }
            return;
        }
        case set_mode: run_until_empty(); return;
        case reopen:
            client->open_serial_port("fuzz", baud_rate, interframe_delay_us);
            outstanding = 0;
            return;
        default: return;
    }
    if (op.prio & 2) {
        run_until_empty();
    }
}

void ClientSession::queue(const Transaction& transaction) {
    if (outstanding >= kMaxOutstanding) {
        return;
    }
    if (client->enqueue_transaction(transaction)) {
        ++outstanding;
    }
}

void ClientSession::run_until_empty() {
    while (client->get_queue_size() > 0) {
        pass();
    }
}

void ClientSession::pass() {
    client->run_in();
    if (client->is_response_ready()) {
        check_finished(client->dequeue_transaction());
    }
    client->run_out();
    check_new_transmits();
    check_counters();
    if (checks.bounded && client->get_queue_size() > outstanding + 1) {
        violation("the queue holds " + std::to_string(client->get_queue_size()) +
                  " exchanges for " + std::to_string(outstanding) + " requests");
    }
}

void ClientSession::check_finished(const Transaction& done) {
    const Bytes request(done.tx_buffer, done.tx_buffer + done.tx_length);
    const Bytes response(done.rx_buffer, done.rx_buffer + std::max(0, done.rx_length));
    const auto& sent = line->transmits();
    if (tracing()) {
        std::fprintf(stderr, "  %lld us  finished  %s -> [%s] flags 0x%02x\n",
                     static_cast<long long>(clock->now), hex(request).c_str(),
                     hex(response).c_str(), done.failure_flags);
    }
    // A request held back by a line that never fell quiet (0x01), or on a line that failed
    // (0x02), fails without going out; nothing else may finish unsent.
    const bool unsent = done.failure_flags == 0x01 || done.failure_flags == 0x02;
    if (unsent && done.tx_index == 0) {
        if (outstanding > 0) {
            --outstanding;
        }
        return;
    }
    if (sent.size() <= transmits_base || sent.back().frame != request) {
        violation("a finished exchange " + hex(request) + " is not the last frame sent");
    }
    const Transmit& transmit = sent.back();
    const bool exception = done.rx_length >= 2 && (done.rx_buffer[1] & 0x80) != 0;
    const bool failed = done.failure_flags != 0 || exception;
    const bool resent = failed && done.retry_on_failure && done.num_retries < zelkSDK::kMaxRetries;
    if (!resent && outstanding > 0) {
        --outstanding;
    }
    if (request[0] == 0) {
        if (checks.broadcast && done.failure_flags != 0) {
            violation("a broadcast failed with flags " + std::to_string(done.failure_flags) +
                      " after the line delivered " + hex(transmit.followed));
        }
        return;
    }
    if (checks.match && !failed) {
        if (!answers(request, response.data(), response.size())) {
            violation("exchange " + hex(request) + " passed with [" + hex(response) +
                      "], which does not answer it");
        }
    }
    if (checks.match && done.failure_flags == 0 && exception) {
        const bool well_formed = response.size() == 5 && crc_ok(response) &&
                                 response[0] == request[0] && response[1] == (request[1] | 0x80);
        if (!well_formed) {
            violation("exchange " + hex(request) + " took [" + hex(response) +
                      "] as its exception response");
        }
    }
    if (checks.match && done.failure_flags == 0 && !contains(transmit.followed, response)) {
        violation("exchange " + hex(request) + " passed with [" + hex(response) +
                  "], not delivered after it went out; after it came " + hex(transmit.followed));
    }
    if (checks.timeout && (done.failure_flags & 0x10) != 0) {
        const int64_t on_wire = static_cast<int64_t>(request.size()) * 11 * 1'000'000 / baud_rate;
        const int64_t waited = clock->now - transmit.time_us;
        if (waited < zelkSDK::kResponseTimeoutUs + on_wire - slack_us()) {
            violation("response time-out after " + std::to_string(waited) + " us; the " +
                      std::to_string(request.size()) + "-byte request is " +
                      std::to_string(on_wire) + " us on the wire");
        }
    }
    if (done.failure_flags != 0) {
        const auto& deliveries = line->delivery_times();
        recovering = true;
        recovery_from_us = transmit.time_us;
        if (deliveries.size() > transmit.deliveries_before) {
            recovery_from_us = std::max(recovery_from_us, deliveries.back());
        }
        recovery_deliveries = deliveries.size();
    }
}

void ClientSession::check_new_transmits() {
    const auto& sent = line->transmits();
    for (; transmits_checked < sent.size(); ++transmits_checked) {
        const Transmit& transmit = sent[transmits_checked];
        if (checks.recovery && recovering) {
            // Somewhere between the failure and this request the line was quiet long enough.
            const auto& deliveries = line->delivery_times();
            int64_t longest = 0;
            int64_t from = recovery_from_us;
            for (size_t i = recovery_deliveries; i < transmit.deliveries_before; ++i) {
                longest = std::max(longest, deliveries[i] - from);
                from = deliveries[i];
            }
            longest = std::max(longest, transmit.time_us - from);
            if (longest < zelkSDK::kResponseTimeoutUs - slack_us()) {
                violation("request " + hex(transmit.frame) + " went out after a failed exchange " +
                          "with at most " + std::to_string(longest) + " us of quiet on the line");
            }
        }
        recovering = false;
    }
}

void ClientSession::check_counters() {
    if (!checks.counters) {
        return;
    }
    const auto& counters = client->get_diagnostic_counters();
    const auto expect = [&counters](int index, uint64_t count, const char* what) {
        if (counters[index] != static_cast<uint16_t>(count)) {
            violation(std::string("diagnostic counter ") + what + " is " +
                      std::to_string(counters[index]) + ", the line saw " + std::to_string(count));
        }
    };
    expect(zelkSDK::bytes_received, line->bytes_taken() - taken_base, "bytes_received");
    expect(zelkSDK::bytes_sent, line->bytes_handed_over() - handed_over_base, "bytes_sent");
    expect(zelkSDK::messages_sent, line->transmits().size() - transmits_base, "messages_sent");
}

}  // namespace fuzz
