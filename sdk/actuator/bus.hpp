// One serial line and its Modbus engine, shared by every Actuator attached to it: a single
// actuator on its own line (an Actuator made without a bus owns a bus of one), or several
// actuators with their own server addresses on one RS-485 line.
//
// The bus owns the line, the engine, the traffic log and the lock. Every exchange on the
// line goes through its one engine, one at a time, and every finished exchange is handed to
// the actuator whose address it was sent to. Blocking calls from any actuator on the bus and
// from any thread are serialised by the lock; a blocking call pauses streaming and slots in
// between stream exchanges.
//
// Stream mode: every attached actuator with streaming enabled gets one stream exchange per
// bus cycle, in the order they were attached. An actuator that stops answering stays in the
// cycle (its failures show in its last error and in the counters).
//
// Server addresses: 1 to 247 for one device, 0 for a broadcast actuator (nobody answers it).
// Each address is taken by one actuator at a time: attaching a second one at an address in
// use, or one outside 0..247, throws std::invalid_argument, so an answer can never reach an
// actuator that did not ask for it.
//
// Waiting: run() never blocks. run_wait(max_wait_us) runs one pass and then sleeps until a
// byte arrives, the engine's next time limit passes, or max_wait_us is over, so a plain
// loop of it streams at the line's pace without burning a core.
//
// The bus thread: start_streaming() runs that loop on a thread of the bus's own, so the
// stream keeps the line's pace whatever the caller's thread does (the thread never enters
// Python). Blocking calls from any thread slot in between its passes as they do between
// run_wait() passes. While it runs, run() and run_wait() are refused: it drives the bus
// alone. stop_streaming(), close_serial_port() and the destructor stop it first.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/log/log_interface.hpp"
#include "sdk/modbus/diagnostic_counters.hpp"
#include "sdk/modbus/modbus_client.hpp"
#include "sdk/serial/clock.hpp"
#include "sdk/serial/serial_interface.hpp"
#include "sdk/types/zelk_error.hpp"

namespace zelkSDK {

class Actuator;

// The longest sleep of a waiting call on a failed line.
constexpr int64_t kFailedLineSleepUs = 10000;
// The longest sleep through the echo of a request, which wakes for none of its bytes.
constexpr int64_t kEchoSleepUs = 5000;
// The highest Modbus server address a device may have; 0 is the broadcast address.
constexpr int kMaxServerAddress = 247;
// How often a blocking call asks whether it should be abandoned, at most.
constexpr int64_t kAbandonCheckUs = 25000;
// The bus thread's longest wait between passes: what a stop waits for at most on a line
// where nothing streams.
constexpr int64_t kBusThreadWaitUs = 5000;

class Bus {
  public:
    // Asked on the waiting thread while a call waits for the bus's lock and between the
    // waits of a blocking call, at most every kAbandonCheckUs (look_again true), and at the
    // start of a blocking call's exchange (false: only whether this call was already told to
    // give up). True abandons the call: its exchanges leave the queue (one on the line is
    // left to the recovery window) and it fails. The Python binding uses it to end a blocking
    // call at Ctrl-C. None by default.
    using AbandonCheck = bool (*)(bool look_again);
    static void set_abandon_check(AbandonCheck check);

    // Makes its own SerialASIO and ChronoClock.
    Bus();
    Bus(std::shared_ptr<SerialInterface> serial_interface, std::shared_ptr<Clock> clock);
    // Stops the bus thread first.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Two-wire lines and time limits (see ModbusClient), from the next request on: local
    // echo (off by default); the response and intercharacter time-outs, 1 us to 10 s
    // (20000 and 16000 us by default; the recovery windows follow the response time-out);
    // the resends of an important request, 0 (sent once) to 20 (5 by default). A value out
    // of range throws std::invalid_argument and changes nothing.
    void set_local_echo(bool on);
    bool local_echo();
    void set_response_timeout_us(int64_t timeout_us);
    int64_t response_timeout_us();
    void set_intercharacter_timeout_us(int64_t timeout_us);
    int64_t intercharacter_timeout_us();
    void set_max_resends(int resends);
    int max_resends();
    // The latency of a USB-serial adapter behind the line, 0 to 1,000,000 us (0: none), for
    // which the time limits budget (see ModbusClient): each open sets it from what it found
    // (the latency timer after low-latency mode on Linux, the driver's registry value on
    // Windows); set it after opening for an adapter the SDK cannot see into. A value out of
    // range throws std::invalid_argument and changes nothing.
    void set_adapter_latency_us(int64_t latency_us);
    int64_t get_adapter_latency_us();
    // One line: what the last open found of the adapter and did to lower its latency.
    std::string get_adapter_report();
    // Transmitter direction control of the port as it is open now (see Rs485Settings and
    // SerialASIO). Settings no line can have throw std::invalid_argument; a port that
    // cannot take them (a pseudo-terminal, most USB adapters) fails with its name and the
    // system's reason and goes on as before.
    ZelkError set_rs485(const Rs485Settings& settings);

