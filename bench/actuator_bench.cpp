// One-register reads by the C++ Actuator on a real (pseudo-terminal) line, each timed:
//   actuator_bench PORT COUNT INTERFRAME_US
// Prints one line of key=value pairs for the benchmark driver.
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

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

int read_bench(Actuator& actuator, long count) {
    std::vector<double> round_trips;
    long failures = 0;
    const double cpu_start = cpu_seconds();
    for (long i = 0; i < count; ++i) {
        const auto start = Steady::now();
        failures += static_cast<bool>(actuator.read_register_blocking(317).error);
        round_trips.push_back(
            std::chrono::duration<double, std::micro>(Steady::now() - start).count());
    }
    const double cpu = cpu_seconds() - cpu_start;
    std::printf("median_us=%.1f p99_us=%.1f cpu_us=%.1f failures=%ld\n",
                percentile(round_trips, 0.5), percentile(round_trips, 0.99), cpu * 1e6 / count,
                failures);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: actuator_bench PORT COUNT INTERFRAME_US\n");
        return 2;
    }
    Actuator actuator("bench", 1);
    const ZelkError opened = actuator.open_serial_port(argv[1], 19200, std::atoi(argv[3]));
    if (opened) {
        std::fprintf(stderr, "open: %s\n", opened.what().c_str());
        return 1;
    }
    const int status = read_bench(actuator, std::atol(argv[2]));
    actuator.close_serial_port();
    return status;
}
