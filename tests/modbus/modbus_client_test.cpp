#include "sdk/modbus/modbus_client.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "fakes/fake_clock.hpp"
#include "fakes/fake_log.hpp"
#include "fakes/fake_serial.hpp"
#include "fakes/wire.hpp"
#include "sdk/modbus/request_builders.hpp"
#include "sdk/modbus/wire.hpp"

using namespace zelkSDK;
using fakes::hex;
using fakes::with_crc;

namespace {

const std::vector<uint8_t> kReadTwo = hex("01 03 01 56 00 02 25 E7");
const std::vector<uint8_t> kTwoRegisters = hex("01 03 04 12 34 56 78 81 07");

class ModbusClientTest : public ::testing::Test {
  protected:
    fakes::FakeSerial line;
    fakes::FakeClock clock;
    ModbusClient client{line, clock};

    void queue_read(MessagePriority priority = MessagePriority::important) {
        ASSERT_TRUE(client.enqueue_transaction(build_read_holding_registers(1, 342, 2, priority)));
    }
    // Passes the engine, taking every finished exchange like the owner does.
    std::vector<Transaction> pass() {
        std::vector<Transaction> done;
        client.run_in();
        if (client.is_response_ready())
            done.push_back(client.dequeue_transaction());
        client.run_out();
        return done;
    }
    // The exchange is still open now and times out (0x10) one microsecond later.
    void expect_timeout_one_us_later() {
        client.run_in();
        EXPECT_FALSE(client.is_response_ready());
        clock.advance(1);
        client.run_in();
        ASSERT_TRUE(client.is_response_ready());
        EXPECT_EQ(client.dequeue_transaction().failure_flags, 0x10);
    }
    // The line stays quiet for quiet_us more, and the next request goes one microsecond later.
    void expect_next_request_after_us(int64_t quiet_us) {
        const size_t sent = line.frames.size();
        clock.advance(quiet_us);
        client.run_out();
        EXPECT_EQ(line.frames.size(), sent);
        clock.advance(1);
        client.run_out();
        EXPECT_EQ(line.frames.size(), sent + 1);
    }
    // Runs until the queue is empty, advancing the clock 1 ms a pass.
    std::vector<Transaction> drain(int max_passes = 10000) {
        std::vector<Transaction> done;
        for (int i = 0; i < max_passes && client.get_queue_size() > 0; ++i) {
            for (Transaction& t : pass())
                done.push_back(t);
            clock.advance(1000);
        }
        return done;
    }
};

}  // namespace

TEST_F(ModbusClientTest, SendsTheFrameAndAnnouncesTheResponseLength) {
    queue_read();
    client.run_out();
    ASSERT_EQ(line.frames.size(), 1u);
    EXPECT_EQ(line.frames[0], kReadTwo);
    EXPECT_EQ(line.announced, std::vector<size_t>{9});
    EXPECT_EQ(client.get_state(), ConnectionState::awaiting_response);
    EXPECT_EQ(client.get_diagnostic_counters()[messages_sent], 1);
    EXPECT_EQ(client.get_diagnostic_counters()[bytes_sent], 8);
}

TEST_F(ModbusClientTest, WholeResponseInOneBatchCompletesInOnePass) {
    queue_read();
    client.run_out();
    line.push(kTwoRegisters);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.get_state(), ConnectionState::interframe_wait);
    const Transaction done = client.dequeue_transaction();
    EXPECT_EQ(done.state, TransactionState::dequeued);
    EXPECT_EQ(done.failure_flags, 0);
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(client.get_diagnostic_counters()[bytes_received], 9);
    EXPECT_EQ(client.get_diagnostic_counters()[valid_responses], 1);
}

TEST_F(ModbusClientTest, ResponseTimeoutIsStrict) {
    clock.advance(kResponseTimeoutUs + 1);
    EXPECT_EQ(client.check_timeouts(), 0);  // idle: no limit runs
    queue_read(MessagePriority::not_important);
    client.run_out();
    clock.advance(20000);  // the time limits are written out: they are the protocol's
    expect_timeout_one_us_later();
    EXPECT_EQ(client.get_diagnostic_counters()[response_timeouts], 1);
}

