// The virtual actuator as a child process: started with its options, its port read from
// the first line it prints, stopped by closing its standard input (which it waits for, so
// its journal is complete afterwards).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace soak {

class SimProcess {
  public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // Starts the program; false (and why in error()) when it does not print its port.
    bool start(const std::string& program, const std::vector<std::string>& options);
    const std::string& port() const { return port_path; }
    const std::string& error() const { return error_text; }
    // Closes its standard input and waits for it to end; returns its exit status.
    int stop();

  private:
    pid_t pid = -1;
    int stdin_fd = -1;
    std::string port_path;
    std::string error_text;
};

}  // namespace soak
