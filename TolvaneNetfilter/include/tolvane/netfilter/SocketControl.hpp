// SocketControl.hpp: reaching a flow's local socket and connection entry from outside the
// process that owns it.
//
//   destroySocket(tuple)        the local TCP socket of `tuple` is aborted at once (its owner
//                               reads ECONNABORTED) and the kernel resets the peer; false
//                               when there is no such socket (or the kernel cannot)
//   forgetConnection(tuple)     the connection entry is deleted, so the flow's next packet is
//                               seen as new (picked up mid-stream); false when none
//   forgetFilterConnections     deletes every TCP and UDP entry whose mark holds the state
//                               allow, pending or held under `layout` (one left by an earlier
//                               run), so that its next packet is judged afresh; returns how
//                               many. Entries of others and refused ones are left alone.
//
// ConnectionEnds reports the connection entries the kernel destroys (closed, timed out or
// deleted), so that tables of live flows can forget them.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <tolvane/netfilter/FlowTuple.hpp>
#include <tolvane/netfilter/MarkLayout.hpp>

namespace tolvane::netfilter {

// REQUIRES: CAP_NET_ADMIN in the socket's network namespace. Never throws.
bool destroySocket(const FlowTuple& tuple);
bool forgetConnection(const FlowTuple& tuple);
std::size_t forgetFilterConnections(const MarkLayout& layout);

class ConnectionEnds {
public:
    // Subscribes to destroyed TCP and UDP connection entries. Throws NetfilterError.
    static ConnectionEnds open();
    ConnectionEnds(ConnectionEnds&&) noexcept;
    ConnectionEnds& operator=(ConnectionEnds&&) noexcept;
    ~ConnectionEnds();

    int descriptor() const;
    // Hands the original-direction tuple of every ended entry waiting to `handler`, without
    // blocking; returns how many. Lost events (a full socket buffer) are not an error: a
    // table that misses an end forgets the flow when it idles out.
    std::size_t receive(const std::function<void(const FlowTuple&)>& handler);

private:
    struct State;
    explicit ConnectionEnds(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace tolvane::netfilter