TEST_F(ModbusClientTest, AShorterResponseTimeoutShortensTheQuietAfterIt) {
    client.set_response_timeout_us(5000);
    queue_read(MessagePriority::not_important);
    queue_read(MessagePriority::not_important);
    client.run_out();
    clock.advance(5000);
    EXPECT_TRUE(pass().empty());
    clock.advance(1);
    ASSERT_EQ(pass().size(), 1u);
    EXPECT_EQ(client.late_answer_window_us(), 10000);
    expect_next_request_after_us(10000);
    EXPECT_EQ(client.recovery_window_us(), 5000);
}

TEST_F(ModbusClientTest, BytesWaitingWhenTheLimitPassesAreStillTaken) {
    queue_read();
    client.run_out();
    clock.advance(kResponseTimeoutUs + 500);
    line.in_driver = true;  // the answer came, the reader has not handed it over yet
    client.run_in();
    EXPECT_FALSE(client.is_response_ready());
    EXPECT_EQ(client.next_deadline_us(), clock.now + kDriverHandOverWaitUs);
    line.in_driver = false;
    line.push(kTwoRegisters);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.dequeue_transaction().failure_flags, 0);
    // ...and so are the rest of an answer when the gap between its bytes passes.
    clock.advance(kDefaultInterframeDelayUs + 1);
    queue_read();
    client.run_out();
    line.push(hex("01 03 04 12 34"));
    client.run_in();
    clock.advance(16001);
    line.in_driver = true;
    client.run_in();
    EXPECT_FALSE(client.is_response_ready());
    line.in_driver = false;
    line.push(hex("56 78 81 07"));
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.dequeue_transaction().failure_flags, 0);
}

TEST_F(ModbusClientTest, IntercharTimeoutAfterSilenceMidResponse) {
    queue_read(MessagePriority::not_important);
    client.run_out();
    line.push(hex("01 03 04 12 34"));
    client.run_in();
    EXPECT_EQ(client.get_state(), ConnectionState::receiving);
    clock.advance(16000);
    client.run_in();
    EXPECT_FALSE(client.is_response_ready());
    clock.advance(1);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    const Transaction done = client.dequeue_transaction();
    EXPECT_EQ(done.failure_flags, 0x08);
    EXPECT_EQ(done.rx_length, 5);
    EXPECT_EQ(client.get_diagnostic_counters()[interchar_timeouts], 1);
    EXPECT_EQ(client.get_diagnostic_counters()[unexpected_interchars], 1);
}

TEST_F(ModbusClientTest, OpenLengthResponseEndsAtTheGapAndIsValidated) {
    Transaction open = build_read_holding_registers(1, 342, 2, MessagePriority::not_important);
    open.expected_response_length = kOpenResponseLength;
    client.enqueue_transaction(open);
    client.run_out();
    line.push(kTwoRegisters);
    client.run_in();
    EXPECT_FALSE(client.is_response_ready());
    clock.advance(kIntercharTimeoutUs + 1);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.dequeue_transaction().failure_flags, 0);
}

TEST_F(ModbusClientTest, InterframeDelayHoldsTheNextRequestAndStrayBytesRestartIt) {
    queue_read();
    queue_read();
    client.run_out();
    line.push(kTwoRegisters);
    ASSERT_EQ(pass().size(), 1u);
    clock.advance(2000);  // the default interframe delay
    client.run_out();
    EXPECT_EQ(line.frames.size(), 1u);
    line.push(hex("EE EE"));  // late bytes of the previous exchange
    clock.advance(1);
    client.run_out();  // drained, and the line must be quiet for a new window
    EXPECT_EQ(line.frames.size(), 1u);
    EXPECT_TRUE(line.incoming.empty());
    EXPECT_EQ(client.get_diagnostic_counters()[drained_bytes], 2);
    EXPECT_EQ(client.get_diagnostic_counters()[bytes_received], 11);
    clock.advance(kDefaultInterframeDelayUs);
    line.push(hex("EE"));
    client.run_in();  // also while waiting: the window starts again
    expect_next_request_after_us(2000);
    EXPECT_EQ(line.receive_without_ready, 0);
}

