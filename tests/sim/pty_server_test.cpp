// The pty server end to end, with a bare client on the slave side: pacing both ways (lower
// bounds only: a busy machine makes everything later, never earlier), the late fault, the
// journal, a bus of several devices, and the emulated USB adapter.
#include "sim/pty_server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "fakes/wire.hpp"

using fakes::hex;
using fakes::with_crc;

namespace {

int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Answer {
    std::vector<uint8_t> bytes;
    int64_t sent_us = 0;   // just before the request was written
    int64_t first_us = 0;  // the first response byte was read
    int64_t last_us = 0;
};

class Client {
  public:
    explicit Client(const std::string& path) : fd(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios settings{};
        ::tcgetattr(fd, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(fd, TCSANOW, &settings);
    }
    ~Client() { ::close(fd); }

    // Sends a request, then reads until `expected` bytes came or the line was quiet for
    // quiet_ms.
    Answer exchange(const std::vector<uint8_t>& request, size_t expected, int quiet_ms = 200) {
        Answer answer;
        answer.sent_us = now_us();
        (void)!::write(fd, request.data(), request.size());
        pollfd pfd{fd, POLLIN, 0};
        while (answer.bytes.size() < expected && ::poll(&pfd, 1, quiet_ms) > 0) {
            uint8_t buffer[256];
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            answer.last_us = now_us();
            if (answer.bytes.empty())
                answer.first_us = answer.last_us;
            answer.bytes.insert(answer.bytes.end(), buffer, buffer + n);
        }
        return answer;
    }

  private:
    int fd;
};

class Served {
  public:
    explicit Served(const sim::ServerOptions& options) : server(options) {
        EXPECT_TRUE(server.open()) << server.error();
        server.start();
        client = std::make_unique<Client>(server.slave_path());
    }
    ~Served() { stop(); }
    void stop() {
        client.reset();
        server.stop();
    }
    Answer ask(const std::vector<uint8_t>& request, size_t expected, int quiet_ms = 200) {
        return client->exchange(request, expected, quiet_ms);
    }

    sim::PtyServer server;
    std::unique_ptr<Client> client;
};

std::vector<std::vector<std::string>> journal_lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::vector<std::string>> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::istringstream split(line);
        std::string field;
        while (std::getline(split, field, '\t'))
            fields.push_back(field);
        lines.push_back(fields);
    }
    return lines;
}

std::string hex_text(const std::vector<uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

const std::vector<uint8_t> kReadMode = with_crc(hex("01 03 01 3d 00 01"));  // answer: 7 bytes

}  // namespace

TEST(PtyServer, PacesRequestAndResponseAtTheBaudRate) {
    sim::ServerOptions options;
    options.baud_rate = 19200;
    options.turnaround_us = 1000;
    Served served(options);
    const sim::PacedLine line(19200);
    for (int i = 0; i < 3; ++i) {
        const Answer answer = served.ask(kReadMode, 7);
        ASSERT_EQ(answer.bytes, hex("01 03 02 00 01 79 84"));
        // The request's 8 characters, the turnaround, then one character per byte.
        EXPECT_GE(answer.first_us - answer.sent_us,
                  line.wire_time_us(8) + 1000 + line.wire_time_us(1));
        EXPECT_GE(answer.last_us - answer.sent_us,
                  line.wire_time_us(8) + 1000 + line.wire_time_us(7));
    }
}

TEST(PtyServer, LateAnswersComeAfterTheClientsTimeOut) {
    sim::ServerOptions options;
    options.fault_rates[sim::kLate] = 1.0;
    Served served(options);
    const Answer answer = served.ask(kReadMode, 7, 1000);
    EXPECT_EQ(answer.bytes, hex("01 03 02 00 01 79 84"));
    EXPECT_GE(answer.first_us - answer.sent_us, sim::kLateMinUs);
}

TEST(PtyServer, JournalRecordsFramesEffectsFaultsAndBytes) {
    const std::string path = ::testing::TempDir() + "ferrun_journal.tsv";
    sim::ServerOptions options;
    options.addresses = {1, 2};
    options.journal_path = path;
    options.fault_rates[sim::kStray] = 1.0;
    options.fault_addresses = {2};
    Served served(options);
    const std::vector<uint8_t> requests[] = {
        with_crc(hex("01 06 00 03 00 02")),                 // 1: force mode
        with_crc(hex("02 10 02 58 00 02 04 00 07 ff fe")),  // 2: answered with stray bytes
        with_crc(hex("01 64 1c 00 00 01 f4")),              // 3: stream 500 mN
        with_crc(hex("00 06 02 00 00 09")),                 // 4: broadcast
        with_crc(hex("07 03 00 00 00 01")),                 // 5: nobody's address
        hex("01 03 00 00 00 01 00 00"),                     // 6: bad CRC
    };
    served.ask(requests[0], 8);
    served.ask(requests[1], 8 + 3);
    served.ask(requests[2], 19);
    for (int i = 3; i < 6; ++i)
        served.ask(requests[i], 1, 50);
    served.stop();

    std::vector<std::string> events;
    for (const auto& f : journal_lines(path)) {
        ASSERT_GE(f.size(), 4u);
        if (f[1] == "request") {
            EXPECT_GE(std::stoll(f[0]), std::stoll(f[3]));  // complete after its first byte
        }
        if (f[1] == "response") {
            EXPECT_GE(std::stoll(f[4]), std::stoll(f[0]));  // last byte after the first
        }
        std::string event = f[1] + " " + f[2];
        for (size_t i = 3; i < f.size(); ++i)
            if (!(f[1] == "request" && i == 3) && !(f[1] == "response" && i == 4))
                event += " " + f[i];  // times left out
        events.push_back(event);
    }
    ASSERT_GE(events.size(), 13u);
    const std::vector<std::string> expected = {
        "request 1 served " + hex_text(requests[0]),
        "write 1 1 3 2",
        "mode 1 1 1 2",
        "response 1 1 8 " + hex_text(requests[0]),
        "request 2 served " + hex_text(requests[1]),
        "write 2 2 600 7,65534",
        "fault 2 2 stray",
    };
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(events[i], expected[i]) << i;
    // The response to 2 carries the echo and then 1 to 3 stray bytes.
    EXPECT_EQ(events[7].rfind("response 2 2 8 021002580002", 0), 0u) << events[7];
    EXPECT_GT(events[7].size(), std::string("response 2 2 8 ").size() + 16);
    EXPECT_EQ(events[8], "request 3 served " + hex_text(requests[2]));
    EXPECT_EQ(events[9], "stream 3 1 28 500");
    EXPECT_EQ(events[10].rfind("response 3 1 19 0164", 0), 0u) << events[10];
    EXPECT_EQ(events[11], "request 4 broadcast " + hex_text(requests[3]));
    EXPECT_EQ(events[12], "write 4 1 512 9");
    EXPECT_EQ(events[13], "write 4 2 512 9");
    EXPECT_EQ(events[14], "request 5 other-address " + hex_text(requests[4]));
    EXPECT_EQ(events[15], "request 6 bad-crc 0103000000010000");
    EXPECT_EQ(events.size(), 16u);
    std::remove(path.c_str());
}

