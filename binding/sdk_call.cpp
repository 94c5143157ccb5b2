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
// What a signal handler raised during this thread's call, until the call returns.
thread_local PyObject* raised_type = nullptr;
thread_local PyObject* raised_value = nullptr;
thread_local PyObject* raised_traceback = nullptr;

// Runs Python's signal handlers from inside a blocking call on the main thread.
bool abandon_for_python_signal() {
    if (exiting.load() || PyThread_get_thread_ident() != python_main_thread) {
        return false;
    }
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) {
        return false;
    }
    PyErr_Fetch(&raised_type, &raised_value, &raised_traceback);
    return true;
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
        bus->close_serial_port();
    }
    const auto until = std::chrono::steady_clock::now() + kExitGrace;
    while (calls_without_gil.load() > 0 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    buses.clear();
}

}  // namespace

SdkCall::SdkCall() : exceptions_in_flight(std::uncaught_exceptions()) {
    if (!exiting.load()) {
        ++calls_without_gil;
        release = std::make_unique<py::gil_scoped_release>();
    }
}

SdkCall::~SdkCall() noexcept(false) {
    if (release) {
        release.reset();
        --calls_without_gil;
    }
    if (raised_type != nullptr) {
        PyErr_Restore(raised_type, raised_value, raised_traceback);
        raised_type = raised_value = raised_traceback = nullptr;
        if (std::uncaught_exceptions() == exceptions_in_flight) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    }
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
    zelkSDK::Bus::set_abandon_check(&abandon_for_python_signal);
    py::module_::import("atexit").attr("register")(py::cpp_function(&close_everything_at_exit));
}

bool SdkCall::shutting_down() {
    return exiting.load();
}

}  // namespace ferrun_binding
