#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tolvane/netfilter/FlowTable.hpp>
#include <tolvane/netfilter/NetfilterError.hpp>
#include <tolvane/netfilter/NetfilterRuntime.hpp>
#include <tolvane/netfilter/PacketQueue.hpp>
#include <tolvane/netfilter/SocketControl.hpp>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/wire/DNSAnswer.hpp>
#include <tolvane/wire/HTTPRequestHead.hpp>
#include <tolvane/wire/PacketView.hpp>
#include <tolvane/wire/QUICInitial.hpp>
#include <tolvane/wire/TLSClientHello.hpp>
#include <vector>

namespace tolvane::netfilter {

using platform::Public;
using Mark = MarkLayout::State;
using Stage = FlowTable::Stage;

namespace {

// Flows reading their first bytes at once, and QUIC flows reading their Initials: each holds
// a 4 KiB buffer (or a reader of about 5 KiB) until it is decided. More than this at once is
// refused: an overloaded filter fails closed.
constexpr std::size_t kReadingBuffers = 1024;
constexpr std::size_t kQUICReaders = 128;
// A flow still reading its first bytes after this long is forgotten; one held this long
// without a packet too. Allowed flows are forgotten when the kernel ends them.
constexpr std::int64_t kReadingIdleMs = 30'000;
constexpr std::int64_t kHeldIdleMs = 120'000;
// Datagrams read for one QUIC ClientHello before giving up (clients send it in one to three).
// Until the name is read they are held in the queue, so that a blocked name's Initials never
// reach its server; held longer than a second, the flow is refused.
constexpr std::uint16_t kMaximumInitialDatagrams = 8;
constexpr std::int64_t kHeldDatagramMs = 1000;
// How often the runtime looks at the adopted directive: growth reaches live flows within it.
constexpr std::int64_t kTickMs = 100;

std::int64_t steadyMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string_view modeName(RuleMode mode) {
    return mode == RuleMode::enforcing ? "enforcing" : "dnsOnly";
}

// A Host that is an address literal names no site.
bool isIPv4Literal(std::string_view host) {
    if (host.empty()) return false;
    for (char c : host) {
        if (c != '.' && (c < '0' || c > '9')) return false;
    }
    return true;
}

// The sequence number of a segment's first payload byte: a SYN takes one number itself.
std::uint32_t payloadSequence(const wire::TCPSegmentView& segment) {
    return segment.sequenceNumber() + (segment.has(wire::TCPSegmentView::syn) ? 1u : 0u);
}

platform::EndpointHost endpointHost(std::span<const std::uint8_t> address) {
    if (address.size() == 4) {
        platform::IPv4Address v4;
        std::copy(address.begin(), address.end(), v4.bytes.begin());
        return platform::EndpointHost::ipv4(v4);
    }
    platform::IPv6Address v6;
    std::copy(address.begin(), address.end(), v6.bytes.begin());
    return platform::EndpointHost::ipv6(std::move(v6));
}

}  // namespace

struct NetfilterRuntime::State {
    State(std::shared_ptr<platform::FilterDataProviderBase> provider, ProviderHooks hooks,
          Options options)
        : provider(std::move(provider)),
          hooks(std::move(hooks)),
          options(options),
          rules(options.layout, options.queues),
          table(options.maximumFlows),
          buffers(kReadingBuffers),
          quic(kQUICReaders),
          heldDatagrams(kQUICReaders),
          heldCount(kQUICReaders, 0),
          log("com.tolvane.filter", "netfilter") {
        for (std::size_t i = kReadingBuffers; i-- > 0;) freeBuffers.push_back(static_cast<int>(i));
        for (std::size_t i = kQUICReaders; i-- > 0;) freeQUIC.push_back(static_cast<int>(i));
        flow.remoteHostname.emplace();
        flow.remoteHostname->reserve(FlowTable::maximumNameBytes + 1);
    }

