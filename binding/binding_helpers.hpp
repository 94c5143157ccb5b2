// What register_bus.cpp and register_actuator.cpp share: the defaults Python sees, run_wait()
// with a look at Python's signals, the docstrings of the methods both classes have, the
// bus thread's context manager, and (through sdk_call.hpp) how calls release the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>

#include "binding/sdk_call.hpp"

namespace ferrun_binding {

constexpr int kDefaultBaudRate = 19200;
constexpr int kDefaultInterframeDelayUs = 2000;
constexpr int64_t kDefaultMaxWaitUs = 10000;

// An Actuator's port, log and run_wait() are its bus's, so both classes say the same.
constexpr char kOpenByNumberDoc[] =
    "Open serial port using port number\n"
    "n is /dev/ttySn (COMn on Windows); interframe_delay in us, 0 to 1000000. Clears the queue.\n"
    "Returns a ZelkError: truthy, naming the port and the reason, when it failed.";
constexpr char kOpenByPathDoc[] =
    "Open serial port using port path\n"
    "interframe_delay in us, 0 to 1000000; a path holding NUL is refused. Clears the queue.\n"
    "Returns a ZelkError: truthy, naming the path and the reason, when it failed.";
constexpr char kCloseDoc[] =
    "Close the port, ending a blocking call that waits on it in another thread.\n"
    "A port that is not open is left as it is.";
constexpr char kBeginLoggingDoc[] =
    "Append one tab-separated line per frame on the line (with its server address) to log_name.\n"
    "Returns a ZelkError, truthy when the file cannot be opened.";
constexpr char kRunWaitDoc[] =
    "run(), then sleep until a response byte arrives, the engine's next time limit passes or\n"
    "max_wait_us are over. On the main thread Ctrl-C ends it within 50 ms (KeyboardInterrupt).";
constexpr char kLogWriteFailuresDoc[] =
    "How many writes the traffic log could not make (a full disk, a broken file).\n"
    "The exchanges themselves go on.";
constexpr char kLastLogErrorDoc[] =
    "The last failed traffic log write, as a truthy ZelkError; falsy while every write held.";
constexpr char kStartStreamingDoc[] =
    "Run the bus's cycle (the run_wait() loop) on a thread of its own that never takes the GIL,\n"
    "for every actuator on the bus with its stream enabled; run() and run_wait() raise\n"
    "RuntimeError meanwhile. Nothing happens when it already runs, or at interpreter exit.";
constexpr char kStopStreamingDoc[] =
    "Stop the bus thread and wait for it; close_serial_port() and interpreter exit do the same.";
constexpr char kIsStreamingDoc[] = "True while the bus thread runs.";
constexpr char kStreamingDoc[] =
    "A context manager that runs the bus thread for the with-block: with bus.streaming(): ...";

// What streaming() returns: starts the bus thread on entry, stops it on exit.
struct StreamingScope {
    std::shared_ptr<zelkSDK::Bus> bus;
};

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

// start_streaming() from Python: nothing once the interpreter is shutting down, since the
// exit hook has stopped every bus thread and none may start behind it.
template <class Target>
void start_streaming(Target& target) {
    if (!SdkCall::shutting_down()) {
        SdkCall call;
        target.start_streaming();
    }
}

}  // namespace ferrun_binding
