// ferrun-sim: a virtual actuator on a pseudo-terminal. Prints the port to open as its first
// line, then serves Modbus RTU until its standard input closes or it gets SIGTERM/SIGINT.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

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
    "  --address N          Modbus server address (default 1)\n"
    "  --baud N             pace the line as N baud, 11 bits per character (default 0:\n"
    "                       unpaced, as fast as the pseudo-terminal goes)\n"
    "  --turnaround-us N    device turnaround time before each response (default 0)\n"
    "  --no-mode-confirm    accept mode writes but keep reporting the old mode\n"
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

bool parse_number(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0';
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
        if (arg == "--ignore-stdin") {
            ignore_stdin = true;
            continue;
        }
        double value = 0;
        if (i + 1 >= argc || !parse_number(argv[i + 1], value) || value < 0) {
            std::cerr << "ferrun-sim: " << arg << " needs a number of at least 0 (see --help)\n";
            return 2;
        }
        ++i;
        bool known = true;
        if (arg == "--address" && value <= 247) {
            options.server_address = static_cast<uint8_t>(value);
        } else if (arg == "--baud") {
            options.baud_rate = static_cast<int>(value);
        } else if (arg == "--turnaround-us") {
            options.turnaround_us = static_cast<int>(value);
        } else if (arg == "--seed") {
            options.seed = static_cast<uint32_t>(value);
        } else {
            known = false;
            for (int kind = 0; kind < sim::kFaultKindCount; ++kind) {
                if (arg == std::string("--") + sim::fault_name(static_cast<sim::FaultKind>(kind)) &&
                    value <= 1) {
                    options.fault_rates[kind] = value;
                    known = true;
                }
            }
        }
        if (!known) {
            std::cerr << "ferrun-sim: bad option " << arg << " " << argv[i] << " (see --help)\n";
            return 2;
        }
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

    // Standard input closing stops the server; so does a signal (through its pipe).
    std::thread stdin_watch;
    if (!ignore_stdin) {
        stdin_watch = std::thread([&server] {
            char buffer[256];
            while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
            }
            server.stop();
        });
        stdin_watch.detach();
    }
    server.serve(g_signal_pipe[0]);

    const auto& counts = server.faults().counts();
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
