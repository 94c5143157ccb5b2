// The Modbus RTU client engine. It keeps a queue of exchanges, hands the front request byte
// by byte to the serial line, collects the response, enforces the protocol's timing by
// comparing clock readings, validates or fails the exchange, resends failed important
// requests, counts diagnostic events and writes every frame to the traffic log.
//
// The engine never blocks and starts no thread. Its owner drives it on one thread:
//   run_in(); if (is_response_ready()) handle(dequeue_transaction()); run_out();
// Every finished transaction must be dequeued this way: a finished front blocks the queue.
// Between passes an owner that has nothing else to do may sleep until next_deadline_us()
// or until a byte arrives, whichever comes first.
//
// Timing on the line:
// - The response time-out counts from the moment the request has left the wire: the
//   hand-over time plus the request's wire time at the line's baud rate (11 bits a
//   character). A broadcast's delay counts the same way.
// - Local echo (a two-wire line whose adapter hears its own transmitter): the request must
//   come back first, byte for byte, within the response time-out after it has left the
//   wire; the time-out of the answer then counts from the echo's end, or from the moment
//   the request has left the wire if that is later. What comes back in its place fails the
//   exchange: a clean answer with no_echo (the line does not echo), anything else with
//   echo_mismatch. The echo is never logged as an answer.
// - Without local echo, an answer cannot begin before its request has left the wire, and a
//   line's echo of the request cannot end before it: a copy of the request that began
//   before and goes on after is the echo (drained and counted), and fails the exchange with
//   line_echoes. A copy that arrives whole before is too fast for any wire: the answer of
//   a device on a pseudo-terminal.
// - After every exchange the line must stay quiet for a window before the next request goes
//   out: the interframe delay after a clean exchange, the recovery window (at least the
//   response time-out) after a failed one and after the port is opened, twice that after a
//   time-out (a late answer may still be coming), so a late answer to the failed request is
//   drained instead of being taken for the answer to the next one. Every byte that arrives
//   in the window is drained (counted as received and as drained) and restarts it.
// - Nothing is sent while bytes wait on the line: bytes found before a send are drained and
//   restart the window. A request held back longer than kMaxLineBusyUs (plus the window)
//   by a line that never falls quiet fails with line_busy without being sent.
// - A time limit that passes while the answer's bytes already wait in the operating system's
//   driver (a busy machine has not run the serial reader yet) waits for those bytes.
// - A USB-serial adapter between the line and the host hands bytes over in packets, when its
//   buffer fills or its latency timer ticks: an answer reaches the engine up to the
//   adapter's latency L late, and a healthy one may pause for up to L between two of its
//   bytes. With L known (open takes it from the serial line, set_adapter_latency_us()
//   replaces it) the response time-out is the chosen one + L, and so is the echo's; the
//   recovery windows follow it; the intercharacter limit is the larger of the chosen one and
//   L + two character times + 1 ms. With L = 0 the chosen limits apply as they are.
// - When the serial line reports that it failed (unplugged, closed, a write failed), the
//   exchange in flight and every queued one fail at once with line_lost, and none is resent.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sdk/log/log_interface.hpp"
#include "sdk/modbus/diagnostic_counters.hpp"
#include "sdk/modbus/message_queue.hpp"
#include "sdk/modbus/transaction.hpp"
#include "sdk/serial/clock.hpp"
#include "sdk/serial/serial_interface.hpp"
#include "sdk/types/zelk_error.hpp"

