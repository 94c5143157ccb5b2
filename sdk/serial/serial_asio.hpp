// The SDK's serial line on asio's serial_port: 8 data bits, even parity, 1 stop bit, no flow
// control.
//
// Sending is synchronous on the caller's thread: transmit() writes the whole request. A
// write that fails drops the request (it is never sent later) and marks the line failed.
//
// Receiving runs in a reader thread of its own that hands every byte to the receive buffer
// as soon as it is read: the line is a pipe, and the engine alone decides where a response
// ends. The reader's reads are asynchronous operations run on the reader's own io_context;
// only close cancels them (on every platform, also where closing a port does not wake a
// thread blocked in a synchronous read). Bytes that come back with a cancelled or aborted
// read are data like any other.
//
// A read that fails with an error that will not go away (the device was unplugged, the
// other end of a pseudo-terminal closed) stops the reader and marks the line lost: the
// engine fails its requests at once instead of waiting for time-outs. Other read errors are
// retried after a short back-off, never in a tight loop. A lost line is opened again with
// open_serial_port, on the same path or another one.
#pragma once

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/serial/serial_interface.hpp"

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
    // with the operating system's reason; the port can be opened again at once. Opening a
    // port that is open and not lost fails with "Already open".
    ZelkError open_serial_port(std::string port_path, int baud_rate) override;
    ZelkError open_serial_port(int port_number, int baud_rate) override;
    // Ends the reader and closes the port. Throws std::system_error (location "cancel") when
    // the port is not open.
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

    static std::string port_name_for_number(int port_number);
    bool reader_running() const { return reader_thread.joinable() && !reader_done; }

  private:
    ZelkError open_port(const std::string& port_name, int baud_rate);
    void prepare_for_reader();
    void read_loop();
    // One read on the reader's io_context: what arrived, and the error it ended with.
    size_t read_some(uint8_t* data, size_t size, asio::error_code& error);
    void deliver(const uint8_t* data, size_t size);
    void mark_failed(const std::string& reason);
    void back_off(int failures);
    void join_reader();

    asio::io_context io_context;
    asio::serial_port serial_port;
    std::vector<uint8_t> send_buffer;
    std::vector<uint8_t> receive_buffer;
    std::atomic<bool> running{false};
    std::atomic<bool> reader_done{false};
    std::atomic<bool> failed{false};
    std::string failure_reason;  // under receive_mutex
    std::mutex receive_mutex;
    std::condition_variable received;  // bytes delivered, the line failed, or close
    std::thread reader_thread;
};

}  // namespace zelkSDK
