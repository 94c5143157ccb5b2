// What the engine fuzzer's input means, shared by its two drivers (the Actuator's blocking
// API, and the ModbusClient driven the way its owner drives it).
//
// Input: a 4-byte header, then operations until the input ends (at most kMaxOperations).
//   header: [0] bit 0 set: drive a bare ModbusClient instead of an Actuator
//           [1] server address: %8 of 0-2 -> 1, 3 -> 0 (broadcast), 4 -> 247, 5 -> 255,
//               6 -> 2, 7 -> the byte itself
//           [2] clock step per reading: 20 + (b % 50) * 20 us
//           [3] baud rate {9600, 19200, 115200, 1000000}[b % 4], interframe delay
//               {2000, 0, 500, 1750}[(b / 4) % 4] us
// Each operation: an opcode byte (% kOperationKinds), then its fields (big-endian):
//   0 read one        prio reg16              1 read wide       prio reg16
//   2 read many       prio reg16 count8       3 write one       prio reg16 value16
//   4 write wide      prio reg16 value32      5 write many      prio reg16 count8 seed8
//   6 read/write      prio rreg16 rcount8 wreg16 wcount8 seed8
//   7 stream          what8 value32 passes8   (what % 6: enable, disable, force, position,
//                                              haptic, nothing; then passes % 32 + 1 runs)
//   8 set mode        mode8 (% 8)             9 clock jump      us16 (x 16)
//  10 deliver now     n8 bytes                (on the line at once, outside the script)
//  11 line: deliver   n8 bytes                12 line: pause    us16 (x 4)
//  13 line: answer    kind8 tweak8 seed8 split8 gap8 (gap x 200 us), see Answer
//  14 line: wait for the next transmit       15 new actuator   address8
//  16 open the port again                    17 line: wait for the next transmit, then answer
//                                                (fields as 13)
// prio: bit 0 set sends not_important. For the bare client, each request operation only
// queues (stream operations queue a stream command) and prio bit 1 runs until the queue is
// empty; "stream" runs its passes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

constexpr int kMaxOperations = 64;
constexpr int kOperationKinds = 18;

// Numbered from 0 in this order: the scenario bytes name them by number.
enum OperationKind : int {
    read_one,
    read_wide,
    read_many,
    write_one,
    write_wide,
    write_many,
    read_write,
    stream,
    set_mode,
    clock_jump,
    deliver_now,
    line_deliver,
    line_pause,
    line_answer,
    line_wait,
    new_actuator,
    reopen,
    line_wait_answer,
};
static_assert(line_wait_answer + 1 == kOperationKinds, "every operation kind is counted");

// One operation's fields as the input gave them; each kind uses some (see above).
struct Operation {
    OperationKind kind = read_one;
    uint8_t prio = 0;
    uint16_t reg = 0;    // the register, or a read/write's read start
    uint16_t reg2 = 0;   // a read/write's write start
    uint8_t count = 0;   // registers read, or written by a write of several
    uint8_t count2 = 0;  // registers a read/write writes
    uint32_t value = 0;  // a write's value, or the stream's set-point
    uint8_t seed = 0;    // where seeded_values() starts a write's values
    uint8_t what = 0;    // the stream's action, the mode, or the new address
    uint8_t passes = 0;  // a stream's passes
};

// Which rules are checked; FERRUN_FUZZ_SKIP="name,name" turns some off, to look past a
// known fault for the next one.
struct Checks {
    bool quiet = true;      // nothing transmitted while received bytes wait
    bool match = true;      // a success comes from a valid answer to its request, after it
    bool broadcast = true;  // reads to address 0 refused; broadcasts never fail
    bool counters = true;   // diagnostic counters equal what the line saw
    bool recovery = true;   // 20 ms of quiet before the request after a failed exchange
    bool timeout = true;    // the response time-out counts from the end of the request
    bool stream = true;     // stream frames and telemetry
    bool bounded = true;    // the queue stays bounded

    static Checks from_environment();
};

// The 16-bit register values of a write, from one seed byte.
std::vector<uint16_t> seeded_values(uint8_t seed, int count);

// One line describing the operation, for traces.
std::string describe(const Operation& operation);

}  // namespace fuzz
