#include "sdk/serial/serial_asio.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include "fakes/wire.hpp"
#include "serial/pty_pair.hpp"

using namespace zelkSDK;
using fakes::hex;
using Clock = std::chrono::steady_clock;

namespace {

// Takes bytes from the port until count have arrived or a second has passed.
std::vector<uint8_t> take(SerialASIO& port, size_t count) {
    std::vector<uint8_t> bytes;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    while (bytes.size() < count && Clock::now() < deadline) {
        if (port.ready_to_receive()) {
            bytes.push_back(port.receive_byte());
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    return bytes;
}

template <typename F>
std::chrono::milliseconds time_of(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// CPU time this thread has used.
std::chrono::milliseconds thread_cpu_time() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    const auto us = [](const timeval& t) { return t.tv_sec * 1'000'000LL + t.tv_usec; };
    return std::chrono::milliseconds((us(usage.ru_utime) + us(usage.ru_stime)) / 1000);
}

// A signal that interrupts system calls and does nothing else, for as long as this lives.
class QuietSignal {
  public:
    explicit QuietSignal(int signal_number) : number(signal_number) {
        struct sigaction quiet {};
        quiet.sa_handler = [](int) {};
        ::sigaction(number, &quiet, &saved);
    }
    ~QuietSignal() { ::sigaction(number, &saved, nullptr); }
    QuietSignal(const QuietSignal&) = delete;
    QuietSignal& operator=(const QuietSignal&) = delete;

  private:
    int number;
    struct sigaction saved {};
};

// The descriptor through which the port reads the pseudo-terminal: the other one open on
// the same device.
int port_descriptor(const PtyPair& pty) {
    struct stat tty {};
    ::fstat(pty.slave, &tty);
    for (int fd = 0; fd < 1024; ++fd) {
        struct stat other {};
        if (fd != pty.slave && ::fstat(fd, &other) == 0 && S_ISCHR(other.st_mode) &&
            other.st_rdev == tty.st_rdev)
            return fd;
    }
    return -1;
}

class SerialAsioTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(pty.path.empty());
        ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    }
    void send(const std::vector<uint8_t>& frame, size_t expected) {
        for (uint8_t b : frame)
            port.send_byte(b);
        port.transmit(expected);
    }

    PtyPair pty;
    SerialASIO port;
};

}  // namespace

TEST(SerialAsio, PortNumbersNameThePlatformsDevices) {
#ifdef _WIN32
    EXPECT_EQ(SerialASIO::port_name_for_number(3), "\\\\.\\COM3");
#else
    EXPECT_EQ(SerialASIO::port_name_for_number(3), "/dev/ttyS3");
#endif
}

TEST(SerialAsio, MissingDeviceReturnsTheSystemMessageAndStartsNoReader) {
    SerialASIO port;
    const ZelkError error = port.open_serial_port("/dev/does-not-exist", 19200);
    EXPECT_TRUE(static_cast<bool>(error));
    EXPECT_EQ(error.what(), std::error_code(ENOENT, std::system_category()).message() +
                                ": cannot open /dev/does-not-exist.");
    EXPECT_FALSE(port.receiving());
    const ZelkError nul = port.open_serial_port(std::string("/dev/null\0x", 11), 19200);
    EXPECT_TRUE(static_cast<bool>(nul));
    EXPECT_EQ(nul.what(), "Invalid argument: the port path holds a NUL character.");
}

TEST(SerialAsio, ClosingAPortThatIsNotOpenChangesNothing) {
    SerialASIO port;
    port.close_serial_port();
    EXPECT_TRUE(static_cast<bool>(port.open_serial_port("/dev/does-not-exist", 19200)));
    port.close_serial_port();
    port.close_serial_port();
    // ...and destroying ports that are not open is quiet.
    SerialASIO never_opened;
    EXPECT_TRUE(never_opened.line_failed());
    EXPECT_EQ(never_opened.line_failure_reason(), "the port is not open");
}