TEST_F(ModbusClientTest, StaleBytesAreDrainedBeforeASendFromIdle) {
    // A late answer that lands while the engine is idle is never taken for the next one,
    // however many bytes wait.
    line.push(std::vector<uint8_t>(kMaxDrainBytesPerPass, 0xEE));
    line.push(hex("01 03 02 12 34 B5 33"));
    client.enqueue_transaction(build_read_holding_registers(1, 200, 1, MessagePriority::important));
    client.run_out();  // one pass drains exactly its bound; the rest goes in the next
    EXPECT_EQ(line.incoming.size(), 7u);
    pass();
    EXPECT_TRUE(line.frames.empty());
    EXPECT_TRUE(line.incoming.empty());
    EXPECT_EQ(client.get_diagnostic_counters()[drained_bytes], kMaxDrainBytesPerPass + 7);
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    ASSERT_EQ(line.frames.size(), 1u);
}

TEST_F(ModbusClientTest, ResponseTimeoutCountsFromTheEndOfTheRequestOnTheWire) {
    ASSERT_FALSE(static_cast<bool>(client.open_serial_port("/dev/x", 19200, 2000)));
    const uint8_t values[32] = {};
    client.enqueue_transaction(
        build_write_multiple_registers(1, 0, 16, values, MessagePriority::not_important));
    clock.advance(client.recovery_window_us() + 1);  // the quiet after opening
    client.run_out();
    ASSERT_EQ(line.frames.at(0).size(), 41u);
    const int64_t wire = (41 * 11 * 1000000 + 19199) / 19200;  // 23490 us
    EXPECT_EQ(client.wire_time_us(41), wire);
    EXPECT_EQ(client.next_deadline_us(), clock.now + kResponseTimeoutUs + wire + 1);
    clock.advance(kResponseTimeoutUs + wire);
    expect_timeout_one_us_later();
    // Rounded up, and only then: 96 characters are exactly 55 ms at 19200 baud.
    EXPECT_EQ(client.wire_time_us(96), 55000);
    client.adjust_baud_rate(10'999'999);
    EXPECT_EQ(client.wire_time_us(1), 2);
    EXPECT_FALSE(static_cast<bool>(client.open_serial_port("/dev/x", 0, 2000)));
    EXPECT_EQ(client.wire_time_us(1000), 0);  // no baud rate: no wire time
}

TEST_F(ModbusClientTest, LateAnswerToAFailedRequestIsDrainedInTheRecoveryWindow) {
    // Reads of two registers alternate; the device answers the first one too late.
    client.enqueue_transaction(
        build_read_holding_registers(1, 100, 1, MessagePriority::not_important));
    client.enqueue_transaction(
        build_read_holding_registers(1, 200, 1, MessagePriority::not_important));
    client.run_out();
    clock.advance(kResponseTimeoutUs + 1);
    ASSERT_EQ(pass().size(), 1u);
    EXPECT_EQ(client.get_state(), ConnectionState::interframe_wait);
    clock.advance(2 * kResponseTimeoutUs - 3000);  // after a time-out: twice the time-out
    client.run_out();
    EXPECT_EQ(line.frames.size(), 1u);
    line.push(with_crc(hex("01 03 02 04 57")));  // 1111, the late answer for register 100
    client.run_in();
    clock.advance(client.late_answer_window_us());
    client.run_out();
    EXPECT_EQ(line.frames.size(), 1u);  // the late answer restarted the window
    clock.advance(1);
    client.run_out();
    ASSERT_EQ(line.frames.size(), 2u);
    line.push(with_crc(hex("01 03 02 08 AE")));  // 2222
    const std::vector<Transaction> done = pass();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].failure_flags, 0);
    EXPECT_EQ(done[0].rx_buffer[3] * 256 + done[0].rx_buffer[4], 2222);
}