TEST(PtyServer, BusOfDevicesEachAnswersItsOwnAddress) {
    sim::ServerOptions options;
    options.addresses = {1, 2, 3};
    options.fault_rates[sim::kDrop] = 1.0;
    options.fault_addresses = {3};
    Served served(options);
    EXPECT_EQ(served.ask(with_crc(hex("01 06 02 58 11 11")), 8).bytes.size(), 8u);
    EXPECT_EQ(served.ask(with_crc(hex("02 06 02 58 22 22")), 8).bytes.size(), 8u);
    EXPECT_EQ(served.ask(with_crc(hex("01 03 02 58 00 01")), 7).bytes,
              with_crc(hex("01 03 02 11 11")));
    EXPECT_EQ(served.ask(with_crc(hex("02 03 02 58 00 01")), 7).bytes,
              with_crc(hex("02 03 02 22 22")));
    EXPECT_TRUE(served.ask(with_crc(hex("03 03 02 58 00 01")), 7, 100).bytes.empty());
    EXPECT_TRUE(served.ask(with_crc(hex("04 03 02 58 00 01")), 7, 100).bytes.empty());
    served.ask(with_crc(hex("00 06 00 03 00 03")), 1, 50);  // broadcast: position mode
    served.stop();
    EXPECT_EQ(served.server.device(0).register_value(600), 0x1111);
    EXPECT_EQ(served.server.device(1).register_value(600), 0x2222);
    EXPECT_EQ(served.server.device(2).register_value(600), 0);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(served.server.device(i).mode(), 3);
    EXPECT_EQ(served.server.fault_counts()[sim::kDrop], 1);
}

TEST(PtyServer, UsbAdapterDeliversAtItsTicksAndFollowsItsLatencyFile) {
    std::string root = ::testing::TempDir() + "ferrun_sysfs_XXXXXX";
    ASSERT_NE(::mkdtemp(&root[0]), nullptr);
    const std::string journal = root + ".journal.tsv";
    sim::ServerOptions options;
    options.usb_latency_ms = 50;
    options.usb_packet = 4;
    options.sysfs_root = root;
    options.journal_path = journal;
    Served served(options);
    const std::string pty = served.server.slave_path();  // its sysfs name is "N" of /dev/pts/N
    const std::string file =
        root + "/class/tty/" + pty.substr(pty.rfind('/') + 1) + "/device/latency_timer";
    ASSERT_EQ(served.server.latency_file(), file);
    std::string text;
    std::getline(std::ifstream(file), text, '\0');
    EXPECT_EQ(text, "50\n");

    // Unpaced, the answer's first packet goes at once and its last 3 bytes at the next tick
    // (the timer ticks at whole multiples of 50 ms on the monotonic clock), never before.
    const Answer answer = served.ask(kReadMode, 7);
    EXPECT_EQ(answer.bytes, hex("01 03 02 00 01 79 84"));
    EXPECT_GE(answer.last_us, (answer.sent_us / 50000 + 1) * 50000);

    const auto write_latency = [&](const char* value) {
        std::ofstream(file) << value;
        EXPECT_EQ(served.ask(kReadMode, 7).bytes.size(), 7u);  // read again before it answers
    };
    write_latency("1\n");
    write_latency("300\n");  // out of range, and the rest not a latency: ignored
    write_latency("0\n");
    write_latency("7 ms\n");
    write_latency("");              // as a writer leaves it for a moment
    std::ofstream(file) << "16\n";  // just before it stops: still read
    served.stop();

    std::vector<std::string> changes;
    for (const auto& f : journal_lines(journal))
        if (f[1] == "latency")
            changes.push_back(f[3] + "->" + f[4]);
    EXPECT_EQ(changes, (std::vector<std::string>{"50->1", "1->16"}));
    EXPECT_NE(::access(file.c_str(), F_OK), 0);  // gone, with the folders it made
    EXPECT_NE(::access((root + "/class").c_str(), F_OK), 0);
    EXPECT_EQ(::rmdir(root.c_str()), 0);
    std::remove(journal.c_str());
}
