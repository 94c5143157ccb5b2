// The soak's verdicts, on a line written by hand: an SDK traffic record and a device
// journal on one time line (the SDK clock's zero at the journal's zero).
#include "soak/soak_checker.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "fakes/wire.hpp"

using fakes::hex;
using fakes::with_crc;

namespace {

std::string text(const std::vector<uint8_t>& bytes, const char* separator) {
    std::string out;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        out += separator + std::string(digits);
    }
    return out;
}

class Line {
  public:
    // One attempt: sent at sent_us (heard 10 us later); the device puts `answer` on the
    // line from answer_us to answer_us + 100 (nothing when empty); the SDK ends the
    // exchange at done_us having taken `taken` with the traffic log's `failure` text.
    void attempt(const std::vector<uint8_t>& request, int64_t sent_us,
                 const std::vector<uint8_t>& answer, int64_t answer_us,
                 const std::vector<uint8_t>& taken, const std::string& failure, int64_t done_us,
                 const std::string& faults = "", size_t frame_length = 0) {
        traffic.write(std::to_string(sent_us) + "\ttx" + text(request, "\t"));
        traffic.write(std::to_string(done_us) + "\trx" + text(taken, "\t") +
                      (failure.empty() ? "" : "\t" + failure));
        ++seq;
        journal << sent_us + 10 << "\trequest\t" << seq << "\t" << sent_us + 10 << "\tserved\t"
                << text(request, "") << "\n";
        if (!faults.empty())
            journal << sent_us + 10 << "\tfault\t" << seq << "\t1\t" << faults << "\n";
        if (!answer.empty())
            journal << answer_us << "\tresponse\t" << seq << "\t1\t" << answer_us + 100 << "\t"
                    << (frame_length ? frame_length : answer.size()) << "\t" << text(answer, "")
                    << "\n";
    }

    soak::SoakFigures check(const std::vector<soak::Call>& calls,
                            const std::vector<soak::CacheChange>& changes = {}) {
        // One file per test: CTest runs these tests in parallel processes.
        const std::string path = ::testing::TempDir() + "soak_checker_" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 ".tsv";
        std::ofstream(path) << journal.str();
        soak::DeviceJournal device;
        EXPECT_TRUE(device.read(path)) << device.error();
        std::remove(path.c_str());
        return soak::SoakChecker(traffic, device, 0, 0, 1000000).check(calls, changes);
    }

    soak::TrafficRecord traffic;
    std::ostringstream journal;
    long seq = 0;
};

soak::Call call(soak::CallKind kind, size_t first_tx, size_t end_tx, bool failed,
                std::vector<uint16_t> values = {}) {
    soak::Call c;
    c.kind = kind;
    c.first_tx = first_tx;
    c.end_tx = end_tx;
    c.failed = failed;
    c.values = std::move(values);
    return c;
}

const std::vector<uint8_t> kRead = with_crc(hex("01 03 02 58 00 01"));
const std::vector<uint8_t> kOld = with_crc(hex("01 03 02 12 34"));
const std::vector<uint8_t> kNew = with_crc(hex("01 03 02 56 78"));

}  // namespace

TEST(SoakChecker, ReadSucceedingWithAnotherRequestsLateAnswerIsWrongData) {
    Line line;
    const std::vector<uint8_t> other_read = with_crc(hex("01 03 02 59 00 01"));
    // Not important, answered late: its answer lands in the next read, of another register.
    line.attempt(other_read, 1000, kOld, 31000, {}, "Timed out. ", 21100, "late");
    line.attempt(kRead, 23200, kNew, 31200, kOld, "", 31150);
    // An important read resent after a late answer, which the resend takes: the same
    // request, so the values are the device's, if older.
    line.attempt(kRead, 40000, kOld, 70000, {}, "Timed out. ", 60100, "late");
    line.attempt(kRead, 62200, kNew, 70200, kOld, "", 70150);
    const soak::SoakFigures figures = line.check(
        {call(soak::CallKind::read, 0, 1, true), call(soak::CallKind::read, 1, 2, false, {0x1234}),
         call(soak::CallKind::read, 2, 4, false, {0x1234})});
    EXPECT_EQ(figures.wrong_data, 1);
    EXPECT_EQ(figures.earlier_attempt_answers, 1);
    EXPECT_EQ(figures.unexplained_failures, 0);
    EXPECT_EQ(figures.attempt_failures.at("Timed out."), 2);
}

