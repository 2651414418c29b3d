// CanDeviceSync: the blocking CAN device. Each operation finishes on the calling thread: it tries
// the socket at once and, only when it would have to wait, blocks on the runtime (block in place
// around block on), so it may be called from any thread, a runtime worker included.
//
// Thread-safety: send and receive need exclusive access (the Python class takes an exclusive
// borrow); interface() may be called concurrently.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "comm/can/can_device.hpp"
#include "comm/can/can_message.hpp"
#include "common/result.hpp"
#include "runtime/time.hpp"

namespace velmot::comm::can {

class CanDeviceSync {
public:
    // Provisions the interface (ensure_can_interface), then opens the socket.
    static Result<CanDeviceSync> create(const std::string& interface);

    // Returns once the frame is written to the socket. Frame errors come first, unchanged.
    Result<void> send(std::uint32_t id, std::span<const std::uint8_t> data);
    // Waits without limit for the next frame.
    Result<CanMessage> receive();
    // Waits up to `limit` for the next frame; nothing when none came. A wait that runs out takes
    // no frame: one that arrives later is returned by the next call.
    Result<std::optional<CanMessage>> receive_within(runtime::Clock::duration limit);

    const std::string& interface() const noexcept { return interface_; }

private:
    CanDeviceSync(std::string interface, CanDevice device);

    CanDevice& device();  // callers check device_ first

    std::optional<CanDevice> device_;  // filled by construction, never emptied
    std::string interface_;
};

}  // namespace velmot::comm::can
