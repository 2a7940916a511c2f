#include <arpa/inet.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <tolvane/netfilter/NetfilterError.hpp>
#include <tolvane/netfilter/PacketQueue.hpp>
#include <vector>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

namespace tolvane::netfilter {

namespace {

constexpr std::uint32_t copyRange = 0xffff;
constexpr std::uint16_t packetMessage = (NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET;
// Room for a whole 64 KiB packet with its attributes.
constexpr std::size_t receiveSize = copyRange + 4096;
// The most a batch of verdicts holds before it is sent.
constexpr std::size_t batchLimit = 8192;
constexpr int receiveBuffer = 8 << 20;

std::string errorText(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

}  // namespace

struct PacketQueue::State {
    mnl_socket* socket = nullptr;
    std::uint16_t number = 0;
    std::vector<char> receiveBuffer;
    // A batch may run one message past its limit before it is sent: twice the limit.
    std::vector<char> batchBuffer;
    mnl_nlmsg_batch* batch = nullptr;

    ~State() {
        if (batch) mnl_nlmsg_batch_stop(batch);
        if (socket) mnl_socket_close(socket);
    }

    void send(const void* data, std::size_t length) {
        if (length == 0) return;
        while (mnl_socket_sendto(socket, data, length) < 0) {
            if (errno != EINTR) throw NetfilterError(errorText("netfilter queue verdicts"));
        }
    }
};

PacketQueue PacketQueue::open(std::uint16_t number, std::uint32_t maximumLength) {
    auto state = std::make_unique<State>();
    state->number = number;
    state->socket = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
    if (!state->socket) throw NetfilterError(errorText("netfilter queue socket"));
    if (mnl_socket_bind(state->socket, 0, MNL_SOCKET_AUTOPID) < 0) {
        throw NetfilterError(errorText("netfilter queue bind"));
    }
    const int fd = mnl_socket_get_fd(state->socket);
    // A burst beyond the buffer is lost and retransmitted; it must not end reading.
    int on = 1;
    if (mnl_socket_setsockopt(state->socket, NETLINK_NO_ENOBUFS, &on, sizeof on) < 0) {
        throw NetfilterError(errorText("NETLINK_NO_ENOBUFS"));
    }
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBuffer, sizeof receiveBuffer) < 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }

    // Bind, copy mode, length and flags in one message, so that no packet reaches us with the
    // defaults in between. GSO packets arrive unsegmented and without their checksums
    // completed: we only read them, and the kernel finishes them after the verdict. There is
    // no fail-open flag: a full queue drops.
    state->receiveBuffer.resize(receiveSize);
    char* buffer = state->receiveBuffer.data();
    nlmsghdr* request = nfq_nlmsg_put(buffer, NFQNL_MSG_CONFIG, number);
    nfq_nlmsg_cfg_put_cmd(request, AF_UNSPEC, NFQNL_CFG_CMD_BIND);
    nfq_nlmsg_cfg_put_params(request, NFQNL_COPY_PACKET, copyRange);
    nfq_nlmsg_cfg_put_qmaxlen(request, maximumLength);
    mnl_attr_put_u32(request, NFQA_CFG_FLAGS, htonl(NFQA_CFG_F_GSO));
    mnl_attr_put_u32(request, NFQA_CFG_MASK, htonl(NFQA_CFG_F_GSO));
    request->nlmsg_flags |= NLM_F_ACK;
    request->nlmsg_seq = 1;
    if (mnl_socket_sendto(state->socket, request, request->nlmsg_len) < 0) {
        throw NetfilterError(errorText("netfilter queue configuration"));
    }
    // The answer; a packet that slipped in before it cannot be handed to anyone yet and is
    // dropped, to be retransmitted.
    for (bool answered = false; !answered;) {
        const ssize_t n = mnl_socket_recvfrom(state->socket, buffer, receiveSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw NetfilterError(errorText("netfilter queue configuration answer"));
        }
        int left = static_cast<int>(n);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); mnl_nlmsg_ok(message, left);
             message = mnl_nlmsg_next(message, &left)) {
            if (message->nlmsg_type == NLMSG_ERROR && message->nlmsg_seq == 1) {
                const auto* answer = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(message));
                if (answer->error != 0) {
                    errno = -answer->error;
                    throw NetfilterError(
                        errorText(("netfilter queue " + std::to_string(number) + " bind").c_str()));
                }
                answered = true;
            } else if (message->nlmsg_type == packetMessage) {
                nlattr* attributes[NFQA_MAX + 1] = {};
                if (nfq_nlmsg_parse(message, attributes) < 0 || !attributes[NFQA_PACKET_HDR]) {
                    continue;
                }
                const auto* header = static_cast<const nfqnl_msg_packet_hdr*>(
                    mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
                char verdict[256];
                nlmsghdr* drop = nfq_nlmsg_put(verdict, NFQNL_MSG_VERDICT, number);
                nfq_nlmsg_verdict_put(drop, static_cast<int>(ntohl(header->packet_id)), NF_DROP);
                mnl_socket_sendto(state->socket, drop, drop->nlmsg_len);
            }
        }
    }
    // Reading never blocks from here on.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        throw NetfilterError(errorText("netfilter queue non-blocking"));
    }
    state->batchBuffer.resize(2 * batchLimit);
    state->batch = mnl_nlmsg_batch_start(state->batchBuffer.data(), batchLimit);
    return PacketQueue(std::move(state));
}

