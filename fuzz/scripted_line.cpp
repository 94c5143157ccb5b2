#include "fuzz/scripted_line.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fuzz {
namespace {

// Register values and telemetry of a scripted answer, from one seed byte.
class SeededBytes {
  public:
    explicit SeededBytes(uint8_t seed) : state(0x9E3779B9u * (seed + 1u)) {}
    uint8_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<uint8_t>(state >> 24);
    }

  private:
    uint32_t state;
};

// The answer a well-behaved device gives to request, CRC excluded.
Bytes correct_body(const Bytes& request, uint8_t seed) {
    SeededBytes values(seed);
    const uint8_t function = request[1];
    Bytes body = {request[0], function};
    if (function == 3 || function == 23) {
        const int count = std::min<int>(125, get_u16(&request[4]));
        body.push_back(static_cast<uint8_t>(2 * count));
        for (int i = 0; i < 2 * count; ++i) {
            body.push_back(values.next());
        }
    } else if (function == 6 || function == 16) {
        body.assign(request.begin(), request.begin() + 6);
    } else if (function == 100) {
        for (int i = 0; i < 15; ++i) {
            body.push_back(values.next());
        }
    } else {
        body = {request[0], static_cast<uint8_t>(function | 0x80), 1};
    }
    return body;
}

Bytes answer_bytes(const Bytes& request, const LineEvent& event) {
    Bytes body = correct_body(request, event.seed);
    const uint8_t function = request[1];
    switch (event.answer) {
        case Answer::bad_count:
            if (function == 3 || function == 23) {
                body[2] = event.tweak != body[2] ? event.tweak : static_cast<uint8_t>(body[2] ^ 2);
            } else if (function == 100) {
                if (event.tweak & 1) {
                    body.pop_back();
                } else {
                    body.push_back(event.seed);
                }
            } else {
                body[2 + event.tweak % 4] ^= static_cast<uint8_t>(event.seed | 1);
            }
            break;
        case Answer::exception:
            body = {request[0], static_cast<uint8_t>(function | 0x80), event.tweak};
            break;
        case Answer::wrong_function:
            body[1] = event.tweak != function ? event.tweak : static_cast<uint8_t>(function ^ 0x14);
            break;
        case Answer::wrong_address:
            body[0] =
                event.tweak != request[0] ? event.tweak : static_cast<uint8_t>(request[0] ^ 1);
            break;
        default: break;
    }
    append_crc(body);
    switch (event.answer) {
        case Answer::bad_crc: body[body.size() - 1 - (event.tweak & 1)] ^= event.seed | 1; break;
        case Answer::truncated: body.resize(event.tweak % body.size()); break;
        case Answer::trailing_bytes: {
            SeededBytes stray(event.tweak);
            for (int i = 0; i <= event.tweak % 4; ++i) {
                body.push_back(stray.next());
            }
            break;
        }
        default: break;
    }
    return body;
}

bool trace_enabled() {
    static const bool enabled = std::getenv("FERRUN_FUZZ_TRACE") != nullptr;
    return enabled;
}

}  // namespace

bool tracing() {
    return trace_enabled();
}