    // Packet thread.
    void handleFlowPacket(const QueuedPacket& packet);
    void handleTCP(const QueuedPacket& packet, const FlowTuple& tuple,
                   const wire::TCPSegmentView& segment);
    void readTCP(const QueuedPacket& packet, FlowTable::Record& record,
                 const wire::TCPSegmentView& segment);
    void countHeld(const QueuedPacket& packet, FlowTable::Record& record,
                   const wire::TCPSegmentView& segment);
    void handleUDP(const QueuedPacket& packet, const FlowTuple& tuple,
                   const wire::UDPDatagramView& datagram);
    void handleDNSPacket(const QueuedPacket& packet);
    void report(const QueuedPacket& packet, FlowTable::Record& record,
                std::span<const std::uint8_t> firstBytes);
    void apply(const QueuedPacket& packet, FlowTable::Record& record,
               const platform::DataVerdict& verdict);
    void allow(const QueuedPacket& packet, FlowTable::Record& record);
    void cut(const QueuedPacket& packet, FlowTable::Record& record);
    void refuse(const QueuedPacket& packet, FlowTable::Record* record);
    void mark(const QueuedPacket& packet, MarkLayout::State state) {
        flowQueue->verdict(packet.id, PacketQueue::Verdict::accept,
                           options.layout.decided(packet.mark, state));
    }
    void forget(FlowTable::Record& record) {
        releaseResources(record);
        table.erase(record);
    }
    // Gives back the record's buffer or QUIC reader; datagrams it held get `held` as verdict.
    void releaseResources(FlowTable::Record& record, Mark held = Mark::reject);
    const platform::FilterSocketFlow& flowOf(const FlowTable::Record& record);
    void tick(std::int64_t now);
    void recheckLiveFlows();
    void expire(std::int64_t now);

    // Rule thread.
    void watchRules();
    void setDesiredMode(RuleMode mode);

    std::shared_ptr<platform::FilterDataProviderBase> provider;
    ProviderHooks hooks;
    Options options;
    NetfilterRules rules;
    std::optional<PacketQueue> flowQueue;
    std::optional<PacketQueue> dnsQueue;
    std::optional<ConnectionEnds> ends;
    FlowTable table;
    std::vector<std::array<std::uint8_t, wire::maximumClientHelloBytes>> buffers;
    std::vector<int> freeBuffers;
    std::vector<wire::QUICInitialReader> quic;
    struct HeldDatagram {
        std::uint32_t id;
        std::uint32_t mark;
    };
    // Per QUIC reader: the datagrams of its flow waiting for the flow's verdict.
    std::vector<std::array<HeldDatagram, kMaximumInitialDatagrams>> heldDatagrams;
    std::vector<std::uint8_t> heldCount;
    std::vector<int> freeQUIC;
    std::array<std::uint8_t, wire::maximumClientHelloBytes> scratch{};
    wire::DNSAnswer answer;
    platform::FilterSocketFlow flow;  // reused for every call into the provider
    std::uint64_t nextIdentifier = 0;
    std::int64_t now = 0;
    std::int64_t lastTick = 0;
    std::int64_t lastExpiry = 0;
    bool enforcing = false;
    std::int64_t generation = 0;
    platform::Logger log;

    int wakeFd = -1;
    std::atomic<bool> stopping{false};

    std::atomic<std::uint64_t> packetsQueued{0}, dnsAnswersRead{0}, flowsReported{0}, flowsCut{0},
        flowsRefused{0};

    std::mutex rulesMutex;  // guards desiredMode, installedMode and rulesStopping
    std::condition_variable rulesChanged;
    RuleMode desiredMode = RuleMode::dnsOnly;
    RuleMode installedMode = RuleMode::dnsOnly;
    bool rulesStopping = false;
    bool rulesInstalled = false;  // by this runtime's start
    std::thread rulesThread;
};

NetfilterRuntime::NetfilterRuntime(std::shared_ptr<platform::FilterDataProviderBase> provider,
                                   ProviderHooks hooks, Options options)
    : state_(std::make_unique<State>(std::move(provider), std::move(hooks), options)) {
    state_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state_->wakeFd < 0) throw NetfilterError("cannot make an event descriptor");
}

NetfilterRuntime::~NetfilterRuntime() {
    {
        std::scoped_lock guard(state_->rulesMutex);
        state_->rulesStopping = true;
    }
    state_->rulesChanged.notify_all();
    if (state_->rulesThread.joinable()) state_->rulesThread.join();
    if (state_->wakeFd >= 0) close(state_->wakeFd);
}

