// The Modbus RTU client engine. It keeps a queue of exchanges, hands the front request byte
// by byte to the serial line, collects the response, enforces the protocol's timing by
// comparing clock readings, validates or fails the exchange, resends failed important
// requests, counts diagnostic events and writes every frame to the traffic log.
//
// The engine never blocks and starts no thread. Its owner drives it on one thread:
//   run_in(); if (is_response_ready()) handle(dequeue_transaction()); run_out();
// Every finished transaction must be dequeued this way: a finished front blocks the queue.
#pragma once

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

// Time limits of one exchange, in microseconds.
constexpr int64_t kResponseTimeoutUs = 20000;   // from the last request byte to the first answer
constexpr int64_t kIntercharTimeoutUs = 16000;  // between two response bytes
constexpr int64_t kBroadcastDelayUs = 500;      // after a broadcast, which nobody answers
constexpr int64_t kDefaultInterframeDelayUs = 2000;
// Resends of an important request, at most: it is sent 6 times in all.
constexpr int kMaxRetries = 5;
// Stray bytes dropped before a request is sent, at most, per pass: a line that never stops
// sending must not keep the engine (and a blocking call) in the drain loop for ever.
constexpr int kMaxDrainBytesPerPass = 1024;

enum ConnectionState : int32_t {
    idle = 0,               // free to send the next request
    awaiting_response = 1,  // request handed over, no response byte yet
    receiving = 2,          // response started, not complete
    broadcast_wait = 3,     // broadcast handed over
    interframe_wait = 4,    // exchange ended or port opened; the line must stay quiet
};

class ModbusClient {
  public:
    ModbusClient(SerialInterface& serial_interface, Clock& clock);
    virtual ~ModbusClient() = default;
    ModbusClient(const ModbusClient&) = delete;
    ModbusClient& operator=(const ModbusClient&) = delete;

    virtual void adjust_baud_rate(uint32_t baud_rate);

    // Both clear the queue, whatever the outcome. The interframe delay (microseconds) is
    // adopted only when the port opened; the serial line's error is returned unchanged.
    ZelkError open_serial_port(int port_number, int baud_rate, int interframe_delay);
    ZelkError open_serial_port(std::string port_path, int baud_rate, int interframe_delay);

    // Every frame sent and received is written to log from now on.
    void begin_logging(std::shared_ptr<LogInterface> log);

    // Queues a copy. A transaction without a request (a refused builder) is not queued:
    // returns false.
    bool enqueue_transaction(const Transaction& transaction);
    size_t get_queue_size() const { return message_queue.size(); }
    bool is_response_ready() const { return message_queue.front_is_finished(); }
    Transaction dequeue_transaction() { return message_queue.dequeue(); }

    void run_in();   // receive step
    void run_out();  // send step

    // Which time limit has passed: 1 response, 2 interchar, 3 broadcast, 4 interframe, else 0.
    int check_timeouts();

    ConnectionState get_state() const { return state; }
    const DiagnosticCounters& get_diagnostic_counters() const { return diagnostic_counters; }
    int64_t get_interframe_delay_us() const { return interframe_delay_us; }

  private:
    void set_state(ConnectionState new_state);
    void receive_response_bytes();
    void drain_stale_bytes();
    void send_front_request();
    void finish_transaction();
    void log_transmission(const Transaction& transaction);
    void log_reception(const Transaction& transaction);
    ZelkError adopt_open_result(ZelkError serial_port_error, int interframe_delay);

    DiagnosticCounters diagnostic_counters{};
    SerialInterface& serial_interface;
    Clock& clock;
    std::shared_ptr<LogInterface> log;
    MessageQueue message_queue;
    int64_t response_timeout_us = kResponseTimeoutUs;
    int64_t interchar_timeout_us = kIntercharTimeoutUs;
    int64_t broadcast_delay_us = kBroadcastDelayUs;
    int64_t interframe_delay_us = kDefaultInterframeDelayUs;
    bool logging_enabled = false;
    int64_t state_entered_time_us = 0;
    ConnectionState state = idle;
};

}  // namespace zelkSDK
