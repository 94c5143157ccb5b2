#include "sdk/modbus/modbus_client.hpp"

#include "sdk/modbus/wire.hpp"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

namespace zelkSDK {
namespace {

void append_hex_bytes(std::ostringstream& line, const uint8_t* bytes, int length) {
    if (length > 0) {
        line << '\t' << wire::hex(bytes, static_cast<size_t>(length), "\t");
    }
}

ZelkError refuse_interframe_delay(int interframe_delay) {
    if (interframe_delay >= 0 && interframe_delay <= kMaxInterframeDelayUs) {
        return ZelkError(0, "");
    }
    return ZelkError(1, "Interframe delay " + std::to_string(interframe_delay) +
                            " us is out of range: 0 to " + std::to_string(kMaxInterframeDelayUs) +
                            " us.");
}

int64_t checked_timeout_us(int64_t timeout_us, const char* what) {
    if (timeout_us < 1 || timeout_us > kLongestTimeoutUs) {
        throw std::invalid_argument(std::string(what) + " " + std::to_string(timeout_us) +
                                    " us is out of range: 1 to " +
                                    std::to_string(kLongestTimeoutUs) + " us.");
    }
    return timeout_us;
}

}  // namespace

ModbusClient::ModbusClient(SerialInterface& serial_interface_, Clock& clock_)
    : serial_interface(serial_interface_), clock(clock_) {}

void ModbusClient::adjust_baud_rate(uint32_t new_baud_rate) {
    serial_interface.adjust_baud_rate(new_baud_rate);
    baud_rate = new_baud_rate;
}

ZelkError ModbusClient::open_serial_port(int port_number, int new_baud_rate, int interframe_delay) {
    message_queue.clear();
    if (ZelkError refused = refuse_interframe_delay(interframe_delay)) {
        return refused;
    }
    return adopt_open_result(serial_interface.open_serial_port(port_number, new_baud_rate),
                             new_baud_rate, interframe_delay);
}

ZelkError ModbusClient::open_serial_port(std::string port_path, int new_baud_rate,
                                         int interframe_delay) {
    message_queue.clear();
    if (ZelkError refused = refuse_interframe_delay(interframe_delay)) {
        return refused;
    }
    return adopt_open_result(serial_interface.open_serial_port(std::move(port_path), new_baud_rate),
                             new_baud_rate, interframe_delay);
}

ZelkError ModbusClient::adopt_open_result(ZelkError serial_port_error, int new_baud_rate,
                                          int interframe_delay) {
    if (!serial_port_error) {
        interframe_delay_us = interframe_delay;
        baud_rate = new_baud_rate > 0 ? static_cast<uint32_t>(new_baud_rate) : 0;
        adapter_latency_us =
            std::clamp<int64_t>(serial_interface.adapter_latency_us(), 0, kLongestAdapterLatencyUs);
    }
    // Whatever was on the line before (a late answer to a failed request, a device still
    // talking) must have ended before the first request goes out.
    line_busy_since_us = -1;
    enter_quiet_window(recovery_window_us());
    return serial_port_error;
}

void ModbusClient::set_response_timeout_us(int64_t timeout_us) {
    response_timeout_us = checked_timeout_us(timeout_us, "Response time-out");
}

void ModbusClient::set_intercharacter_timeout_us(int64_t timeout_us) {
    interchar_timeout_us = checked_timeout_us(timeout_us, "Intercharacter time-out");
}

void ModbusClient::set_adapter_latency_us(int64_t latency_us) {
    if (latency_us < 0 || latency_us > kLongestAdapterLatencyUs) {
        throw std::invalid_argument("Adapter latency " + std::to_string(latency_us) +
                                    " us is out of range: 0 to " +
                                    std::to_string(kLongestAdapterLatencyUs) + " us.");
    }
    adapter_latency_us = latency_us;
}

int64_t ModbusClient::effective_intercharacter_timeout_us() const {
    if (adapter_latency_us == 0) {
        return interchar_timeout_us;
    }
    // A pause of up to L between two packets, the characters around it, and a little slack.
    return std::max(interchar_timeout_us, adapter_latency_us + wire_time_us(2) + 1000);
}

void ModbusClient::set_max_resends(int resends) {
    if (resends < 0 || resends > kMostResends) {
        throw std::invalid_argument("Resends " + std::to_string(resends) +
                                    " is out of range: 0 to " + std::to_string(kMostResends) + ".");
    }
    max_resends = resends;
}

void ModbusClient::begin_logging(std::shared_ptr<LogInterface> new_log) {
    log = std::move(new_log);
    logging_enabled = true;
    log_write_failures = 0;
    last_log_error = ZelkError(0, "");
}

bool ModbusClient::enqueue_transaction(const Transaction& transaction) {
    if (!transaction.has_request()) {
        return false;
    }
    message_queue.enqueue(transaction);
    return true;
}

void ModbusClient::enter(ConnectionState new_state) {
    state_entered_time_us = clock.get_time_microseconds();
    state = new_state;
}

void ModbusClient::enter_quiet_window(int64_t window_us) {
    quiet_window_us = window_us;
    enter(ConnectionState::interframe_wait);
}

int64_t ModbusClient::wire_time_us(int count) const {
    return wire::wire_time_us(count, baud_rate);
}

// Every time limit of the engine, as the clock time at which it passes.
int64_t ModbusClient::deadline_us() const {
    const int64_t answer_from_us = std::max(state_entered_time_us, request_off_wire_us);
    const int64_t response_us = effective_response_timeout_us();
    const int64_t interchar_us = effective_intercharacter_timeout_us();
    switch (state) {
        case ConnectionState::awaiting_echo: return request_off_wire_us + response_us;
        case ConnectionState::awaiting_response: return answer_from_us + response_us;
        case ConnectionState::receiving:
            // A copy of the request that began too early for an answer may be its echo, which
            // has until an echo would be late (a slow line's characters are far apart).
            return early_copy ? std::max(state_entered_time_us + interchar_us,
                                         request_off_wire_us + response_us)
                              : state_entered_time_us + interchar_us;
        case ConnectionState::broadcast_wait: return answer_from_us + broadcast_delay_us;
        case ConnectionState::interframe_wait: return state_entered_time_us + quiet_window_us;
        default: return state_entered_time_us;
    }
}

int ModbusClient::check_timeouts() {
    if (state == ConnectionState::idle) {
        return 0;
    }
    return clock.get_time_microseconds() > deadline_us() ? static_cast<int>(state) : 0;
}

int64_t ModbusClient::next_deadline_us() {
    if (bytes_held_in_driver) {
        return clock.get_time_microseconds() + kDriverHandOverWaitUs;
    }
    if (state != ConnectionState::idle) {
        return deadline_us() + 1;
    }
    if (message_queue.front_is_queued() || message_queue.front_is_finished()) {
        return clock.get_time_microseconds();
    }
    return INT64_MAX;
}

// ---- send step ----

void ModbusClient::run_out() {
    if (state == ConnectionState::interframe_wait && check_timeouts() != 0) {
        become_idle();
    }
    if (!message_queue.front_is_queued()) {
        return;
    }
    if (serial_interface.line_failed()) {
        finish_without_exchange(line_lost);
        return;
    }
    if (state != ConnectionState::idle || !line_is_quiet_for_sending()) {
        hold_front_for_busy_line();
        return;
    }
    if (!serial_interface.ready_to_send()) {
        return;
    }
    line_busy_since_us = -1;
    send_front_request();
}

// Drains what waits on the line. Bytes found mean the line is not quiet: the window starts
// again and the request waits.
bool ModbusClient::line_is_quiet_for_sending() {
    if (drain_waiting_bytes() == 0) {
        return true;
    }
    enter_quiet_window(interframe_delay_us);
    return false;
}

// A request held back by a line that never falls quiet fails unsent, so that no caller
// waits for ever on a line that keeps sending.
void ModbusClient::hold_front_for_busy_line() {
    const int64_t now = clock.get_time_microseconds();
    if (line_busy_since_us < 0) {
        line_busy_since_us = now;
    } else if (now - line_busy_since_us > kMaxLineBusyUs + quiet_window_us) {
        line_busy_since_us = -1;
        finish_without_exchange(line_busy);
    }
}

int ModbusClient::drain_waiting_bytes() {
    int drained = 0;
    while (drained < kMaxDrainBytesPerPass && serial_interface.ready_to_receive()) {
        serial_interface.receive_byte();
        increment_diagnostic_counter(diagnostic_counters, bytes_received);
        increment_diagnostic_counter(diagnostic_counters, drained_bytes);
        ++drained;
    }
    return drained;
}

void ModbusClient::send_front_request() {
    Transaction& front = message_queue.front();
    const int64_t wire_us = wire_time_us(front.bytes_left_to_send());
    echo_asked = local_echo;
    echo_unasked = echo_broken = early_copy = false;
    while (front.bytes_left_to_send() > 0) {
        serial_interface.send_byte(front.next_byte_to_send());
        increment_diagnostic_counter(diagnostic_counters, bytes_sent);
        if (front.all_bytes_sent()) {
            enter(echo_asked             ? ConnectionState::awaiting_echo
                  : front.is_broadcast() ? ConnectionState::broadcast_wait
                                         : ConnectionState::awaiting_response);
            request_off_wire_us = state_entered_time_us + wire_us;
        }
    }
    if (logging_enabled) {
        log_transmission(front);
    }
    message_queue.mark_front_sent();
    serial_interface.transmit(static_cast<size_t>(front.expected_response_length));
    increment_diagnostic_counter(diagnostic_counters, messages_sent);
    if (serial_interface.line_failed()) {
        // The request did not go out; it is not sent later either.
        fail_on_lost_line();
    }
}

// ---- receive step ----

void ModbusClient::run_in() {
    if (serial_interface.line_failed()) {
        fail_on_lost_line();
        return;
    }
    receive_response_bytes();
    if (state == ConnectionState::idle) {
        return;
    }
    const bool in_flight = message_queue.front_is_sent();
    if (!in_flight) {
        // Nothing in flight (the owner took the front away early): only the quiet time is left.
        if (state != ConnectionState::interframe_wait) {
            enter_quiet_window(recovery_window_us());
        }
        return;
    }
    const auto timed_out = static_cast<ConnectionState>(check_timeouts());
    if ((timed_out == ConnectionState::awaiting_response ||
         timed_out == ConnectionState::receiving || timed_out == ConnectionState::awaiting_echo) &&
        serial_interface.bytes_in_driver()) {
        // The answer is already in the driver (a busy machine has not run the reader yet):
        // the time limit held, so the exchange waits for those bytes.
        bytes_held_in_driver = true;
        return;
    }
    bytes_held_in_driver = false;
    switch (timed_out) {
        case ConnectionState::awaiting_echo: {
            // An echo that came unasked and broke off is no answer either: a time-out.
            increment_diagnostic_counter(diagnostic_counters,
                                         echo_unasked ? response_timeouts : missing_echoes);
            message_queue.front().mark_failed(echo_unasked ? response_timeout : no_echo);
            finish_transaction();
            break;
        }
        case ConnectionState::awaiting_response: {
            increment_diagnostic_counter(diagnostic_counters, response_timeouts);
            message_queue.front().mark_failed(response_timeout);
            finish_transaction();
            break;
        }
        case ConnectionState::receiving: {
            Transaction& front = message_queue.front();
            if (echo_broken) {
                finish_response(front);
                break;
            }
            if (front.has_known_response_length()) {
                increment_diagnostic_counter(diagnostic_counters, interchar_timeouts);
                front.mark_failed(interchar_timeout);
                increment_diagnostic_counter(diagnostic_counters, unexpected_interchars);
            } else {
                front.validate_response(diagnostic_counters);
            }
            finish_transaction();
            break;
        }
        case ConnectionState::broadcast_wait: {
            // Nobody answers a broadcast: it ends without failure once the delay is over,
            // so its owner dequeues it and the requests behind it go out.
            message_queue.mark_front_finished();
            finish_transaction();
            break;
        }
        default: break;
    }
}

void ModbusClient::receive_response_bytes() {
    const bool in_flight = message_queue.front_is_sent();
    if (!in_flight || state == ConnectionState::broadcast_wait) {
        // Nobody is owed these bytes (a broadcast is never answered): they are drained, and
        // during a quiet window they start it again.
        if (drain_waiting_bytes() > 0 && state != ConnectionState::broadcast_wait) {
            enter_quiet_window(state == ConnectionState::idle ? interframe_delay_us
                                                              : quiet_window_us);
        }
        return;
    }
    Transaction& front = message_queue.front();
    while (serial_interface.ready_to_receive()) {
        if (state == ConnectionState::broadcast_wait) {
            drain_waiting_bytes();  // after the echo of a broadcast, which nobody answers
            return;
        }
        front.append_response_byte(serial_interface.receive_byte());
        increment_diagnostic_counter(diagnostic_counters, bytes_received);
        if (take_echo_byte(front)) {
            if (state == ConnectionState::interframe_wait) {
                return;  // the echo ended the exchange
            }
            continue;
        }
        if (front.response_complete()) {
            finish_response(front);
            return;
        }
        enter(ConnectionState::receiving);
    }
}

// The byte just appended to the front's response, when it belongs to the line's echo of the
// request instead: true when it was taken as such. The echo so far stands in the response
// until it is whole, then leaves it.
bool ModbusClient::take_echo_byte(Transaction& front) {
    const int at = front.rx_length - 1;
    const bool copies = at < front.tx_length && front.rx_buffer[at] == front.tx_buffer[at];
    if (state != ConnectionState::awaiting_echo) {
        if (!is_unasked_echo(front, copies)) {
            return false;
        }
        echo_unasked = true;
        for (int i = 0; i < at; ++i) {
            increment_diagnostic_counter(diagnostic_counters, drained_bytes);
        }
        enter(ConnectionState::awaiting_echo);
    } else if (!copies && echo_unasked) {
        // The copy broke off: it was drained, and this byte begins the answer.
        const uint8_t byte = front.rx_buffer[at];
        front.clear_response();
        front.append_response_byte(byte);
        early_copy = false;
        enter(ConnectionState::awaiting_response);
        return false;
    } else if (!copies) {
        // Collected like an answer from here on, and judged when it ends.
        echo_broken = true;
        return false;
    }
    if (echo_unasked) {
        increment_diagnostic_counter(diagnostic_counters, drained_bytes);
    }
    if (front.rx_length < front.tx_length) {
        return true;
    }
    front.clear_response();
    if (echo_unasked) {
        front.mark_failed(line_echoes);
        finish_transaction();
    } else {
        enter(front.is_broadcast() ? ConnectionState::broadcast_wait
                                   : ConnectionState::awaiting_response);
    }
    return true;
}

// Without local echo: whether the response so far is the line's echo of the request (see
// the header). Reads the clock only while the response may still be one.
bool ModbusClient::is_unasked_echo(const Transaction& front, bool copies) {
    if (echo_asked || baud_rate == 0 || (front.rx_length > 1 && !early_copy)) {
        return false;
    }
    const int64_t now = clock.get_time_microseconds();
    early_copy = copies && (front.rx_length > 1 || now < request_off_wire_us);
    if (!early_copy) {
        return false;
    }
    return now >= request_off_wire_us ||
           (front.rx_length < front.tx_length && front.response_complete());
}

// A response has ended: validated, or, when it came in the echo's place, judged: a clean
// answer means the line does not echo.
void ModbusClient::finish_response(Transaction& front) {
    if (echo_broken) {
        const bool answer = front.response_address() == front.request_address() &&
                            front.crc_valid() && front.response_matches_request();
        increment_diagnostic_counter(diagnostic_counters,
                                     answer ? missing_echoes : echo_mismatches);
        front.mark_failed(answer ? no_echo : echo_mismatch);
    } else {
        front.validate_response(diagnostic_counters);
    }
    finish_transaction();
}

void ModbusClient::finish_transaction() {
    Transaction& front = message_queue.front();
    if (front.has_no_failures()) {
        enter_quiet_window(interframe_delay_us);
    } else if (front.failure_flags & (1u << response_timeout)) {
        enter_quiet_window(late_answer_window_us());
    } else {
        enter_quiet_window(recovery_window_us());
    }
    if (logging_enabled) {
        log_reception(front);
    }
    const bool failed = !front.has_no_failures() || front.is_exception_response();
    if (failed && front.retry_on_failure && front.num_retries < max_resends) {
        message_queue.insert_retry(front.make_retry());
    }
}

// The front fails before (or instead of) an exchange on the line; it is never resent.
void ModbusClient::finish_without_exchange(TransactionFailure failure) {
    Transaction& front = message_queue.front();
    front.mark_failed(failure);
    if (logging_enabled) {
        log_reception(front);
    }
    become_idle();
}

void ModbusClient::fail_on_lost_line() {
    if (message_queue.size() == 0) {
        become_idle();
        return;
    }
    if (message_queue.front_is_sent() || message_queue.front_is_queued()) {
        finish_without_exchange(line_lost);
    }
}

// ---- traffic log ----

void ModbusClient::log_transmission(const Transaction& transaction) {
    std::ostringstream line;
    line << clock.get_time_microseconds() << "\ttx";
    append_hex_bytes(line, transaction.tx_buffer, transaction.tx_length);
    write_log_line(line.str());
}

void ModbusClient::log_reception(const Transaction& transaction) {
    std::ostringstream line;
    line << clock.get_time_microseconds() << "\trx";
    append_hex_bytes(line, transaction.rx_buffer, transaction.rx_length);
    if (transaction.failure_flags != 0) {
        line << '\t' << wire::log_failure_text(transaction.failure_flags);
    }
    write_log_line(line.str());
}

void ModbusClient::write_log_line(const std::string& line) {
    ZelkError error = log->write(line);
    if (!error) {
        return;
    }
    if (log_write_failures++ == 0) {
        std::cerr << "Serial traffic log: " << error.what()
                  << " Later failures are counted, not printed." << std::endl;
    }
    last_log_error = std::move(error);
}

}  // namespace zelkSDK
