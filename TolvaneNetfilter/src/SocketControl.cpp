#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tolvane/netfilter/NetfilterError.hpp>
#include <tolvane/netfilter/SocketControl.hpp>

extern "C" {
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
}

namespace tolvane::netfilter {

namespace {

class Netlink {
public:
    explicit Netlink(int protocol) : fd_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, protocol)) {}
    ~Netlink() {
        if (fd_ >= 0) close(fd_);
    }
    Netlink(const Netlink&) = delete;
    Netlink& operator=(const Netlink&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

struct ConntrackHandle {
    nfct_handle* handle;
    explicit ConntrackHandle(unsigned groups) : handle(nfct_open(CONNTRACK, groups)) {}
    ~ConntrackHandle() {
        if (handle) nfct_close(handle);
    }
    ConntrackHandle(const ConntrackHandle&) = delete;
    ConntrackHandle& operator=(const ConntrackHandle&) = delete;
};

struct Conntrack {
    nf_conntrack* entry = nfct_new();
    ~Conntrack() {
        if (entry) nfct_destroy(entry);
    }
    Conntrack() = default;
    Conntrack(const Conntrack&) = delete;
    Conntrack& operator=(const Conntrack&) = delete;
};

std::uint32_t ipv4(const std::array<std::uint8_t, 16>& address) {
    std::uint32_t value;
    std::memcpy(&value, address.data(), 4);
    return value;
}

// The entry's tuple in one direction: the original (we opened the flow) or the reply (the
// flow was opened to us, so our side is its reply's source).
void describe(nf_conntrack* entry, const FlowTuple& tuple, bool original) {
    nfct_set_attr_u8(entry, original ? ATTR_ORIG_L3PROTO : ATTR_REPL_L3PROTO,
                     tuple.ipVersion == 4 ? AF_INET : AF_INET6);
    nfct_set_attr_u8(entry, original ? ATTR_ORIG_L4PROTO : ATTR_REPL_L4PROTO, tuple.protocol);
    if (tuple.ipVersion == 4) {
        nfct_set_attr_u32(entry, original ? ATTR_ORIG_IPV4_SRC : ATTR_REPL_IPV4_SRC,
                          ipv4(tuple.source));
        nfct_set_attr_u32(entry, original ? ATTR_ORIG_IPV4_DST : ATTR_REPL_IPV4_DST,
                          ipv4(tuple.destination));
    } else {
        nfct_set_attr(entry, original ? ATTR_ORIG_IPV6_SRC : ATTR_REPL_IPV6_SRC,
                      tuple.source.data());
        nfct_set_attr(entry, original ? ATTR_ORIG_IPV6_DST : ATTR_REPL_IPV6_DST,
                      tuple.destination.data());
    }
    nfct_set_attr_u16(entry, original ? ATTR_ORIG_PORT_SRC : ATTR_REPL_PORT_SRC,
                      htons(tuple.sourcePort));
    nfct_set_attr_u16(entry, original ? ATTR_ORIG_PORT_DST : ATTR_REPL_PORT_DST,
                      htons(tuple.destinationPort));
}

struct Sweep {
    const MarkLayout* layout;
    nfct_handle* deleter;
    std::size_t deleted = 0;
};

int sweepEntry(nf_conntrack_msg_type, nf_conntrack* entry, void* context) {
    auto& sweep = *static_cast<Sweep*>(context);
    const std::uint8_t protocol = nfct_get_attr_u8(entry, ATTR_ORIG_L4PROTO);
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return NFCT_CB_CONTINUE;
    using State = MarkLayout::State;
    const std::uint32_t state = nfct_get_attr_u32(entry, ATTR_MARK) & sweep.layout->stateMask();
    if (state != sweep.layout->bits(State::allow) && state != sweep.layout->bits(State::pending) &&
        state != sweep.layout->bits(State::held)) {
        return NFCT_CB_CONTINUE;
    }
    if (nfct_query(sweep.deleter, NFCT_Q_DESTROY, entry) == 0) ++sweep.deleted;
    return NFCT_CB_CONTINUE;
}

FlowTuple originalTuple(const nf_conntrack* entry) {
    FlowTuple tuple;
    const bool v4 = nfct_get_attr_u8(entry, ATTR_ORIG_L3PROTO) == AF_INET;
    tuple.ipVersion = v4 ? 4 : 6;
    tuple.protocol = nfct_get_attr_u8(entry, ATTR_ORIG_L4PROTO);
    if (v4) {
        const std::uint32_t source = nfct_get_attr_u32(entry, ATTR_ORIG_IPV4_SRC);
        const std::uint32_t destination = nfct_get_attr_u32(entry, ATTR_ORIG_IPV4_DST);
        std::memcpy(tuple.source.data(), &source, 4);
        std::memcpy(tuple.destination.data(), &destination, 4);
    } else {
        std::memcpy(tuple.source.data(), nfct_get_attr(entry, ATTR_ORIG_IPV6_SRC), 16);
        std::memcpy(tuple.destination.data(), nfct_get_attr(entry, ATTR_ORIG_IPV6_DST), 16);
    }
    tuple.sourcePort = ntohs(nfct_get_attr_u16(entry, ATTR_ORIG_PORT_SRC));
    tuple.destinationPort = ntohs(nfct_get_attr_u16(entry, ATTR_ORIG_PORT_DST));
    return tuple;
}

}  // namespace

bool destroySocket(const FlowTuple& tuple) {
    Netlink diag(NETLINK_SOCK_DIAG);
    if (diag.fd() < 0) return false;
    // The kernel answers while handling the request; the timeout only guards against a
    // kernel that never does.
    const timeval patience{1, 0};
    setsockopt(diag.fd(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DESTROY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    message.header.nlmsg_seq = 1;
    inet_diag_req_v2& request = message.request;
    request.sdiag_family = tuple.ipVersion == 4 ? AF_INET : AF_INET6;
    request.sdiag_protocol = tuple.protocol;
    request.idiag_states = ~0u;
    // The socket is found as the receiver of a packet from the peer: its own side is `src`.
    request.id.idiag_sport = htons(tuple.sourcePort);
    request.id.idiag_dport = htons(tuple.destinationPort);
    std::memcpy(request.id.idiag_src, tuple.source.data(), tuple.addressLength());
    std::memcpy(request.id.idiag_dst, tuple.destination.data(), tuple.addressLength());
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(diag.fd(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
        return false;
    }
    alignas(nlmsghdr) char answer[512];
    for (;;) {
        const ssize_t n = recv(diag.fd(), answer, sizeof answer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr)))) return false;
        const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
        if (header->nlmsg_type != NLMSG_ERROR || header->nlmsg_seq != 1) continue;
        return static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error == 0;
    }
}

bool forgetConnection(const FlowTuple& tuple) {
    ConntrackHandle conntrack(0);
    if (!conntrack.handle) return false;
    for (const bool original : {true, false}) {
        Conntrack entry;
        if (!entry.entry) return false;
        describe(entry.entry, tuple, original);
        if (nfct_query(conntrack.handle, NFCT_Q_DESTROY, entry.entry) == 0) return true;
    }
    return false;
}

std::size_t forgetFilterConnections(const MarkLayout& layout) {
    ConntrackHandle dumper(0), deleter(0);
    if (!dumper.handle || !deleter.handle) return 0;
    Sweep sweep{&layout, deleter.handle};
    nfct_callback_register(dumper.handle, NFCT_T_ALL, sweepEntry, &sweep);
    // Both families in one dump.
    const std::uint32_t family = AF_UNSPEC;
    nfct_query(dumper.handle, NFCT_Q_DUMP, &family);
    return sweep.deleted;
}

namespace {

struct EndsReading {
    const std::function<void(const FlowTuple&)>* handler = nullptr;
    std::size_t count = 0;
};

int reportEnd(nf_conntrack_msg_type, nf_conntrack* entry, void* context) {
    auto& state = *static_cast<EndsReading*>(context);
    const std::uint8_t protocol = nfct_get_attr_u8(entry, ATTR_ORIG_L4PROTO);
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) return NFCT_CB_CONTINUE;
    ++state.count;
    (*state.handler)(originalTuple(entry));
    return NFCT_CB_CONTINUE;
}

}  // namespace