    // Opening clears the queue; close goes straight to the serial line.
    ZelkError open_serial_port(int port_number, int baud_rate, int interframe_delay);
    ZelkError open_serial_port(std::string port_path, int baud_rate, int interframe_delay);
    void close_serial_port();

    // Serial traffic log for the whole line (every frame carries its server address). The
    // first form makes its own Log file.
    ZelkError begin_serial_logging(const std::string& log_name);
    ZelkError begin_serial_logging(const std::string& log_name, std::shared_ptr<LogInterface> log);

    // One pass: hand a finished exchange to its actuator, give the next streaming actuator
    // its turn, let the engine send.
    void run();
    // run(), then sleep until something can happen, for at most max_wait_us.
    // Both throw std::logic_error while the bus thread runs.
    void run_wait(int64_t max_wait_us);

    // The bus thread (see the top of this file). Starting a bus that streams changes
    // nothing. An exception inside the thread ends it and is kept, as a failed ZelkError,
    // in last_error() and in the last error of every actuator on the bus; the next start
    // clears it. Never call stop_streaming() while holding the bus's lock.
    void start_streaming();
    void stop_streaming();
    bool is_streaming() const { return thread_running.load(); }
    // What ended the bus thread; no_error() while nothing did.
    ZelkError last_error();

    DiagnosticCounters get_diagnostic_counters();
    size_t actuator_count();
    // Writes the traffic log could not make (a full disk, a broken file): how many, and the
    // last one's text. The exchanges themselves go on; no_error() while every write held.
    uint64_t log_write_failures();
    ZelkError last_log_error();
    // True once the line can carry no more bytes until it is opened again (never opened,
    // closed, or lost); the last error of the next exchange says why.
    bool line_failed();

    // For the actuators on the bus.
    using Lock = std::unique_lock<std::recursive_timed_mutex>;
    // Waits for the bus; a wait is asked about abandoning now and then (see AbandonCheck).
    Lock lock();
    ModbusClient& client() { return modbus_client; }
    SerialInterface& serial() { return *serial_interface; }
    Clock& clock() { return *clock_source; }
    // Throws std::invalid_argument for an address outside 0..247 or one already taken.
    void attach(Actuator* actuator);
    void detach(Actuator* actuator);
    // Drives the engine until every queued exchange is finished and handed over; streaming
    // pauses meanwhile. The caller holds the lock. False when the call was abandoned.
    bool run_until_queue_empty();
    void run_in();
    void run_out();

  private:
    void give_stream_turn();
    int64_t time_to_wait_us(int64_t max_wait_us);
    void wait(int64_t wait_us);
    // One pass of run_wait() under the lock; how long to wait after it.
    int64_t pass_and_time_to_wait(int64_t max_wait_us);
    void refuse_while_streaming(const char* call) const;
    void stream_thread_loop();
    void keep_thread_error(const std::string& what);

    std::shared_ptr<SerialInterface> serial_interface;
    std::shared_ptr<Clock> clock_source;
    ModbusClient modbus_client;
    std::recursive_timed_mutex mutex;
    std::vector<Actuator*> actuators;  // in the order they were attached
    size_t next_stream_turn = 0;
    bool stream_paused = false;

    std::mutex thread_mutex;  // one start or stop at a time
    std::thread stream_thread;
    std::atomic<bool> stop_requested{false};
    std::atomic<bool> thread_running{false};
    std::atomic<int> lock_waiters{0};  // callers waiting in lock(): the thread lets them go first
    ZelkError thread_error = no_error();  // under the lock
};

}  // namespace zelkSDK
