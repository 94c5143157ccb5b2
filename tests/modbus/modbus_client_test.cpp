#include "sdk/modbus/modbus_client.hpp"

#include <gtest/gtest.h>

#include <memory>

#include "fakes/fake_clock.hpp"
#include "fakes/fake_log.hpp"
#include "fakes/fake_serial.hpp"
#include "fakes/wire.hpp"
#include "sdk/modbus/request_builders.hpp"

using namespace zelkSDK;
using fakes::hex;

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
    EXPECT_EQ(client.get_state(), awaiting_response);
    EXPECT_EQ(client.get_diagnostic_counters()[messages_sent], 1);
    EXPECT_EQ(client.get_diagnostic_counters()[bytes_sent], 8);
}

TEST_F(ModbusClientTest, WholeResponseInOneBatchCompletesInOnePass) {
    queue_read();
    client.run_out();
    line.push(kTwoRegisters);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.get_state(), interframe_wait);
    const Transaction done = client.dequeue_transaction();
    EXPECT_EQ(done.state, dequeued);
    EXPECT_EQ(done.failure_flags, 0);
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(client.get_diagnostic_counters()[bytes_received], 9);
    EXPECT_EQ(client.get_diagnostic_counters()[valid_responses], 1);
}

TEST_F(ModbusClientTest, ResponseTimeoutIsStrict) {
    queue_read(MessagePriority::not_important);
    client.run_out();
    clock.advance(kResponseTimeoutUs);
    client.run_in();
    EXPECT_FALSE(client.is_response_ready());
    clock.advance(1);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.dequeue_transaction().failure_flags, 0x10);
    EXPECT_EQ(client.get_diagnostic_counters()[response_timeouts], 1);
}

TEST_F(ModbusClientTest, BytesWaitingWhenTheLimitPassesAreStillTaken) {
    queue_read();
    client.run_out();
    clock.advance(kResponseTimeoutUs + 500);
    line.push(kTwoRegisters);
    client.run_in();
    ASSERT_TRUE(client.is_response_ready());
    EXPECT_EQ(client.dequeue_transaction().failure_flags, 0);
}

TEST_F(ModbusClientTest, IntercharTimeoutAfterSilenceMidResponse) {
    queue_read(MessagePriority::not_important);
    client.run_out();
    line.push(hex("01 03 04 12 34"));
    client.run_in();
    EXPECT_EQ(client.get_state(), receiving);
    clock.advance(kIntercharTimeoutUs);
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

TEST_F(ModbusClientTest, InterframeDelayHoldsTheNextRequestAndDrainsStrayBytesFirst) {
    queue_read();
    queue_read();
    client.run_out();
    line.push(kTwoRegisters);
    ASSERT_EQ(pass().size(), 1u);
    line.push(hex("EE EE"));  // late bytes of the previous exchange
    clock.advance(kDefaultInterframeDelayUs);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 1u);
    EXPECT_EQ(line.incoming.size(), 2u);
    clock.advance(1);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 2u);
    EXPECT_TRUE(line.incoming.empty());
    EXPECT_EQ(line.receive_without_ready, 0);
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
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    ASSERT_EQ(line.frames.size(), 2u);
    EXPECT_EQ(line.frames[1], kReadTwo);  // the resend, ahead of the queued write
}

TEST_F(ModbusClientTest, BroadcastFinishesAfterTheBroadcastDelay) {
    client.enqueue_transaction(build_write_single_register(0, 3, 2, MessagePriority::important));
    client.enqueue_transaction(build_write_single_register(1, 3, 2, MessagePriority::important));
    client.run_out();
    EXPECT_EQ(client.get_state(), broadcast_wait);
    clock.advance(kBroadcastDelayUs);
    client.run_in();
    EXPECT_FALSE(client.is_response_ready());
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
    line.endless = true;
    Transaction open = build_read_holding_registers(1, 342, 2, MessagePriority::not_important);
    open.expected_response_length = kOpenResponseLength;
    client.enqueue_transaction(open);
    queue_read(MessagePriority::not_important);
    const std::vector<Transaction> done = drain(100);
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].rx_length, kMaxFrameLength);
    EXPECT_EQ(done[0].failure_flags, 0x60);  // 0x55 bytes: wrong address, wrong CRC
    EXPECT_EQ(done[1].rx_length, 9);
    EXPECT_NE(done[1].failure_flags, 0);
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
    EXPECT_EQ(failed.what(), "No such file or directory");
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(client.get_interframe_delay_us(), kDefaultInterframeDelayUs);

    queue_read();
    line.open_failure.clear();
    EXPECT_FALSE(static_cast<bool>(client.open_serial_port(3, 19200, 5000)));
    EXPECT_EQ(client.get_queue_size(), 0u);
    EXPECT_EQ(client.get_interframe_delay_us(), 5000);
    EXPECT_EQ(client.get_state(), interframe_wait);
    EXPECT_EQ(line.calls.back(), "open #3 19200");
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
    queue_read(MessagePriority::not_important);
    client.run_out();
    clock.advance(kResponseTimeoutUs + 1);
    const int64_t when = clock.now;
    client.run_in();
    ASSERT_EQ(log->lines.size(), 2u);
    EXPECT_EQ(log->lines[1], std::to_string(when) + "\trx\tTimed out. ");
    client.dequeue_transaction();

    queue_read(MessagePriority::not_important);
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    line.push(hex("02 03 04 12 34 56 78 00 00"));
    client.run_in();
    ASSERT_EQ(log->lines.size(), 4u);
    EXPECT_NE(log->lines[3].find("\t00\t00\tWrong address. Wrong CRC. "), std::string::npos);
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
    EXPECT_EQ(client.get_state(), interframe_wait);
    EXPECT_FALSE(client.is_response_ready());
    queue_read();
    clock.advance(kDefaultInterframeDelayUs + 1);
    client.run_out();
    EXPECT_EQ(line.frames.size(), 2u);
    EXPECT_TRUE(line.incoming.empty());  // the late answer was drained, not taken
}