// The emulated adapter's sysfs (FERRUN_SYSFS_ROOT): a pseudo-terminal has no low-latency
// flag, and its latency timer goes to 1 ms while the port is open.
TEST(SerialAsio, OpenLowersTheLatencyTimerUnderTheSysfsRootAndCloseRestoresIt) {
    PtyPair pty;
    char root[] = "/tmp/ferrun-sysfs-XXXXXX";
    ASSERT_NE(::mkdtemp(root), nullptr);
    const std::string folder =
        std::string(root) + "/class/tty/" + pty.path.substr(pty.path.rfind('/') + 1) + "/device";
    std::filesystem::create_directories(folder);
    const auto timer = [&] {
        std::ostringstream text;
        text << std::ifstream(folder + "/latency_timer").rdbuf();
        return text.str();
    };
    std::ofstream(folder + "/latency_timer") << "16\n";
    ::setenv("FERRUN_SYSFS_ROOT", root, 1);
    SerialASIO port;
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    ::unsetenv("FERRUN_SYSFS_ROOT");
    EXPECT_EQ(port.adapter_report(),
              "low-latency flag: not supported (Inappropriate ioctl for device); "
              "latency_timer: 16 ms -> 1 ms");
    EXPECT_EQ(port.adapter_latency_us(), 1000);
    EXPECT_EQ(timer(), "1\n");
    port.close_serial_port();
    EXPECT_EQ(timer(), "16\n");
    std::filesystem::remove_all(root);
}

TEST_F(SerialAsioTest, SecondOpenSaysAlreadyOpenAndKeepsTheReader) {
    const ZelkError again = port.open_serial_port(pty.path, 19200);
    EXPECT_TRUE(static_cast<bool>(again));
    EXPECT_EQ(again.what(), "Already open: cannot open " + pty.path + ".");
    EXPECT_TRUE(port.receiving());
    pty.write(hex("01 06 00 03 00 02 f8 0b"));
    port.transmit(8);
    EXPECT_EQ(take(port, 8), hex("01 06 00 03 00 02 f8 0b"));
}

TEST_F(SerialAsioTest, SendsOnlyOnTransmitAndInOrder) {
    port.send_byte(0x01);
    port.send_byte(0x03);
    EXPECT_TRUE(pty.read(50).empty());
    port.send_byte(0x00);
    port.transmit(7);
    EXPECT_EQ(pty.read(), hex("01 03 00"));
    port.transmit(19);  // nothing queued: nothing written
    EXPECT_TRUE(pty.read(50).empty());
}

TEST_F(SerialAsioTest, EveryByteOfManyResponsesArrivesOnceAndInOrder) {
    std::vector<uint8_t> expected;
    for (int i = 0; i < 50; ++i) {
        const std::vector<uint8_t> response =
            fakes::with_crc({0x01, 0x03, 0x04, static_cast<uint8_t>(i), 0x11, 0x22, 0x33});
        port.transmit(response.size());
        if (i % 3 == 0) {
            pty.write(response);
        } else {
            // In pieces, as a slow device or a busy line delivers them.
            const size_t cut = 1 + i % (response.size() - 1);
            pty.write(std::vector<uint8_t>(response.begin(), response.begin() + cut));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            pty.write(std::vector<uint8_t>(response.begin() + cut, response.end()));
        }
        const std::vector<uint8_t> got = take(port, response.size());
        ASSERT_EQ(got, response) << i;
        expected.insert(expected.end(), response.begin(), response.end());
    }
    EXPECT_FALSE(port.ready_to_receive());
}

TEST_F(SerialAsioTest, EveryByteIsHandedOverAsSoonAsItIsRead) {
    // Whatever length was announced: the header of a longer response, an exception, bytes
    // before any transmit and a burst above any frame are all delivered as they come.
    port.transmit(9);
    pty.write(hex("01 03"));
    ASSERT_TRUE(port.wait_to_receive(5'000'000));
    EXPECT_EQ(take(port, 2), hex("01 03"));
    pty.write(hex("01 83 02 c0 f1"));
    EXPECT_EQ(take(port, 5), hex("01 83 02 c0 f1"));
    std::vector<uint8_t> big(600);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i & 0x7F);
    pty.write(big);
    EXPECT_EQ(take(port, big.size()), big);
    EXPECT_FALSE(port.wait_to_receive(1000));
}

