// Holds what the SDK reported (calls, the traffic record, telemetry cache changes) against
// what the device journal says happened on the line, request by request, and counts what
// does not add up. The journal is the ground truth: what the device heard, carried out and
// put on the line, with times.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "soak/device_journal.hpp"
#include "soak/soak_driver.hpp"
#include "soak/traffic_record.hpp"

namespace soak {

struct SoakFigures {
    long calls = 0;
    long failed_calls = 0;
    long attempts = 0;  // requests the SDK sent
    long stream_exchanges = 0;
    long failed_stream_exchanges = 0;
    std::map<std::string, long> device_faults;     // by kind, from the journal
    std::map<std::string, long> attempt_failures;  // by the traffic log's text

    // Must be 0.
    long wrong_data = 0;            // read successes unlike the device's answer to them
    long unexplained_failures = 0;  // failures with a clean answer to every attempt
    long unsent_telemetry = 0;      // telemetry no valid stream answer carried
    // Carried out by the device more often than the SDK sent it.
    long carried_out_extra = 0;

    // Also seen.
    long unexplained_attempts = 0;      // attempts failed despite a clean answer
    long unanswered_successes = 0;      // other successes without a valid answer of their own
    long telemetry_from_elsewhere = 0;  // taken from another exchange's answer
    long writes_repeated = 0;           // write calls carried out more than once (resends)
    long earlier_attempt_answers = 0;   // reads answered by an earlier attempt's late answer
    long drain_misses = 0;              // attempts failed on bytes the drain should have dropped
    long heard_not_logged = 0;          // requests the device heard that the SDK never logged
    long logged_not_heard = 0;

    std::map<std::string, std::vector<std::string>> examples;  // a few cases per figure

    bool must_be_zero_hold() const {
        return wrong_data == 0 && unexplained_failures == 0 && unsent_telemetry == 0;
    }
};

class SoakChecker {
  public:
    // The SDK clock's zero on the journal's time line is known to lie between
    // origin_low_us and origin_high_us; the requests' arrival times narrow it down.
    SoakChecker(const TrafficRecord& traffic, const DeviceJournal& journal, int64_t origin_low_us,
                int64_t origin_high_us, int baud_rate);

    // Where the SDK clock's zero was placed on the journal's time line.
    int64_t clock_origin_us() const { return origin_us; }

    SoakFigures check(const std::vector<Call>& calls, const std::vector<CacheChange>& changes);

  private:
    void align();
    void place_origin(int64_t low_us, int64_t high_us);
    const HeardRequest* heard(size_t tx) const;
    bool valid_answer(size_t tx) const;
    bool attempt_failed(size_t tx) const;
    // The register values of the attempt's valid answer; none without one.
    std::optional<std::vector<uint16_t>> values_answered(size_t tx) const;
    // Empty when the device answered the attempt cleanly: a valid frame, in time, with no
    // foreign bytes during the exchange or the one before; otherwise what went wrong.
    std::string unclean(size_t tx) const;
    // What was wrong with the attempt's own answer (missing, not valid, late), or "".
    std::string answer_problem(size_t tx) const;
    int64_t sent_us(size_t tx) const;   // on the journal's time line
    int64_t ended_us(size_t tx) const;  // when the SDK ended the exchange
    // Bytes on the line during the attempt that were not its own answer: stray bytes, a
    // late answer, the answer to another request, from when the request before was sent
    // until the exchange ended. Says what they were, or "" when there were none; latest_us
    // gets when the last of them was written.
    std::string foreign_bytes(size_t tx, int64_t& latest_us) const;
    // A good answer of its own, and foreign bytes all well before the request: the
    // interframe drain should have dropped them.
    bool drain_missed(size_t tx) const;
    std::string describe(size_t tx) const;
    void example(SoakFigures& figures, const std::string& figure, const std::string& text) const;
    std::vector<size_t> own_attempts(const Call& call) const;
    void check_call(const Call& call, SoakFigures& figures) const;
    void check_stream(SoakFigures& figures, const std::vector<CacheChange>& changes) const;
    void count_carried_out(SoakFigures& figures) const;

    const TrafficRecord& traffic;
    const DeviceJournal& journal;
    int64_t origin_us;
    int baud;
    std::vector<long> heard_index;  // per tx: index into journal.requests, -1: not heard
};

}  // namespace soak
