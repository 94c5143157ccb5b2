#include "sdk/log/log.hpp"

#include <cerrno>
#include <cstring>

namespace zelkSDK {
namespace {

// The system's words for the last failure, or a plain one when it left none.
std::string system_reason() {
    return errno != 0 ? std::strerror(errno) : "unknown reason";
}

}  // namespace

Log::~Log() {
    close();
}

ZelkError Log::open(const std::string& path) {
    const std::string full_name = path;
    if (log_file.is_open()) {
        return ZelkError(1, "Could not open file: " + full_name + ". The file: " + file_name +
                                " is already open.");
    }
    if (path.empty() || path.find('\0') != std::string::npos) {
        return ZelkError(
            1, "Failed to create/open log file: '" + path.substr(0, path.find('\0')) + "': " +
                   (path.empty() ? "the path is empty" : "the path holds a NUL character") + ".");
    }
    file_name = full_name;
    log_file.clear();
    errno = 0;
    // Unbuffered: each line goes to the file in one write, and a line the file refused is
    // not kept to be written again later, after lines that came after it.
    log_file.rdbuf()->pubsetbuf(nullptr, 0);
    log_file.open(full_name, std::ios::out | std::ios::app | std::ios::binary);
    if (!log_file.is_open()) {
        const std::string reason = system_reason();
        file_name.clear();
        return ZelkError(1, "Failed to create/open log file: " + path + ": " + reason + ".");
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
    errno = 0;
    log_file << text << "\r\n";
    log_file.flush();
    if (!log_file) {
        // A full disk or a broken file: say so, and let the next line try again.
        const std::string reason = system_reason();
        log_file.clear();
        return ZelkError(1, "Failed to write to log file " + file_name + ": " + reason + ".");
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
