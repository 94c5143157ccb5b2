// The Actuator's own serial port, clock and log file, for everyday use.
#include <memory>

#include "sdk/actuator/actuator.hpp"
#include "sdk/log/log.hpp"
#include "sdk/serial/chrono_clock.hpp"
#include "sdk/serial/serial_asio.hpp"

namespace zelkSDK {

Actuator::Actuator(const char* name_, uint8_t modbus_server_address_)
    : Actuator(std::make_shared<SerialASIO>(), std::make_shared<ChronoClock>(), name_,
               modbus_server_address_) {}

ZelkError Actuator::begin_serial_logging(const std::string& log_name) {
    auto log = std::make_shared<Log>();
    log->set_verbose_mode(false);
    return begin_serial_logging(log_name, log);
}

}  // namespace zelkSDK
