// Counting the threads that serve the io_context.
#include "runtime/serving_threads.hpp"

namespace velmot::runtime {

ServingThreads::Scope::Scope(ServingThreads& threads) : threads_(threads) {
    std::lock_guard lock(threads_.mutex_);
    ++threads_.serving_;
}

ServingThreads::Scope::~Scope() {
    std::lock_guard lock(threads_.mutex_);
    if (--threads_.serving_ == 0) {
        threads_.none_serving_.notify_all();
    }
}

bool ServingThreads::wait_until_none_for(std::chrono::milliseconds bound) noexcept {
    std::unique_lock lock(mutex_);
    return none_serving_.wait_for(lock, bound, [this] { return serving_ == 0; });
}

}  // namespace velmot::runtime