void NetfilterRuntime::start() {
    State& s = *state_;
    std::optional<platform::Error> startError;
    bool completed = false;
    s.provider->startFilter([&](std::optional<platform::Error> error) {
        startError = std::move(error);
        completed = true;
    });
    if (!completed) throw std::runtime_error("the filter did not complete its start");
    if (startError)
        throw std::runtime_error("the filter did not start: " + startError->description());

    s.flowQueue.emplace(PacketQueue::open(s.options.queues.flows));
    s.dnsQueue.emplace(PacketQueue::open(s.options.queues.dns));
    try {
        s.ends.emplace(ConnectionEnds::open());
    } catch (const NetfilterError& error) {
        // Allowed flows are then forgotten only when the table needs their room.
        s.log.error("connection ends are not reported: %{public}s",
                    Public(std::string(error.what())));
    }

    s.enforcing = s.hooks.isEnforcing();
    s.generation = s.hooks.enforcedGeneration();
    const RuleMode mode = s.enforcing ? RuleMode::enforcing : RuleMode::dnsOnly;
    s.rules.install(mode);
    s.rulesInstalled = true;
    s.desiredMode = s.installedMode = mode;
    s.log.notice("netfilter rules: %{public}s", Public(modeName(mode)));
    if (s.enforcing) {
        // Flows an earlier run allowed are judged again at their next packet.
        const std::size_t forgotten = forgetFilterConnections(s.options.layout);
        s.log.notice("picked up %zu connections of an earlier run", Public(forgotten));
    }
    s.rulesThread = std::thread([&s] { s.watchRules(); });
    s.now = s.lastTick = s.lastExpiry = steadyMilliseconds();
    s.log.notice("netfilter queues bound (flows %u, dns %u)",
                 Public(static_cast<unsigned>(s.options.queues.flows)),
                 Public(static_cast<unsigned>(s.options.queues.dns)));
}

void NetfilterRuntime::run() {
    State& s = *state_;
    const auto onFlow = [&s](const QueuedPacket& packet) { s.handleFlowPacket(packet); };
    const auto onDNS = [&s](const QueuedPacket& packet) { s.handleDNSPacket(packet); };
    const auto onEnd = [&s](const FlowTuple& tuple) {
        if (auto* record = s.table.find(tuple)) s.forget(*record);
    };
    while (!s.stopping.load()) {
        pollfd fds[4] = {{s.dnsQueue->descriptor(), POLLIN, 0},
                         {s.flowQueue->descriptor(), POLLIN, 0},
                         {s.wakeFd, POLLIN, 0},
                         {s.ends ? s.ends->descriptor() : -1, POLLIN, 0}};
        const int ready = poll(fds, 4, static_cast<int>(kTickMs));
        if (ready < 0 && errno != EINTR) throw NetfilterError("poll failed");
        s.now = steadyMilliseconds();
        // Answers first: a flow that follows an answer is judged with what it taught.
        if (fds[0].revents) {
            s.dnsQueue->receive(onDNS);
            s.dnsQueue->flush();
        }
        if (fds[1].revents) {
            s.flowQueue->receive(onFlow);
            s.flowQueue->flush();
        }
        if (fds[3].revents) s.ends->receive(onEnd);
        if (s.now - s.lastTick >= kTickMs) s.tick(s.now);
    }
}

void NetfilterRuntime::requestStop() {
    state_->stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(state_->wakeFd, &one, sizeof one);
}

void NetfilterRuntime::stop() {
    State& s = *state_;
    {
        std::scoped_lock guard(s.rulesMutex);
        s.rulesStopping = true;
    }
    s.rulesChanged.notify_all();
    if (s.rulesThread.joinable()) s.rulesThread.join();
    // Held flows leave inspection, so the provider's counts end balanced.
    // Datagrams still held are refused on the way out.
    try {
        s.table.eraseIf([&s](FlowTable::Record& record) {
            if (record.stage == Stage::held) {
                s.provider->handleOutboundDataComplete(s.flowOf(record));
            }
            s.releaseResources(record);
            return true;
        });
        if (s.flowQueue) s.flowQueue->flush();
    } catch (const NetfilterError& error) {
        s.log.error("verdicts lost at stop: %{public}s", Public(std::string(error.what())));
    }
    if (!s.rulesInstalled) {
        // A start that failed early (the queues taken by another filter, say) leaves the rules
        // to whoever installed them.
    } else if (s.hooks.isEnforcing()) {
        // Closed until a restart: new flows are refused while nobody decides them.
        s.log.notice("netfilter rules kept: enforcing");
    } else {
        try {
            s.rules.remove();
            s.log.notice("netfilter rules removed");
        } catch (const NetfilterError& error) {
            s.log.error("netfilter rules not removed: %{public}s",
                        Public(std::string(error.what())));
        }
    }
    s.flowQueue.reset();
    s.dnsQueue.reset();
    s.ends.reset();
    s.provider->stopFilter(platform::FilterStopReason::userInitiated, [] {});
}

