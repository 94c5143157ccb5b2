// The C++ Actuator on a real (pseudo-terminal) line, for the benchmark driver:
//   actuator_bench reads PORT COUNT INTERFRAME_US              COUNT one-register reads
//   actuator_bench paced-reads PORT SECONDS BAUD INTERFRAME_US one-register reads for SECONDS
//   actuator_bench stream PORT SECONDS BAUD INTERFRAME_US      a run_wait stream loop
//   actuator_bench stream-spin PORT SECONDS BAUD INTERFRAME_US the same loop of run(), which
//       never sleeps: the best this line and device allow, the reference for the waiting loop
// Prints one line of key=value pairs (streams add the cycle's p99, from a recording); reads
// add a second line with every round trip in us.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sdk/actuator/actuator.hpp"

using namespace zelkSDK;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int64_t kMaxWaitUs = 10000;

// Every thread of the process.
double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double seconds_since(Steady::time_point start) {
    return std::chrono::duration<double>(Steady::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

// Reads until count reads are done or seconds have passed, whichever comes first.
int read_bench(Actuator& actuator, long count, double seconds) {
    // Not timed: the first request waits out the quiet window that follows opening the port.
    actuator.read_register_blocking(317);
    std::vector<double> round_trips;
    long failures = 0;
    const double cpu_start = cpu_seconds();
    const auto bench_start = Steady::now();
    while (static_cast<long>(round_trips.size()) < count && seconds_since(bench_start) < seconds) {
        const auto start = Steady::now();
        failures += static_cast<bool>(actuator.read_register_blocking(317).error);
        round_trips.push_back(
            std::chrono::duration<double, std::micro>(Steady::now() - start).count());
    }
    const double wall = seconds_since(bench_start);
    const double cpu = cpu_seconds() - cpu_start;
    const double reads = static_cast<double>(round_trips.size());
    std::printf(
        "reads=%.0f median_us=%.1f p99_us=%.1f cpu_us=%.1f cpu_percent=%.2f rate=%.1f "
        "failures=%ld\n",
        reads, percentile(round_trips, 0.5), percentile(round_trips, 0.99), cpu * 1e6 / reads,
        cpu * 100 / wall, reads / wall, failures);
    for (size_t i = 0; i < round_trips.size(); ++i) {
        std::printf("%s%.1f", i ? "," : "", round_trips[i]);
    }
    std::printf("\n");
    return 0;
}

// A counter's growth, across the 16-bit wrap.
long grown(uint16_t before, uint16_t after) {
    return static_cast<uint16_t>(after - before);
}

int stream_bench(Actuator& actuator, double seconds, bool spin) {
    if (ZelkError error = actuator.set_mode(PositionMode)) {
        std::fprintf(stderr, "set_mode: %s\n", error.what().c_str());
        return 1;
    }
    actuator.start_recording(kMaxRecordingCapacity);
    actuator.enable_stream();
    Bus& bus = *actuator.get_bus();
    const DiagnosticCounters before = bus.get_diagnostic_counters();
    const double cpu_start = cpu_seconds();
    const auto start = Steady::now();
    while (seconds_since(start) < seconds) {
        actuator.set_streamed_position_um(1000);
        if (spin) {
            actuator.run();
        } else {
            actuator.run_wait(kMaxWaitUs);
        }
    }
    const double wall = seconds_since(start);
    const double cpu = cpu_seconds() - cpu_start;
    const DiagnosticCounters after = bus.get_diagnostic_counters();
    actuator.disable_stream();
    const long sent = grown(before[messages_sent], after[messages_sent]);
    const long valid = grown(before[valid_responses], after[valid_responses]);
    // The cycle, exchange to exchange, from the recording.
    const std::vector<TelemetrySample> samples = actuator.take_recording().samples;
    std::vector<int64_t> cycles;
    for (size_t i = 1; i < samples.size(); ++i) {
        cycles.push_back(samples[i].time_us - samples[i - 1].time_us);
    }
    std::sort(cycles.begin(), cycles.end());
    const int64_t p99 = cycles.empty() ? 0 : cycles[(cycles.size() - 1) * 99 / 100];
    // The exchange in flight when the loop ended is neither answered nor failed.
    std::printf("exchanges=%ld rate=%.1f cpu_percent=%.2f failures=%ld p99_cycle_us=%lld\n", valid,
                valid / wall, cpu * 100 / wall, std::max(0L, sent - valid - 1),
                static_cast<long long>(p99));
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: actuator_bench reads PORT COUNT INTERFRAME_US\n"
                 "       actuator_bench paced-reads PORT SECONDS BAUD INTERFRAME_US\n"
                 "       actuator_bench stream PORT SECONDS BAUD INTERFRAME_US\n"
                 "       actuator_bench stream-spin PORT SECONDS BAUD INTERFRAME_US\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        return usage();
    }
    const std::string mode = argv[1];
    const bool reads = mode == "reads" && argc == 5;
    if (!reads &&
        !((mode == "paced-reads" || mode == "stream" || mode == "stream-spin") && argc == 6)) {
        return usage();
    }
    const int baud = reads ? 19200 : std::atoi(argv[4]);
    const int interframe = std::atoi(argv[reads ? 4 : 5]);
    Actuator actuator("bench", 1);
    const ZelkError opened = actuator.open_serial_port(argv[2], baud, interframe);
    if (opened) {
        std::fprintf(stderr, "open: %s\n", opened.what().c_str());
        return 1;
    }
    int status = 0;
    if (reads) {
        status = read_bench(actuator, std::atol(argv[3]), 1e9);
    } else if (mode == "paced-reads") {
        status = read_bench(actuator, 1L << 40, std::atof(argv[3]));
    } else {
        status = stream_bench(actuator, std::atof(argv[3]), mode == "stream-spin");
    }
    actuator.close_serial_port();
    return status;
}
