// Streaming on the bus thread: the SDK's own thread streams a position sine to the actuator
// at the line's pace while this program's main thread does other work (here: arithmetic)
// and only refreshes the set-point now and then. Every stream exchange is recorded and
// written to a CSV file. The motor is put back to sleep mode, also after a failure.
//
//   sine_stream PORT [CSV] [BAUD]     e.g. sine_stream /dev/ttyUSB0 sine.csv 115200
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#include "sdk/actuator/actuator.hpp"

using namespace zelkSDK;

namespace {

constexpr int kInterframeDelayUs = 2000;
constexpr int kAmplitudeUm = 5000;
constexpr double kPeriodSeconds = 1.0;
constexpr double kStreamSeconds = 2.0;
// How often the main thread refreshes the set-point: well within the bus thread's
// set-point watchdog (kBusThreadSetpointTimeoutMs).
constexpr auto kRefresh = std::chrono::milliseconds(10);
constexpr size_t kRecordingCapacity = 100000;  // far more than the run needs

using SteadyClock = std::chrono::steady_clock;

bool failed(const std::string& step, const ZelkError& error) {
    if (error) {
        std::cerr << "sine_stream: " << step << ": " << error.what() << "\n";
    }
    return static_cast<bool>(error);
}

// Stands for the program's real work: the stream goes on without it.
double busy_work(double seed) {
    for (int i = 0; i < 200000; ++i) {
        seed = std::sin(seed) + 1.0;
    }
    return seed;
}

bool write_csv(const TelemetryRecording& recording, const std::string& path) {
    std::ofstream out(path);
    out << "time_us,setpoint_um,position_um,force_mN,power_W,voltage_mV,temperature_C,errors,"
           "failed\n";
    for (const TelemetrySample& s : recording.samples) {
        out << s.time_us << ',' << s.setpoint << ',' << s.position_um << ',' << s.force_mN << ','
            << s.power_W << ',' << s.voltage_mV << ',' << s.temperature_C << ',' << s.errors << ','
            << int{s.failed} << '\n';
    }
    out.close();
    if (!out) {
        std::cerr << "sine_stream: cannot write " << path << "\n";
        return false;
    }
    return true;
}

bool stream_sine(Actuator& actuator, const std::string& csv_path) {
    const ZelkResult<int> centre = actuator.get_position_um();
    if (failed("reading the position", centre.error) ||
        failed("switching to position mode", actuator.set_mode(PositionMode))) {
        return false;
    }
    const double two_pi = 2 * std::acos(-1.0);
    actuator.set_streamed_position_um(centre.value);
    actuator.start_recording(kRecordingCapacity);
    actuator.enable_stream();
    actuator.start_streaming();
    const SteadyClock::time_point start = SteadyClock::now();
    double work = 0;
    int refreshes = 0;
    for (double t = 0; t < kStreamSeconds;
         t = std::chrono::duration<double>(SteadyClock::now() - start).count()) {
        const double phase = two_pi * t / kPeriodSeconds;
        actuator.set_streamed_position_um(centre.value +
                                          static_cast<int>(kAmplitudeUm * std::sin(phase)));
        ++refreshes;
        work += busy_work(t);
        std::this_thread::sleep_for(kRefresh);
    }
    actuator.disable_stream();
    actuator.stop_streaming();
    const TelemetryRecording recording = actuator.take_recording();
    actuator.stop_recording();
    if (failed("the bus thread", actuator.get_bus()->last_error()) ||
        failed("the stream",
               recording.samples.empty() ? ZelkError(1, "nothing recorded") : no_error())) {
        return false;
    }
    size_t failures = 0;
    for (const TelemetrySample& s : recording.samples) {
        failures += s.failed;
    }
    std::cout << "streamed " << recording.samples.size() << " exchanges in " << kStreamSeconds
              << " s (" << failures << " failed, " << recording.lost << " lost) while the main "
              << "thread refreshed the set-point " << refreshes << " times (work " << work << ")\n";
    if (!csv_path.empty()) {
        if (!write_csv(recording, csv_path)) {
            return false;
        }
        std::cout << "recording: " << csv_path << "\n";
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::cerr << "usage: sine_stream PORT [CSV] [BAUD]\n";
        return 1;
    }
    const std::string port = argv[1];
    const std::string csv_path = argc >= 3 ? argv[2] : "";
    const int baud = argc == 4 ? std::atoi(argv[3]) : 19200;

    Actuator actuator("example", 1);
    try {
        if (failed("cannot open " + port,
                   actuator.open_serial_port(port, baud, kInterframeDelayUs))) {
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << "sine_stream: cannot open " << port << ": " << e.what() << "\n";
        return 1;
    }
    bool ok = false;
    try {
        ok = stream_sine(actuator, csv_path);
    } catch (const std::exception& e) {
        std::cerr << "sine_stream: serial port: " << e.what() << "\n";
    }
    try {
        actuator.stop_streaming();
        if (failed("cannot return to sleep mode", actuator.set_mode(SleepMode))) {
            ok = false;
        } else {
            std::cout << "back in sleep mode\n";
        }
        actuator.close_serial_port();
    } catch (const std::exception& e) {
        std::cerr << "sine_stream: serial port: " << e.what() << "\n";
        ok = false;
    }
    return ok ? 0 : 1;
}
