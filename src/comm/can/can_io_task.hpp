// The background I/O task of a CanDeviceAsync: the only user of its socket. Each round it takes
// one event, whichever comes first of "a frame to send is queued" and "a frame arrived", checking
// the two in a random order each round so that neither starves the other, and handles it
// completely before the next round:
//   - a queued frame is written (waiting for write readiness if the socket buffer is full); a
//     failure prints "Failed to send CAN frame: <text>" and the task goes on;
//   - a received frame is queued for the device's receivers; a read error prints "Failed to
//     receive CAN frame: <text>" and pauses 100 ms (no frame is written meanwhile either).
// A permanent failure of the socket (link_loss.hpp) ends the task at once: the loss is recorded in
// the device's LinkLoss (the socket has printed its one line), the frames still queued are
// dropped and the outbox is abandoned, and the receive queue is closed after the frames already
// received, so the device's callers see the loss after taking those.
// Each frame taken from the send queue is counted off the device's Outbox once its write has
// finished. It ends, closing the socket, once every sender is gone and the send queue is drained
// (the owning device was destroyed; frames queued before that are still written). Frames received
// after the device's receivers are gone are dropped.
//
// Thread-safety: runs as one runtime task; talks to its device only through the two channels.
#pragma once

#include <asio/awaitable.hpp>

#include <memory>

#include "comm/can/can_device.hpp"
#include "comm/can/can_message.hpp"
#include "comm/can/link_loss.hpp"
#include "comm/can/outbox.hpp"
#include "runtime/channel.hpp"

namespace velmot::comm::can {

asio::awaitable<void> run_can_io_task(CanDevice socket, runtime::Receiver<CanMessage> outgoing,
                                      std::shared_ptr<Outbox> outbox,
                                      runtime::Sender<CanMessage> incoming,
                                      std::shared_ptr<LinkLoss> loss);

}  // namespace velmot::comm::can
