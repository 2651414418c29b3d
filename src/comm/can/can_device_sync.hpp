// CanDeviceSync: the blocking CAN device. The try_* calls only try the socket; the waiting calls
// try it at once and, only when they would have to wait, block on the runtime (block in place
// around block on), so they may be called from any thread, a runtime worker included.
//
// Thread-safety: send, receive and close need exclusive access (the Python class takes an
// exclusive borrow, kept while a call waits); interface() may be called concurrently.
// After close() (the socket is closed at once) every call fails with device_closed_error().
//
// Blocks: `send` while the socket buffer is full, `receive` until a frame arrives, `create` while
// provisioning runs its `ip` / `sudo` children. Nothing here touches the GIL: the Python class
// tries first with the GIL held and releases it only for the wait. With an InterruptPoll a wait
// asks it every 50 ms (so Ctrl+C can end it) and ends with interrupted_error() when it says so.
// Cancel safety: a poll ends only a readiness wait, so an interrupted receive takes no frame (the
// next receive gets it) and an interrupted send writes nothing; a frame is never half-read.
#pragma once

#include <linux/can.h>

#include <optional>
#include <string>

#include "comm/can/can_device.hpp"
#include "comm/can/can_message.hpp"
#include "common/interrupt_poll.hpp"
#include "common/result.hpp"

namespace velmot::comm::can {

class CanDeviceSync {
public:
    // Provisions the interface (ensure_can_interface), then opens the socket.
    static Result<CanDeviceSync> create(const std::string& interface,
                                        const InterruptPoll& interrupt = {});

    // Writes the frame if the socket can take it now; false (nothing written) when its buffer is
    // full.
    Result<bool> try_send(const can_frame& frame);
    // Returns once the frame is written, waiting while the socket buffer is full.
    Result<void> send(const can_frame& frame, const InterruptPoll& interrupt = {});
    // The frame waiting in the socket, if one is; never waits.
    Result<std::optional<CanMessage>> try_receive();
    // Waits without limit for the next frame.
    Result<CanMessage> receive(const InterruptPoll& interrupt = {});

    const std::string& interface() const noexcept { return interface_; }

    // Closes the socket; a second call does nothing.
    void close() noexcept { device_.reset(); }
    bool is_closed() const noexcept { return !device_; }

private:
    CanDeviceSync(std::string interface, CanDevice device);

    CanDevice& device();  // callers check device_ first

    std::optional<CanDevice> device_;  // filled by construction, emptied by close()
    std::string interface_;
};

}  // namespace velmot::comm::can