// A USB-serial adapter hands an answer over in packets, at its latency timer's ticks.
TEST_F(ModbusClientTest, AdapterLatencyWidensTheTimeLimitsAndOpenTakesItFromTheLine) {
    line.adapter_latency = 16000;
    ASSERT_FALSE(static_cast<bool>(client.open_serial_port("/dev/ttyUSB0", 115200, 2000)));
    EXPECT_EQ(client.get_adapter_latency_us(), 16000);
    // Its answer pauses gap_us after its fifth byte: the failure flags.
    const auto read_with_gap = [&](int64_t gap_us) {
        clock.advance(client.late_answer_window_us() + 1);
        queue_read(MessagePriority::not_important);
        client.run_out();
        line.push(hex("01 03 04 12 34"));
        client.run_in();
        clock.advance(gap_us);
        client.run_in();
        line.push(hex("56 78 81 07"));
        client.run_in();
        return client.is_response_ready() ? client.dequeue_transaction().failure_flags : -1;
    };
    // 16 ms, two characters at 115200 baud (191 us) and 1 ms.
    EXPECT_EQ(client.effective_intercharacter_timeout_us(), 17191);
    EXPECT_EQ(read_with_gap(17191), 0);
    EXPECT_EQ(read_with_gap(17192), 0x08);
    client.set_adapter_latency_us(0);
    EXPECT_EQ(read_with_gap(16500), 0x08);  // a tick's pause fails without the budget
    client.set_intercharacter_timeout_us(30000);
    client.set_adapter_latency_us(16000);
    EXPECT_EQ(client.effective_intercharacter_timeout_us(), 30000);  // a longer one stays

    // The response time-out and the windows after a failure grow by the latency.
    clock.advance(client.late_answer_window_us() + 1);
    queue_read(MessagePriority::not_important);
    client.run_out();
    clock.advance(client.wire_time_us(8) + kResponseTimeoutUs + 16000);
    expect_timeout_one_us_later();
    EXPECT_EQ(client.recovery_window_us(), 36000);
    EXPECT_EQ(client.late_answer_window_us(), 72000);
    for (const int64_t bad : {-1, 1'000'001}) {
        EXPECT_THROW(client.set_adapter_latency_us(bad), std::invalid_argument);
    }
    EXPECT_EQ(client.get_adapter_latency_us(), 16000);
}

TEST_F(ModbusClientTest, ResponsesThatDoNotAnswerTheRequestFailAndAreResent) {
    client.enqueue_transaction(build_read_holding_registers(1, 0, 1, MessagePriority::important));
    client.run_out();
    line.push(hex("01 03 00 00 00 19 84"));  // clean frame, byte count 0
    const std::vector<Transaction> done = pass();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].failure_flags, 0x04);
    EXPECT_EQ(client.get_diagnostic_counters()[mismatched_responses], 1);
    EXPECT_EQ(client.get_diagnostic_counters()[valid_responses], 0);
    EXPECT_EQ(client.get_queue_size(), 1u);  // the resend, after the recovery window
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 1u);
    clock.advance(client.recovery_window_us());
    client.run_out();
    EXPECT_EQ(line.frames.size(), 2u);
}

TEST_F(ModbusClientTest, ImportantRequestIsSentSixTimesAgainstASilentDevice) {
    queue_read(MessagePriority::important);
    const std::vector<Transaction> attempts = drain();
    ASSERT_EQ(attempts.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(attempts[i].num_retries, i);
        EXPECT_EQ(attempts[i].failure_flags, 0x10);
    }
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(line.frames.size(), 6u);
    for (const auto& frame : line.frames)
        EXPECT_EQ(frame, kReadTwo);
}

TEST_F(ModbusClientTest, NotImportantRequestIsSentOnce) {
    queue_read(MessagePriority::not_important);
    EXPECT_EQ(drain().size(), 1u);
    EXPECT_EQ(line.frames.size(), 1u);
}

