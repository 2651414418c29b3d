// The CAN I/O task: the event race of each round and the handling of each event.
#include "comm/can/can_io_task.hpp"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/bind_executor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <utility>

#include "common/console.hpp"
#include "runtime/time.hpp"

namespace velmot::comm::can {
namespace {

using runtime::Receiver;
using runtime::Sender;

constexpr auto k_receive_error_pause = std::chrono::milliseconds(100);

constexpr ConsoleKind k_send_failure_kind{"can: failed to send frame"};
constexpr ConsoleKind k_receive_failure_kind{"can: failed to receive frame"};

// What one round handles.
struct Event {
    enum class Kind { nothing, outgoing, outgoing_closed, frame, read_error } kind = Kind::nothing;
    std::optional<CanMessage> message;  // set whenever kind is outgoing
    can_frame frame{};                  // frame
    Error error{ErrorKind::os, {}};     // read_error

    static Event outgoing_message(std::optional<CanMessage> message) {
        Event event;
        event.kind = Kind::outgoing;
        event.message = message;
        return event;
    }
    static Event of(Kind kind) {
        Event event;
        event.kind = kind;
        return event;
    }
};

// A fair coin per round; quality hardly matters, cost does.
class Coin {
public:
    Coin() : engine_(std::random_device{}()) {}
    bool flip() { return (engine_() & 1U) != 0; }

private:
    std::minstd_rand engine_;
};

Event take_outgoing(Receiver<CanMessage>& outgoing) {
    auto taken = outgoing.try_recv();
    switch (taken.status) {
        case runtime::TryRecvStatus::received:
            return Event::outgoing_message(taken.value);
        case runtime::TryRecvStatus::disconnected:
            return Event::of(Event::Kind::outgoing_closed);
        case runtime::TryRecvStatus::empty:
            break;
    }
    return {};
}

Event take_incoming(CanDevice& socket) {
    Event event;
    switch (socket.try_read(event.frame, event.error)) {
        case CanDevice::Attempt::done:
            event.kind = Event::Kind::frame;
            break;
        case CanDevice::Attempt::failed:
            event.kind = Event::Kind::read_error;
            break;
        case CanDevice::Attempt::would_block:
            break;
    }
    return event;
}

// The event that is ready now, looking at the two sources in the given order.
Event poll_event(CanDevice& socket, Receiver<CanMessage>& outgoing, bool outgoing_first) {
    Event event = outgoing_first ? take_outgoing(outgoing) : take_incoming(socket);
    if (event.kind != Event::Kind::nothing) {
        return event;
    }
    return outgoing_first ? take_incoming(socket) : take_outgoing(outgoing);
}

// Shared by the two waits of one race and their completion handlers; all of them run on the
// task's strand, so no lock is needed.
struct Race {
    explicit Race(const asio::any_io_executor& ex) : wake(ex) {}

    void settle() { wake.cancel(); }

    asio::steady_timer wake;
    asio::cancellation_signal recv_cancel;
    bool readable_done = false;
    bool recv_done = false;
    std::optional<CanMessage> message;  // delivered by the receive even when it lost the race
    bool outgoing_closed = false;
};

asio::awaitable<void> wait_until(Race& race, bool (*condition)(const Race&)) {
    while (!condition(race)) {
        race.wake.expires_at(runtime::Clock::time_point::max());
        std::error_code ignored;
        co_await race.wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

// Waits until a frame is queued or the socket is readable. Both waits are started; the loser is
// cancelled and awaited, and a message it took anyway is kept, so nothing is lost. Returns the
// queued message (or closure) when there is one; otherwise the socket is readable.
asio::awaitable<Event> wait_event(CanDevice& socket, Receiver<CanMessage>& outgoing) {
    auto executor = co_await asio::this_coro::executor;
    auto race = std::make_shared<Race>(executor);
    socket.async_wait_readable(asio::bind_executor(executor, [race](std::error_code) {
        race->readable_done = true;
        race->settle();
    }));
    outgoing.async_recv(asio::bind_cancellation_slot(
        race->recv_cancel.slot(),
        asio::bind_executor(executor,
                            [race](std::error_code ec, std::optional<CanMessage> message) {
                                race->recv_done = true;
                                race->message = message;
                                race->outgoing_closed = !ec && !race->message;
                                race->settle();
                            })));
    co_await wait_until(*race, [](const Race& r) { return r.readable_done || r.recv_done; });
    if (!race->readable_done) {
        socket.cancel();
    }
    if (!race->recv_done) {
        race->recv_cancel.emit(asio::cancellation_type::terminal);
    }
    co_await wait_until(*race, [](const Race& r) { return r.readable_done && r.recv_done; });
    if (race->message) {
        co_return Event::outgoing_message(race->message);
    }
    if (race->outgoing_closed) {
        co_return Event::of(Event::Kind::outgoing_closed);
    }
    co_return Event{};  // readable: the next round reads
}

asio::awaitable<void> write_message(CanDevice& socket, const CanMessage& message) {
    auto written = co_await socket.write(message.to_frame());
    if (!written && !socket.loss()) {
        write_stderr(k_send_failure_kind,
                     "Failed to send CAN frame: " + written.error().message + "\n");
    }
}

// The socket is lost: records it for the device's callers and gives up on the queued frames.
void give_up(const Error& lost, Receiver<CanMessage>& outgoing, Outbox& outbox, LinkLoss& loss) {
    loss.record(lost);
    outbox.abandon();
    while (outgoing.try_recv().status == runtime::TryRecvStatus::received) {
        outbox.remove_queued();
    }
}

}  // namespace

asio::awaitable<void> run_can_io_task(CanDevice socket, Receiver<CanMessage> outgoing,
                                      std::shared_ptr<Outbox> outbox, Sender<CanMessage> incoming,
                                      std::shared_ptr<LinkLoss> loss) {
    Coin coin;
    bool forwarding = true;  // the device's receivers are still there
    for (;;) {
        Event event = poll_event(socket, outgoing, coin.flip());
        if (event.kind == Event::Kind::nothing) {
            event = co_await wait_event(socket, outgoing);
        }
        switch (event.kind) {
            case Event::Kind::nothing:
                break;
            case Event::Kind::outgoing:
                // An outgoing event always holds its message (Event::outgoing_message).
                // NOLINTNEXTLINE(bugprone-unchecked-optional-access)
                co_await write_message(socket, *event.message);
                outbox->remove_queued();
                if (const auto& lost = socket.loss()) {
                    give_up(*lost, outgoing, *outbox, *loss);
                    co_return;
                }
                break;
            case Event::Kind::outgoing_closed:
                co_return;
            case Event::Kind::frame:
                // Once nobody can receive, frames are dropped but the send queue is still drained.
                forwarding = forwarding && incoming.send(CanMessage::from_frame(event.frame)).ok();
                break;
            case Event::Kind::read_error:
                if (const auto& lost = socket.loss()) {
                    give_up(*lost, outgoing, *outbox, *loss);
                    co_return;
                }
                write_stderr(k_receive_failure_kind,
                             "Failed to receive CAN frame: " + event.error.message + "\n");
                co_await runtime::sleep(k_receive_error_pause);
                break;
        }
    }
}

}  // namespace velmot::comm::can
