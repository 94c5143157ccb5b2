#include "sdk/modbus/transaction.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "fakes/wire.hpp"
#include "sdk/modbus/modbus_crc16.hpp"
#include "sdk/modbus/request_builders.hpp"

using namespace zelkSDK;
using fakes::hex;

namespace {

std::vector<uint8_t> request_bytes(const Transaction& t) {
    return std::vector<uint8_t>(t.tx_buffer, t.tx_buffer + t.tx_length);
}

Transaction with_response(Transaction t, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes)
        t.append_response_byte(b);
    return t;
}

}  // namespace

TEST(Crc16, CheckValuesSwapBytes) {
    const char digits[] = "123456789";
    EXPECT_EQ(modbus_crc16(reinterpret_cast<const uint8_t*>(digits), 9), 0x374B);
    EXPECT_EQ(modbus_crc16(nullptr, 0), 0xFFFF);
}

TEST(Builders, MatchIndependentWireVectors) {
    const auto vectors = fakes::load_wire_vectors("requests");
    if (vectors.empty())
        GTEST_SKIP() << "wire vectors not found at " << FERRUN_VECTORS_DIR;
    const uint8_t wide_minus_two[] = {0xFF, 0xFE, 0xFF, 0xFF};
    const uint8_t one_two_three[] = {0, 1, 0, 2, 0, 3};
    const uint8_t nine[] = {0, 9};
    const auto P = MessagePriority::important;
    const std::vector<Transaction> built = {
        build_read_holding_registers(1, 342, 2, P),
        build_read_holding_registers(1, 317, 1, P),
        build_read_holding_registers(1, 0, 125, P),
        build_read_holding_registers(247, 65535, 1, P),
        build_write_single_register(1, 3, 2, P),
        build_write_single_register(1, 9, 0xFFFF, P),
        build_write_multiple_registers(1, 140, 2, wide_minus_two, P),
        build_write_multiple_registers(1, 100, 3, one_two_three, P),
        build_read_write_multiple_registers(1, 20, 2, 30, 1, nine, P),
        build_read_write_multiple_registers(1, 0, 0, 0, 0, nullptr, P),
        build_stream_command(1, 0, 0),
        build_stream_command(1, 28, -1),
        build_stream_command(1, 30, 100000),
        build_stream_command(1, 34, 0x8001),
        build_stream_command(1, 32, 0),
    };
    ASSERT_EQ(built.size(), vectors.size());
    for (size_t i = 0; i < built.size(); ++i) {
        SCOPED_TRACE(vectors[i].what);
        EXPECT_EQ(request_bytes(built[i]), vectors[i].frame);
        EXPECT_EQ(built[i].expected_response_length, vectors[i].expected_response_length);
        EXPECT_EQ(built[i].state, TransactionState::created);
    }
}

TEST(Builders, ReadHoldingRegistersFrameAndPriority) {
    const Transaction t = build_read_holding_registers(1, 342, 2, MessagePriority::important);
    EXPECT_EQ(t.tx_length, 8);
    EXPECT_EQ(request_bytes(t), hex("01 03 01 56 00 02 25 E7"));
    EXPECT_EQ(t.expected_response_length, 9);
    EXPECT_TRUE(t.retry_on_failure);
    EXPECT_FALSE(
        build_read_holding_registers(1, 342, 2, MessagePriority::not_important).retry_on_failure);
    EXPECT_FALSE(build_stream_command(1, 28, -1).retry_on_failure);
}

TEST(Builders, WriteFramesCarryByteCountsAndPayload) {
    const uint8_t data[] = {0x12, 0x34, 0xAB, 0xCD};
    const Transaction fc16 =
        build_write_multiple_registers(1, 100, 2, data, MessagePriority::important);
    EXPECT_EQ(fc16.tx_length, 13);
    EXPECT_EQ(fc16.tx_buffer[6], 4);
    EXPECT_EQ(fc16.expected_response_length, 8);
    EXPECT_EQ(request_bytes(fc16), fakes::with_crc(hex("01 10 00 64 00 02 04 12 34 AB CD")));

    const Transaction fc23 =
        build_read_write_multiple_registers(1, 20, 10, 30, 2, data, MessagePriority::important);
    EXPECT_EQ(fc23.tx_length, 17);
    EXPECT_EQ(fc23.expected_response_length, 25);
    EXPECT_EQ(request_bytes(fc23),
              fakes::with_crc(hex("01 17 00 14 00 0A 00 1E 00 02 04 12 34 AB CD")));

    const Transaction stream = build_stream_command(1, 28, -1);
    EXPECT_EQ(stream.tx_length, 9);
    EXPECT_EQ(std::vector<uint8_t>(stream.tx_buffer + 1, stream.tx_buffer + 7),
              hex("64 1C FF FF FF FF"));
}