TEST_F(ModbusClientTest, ExceptionAnswersToImportantRequestsAreResent) {
    queue_read();
    client.run_out();
    line.push(hex("01 83 06 C1 32"));
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.get_queue_size(), 2u);
    const Transaction first = client.dequeue_transaction();
    EXPECT_EQ(first.failure_flags, 0);
    EXPECT_EQ(client.get_diagnostic_counters()[exception_responses], 1);
    EXPECT_EQ(client.get_diagnostic_counters()[busy_exceptions], 1);
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 2u);
}

TEST_F(ModbusClientTest, RetryGoesRightBehindTheFailedFront) {
    queue_read(MessagePriority::important);
    client.enqueue_transaction(build_write_single_register(1, 3, 2, MessagePriority::important));
    client.run_out();
    clock.advance(kResponseTimeoutUs + 1);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    client.dequeue_transaction();
    clock.advance(client.late_answer_window_us() + 1);
    client.run_out();
    ASSERT_EQ(line.frames.size(), 2u);
    EXPECT_EQ(line.frames[1], kReadTwo);  // the resend, ahead of the queued write
}

TEST_F(ModbusClientTest, BroadcastFinishesAfterTheBroadcastDelayWhateverArrives) {
    client.enqueue_transaction(build_write_single_register(0, 3, 2, MessagePriority::important));
    client.enqueue_transaction(build_write_single_register(1, 3, 2, MessagePriority::important));
    client.run_out();
    EXPECT_EQ(client.get_state(), ConnectionState::broadcast_wait);
    line.push(hex("0F"));  // a stray byte does not make it fail
    clock.advance(kBroadcastDelayUs);
    client.run_in();
    EXPECT_FALSE(client.is_response_ready());
    EXPECT_TRUE(line.incoming.empty());
    clock.advance(1);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    const Transaction done = client.dequeue_transaction();
    EXPECT_EQ(done.failure_flags, 0);
    EXPECT_EQ(client.get_queue_size(), 1u);  // no resend of a broadcast
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 2u);
}

TEST_F(ModbusClientTest, LineThatKeepsSendingNeverHangsTheEngine) {
    auto log = std::make_shared<fakes::FakeLog>();
    client.begin_logging(log);
    Transaction open = build_read_holding_registers(1, 342, 2, MessagePriority::not_important);
    open.expected_response_length = kOpenResponseLength;
    client.enqueue_transaction(open);
    queue_read(MessagePriority::important);
    client.run_out();
    line.endless = true;
    const std::vector<Transaction> done = drain(1000);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].rx_length, kMaxFrameLength);
    EXPECT_EQ(done[0].failure_flags, 0x60);  // 0x55 bytes: wrong address, wrong CRC
    EXPECT_EQ(done[1].failure_flags, 0x01);  // never sent: the line never fell quiet
    EXPECT_EQ(line.frames.size(), 1u);
    EXPECT_EQ(log->lines.back().substr(log->lines.back().find("\trx")), "\trx\tLine busy. ");
}

TEST_F(ModbusClientTest, LostLineFailsEveryRequestAtOnceWithoutResending) {
    auto log = std::make_shared<fakes::FakeLog>();
    client.begin_logging(log);
    queue_read();
    queue_read();
    client.run_out();
    line.failure = "Input/output error";
    std::vector<Transaction> done = pass();
    done.push_back(pass().at(0));
    for (const Transaction& t : done)
        EXPECT_EQ(t.failure_flags, 0x02);
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(line.frames.size(), 1u);
    EXPECT_EQ(log->lines.back().substr(log->lines.back().find("\trx")), "\trx\tLine lost. ");
    // A quiet window after a finished exchange ends too: nothing is left to wait for.
    line.failure.clear();
    queue_read();
    client.run_out();
    line.push(kTwoRegisters);
    ASSERT_EQ(pass().size(), 1u);
    EXPECT_EQ(client.get_state(), ConnectionState::interframe_wait);
    line.failure = "Input/output error";
    client.run_in();
    EXPECT_EQ(client.get_state(), ConnectionState::idle);
}

