// Telemetry recording: every stream exchange of one actuator, kept in a ring buffer of a
// fixed capacity until the program takes it. Filled by whoever runs the bus cycle (the bus
// thread or the caller's run loop), taken by any thread; the Actuator guards both with the
// bus's lock. A full buffer drops its oldest sample for each new one and counts it lost.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelkSDK {

// One stream exchange. A plain, padded record of 32 bytes: Python sees a buffer of them.
struct TelemetrySample {
    int64_t time_us = 0;   // the engine's clock when the exchange was digested
    int32_t setpoint = 0;  // what the command carried: mN, um or effect bits, by subfunction
    int32_t position_um = 0;
    int32_t force_mN = 0;
    uint16_t power_W = 0;
    uint16_t voltage_mV = 0;
    int16_t temperature_C = 0;
    uint16_t errors = 0;      // the device's error bits
    uint8_t subfunction = 0;  // the stream command's (28 force, 30 position, 34 haptic, ...)
    uint8_t failed = 0;       // 1: the exchange failed; the telemetry is the last good one
    uint16_t failure = 0;     // the engine's failure bits; 0 also for an exception response
};
static_assert(sizeof(TelemetrySample) == 32, "the Python buffer format assumes 32 bytes");

// What take() hands over: the samples since the last take, oldest first, and how many were
// dropped meanwhile because the buffer was full.
struct TelemetryRecording {
    std::vector<TelemetrySample> samples;
    uint64_t lost = 0;
};

// The largest capacity start() accepts: 10 million samples, 320 MB.
constexpr size_t kMaxRecordingCapacity = 10'000'000;

class TelemetryRecorder {
  public:
    // Starts afresh in `ring`, whose size is the capacity (what was kept and the lost count
    // are dropped). The caller refuses a capacity of 0 or above kMaxRecordingCapacity, and
    // makes the ring before it takes the bus's lock: a large one takes a while.
    void start(std::vector<TelemetrySample> ring);
    // No more samples; what was kept stays for take().
    void stop() { recording = false; }
    bool is_recording() const { return recording; }
    void add(const TelemetrySample& sample);
    TelemetryRecording take();

  private:
    std::vector<TelemetrySample> ring;
    size_t oldest = 0;
    size_t count = 0;
    uint64_t lost = 0;
    bool recording = false;
};

}  // namespace zelkSDK