RuntimeCounters NetfilterRuntime::counters() const {
    const State& s = *state_;
    return {s.packetsQueued.load(), s.dnsAnswersRead.load(), s.flowsReported.load(),
            s.flowsCut.load(), s.flowsRefused.load()};
}

// ---- packets -------------------------------------------------------------------------

void NetfilterRuntime::State::handleFlowPacket(const QueuedPacket& packet) {
    packetsQueued.fetch_add(1, std::memory_order_relaxed);
    const auto view = wire::PacketView::make(packet.bytes);
    const Mark state = options.layout.state(packet.mark);
    const Mark kept = state == Mark::none ? Mark::pending : state;
    if (!view || !view->hasTransportHeader()) {
        mark(packet, kept);  // nothing to read: seen, as it was
        return;
    }
    FlowTuple tuple;
    tuple.ipVersion = static_cast<std::uint8_t>(view->ipVersion());
    tuple.protocol = view->protocol();
    std::copy(view->sourceAddress().begin(), view->sourceAddress().end(), tuple.source.begin());
    std::copy(view->destinationAddress().begin(), view->destinationAddress().end(),
              tuple.destination.begin());
    if (const auto segment = view->tcp()) {
        tuple.sourcePort = segment->sourcePort();
        tuple.destinationPort = segment->destinationPort();
        handleTCP(packet, tuple, *segment);
    } else if (const auto datagram = view->udp()) {
        tuple.sourcePort = datagram->sourcePort();
        tuple.destinationPort = datagram->destinationPort();
        handleUDP(packet, tuple, *datagram);
    } else {
        mark(packet, kept);
    }
}

void NetfilterRuntime::State::handleTCP(const QueuedPacket& packet, const FlowTuple& tuple,
                                        const wire::TCPSegmentView& segment) {
    FlowTable::Record* record = table.find(tuple);
    if (!record) {
        if (segment.payload().empty() && segment.has(wire::TCPSegmentView::fin)) {
            mark(packet, Mark::pending);  // an undecided flow closing without a byte
            return;
        }
        record = table.insert(tuple, now);
        if (!record) return refuse(packet, nullptr);
        // The handshake's ACK, the first bytes riding on it, or a SYN with data: where the
        // flow's first byte is.
        record->firstSequence = payloadSequence(segment);
    }
    record->lastActive = now;
    switch (record->stage) {
        case Stage::reading:
            return readTCP(packet, *record, segment);
        case Stage::held:
            return countHeld(packet, *record, segment);
        case Stage::allowed:
            // The kernel lost the flow's mark (its entry was deleted): judge it again.
            if (hooks.shouldCutLiveFlow(flowOf(*record))) return cut(packet, *record);
            return mark(packet, Mark::allow);
    }
}

