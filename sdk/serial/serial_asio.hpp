// The SDK's serial line on asio's serial_port: 8 data bits, even parity, 1 stop bit, no flow
// control.
//
// Sending is synchronous on the caller's thread: transmit() writes the whole request. A
// write that fails drops the request (it is never sent later) and marks the line failed. On
// POSIX a driver that takes no byte for a second (a stuck adapter, a far end that stopped
// reading) fails the write too, and interrupt() ends one that waits for room.
//
// Receiving hands every byte to the receive buffer as soon as it is read: the line is a
// pipe, and the engine alone decides where a response ends. On POSIX the caller's own thread
// reads the port (serial_asio_posix.cpp): ready_to_receive() takes what the driver holds,
// wait_to_receive() sleeps in poll() until a byte arrives, interrupt() or its time is up.
// On Windows a reader thread runs asynchronous reads on its own io_context
// (serial_asio_windows.cpp); only close cancels them, and bytes that come back with a
// cancelled or aborted read are data like any other.
//
// Transmitter direction control (set_rs485) applies to the port as it is open now: opening
// it again starts without. On POSIX see TransmitterControl; on Windows the driver's RTS
// toggle mode raises RTS while a request goes out (high, without delays, either control).
//
// A USB-serial adapter's latency (see adapter_latency_us()): on POSIX open puts the adapter
// into low-latency mode where its driver allows it and close restores it (see
// AdapterLatency); on Windows open reads the LatencyTimer the adapter's driver keeps in the
// registry for the COM port (the Device Parameters of its instance under
// HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS whose PortName is the port's name) and
// changes nothing.
//
// Waits end on time: the last stretch of a timed wait spins instead of sleeping, since a
// sleeping thread wakes tens of microseconds late, a whole character at 1,000,000 baud.
//
// A read that fails with an error that will not go away (the device was unplugged, the
// other end of a pseudo-terminal closed) marks the line lost: the engine fails its requests
// at once instead of waiting for time-outs. Other read errors are retried after a short
// back-off, never in a tight loop. A lost line is opened again with open_serial_port, on
// the same path or another one.
#pragma once

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/serial/serial_interface.hpp"
#ifndef _WIN32
#include "sdk/serial/adapter_latency.hpp"
#include "sdk/serial/transmitter_control.hpp"
#endif

namespace zelkSDK {

class SerialASIO : public SerialInterface {
  public:
    SerialASIO();
    // Closes the port if it is open; never throws.
    ~SerialASIO() override;
    SerialASIO(const SerialASIO&) = delete;
    SerialASIO& operator=(const SerialASIO&) = delete;

    // A port number n names "\\.\COMn" on Windows and "/dev/ttySn" elsewhere. A failure at
    // any step (the path, then each line setting) closes what was opened and names the step
    // with the operating system's reason and the path; the port can be opened again at once.
    // Opening a port that is open and not lost fails with "Already open". A path holding a
    // NUL character is refused.
    ZelkError open_serial_port(std::string port_path, int baud_rate) override;
    ZelkError open_serial_port(int port_number, int baud_rate) override;
    // Stops receiving and closes the port; a port that is not open is left as it is.
    void close_serial_port() override;
    void interrupt() override;
    void adjust_baud_rate(uint32_t baud_rate) override;
    bool ready_to_send() override { return true; }
    void send_byte(uint8_t byte) override { send_buffer.push_back(byte); }
    void transmit(size_t expected_response_length) override;
    bool ready_to_receive() override;
    uint8_t receive_byte() override;
    bool wait_to_receive(int64_t max_wait_us) override;
    bool line_failed() override;
    bool bytes_in_driver() override;
    std::string line_failure_reason() override;
    ZelkError set_rs485(const Rs485Settings& settings) override;
    int64_t adapter_latency_us() override { return found_latency_us; }
    std::string adapter_report() override { return found_report; }

    static std::string port_name_for_number(int port_number);
    // True while the port is open and bytes are received: not closed, not lost.
    bool receiving() const;

  private:
    ZelkError open_port(const std::string& port_name, int baud_rate);
    // Platform parts: begin receiving on a port just opened and set, stop before it closes.
    ZelkError start_receiving();
    void stop_receiving();
    // Frees what receiving holds for the port's whole life, in the destructor.
    void release_receiving();
    // Writes the send buffer; the failure in the system's words, or empty.
    std::string write_all();
    // Platform part of set_rs485, on a port that is open.
    ZelkError configure_transmitter(const Rs485Settings& settings);
    void deliver(const uint8_t* data, size_t size);
    void mark_failed(const std::string& reason);
    // True when the receive buffer holds a byte; reads nothing from the port.
    bool holds_received_bytes();
    // Sleeps until a byte is delivered, the line fails, interrupt(), or the time is up.
    void sleep_for_bytes(int64_t max_wait_us);

    asio::io_context io_context;
    asio::serial_port serial_port;
    std::vector<uint8_t> send_buffer;
    std::deque<uint8_t> receive_buffer;  // under receive_mutex
    std::atomic<bool> running{false};
    std::atomic<bool> failed{false};
    std::string failure_reason;  // under receive_mutex
    std::mutex receive_mutex;
    std::string open_port_name;    // as it was opened, for errors
    int read_failures = 0;         // transient read errors in a row: the back-off's length
    int64_t found_latency_us = 0;  // of the adapter, by the last open
    std::string found_report;
#ifdef _WIN32
    void find_adapter_latency();
    void read_loop();
    // One read on the reader's io_context: what arrived, and the error it ended with.
    size_t read_some(uint8_t* data, size_t size, asio::error_code& error);
    void back_off();
    void join_reader();

    std::atomic<bool> reader_done{false};
    std::condition_variable received;  // bytes delivered, the line failed, or close
    std::thread reader_thread;
#else
    // Reads what the driver holds into the receive buffer, without waiting.
    void read_available();
    std::string write_bytes();

    TransmitterControl transmitter;
    AdapterLatency latency;

    int wake_read = -1;  // a pipe whose write end interrupt() writes to: ends a poll()
    int wake_write = -1;
    // One thread reads at a time (run_wait() waits without the bus's lock while a blocking
    // call takes the bytes): a byte read is delivered before anyone reads the next one.
    std::mutex read_mutex;
    // After a transient read error, no read before this.
    std::atomic<int64_t> back_off_until_us{0};
#endif
};

}  // namespace zelkSDK
