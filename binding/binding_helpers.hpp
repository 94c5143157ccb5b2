// What register_bus.cpp and register_actuator.cpp share: the defaults Python sees, run_wait()
// with a look at Python's signals, and (through sdk_call.hpp) how calls release the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "binding/sdk_call.hpp"

namespace ferrun_binding {

constexpr int kDefaultBaudRate = 19200;
constexpr int kDefaultInterframeDelayUs = 2000;
constexpr int64_t kDefaultMaxWaitUs = 10000;

// A wait longer than this is taken in slices with a look at Python's signals in between, so
// Ctrl-C ends a long run_wait() within a slice.
constexpr int64_t kSignalCheckUs = 50000;

// run_wait() from Python. A slice that ends before its time is up means the line moved (a
// byte came, a time limit passed): the wait is over, as one long wait would have been.
template <class Target>
void run_wait_watching_signals(Target& target, int64_t max_wait_us) {
    if (SdkCall::shutting_down()) {
        // The GIL stays held from now on: no sleeping in here while Python wants to exit.
        max_wait_us = 0;
    }
    using Steady = std::chrono::steady_clock;
    const Steady::time_point start = Steady::now();
    int64_t waited_us = 0;
    for (;;) {
        const int64_t slice_us = std::min(max_wait_us - waited_us, kSignalCheckUs);
        {
            SdkCall call;
            target.run_wait(slice_us);
        }
        const int64_t now_us =
            std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - start).count();
        if (slice_us <= 0 || now_us < waited_us + slice_us || now_us >= max_wait_us) {
            return;
        }
        waited_us = now_us;
        if (PyErr_CheckSignals() != 0) {
            throw pybind11::error_already_set();
        }
    }
}

}  // namespace ferrun_binding
