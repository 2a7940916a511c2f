// PacketQueue.hpp: one netfilter queue, bound for this process: packets come in whole (up to
// 64 KiB), verdicts go back in batches, one send for all verdicts of a burst.
//
//   auto queue = PacketQueue::open(4170);
//   poll(queue.descriptor() ...);
//   queue.receive([&](const QueuedPacket& p) {
//       queue.verdict(p.id, PacketQueue::Verdict::accept, newMark);
//   });                                   // reads every packet waiting, never blocks
//   queue.flush();                        // sends the verdicts given so far
//
// The socket ignores ENOBUFS (a full socket buffer loses packets to retransmission, never
// lets them pass), and the queue is made without fail-open: a full queue drops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace tolvane::netfilter {

struct QueuedPacket {
    std::uint32_t id = 0;
    std::uint32_t mark = 0;               // the packet mark as it entered the queue
    std::span<const std::uint8_t> bytes;  // the IP packet; valid during the handler only
};

class PacketQueue {
public:
    enum class Verdict { accept, drop };

    static constexpr std::uint32_t defaultMaximumLength = 8192;

    // Binds queue `number`. Throws NetfilterError (another process holds the queue, no
    // CAP_NET_ADMIN, no netfilter queue support).
    static PacketQueue open(std::uint16_t number,
                            std::uint32_t maximumLength = defaultMaximumLength);

    PacketQueue(PacketQueue&&) noexcept;
    PacketQueue& operator=(PacketQueue&&) noexcept;
    ~PacketQueue();

    int descriptor() const;

    // Hands every packet already waiting to `handler`, in order, without blocking; returns
    // how many there were. Throws NetfilterError when the socket fails.
    std::size_t receive(const std::function<void(const QueuedPacket&)>& handler);

    // Queues a verdict for packet `id`; `mark`, when given, becomes the packet's mark.
    void verdict(std::uint32_t id, Verdict verdict, std::optional<std::uint32_t> mark);
    // Sends the verdicts given since the last flush. Throws NetfilterError.
    void flush();

private:
    struct State;
    explicit PacketQueue(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tolvane::netfilter