TEST_F(ModbusClientTest, EmptyRequestIsNeverQueued) {
    EXPECT_FALSE(client.enqueue_transaction(
        build_read_holding_registers(1, 0, 200, MessagePriority::important)));
    EXPECT_FALSE(client.enqueue_transaction(Transaction()));
    EXPECT_EQ(client.get_queue_size(), 0u);
}

TEST_F(ModbusClientTest, OpenClearsTheQueueAndAdoptsTheDelayOnlyOnSuccess) {
    queue_read();
    line.open_failure = "No such file or directory";
    const ZelkError failed = client.open_serial_port("/dev/missing", 19200, 5000);
    EXPECT_TRUE(static_cast<bool>(failed));
    EXPECT_EQ(failed.what(), "No such file or directory");  // the line's own text, unchanged
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(client.get_interframe_delay_us(), kDefaultInterframeDelayUs);

    queue_read();
    line.open_failure.clear();
    EXPECT_FALSE(static_cast<bool>(client.open_serial_port(3, 19200, 5000)));
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(client.get_interframe_delay_us(), 5000);
    EXPECT_EQ(client.get_state(), ConnectionState::interframe_wait);
    EXPECT_EQ(line.calls.back(), "open #3 19200");
    // Whatever the line carried before must have ended: the first request waits the
    // recovery window, not just the interframe delay.
    queue_read();
    clock.advance(5001);
    client.run_out();
    EXPECT_TRUE(line.frames.empty());
    clock.advance(client.recovery_window_us() - 5000);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 1u);
}

TEST_F(ModbusClientTest, InterframeDelayOutsideASecondIsRefusedBeforeThePortIsTouched) {
    for (int delay : {-1, kMaxInterframeDelayUs + 1}) {
        const ZelkError refused = client.open_serial_port("/dev/ttyUSB0", 19200, delay);
        EXPECT_EQ(refused.what(), "Interframe delay " + std::to_string(delay) +
                                      " us is out of range: 0 to 1000000 us.");
    }
    EXPECT_TRUE(line.calls.empty());
    EXPECT_FALSE(static_cast<bool>(client.open_serial_port(1, 19200, kMaxInterframeDelayUs)));
}

TEST_F(ModbusClientTest, LogWriteFailuresAreCountedAndReportedOnceButNeverFailTheExchange) {
    auto log = std::make_shared<fakes::FakeLog>();
    log->write_failure = "Failed to write to log file t.log: No space left on device.";
    client.begin_logging(log);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i) {
        clock.advance(100000);
        queue_read();
        client.run_out();
        line.push(kTwoRegisters);
        ASSERT_EQ(pass().at(0).failure_flags, 0);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Serial traffic log: " + log->write_failure +
                  " Later failures are counted, not printed.\n");
    EXPECT_EQ(client.get_log_write_failures(), 4u);
    EXPECT_EQ(client.get_last_log_error().what(), log->write_failure);
    client.begin_logging(std::make_shared<fakes::FakeLog>());
    EXPECT_EQ(client.get_log_write_failures(), 0u);
}

TEST_F(ModbusClientTest, LogsOneTxAndOneRxLinePerExchange) {
    auto log = std::make_shared<fakes::FakeLog>();
    client.begin_logging(log);
    clock.now = 1500000;
    queue_read();
    client.run_out();
    line.push(kTwoRegisters);
    client.run_in();
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_EQ(log->lines[0], "1500000\ttx\t01\t03\t01\t56\t00\t02\t25\te7");
    EXPECT_EQ(log->lines[1], "1500000\trx\t01\t03\t04\t12\t34\t56\t78\t81\t07");
}

