// Nanoseconds per complete exchange through the engine (build, enqueue, send, answer,
// validate, dequeue) over an in-memory line and clock: what the engine itself costs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "sdk/modbus/modbus_client.hpp"
#include "sdk/modbus/request_builders.hpp"

using namespace zelkSDK;

// Counts heap allocations, to show what an exchange allocates (the queue node only).
static long g_allocations = 0;

void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// Answers every read with the same two-register response, from memory.
class MemoryLine : public SerialInterface {
  public:
    ZelkError open_serial_port(std::string, int) override { return ZelkError(0, ""); }
    ZelkError open_serial_port(int, int) override { return ZelkError(0, ""); }
    void close_serial_port() override {}
    void adjust_baud_rate(uint32_t) override {}
    bool ready_to_send() override { return true; }
    void send_byte(uint8_t) override {}
    void transmit(size_t) override { next = 0; }
    bool ready_to_receive() override { return next < sizeof response; }
    uint8_t receive_byte() override { return response[next++]; }

  private:
    const uint8_t response[9] = {0x01, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78, 0x81, 0x07};
    size_t next = sizeof response;
};

// Moves on 5 ms at each reading, so every interframe delay has passed when next looked at.
class SteppingClock : public Clock {
  public:
    int64_t get_time_microseconds() override { return now += 5000; }

  private:
    int64_t now = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const long exchanges = argc > 1 ? std::atol(argv[1]) : 2'000'000;
    MemoryLine line;
    SteppingClock clock;
    ModbusClient client(line, clock);
    long failures = 0;
    const long allocations_before = g_allocations;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < exchanges; ++i) {
        client.enqueue_transaction(
            build_read_holding_registers(1, 342, 2, MessagePriority::important));
        client.run_out();
        client.run_in();
        if (!client.is_response_ready()) {
            std::fprintf(stderr, "exchange %ld did not complete\n", i);
            return 1;
        }
        failures += client.dequeue_transaction().failure_flags != 0;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double allocations = double(g_allocations - allocations_before) / exchanges;
    std::printf(
        "engine: %ld exchanges, %.1f ns per exchange, %.0f exchanges/s, %.2f allocations per "
        "exchange, %ld failed\n",
        exchanges, seconds * 1e9 / exchanges, exchanges / seconds, allocations, failures);
    return failures == 0 ? 0 : 1;
}
