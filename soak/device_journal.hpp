// The virtual actuator's journal read back (see sim/journal.hpp for its lines): request by
// request, what the device heard, what it carried out, which faults it applied and which
// bytes it put on the line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

struct HeardRequest {
    long seq = 0;
    int64_t first_us = 0;     // its first byte arrived
    int64_t received_us = 0;  // it had completely arrived
    std::string verdict;      // served, broadcast, other-address, bad-crc, incomplete
    std::vector<uint8_t> bytes;
    int writes = 0;         // write events it caused
    bool streamed = false;  // a stream command was carried out
    std::vector<std::string> faults;
    bool answered = false;  // bytes went on the line in answer
    int64_t answer_first_us = 0;
    int64_t answer_last_us = 0;
    size_t frame_length = 0;      // the answer's frame; the rest of answer are stray bytes
    std::vector<uint8_t> answer;  // everything put on the line

    bool has_fault(const std::string& kind) const;
    std::vector<uint8_t> frame() const {
        return std::vector<uint8_t>(answer.begin(), answer.begin() + frame_length);
    }
};

class DeviceJournal {
  public:
    // False (and why in error()) when the file cannot be read or a line makes no sense.
    bool read(const std::string& path);
    const std::string& error() const { return error_text; }

    std::vector<HeardRequest> requests;  // requests[seq - 1]

  private:
    HeardRequest* find(long seq);
    std::string error_text;
};

}  // namespace soak
