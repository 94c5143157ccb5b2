// The SDK's log sink: appends lines to a text file, each ended by CR LF on every platform
// and flushed at once. In verbose mode (the default) every line starts with "My Test" and
// the file gets an "Opened File" and a "Closed File" line; the traffic log turns it off.
// Each line is one write: a line a full disk refuses is lost (or cut where the disk filled),
// never written again later.
#pragma once

#include <fstream>
#include <string>

#include "sdk/log/log_interface.hpp"

namespace zelkSDK {

class Log final : public LogInterface {
  public:
    Log() = default;
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    void set_verbose_mode(bool verbose) { verbose_mode = verbose; }
    // Opens path for appending (created when missing). Fails when a file is already open.
    ZelkError open(const std::string& path) override;
    // Appends one line. Fails when no file is open or the file cannot take the line.
    ZelkError write(const std::string& text) override;
    void close();

  private:
    ZelkError write_line(const std::string& text);

    bool verbose_mode = true;
    std::string file_name;
    std::ofstream log_file;
};

}  // namespace zelkSDK