namespace zelkSDK {

// Time limits of one exchange, in microseconds: the defaults, which an owner may change, and
// which the engine widens for a USB-serial adapter's latency (see the top of this file).
constexpr int64_t kResponseTimeoutUs = 20000;   // from the last request byte to the first answer
constexpr int64_t kIntercharTimeoutUs = 16000;  // between two response bytes
// The longest time-out an owner may choose: 10 s.
constexpr int64_t kLongestTimeoutUs = 10'000'000;
// The longest adapter latency an owner may give: a second (the common chips' timers go to
// 255 ms).
constexpr int64_t kLongestAdapterLatencyUs = 1'000'000;
constexpr int64_t kBroadcastDelayUs = 500;  // after a broadcast, which nobody answers
constexpr int64_t kDefaultInterframeDelayUs = 2000;
// The longest interframe delay a port accepts at open: a second.
constexpr int kMaxInterframeDelayUs = 1000000;
// Resends of an important request, at most, by default: it is sent 6 times in all. An owner
// may choose 0 (sent once) to kMostResends.
constexpr int kMaxRetries = 5;
constexpr int kMostResends = 20;
// Stray bytes dropped before a request is sent, at most, per pass: a line that never stops
// sending must not keep the engine (and a blocking call) in the drain loop for ever.
constexpr int kMaxDrainBytesPerPass = 1024;
// A request waits at most this long for a line that keeps receiving bytes to fall quiet.
constexpr int64_t kMaxLineBusyUs = 500000;
// How long to wait for the serial line to hand over bytes its driver already holds, before
// the time limits are looked at again.
constexpr int64_t kDriverHandOverWaitUs = 1000;

enum class ConnectionState : int32_t {
    idle = 0,               // free to send the next request
    awaiting_response = 1,  // request handed over, no response byte yet
    receiving = 2,          // response started, not complete
    broadcast_wait = 3,     // broadcast handed over
    interframe_wait = 4,    // exchange ended, stray bytes seen or port opened; the line must
                            // stay quiet for the window
    awaiting_echo = 5,      // request handed over; its echo comes back first
};

class ModbusClient {
  public:
    ModbusClient(SerialInterface& serial_interface, Clock& clock);
    virtual ~ModbusClient() = default;
    ModbusClient(const ModbusClient&) = delete;
    ModbusClient& operator=(const ModbusClient&) = delete;

    virtual void adjust_baud_rate(uint32_t baud_rate);

    // Both clear the queue, whatever the outcome. The interframe delay (microseconds) is
    // adopted only when the port opened; the serial line's error is returned unchanged. A
    // delay outside 0..kMaxInterframeDelayUs is refused before the port is touched.
    ZelkError open_serial_port(int port_number, int baud_rate, int interframe_delay);
    ZelkError open_serial_port(std::string port_path, int baud_rate, int interframe_delay);

    // Every frame sent and received is written to log from now on. A write the log refuses
    // does not fail the exchange: it is counted, its text kept, and the first one of each
    // log is reported in one line on standard error.
    void begin_logging(std::shared_ptr<LogInterface> log);
    uint64_t get_log_write_failures() const { return log_write_failures; }
    ZelkError get_last_log_error() const { return last_log_error; }

    // Queues a copy. A transaction without a request (a refused builder) is not queued:
    // returns false.
    bool enqueue_transaction(const Transaction& transaction);
    size_t get_queue_size() const { return message_queue.size(); }
    bool is_response_ready() const { return message_queue.front_is_finished(); }
    Transaction dequeue_transaction() { return message_queue.dequeue(); }

    void run_in();   // receive step
    void run_out();  // send step

    // Which time limit has passed: 1 response, 2 interchar, 3 broadcast, 4 quiet window,
    // 5 echo (the ConnectionState whose limit it is), else 0.
    int check_timeouts();
    // The clock time at which the engine next has something to do without a byte arriving:
    // a time limit passing, or now when a request is ready to go out. INT64_MAX when
    // nothing is queued and no limit runs.
    int64_t next_deadline_us();
    // Until this clock time bytes that arrive need no look: the request's echo is coming
    // back, and cannot end before the request has left the wire. 0 when bytes may matter.
    int64_t echo_ends_at_earliest_us() const {
        return state == ConnectionState::awaiting_echo && echo_asked ? request_off_wire_us : 0;
    }

    // The recovery window after a failed exchange and after opening: at least the response
    // time-out. After a time-out, twice that: the device may still be answering.
    int64_t recovery_window_us() const {
        return std::max(interframe_delay_us, effective_response_timeout_us());
    }
    int64_t late_answer_window_us() const {
        return std::max(interframe_delay_us, 2 * effective_response_timeout_us());
    }
    // How long count characters take on the wire at the line's baud rate (0 if unknown).
    int64_t wire_time_us(int count) const;

