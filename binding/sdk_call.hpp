// How the binding runs SDK code that may wait (for the line, or for the bus's lock that
// another thread holds): with the GIL released, so other Python threads run meanwhile.
//
// Interpreter exit: a daemon thread that is inside the SDK when Python finalises would be
// ended by Python while it takes the GIL back, from inside C++ frames, and the process
// aborts. So at exit (an atexit hook, which runs before finalisation) every bus the
// module made is closed, which ends its waiting calls at once, and the hook waits until no
// thread is inside a call that released the GIL. From then on no call releases the GIL:
// each runs to its end (fast, on a closed line) while its thread holds the GIL, and Python
// can end the thread only between calls.
//
// Signals: Python runs its signal handlers only on the main thread and only with the GIL.
// A blocking call on the main thread that waits longer than a moment takes the GIL for an
// instant now and then (Bus::set_abandon_check) to run them; when a handler raises
// (KeyboardInterrupt), the call is abandoned and the exception raised when it returns.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "sdk/actuator/bus.hpp"

namespace ferrun_binding {

class SdkCall {
  public:
    // Releases the GIL unless the interpreter is shutting down; the destructor takes it back
    // before the call stops being counted, then raises what a signal handler raised during
    // the call (error_already_set), unless another exception is already on its way.
    SdkCall();
    ~SdkCall() noexcept(false);
    SdkCall(const SdkCall&) = delete;
    SdkCall& operator=(const SdkCall&) = delete;

    // Buses are closed at exit only while something still holds them.
    static void track(const std::shared_ptr<zelkSDK::Bus>& bus);
    // Installs the exit hook; called once, at import.
    static void register_exit_hook(pybind11::module_& m);
    static bool shutting_down();

  private:
    std::unique_ptr<pybind11::gil_scoped_release> release;
    int exceptions_in_flight;
};

// The call guard of every method that may wait.
using release_gil = pybind11::call_guard<SdkCall>;

// Deletes an object the SDK may need to wait in (an Actuator leaves its bus under the
// bus's lock) without holding the GIL, where the deleting thread holds it.
struct DeleteWithoutGil {
    template <class T>
    void operator()(T* object) const {
        if (PyGILState_Check() != 0 && !SdkCall::shutting_down()) {
            pybind11::gil_scoped_release release;
            delete object;
        } else {
            delete object;
        }
    }
};

}  // namespace ferrun_binding