std::string hex(const Bytes& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

void violation(const std::string& what) {
    std::fprintf(stderr, "fuzz: violation: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

ScriptedLine::ScriptedLine(ScriptedClock& clock_) : clock(clock_) {}

zelkSDK::ZelkError ScriptedLine::open_serial_port(std::string, int baud_rate) {
    baud = baud_rate;
    return zelkSDK::no_error();
}

zelkSDK::ZelkError ScriptedLine::open_serial_port(int, int baud_rate) {
    baud = baud_rate;
    return zelkSDK::no_error();
}

void ScriptedLine::send_byte(uint8_t byte) {
    pending.push_back(byte);
    ++handed_over;
    clock.activity();
}

void ScriptedLine::transmit(size_t) {
    if (check_quiet_before_transmit && waiting() > 0) {
        violation("a request went out while " + std::to_string(waiting()) +
                  " received bytes waited on the line: " + hex(pending));
    }
    if (pending.empty() || pending.size() > 256) {
        violation("a transmitted frame of " + std::to_string(pending.size()) + " bytes");
    }
    if (tracing()) {
        std::fprintf(stderr, "  %lld us  sent      %s\n", static_cast<long long>(clock.now),
                     hex(pending).c_str());
    }
    sent.push_back({pending, clock.now, {}, deliveries.size()});
    clock.activity();
    pending.clear();
}

bool ScriptedLine::ready_to_receive() {
    clock.tick();
    if (waiting() == 0) {
        play_script();
        const bool idle = script.empty() || (script.front().kind == LineEvent::wait_for_transmit &&
                                             sent.size() <= script.front().armed_at);
        if (waiting() == 0 && idle) {
            clock.advance(clock.step);
        }
    }
    return waiting() > 0;
}

uint8_t ScriptedLine::receive_byte() {
    if (waiting() == 0) {
        violation("receive_byte() with no byte waiting");
    }
    ++taken;
    clock.activity();
    return incoming[taken_from_incoming++];
}

void ScriptedLine::add_event(LineEvent event) {
    if (script.empty()) {
        event.armed_at = sent.size();
    }
    script.push_back(std::move(event));
}

void ScriptedLine::deliver(const Bytes& bytes) {
    if (bytes.empty()) {
        return;
    }
    if (tracing()) {
        std::fprintf(stderr, "  %lld us  delivered %s\n", static_cast<long long>(clock.now),
                     hex(bytes).c_str());
    }
    incoming.insert(incoming.end(), bytes.begin(), bytes.end());
    deliveries.push_back(clock.now);
    clock.activity();
    Bytes& segment = sent.empty() ? before_first_transmit : sent.back().followed;
    segment.insert(segment.end(), bytes.begin(), bytes.end());
}

void ScriptedLine::pop_event() {
    script.pop_front();
    if (!script.empty()) {
        script.front().armed_at = sent.size();
    }
}

void ScriptedLine::play_script() {
    while (!script.empty()) {
        LineEvent& head = script.front();
        switch (head.kind) {
            case LineEvent::wait_for_transmit:
                if (sent.size() <= head.armed_at) {
                    return;
                }
                pop_event();
                break;
            case LineEvent::advance:
                clock.advance(head.micros);
                pop_event();
                return;  // a pause ends this poll: the engine sees the gap
            case LineEvent::deliver: {
                const Bytes bytes = std::move(head.bytes);
                pop_event();
                deliver(bytes);
                break;
            }
            case LineEvent::respond: {
                const LineEvent event = head;
                pop_event();
                respond(event);
                break;
            }
        }
    }
}

void ScriptedLine::respond(const LineEvent& event) {
    const size_t back = event.answer == Answer::previous ? 2 : 1;
    if (sent.size() < back || sent[sent.size() - back].frame.size() < 4) {
        return;
    }
    LineEvent shaped = event;
    if (event.answer == Answer::previous) {
        shaped.answer = Answer::correct;
    }
    Bytes bytes = answer_bytes(sent[sent.size() - back].frame, shaped);
    if (event.split == 0 || bytes.size() < 2) {
        deliver(bytes);
        return;
    }
    const size_t cut = std::max<size_t>(1, event.split % bytes.size());
    deliver(Bytes(bytes.begin(), bytes.begin() + cut));
    LineEvent rest;
    rest.bytes.assign(bytes.begin() + cut, bytes.end());
    rest.armed_at = sent.size();
    LineEvent pause;
    pause.kind = LineEvent::advance;
    pause.micros = event.gap_us;
    pause.armed_at = sent.size();
    script.push_front(rest);
    script.push_front(pause);
}

}  // namespace fuzz
