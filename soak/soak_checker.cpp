#include "soak/soak_checker.hpp"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <set>
#include <tuple>

#include "sdk/modbus/modbus_client.hpp"
#include "sdk/modbus/wire.hpp"

namespace soak {
namespace {

// The engine gives up on an answer whose first byte has not come within its response
// time-out, or whose bytes stop for its inter-character limit. An answer counts as timely
// only well inside those.
using zelkSDK::kIntercharTimeoutUs;
using zelkSDK::kResponseTimeoutUs;
constexpr int64_t kMarginUs = 2000;
// Foreign bytes (stray, late, another request's answer) explain a failure; those that came
// more than this before the request should have been dropped by the interframe drain,
// and are counted apart.
constexpr int64_t kDrainMarginUs = 1000;
constexpr size_t kExamplesPerFigure = 5;

uint16_t word(const std::vector<uint8_t>& bytes, size_t at) {
    return zelkSDK::wire::get_u16(&bytes[at]);
}

size_t expected_length(const std::vector<uint8_t>& request) {
    switch (request[1]) {
        case zelkSDK::kReadHoldingRegisters:
        case zelkSDK::kReadWriteMultipleRegisters: return 5 + 2 * size_t{word(request, 4)};
        case zelkSDK::kStreamCommand: return zelkSDK::kStreamResponseLength;
        default: return 8;
    }
}

bool crc_ok(const std::vector<uint8_t>& frame) {
    return zelkSDK::wire::crc_ok(frame.data(), frame.size());
}

bool is_stream(const std::vector<uint8_t>& request) {
    return request.size() > 1 && request[1] == zelkSDK::kStreamCommand;
}

bool is_read(CallKind kind) {
    return kind == CallKind::read || kind == CallKind::read_wide ||
           kind == CallKind::read_multiple || kind == CallKind::read_write ||
           kind == CallKind::get_mode;
}

using Telemetry = std::tuple<int32_t, int32_t, uint16_t, int16_t, uint16_t, uint16_t>;

Telemetry telemetry_of(const zelkSDK::StreamData& data) {
    return Telemetry{data.position,    data.force,   data.power,
                     data.temperature, data.voltage, data.errors};
}

// The telemetry of a stream answer frame.
Telemetry telemetry_of(const std::vector<uint8_t>& frame) {
    return telemetry_of(zelkSDK::wire::decode_telemetry(&frame[2]));
}

std::string hex(const std::vector<uint8_t>& bytes, size_t limit = 24) {
    std::string text = zelkSDK::wire::hex(bytes.data(), std::min(bytes.size(), limit));
    if (bytes.size() > limit) {
        text += "..(" + std::to_string(bytes.size()) + " bytes)";
    }
    return text;
}

std::string ms(int64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.2f ms", us / 1000.0);
    return text;
}

}  // namespace

SoakChecker::SoakChecker(const TrafficRecord& traffic_, const DeviceJournal& journal_,
                         int64_t origin_low_us, int64_t origin_high_us, int baud_rate)
    : traffic(traffic_), journal(journal_), origin_us(origin_low_us), baud(baud_rate) {
    align();
    place_origin(origin_low_us, origin_high_us);
}

void SoakChecker::place_origin(int64_t low_us, int64_t high_us) {
    // A request is logged before its bytes go out, so it reaches the device no earlier
    // than its log time: the zero lies at most the smallest gap between the two before
    // the arrivals. That gap is a few microseconds; the bracket alone can be milliseconds.
    int64_t latest = high_us;
    for (size_t tx = 0; tx < traffic.sent.size(); ++tx) {
        if (heard(tx) != nullptr) {
            latest = std::min(latest, heard(tx)->first_us - traffic.sent[tx].time_us);
        }
    }
    origin_us = std::max(low_us, latest);
}

void SoakChecker::align() {
    // Requests reach the device in the order they were sent; match each logged one to the
    // next heard frame with the same bytes, looking a few frames ahead in case the device
    // heard frames the SDK never logged.
    constexpr size_t kLookAhead = 8;
    size_t next = 0;
    heard_index.assign(traffic.sent.size(), -1);
    for (size_t tx = 0; tx < traffic.sent.size(); ++tx) {
        for (size_t j = next; j < journal.requests.size() && j < next + kLookAhead; ++j) {
            if (journal.requests[j].bytes == traffic.sent[tx].bytes) {
                heard_index[tx] = static_cast<long>(j);
                next = j + 1;
                break;
            }
        }
    }
}

const HeardRequest* SoakChecker::heard(size_t tx) const {
    return heard_index[tx] < 0 ? nullptr : &journal.requests[heard_index[tx]];
}

bool SoakChecker::valid_answer(size_t tx) const {
    const HeardRequest* request = heard(tx);
    if (request == nullptr || !request->answered) {
        return false;
    }
    const std::vector<uint8_t> frame = request->frame();
    const std::vector<uint8_t>& sent = traffic.sent[tx].bytes;
    return frame.size() == expected_length(sent) && frame[0] == sent[0] && frame[1] == sent[1] &&
           crc_ok(frame);
}

bool SoakChecker::attempt_failed(size_t tx) const {
    if (tx >= traffic.received.size()) {
        return false;  // never finished
    }
    // Failure texts, known or new, or an exception answer: what the caller sees as failed.
    const LoggedFrame& rx = traffic.received[tx];
    return !rx.failure.empty() || (rx.bytes.size() > 1 && (rx.bytes[1] & 0x80) != 0);
}

std::string SoakChecker::unclean(size_t tx) const {
    const std::string problem = answer_problem(tx);
    if (!problem.empty()) {
        return problem;
    }
    int64_t latest_us = 0;
    std::string foreign = foreign_bytes(tx, latest_us);
    if (!foreign.empty()) {
        return foreign;
    }
    if (tx > 0 && !(foreign = foreign_bytes(tx - 1, latest_us)).empty()) {
        return "the exchange before had " + foreign;  // what it left can reach this one
    }
    return "";
}

std::string SoakChecker::answer_problem(size_t tx) const {
    const HeardRequest* request = heard(tx);
    if (request == nullptr) {
        return "the device never heard it";
    }
    if (!request->answered) {
        return request->faults.empty() ? "no answer (" + request->verdict + ")" : "dropped";
    }
    if (!valid_answer(tx)) {
        std::string faults;
        for (const std::string& fault : request->faults) {
            faults += (faults.empty() ? "" : ",") + fault;
        }
        return "answer not valid (" + (faults.empty() ? std::string("no fault") : faults) + ")";
    }
    if (request->answer_first_us - sent_us(tx) > kResponseTimeoutUs - kMarginUs) {
        return "answer " + ms(request->answer_first_us - sent_us(tx)) + " after the request";
    }
    const int64_t wire_us =
        zelkSDK::wire::wire_time_us(static_cast<int64_t>(request->answer.size()), baud);
    if (request->answer_last_us - request->answer_first_us - wire_us >
        kIntercharTimeoutUs - kMarginUs) {
        return "answer spread over " + ms(request->answer_last_us - request->answer_first_us);
    }
    return "";
}

int64_t SoakChecker::sent_us(size_t tx) const {
    return traffic.sent[tx].time_us + origin_us;
}

int64_t SoakChecker::ended_us(size_t tx) const {
    if (tx < traffic.received.size()) {
        return traffic.received[tx].time_us + origin_us;
    }
    return std::numeric_limits<int64_t>::max();
}

std::string SoakChecker::foreign_bytes(size_t tx, int64_t& latest_us) const {
    const long own = heard_index[tx];
    const long previous = tx > 0 ? heard_index[tx - 1] : -1;
    const int64_t start = tx > 0 ? sent_us(tx - 1) : std::numeric_limits<int64_t>::min();
    std::string found;
    for (long j = std::max(0L, own - 8); own >= 0 && j < own; ++j) {
        const HeardRequest& other = journal.requests[j];
        if (!other.answered || other.answer_last_us <= start ||
            other.answer_first_us > ended_us(tx)) {
            continue;
        }
        std::string what;
        if (j != previous) {
            what = "the answer to request " + std::to_string(other.seq);
        } else if (other.answer_first_us > ended_us(tx - 1)) {
            what = "the late answer to the request before";
        } else if (other.frame_length < other.answer.size()) {
            what = "stray bytes after the answer before";
        } else {
            continue;  // the answer before, in its own exchange
        }
        latest_us =
            std::max(found.empty() ? other.answer_last_us : latest_us, other.answer_last_us);
        found = what + " on the line at " + ms(other.answer_last_us - sent_us(tx));
    }
    return found;
}

bool SoakChecker::drain_missed(size_t tx) const {
    int64_t latest_us = 0;
    return answer_problem(tx).empty() && !foreign_bytes(tx, latest_us).empty() &&
           latest_us < sent_us(tx) - kDrainMarginUs;
}

std::string SoakChecker::describe(size_t tx) const {
    std::string text = "request " + std::to_string(tx + 1) + " " + hex(traffic.sent[tx].bytes);
    if (tx < traffic.received.size()) {
        const LoggedFrame& rx = traffic.received[tx];
        text += "; SDK took " + (rx.bytes.empty() ? std::string("nothing") : hex(rx.bytes)) +
                (rx.failure.empty() ? "" : " [" + rx.failure + "]") + " at " +
                ms(rx.time_us - traffic.sent[tx].time_us);
    }
    const HeardRequest* request = heard(tx);
    if (request == nullptr) {
        return text + "; the device never heard it";
    }
    text += "; device seq " + std::to_string(request->seq);
    for (const std::string& fault : request->faults) {
        text += " " + fault;
    }
    if (request->answered) {
        text += ", answered " + hex(request->answer) + " at " +
                ms(request->answer_first_us - (traffic.sent[tx].time_us + origin_us));
    } else {
        text += ", no answer";
    }
    const std::string why = unclean(tx);
    for (long j = heard_index[tx] - 1; j >= 0 && j >= heard_index[tx] - 8; --j) {
        if (journal.requests[j].answered) {
            text += "; the answer before (seq " + std::to_string(journal.requests[j].seq) +
                    ") ended at " +
                    ms(journal.requests[j].answer_last_us - (traffic.sent[tx].time_us + origin_us));
            break;
        }
    }
    return text + (why.empty() ? "; clean" : "; " + why);
}

void SoakChecker::example(SoakFigures& figures, const std::string& figure,
                          const std::string& text) const {
    std::vector<std::string>& list = figures.examples[figure];
    if (list.size() < kExamplesPerFigure) {
        list.push_back(text);
    }
}

std::vector<size_t> SoakChecker::own_attempts(const Call& call) const {
    // A stream command still queued when the call began goes out inside it; it is not one
    // of the call's attempts.
    std::vector<size_t> attempts;
    for (size_t tx = call.first_tx; tx < call.end_tx; ++tx) {
        if (!is_stream(traffic.sent[tx].bytes)) {
            attempts.push_back(tx);
        }
    }
    return attempts;
}

void SoakChecker::check_call(const Call& call, SoakFigures& figures) const {
    ++figures.calls;
    const std::vector<size_t> attempts = own_attempts(call);
    if (attempts.empty()) {
        return;
    }
    const std::string name =
        std::string(call_name(call.kind)) + (call.important ? " (important)" : " (not important)");
    if (call.failed) {
        ++figures.failed_calls;
        bool all_clean = true;
        for (size_t tx : attempts) {
            all_clean = all_clean && unclean(tx).empty();
        }
        if (all_clean) {
            ++figures.unexplained_failures;
            example(figures, "unexplained failures",
                    name + " failed: " + call.error + " -- last " + describe(attempts.back()));
        }
        return;
    }
    const size_t last = attempts.back();
    if (!is_read(call.kind)) {
        if (!valid_answer(last)) {
            ++figures.unanswered_successes;
            example(figures, "unanswered successes", name + ": " + describe(last));
        }
        if (call.kind != CallKind::set_mode) {
            long carried = 0;
            for (size_t tx : attempts) {
                carried += heard(tx) != nullptr && heard(tx)->writes > 0;
            }
            figures.writes_repeated += carried > 1;
        }
        return;
    }
    if (values_answered(last) == call.values) {
        return;
    }
    // A resend is the same request: the answer to an earlier attempt, taken late, carries
    // what the device had then; it is not wrong data, but it is not this attempt's answer.
    for (size_t tx : attempts) {
        if (tx != last && traffic.sent[tx].bytes == traffic.sent[last].bytes &&
            values_answered(tx) == call.values) {
            ++figures.earlier_attempt_answers;
            example(figures, "earlier attempt's answers", name + ": " + describe(last));
            return;
        }
    }
    ++figures.wrong_data;
    example(figures, "wrong data",
            name + " returned " + std::to_string(call.values.size()) + " values" +
                (valid_answer(last) ? " unlike the device's answer" : "") + " -- " +
                describe(last));
}

std::optional<std::vector<uint16_t>> SoakChecker::values_answered(size_t tx) const {
    if (!valid_answer(tx)) {
        return std::nullopt;
    }
    const std::vector<uint8_t> frame = heard(tx)->frame();
    std::vector<uint16_t> values;
    for (size_t at = 3; at + 3 < frame.size(); at += 2) {
        values.push_back(word(frame, at));
    }
    return values;
}

void SoakChecker::check_stream(SoakFigures& figures,
                               const std::vector<CacheChange>& changes) const {
    std::set<Telemetry> sent_telemetry;
    for (size_t tx = 0; tx < traffic.sent.size(); ++tx) {
        if (!is_stream(traffic.sent[tx].bytes)) {
            continue;
        }
        if (valid_answer(tx)) {
            sent_telemetry.insert(telemetry_of(heard(tx)->frame()));
        }
        if (tx >= traffic.received.size()) {
            continue;
        }
        ++figures.stream_exchanges;
        if (attempt_failed(tx)) {
            ++figures.failed_stream_exchanges;
            if (unclean(tx).empty()) {
                ++figures.unexplained_failures;
                example(figures, "unexplained failures", "stream exchange: " + describe(tx));
            }
        }
    }
    // Stream answers the SDK sent before the journal's requests were matched still count.
    for (const HeardRequest& request : journal.requests) {
        const std::vector<uint8_t> frame = request.frame();
        if (request.answered && is_stream(request.bytes) && frame.size() == 19 && crc_ok(frame) &&
            frame[1] == zelkSDK::kStreamCommand) {
            sent_telemetry.insert(telemetry_of(frame));
        }
    }
    for (const CacheChange& change : changes) {
        const Telemetry value = telemetry_of(change.data);
        if (sent_telemetry.count(value) == 0) {
            ++figures.unsent_telemetry;
            example(figures, "unsent telemetry",
                    "cache position " + std::to_string(change.data.position) + " force " +
                        std::to_string(change.data.force) + " after " +
                        (change.stream_tx.empty() ? std::string("no stream answer")
                                                  : describe(change.stream_tx.back())));
            continue;
        }
        bool own = false;
        for (size_t tx : change.stream_tx) {
            own = own || (valid_answer(tx) && telemetry_of(heard(tx)->frame()) == value);
        }
        if (!own) {
            ++figures.telemetry_from_elsewhere;
            example(figures, "telemetry from elsewhere",
                    change.stream_tx.empty() ? std::string("cache changed with no stream answer")
                                             : describe(change.stream_tx.back()));
        }
    }
}

void SoakChecker::count_carried_out(SoakFigures& figures) const {
    std::map<std::vector<uint8_t>, long> sent;
    for (const LoggedFrame& frame : traffic.sent) {
        ++sent[frame.bytes];
    }
    std::map<std::vector<uint8_t>, long> carried;
    for (const HeardRequest& request : journal.requests) {
        if (request.writes > 0 || request.streamed) {
            ++carried[request.bytes];
        }
    }
    for (const auto& [bytes, count] : carried) {
        if (count > sent[bytes]) {
            figures.carried_out_extra += count - sent[bytes];
            example(figures, "carried out extra",
                    hex(bytes) + " carried out " + std::to_string(count) + " times, sent " +
                        std::to_string(sent[bytes]));
        }
    }
}

SoakFigures SoakChecker::check(const std::vector<Call>& calls,
                               const std::vector<CacheChange>& changes) {
    SoakFigures figures;
    figures.attempts = static_cast<long>(traffic.sent.size());
    for (const HeardRequest& request : journal.requests) {
        for (const std::string& fault : request.faults) {
            ++figures.device_faults[fault];
        }
    }
    for (size_t tx = 0; tx < traffic.sent.size(); ++tx) {
        figures.logged_not_heard += heard_index[tx] < 0;
        if (!attempt_failed(tx)) {
            continue;
        }
        const LoggedFrame& rx = traffic.received[tx];
        if (rx.failure.empty()) {
            ++figures.attempt_failures["exception response"];
        }
        for (size_t at = 0; at < rx.failure.size();) {
            const size_t end = rx.failure.find(". ", at);
            const size_t stop = end == std::string::npos ? rx.failure.size() : end + 1;
            ++figures.attempt_failures[rx.failure.substr(at, stop - at)];
            at = end == std::string::npos ? stop : end + 2;
        }
        if (unclean(tx).empty()) {
            ++figures.unexplained_attempts;
            example(figures, "unexplained attempts", describe(tx));
        } else if (drain_missed(tx)) {
            ++figures.drain_misses;
            example(figures, "bytes the drain should have dropped", describe(tx));
        }
    }
    figures.heard_not_logged =
        static_cast<long>(journal.requests.size()) - (figures.attempts - figures.logged_not_heard);
    for (const Call& call : calls) {
        check_call(call, figures);
    }
    check_stream(figures, changes);
    count_carried_out(figures);
    return figures;
}

}  // namespace soak
