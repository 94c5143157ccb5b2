// Drives an Actuator through its public blocking API and stream mode on the scripted line,
// and after every call checks what it reported against what the line actually carried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/session_setup.hpp"
#include "sdk/actuator/actuator.hpp"

namespace fuzz {

class ActuatorSession : private SessionSetup {
  public:
    ActuatorSession(const SessionSetup& setup, uint8_t address);

    void apply(const Operation& operation);
    void replace(uint8_t address);

  private:
    void blocking_read(const Operation& op);
    void blocking_wide_read(const Operation& op);
    void blocking_many_read(const Operation& op);
    void blocking_write(const Operation& op);
    void blocking_read_write(const Operation& op);
    void stream_passes(const Operation& op);
    void confirm_mode(const Operation& op);

    // Checks a successful read's registers against the answers delivered after its request.
    void expect_read(const Bytes& request, const std::vector<uint16_t>& registers);
    void expect_write(const Bytes& request, const zelkSDK::ZelkError& error);
    void expect_refused(const zelkSDK::ZelkError& error, const char* what);
    const Transmit* last_transmit_of(const Bytes& request) const;
    void check_stream_frames();
    void check_stream_cache();
    void note_stream_settings();
    Bytes streamed_frame() const;

    uint8_t address = 1;
    std::unique_ptr<zelkSDK::Actuator> actuator;

    size_t first_transmit_of_operation = 0;
    size_t stream_frames_checked = 0;
    std::vector<Bytes> allowed_stream_frames;  // settings in force since the last stream frame
    zelkSDK::StreamData last_cache;
    size_t cache_answers_from = 0;  // transmits whose answers may have set the cache
    int32_t force_mN = 0;
    int32_t position_um = 0;
    uint16_t haptic_effects = 0;
};

}  // namespace fuzz