    // The line echoes every request (off by default); applies from the next request on.
    void set_local_echo(bool on) { local_echo = on; }
    bool get_local_echo() const { return local_echo; }
    // The time limits (1 us to kLongestTimeoutUs) and the resends of an important request
    // (0 to kMostResends); anything else throws std::invalid_argument and changes nothing.
    // The recovery windows follow the response time-out. The Python binding also shortens
    // it for a single read that sweeps the addresses of a bus, where most never answer.
    void set_response_timeout_us(int64_t timeout_us);
    void set_intercharacter_timeout_us(int64_t timeout_us);
    void set_max_resends(int resends);
    int64_t get_response_timeout_us() const { return response_timeout_us; }
    int64_t get_intercharacter_timeout_us() const { return interchar_timeout_us; }
    int get_max_resends() const { return max_resends; }
    // The adapter's latency (see the top of this file), 0 to kLongestAdapterLatencyUs;
    // anything else throws std::invalid_argument and changes nothing. Each open that
    // succeeds replaces it with what the serial line found.
    void set_adapter_latency_us(int64_t latency_us);
    int64_t get_adapter_latency_us() const { return adapter_latency_us; }
    // The limits that apply: the chosen ones with the adapter's latency budgeted.
    int64_t effective_response_timeout_us() const {
        return response_timeout_us + adapter_latency_us;
    }
    int64_t effective_intercharacter_timeout_us() const;

    ConnectionState get_state() const { return state; }
    const DiagnosticCounters& get_diagnostic_counters() const { return diagnostic_counters; }
    int64_t get_interframe_delay_us() const { return interframe_delay_us; }

  private:
    // Every state change goes through these: enter() starts a state's time limit now,
    // enter_quiet_window() starts the quiet time of a window of its own length.
    void enter(ConnectionState new_state);
    void enter_quiet_window(int64_t window_us);
    void become_idle() { state = ConnectionState::idle; }
    // When the time limit of the current state passes (meaningless while idle).
    int64_t deadline_us() const;
    void receive_response_bytes();
    bool take_echo_byte(Transaction& front);
    bool is_unasked_echo(const Transaction& front, bool copies);
    void finish_response(Transaction& front);
    int drain_waiting_bytes();
    bool line_is_quiet_for_sending();
    void hold_front_for_busy_line();
    void fail_on_lost_line();
    void send_front_request();
    void finish_transaction();
    void finish_without_exchange(TransactionFailure failure);
    void log_transmission(const Transaction& transaction);
    void log_reception(const Transaction& transaction);
    void write_log_line(const std::string& line);
    ZelkError adopt_open_result(ZelkError serial_port_error, int new_baud_rate,
                                int interframe_delay);

    DiagnosticCounters diagnostic_counters{};
    SerialInterface& serial_interface;
    Clock& clock;
    std::shared_ptr<LogInterface> log;
    MessageQueue message_queue;
    int64_t response_timeout_us = kResponseTimeoutUs;
    int64_t interchar_timeout_us = kIntercharTimeoutUs;
    int64_t adapter_latency_us = 0;
    int64_t broadcast_delay_us = kBroadcastDelayUs;
    int64_t interframe_delay_us = kDefaultInterframeDelayUs;
    int64_t quiet_window_us = kDefaultInterframeDelayUs;  // of the interframe_wait now running
    int max_resends = kMaxRetries;
    bool local_echo = false;
    // The request in flight: when it has left the wire; whether its echo was asked for, came
    // unasked, or broke off; whether its answer so far began too early and copies it.
    int64_t request_off_wire_us = 0;
    bool echo_asked = false;
    bool echo_unasked = false;
    bool echo_broken = false;
    bool early_copy = false;
    int64_t line_busy_since_us = -1;    // a ready request has been held by a busy line since
    bool bytes_held_in_driver = false;  // a time-out waits for bytes the driver holds
    uint32_t baud_rate = 0;
    bool logging_enabled = false;
    uint64_t log_write_failures = 0;
    ZelkError last_log_error = ZelkError(0, "");
    int64_t state_entered_time_us = 0;
    ConnectionState state = ConnectionState::idle;
};

}  // namespace zelkSDK
