// Outboxes and the process-wide list of them.
//
// Thread-safety: see outbox.hpp. The list is guarded by one mutex, never held while sleeping.
#include "comm/can/outbox.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace velmot::comm::can {

namespace {

constexpr auto k_look_period = std::chrono::milliseconds(1);

struct Listed {
    std::weak_ptr<Outbox> outbox;
    pid_t creator;
};

class OutboxList {
public:
    void add(const std::shared_ptr<Outbox>& outbox) {
        std::lock_guard lock(mutex_);
        std::erase_if(listed_, [](const Listed& l) { return l.outbox.expired(); });
        listed_.push_back({outbox, ::getpid()});
    }

    std::uint64_t pending_in_this_process() {
        const pid_t self = ::getpid();
        std::uint64_t pending = 0;
        std::lock_guard lock(mutex_);
        for (const auto& listed : listed_) {
            if (listed.creator != self) {
                continue;
            }
            if (auto outbox = listed.outbox.lock()) {
                pending += outbox->pending();
            }
        }
        return pending;
    }

private:
    std::mutex mutex_;
    std::vector<Listed> listed_;
};

OutboxList& outbox_list() {
    static OutboxList& list = *new OutboxList();  // leaked: used at exit
    return list;
}

}  // namespace

std::shared_ptr<Outbox> Outbox::create() {
    auto outbox = std::shared_ptr<Outbox>(new Outbox());
    outbox_list().add(outbox);
    return outbox;
}

std::uint64_t wait_for_empty_outboxes(runtime::Clock::time_point deadline) {
    for (;;) {
        const std::uint64_t pending = outbox_list().pending_in_this_process();
        if (pending == 0 || runtime::Clock::now() >= deadline) {
            return pending;
        }
        std::this_thread::sleep_for(
            std::min<runtime::Clock::duration>(k_look_period, deadline - runtime::Clock::now()));
    }
}

}  // namespace velmot::comm::can