TEST(Builders, RefuseFramesBeyondTheProtocolLimits) {
    std::vector<uint8_t> data(2 * 200, 0xAA);
    const auto P = MessagePriority::important;
    // The largest frames that fit 256 bytes are built...
    EXPECT_EQ(build_write_multiple_registers(1, 0, 123, data.data(), P).tx_length, 255);
    EXPECT_EQ(build_read_write_multiple_registers(1, 0, 125, 0, 121, data.data(), P).tx_length,
              255);
    // ...one register more is refused with an empty request, never written past the buffer.
    for (const Transaction& t :
         {build_write_multiple_registers(1, 0, 124, data.data(), P),
          build_write_multiple_registers(1, 0, 200, data.data(), P),
          build_read_write_multiple_registers(1, 0, 1, 0, 122, data.data(), P),
          build_read_write_multiple_registers(1, 0, 126, 0, 1, data.data(), P),
          build_read_holding_registers(1, 0, 126, P),
          build_read_holding_registers(1, 0, 0xFFFF, P)}) {
        EXPECT_FALSE(t.has_request());
        EXPECT_EQ(t.tx_length, 0);
    }
    Transaction direct;
    EXPECT_TRUE(direct.load_request(1, 16, data.data(), 252, 8));
    EXPECT_EQ(direct.tx_length, kMaxFrameLength);
    EXPECT_FALSE(direct.load_request(1, 16, data.data(), 253, 8));
    EXPECT_EQ(direct.tx_length, 0);
}

TEST(Transaction, LoadRequestKeepsOtherFields) {
    Transaction t;
    t.retry_on_failure = true;
    t.num_retries = 3;
    t.state = TransactionState::queued;
    t.rx_length = 2;
    const uint8_t data[] = {0, 1};
    ASSERT_TRUE(t.load_request(7, 6, data, 2, 8));
    EXPECT_EQ(t.tx_length, 6);
    EXPECT_EQ(t.tx_index, 0);
    EXPECT_TRUE(t.retry_on_failure);
    EXPECT_EQ(t.num_retries, 3);
    EXPECT_EQ(t.state, TransactionState::queued);
    EXPECT_EQ(t.rx_length, 2);
}

TEST(Transaction, MakeRetryCopiesOnlyTheRequest) {
    Transaction t = build_read_holding_registers(1, 342, 2, MessagePriority::important);
    t.num_retries = 2;
    while (!t.all_bytes_sent())
        t.next_byte_to_send();
    t = with_response(t, hex("01 03"));
    t.mark_failed(interchar_timeout);
    const Transaction retry = t.make_retry();
    EXPECT_EQ(retry.num_retries, 3);
    EXPECT_EQ(request_bytes(retry), request_bytes(t));
    EXPECT_EQ(retry.tx_index, 0);
    EXPECT_EQ(retry.rx_length, 0);
    EXPECT_EQ(retry.failure_flags, 0);
    EXPECT_EQ(retry.state, TransactionState::created);
    EXPECT_EQ(retry.expected_response_length, 9);
    EXPECT_TRUE(retry.retry_on_failure);
}

TEST(Transaction, ResponseCompletion) {
    const Transaction read10 = build_read_holding_registers(1, 0, 10, MessagePriority::important);
    ASSERT_EQ(read10.expected_response_length, 25);
    // An exception response is complete at 5 bytes whatever length was expected.
    EXPECT_FALSE(with_response(read10, hex("01 83 02 C0")).response_complete());
    EXPECT_TRUE(with_response(read10, hex("01 83 02 C0 F1")).response_complete());
    std::vector<uint8_t> full(25, 0);
    full[0] = 1;
    full[1] = 3;
    EXPECT_FALSE(with_response(read10, std::vector<uint8_t>(full.begin(), full.end() - 1))
                     .response_complete());
    EXPECT_TRUE(with_response(read10, full).response_complete());

    Transaction open_length = read10;
    open_length.expected_response_length = kOpenResponseLength;
    EXPECT_FALSE(with_response(open_length, full).response_complete());
}

