// The Actuator's own bus (serial port, clock and log file), for everyday use.
#include <memory>

#include "sdk/actuator/actuator.hpp"

namespace zelkSDK {

Actuator::Actuator(const char* name_, uint8_t modbus_server_address_)
    : Actuator(std::make_shared<Bus>(), name_, modbus_server_address_) {}

ZelkError Actuator::begin_serial_logging(const std::string& log_name) {
    return bus->begin_serial_logging(log_name);
}

}  // namespace zelkSDK