void NetfilterRuntime::State::readTCP(const QueuedPacket& packet, FlowTable::Record& record,
                                      const wire::TCPSegmentView& segment) {
    const auto payload = segment.payload();
    const bool finished = segment.has(wire::TCPSegmentView::fin);
    if (!payload.empty()) {
        if (record.buffer < 0) {
            if (freeBuffers.empty()) return refuse(packet, &record);
            record.buffer = freeBuffers.back();
            freeBuffers.pop_back();
        }
        // Where the segment starts, counted from the first byte; a retransmission may start
        // before what we hold, never before the flow's first byte.
        const auto offset =
            static_cast<std::int32_t>(payloadSequence(segment) - record.firstSequence);
        if (offset > static_cast<std::int32_t>(record.contiguous)) {
            // A gap: hold the segment back; it comes again once the bytes before it are in.
            flowQueue->verdict(packet.id, PacketQueue::Verdict::drop, std::nullopt);
            return;
        }
        const std::size_t from =
            offset < 0 ? static_cast<std::size_t>(-static_cast<std::int64_t>(offset)) : 0;
        const std::size_t at = offset < 0 ? 0 : static_cast<std::size_t>(offset);
        if (from < payload.size() && at < wire::maximumClientHelloBytes) {
            const std::size_t count =
                std::min(payload.size() - from, wire::maximumClientHelloBytes - at);
            std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(from), count,
                        buffers[static_cast<std::size_t>(record.buffer)].begin() +
                            static_cast<std::ptrdiff_t>(at));
            record.contiguous =
                std::max<std::uint32_t>(record.contiguous, static_cast<std::uint32_t>(at + count));
        }
    }
    if (record.contiguous == 0) {
        if (finished) forget(record);        // closed without a byte
        return mark(packet, Mark::pending);  // otherwise the handshake's ACK
    }
    const std::span<const std::uint8_t> first(
        buffers[static_cast<std::size_t>(record.buffer)].data(), record.contiguous);
    // Complete enough to judge: a whole ClientHello or request head, 4096 bytes, or the end.
    const bool mustJudge = finished || record.contiguous >= wire::maximumClientHelloBytes;
    const auto hello = wire::readClientHello(first, scratch);
    if (hello.status == wire::ClientHelloStatus::clientHello) {
        record.setName(hello.hello.serverName.value_or(std::string_view()));
        record.offersEncryptedClientHello = hello.hello.offersEncryptedClientHello;
        return report(packet, record, first);
    }
    if (hello.status == wire::ClientHelloStatus::notTLS) {
        const auto head = wire::readHTTPRequestHead(first);
        if (head.status == wire::HTTPRequestHeadStatus::needsMoreBytes && !mustJudge) {
            return mark(packet, Mark::pending);
        }
        if (head.status == wire::HTTPRequestHeadStatus::host && !head.hostIsIPv6Literal &&
            !isIPv4Literal(head.host)) {
            record.setName(head.host);
        }
        return report(packet, record, first);
    }
    if (!mustJudge) return mark(packet, Mark::pending);
    report(packet, record, first);
}

const platform::FilterSocketFlow& NetfilterRuntime::State::flowOf(const FlowTable::Record& record) {
    flow.identifier = record.identifier;
    flow.remoteHostname->assign(record.nameView());  // empty: no name
    flow.offersEncryptedClientHello = record.offersEncryptedClientHello;
    flow.remoteFlowEndpoint = platform::Endpoint::hostPort(
        endpointHost(record.tuple.destinationAddress()), record.tuple.destinationPort);
    return flow;
}

void NetfilterRuntime::State::report(const QueuedPacket& packet, FlowTable::Record& record,
                                     std::span<const std::uint8_t> firstBytes) {
    record.identifier = ++nextIdentifier;
    flowsReported.fetch_add(1, std::memory_order_relaxed);
    const platform::NewFlowVerdict verdict = provider->handleNewFlow(flowOf(record));
    switch (verdict.kind()) {
        case platform::NewFlowVerdict::Kind::allow:
            return allow(packet, record);
        case platform::NewFlowVerdict::Kind::drop:
            return cut(packet, record);
        case platform::NewFlowVerdict::Kind::filterData:
            break;
    }
    if (record.tuple.protocol == wire::ipProtocolUDP) return refuse(packet, &record);
    // Held: what was read so far is the first data the provider sees.
    record.stage = Stage::held;
    record.bytesSeen = firstBytes.size();
    const platform::DataVerdict data =
        provider->handleOutboundData(flowOf(record), 0, std::as_bytes(firstBytes));
    releaseResources(record);
    apply(packet, record, data);
}

void NetfilterRuntime::State::countHeld(const QueuedPacket& packet, FlowTable::Record& record,
                                        const wire::TCPSegmentView& segment) {
    const auto payload = segment.payload();
    const auto offset = static_cast<std::int32_t>(payloadSequence(segment) - record.firstSequence);
    const std::uint64_t end = offset < 0 ? 0 : static_cast<std::uint64_t>(offset) + payload.size();
    if (end > record.bytesSeen) {
        const std::size_t fresh = static_cast<std::size_t>(
            std::min<std::uint64_t>(end - record.bytesSeen, payload.size()));
        const auto bytes = std::as_bytes(payload.subspan(payload.size() - fresh));
        const auto data = provider->handleOutboundData(flowOf(record), record.bytesSeen, bytes);
        record.bytesSeen = end;
        return apply(packet, record, data);
    }
    if (segment.has(wire::TCPSegmentView::fin)) {
        return apply(packet, record, provider->handleOutboundDataComplete(flowOf(record)));
    }
    mark(packet, Mark::held);  // an acknowledgement or a retransmission
}

