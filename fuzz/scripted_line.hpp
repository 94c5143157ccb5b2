// The engine fuzzer's serial line. It records every frame the engine transmits with the
// clock time it was handed over, and delivers bytes only as a script says: when the engine
// polls ready_to_receive, the line plays the script's events in order (deliver bytes, answer
// the last request in some way, jump the clock, hold until the next transmit). Every byte
// is filed under the transmit it followed, so the harness can tell which frames a response
// may have come from. The line itself checks the SerialInterface contract and the rule that
// nothing is transmitted while received bytes wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "fuzz/scripted_clock.hpp"
#include "fuzz/wire_check.hpp"
#include "sdk/serial/serial_interface.hpp"

namespace fuzz {

// Ways of answering the last request (or the one before it).
enum class Answer : uint8_t {
    correct = 0,
    bad_count = 1,  // read: byte count off; write: echo altered; stream: a byte more or less
    exception = 2,
    wrong_function = 3,
    wrong_address = 4,
    bad_crc = 5,
    truncated = 6,
    trailing_bytes = 7,  // the correct answer followed by stray bytes
    previous = 8,        // the correct answer to the request before the last one
    kinds = 9,
};

struct LineEvent {
    enum Kind { deliver, advance, respond, wait_for_transmit } kind = deliver;
    Bytes bytes;          // deliver
    int64_t micros = 0;   // advance
    Answer answer{};      // respond
    uint8_t tweak = 0;    // respond: the altered field's value, a cut point
    uint8_t seed = 0;     // respond: register values and telemetry
    uint8_t split = 0;    // respond: deliver in two parts cut here (0: whole)
    uint32_t gap_us = 0;  // respond: the pause between the two parts
    size_t armed_at = 0;  // transmits seen when the event reached the head of the script
};

struct Transmit {
    Bytes frame;
    int64_t time_us = 0;
    Bytes followed;                // bytes delivered after this transmit and before the next one
    size_t deliveries_before = 0;  // deliveries (see ScriptedLine::delivery_times) before it
};

class ScriptedLine : public zelkSDK::SerialInterface {
  public:
    explicit ScriptedLine(ScriptedClock& clock);

    zelkSDK::ZelkError open_serial_port(std::string port_path, int baud_rate) override;
    zelkSDK::ZelkError open_serial_port(int port_number, int baud_rate) override;
    void close_serial_port() override {}
    void adjust_baud_rate(uint32_t) override {}
    bool ready_to_send() override { return true; }
    void send_byte(uint8_t byte) override;
    void transmit(size_t expected_response_length) override;
    bool ready_to_receive() override;
    uint8_t receive_byte() override;

    void add_event(LineEvent event);
    // Puts bytes on the line at once, outside the script (they wait until read).
    void deliver(const Bytes& bytes);

    const std::vector<Transmit>& transmits() const { return sent; }
    size_t waiting() const { return incoming.size() - taken_from_incoming; }
    uint64_t bytes_taken() const { return taken; }
    uint64_t bytes_handed_over() const { return handed_over; }
    int baud_rate() const { return baud; }
    // The clock time of every delivery, in order.
    const std::vector<int64_t>& delivery_times() const { return deliveries; }

    bool check_quiet_before_transmit = true;

  private:
    void play_script();
    void pop_event();
    void respond(const LineEvent& event);

    ScriptedClock& clock;
    std::deque<LineEvent> script;
    std::vector<Transmit> sent;
    Bytes pending;
    Bytes incoming;
    size_t taken_from_incoming = 0;
    Bytes before_first_transmit;
    uint64_t taken = 0;
    std::vector<int64_t> deliveries;
    uint64_t handed_over = 0;
    int baud = 19200;
};

// Prints the violation, and the script's record when FERRUN_FUZZ_TRACE is set, then aborts.
[[noreturn]] void violation(const std::string& what);
bool tracing();
std::string hex(const Bytes& bytes);

}  // namespace fuzz
