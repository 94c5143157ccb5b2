#include "binding/sdk_call.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace ferrun_binding {
namespace {

// How long the exit hook waits for calls to return after their buses were closed.
constexpr auto kExitGrace = std::chrono::seconds(2);

std::atomic<bool> exiting{false};
std::atomic<int> calls_without_gil{0};
std::mutex tracked_mutex;
std::vector<std::weak_ptr<zelkSDK::Bus>> tracked;
unsigned long python_main_thread = 0;  // Python's ident of its main thread
// A SIGINT this thread's call took from Python, to be handed back when the call returns.
thread_local bool sigint_taken = false;
thread_local bool sigint_abandons = false;  // that SIGINT raises KeyboardInterrupt

// Asked from inside a blocking call on the main thread. Runs no Python handler (the call
// holds the bus's lock): it only takes a pending SIGINT, and abandons the call when SIGINT
// raises KeyboardInterrupt; any other handler of it runs after the call, as it would have.
bool abandon_for_ctrl_c(bool look_again) {
    if (sigint_taken || !look_again || exiting.load() ||
        PyThread_get_thread_ident() != python_main_thread) {
        return sigint_abandons;
    }
    py::gil_scoped_acquire gil;
    if (PyOS_InterruptOccurred() == 0) {
        return false;
    }
    sigint_taken = true;
    const py::module_ signal_module = py::module_::import("signal");
    sigint_abandons = signal_module.attr("getsignal")(signal_module.attr("SIGINT"))
                          .is(signal_module.attr("default_int_handler"));
    return sigint_abandons;
}

void close_everything_at_exit() {
    exiting = true;
    std::vector<std::shared_ptr<zelkSDK::Bus>> buses;
    {
        std::lock_guard<std::mutex> held(tracked_mutex);
        for (const auto& weak : tracked) {
            if (auto bus = weak.lock()) {
                buses.push_back(std::move(bus));
            }
        }
        tracked.clear();
    }
    py::gil_scoped_release release;
    for (const auto& bus : buses) {
        bus->close_serial_port();  // stops its bus thread first
    }
    const auto until = std::chrono::steady_clock::now() + kExitGrace;
    while (calls_without_gil.load() > 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    buses.clear();
}

}  // namespace

SdkCall::SdkCall() {
    if (!exiting.load()) {
        ++calls_without_gil;
        release = std::make_unique<py::gil_scoped_release>();
    }
}

SdkCall::~SdkCall() {
    if (release) {
        release.reset();
        --calls_without_gil;
    }
    if (sigint_taken) {
        // Python raises KeyboardInterrupt (or runs its handler) once the call has returned.
        sigint_taken = false;
        sigint_abandons = false;
        PyErr_SetInterrupt();
    }
}

void SdkCall::run_without_gil(const std::function<void()>& work) {
    if (PyGILState_Check() == 0 || exiting.load()) {
        work();
        return;
    }
    ++calls_without_gil;
    {
        py::gil_scoped_release released;
        work();
    }
    --calls_without_gil;
}

void SdkCall::track(const std::shared_ptr<zelkSDK::Bus>& bus) {
    std::lock_guard<std::mutex> held(tracked_mutex);
    tracked.erase(
        std::remove_if(tracked.begin(), tracked.end(),
                       [](const std::weak_ptr<zelkSDK::Bus>& weak) { return weak.expired(); }),
        tracked.end());
    tracked.push_back(bus);
}

void SdkCall::register_exit_hook(py::module_& m) {
    (void)m;
    python_main_thread =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    zelkSDK::Bus::set_abandon_check(&abandon_for_ctrl_c);
    py::module_::import("atexit").attr("register")(py::cpp_function(&close_everything_at_exit));
}

bool SdkCall::shutting_down() {
    return exiting.load();
}

}  // namespace ferrun_binding