PacketQueue::PacketQueue(std::unique_ptr<State> state) : state_(std::move(state)) {}
PacketQueue::PacketQueue(PacketQueue&&) noexcept = default;
PacketQueue& PacketQueue::operator=(PacketQueue&&) noexcept = default;

PacketQueue::~PacketQueue() {
    if (!state_) return;
    try {
        flush();
    } catch (const NetfilterError&) {
        // Packets without a verdict are dropped by the kernel when the queue goes.
    }
    char buffer[256];
    nlmsghdr* request = nfq_nlmsg_put(buffer, NFQNL_MSG_CONFIG, state_->number);
    nfq_nlmsg_cfg_put_cmd(request, AF_UNSPEC, NFQNL_CFG_CMD_UNBIND);
    mnl_socket_sendto(state_->socket, request, request->nlmsg_len);
}

int PacketQueue::descriptor() const {
    return mnl_socket_get_fd(state_->socket);
}

std::size_t PacketQueue::receive(const std::function<void(const QueuedPacket&)>& handler) {
    std::size_t count = 0;
    char* buffer = state_->receiveBuffer.data();
    for (;;) {
        const ssize_t n = mnl_socket_recvfrom(state_->socket, buffer, receiveSize);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return count;
            throw NetfilterError(errorText("netfilter queue receive"));
        }
        int left = static_cast<int>(n);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); mnl_nlmsg_ok(message, left);
             message = mnl_nlmsg_next(message, &left)) {
            // Errors answer verdicts for packets that are gone (the queue was flushed): nothing
            // to do about them.
            if (message->nlmsg_type != packetMessage) continue;
            nlattr* attributes[NFQA_MAX + 1] = {};
            if (nfq_nlmsg_parse(message, attributes) < 0 || !attributes[NFQA_PACKET_HDR]) continue;
            const auto* header = static_cast<const nfqnl_msg_packet_hdr*>(
                mnl_attr_get_payload(attributes[NFQA_PACKET_HDR]));
            QueuedPacket packet;
            packet.id = ntohl(header->packet_id);
            if (attributes[NFQA_MARK]) packet.mark = ntohl(mnl_attr_get_u32(attributes[NFQA_MARK]));
            if (attributes[NFQA_PAYLOAD]) {
                packet.bytes = {static_cast<const std::uint8_t*>(
                                    mnl_attr_get_payload(attributes[NFQA_PAYLOAD])),
                                mnl_attr_get_payload_len(attributes[NFQA_PAYLOAD])};
            }
            ++count;
            handler(packet);
        }
    }
}

void PacketQueue::verdict(std::uint32_t id, Verdict verdict, std::optional<std::uint32_t> mark) {
    auto* message = nfq_nlmsg_put(static_cast<char*>(mnl_nlmsg_batch_current(state_->batch)),
                                  NFQNL_MSG_VERDICT, state_->number);
    nfq_nlmsg_verdict_put(message, static_cast<int>(id),
                          verdict == Verdict::accept ? NF_ACCEPT : NF_DROP);
    if (mark) nfq_nlmsg_verdict_put_mark(message, *mark);
    // A full batch goes out now; the message that did not fit starts the next one.
    if (!mnl_nlmsg_batch_next(state_->batch)) {
        state_->send(mnl_nlmsg_batch_head(state_->batch), mnl_nlmsg_batch_size(state_->batch));
        mnl_nlmsg_batch_reset(state_->batch);
    }
}

void PacketQueue::flush() {
    if (mnl_nlmsg_batch_is_empty(state_->batch)) return;
    const std::size_t size = mnl_nlmsg_batch_size(state_->batch);
    mnl_nlmsg_batch_reset(state_->batch);
    state_->send(mnl_nlmsg_batch_head(state_->batch), size);
}

}  // namespace tolvane::netfilter
