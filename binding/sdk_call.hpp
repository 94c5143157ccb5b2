// How the binding runs SDK code that may wait (for the line, or for the bus's lock that
// another thread holds): with the GIL released, so other Python threads run meanwhile.
//
// Interpreter exit: a daemon thread that is inside the SDK when Python finalises would be
// ended by Python while it takes the GIL back, from inside C++ frames, and the process
// aborts. So at exit (an atexit hook, which runs before finalisation) every bus the
// module made is closed, which stops its bus thread (a native thread that never takes the
// GIL, joined there) and ends its waiting calls at once, and the hook waits until no
// thread is inside a call that released the GIL. From then on no call releases the GIL
// and no bus thread starts:
// each runs to its end (fast, on a closed line) while its thread holds the GIL, and Python
// can end the thread only between calls.
//
// Ctrl-C: Python runs its signal handlers only between calls, on the main thread. A
// blocking call on the main thread looks for a SIGINT every 25 ms while it waits
// (Bus::set_abandon_check): when one came and SIGINT still raises KeyboardInterrupt, the
// call is abandoned and returns its failure, and the interrupt is handed back to Python,
// which raises KeyboardInterrupt as soon as the call has returned and the bus is free. No
// handler runs inside a call: a handler may use the bus itself.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <memory>

#include "sdk/actuator/bus.hpp"

namespace ferrun_binding {

class SdkCall {
  public:
    // Releases the GIL unless the interpreter is shutting down; the destructor takes it back
    // before the call stops being counted, and hands back a SIGINT the call noticed.
    SdkCall();
    ~SdkCall();
    SdkCall(const SdkCall&) = delete;
    SdkCall& operator=(const SdkCall&) = delete;

    // Buses are closed at exit only while something still holds them.
    static void track(const std::shared_ptr<zelkSDK::Bus>& bus);
    // Installs the exit hook and the Ctrl-C check; called once, at import.
    static void register_exit_hook(pybind11::module_& m);
    static bool shutting_down();
    // Runs work without the GIL, counted like a call, where this thread holds the GIL and
    // the interpreter is not shutting down; else with things as they are.
    static void run_without_gil(const std::function<void()>& work);

  private:
    std::unique_ptr<pybind11::gil_scoped_release> release;
};

// The call guard of every method that may wait.
using release_gil = pybind11::call_guard<SdkCall>;

// Deletes an object the SDK may need to wait in (an Actuator leaves its bus under the
// bus's lock) without holding the GIL.
struct DeleteWithoutGil {
    template <class T>
    void operator()(T* object) const {
        SdkCall::run_without_gil([object] { delete object; });
    }
};

}  // namespace ferrun_binding
