// Thread-local "driving the runtime" mark.
#include "runtime/driving.hpp"

namespace velmot::runtime {

namespace {
thread_local bool tls_driving = false;
}

bool current_thread_drives_runtime() noexcept {
    return tls_driving;
}

DrivingScope::DrivingScope(bool driving) noexcept : previous_(tls_driving) {
    tls_driving = driving;
}

DrivingScope::~DrivingScope() {
    tls_driving = previous_;
}

}  // namespace velmot::runtime
