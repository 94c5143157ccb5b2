// ferrun-soak: a long run of mixed exchanges between the SDK's Actuator and the virtual
// actuator on a paced line with every kind of fault, checked afterwards against the
// device's journal. It counts what must never happen (a read that succeeds with data the
// device did not send for it, a failure the line does not explain, telemetry the device
// never sent) and exits with status 1 when any of them happened.
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "sdk/actuator/actuator.hpp"
#include "sim/fault_injector.hpp"
#include "soak/device_journal.hpp"
#include "soak/sim_process.hpp"
#include "soak/soak_checker.hpp"
#include "soak/soak_driver.hpp"
#include "soak/traffic_record.hpp"

namespace {

const char kHelp[] =
    "usage: ferrun-soak [options]\n"
    "\n"
    "Runs mixed exchanges (reads, writes, read-writes, wide registers, mode switches,\n"
    "stream cycles in every mode; both priorities) against the virtual actuator on a paced\n"
    "line with every kind of fault, then checks every outcome against the device's\n"
    "journal. Exits with status 1 when a read succeeded with data the device did not send\n"
    "for it, a failure has no explanation on the line, or telemetry appeared that the\n"
    "device never sent.\n"
    "\n"
    "options:\n"
    "  --exchanges N      how many exchanges to run (default 2000)\n"
    "  --baud N           line speed (default 1000000)\n"
    "  --turnaround-us N  device turnaround (default 100)\n"
    "  --interframe-us N  the SDK's interframe delay (default 2000)\n"
    "  --faults R         probability of each fault kind per response (default 0.02)\n"
    "  --seed N           seed of the exchange mix and of the faults (default 1)\n"
    "  --sim PATH         the virtual actuator program (default: ferrun-sim beside this one)\n"
    "  --journal FILE     keep the device's journal here (default: a temporary file)\n"
    "  --log FILE         keep the SDK's traffic log here\n"
    "  --no-progress      no progress bar\n"
    "  --help             this text\n";

// The command line, one field an option (see the usage text above).
struct Options {
    long exchanges = 2000;      // --exchanges
    long baud = 1000000;        // --baud
    long turnaround_us = 100;   // --turnaround-us
    long interframe_us = 2000;  // --interframe-us
    double faults = 0.02;       // --faults
    long seed = 1;              // --seed
    std::string sim;            // --sim
    std::string journal;        // --journal
    std::string log;            // --log
    bool progress = true;       // --no-progress turns it off
};

int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string beside_this_program(const char* name) {
    char path[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string self = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
    return self.substr(0, self.find_last_of('/') + 1) + name;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            std::exit(0);
        }
        if (arg == "--no-progress") {
            options.progress = false;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << "ferrun-soak: " << arg << " needs a value (see --help)\n";
            return false;
        }
        const std::string text = argv[++i];
        char* end = nullptr;
        const double number = std::strtod(text.c_str(), &end);
        // Whole-number options stay far inside a long, so no conversion below can overflow.
        const bool numeric = end != text.c_str() && *end == '\0' && number >= 0 && number <= 1e12;
        if (arg == "--sim") {
            options.sim = text;
        } else if (arg == "--journal") {
            options.journal = text;
        } else if (arg == "--log") {
            options.log = text;
        } else if (!numeric) {
            std::cerr << "ferrun-soak: bad value for " << arg << ": " << text << " (see --help)\n";
            return false;
        } else if (arg == "--exchanges") {
            options.exchanges = static_cast<long>(number);
        } else if (arg == "--baud" && number >= 1200) {
            options.baud = static_cast<long>(number);
        } else if (arg == "--turnaround-us") {
            options.turnaround_us = static_cast<long>(number);
        } else if (arg == "--interframe-us") {
            options.interframe_us = static_cast<long>(number);
        } else if (arg == "--faults" && number <= 1) {
            options.faults = number;
        } else if (arg == "--seed") {
            options.seed = static_cast<long>(number);
        } else {
            std::cerr << "ferrun-soak: unknown option or bad value: " << arg << " " << text
                      << " (see --help)\n";
            return false;
        }
    }
    return true;
}

class Progress {
  public:
    Progress(long total, bool shown) : total(total), live(shown && ::isatty(STDERR_FILENO)) {}
    void show(long done, double seconds) {
        const int width = 40;
        const long filled = total > 0 ? std::min<long>(width, width * done / total) : width;
        if (live && seconds - last_shown >= 0.1) {
            std::fprintf(stderr, "\r[%s%s] %ld/%ld exchanges, %.1f s",
                         std::string(filled, '#').c_str(), std::string(width - filled, '.').c_str(),
                         done, total, seconds);
            last_shown = seconds;
        } else if (!live && filled / 10 > quarter) {  // a line at each quarter in a log
            quarter = filled / 10;
            std::fprintf(stderr, "ferrun-soak: %ld/%ld exchanges, %.1f s\n", done, total, seconds);
        }
    }
    void finish() {
        if (live) {
            std::fprintf(stderr, "\r%70s\r", "");
        }
    }

  private:
    long total;
    bool live;
    double last_shown = -1;
    long quarter = 0;
};

void print_counts(const char* title, const std::map<std::string, long>& counts) {
    std::cout << title;
    if (counts.empty()) {
        std::cout << " none";
    }
    const char* separator = " ";
    for (const auto& [name, count] : counts) {
        std::cout << separator << name << " " << count;
        separator = ", ";
    }
    std::cout << "\n";
}

