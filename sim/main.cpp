// ferrun-sim: a virtual actuator on a pseudo-terminal. Prints the port to open as its first
// line, then serves Modbus RTU until its standard input closes or it gets SIGTERM/SIGINT.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "sim/pty_server.hpp"

namespace {

const char kHelp[] =
    "usage: ferrun-sim [options]\n"
    "\n"
    "A virtual linear actuator on a pseudo-terminal. Prints the port path to open as its\n"
    "first line, then answers Modbus RTU (function codes 3, 6, 16, 23 and the stream\n"
    "command 100) until its standard input is closed or it receives SIGTERM.\n"
    "\n"
    "options:\n"
    "  --address N[,N...]   Modbus server address, 1 to 247 (default 1); several make a\n"
    "                       bus of devices, each with its own state; the addressed one\n"
    "                       answers, a broadcast (address 0) reaches all, unanswered\n"
    "  --baud N             pace the line as N baud, 11 bits per character, both ways:\n"
    "                       a request is acted on once its wire time has passed, response\n"
    "                       bytes follow one character time apart (default 0: unpaced)\n"
    "  --turnaround-us N    device turnaround time before each response, up to 10 s\n"
    "                       (default 0): beyond 20 ms it tests longer client time-outs\n"
    "  --strict-baud        with --baud: a request sent while the port is set to another\n"
    "                       rate is noise to the devices, and nobody answers it\n"
    "  --no-mode-confirm    accept mode writes but keep reporting the old mode\n"
    "  --echo               the line hears its own transmitter (a two-wire adapter): every\n"
    "                       byte sent comes back at the line's pace, before any answer\n"
    "  --journal FILE       write every request, effect, fault and response to FILE, one\n"
    "                       tab-separated line each (see the README)\n"
    "  --usb-latency-ms N   the answers (and the echo) reach the port through an emulated\n"
    "                       USB-serial adapter, in packets: when its buffer holds one,\n"
    "                       else at the next tick of its latency timer, every N ms\n"
    "                       (1 to 255)\n"
    "  --usb-packet N       with --usb-latency-ms: bytes a packet holds, 1 to 4096\n"
    "                       (default 62)\n"
    "  --sysfs-root DIR     with --usb-latency-ms: the adapter's latency timer is the file\n"
    "                       DIR/class/tty/<pty name>/device/latency_timer, made holding N\n"
    "                       and read while serving: a latency written there applies from\n"
    "                       the timer's next tick; removed when the program stops\n"
    "  --ignore-stdin       keep serving when standard input closes (stop with SIGTERM)\n"
    "  --seed N             seed of the fault generator (default 1)\n"
    "fault injection, each a probability per response from 0 to 1 (default 0):\n"
    "  --drop R             no response at all\n"
    "  --corrupt-crc R      response with a corrupted CRC\n"
    "  --wrong-address R    response from another server address\n"
    "  --truncate R         response cut short\n"
    "  --exception R        exception response 6 (server device busy) instead\n"
    "  --split R            response written in two pieces with a gap of 0.5 to 4 ms\n"
    "  --stray R            1 to 3 stray bytes after the response\n"
    "  --late R             response starts 25 to 40 ms after the request has arrived,\n"
    "                       past the client's 20 ms response time-out\n"
    "  --fault-address N[,N...]  faults only for these addresses (default: every one)\n"
    "  --help               this text\n";

volatile std::sig_atomic_t g_stop_requested = 0;
int g_signal_pipe[2] = {-1, -1};

void on_signal(int) {
    g_stop_requested = 1;
    if (g_signal_pipe[1] >= 0) {
        ::close(g_signal_pipe[1]);  // the server sees end of file on the pipe
        g_signal_pipe[1] = -1;
    }
}

// A finite number written in full: strtod alone also takes "inf", "nan" and "1e400" (inf).
bool parse_number(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != text.c_str() && *end == '\0' && std::isfinite(value);
}

// "1,2,3": distinct addresses from 1 to 247.
bool parse_addresses(const std::string& text, std::vector<uint8_t>& addresses) {
    addresses.clear();
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        double value = 0;
        if (!parse_number(item, value) || value < 1 || value > 247 || value != int(value)) {
            return false;
        }
        const auto address = static_cast<uint8_t>(value);
        if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) {
            return false;
        }
        addresses.push_back(address);
    }
    return !addresses.empty() && text.back() != ',';
}

// A value outside its range would wrap or overflow when it is converted for the server, so
// the bounds are checked on the double, before any conversion.
struct NumberRange {
    double low;
    double high;
    bool whole;
    bool zero_too;  // 0 is allowed below low
    const char* text;
};

const NumberRange kBaudRange{50, 20000000, true, true,
                             "0 for unpaced, or a whole number from 50 to 20000000"};
const NumberRange kTurnaroundRange{0, 10000000, true, false,
                                   "a whole number of microseconds from 0 to 10000000"};
const NumberRange kSeedRange{0, 4294967295.0, true, false, "a whole number from 0 to 4294967295"};
const NumberRange kRateRange{0, 1, false, false, "a probability from 0 to 1"};
const NumberRange kUsbLatencyRange{sim::UsbAdapter::kMinLatencyMs, sim::UsbAdapter::kMaxLatencyMs,
                                   true, false, "a whole number of milliseconds from 1 to 255"};
