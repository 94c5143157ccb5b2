#include "sdk/modbus/modbus_client.hpp"

#include <sstream>
#include <utility>

namespace zelkSDK {
namespace {

void append_hex_bytes(std::ostringstream& line, const uint8_t* bytes, int length) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < length; ++i) {
        line << '\t' << kDigits[bytes[i] >> 4] << kDigits[bytes[i] & 0x0F];
    }
}

}  // namespace

ModbusClient::ModbusClient(SerialInterface& serial_interface_, Clock& clock_)
    : serial_interface(serial_interface_), clock(clock_) {}

void ModbusClient::adjust_baud_rate(uint32_t baud_rate) {
    serial_interface.adjust_baud_rate(baud_rate);
}

ZelkError ModbusClient::open_serial_port(int port_number, int baud_rate, int interframe_delay) {
    message_queue.clear();
    set_state(interframe_wait);
    return adopt_open_result(serial_interface.open_serial_port(port_number, baud_rate),
                             interframe_delay);
}

ZelkError ModbusClient::open_serial_port(std::string port_path, int baud_rate,
                                         int interframe_delay) {
    message_queue.clear();
    set_state(interframe_wait);
    return adopt_open_result(serial_interface.open_serial_port(std::move(port_path), baud_rate),
                             interframe_delay);
}

ZelkError ModbusClient::adopt_open_result(ZelkError serial_port_error, int interframe_delay) {
    if (!serial_port_error) {
        interframe_delay_us = interframe_delay;
    }
    return serial_port_error;
}

void ModbusClient::begin_logging(std::shared_ptr<LogInterface> new_log) {
    log = std::move(new_log);
    logging_enabled = true;
}

bool ModbusClient::enqueue_transaction(const Transaction& transaction) {
    if (!transaction.has_request()) {
        return false;
    }
    message_queue.enqueue(transaction);
    return true;
}

void ModbusClient::set_state(ConnectionState new_state) {
    if (new_state != idle) {
        state_entered_time_us = clock.get_time_microseconds();
    }
    state = new_state;
}

int ModbusClient::check_timeouts() {
    const int64_t elapsed = clock.get_time_microseconds() - state_entered_time_us;
    switch (state) {
        case awaiting_response: return elapsed > response_timeout_us ? 1 : 0;
        case receiving: return elapsed > interchar_timeout_us ? 2 : 0;
        case broadcast_wait: return elapsed > broadcast_delay_us ? 3 : 0;
        case interframe_wait: return elapsed > interframe_delay_us ? 4 : 0;
        default: return 0;
    }
}

void ModbusClient::run_out() {
    if (state != idle) {
        if (check_timeouts() != 4) {
            return;
        }
        drain_stale_bytes();
    }
    state = idle;
    if (!message_queue.front_is_queued() || !serial_interface.ready_to_send()) {
        return;
    }
    send_front_request();
}

void ModbusClient::drain_stale_bytes() {
    for (int i = 0; i < kMaxDrainBytesPerPass && serial_interface.ready_to_receive(); ++i) {
        serial_interface.receive_byte();
    }
}

void ModbusClient::send_front_request() {
    Transaction& front = message_queue.front();
    while (front.bytes_left_to_send() > 0) {
        serial_interface.send_byte(front.next_byte_to_send());
        increment_diagnostic_counter(diagnostic_counters, bytes_sent);
        if (front.all_bytes_sent()) {
            set_state(front.is_broadcast() ? broadcast_wait : awaiting_response);
        }
    }
    if (logging_enabled) {
        log_transmission(front);
    }
    message_queue.mark_front_sent();
    serial_interface.transmit(static_cast<size_t>(front.expected_response_length));
    increment_diagnostic_counter(diagnostic_counters, messages_sent);
}

void ModbusClient::run_in() {
    receive_response_bytes();
    if (state == idle) {
        return;
    }
    if (message_queue.size() == 0) {
        // Nothing in flight (the owner took the front away early): only the quiet time is left.
        if (state != interframe_wait) {
            set_state(interframe_wait);
        }
        return;
    }
    switch (check_timeouts()) {
        case 1: {
            increment_diagnostic_counter(diagnostic_counters, response_timeouts);
            message_queue.front().mark_failed(response_timeout);
            finish_transaction();
            break;
        }
        case 2: {
            Transaction& front = message_queue.front();
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
        case 3: {
            // Nobody answers a broadcast: it ends without failure once the delay is over,
            // so its owner dequeues it and the requests behind it go out.
            Transaction& front = message_queue.front();
            if (front.state == sent) {
                front.state = finished;
                finish_transaction();
            } else {
                set_state(interframe_wait);
            }
            break;
        }
        default: break;
    }
}

void ModbusClient::receive_response_bytes() {
    if (message_queue.size() == 0 || message_queue.front().state != sent) {
        return;
    }
    Transaction& front = message_queue.front();
    while (serial_interface.ready_to_receive()) {
        front.append_response_byte(serial_interface.receive_byte());
        increment_diagnostic_counter(diagnostic_counters, bytes_received);
        if (front.response_complete()) {
            front.validate_response(diagnostic_counters);
            finish_transaction();
            return;
        }
        set_state(receiving);
    }
}

void ModbusClient::finish_transaction() {
    set_state(interframe_wait);
    Transaction& front = message_queue.front();
    if (logging_enabled) {
        log_reception(front);
    }
    const bool failed = !front.has_no_failures() || front.is_exception_response();
    if (failed && front.retry_on_failure && front.num_retries < kMaxRetries) {
        message_queue.insert_retry(front.make_retry());
    }
}

void ModbusClient::log_transmission(const Transaction& transaction) {
    std::ostringstream line;
    line << clock.get_time_microseconds() << "\ttx";
    append_hex_bytes(line, transaction.tx_buffer, transaction.tx_length);
    log->write(line.str());
}

void ModbusClient::log_reception(const Transaction& transaction) {
    std::ostringstream line;
    line << clock.get_time_microseconds() << "\trx";
    append_hex_bytes(line, transaction.rx_buffer, transaction.rx_length);
    const uint8_t flags = transaction.failure_flags;
    if (flags != 0) {
        line << '\t';
        if (flags & 0x10)
            line << "Timed out. ";
        if (flags & 0x08)
            line << "Unexpected interchar. ";
        if (flags & 0x20)
            line << "Wrong address. ";
        if (flags & 0x40)
            line << "Wrong CRC. ";
    }
    log->write(line.str());
}

}  // namespace zelkSDK
