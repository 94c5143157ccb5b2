// A pseudo-terminal pair whose master side the test drives by hand.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

class PtyPair {
  public:
    PtyPair() {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            termios settings{};
            ::tcgetattr(slave, &settings);
            ::cfmakeraw(&settings);
            ::tcsetattr(slave, TCSANOW, &settings);
            path = name;
        }
    }
    ~PtyPair() {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    void write(const std::vector<uint8_t>& bytes) const {
        (void)!::write(master, bytes.data(), bytes.size());
    }
    // What the client sent, waiting up to timeout_ms for the first byte.
    std::vector<uint8_t> read(int timeout_ms = 1000) const {
        pollfd fd{master, POLLIN, 0};
        std::vector<uint8_t> bytes;
        if (::poll(&fd, 1, timeout_ms) > 0) {
            uint8_t buffer[512];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                bytes.assign(buffer, buffer + n);
        }
        return bytes;
    }

    // The far end goes away, as an unplugged adapter does.
    void hang_up() {
        ::close(master);
        master = -1;
    }

    int master = -1;
    int slave = -1;
    std::string path;
};