const NumberRange kUsbPacketRange{1, 4096, true, false, "a whole number from 1 to 4096"};
const char kAddressesText[] = "distinct whole numbers from 1 to 247, separated by commas";

bool in_range(const std::string& text, const NumberRange& range, double& value) {
    if (!parse_number(text, value) || (range.whole && value != std::floor(value))) {
        return false;
    }
    return (range.zero_too && value == 0) || (value >= range.low && value <= range.high);
}

// Sets the option from its value's text; returns nullptr, or what the value must be.
const char* set_option(sim::ServerOptions& options, const std::string& name,
                       const std::string& text) {
    if (name == "--address") {
        return parse_addresses(text, options.addresses) ? nullptr : kAddressesText;
    }
    if (name == "--fault-address") {
        return parse_addresses(text, options.fault_addresses) ? nullptr : kAddressesText;
    }
    if (name == "--journal") {
        options.journal_path = text;
        return text.empty() ? "a file name" : nullptr;
    }
    if (name == "--sysfs-root") {
        options.sysfs_root = text;
        return text.empty() ? "a folder" : nullptr;
    }
    double value = 0;
    if (name == "--baud") {
        if (!in_range(text, kBaudRange, value)) {
            return kBaudRange.text;
        }
        options.baud_rate = static_cast<int>(value);
    } else if (name == "--turnaround-us") {
        if (!in_range(text, kTurnaroundRange, value)) {
            return kTurnaroundRange.text;
        }
        options.turnaround_us = static_cast<int>(value);
    } else if (name == "--seed") {
        if (!in_range(text, kSeedRange, value)) {
            return kSeedRange.text;
        }
        options.seed = static_cast<uint32_t>(value);
    } else if (name == "--usb-latency-ms") {
        if (!in_range(text, kUsbLatencyRange, value)) {
            return kUsbLatencyRange.text;
        }
        options.usb_latency_ms = static_cast<int>(value);
    } else if (name == "--usb-packet") {
        if (!in_range(text, kUsbPacketRange, value)) {
            return kUsbPacketRange.text;
        }
        options.usb_packet = static_cast<int>(value);
    } else {
        for (int kind = 0; kind < sim::kFaultKindCount; ++kind) {
            if (name == std::string("--") + sim::fault_name(static_cast<sim::FaultKind>(kind))) {
                if (!in_range(text, kRateRange, value)) {
                    return kRateRange.text;
                }
                options.fault_rates[kind] = value;
            }
        }
    }
    return nullptr;
}

bool takes_value(const std::string& name) {
    for (const char* known :
         {"--address", "--fault-address", "--journal", "--baud", "--turnaround-us", "--seed",
          "--usb-latency-ms", "--usb-packet", "--sysfs-root"}) {
        if (name == known) {
            return true;
        }
    }
    for (int kind = 0; kind < sim::kFaultKindCount; ++kind) {
        if (name == std::string("--") + sim::fault_name(static_cast<sim::FaultKind>(kind))) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    sim::ServerOptions options;
    bool ignore_stdin = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        }
        if (arg == "--no-mode-confirm") {
            options.confirms_modes = false;
            continue;
        }
        if (arg == "--echo") {
            options.echo = true;
            continue;
        }
        if (arg == "--strict-baud") {
            options.strict_baud = true;
            continue;
        }
        if (arg == "--ignore-stdin") {
            ignore_stdin = true;
            continue;
        }
        if (!takes_value(arg)) {
            std::cerr << "ferrun-sim: unknown option " << arg << " (see --help)\n";
            return 2;
        }
        if (i + 1 >= argc) {
            std::cerr << "ferrun-sim: bad value for " << arg << ": none given (see --help)\n";
            return 2;
        }
        if (const char* wanted = set_option(options, arg, argv[i + 1])) {
            std::cerr << "ferrun-sim: bad value for " << arg << ": " << argv[i + 1] << " (must be "
                      << wanted << ")\n";
            return 2;
        }
        ++i;
    }
    if (options.usb_latency_ms == 0 &&
        (options.usb_packet != sim::UsbAdapter::kDefaultPacketBytes ||
         !options.sysfs_root.empty())) {
        std::cerr
            << "ferrun-sim: --usb-packet and --sysfs-root need --usb-latency-ms (see --help)\n";
        return 2;
    }

    sim::PtyServer server(options);
    if (!server.open()) {
        std::cerr << "ferrun-sim: " << server.error() << "\n";
        return 1;
    }
    if (::pipe(g_signal_pipe) != 0) {
        std::perror("ferrun-sim: pipe");
        return 1;
    }
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::cout << server.slave_path() << std::endl;

    // A signal stops the server through its pipe; standard input closing raises one. The
    // watcher never touches the server, which is gone once main returns.
    if (!ignore_stdin) {
        std::thread([] {
            char buffer[256];
            while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
            }
            ::kill(::getpid(), SIGTERM);
        }).detach();
    }
    server.serve(g_signal_pipe[0]);

    const auto counts = server.fault_counts();
    std::cerr << "ferrun-sim: served " << server.requests_served() << " requests";
    for (int kind = 0; kind < sim::kFaultKindCount; ++kind) {
        if (counts[kind] > 0) {
            std::cerr << ", " << sim::fault_name(static_cast<sim::FaultKind>(kind)) << " "
                      << counts[kind];
        }
    }
    std::cerr << "\n";
    return 0;
}
