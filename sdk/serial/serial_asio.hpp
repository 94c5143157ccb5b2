// The SDK's serial line on asio's serial_port: 8 data bits, even parity, 1 stop bit.
//
// Sending is synchronous on the caller's thread. Receiving runs in a reader thread of its
// own that cuts the incoming bytes into responses with the length announced by transmit():
// it reads the 2-byte header (address, function code), then one read of what remains of
// the announced length, and hands each chunk to the caller's thread through a locked
// buffer. An exception response (function code with bit 7 set) is 5 bytes long whatever
// was announced.
//
// The reader's reads are asynchronous operations run on the reader's own io_context, so
// close can cancel them on every platform, also where cancelling or closing a port does
// not wake a thread blocked in a synchronous read.
//
// Bytes are never held back for long: once the line has been quiet for 2 ms, what has come
// of a response so far (a lone header byte, or the header without its remainder) is
// handed over while the reader goes on waiting for the rest.
//
// The reader never reads past its 256-byte buffer: an announced length below 2 (it is 0
// before the first transmit) counts as 2, so the header alone is delivered, and one above
// 256 counts as 256.
#pragma once

#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>
#include <atomic>
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

    // A port number n names "\\.\COMn" on Windows and "/dev/ttySn" elsewhere.
    ZelkError open_serial_port(std::string port_path, int baud_rate) override;
    ZelkError open_serial_port(int port_number, int baud_rate) override;
    // Ends the reader and closes the port. Throws std::system_error (location "cancel") when
    // the port is not open.
    void close_serial_port() override;
    void adjust_baud_rate(uint32_t baud_rate) override;
    bool ready_to_send() override { return true; }
    void send_byte(uint8_t byte) override { send_buffer.push_back(byte); }
    // Throws std::system_error (location "write_some") when the write fails.
    void transmit(size_t expected_response_length) override;
    bool ready_to_receive() override;
    uint8_t receive_byte() override;

    static std::string port_name_for_number(int port_number);
    // The response length the reader works with now (what transmit announced, or 5 after an
    // exception response arrived).
    size_t announced_length() const { return expected_response_length; }
    bool reader_running() const { return reader_thread.joinable(); }

  private:
    ZelkError open_port(const std::string& port_name, int baud_rate);
    void prepare_for_reader();
    void read_loop();
    // One read on the reader's io_context; returns what arrived, at least one byte unless
    // the read failed or asked for nothing. With a quiet limit (microseconds, -1 for none)
    // it returns 0 and sets quiet when nothing arrives in that time.
    size_t read_some(uint8_t* data, size_t size, asio::error_code& error, int quiet_limit_us,
                     bool& quiet);
    void deliver(const uint8_t* data, size_t size);
    void join_reader();

    asio::io_context io_context;
    asio::serial_port serial_port;
    std::vector<uint8_t> send_buffer;
    std::vector<uint8_t> receive_buffer;
    std::atomic<bool> running{false};
    std::mutex receive_mutex;
    std::mutex light_mutex;
    std::thread reader_thread;
    std::atomic<size_t> expected_response_length{0};
};

}  // namespace zelkSDK