TEST_F(SerialAsioTest, BytesStayInOrderWhileAnotherThreadWaitsOnThePort) {
    // A bus's run_wait() waits without the bus's lock while a blocking call on another thread
    // takes the bytes: both threads read the port, and no byte may overtake another.
    constexpr int kCount = 100'000;
    std::thread far_end([&] {
        for (int i = 0; i < kCount; ++i)
            pty.write({static_cast<uint8_t>(i)});
    });
    std::atomic<bool> done{false};
    const auto wait = [&] {
        while (!done)
            port.wait_to_receive(100'000);
    };
    std::thread waiters[] = {std::thread(wait), std::thread(wait)};
    int taken = 0;
    int out_of_place = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (taken < kCount && Clock::now() < deadline) {
        if (port.wait_to_receive(10'000)) {
            out_of_place += port.receive_byte() != static_cast<uint8_t>(taken);
            ++taken;
        }
    }
    done = true;
    for (std::thread& waiter : waiters)
        waiter.join();
    far_end.join();
    EXPECT_EQ(taken, kCount);
    EXPECT_EQ(out_of_place, 0);
}

TEST_F(SerialAsioTest, AWaitWokenByASignalSleepsAgain) {
    // A signal (Ctrl-C, a profiler's timer) ends poll() early; the rest of the wait is slept,
    // not spun.
    const QuietSignal usr1(SIGUSR1);
    const pthread_t waiting = ::pthread_self();
    std::thread signaller([waiting] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ::pthread_kill(waiting, SIGUSR1);
    });
    const std::chrono::milliseconds cpu_before = thread_cpu_time();
    EXPECT_FALSE(port.wait_to_receive(500'000));
    const std::chrono::milliseconds cpu_used = thread_cpu_time() - cpu_before;
    signaller.join();
    EXPECT_LT(cpu_used.count(), 200);
}

TEST_F(SerialAsioTest, WaitsAfterAReadBackOffSleepOnThePortAgain) {
    // One read fails with an error that may pass: the port's descriptor reads a directory
    // for a moment. Once the back-off is over, waits on the quiet port sleep, not spin.
    const int port_fd = port_descriptor(pty);
    ASSERT_GE(port_fd, 0);
    const int saved = ::dup(port_fd);
    const int directory = ::open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::dup2(directory, port_fd), port_fd);
    EXPECT_FALSE(port.ready_to_receive());
    ASSERT_EQ(::dup2(saved, port_fd), port_fd);
    ::close(saved);
    ::close(directory);
    EXPECT_FALSE(port.line_failed());

    const std::chrono::milliseconds cpu_before = thread_cpu_time();
    EXPECT_FALSE(port.wait_to_receive(500'000));
    EXPECT_LT((thread_cpu_time() - cpu_before).count(), 200);
    pty.write(hex("01 06"));
    EXPECT_EQ(take(port, 2), hex("01 06"));
}

TEST_F(SerialAsioTest, ErrorsThatNeverPassMarkTheLineLost) {
    // Stand-ins for the port's descriptor, for one call.
    const auto standing_in = [&](int stand_in, const std::function<void()>& call) {
        const int port_fd = port_descriptor(pty);
        const int saved = ::dup(port_fd);
        ASSERT_EQ(::dup2(stand_in, port_fd), port_fd);
        call();
        ::dup2(saved, port_fd);
        ::close(saved);
        ::close(stand_in);
    };
    PtyPair unplugged;  // a master whose terminal is gone reads EIO
    ::close(unplugged.slave);
    unplugged.slave = -1;
    standing_in(std::exchange(unplugged.master, -1), [&] { port.ready_to_receive(); });
    EXPECT_EQ(port.line_failure_reason(), std::error_code(EIO, std::system_category()).message());
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    standing_in(::open("/dev/null", O_WRONLY), [&] { EXPECT_FALSE(port.ready_to_receive()); });
    EXPECT_EQ(port.line_failure_reason(), std::error_code(EBADF, std::system_category()).message());

    // Nothing to read and an error that poll() would report for ever: a connected socket
    // whose datagram was refused.
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    sockaddr_in nobody{};
    nobody.sin_family = AF_INET;
    nobody.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof nobody;
    const int closed = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::bind(closed, reinterpret_cast<sockaddr*>(&nobody), length);
    ::getsockname(closed, reinterpret_cast<sockaddr*>(&nobody), &length);
    ::close(closed);
    const int refused = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(::connect(refused, reinterpret_cast<sockaddr*>(&nobody), length), 0);
    ASSERT_EQ(::send(refused, "x", 1, 0), 1);
    pollfd error{refused, POLLIN, 0};
    ASSERT_EQ(::poll(&error, 1, 1000), 1);
    ASSERT_EQ(error.revents, POLLERR);
    standing_in(refused, [&] { EXPECT_FALSE(port.wait_to_receive(1'000'000)); });
    EXPECT_EQ(port.line_failure_reason(), "the port reports an error");
}

TEST_F(SerialAsioTest, InterruptEndsAWaitOnAnotherThread) {
    // As a close from another thread does first; the wait may have begun to sleep.
    std::thread waiter([&] { EXPECT_FALSE(port.wait_to_receive(INT64_MAX)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    port.interrupt();
    waiter.join();
}

TEST_F(SerialAsioTest, ASingleByteInTheDriverIsSeen) {
    EXPECT_FALSE(port.bytes_in_driver());
    pty.write(hex("01"));
    pollfd arrived{pty.slave, POLLIN, 0};
    ASSERT_EQ(::poll(&arrived, 1, 1000), 1);
    EXPECT_TRUE(port.bytes_in_driver());
    EXPECT_EQ(take(port, 1), hex("01"));
    EXPECT_FALSE(port.bytes_in_driver());
}

TEST(SerialAsio, NoDescriptorsLeftForTheWakeUpPipeFailsTheOpen) {
    PtyPair pty;
    SerialASIO port;
    const int lowest_free = ::open("/dev/null", O_RDONLY);
    ::close(lowest_free);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free) + 1;  // room for the port's alone
    ::setrlimit(RLIMIT_NOFILE, &tight);
    const ZelkError error = port.open_serial_port(pty.path, 19200);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(error.what(), "Cannot prepare the port for reading: " +
                                std::error_code(EMFILE, std::system_category()).message());
    EXPECT_FALSE(port.receiving());
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    pty.write(hex("01 06"));
    EXPECT_EQ(take(port, 2), hex("01 06"));
}

TEST_F(SerialAsioTest, CloseMidResponseIsPromptAndQuiet) {
    port.transmit(9);
    pty.write(hex("01 03"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::testing::internal::CaptureStderr();
    EXPECT_LT(time_of([&] { port.close_serial_port(); }).count(), 100);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(port.receiving());
}

TEST_F(SerialAsioTest, CloseIsPromptWhenIdleAndRightAfterDelivery) {
    EXPECT_LT(time_of([&] { port.close_serial_port(); }).count(), 100);
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    port.transmit(7);
    pty.write(hex("01 03 02 00 02 39 85"));
    while (!port.ready_to_receive())
        std::this_thread::yield();
    EXPECT_LT(time_of([&] { port.close_serial_port(); }).count(), 100);
    // Bytes not yet taken are still there after a new open.
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    EXPECT_EQ(take(port, 7), hex("01 03 02 00 02 39 85"));
}

TEST_F(SerialAsioTest, OpenCloseCyclesLeaveNoReaderBehind) {
    for (int i = 0; i < 20; ++i) {
        port.close_serial_port();
        EXPECT_FALSE(port.receiving());
        ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    }
    port.transmit(8);
    pty.write(hex("01 06 00 03 00 02 f8 0b"));
    EXPECT_EQ(take(port, 8), hex("01 06 00 03 00 02 f8 0b"));
}

TEST_F(SerialAsioTest, FailedWriteIsAFailedLineAndItsBytesNeverGoOutLater) {
    port.send_byte(0x41);  // appended, never transmitted: gone with the close
    port.close_serial_port();
    EXPECT_TRUE(port.line_failed());
    EXPECT_EQ(port.line_failure_reason(), "the port is not open");
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    port.send_byte(0x40);
    port.transmit(8);
    EXPECT_EQ(pty.read(), hex("40"));
    port.close_serial_port();
    port.send_byte(0x42);
    EXPECT_NO_THROW(port.transmit(8));
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    EXPECT_FALSE(port.line_failed());
    port.send_byte(0x43);
    port.transmit(8);
    EXPECT_EQ(pty.read(), hex("43"));
}

// The far end never reads: once the pseudo-terminal's buffers are full the driver takes no
// more, as with a stuck adapter. Fills them, a 256-byte request at a time.
std::string fill_until_a_write_fails(SerialASIO& port) {
    for (int sent = 0; sent < 2000; ++sent) {
        for (int i = 0; i < 256; ++i)
            port.send_byte(0x55);
        port.transmit(8);
        if (port.line_failure_reason().rfind("write: ", 0) == 0)
            return port.line_failure_reason();
    }
    return "every write went out";
}

TEST_F(SerialAsioTest, WriteTheDriverNeverTakesFailsInsteadOfHanging) {
    EXPECT_EQ(fill_until_a_write_fails(port), "write: the driver took no byte for 1000 ms");
    EXPECT_TRUE(port.line_failed());
}

TEST_F(SerialAsioTest, SignalsDuringAStalledWriteDoNotKeepItWaiting) {
    // A profiler's timer ends each wait for room early: the second without a byte taken is
    // counted from the stall, not from the last signal. The signals stop after 10 s at most.
    const QuietSignal usr1(SIGUSR1);
    const pthread_t writer = ::pthread_self();
    std::atomic<bool> written{false};
    bool outlasted = false;
    std::thread signaller([&] {
        const auto stop = Clock::now() + std::chrono::seconds(10);
        while (!written && !(outlasted = Clock::now() > stop)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::pthread_kill(writer, SIGUSR1);
        }
    });
    EXPECT_EQ(fill_until_a_write_fails(port), "write: the driver took no byte for 1000 ms");
    written = true;
    signaller.join();
    EXPECT_FALSE(outlasted);
}

TEST_F(SerialAsioTest, InterruptEndsAWriteThatWaitsForRoom) {
    port.interrupt();  // as a close from another thread does first
    EXPECT_EQ(fill_until_a_write_fails(port), "write: the port was closed during the write");
}

TEST_F(SerialAsioTest, RefusedLineSettingClosesThePortAndNamesTheStep) {
    port.close_serial_port();
    const ZelkError refused = port.open_serial_port(pty.path, 12345);
    ASSERT_TRUE(static_cast<bool>(refused));
    EXPECT_EQ(refused.what().rfind("Cannot set the baud rate 12345 on " + pty.path + ": ", 0), 0u)
        << refused.what();
    EXPECT_FALSE(port.receiving());
    EXPECT_EQ(port.open_serial_port(pty.path, 0).what(),
              "Cannot set the baud rate 0 on " + pty.path + ": " +
                  std::error_code(EINVAL, std::system_category()).message());
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(pty.path, 19200)));
    pty.write(hex("01 06"));
    EXPECT_EQ(take(port, 2), hex("01 06"));
}

TEST_F(SerialAsioTest, FarEndGoneMarksTheLineLostAndStopsTheReader) {
    pty.hang_up();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!port.line_failed() && Clock::now() < deadline)
        port.wait_to_receive(10'000);
    ASSERT_TRUE(port.line_failed());
    EXPECT_FALSE(port.line_failure_reason().empty());
    while (port.receiving() && Clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_FALSE(port.receiving());
    // A new device on another path: the lost port is closed and the new one opened.
    PtyPair replugged;
    ASSERT_FALSE(static_cast<bool>(port.open_serial_port(replugged.path, 19200)));
    EXPECT_FALSE(port.line_failed());
    replugged.write(hex("01 06"));
    EXPECT_EQ(take(port, 2), hex("01 06"));
}

TEST_F(SerialAsioTest, BaudRateChangesOnTheOpenPort) {
    EXPECT_NO_THROW(port.adjust_baud_rate(115200));
    port.close_serial_port();
    EXPECT_THROW(port.adjust_baud_rate(9600), std::system_error);
}
