// Receiving on Windows: a reader thread runs asynchronous reads on the port's own io_context
// and hands every byte over as it is read.
#include <algorithm>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <string>
// After asio, which includes winsock2.h: windows.h first would bring in the old winsock.h.
#include <windows.h>

#include "sdk/serial/serial_asio.hpp"

namespace zelkSDK {
namespace {

constexpr size_t kReadBufferSize = 256;
// Back-off after a read error that may go away: doubles from 1 ms up to this limit.
constexpr int kMaxBackOffMs = 32;

// Errors after which no read will ever succeed on this handle.
bool is_permanent(const asio::error_code& error) {
    if (error == asio::error::eof || error == asio::error::bad_descriptor) {
        return true;
    }
    if (error.category() != asio::system_category()) {
        return false;
    }
    switch (error.value()) {
        case 2:     // ERROR_FILE_NOT_FOUND
        case 5:     // ERROR_ACCESS_DENIED
        case 6:     // ERROR_INVALID_HANDLE
        case 21:    // ERROR_NOT_READY
        case 22:    // ERROR_BAD_COMMAND
        case 31:    // ERROR_GEN_FAILURE
        case 38:    // ERROR_HANDLE_EOF
        case 109:   // ERROR_BROKEN_PIPE
        case 1167:  // ERROR_DEVICE_NOT_CONNECTED
        case 1617:  // ERROR_DEVICE_REMOVED
            return true;
        default: return false;
    }
}

// Where the common USB-serial chips' driver keeps each adapter's settings:
// <device>\<instance>\Device Parameters, with the COM port's name in PortName.
constexpr const char* kAdapterDevices = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

// A subkey's name, by index; empty after the last.
std::string subkey_name(HKEY key, DWORD index) {
    char name[256];
    DWORD size = sizeof name;
    return RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                   ERROR_SUCCESS
               ? std::string(name, size)
               : std::string();
}

// The adapter whose PortName is a COM port's name, as its driver keeps it in the registry.
struct RegistryEntry {
    std::string key;       // <device>\<instance> below kAdapterDevices; empty: no such adapter
    long latency_ms = -1;  // its LatencyTimer; -1 when it has none
};

RegistryEntry find_in_registry(const std::string& com_name) {
    RegistryEntry found;
    HKEY devices = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAdapterDevices, 0, KEY_READ, &devices) !=
        ERROR_SUCCESS) {
        return found;
    }
    for (DWORD d = 0; found.key.empty(); ++d) {
        const std::string device = subkey_name(devices, d);
        HKEY instances = nullptr;
        if (device.empty()) {
            break;
        }
        if (RegOpenKeyExA(devices, device.c_str(), 0, KEY_READ, &instances) != ERROR_SUCCESS) {
            continue;
        }
        for (DWORD i = 0; found.key.empty(); ++i) {
            const std::string instance = subkey_name(instances, i);
            if (instance.empty()) {
                break;
            }
            const std::string parameters = instance + "\\Device Parameters";
            char port[64] = {};
            DWORD size = sizeof port - 1;
            DWORD latency = 0, latency_size = sizeof latency;
            if (RegGetValueA(instances, parameters.c_str(), "PortName", RRF_RT_REG_SZ, nullptr,
                             port, &size) != ERROR_SUCCESS ||
                _stricmp(port, com_name.c_str()) != 0) {
                continue;
            }
            found.key = device + "\\" + instance;
            if (RegGetValueA(instances, parameters.c_str(), "LatencyTimer", RRF_RT_REG_DWORD,
                             nullptr, &latency, &latency_size) == ERROR_SUCCESS) {
                found.latency_ms = static_cast<long>(latency);
            }
        }
        RegCloseKey(instances);
    }
    RegCloseKey(devices);
    return found;
}

}  // namespace

void SerialASIO::release_receiving() {
    // A reader left over from a close that raised before its join.
    join_reader();
}

ZelkError SerialASIO::start_receiving() {
    // A reader left over from a close that raised before its join goes first.
    join_reader();
    find_adapter_latency();
    running = true;
    reader_done = false;
    reader_thread = std::thread(&SerialASIO::read_loop, this);
    return ZelkError(0, "");
}

void SerialASIO::stop_receiving() {
    join_reader();
    // Drop a cancel the reader did not run (it left between two reads).
    io_context.restart();
    io_context.poll();
    received.notify_all();
}

bool SerialASIO::receiving() const {
    return reader_thread.joinable() && !reader_done;
}

void SerialASIO::interrupt() {
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        running = false;
    }
    received.notify_all();
}

void SerialASIO::join_reader() {
    if (reader_thread.joinable()) {
        running = false;
        // The reader's reads run on its io_context; a cancel posted there reaches the read
        // in progress, or the next one the reader starts, from the reader's own thread.
        asio::post(io_context, [this] {
            asio::error_code ignored;
            serial_port.cancel(ignored);
        });
        {
            // Wakes a back-off wait.
            std::lock_guard<std::mutex> lock(receive_mutex);
        }
        received.notify_all();
        reader_thread.join();
    }
}

