#include "soak/sim_process.hpp"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>

#include <cerrno>
#include <cstring>

namespace soak {

SimProcess::~SimProcess() {
    stop();
}

bool SimProcess::start(const std::string& program, const std::vector<std::string>& options) {
    int to_child[2];
    int from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) {
        error_text = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    pid = ::fork();
    if (pid < 0) {
        error_text = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        ::dup2(to_child[0], STDIN_FILENO);
        ::dup2(from_child[1], STDOUT_FILENO);
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
            ::close(fd);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& option : options) {
            argv.push_back(const_cast<char*>(option.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        std::fprintf(stderr, "cannot run %s: %s\n", program.c_str(), std::strerror(errno));
        ::_exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    stdin_fd = to_child[1];
    // The first line is the port; the program writes nothing else to its standard output.
    std::string line;
    pollfd fd{from_child[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&fd, 1, 10000) > 0) {
        char buffer[256];
        const ssize_t n = ::read(from_child[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        line.append(buffer, static_cast<size_t>(n));
    }
    ::close(from_child[0]);
    if (line.find('\n') == std::string::npos) {
        error_text = program + " printed no port";
        stop();
        return false;
    }
    port_path = line.substr(0, line.find('\n'));
    return true;
}

int SimProcess::stop() {
    if (pid <= 0) {
        return -1;
    }
    ::close(stdin_fd);
    stdin_fd = -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace soak
