#include "sdk/actuator/telemetry_recorder.hpp"

#include <utility>

namespace zelkSDK {

void TelemetryRecorder::start(std::vector<TelemetrySample> ring_) {
    ring = std::move(ring_);
    oldest = 0;
    count = 0;
    lost = 0;
    recording = true;
}

void TelemetryRecorder::add(const TelemetrySample& sample) {
    if (!recording) {
        return;
    }
    if (count == ring.size()) {
        oldest = (oldest + 1) % ring.size();
        --count;
        ++lost;
    }
    ring[(oldest + count) % ring.size()] = sample;
    ++count;
}

TelemetryRecording TelemetryRecorder::take() {
    TelemetryRecording taken;
    taken.samples.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        taken.samples.push_back(ring[(oldest + i) % ring.size()]);
    }
    taken.lost = lost;
    oldest = 0;
    count = 0;
    lost = 0;
    return taken;
}

}  // namespace zelkSDK
