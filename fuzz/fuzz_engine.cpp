// libFuzzer harness of the Modbus engine and the Actuator: the input is a scenario of
// operations and of what the line does between and during them (engine_scenario.hpp says
// how it is read). Set FERRUN_FUZZ_TRACE to print the scenario as it plays, and
// FERRUN_FUZZ_SKIP to turn rules off (engine_scenario.hpp names them).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "fuzz/actuator_session.hpp"
#include "fuzz/client_session.hpp"
#include "fuzz/engine_scenario.hpp"
#include "fuzz/input_reader.hpp"
#include "fuzz/scripted_line.hpp"

namespace {

using namespace fuzz;

uint8_t server_address(uint8_t selector) {
    static const uint8_t kAddresses[] = {1, 1, 1, 0, 247, 255, 2};
    return selector % 8 < 7 ? kAddresses[selector % 8] : selector;
}

Operation read_operation(InputReader& in, OperationKind kind) {
    Operation op;
    op.kind = kind;
    if (kind <= read_write) {  // every register access starts with its priority and register
        op.prio = in.u8();
        op.reg = in.u16();
    }
    switch (kind) {
        case read_many: op.count = in.u8(); break;
        case write_one: op.value = in.u16(); break;
        case write_wide: op.value = in.u32(); break;
        case write_many:
            op.count = in.u8();
            op.seed = in.u8();
            break;
        case read_write:
            op.count = in.u8();
            op.reg2 = in.u16();
            op.count2 = in.u8();
            op.seed = in.u8();
            break;
        case stream:
            op.what = in.u8();
            op.value = in.u32();
            op.passes = in.u8();
            break;
        case set_mode:
        case new_actuator: op.what = in.u8(); break;
        default: break;
    }
    return op;
}

LineEvent answer_event(InputReader& in) {
    LineEvent event;
    event.kind = LineEvent::respond;
    event.answer = static_cast<Answer>(in.u8() % static_cast<uint8_t>(Answer::kinds));
    event.tweak = in.u8();
    event.seed = in.u8();
    event.split = in.u8();
    event.gap_us = in.u8() * 200u;
    return event;
}

LineEvent wait_event() {
    LineEvent event;
    event.kind = LineEvent::wait_for_transmit;
    return event;
}

// Plays a line operation; false when the operation is one for the session.
bool play_line_operation(InputReader& in, OperationKind kind, ScriptedLine& line,
                         ScriptedClock& clock) {
    switch (kind) {
        case clock_jump: clock.advance(int64_t{in.u16()} * 16); return true;
        case deliver_now: line.deliver(in.bytes(in.u8())); return true;
        case line_deliver: {
            LineEvent event;
            event.bytes = in.bytes(in.u8());
            line.add_event(event);
            return true;
        }
        case line_pause: {
            LineEvent event;
            event.kind = LineEvent::advance;
            event.micros = int64_t{in.u16()} * 4;
            line.add_event(event);
            return true;
        }
        case line_answer: line.add_event(answer_event(in)); return true;
        case line_wait: line.add_event(wait_event()); return true;
        case line_wait_answer:
            line.add_event(wait_event());
            line.add_event(answer_event(in));
            return true;
        default: return false;
    }
}

template <typename Session>
void play(InputReader& in, Session& session, ScriptedLine& line, ScriptedClock& clock) {
    for (int count = 0; count < kMaxOperations && !in.empty(); ++count) {
        const auto kind = static_cast<OperationKind>(in.u8() % kOperationKinds);
        clock.ticks = 0;
        if (play_line_operation(in, kind, line, clock)) {
            continue;
        }
        const Operation op = read_operation(in, kind);
        if (tracing()) {
            std::fprintf(stderr, "%lld us  %s\n", static_cast<long long>(clock.now),
                         describe(op).c_str());
        }
        if (kind == new_actuator) {
            session.replace(op.what);
        } else {
            session.apply(op);
        }
    }
}

}  // namespace

// The Actuator yields the processor between the passes of a blocking call so a serial reader
// thread can run. The harness has no such thread, and on a busy machine every yield would
// hand the processor to another process: here it returns at once.
extern "C" int sched_yield() {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Checks checks = Checks::from_environment();
    static const int kBauds[] = {9600, 19200, 115200, 1000000};
    static const int kInterframeDelays[] = {2000, 0, 500, 1750};

    InputReader in(data, size);
    const bool bare_client = (in.u8() & 1) != 0;
    const uint8_t address = server_address(in.u8());
    auto clock = std::make_shared<ScriptedClock>();
    clock->step = 20 + (in.u8() % 50) * 20;
    const uint8_t line_settings = in.u8();
    const int baud = kBauds[line_settings % 4];
    const int interframe = kInterframeDelays[(line_settings / 4) % 4];
    auto line = std::make_shared<ScriptedLine>(*clock);
    line->check_quiet_before_transmit = checks.quiet;
    if (tracing()) {
        std::fprintf(stderr, "%s at address %d, clock step %lld us, %d baud, interframe %d us\n",
                     bare_client ? "ModbusClient" : "Actuator", address,
                     static_cast<long long>(clock->step), baud, interframe);
    }
    const SessionSetup setup{line, clock, checks, baud, interframe};
    if (bare_client) {
        ClientSession session(setup, address);
        play(in, session, *line, *clock);
    } else {
        ActuatorSession session(setup, address);
        play(in, session, *line, *clock);
    }
    return 0;
}