TEST(SoakChecker, FailureNeedsAnExplanationOnTheLine) {
    Line line;
    // A clean, timely, valid answer, and still a failure: unexplained.
    line.attempt(kRead, 1000, kNew, 1300, hex("00 01 03 02 56 78 0e"), "Wrong CRC. ", 1500);
    // A corrupted answer explains it.
    std::vector<uint8_t> bad = kNew;
    bad.back() ^= 0x5A;
    line.attempt(kRead, 10000, bad, 10300, bad, "Wrong CRC. ", 10500, "corrupt-crc");
    // A stray byte after the answer before, just ahead of the request, explains it...
    std::vector<uint8_t> stray = kNew;
    stray.push_back(0x77);
    line.attempt(kRead, 18800, stray, 18900, kNew, "", 18950, "stray", kNew.size());
    line.attempt(kRead, 19950, kNew, 20300, hex("77 01 03 02 56 78"), "Wrong CRC. ", 20500);
    // One long before the request explains it too, but the interframe drain should have
    // dropped it...
    line.attempt(kRead, 30000, stray, 30200, kNew, "", 30250, "stray", kNew.size());
    line.attempt(kRead, 40000, kNew, 40300, hex("77 01 03 02 56 78"), "Wrong CRC. ", 40500);
    // ...while a byte of a clean answer before, taken again, explains nothing.
    line.attempt(kRead, 50000, kNew, 50200, kNew, "", 50400);
    line.attempt(kRead, 60000, kNew, 60300, hex("0e 01 03 02 56 78"), "Wrong CRC. ", 60500);
    std::vector<soak::Call> calls;
    for (size_t tx = 0; tx < 8; ++tx) {
        const bool failed = tx % 2 == 1 || tx == 0;
        calls.push_back(call(soak::CallKind::read, tx, tx + 1, failed,
                             failed ? std::vector<uint16_t>{} : std::vector<uint16_t>{0x5678}));
    }
    const soak::SoakFigures figures = line.check(calls);
    EXPECT_EQ(figures.unexplained_failures, 2);  // the first and the last
    EXPECT_EQ(figures.drain_misses, 1);
    EXPECT_EQ(figures.failed_calls, 5);
    EXPECT_EQ(figures.wrong_data, 0);
}

TEST(SoakChecker, TelemetryMustComeFromAValidStreamAnswer) {
    Line line;
    const std::vector<uint8_t> stream = with_crc(hex("01 64 1c 00 00 01 f4"));
    const std::vector<uint8_t> answer =
        with_crc(hex("01 64 00 00 00 0a 00 00 01 f4 00 03 1a 5d c0 00 00"));
    line.attempt(stream, 1000, answer, 1200, answer, "", 1400);
    line.attempt(stream, 5000, answer, 5200, answer, "", 5400);
    zelkSDK::StreamData sent;
    sent.position = 10;
    sent.force = 500;
    sent.power = 3;
    sent.temperature = 26;
    sent.voltage = 0x5dc0;
    zelkSDK::StreamData invented = sent;
    invented.position = 11;
    const soak::SoakFigures figures = line.check({}, {{sent, {0}}, {invented, {1}}});
    EXPECT_EQ(figures.unsent_telemetry, 1);
    EXPECT_EQ(figures.telemetry_from_elsewhere, 0);
    EXPECT_EQ(figures.stream_exchanges, 2);
}