// The latency timer the adapter's driver keeps for this COM port (the SDK only reads it:
// writing it needs administrator rights and a replug).
void SerialASIO::find_adapter_latency() {
    const std::string prefix = "\\\\.\\";
    const std::string com_name = open_port_name.compare(0, prefix.size(), prefix) == 0
                                     ? open_port_name.substr(prefix.size())
                                     : open_port_name;
    const RegistryEntry found = find_in_registry(com_name);
    const std::string where = " (registry: FTDIBUS\\" + found.key + ")";
    if (found.key.empty()) {
        found_report = "latency timer: not in the registry for " + com_name;
    } else if (found.latency_ms < 0 || found.latency_ms > 1000) {
        found_report = "latency timer: no LatencyTimer" + where;
    } else {
        found_latency_us = found.latency_ms * int64_t{1000};
        found_report = "latency timer: " + std::to_string(found.latency_ms) + " ms" + where;
    }
}

std::string SerialASIO::write_all() {
    asio::error_code error;
    asio::write(serial_port, asio::buffer(send_buffer), error);
    return error ? error.message() : std::string();
}

// The driver switches RTS itself (either control): high while a request goes out, low
// after its last bit, without delays.
ZelkError SerialASIO::configure_transmitter(const Rs485Settings& settings) {
    const auto refused = [&](const std::string& why) {
        return ZelkError(1, "Cannot set RS-485 mode on " + open_port_name + ": " + why);
    };
    if (settings.enabled && (!settings.rts_on_send || settings.delay_before_send_us != 0 ||
                             settings.delay_after_send_us != 0)) {
        return refused("RTS toggle mode raises RTS while sending, without delays.");
    }
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(serial_port.native_handle(), &state)) {
        return refused(asio::error_code(GetLastError(), asio::system_category()).message());
    }
    state.fRtsControl = settings.enabled ? RTS_CONTROL_TOGGLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(serial_port.native_handle(), &state)) {
        return refused(asio::error_code(GetLastError(), asio::system_category()).message());
    }
    return no_error();
}

bool SerialASIO::ready_to_receive() {
    return holds_received_bytes();
}

void SerialASIO::sleep_for_bytes(int64_t max_wait_us) {
    std::unique_lock<std::mutex> lock(receive_mutex);
    received.wait_for(lock, std::chrono::microseconds(max_wait_us),
                      [this] { return !receive_buffer.empty() || failed || !running; });
}

bool SerialASIO::bytes_in_driver() {
    if (!serial_port.is_open() || !running) {
        return false;
    }
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(serial_port.native_handle(), &errors, &status) && status.cbInQue > 0;
}

void SerialASIO::mark_failed(const std::string& reason) {
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        if (!failed) {
            failure_reason = reason;
        }
        failed = true;
    }
    received.notify_all();
}

void SerialASIO::deliver(const uint8_t* data, size_t size) {
    {
        std::lock_guard<std::mutex> lock(receive_mutex);
        receive_buffer.insert(receive_buffer.end(), data, data + size);
    }
    received.notify_all();
}

size_t SerialASIO::read_some(uint8_t* data, size_t size, asio::error_code& error) {
    size_t count = 0;
    error = asio::error_code();
    if (!running) {
        // Close may already have run its cancel: a read started now would never end.
        error = asio::error::operation_aborted;
        return 0;
    }
    // asio's Windows read time-outs complete a read only when its buffer is full or the line
    // pauses for 1 ms: the first bytes of a long response would wait for its end, past the
    // response time-out. A read of what the driver already holds, or else of one byte,
    // completes as soon as there is something to hand over.
    DWORD errors = 0;
    COMSTAT status{};
    const bool queued = ClearCommError(serial_port.native_handle(), &errors, &status) != 0;
    size = queued && status.cbInQue > 0 ? std::min<size_t>(size, status.cbInQue) : 1;
    serial_port.async_read_some(asio::buffer(data, size),
                                [&](const asio::error_code& result, size_t n) {
                                    error = result;
                                    count = n;
                                });
    io_context.restart();
    io_context.run();
    return count;
}

void SerialASIO::back_off() {
    const int wait_ms = std::min(kMaxBackOffMs, 1 << std::min(read_failures++, 5));
    std::unique_lock<std::mutex> lock(receive_mutex);
    received.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return !running; });
}

void SerialASIO::read_loop() {
    uint8_t read_buffer[kReadBufferSize];
    while (running) {
        asio::error_code error;
        const size_t count = read_some(read_buffer, sizeof read_buffer, error);
        if (count > 0) {
            deliver(read_buffer, count);
        }
        if (!error) {
            read_failures = 0;
            continue;
        }
        if (!running) {
            break;
        }
        if (is_permanent(error)) {
            mark_failed(error.message());
            break;
        }
        back_off();
    }
    reader_done = true;
}

}  // namespace zelkSDK