void NetfilterRuntime::State::apply(const QueuedPacket& packet, FlowTable::Record& record,
                                    const platform::DataVerdict& verdict) {
    switch (verdict.kind()) {
        case platform::DataVerdict::Kind::allow:
            return allow(packet, record);
        case platform::DataVerdict::Kind::drop:
            return cut(packet, record);
        case platform::DataVerdict::Kind::data:
            return mark(packet, Mark::held);
    }
}

void NetfilterRuntime::State::allow(const QueuedPacket& packet, FlowTable::Record& record) {
    releaseResources(record, Mark::allow);
    record.stage = Stage::allowed;
    mark(packet, Mark::allow);
}

void NetfilterRuntime::State::cut(const QueuedPacket& packet, FlowTable::Record& record) {
    flowsCut.fetch_add(1, std::memory_order_relaxed);
    // Both ends at once: the local socket is aborted and the kernel resets the server. The
    // packet itself is refused, which also resets a client whose socket we could not reach.
    if (record.tuple.protocol == wire::ipProtocolTCP) destroySocket(record.tuple);
    mark(packet, Mark::reject);
    forget(record);
}

void NetfilterRuntime::State::refuse(const QueuedPacket& packet, FlowTable::Record* record) {
    flowsRefused.fetch_add(1, std::memory_order_relaxed);
    mark(packet, Mark::reject);
    if (record) forget(*record);
}

void NetfilterRuntime::State::releaseResources(FlowTable::Record& record, Mark held) {
    if (record.buffer < 0) return;
    if (record.tuple.protocol == wire::ipProtocolUDP) {
        const auto slot = static_cast<std::size_t>(record.buffer);
        for (std::size_t i = 0; i < heldCount[slot]; ++i) {
            const HeldDatagram& datagram = heldDatagrams[slot][i];
            flowQueue->verdict(datagram.id, PacketQueue::Verdict::accept,
                               options.layout.decided(datagram.mark, held));
        }
        heldCount[slot] = 0;
        freeQUIC.push_back(record.buffer);
    } else {
        freeBuffers.push_back(record.buffer);
    }
    record.buffer = -1;
}

void NetfilterRuntime::State::handleUDP(const QueuedPacket& packet, const FlowTuple& tuple,
                                        const wire::UDPDatagramView& datagram) {
    FlowTable::Record* record = table.find(tuple);
    if (!record) {
        record = table.insert(tuple, now);
        if (!record) return refuse(packet, nullptr);
        if (freeQUIC.empty()) return refuse(packet, record);
        record->buffer = freeQUIC.back();
        freeQUIC.pop_back();
        quic[static_cast<std::size_t>(record->buffer)].reset();
    }
    record->lastActive = now;
    if (record->stage != Stage::reading) {
        if (hooks.shouldCutLiveFlow(flowOf(*record))) return refuse(packet, record);
        return mark(packet, Mark::allow);
    }
    ++record->datagrams;
    const auto reading = quic[static_cast<std::size_t>(record->buffer)].read(datagram.payload());
    switch (reading.status) {
        case wire::QUICInitialStatus::clientHello:
            if (!reading.hello.serverName) return refuse(packet, record);
            record->setName(*reading.hello.serverName);
            record->offersEncryptedClientHello = reading.hello.offersEncryptedClientHello;
            return report(packet, *record, {});
        case wire::QUICInitialStatus::needsMorePackets:
            if (record->datagrams < kMaximumInitialDatagrams) {
                const auto slot = static_cast<std::size_t>(record->buffer);
                heldDatagrams[slot][heldCount[slot]++] = {packet.id, packet.mark};
                return;  // its verdict comes with the flow's
            }
            return refuse(packet, record);
        case wire::QUICInitialStatus::notReadableInitial:
        case wire::QUICInitialStatus::notClientHello:
            // Its bytes cannot be inspected: a browser falls back to TCP, where names show.
            return refuse(packet, record);
    }
}

void NetfilterRuntime::State::handleDNSPacket(const QueuedPacket& packet) {
    dnsQueue->verdict(packet.id, PacketQueue::Verdict::accept, std::nullopt);
    const auto view = wire::PacketView::make(packet.bytes);
    if (!view) return;
    bool read = false;
    if (const auto datagram = view->udp()) {
        read = wire::readDNSAnswer(datagram->payload(), answer);
    } else if (const auto segment = view->tcp()) {
        read = wire::readDNSAnswerOverTCP(segment->payload(), answer);
    }
    if (!read) return;
    const std::string_view question = answer.questionName();
    if (question.empty() || answer.addresses().empty()) return;
    dnsAnswersRead.fetch_add(1, std::memory_order_relaxed);
    // Letter case is the engine's to fold: the associations and the matcher both do.
    for (const wire::DNSAddress& address : answer.addresses()) {
        hooks.recordResolution(question, endpointHost(address.octets()));
    }
}