TEST(Transaction, ResponseNeverWrittenPastItsBuffer) {
    Transaction t = build_read_holding_registers(1, 0, 1, MessagePriority::important);
    t.expected_response_length = kOpenResponseLength;
    for (int i = 0; i < 1000; ++i)
        t.append_response_byte(0x01);
    EXPECT_EQ(t.rx_length, kMaxFrameLength);
    EXPECT_TRUE(t.response_complete());
}

TEST(Transaction, CrcValidity) {
    const Transaction read = build_read_holding_registers(1, 317, 1, MessagePriority::important);
    EXPECT_FALSE(with_response(read, {}).crc_valid());
    EXPECT_FALSE(with_response(read, hex("01")).crc_valid());
    EXPECT_TRUE(with_response(read, hex("01 03 02 00 02 39 85")).crc_valid());
    EXPECT_FALSE(with_response(read, hex("01 03 02 00 02 39 86")).crc_valid());
}

struct ValidationCase {
    const char* name;
    std::vector<uint8_t> response;
    uint8_t flags;
    std::vector<int> counted;  // counters that must be 1; all others stay 0
};

class Validation : public ::testing::TestWithParam<ValidationCase> {};

TEST_P(Validation, MarksFailuresAndCounts) {
    const ValidationCase& c = GetParam();
    Transaction t = with_response(
        build_read_holding_registers(1, 317, 1, MessagePriority::important), c.response);
    DiagnosticCounters counters{};
    t.validate_response(counters);
    EXPECT_EQ(t.failure_flags, c.flags);
    EXPECT_EQ(t.state, TransactionState::finished);
    DiagnosticCounters expected{};
    for (int index : c.counted)
        expected[index] = 1;
    EXPECT_EQ(counters, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Responses, Validation,
    ::testing::Values(ValidationCase{"valid", hex("01 03 02 00 02 39 85"), 0, {valid_responses}},
                      ValidationCase{"wrong_address",
                                     fakes::with_crc(hex("02 03 02 00 02")),
                                     0x20,
                                     {wrong_address_responses}},
                      ValidationCase{"wrong_address_and_crc",
                                     hex("02 03 02 00 02 39 85"),
                                     0x60,
                                     {wrong_address_responses, crc_errors}},
                      ValidationCase{"wrong_crc", hex("01 03 02 00 02 00 00"), 0x40, {crc_errors}},
                      ValidationCase{"empty", {}, 0x60, {wrong_address_responses, crc_errors}},
                      ValidationCase{"busy_exception",
                                     hex("01 83 06 C1 32"),
                                     0,
                                     {valid_responses, exception_responses, busy_exceptions}},
                      ValidationCase{
                          "acknowledge_exception",
                          fakes::with_crc(hex("01 83 05")),
                          0,
                          {valid_responses, exception_responses, acknowledge_exceptions}},
                      ValidationCase{"illegal_address_exception",
                                     hex("01 83 02 C0 F1"),
                                     0,
                                     {valid_responses, exception_responses}}),
    [](const ::testing::TestParamInfo<ValidationCase>& info) { return info.param.name; });

TEST(Transaction, WriteAnswerMustEchoEveryByte) {
    const Transaction write =
        build_write_single_register(1, 10, 0x1234, MessagePriority::important);
    const std::vector<uint8_t> echo(write.tx_buffer, write.tx_buffer + 6);
    for (size_t i = 0; i < echo.size(); ++i) {
        std::vector<uint8_t> changed = echo;
        changed[i] ^= 0x01;
        DiagnosticCounters counters{};
        Transaction t = with_response(write, fakes::with_crc(changed));
        t.validate_response(counters);
        EXPECT_EQ(t.failure_flags, i == 0 ? 0x20 : 0x04) << i;
    }
}

TEST(DiagnosticCounters, WrapAndRangeCheck) {
    DiagnosticCounters counters{};
    counters[crc_errors] = 65535;
    EXPECT_EQ(increment_diagnostic_counter(counters, crc_errors), 0);
    EXPECT_EQ(increment_diagnostic_counter(counters, 21), 1);
    EXPECT_THROW(increment_diagnostic_counter(counters, 22), std::out_of_range);
    EXPECT_THROW(increment_diagnostic_counter(counters, -1), std::out_of_range);
    // The serial line diagnostics' own numbers: programs read the counters by them.
    EXPECT_EQ((std::vector<int>{messages_sent, valid_responses, bytes_sent, bytes_received,
                                exception_responses, acknowledge_exceptions, busy_exceptions,
                                wrong_address_responses, crc_errors, response_timeouts,
                                interchar_timeouts, unexpected_interchars, mismatched_responses,
                                drained_bytes, echo_mismatches, missing_echoes}),
              (std::vector<int>{5, 6, 7, 8, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}));
}

// A request that the given response frame answers.
Transaction request_answered_by(const std::vector<uint8_t>& frame) {
    const uint8_t address = frame[0];
    const auto u16 = [&](int at) { return static_cast<uint16_t>(frame[at] * 256 + frame[at + 1]); };
    switch (frame[1]) {
        case 0x03:
            return build_read_holding_registers(address, 0, frame[2] / 2,
                                                MessagePriority::important);
        case 0x10: {
            const uint8_t zeros[2 * kMaxWriteRegisters] = {};
            return build_write_multiple_registers(address, u16(2), u16(4), zeros,
                                                  MessagePriority::important);
        }
        case 0x64: return build_stream_command(address, 0, 0);
        default:  // an exception answers a request of its function code
            return build_read_holding_registers(address, 0, 1, MessagePriority::important);
    }
}

TEST(Transaction, AcceptsTheIndependentResponseVectors) {
    const auto vectors = fakes::load_wire_vectors("responses");
    if (vectors.empty())
        GTEST_SKIP() << "wire vectors not found at " << FERRUN_VECTORS_DIR;
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.what);
        Transaction t = request_answered_by(v.frame);
        t.expected_response_length = static_cast<int>(v.frame.size());
        for (uint8_t b : v.frame)
            t.append_response_byte(b);
        EXPECT_TRUE(t.response_complete());
        EXPECT_TRUE(t.crc_valid());
        DiagnosticCounters counters{};
        t.validate_response(counters);
        EXPECT_EQ(t.failure_flags, 0);
        EXPECT_EQ(counters[exception_responses], t.is_exception_response() ? 1 : 0);
    }
}

