#include "sdk/actuator/bus.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "sdk/actuator/actuator.hpp"
#include "sdk/log/log.hpp"
#include "sdk/serial/chrono_clock.hpp"
#include "sdk/serial/serial_asio.hpp"

namespace zelkSDK {
namespace {

std::atomic<Bus::AbandonCheck> abandon_check{nullptr};

}  // namespace

void Bus::set_abandon_check(AbandonCheck check) {
    abandon_check = check;
}

Bus::Lock Bus::lock() {
    struct Waiting {
        std::atomic<int>& count;
        explicit Waiting(std::atomic<int>& count_) : count(count_) { ++count; }
        ~Waiting() { --count; }
    } waiting(lock_waiters);
    const AbandonCheck check = abandon_check;
    if (check == nullptr) {
        return Lock(mutex);
    }
    // A call told to give up while it waits still takes the bus, and then gives up before
    // it sends anything.
    Lock held(mutex, std::defer_lock);
    while (!held.try_lock_for(std::chrono::microseconds(kAbandonCheckUs))) {
        check(true);
    }
    return held;
}

Bus::Bus() : Bus(std::make_shared<SerialASIO>(), std::make_shared<ChronoClock>()) {}

Bus::Bus(std::shared_ptr<SerialInterface> serial_interface_, std::shared_ptr<Clock> clock_)
    : serial_interface(std::move(serial_interface_)),
      clock_source(std::move(clock_)),
      modbus_client(*serial_interface, *clock_source) {}

Bus::~Bus() {
    stop_streaming();
}

ZelkError Bus::open_serial_port(int port_number, int baud_rate, int interframe_delay) {
    Lock held = lock();
    return modbus_client.open_serial_port(port_number, baud_rate, interframe_delay);
}

ZelkError Bus::open_serial_port(std::string port_path, int baud_rate, int interframe_delay) {
    Lock held = lock();
    return modbus_client.open_serial_port(std::move(port_path), baud_rate, interframe_delay);
}

void Bus::set_local_echo(bool on) {
    Lock held = lock();
    modbus_client.set_local_echo(on);
}

bool Bus::local_echo() {
    Lock held = lock();
    return modbus_client.get_local_echo();
}

void Bus::set_response_timeout_us(int64_t timeout_us) {
    Lock held = lock();
    modbus_client.set_response_timeout_us(timeout_us);
}

int64_t Bus::response_timeout_us() {
    Lock held = lock();
    return modbus_client.get_response_timeout_us();
}

void Bus::set_intercharacter_timeout_us(int64_t timeout_us) {
    Lock held = lock();
    modbus_client.set_intercharacter_timeout_us(timeout_us);
}

int64_t Bus::intercharacter_timeout_us() {
    Lock held = lock();
    return modbus_client.get_intercharacter_timeout_us();
}

void Bus::set_max_resends(int resends) {
    Lock held = lock();
    modbus_client.set_max_resends(resends);
}

int Bus::max_resends() {
    Lock held = lock();
    return modbus_client.get_max_resends();
}

void Bus::set_adapter_latency_us(int64_t latency_us) {
    Lock held = lock();
    modbus_client.set_adapter_latency_us(latency_us);
}

int64_t Bus::get_adapter_latency_us() {
    Lock held = lock();
    return modbus_client.get_adapter_latency_us();
}

std::string Bus::get_adapter_report() {
    Lock held = lock();
    return serial_interface->adapter_report();
}

ZelkError Bus::set_rs485(const Rs485Settings& settings) {
    Lock held = lock();
    return serial_interface->set_rs485(settings);
}

void Bus::close_serial_port() {
    // A blocking call on another thread holds the lock while it waits: end it first.
    serial_interface->interrupt();
    stop_streaming();
    Lock held = lock();
    serial_interface->close_serial_port();
}

ZelkError Bus::begin_serial_logging(const std::string& log_name) {
    auto log = std::make_shared<Log>();
    log->set_verbose_mode(false);
    return begin_serial_logging(log_name, log);
}

ZelkError Bus::begin_serial_logging(const std::string& log_name,
                                    std::shared_ptr<LogInterface> log) {
    Lock held = lock();
    ZelkError open_error = log->open(log_name);
    if (open_error) {
        return open_error;
    }
    modbus_client.begin_logging(std::move(log));
    return no_error();
}

DiagnosticCounters Bus::get_diagnostic_counters() {
    Lock held = lock();
    return modbus_client.get_diagnostic_counters();
}

size_t Bus::actuator_count() {
    Lock held = lock();
    return actuators.size();
}

uint64_t Bus::log_write_failures() {
    Lock held = lock();
    return modbus_client.get_log_write_failures();
}

ZelkError Bus::last_log_error() {
    Lock held = lock();
    return modbus_client.get_last_log_error();
}

bool Bus::line_failed() {
    return serial_interface->line_failed();
}

void Bus::attach(Actuator* actuator) {
    const int address = actuator->get_modbus_server_address();
    if (address > kMaxServerAddress) {
        throw std::invalid_argument("Server address " + std::to_string(address) +
                                    " is out of range: 1 to 247, or 0 to broadcast.");
    }
    Lock held = lock();
    for (const Actuator* attached : actuators) {
        if (attached->get_modbus_server_address() == address) {
            const std::string holder = attached->name != nullptr ? attached->name : "";
            throw std::invalid_argument("Server address " + std::to_string(address) +
                                        " is already taken on this bus (by \"" + holder +
                                        "\"); let that Actuator go first.");
        }
    }
    actuators.push_back(actuator);
}

void Bus::detach(Actuator* actuator) {
    Lock held = lock();
    actuators.erase(std::remove(actuators.begin(), actuators.end(), actuator), actuators.end());
    next_stream_turn = 0;
}

void Bus::run() {
    refuse_while_streaming("run()");
    Lock held = lock();
    run_in();
    run_out();
}

void Bus::run_in() {
    modbus_client.run_in();
    if (!modbus_client.is_response_ready()) {
        return;
    }
    const Transaction done = modbus_client.dequeue_transaction();
    for (Actuator* actuator : actuators) {
        if (actuator->modbus_server_address == done.request_address()) {
            actuator->handle_transaction_response(done);
            return;
        }
    }
}

void Bus::run_out() {
    if (!stream_paused) {
        give_stream_turn();
    }
    modbus_client.run_out();
}

// The next streaming actuator after the one that had the last turn queues its command,
// once the line's queue is empty.
void Bus::give_stream_turn() {
    if (modbus_client.get_queue_size() > 0) {
        return;
    }
    for (size_t tried = 0; tried < actuators.size(); ++tried) {
        const size_t turn = (next_stream_turn + tried) % actuators.size();
        actuators[turn]->take_stream_turn();
        if (modbus_client.get_queue_size() > 0) {
            next_stream_turn = turn + 1;
            return;
        }
    }
}

bool Bus::run_until_queue_empty() {
    struct PauseGuard {
        bool& flag;
        bool saved;
        ~PauseGuard() { flag = saved; }
    } guard{stream_paused, stream_paused};
    stream_paused = true;
    const AbandonCheck check = abandon_check;
    int64_t next_check_us = clock_source->get_time_microseconds() + kAbandonCheckUs;
    bool abandon = check != nullptr && check(false);
    while (modbus_client.get_queue_size() > 0) {
        if (abandon) {
            while (modbus_client.get_queue_size() > 0) {
                modbus_client.dequeue_transaction();
            }
            return false;
        }
        run_in();
        run_out();
        // A finished exchange is handed over by the next pass at once (on a failed line the
        // next request fails at once too): only an exchange still on the line is waited for.
        if (modbus_client.get_queue_size() > 0 && !modbus_client.is_response_ready()) {
            if (check != nullptr && clock_source->get_time_microseconds() >= next_check_us) {
                abandon = check(true);
                next_check_us = clock_source->get_time_microseconds() + kAbandonCheckUs;
                if (abandon) {
                    continue;
                }
            }
            // With a check to ask, no single wait outlasts its interval.
            const int64_t wait_us = time_to_wait_us(INT64_MAX);
            wait(check != nullptr ? std::min(wait_us, kAbandonCheckUs) : wait_us);
        }
    }
    return true;
}

void Bus::run_wait(int64_t max_wait_us) {
    refuse_while_streaming("run_wait()");
    int64_t wait_us = 0;
    {
        Lock held = lock();
        wait_us = pass_and_time_to_wait(max_wait_us);
    }
    // The lock is free while this thread sleeps: blocking calls from other threads go on.
    wait(wait_us);
}

// How long nothing can happen without a byte arriving: until the engine's next time limit,
// at most max_wait_us. A failed line fails every request at once, and the echo of a request
// cannot end before the request has left the wire, so there is nothing to wait for but
// time: a negative value asks for a plain sleep.
int64_t Bus::time_to_wait_us(int64_t max_wait_us) {
    if (max_wait_us <= 0) {
        return 0;
    }
    if (serial_interface->line_failed()) {
        return -std::min<int64_t>(max_wait_us, kFailedLineSleepUs);
    }
    const int64_t now = clock_source->get_time_microseconds();
    const int64_t until_deadline = std::min(modbus_client.next_deadline_us() - now, max_wait_us);
    const int64_t until_echo_end = modbus_client.echo_ends_at_earliest_us() - now;
    if (until_echo_end > 0 && until_deadline > 0) {
        // Each byte of the echo would wake the caller for nothing.
        return -std::min({until_echo_end, until_deadline, kEchoSleepUs});
    }
    return std::max<int64_t>(0, until_deadline);
}

void Bus::wait(int64_t wait_us) {
    if (wait_us < 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(-wait_us));
    } else if (wait_us > 0) {
        serial_interface->wait_to_receive(wait_us);
    }
}

