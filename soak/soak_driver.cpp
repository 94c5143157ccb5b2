#include "soak/soak_driver.hpp"

#include <chrono>
#include <thread>

#include "sdk/modbus/function_codes.hpp"

namespace soak {
namespace {

using zelkSDK::MessagePriority;

// Writes stay in registers that mean nothing to the device; reads go anywhere.
constexpr int kScratchFirst = 500;
constexpr int kScratchEnd = 1000;
constexpr int kRegisterCount = 1024;

bool same(const zelkSDK::StreamData& a, const zelkSDK::StreamData& b) {
    return a.position == b.position && a.force == b.force && a.power == b.power &&
           a.temperature == b.temperature && a.voltage == b.voltage && a.errors == b.errors;
}

}  // namespace

const char* call_name(CallKind kind) {
    switch (kind) {
        case CallKind::read: return "read";
        case CallKind::read_wide: return "wide read";
        case CallKind::read_multiple: return "multiple read";
        case CallKind::write: return "write";
        case CallKind::write_wide: return "wide write";
        case CallKind::write_multiple: return "multiple write";
        case CallKind::read_write: return "read-write";
        case CallKind::clear_errors: return "clear errors";
        case CallKind::get_mode: return "mode read";
        default: return "mode switch";
    }
}

SoakDriver::SoakDriver(zelkSDK::Actuator& actuator_, TrafficRecord& traffic_, uint32_t seed)
    : actuator(actuator_), traffic(traffic_), random(seed) {}

int SoakDriver::between(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

MessagePriority SoakDriver::priority(bool& important) {
    important = between(0, 1) == 0;
    return important ? MessagePriority::important : MessagePriority::not_important;
}

template <typename Operation>
void SoakDriver::call(CallKind kind, bool important, Operation&& operation) {
    Call record;
    record.kind = kind;
    record.important = important;
    record.first_tx = traffic.sent.size();
    operation(record);
    record.end_tx = traffic.sent.size();
    calls.push_back(record);
    watch_cache();  // a blocking call digests a stream answer still on its way
}

void SoakDriver::watch_cache() {
    const zelkSDK::StreamData now = actuator.stream_cache;
    if (same(now, last_cache)) {
        cache_seen_rx = traffic.received.size();
        return;
    }
    CacheChange change{now, {}};
    for (size_t i = cache_seen_rx; i < traffic.received.size() && i < traffic.sent.size(); ++i) {
        const auto& bytes = traffic.sent[i].bytes;
        if (bytes.size() > 1 && bytes[1] == zelkSDK::kStreamCommand) {
            change.stream_tx.push_back(i);
        }
    }
    cache_changes.push_back(change);
    last_cache = now;
    cache_seen_rx = traffic.received.size();
}

int SoakDriver::step() {
    const int pick = between(0, 99);
    bool important = true;
    const MessagePriority p = priority(important);
    const auto failed = [](Call& record, const zelkSDK::ZelkError& error) {
        record.failed = static_cast<bool>(error);
        record.error = error.what();
    };
    if (pick < 16) {
        const int count = between(1, 125);
        const auto start = static_cast<uint16_t>(between(0, kRegisterCount - count));
        call(CallKind::read_multiple, important, [&](Call& record) {
            const auto result =
                actuator.read_multiple_registers_blocking(start, static_cast<uint8_t>(count), p);
            failed(record, result.error);
            record.values.assign(result.value.begin(), result.value.end());
        });
    } else if (pick < 25) {
        const auto reg = static_cast<uint16_t>(between(0, kRegisterCount - 1));
        call(CallKind::read, important, [&](Call& record) {
            const auto result = actuator.read_register_blocking(reg, p);
            failed(record, result.error);
            record.values = {result.value};
        });
    } else if (pick < 31) {
        const auto reg = static_cast<uint16_t>(between(kScratchFirst, kScratchEnd - 2));
        call(CallKind::read_wide, important, [&](Call& record) {
            const auto result = actuator.read_wide_register_blocking(reg, p);
            failed(record, result.error);
            const auto wide = static_cast<uint32_t>(result.value);
            record.values = {static_cast<uint16_t>(wide & 0xFFFF),
                             static_cast<uint16_t>(wide >> 16)};
        });
    } else if (pick < 40) {
        const auto reg = static_cast<uint16_t>(between(kScratchFirst, kScratchEnd - 1));
        const auto value = static_cast<uint16_t>(between(0, 0xFFFF));
        call(CallKind::write, important, [&](Call& record) {
            failed(record, actuator.write_register_blocking(reg, value, p));
        });
    } else if (pick < 46) {
        const auto reg = static_cast<uint16_t>(between(kScratchFirst, kScratchEnd - 2));
        const int32_t value = between(INT32_MIN, INT32_MAX);
        call(CallKind::write_wide, important, [&](Call& record) {
            failed(record, actuator.write_wide_register_blocking(reg, value, p));
        });
    } else if (pick < 55) {
        const int count = between(1, 123);
        const auto start = static_cast<uint16_t>(between(kScratchFirst, kScratchEnd - count));
        std::vector<uint16_t> values(static_cast<size_t>(count));
        for (auto& value : values) {
            value = static_cast<uint16_t>(between(0, 0xFFFF));
        }
        call(CallKind::write_multiple, important, [&](Call& record) {
            failed(record, actuator.write_multiple_registers_blocking(
                               start, static_cast<uint8_t>(count), values.data(), p));
        });
    } else if (pick < 64) {
        const int read_count = between(1, 125);
        const int write_count = between(0, 121);
        const auto read_start = static_cast<uint16_t>(between(0, kRegisterCount - read_count));
        const auto write_start =
            static_cast<uint16_t>(between(kScratchFirst, kScratchEnd - write_count));
        std::vector<uint16_t> values(static_cast<size_t>(write_count) + 1);
        for (auto& value : values) {
            value = static_cast<uint16_t>(between(0, 0xFFFF));
        }
        call(CallKind::read_write, important, [&](Call& record) {
            const auto result = actuator.read_write_multiple_registers_blocking(
                read_start, static_cast<uint8_t>(read_count), write_start,
                static_cast<uint8_t>(write_count), values.data(), p);
            failed(record, result.error);
            record.values.assign(result.value.begin(), result.value.end());
        });
    } else if (pick < 67) {
        call(CallKind::clear_errors, true,
             [&](Call& record) { failed(record, actuator.clear_errors()); });
    } else if (pick < 71) {
        call(CallKind::get_mode, true, [&](Call& record) {
            const auto result = actuator.get_mode();
            failed(record, result.error);
            record.values = {static_cast<uint16_t>(result.value)};
        });
    } else if (pick < 78) {
        const auto mode = static_cast<zelkSDK::MotorMode>(between(1, 5));
        call(CallKind::set_mode, true,
             [&](Call& record) { failed(record, actuator.set_mode(mode)); });
    } else {
        return stream_cycle();
    }
    return 1;
}

int SoakDriver::stream_cycle() {
    const auto mode = static_cast<zelkSDK::MotorMode>(between(1, 5));
    call(CallKind::set_mode, true, [&](Call& record) {
        const zelkSDK::ZelkError error = actuator.set_mode(mode);
        record.failed = static_cast<bool>(error);
        record.error = error.what();
    });
    actuator.set_streamed_force_mN(between(-5000, 5000));
    actuator.set_streamed_position_um(between(-40000, 40000));
    actuator.update_haptic_stream_effects(static_cast<uint16_t>(between(0, 3)));
    const size_t wanted = static_cast<size_t>(between(2, 12));
    const size_t start = traffic.received.size();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    actuator.enable_stream();
    while (traffic.received.size() - start < wanted) {
        if (std::chrono::steady_clock::now() > deadline) {
            ++stalled_cycles;
            break;
        }
        actuator.run();
        watch_cache();
        std::this_thread::yield();
    }
    actuator.disable_stream();
    // Let the command on the line finish; one queued but not sent goes with the next call.
    const auto drain_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (traffic.sent.size() > traffic.received.size() &&
           std::chrono::steady_clock::now() < drain_deadline) {
        actuator.run();
        watch_cache();
        std::this_thread::yield();
    }
    return 1 + static_cast<int>(traffic.received.size() - start);
}

}  // namespace soak
