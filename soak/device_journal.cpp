#include "soak/device_journal.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sdk/modbus/wire.hpp"

namespace soak {
namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(text);
    std::string field;
    while (std::getline(in, field, separator)) {
        fields.push_back(field);
    }
    return fields;
}

}  // namespace

bool HeardRequest::has_fault(const std::string& kind) const {
    return std::find(faults.begin(), faults.end(), kind) != faults.end();
}

HeardRequest* DeviceJournal::find(long seq) {
    if (seq < 1 || static_cast<size_t>(seq) > requests.size()) {
        return nullptr;
    }
    return &requests[static_cast<size_t>(seq) - 1];
}

bool DeviceJournal::read(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        error_text = "cannot read the journal " + path;
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::vector<std::string> f = split(line, '\t');
        const std::string where = path + ":" + std::to_string(number);
        if (f.size() < 4) {
            error_text = where + ": too few fields";
            return false;
        }
        const int64_t time = std::strtoll(f[0].c_str(), nullptr, 10);
        const long seq = std::strtol(f[2].c_str(), nullptr, 10);
        if (f[1] == "request" && f.size() == 6) {
            if (seq != static_cast<long>(requests.size()) + 1) {
                error_text = where + ": request out of sequence";
                return false;
            }
            HeardRequest request;
            request.seq = seq;
            request.received_us = time;
            request.first_us = std::strtoll(f[3].c_str(), nullptr, 10);
            request.verdict = f[4];
            if (!zelkSDK::wire::parse_hex(f[5], request.bytes)) {
                error_text = where + ": request bytes are not hex";
                return false;
            }
            requests.push_back(request);
            continue;
        }
        HeardRequest* request = find(seq);
        if (request == nullptr) {
            error_text = where + ": event for an unknown request";
            return false;
        }
        if (f[1] == "write") {
            ++request->writes;
        } else if (f[1] == "stream") {
            request->streamed = true;
        } else if (f[1] == "fault" && f.size() == 5) {
            request->faults = split(f[4], ',');
        } else if (f[1] == "response" && f.size() == 7) {
            request->answered = true;
            request->answer_first_us = time;
            request->answer_last_us = std::strtoll(f[4].c_str(), nullptr, 10);
            if (!zelkSDK::wire::parse_hex(f[6], request->answer)) {
                error_text = where + ": response bytes are not hex";
                return false;
            }
            request->frame_length =
                std::min(request->answer.size(), std::strtoul(f[5].c_str(), nullptr, 10));
        } else if (f[1] != "mode") {
            error_text = where + ": unknown event " + f[1];
            return false;
        }
    }
    return true;
}

}  // namespace soak