int64_t Bus::pass_and_time_to_wait(int64_t max_wait_us) {
    run_in();
    run_out();
    return time_to_wait_us(max_wait_us);
}

// ---- the bus thread ----

void Bus::refuse_while_streaming(const char* call) const {
    if (thread_running.load()) {
        throw std::logic_error(std::string(call) +
                               " is refused while the bus thread streams: it drives the bus "
                               "alone. Call stop_streaming() first.");
    }
}

void Bus::start_streaming() {
    std::lock_guard<std::mutex> starting(thread_mutex);
    if (thread_running.load()) {
        return;
    }
    if (stream_thread.joinable()) {
        stream_thread.join();  // ended by an error
    }
    {
        Lock held = lock();
        thread_error = no_error();
        // The set-point watchdog's default time-out starts now.
        for (Actuator* actuator : actuators) {
            actuator->rearm_watchdog();
        }
    }
    stop_requested = false;
    thread_running = true;
    stream_thread = std::thread(&Bus::stream_thread_loop, this);
}

void Bus::stop_streaming() {
    std::lock_guard<std::mutex> stopping(thread_mutex);
    stop_requested = true;
    if (stream_thread.joinable()) {
        stream_thread.join();
    }
    thread_running = false;
}

ZelkError Bus::last_error() {
    Lock held = lock();
    return thread_error;
}

// The run_wait() loop, taking the lock itself: lock() asks the abandon check, which is the
// caller's business (in Python it may take the GIL).
void Bus::stream_thread_loop() {
    try {
        while (!stop_requested.load()) {
            if (lock_waiters.load() > 0) {
                std::this_thread::yield();  // the lock is not fair: a waiting call goes first
            }
            int64_t wait_us = 0;
            {
                Lock held(mutex);
                wait_us = pass_and_time_to_wait(kBusThreadWaitUs);
            }
            wait(wait_us);
        }
    } catch (const std::exception& error) {
        keep_thread_error(error.what());
    } catch (...) {
        keep_thread_error("an unknown exception");
    }
    thread_running = false;
}

void Bus::keep_thread_error(const std::string& what) {
    std::string reason = what;
    if (!reason.empty() && reason.back() == '.') {
        reason.pop_back();
    }
    Lock held(mutex);
    thread_error = ZelkError(1, "The bus thread stopped: " + reason + ". ");
    for (Actuator* actuator : actuators) {
        actuator->message_error = thread_error;
    }
}

}  // namespace zelkSDK