struct ConnectionEnds::State {
    ConntrackHandle conntrack{NF_NETLINK_CONNTRACK_DESTROY};
    EndsReading reading;
};

ConnectionEnds ConnectionEnds::open() {
    auto state = std::make_unique<State>();
    nfct_handle* handle = state->conntrack.handle;
    if (!handle) throw NetfilterError("conntrack events: " + std::string(strerror(errno)));
    const int fd = nfct_fd(handle);
    const int on = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        throw NetfilterError("conntrack events non-blocking: " + std::string(strerror(errno)));
    }
    nfct_callback_register(handle, NFCT_T_DESTROY, reportEnd, &state->reading);
    return ConnectionEnds(std::move(state));
}

ConnectionEnds::ConnectionEnds(std::unique_ptr<State> state) : state_(std::move(state)) {}
ConnectionEnds::ConnectionEnds(ConnectionEnds&&) noexcept = default;
ConnectionEnds& ConnectionEnds::operator=(ConnectionEnds&&) noexcept = default;
ConnectionEnds::~ConnectionEnds() = default;

int ConnectionEnds::descriptor() const {
    return nfct_fd(state_->conntrack.handle);
}

std::size_t ConnectionEnds::receive(const std::function<void(const FlowTuple&)>& handler) {
    state_->reading = {&handler, 0};
    // Reads until the socket is empty: EAGAIN ends it, as does a lost-events notice.
    nfct_catch(state_->conntrack.handle);
    state_->reading.handler = nullptr;
    return state_->reading.count;
}

}  // namespace tolvane::netfilter
