#include "sdk/log/log.hpp"

namespace zelkSDK {

Log::~Log() {
    close();
}

ZelkError Log::open(const std::string& path) {
    const std::string full_name = path;
    if (log_file.is_open()) {
        return ZelkError(1, "Could not open file: " + full_name + ". The file: " + file_name +
                                " is already open.");
    }
    file_name = full_name;
    log_file.clear();
    log_file.open(full_name, std::ios::out | std::ios::app | std::ios::binary);
    if (!log_file.is_open()) {
        return ZelkError(1, "Failed to create/open log file: " + path);
    }
    if (verbose_mode) {
        write_line("Opened File");
    }
    return ZelkError(0, "");
}

ZelkError Log::write(const std::string& text) {
    return write_line(text);
}

ZelkError Log::write_line(const std::string& text) {
    if (!log_file.is_open()) {
        return ZelkError(1, "Tried to write to unopened log file " + file_name + ".");
    }
    if (verbose_mode) {
        log_file << "My Test";
    }
    log_file << text << "\r\n";
    log_file.flush();
    if (!log_file) {
        // A full disk or a broken file: say so, and let the next line try again.
        log_file.clear();
        return ZelkError(1, "Failed to write to log file " + file_name + ".");
    }
    return ZelkError(0, "");
}

void Log::close() {
    if (log_file.is_open() && verbose_mode) {
        write_line("Closed File");
    }
    file_name.clear();
    log_file.close();
}

}  // namespace zelkSDK
