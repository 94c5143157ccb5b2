#include "sim/fault_injector.hpp"

#include "sdk/modbus/wire.hpp"
#include "sim/device_model.hpp"

namespace sim {

const char* fault_name(FaultKind kind) {
    static const char* const kNames[kFaultKindCount] = {
        "drop", "corrupt-crc", "wrong-address", "truncate", "exception", "split", "stray", "late"};
    return kNames[kind];
}

FaultInjector::FaultInjector(std::array<double, kFaultKindCount> rates_, uint32_t seed)
    : rates(rates_), random(seed) {}

bool FaultInjector::happens(FaultKind kind, Delivery& delivery) {
    if (rates[kind] <= 0.0) {
        return false;
    }
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    if (draw(random) >= rates[kind]) {
        return false;
    }
    ++injected[kind];
    delivery.faults.push_back(kind);
    return true;
}

Delivery FaultInjector::apply(const std::vector<uint8_t>& original) {
    ++seen;
    Delivery delivery;
    if (original.empty() || happens(kDrop, delivery)) {
        return delivery;
    }
    std::vector<uint8_t> response = original;
    if (happens(kException, delivery)) {
        // The device is busy: the request is refused.
        response = {response[0], static_cast<uint8_t>(response[1] | 0x80), 6};
        zelkSDK::wire::append_crc(response);
    }
    if (happens(kWrongAddress, delivery)) {
        response[0] = static_cast<uint8_t>(response[0] + 1);
        response.resize(response.size() - 2);
        zelkSDK::wire::append_crc(response);
    }
    if (happens(kCorruptCrc, delivery)) {
        response.back() ^= 0x5A;
    }
    if (response.size() > 1 && happens(kTruncate, delivery)) {
        std::uniform_int_distribution<size_t> keep(1, response.size() - 1);
        response.resize(keep(random));
    }
    delivery.frame_length = response.size();
    if (response.size() > 2 && happens(kSplit, delivery)) {
        // Pieces with gaps well inside the client's 16 ms interchar limit.
        std::uniform_int_distribution<size_t> cut(1, response.size() - 1);
        std::uniform_int_distribution<int> gap(500, 4000);
        const size_t at = cut(random);
        delivery.chunks.push_back(
            {std::vector<uint8_t>(response.begin(), response.begin() + at), 0});
        delivery.chunks.push_back(
            {std::vector<uint8_t>(response.begin() + at, response.end()), gap(random)});
    } else {
        delivery.chunks.push_back({response, 0});
    }
    if (happens(kStray, delivery)) {
        std::uniform_int_distribution<int> byte(0, 255);
        std::uniform_int_distribution<int> count(1, 3);
        Chunk stray{{}, 300};
        for (int i = count(random); i > 0; --i) {
            stray.bytes.push_back(static_cast<uint8_t>(byte(random)));
        }
        delivery.chunks.push_back(stray);
    }
    if (happens(kLate, delivery)) {
        std::uniform_int_distribution<int> late(kLateMinUs, kLateMaxUs);
        delivery.late_us = late(random);
    }
    return delivery;
}

}  // namespace sim