// ---- the directive, live flows and time -----------------------------------------------

void NetfilterRuntime::State::tick(std::int64_t at) {
    lastTick = at;
    if (options.heartbeat) options.heartbeat();
    const bool nowEnforcing = hooks.isEnforcing();
    if (nowEnforcing != enforcing) {
        enforcing = nowEnforcing;
        setDesiredMode(enforcing ? RuleMode::enforcing : RuleMode::dnsOnly);
    }
    const std::int64_t nowGeneration = hooks.enforcedGeneration();
    if (nowGeneration != generation) {
        generation = nowGeneration;
        recheckLiveFlows();
    }
    if (at - lastExpiry >= 1000) {
        lastExpiry = at;
        expire(at);
        flowQueue->flush();  // verdicts of datagrams held too long
    }
}

void NetfilterRuntime::State::recheckLiveFlows() {
    std::size_t count = 0;
    table.eraseIf([&](FlowTable::Record& record) {
        if (record.stage != Stage::allowed || !hooks.shouldCutLiveFlow(flowOf(record))) {
            return false;
        }
        ++count;
        flowsCut.fetch_add(1, std::memory_order_relaxed);
        if (record.tuple.protocol == wire::ipProtocolTCP && destroySocket(record.tuple)) {
            return true;
        }
        // No socket here to abort (or a datagram flow): the kernel forgets the flow, its next
        // packet comes back to us, and the record, still allowed, has it judged again.
        forgetConnection(record.tuple);
        return false;
    });
    if (count > 0) {
        log.notice("cut %zu live flows the adopted directive blocks", Public(count));
    }
}

void NetfilterRuntime::State::expire(std::int64_t at) {
    table.eraseIf([&](FlowTable::Record& record) {
        const std::int64_t idle = at - record.lastActive;
        const bool holdsDatagrams = record.tuple.protocol == wire::ipProtocolUDP &&
                                    record.buffer >= 0 &&
                                    heldCount[static_cast<std::size_t>(record.buffer)] > 0;
        if (record.stage == Stage::reading &&
            (idle > kReadingIdleMs || (holdsDatagrams && idle > kHeldDatagramMs))) {
            flowsRefused.fetch_add(holdsDatagrams ? 1 : 0, std::memory_order_relaxed);
            releaseResources(record);
            return true;
        }
        if (record.stage == Stage::held && idle > kHeldIdleMs) {
            provider->handleOutboundDataComplete(flowOf(record));
            return true;
        }
        return false;
    });
}

// ---- rules ----------------------------------------------------------------------------

void NetfilterRuntime::State::setDesiredMode(RuleMode mode) {
    {
        std::scoped_lock guard(rulesMutex);
        desiredMode = mode;
    }
    rulesChanged.notify_all();
}

void NetfilterRuntime::State::watchRules() {
    std::unique_lock guard(rulesMutex);
    while (true) {
        rulesChanged.wait_for(guard, options.ruleCheckInterval,
                              [&] { return rulesStopping || desiredMode != installedMode; });
        if (rulesStopping) return;
        const RuleMode mode = desiredMode;
        const bool switching = mode != installedMode;
        guard.unlock();
        try {
            if (switching) {
                rules.install(mode);
                log.notice("netfilter rules: %{public}s", Public(modeName(mode)));
            } else if (!rules.isInstalled(mode)) {
                // Someone removed rules: flows went unfiltered (or undecided ones were
                // refused) until now.
                log.error("enforcement degraded: %{public}s",
                          Public(std::string_view("failedOpen")));
                log.error("netfilter rules of mode %{public}s were missing; restoring them",
                          Public(modeName(mode)));
                rules.install(mode);
                log.notice("netfilter rules: %{public}s", Public(modeName(mode)));
            }
        } catch (const NetfilterError& error) {
            log.error("netfilter rules not installed: %{public}s",
                      Public(std::string(error.what())));
            guard.lock();
            continue;  // installedMode unchanged: tried again at the next check
        }
        guard.lock();
        installedMode = mode;
    }
}

}  // namespace tolvane::netfilter