TEST_F(ModbusClientTest, LogNamesEveryFailureInItsOrder) {
    auto log = std::make_shared<fakes::FakeLog>();
    client.begin_logging(log);
    struct Case {
        std::vector<uint8_t> response;  // then silence
        const char* text;
    };
    const Case cases[] = {
        {{}, "Timed out. "},
        {hex("01 03 04 12 34"), "Unexpected interchar. "},
        {with_crc(hex("02 03 04 12 34 56 78")), "Wrong address. "},
        {hex("01 03 04 12 34 56 78 00 00"), "Wrong CRC. "},
        {hex("02 03 04 12 34 56 78 00 00"), "Wrong address. Wrong CRC. "},
        {with_crc(hex("01 03 02 12 34 56 78")), "Response does not match. "},  // byte count 2
    };
    for (const Case& c : cases) {
        queue_read(MessagePriority::not_important);
        clock.advance(client.late_answer_window_us() + 1);  // whatever failed before
        client.run_out();
        line.push(c.response);
        client.run_in();
        clock.advance(kResponseTimeoutUs + 1);
        const int64_t when = clock.now;
        client.run_in();
        std::string expected = "\trx";
        for (uint8_t b : c.response) {
            static const char kDigits[] = "0123456789abcdef";
            expected += {'\t', kDigits[b >> 4], kDigits[b & 0x0F]};
        }
        ASSERT_TRUE(client.is_response_ready());
        const std::string& rx = log->lines.back();
        EXPECT_EQ(rx.substr(rx.find("\trx")), expected + "\t" + c.text);
        if (c.response.empty()) {
            EXPECT_EQ(rx, std::to_string(when) + "\trx\tTimed out. ");
        }
        client.dequeue_transaction();
    }
    EXPECT_EQ(log->lines.size(), 12u);
}

TEST_F(ModbusClientTest, AdjustBaudRateReachesTheLine) {
    client.adjust_baud_rate(115200);
    EXPECT_EQ(line.calls.back(), "baud 115200");
}

TEST_F(ModbusClientTest, FrontTakenAwayInFlightLeavesTheEngineSound) {
    queue_read();
    client.run_out();
    client.dequeue_transaction();  // before it finished
    clock.advance(kResponseTimeoutUs + 1);
    line.push(kTwoRegisters);
    client.run_in();
    EXPECT_EQ(client.get_state(), ConnectionState::interframe_wait);
    EXPECT_FALSE(client.is_response_ready());
    queue_read();
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 2u);
    EXPECT_TRUE(line.incoming.empty());  // the late answer was drained, not taken
}

TEST_F(ModbusClientTest, FinishedFrontWaitsForItsOwnerAndIsNeverSentAgain) {
    client.run_out();  // an empty queue sends nothing
    queue_read();
    client.run_out();
    line.push(kTwoRegisters);
    client.run_in();
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();  // before the owner takes the answer, as direct users of the engine may
    EXPECT_EQ(line.frames.size(), 1u);
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.dequeue_transaction().failure_flags, 0);
    EXPECT_EQ(client.get_diagnostic_counters()[messages_sent], 1);
}

// ---- two-wire lines: the line's echo of the request ----

TEST_F(ModbusClientTest, LocalEchoComesFirstAndAChangedByteFailsTheExchangeAndIsResent) {
    auto log = std::make_shared<fakes::FakeLog>();
    client.begin_logging(log);
    client.set_local_echo(true);
    queue_read();
    client.run_out();
    EXPECT_EQ(client.get_state(), ConnectionState::awaiting_echo);
    std::vector<uint8_t> collided = kReadTwo;
    collided[3] ^= 0x10;
    line.push(collided);
    line.push(kTwoRegisters);
    std::vector<Transaction> done = pass();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].failure_flags, 0x80);
    EXPECT_NE(log->lines.back().find("\tEcho mismatch. "), std::string::npos);
    EXPECT_EQ(client.get_diagnostic_counters()[echo_mismatches], 1);
    pass();  // the rest of the answer is drained, and the window starts again
    clock.advance(client.recovery_window_us() + 1);
    client.run_out();
    ASSERT_EQ(line.frames.size(), 2u);
    line.push(kReadTwo);  // echo and answer in one batch
    line.push(kTwoRegisters);
    done = pass();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].num_retries, 1);
    EXPECT_EQ(done[0].failure_flags, 0);
    // The echo is no part of the answer, nor of the log.
    EXPECT_EQ(log->lines.back().substr(log->lines.back().find("\trx")),
              "\trx\t01\t03\t04\t12\t34\t56\t78\t81\t07");
}

