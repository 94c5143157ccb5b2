#include "sim/journal.hpp"

#include "sdk/modbus/wire.hpp"

namespace sim {
namespace {

std::string head(int64_t time_us, const char* event, long seq) {
    return std::to_string(time_us) + "\t" + event + "\t" + std::to_string(seq);
}

}  // namespace

Journal::~Journal() {
    if (file != nullptr) {
        std::fclose(file);
    }
}

bool Journal::open(const std::string& path, const std::string& settings) {
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    write_line(
        "# ferrun-sim journal: TIME EVENT SEQ fields..., tab-separated, times in us of "
        "CLOCK_MONOTONIC");
    write_line("# " + settings);
    return true;
}

void Journal::write_line(const std::string& line) {
    if (file == nullptr) {
        return;
    }
    std::fputs(line.c_str(), file);
    std::fputc('\n', file);
    std::fflush(file);
}

void Journal::request(int64_t time_us, long seq, int64_t first_us, const char* verdict,
                      const std::vector<uint8_t>& frame) {
    write_line(head(time_us, "request", seq) + "\t" + std::to_string(first_us) + "\t" + verdict +
               "\t" + zelkSDK::wire::hex(frame));
}

void Journal::effects(int64_t time_us, long seq, uint8_t address, const Effects& effects) {
    const std::string device = "\t" + std::to_string(address);
    if (effects.write_start >= 0) {
        std::string values;
        for (uint16_t value : effects.written) {
            values += (values.empty() ? "" : ",") + std::to_string(value);
        }
        write_line(head(time_us, "write", seq) + device + "\t" +
                   std::to_string(effects.write_start) + "\t" + values);
    }
    if (effects.mode_before != effects.mode_after) {
        write_line(head(time_us, "mode", seq) + device + "\t" +
                   std::to_string(effects.mode_before) + "\t" + std::to_string(effects.mode_after));
    }
    if (effects.stream_subfunction >= 0) {
        write_line(head(time_us, "stream", seq) + device + "\t" +
                   std::to_string(effects.stream_subfunction) + "\t" +
                   std::to_string(effects.stream_value));
    }
}

void Journal::faults(int64_t time_us, long seq, uint8_t address,
                     const std::vector<FaultKind>& kinds) {
    if (kinds.empty()) {
        return;
    }
    std::string names;
    for (FaultKind kind : kinds) {
        names += (names.empty() ? "" : ",") + std::string(fault_name(kind));
    }
    write_line(head(time_us, "fault", seq) + "\t" + std::to_string(address) + "\t" + names);
}

void Journal::response(int64_t first_us, int64_t last_us, long seq, uint8_t address,
                       size_t frame_length, const std::vector<uint8_t>& bytes) {
    write_line(head(first_us, "response", seq) + "\t" + std::to_string(address) + "\t" +
               std::to_string(last_us) + "\t" + std::to_string(frame_length) + "\t" +
               zelkSDK::wire::hex(bytes));
}

void Journal::latency(int64_t time_us, long seq, int from_ms, int to_ms) {
    write_line(head(time_us, "latency", seq) + "\t" + std::to_string(from_ms) + "\t" +
               std::to_string(to_ms));
}

}  // namespace sim