void print(const Options& options, const soak::SoakFigures& f, double seconds, long stalled) {
    std::cout << "ferrun-soak: " << options.exchanges << " exchanges at " << options.baud
              << " baud, faults " << options.faults << " each, seed " << options.seed << ", "
              << static_cast<int>(seconds * 10) / 10.0 << " s\n";
    std::cout << "calls " << f.calls << " (" << f.failed_calls << " failed), stream exchanges "
              << f.stream_exchanges << " (" << f.failed_stream_exchanges << " failed), requests "
              << f.attempts << "\n";
    print_counts("faults the device applied:", f.device_faults);
    print_counts("failed attempts in the traffic log:", f.attempt_failures);
    std::cout << "\n";
    std::printf("successes with wrong data (must be 0):                   %ld\n", f.wrong_data);
    std::printf("failures the journal does not explain (must be 0):       %ld\n",
                f.unexplained_failures);
    std::printf("telemetry the device never sent (must be 0):             %ld\n",
                f.unsent_telemetry);
    std::printf("requests carried out more often than sent:               %ld\n",
                f.carried_out_extra);
    std::cout << "\nalso seen:\n";
    std::printf("  attempts failed despite a clean, timely, valid answer: %ld\n",
                f.unexplained_attempts);
    std::printf("  other successes without a valid answer of their own:   %ld\n",
                f.unanswered_successes);
    std::printf("  reads answered by an earlier attempt's late answer:    %ld\n",
                f.earlier_attempt_answers);
    std::printf("  telemetry taken from another exchange's answer:        %ld\n",
                f.telemetry_from_elsewhere);
    std::printf("  write calls carried out more than once (resends):      %ld\n",
                f.writes_repeated);
    std::printf("  attempts failed on bytes the interframe drain missed:  %ld\n", f.drain_misses);
    std::printf("  requests heard but not logged / logged but not heard:  %ld / %ld\n",
                f.heard_not_logged, f.logged_not_heard);
    if (stalled > 0) {
        std::printf("  stream cycles given up (no exchange finished in 5 s):  %ld\n", stalled);
    }
    for (const auto& [figure, examples] : f.examples) {
        std::cout << "\nexamples, " << figure << ":\n";
        for (const std::string& text : examples) {
            std::cout << "  " << text << "\n";
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        return 1;
    }
    if (options.sim.empty()) {
        options.sim = beside_this_program("ferrun-sim");
    }
    const bool keep_journal = !options.journal.empty();
    if (!keep_journal) {
        char name[] = "/tmp/ferrun-soak-journal-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) {
            std::perror("ferrun-soak: temporary journal");
            return 1;
        }
        ::close(fd);
        options.journal = name;
    }

    std::vector<std::string> sim_options = {
        "--baud",          std::to_string(options.baud),
        "--turnaround-us", std::to_string(options.turnaround_us),
        "--seed",          std::to_string(options.seed),
        "--journal",       options.journal};
    for (int kind = 0; kind < sim::kFaultKindCount; ++kind) {
        sim_options.push_back(std::string("--") +
                              sim::fault_name(static_cast<sim::FaultKind>(kind)));
        sim_options.push_back(std::to_string(options.faults));
    }
    soak::SimProcess device;
    if (!device.start(options.sim, sim_options)) {
        std::cerr << "ferrun-soak: " << device.error() << "\n";
        return 1;
    }

    // The SDK's clock counts from its construction: bracket that on the journal's clock.
    const int64_t before = steady_us();
    zelkSDK::Actuator actuator("soak", 1);
    const int64_t after = steady_us();
    auto traffic = std::make_shared<soak::TrafficRecord>();
    zelkSDK::ZelkError error = actuator.open_serial_port(
        device.port(), static_cast<int>(options.baud), static_cast<int>(options.interframe_us));
    if (!error) {
        error = actuator.begin_serial_logging(options.log, traffic);
    }
    if (error) {
        std::cerr << "ferrun-soak: " << error.what() << "\n";
        return 1;
    }

    soak::SoakDriver driver(actuator, *traffic, static_cast<uint32_t>(options.seed));
    Progress progress(options.exchanges, options.progress);
    const int64_t started = steady_us();
    // An engine that never finishes a call would hang the soak: give up after a while.
    static std::atomic<int64_t> last_step_us{started};
    std::thread([] {
        constexpr int64_t kStuckUs = 30'000'000;
        while (steady_us() - last_step_us < kStuckUs) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        std::fprintf(stderr, "\nferrun-soak: no exchange finished for 30 s; giving up\n");
        std::_Exit(1);
    }).detach();
    long done = 0;
    while (done < options.exchanges) {
        done += driver.step();
        last_step_us = steady_us();
        progress.show(done, (steady_us() - started) / 1e6);
    }
    const double seconds = (steady_us() - started) / 1e6;
    progress.finish();
    actuator.close_serial_port();
    device.stop();

    soak::DeviceJournal journal;
    if (!journal.read(options.journal)) {
        std::cerr << "ferrun-soak: " << journal.error() << "\n";
        return 1;
    }
    if (!keep_journal) {
        std::remove(options.journal.c_str());
    }
    soak::SoakChecker checker(*traffic, journal, before, after, static_cast<int>(options.baud));
    const soak::SoakFigures figures = checker.check(driver.calls, driver.cache_changes);
    print(options, figures, seconds, driver.stalled_cycles);
    return figures.must_be_zero_hold() ? 0 : 1;
}