TEST_F(ModbusClientTest, AnswerTimeoutCountsFromTheEchoOrTheWireWhicheverIsLater) {
    ASSERT_FALSE(static_cast<bool>(client.open_serial_port("/dev/x", 19200, 2000)));
    client.set_local_echo(true);
    const int64_t wire = client.wire_time_us(8);
    const auto send = [&] {
        clock.advance(client.late_answer_window_us() + 1);
        queue_read(MessagePriority::not_important);
        client.run_out();
        return clock.now + wire;  // the request has left the wire
    };
    // A UART hears its echo while it sends, a USB adapter hands it over later.
    for (const int64_t echo_after : {wire / 2, wire + 3000}) {
        const int64_t off_wire = send();
        clock.advance(echo_after);
        line.push(kReadTwo);
        client.run_in();
        EXPECT_EQ(client.get_state(), ConnectionState::awaiting_response);
        EXPECT_EQ(client.next_deadline_us(),
                  std::max(off_wire, clock.now) + kResponseTimeoutUs + 1);
        clock.advance(kResponseTimeoutUs + wire);
        pass();
    }

    // A line that does not echo: no echo by the time an answer would be late.
    const int64_t off_wire = send();
    clock.now = off_wire + kResponseTimeoutUs;
    EXPECT_TRUE(pass().empty());
    clock.advance(1);
    ASSERT_EQ(pass().at(0).failure_flags, 0x100);
    EXPECT_EQ(client.get_diagnostic_counters()[missing_echoes], 1);
    EXPECT_EQ(wire::caller_failure_text(0x100), "No echo. ");
}

TEST_F(ModbusClientTest, UnaskedEchoIsDrainedAndFailsButACopyTooFastForAWireIsTheAnswer) {
    auto log = std::make_shared<fakes::FakeLog>();
    client.begin_logging(log);
    ASSERT_FALSE(static_cast<bool>(client.open_serial_port("/dev/x", 19200, 2000)));
    const std::vector<uint8_t> read_one = hex("01 03 01 3D 00 01 14 3A");
    const auto bytes = [&](int from, int to) {
        return std::vector<uint8_t>(read_one.begin() + from, read_one.begin() + to);
    };
    // Its echo begins while the request is still on the wire; on a busy machine its bytes
    // may come further apart than an answer's may.
    for (const int early : {3, 7}) {  // 7: as long as the answer to a one-register read
        clock.advance(client.recovery_window_us() + 1);
        client.enqueue_transaction(
            build_read_holding_registers(1, 317, 1, MessagePriority::not_important));
        client.run_out();
        const int64_t off_wire = clock.now + client.wire_time_us(8);
        clock.advance(1000);
        line.push(bytes(0, early));
        EXPECT_TRUE(pass().empty());
        clock.now = off_wire + kIntercharTimeoutUs;
        EXPECT_TRUE(pass().empty());
        line.push(bytes(early, 7));
        EXPECT_TRUE(pass().empty());
        line.push(bytes(7, 8));
        const std::vector<Transaction> done = pass();
        ASSERT_EQ(done.size(), 1u);
        EXPECT_EQ(done[0].failure_flags, 0x200);
        EXPECT_EQ(done[0].rx_length, 0);
    }
    EXPECT_EQ(client.get_diagnostic_counters()[drained_bytes], 16);
    EXPECT_EQ(log->lines.back().substr(log->lines.back().find("\trx")), "\trx\tLine echoes. ");
    EXPECT_EQ(wire::caller_failure_text(0x200), "Line echoes the request; enable local echo. ");

    // A whole copy before the request can have left the wire: a device on a pseudo-terminal
    // answering a single write (whose answer is its request).
    clock.advance(client.recovery_window_us() + 1);
    client.enqueue_transaction(build_write_single_register(1, 600, 5, MessagePriority::important));
    client.run_out();
    line.push(line.frames.back());
    const std::vector<Transaction> done = pass();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].failure_flags, 0);
}
