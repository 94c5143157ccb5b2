// A first program with the SDK: opens the actuator on the serial port named on the command
// line, prints its state, streams a one-second position move, and puts the motor back to
// sleep mode, also after a failure.
//
//   position_move PORT [BAUD]     e.g. position_move /dev/ttyUSB0 19200
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iomanip>
#include <iostream>
#include <string>

#include "sdk/actuator/actuator.hpp"

using namespace zelkSDK;

namespace {

constexpr int kInterframeDelayUs = 2000;
constexpr int kMoveUm = 10000;        // 10 mm from where the motor stands
constexpr double kRampSeconds = 0.7;  // then it holds the target
constexpr double kStreamSeconds = 1.0;
constexpr int64_t kStreamSilenceUs = 100000;  // longer without a response: a failed move

using SteadyClock = std::chrono::steady_clock;

double seconds_since(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

const char* mode_name(int mode) {
    switch (mode) {
        case SleepMode: return "sleep";
        case ForceMode: return "force";
        case PositionMode: return "position";
        case HapticMode: return "haptic";
        case KinematicMode: return "kinematic";
        default: return "unknown";
    }
}

// Reports a failed step as one line; true when the step failed.
bool failed(const char* step, const ZelkError& error) {
    if (error) {
        std::cerr << "position_move: " << step << ": " << error.what() << "\n";
    }
    return static_cast<bool>(error);
}

bool print_state(Actuator& actuator) {
    const ZelkResult<MotorMode> mode = actuator.get_mode();
    if (failed("the device does not answer (reading its mode)", mode.error)) {
        return false;
    }
    const ZelkResult<int> position = actuator.get_position_um();
    const ZelkResult<int> force = actuator.get_force_mN();
    const ZelkResult<unsigned short> temperature = actuator.get_temperature_C();
    const ZelkResult<unsigned short> voltage = actuator.get_voltage_mV();
    const ZelkResult<unsigned short> errors = actuator.get_errors();
    if (failed("reading the position", position.error) ||
        failed("reading the force", force.error) ||
        failed("reading the temperature", temperature.error) ||
        failed("reading the voltage", voltage.error) ||
        failed("reading the error bits", errors.error)) {
        return false;
    }
    std::cout << "mode: " << mode_name(mode.value) << " (" << mode.value << ")\n"
              << "position: " << position.value << " um\n"
              << "force: " << force.value << " mN\n"
              << "temperature: " << temperature.value << " C\n"
              << "voltage: " << voltage.value << " mV\n"
              << "errors: 0x" << std::hex << std::setfill('0') << std::setw(4) << errors.value
              << std::dec << std::setfill(' ') << "\n";
    return true;
}

// Streams a smooth ramp of kMoveUm, then holds it, with one engine pass per loop.
bool stream_move(Actuator& actuator) {
    const ZelkResult<int> start_um = actuator.get_position_um();
    if (failed("reading the position", start_um.error) ||
        failed("switching to position mode", actuator.set_mode(PositionMode))) {
        return false;
    }
    const double pi = std::acos(-1.0);
    actuator.set_streamed_position_um(start_um.value);
    actuator.enable_stream();
    const SteadyClock::time_point start = SteadyClock::now();
    for (double t = 0; t < kStreamSeconds; t = seconds_since(start)) {
        const double ramp = t < kRampSeconds ? (1 - std::cos(pi * t / kRampSeconds)) / 2 : 1.0;
        actuator.set_streamed_position_um(start_um.value + static_cast<int>(kMoveUm * ramp));
        actuator.run_wait(5000);  // one pass, then sleep until the line moves on
    }
    actuator.disable_stream();
    // Let the command in flight finish before the blocking calls take the line.
    const SteadyClock::time_point settle = SteadyClock::now();
    while (seconds_since(settle) < 0.05) {
        actuator.run_wait(1000);
    }
    if (actuator.time_since_last_response_microseconds() > kStreamSilenceUs) {
        const ZelkError error = actuator.last_error();
        failed("the device stopped answering the stream",
               error ? error : ZelkError(1, "no response"));
        return false;
    }
    const ZelkResult<int> end_um = actuator.get_position_um();
    if (failed("reading the position", end_um.error)) {
        return false;
    }
    std::cout << "moved from " << start_um.value << " um to " << end_um.value << " um (target "
              << start_um.value + kMoveUm
              << " um), last stream telemetry: " << actuator.stream_cache.force << " mN, "
              << actuator.stream_cache.power << " W\n";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: position_move PORT [BAUD]\n";
        return 1;
    }
    const std::string port = argv[1];
    const int baud = argc == 3 ? std::atoi(argv[2]) : 19200;

    Actuator actuator("example", 1);
    try {
        if (failed(("cannot open " + port).c_str(),
                   actuator.open_serial_port(port, baud, kInterframeDelayUs))) {
            return 1;
        }
    } catch (const std::exception& e) {  // the port opened but refused its line settings
        std::cerr << "position_move: cannot open " << port << ": " << e.what() << "\n";
        return 1;
    }

    bool ok = false;
    try {
        ok = print_state(actuator) && stream_move(actuator);
    } catch (const std::exception& e) {  // the serial port itself failed
        std::cerr << "position_move: serial port: " << e.what() << "\n";
    }
    try {
        if (failed("cannot return to sleep mode", actuator.set_mode(SleepMode))) {
            ok = false;
        } else {
            std::cout << "back in sleep mode\n";
        }
        actuator.close_serial_port();
    } catch (const std::exception& e) {
        std::cerr << "position_move: serial port: " << e.what() << "\n";
        ok = false;
    }
    return ok ? 0 : 1;
}