TEST(Transaction, RejectsCleanFramesThatDoNotAnswerTheRequest) {
    const uint8_t values[4] = {0xff, 0xfe, 0xff, 0xff};
    struct Case {
        const char* what;
        Transaction request;
        const char* answer;  // without its CRC
        bool matches;
    };
    const Case cases[] = {
        {"read, byte count 0", build_read_holding_registers(1, 0, 1, MessagePriority::important),
         "01 03 00 00 00", false},
        {"read, other function", build_read_holding_registers(1, 0, 1, MessagePriority::important),
         "01 04 02 00 2a", false},
        {"read/write, byte count 4 for 0 registers",
         build_read_write_multiple_registers(1, 0, 0, 0, 0, values, MessagePriority::important),
         "01 17 04", false},
        {"write single, echo of another register",
         build_write_single_register(1, 3, 2, MessagePriority::important), "01 06 00 04 00 02",
         false},
        {"write single, echo of another value",
         build_write_single_register(1, 3, 2, MessagePriority::important), "01 06 00 03 00 09",
         false},
        {"write single, its echo", build_write_single_register(1, 3, 2, MessagePriority::important),
         "01 06 00 03 00 02", true},
        {"write multiple, echo of another quantity",
         build_write_multiple_registers(1, 140, 2, values, MessagePriority::important),
         "01 10 00 8c 00 01", false},
        {"exception of another function",
         build_read_holding_registers(1, 0, 1, MessagePriority::important), "01 86 02", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Transaction t = c.request;
        const std::vector<uint8_t> frame = fakes::with_crc(hex(c.answer));
        t.expected_response_length = static_cast<int>(frame.size());
        for (uint8_t b : frame)
            t.append_response_byte(b);
        DiagnosticCounters counters{};
        t.validate_response(counters);
        EXPECT_EQ(t.failure_flags, c.matches ? 0 : 0x04);
        EXPECT_EQ(counters[mismatched_responses], c.matches ? 0 : 1);
    }
}
