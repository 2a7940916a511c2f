// Tests against the kernel: rules, queues, sockets and connection entries, each test in two
// network namespaces of its own ("client", where the rules are, and "server") joined by a
// veth pair. Traffic between them leaves through the veth, never through loopback, which the
// rules leave alone. Needs root and `ip netns`; skipped without them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <tolvane/netfilter/NetfilterError.hpp>
#include <tolvane/netfilter/NetfilterRules.hpp>
#include <tolvane/netfilter/PacketQueue.hpp>
#include <tolvane/netfilter/SocketControl.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane::netfilter {
namespace {

using State = MarkLayout::State;
using tolvane::testing::runProcess;

constexpr const char* ipTool = "/usr/sbin/ip";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// Moves this thread into a namespace for its lifetime; sockets made meanwhile stay there.
class Inside {
public:
    explicit Inside(const std::string& name)
        : previous_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
        const std::string path = "/run/netns/" + name;
        Fd target(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat wanted {};
        struct stat now {};
        entered_ = previous_.get() >= 0 && target.get() >= 0 &&
                   setns(target.get(), CLONE_NEWNET) == 0 && stat(path.c_str(), &wanted) == 0 &&
                   stat("/proc/thread-self/ns/net", &now) == 0 && wanted.st_ino == now.st_ino;
    }
    ~Inside() {
        if (previous_.get() >= 0) setns(previous_.get(), CLONE_NEWNET);
    }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    bool entered() const { return entered_; }

private:
    Fd previous_;
    bool entered_ = false;
};

struct Family {
    int ipVersion;
    int domain;
    const char* client;
    const char* server;
};
constexpr Family v4{4, AF_INET, "10.201.0.1", "10.201.0.2"};
constexpr Family v6{6, AF_INET6, "fd00:201::1", "fd00:201::2"};

sockaddr_storage address(const Family& family, const char* text, std::uint16_t port,
                         socklen_t& length) {
    sockaddr_storage storage{};
    if (family.domain == AF_INET) {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        inet_pton(AF_INET, text, &in.sin_addr);
        length = sizeof in;
    } else {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        inet_pton(AF_INET6, text, &in6.sin6_addr);
        length = sizeof in6;
    }
    return storage;
}

void setTimeouts(int fd) {
    const timeval patience{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 3000) == 1;
}

FlowTuple tupleOf(const Family& family, std::uint8_t protocol, std::uint16_t sourcePort,
                  std::uint16_t destinationPort) {
    FlowTuple tuple;
    tuple.ipVersion = static_cast<std::uint8_t>(family.ipVersion);
    tuple.protocol = protocol;
    inet_pton(family.domain, family.client, tuple.source.data());
    inet_pton(family.domain, family.server, tuple.destination.data());
    tuple.sourcePort = sourcePort;
    tuple.destinationPort = destinationPort;
    return tuple;
}

std::uint16_t localPort(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);  // same place in v6
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class Netfilter : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces and iptables";
        static int made = 0;
        const std::string base = "tlvnf" + std::to_string(getpid()) + "-" + std::to_string(made++);
        client_ = base + "c";
        server_ = base + "s";
        const auto added = runProcess({ipTool, "netns", "add", client_});
        if (added.exitCode != 0) {
            client_.clear();
            GTEST_SKIP() << "ip netns add failed: " << added.standardError;
        }
        ASSERT_EQ(runProcess({ipTool, "netns", "add", server_}).exitCode, 0);
        const std::vector<std::vector<std::string>> commands = {
            {"-n", client_, "link", "add", "v0", "address", "02:00:00:00:02:01", "type", "veth",
             "peer", "name", "v1", "address", "02:00:00:00:02:02", "netns", server_},
            {"-n", client_, "addr", "add", "10.201.0.1/24", "dev", "v0"},
            {"-n", client_, "addr", "add", "fd00:201::1/64", "dev", "v0", "nodad"},
            {"-n", server_, "addr", "add", "10.201.0.2/24", "dev", "v1"},
            {"-n", server_, "addr", "add", "fd00:201::2/64", "dev", "v1", "nodad"},
            {"-n", client_, "link", "set", "lo", "up"},
            {"-n", client_, "link", "set", "v0", "up"},
            {"-n", server_, "link", "set", "lo", "up"},
            {"-n", server_, "link", "set", "v1", "up"},
            // The first neighbour solicitation on a fresh veth goes unanswered for a second.
            {"-n", client_, "neigh", "replace", "fd00:201::2", "lladdr", "02:00:00:00:02:02", "dev",
             "v0", "nud", "permanent"},
            {"-n", server_, "neigh", "replace", "fd00:201::1", "lladdr", "02:00:00:00:02:01", "dev",
             "v1", "nud", "permanent"},
        };
        for (auto argv : commands) {
            argv.insert(argv.begin(), ipTool);
            const auto result = runProcess(argv);
            ASSERT_EQ(result.exitCode, 0) << argv[4] << ": " << result.standardError;
        }
    }

    void TearDown() override {
        for (const auto& name : {client_, server_}) {
            if (!name.empty()) runProcess({ipTool, "netns", "del", name});
        }
    }

    // A tool run in the client namespace.
    std::string inClient(std::vector<std::string> argv, const std::string& input = {}) {
        argv.insert(argv.begin(), {ipTool, "netns", "exec", client_});
        const auto result = runProcess(argv, input);
        EXPECT_EQ(result.exitCode, 0) << argv[4] << ": " << result.standardError;
        return result.standardOutput;
    }

    Fd socketIn(const std::string& ns, const Family& family, int type) {
        Inside inside(ns);
        if (!inside.entered()) return Fd();
        Fd fd(socket(family.domain, type | SOCK_CLOEXEC, 0));
        setTimeouts(fd.get());
        return fd;
    }

    // A socket in the server namespace bound to the server's address.
    Fd serverSocket(const Family& family, int type, std::uint16_t port) {
        Fd fd = socketIn(server_, family, type);
        socklen_t length;
        const auto at = address(family, family.server, port, length);
        const int on = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        EXPECT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&at), length), 0)
            << strerror(errno);
        if (type == SOCK_STREAM) listen(fd.get(), 8);
        return fd;
    }

    // A client socket connected to the server's `port` (a failure left in errno).
    Fd clientSocket(const Family& family, int type, std::uint16_t port, int& connected,
                    std::uint32_t mark = 0) {
        Fd fd = socketIn(client_, family, type);
        if (mark != 0) setsockopt(fd.get(), SOL_SOCKET, SO_MARK, &mark, sizeof mark);
        socklen_t length;
        const auto at = address(family, family.server, port, length);
        connected = connect(fd.get(), reinterpret_cast<const sockaddr*>(&at), length);
        return fd;
    }

    std::string client_, server_;
    MarkLayout layout_ = *MarkLayout::make(MarkLayout::defaultMask);
    NetfilterRules rules_{layout_, {}};
};

std::string received(int fd) {
    char buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n < 0 ? "error: " + std::string(strerror(errno)) : std::string(buffer, n);
}

TEST_F(Netfilter, InstallIsIdempotentAndModesAreToldApart) {
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    rules_.install(RuleMode::enforcing);
    rules_.install(RuleMode::enforcing);
    EXPECT_TRUE(rules_.isInstalled(RuleMode::enforcing));
    EXPECT_FALSE(rules_.isInstalled(RuleMode::dnsOnly));
    const struct {
        RuleMode mode;
        const char* save;
        int ipVersion;
    } cases[] = {
        {RuleMode::enforcing, "iptables-save", 4},
        {RuleMode::enforcing, "ip6tables-save", 6},
        {RuleMode::dnsOnly, "iptables-save", 4},
        {RuleMode::dnsOnly, "ip6tables-save", 6},
    };
    for (const auto& c : cases) {
        rules_.install(c.mode);
        EXPECT_TRUE(rules_.isInstalled(c.mode));
        const std::string saved = inClient({c.save});
        const std::string script = rules_.restoreScript(c.ipVersion, c.mode);
        for (const char* jump : {"-A OUTPUT -j TOLVANE-OUT\n", "-A INPUT -j TOLVANE-DNS\n",
                                 "-A OUTPUT -j TOLVANE-GATE\n"}) {
            EXPECT_EQ(count(saved, jump), 1u) << c.save << " " << jump;
        }
        for (const char* chain : {"-A TOLVANE-OUT ", "-A TOLVANE-DNS ", "-A TOLVANE-GATE "}) {
            EXPECT_EQ(count(saved, chain), count(script, chain)) << c.save << " " << chain;
        }
    }
    rules_.install(RuleMode::enforcing);
    EXPECT_FALSE(rules_.isInstalled(RuleMode::dnsOnly));
    // A rule of ours changed behind our back, or a jump gone, is noticed.
    inClient({"ip6tables", "-w", "-t", "filter", "-D", "TOLVANE-GATE", "3"});
    EXPECT_FALSE(rules_.isInstalled(RuleMode::enforcing));
    rules_.install(RuleMode::enforcing);
    EXPECT_TRUE(rules_.isInstalled(RuleMode::enforcing));
    inClient({"iptables", "-w", "-t", "mangle", "-D", "INPUT", "-j", "TOLVANE-DNS"});
    EXPECT_FALSE(rules_.isInstalled(RuleMode::enforcing));
}

TEST_F(Netfilter, RemoveTakesAwayOnlyOurs) {
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    const std::string others =
        "*mangle\n:OTHER - [0:0]\n-A OTHER -j MARK --set-xmark 0x1/0x1\n-A OUTPUT -j OTHER\n"
        "COMMIT\n*filter\n-A OUTPUT -p udp -m udp --dport 9 -j DROP\nCOMMIT\n";
    inClient({"iptables-restore", "-w", "--noflush"}, others);
    inClient({"ip6tables-restore", "-w", "--noflush"}, others);
    // Rules and chains as iptables-save lists them, without its comments and counters.
    auto saved = [&] {
        std::string all;
        for (const char* save : {"iptables-save", "ip6tables-save"}) {
            std::istringstream lines(inClient({save}));
            for (std::string line; std::getline(lines, line);) {
                if (line.empty() || line[0] == '#') continue;
                if (line[0] == ':') line = line.substr(0, line.find(" ["));
                all += line + "\n";
            }
        }
        return all;
    };
    const std::string before = saved();
    rules_.install(RuleMode::enforcing);
    // A second jump of ours, as a careless hand might add it.
    inClient({"iptables", "-w", "-t", "mangle", "-A", "OUTPUT", "-j", "TOLVANE-OUT"});
    const std::string installed = saved();
    EXPECT_NE(installed.find("-A OTHER -j MARK --set-xmark 0x1/0x1\n"), std::string::npos);
    rules_.remove();
    const std::string after = saved();
    EXPECT_EQ(count(after, "TOLVANE"), 0u) << after;
    EXPECT_EQ(after, before);
    EXPECT_FALSE(rules_.isInstalled(RuleMode::dnsOnly));
    EXPECT_NO_THROW(rules_.remove());
}

class NetfilterFamilies : public Netfilter, public ::testing::WithParamInterface<Family> {};

TEST_P(NetfilterFamilies, QueuedDatagramsPassOnlyWithAVerdictThatMarksThem) {
    const Family family = GetParam();
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    rules_.install(RuleMode::enforcing);
    auto queue = PacketQueue::open(rules_.queues().flows);
    EXPECT_THROW(PacketQueue::open(rules_.queues().flows), NetfilterError);  // bound already
    Fd server = serverSocket(family, SOCK_DGRAM, 443);
    std::vector<QueuedPacket> packets;
    std::vector<std::vector<std::uint8_t>> payloads;
    auto next = [&] {
        packets.clear();
        payloads.clear();
        EXPECT_TRUE(readable(queue.descriptor()));
        queue.receive([&](const QueuedPacket& p) {
            packets.push_back(p);
            payloads.emplace_back(p.bytes.begin(), p.bytes.end());
        });
        EXPECT_EQ(packets.size(), 1u);
        return packets.empty() ? QueuedPacket{} : packets.front();
    };
    const std::uint32_t foreign = 0x1;  // a mark bit of someone else's
    int connected;
    Fd first = clientSocket(family, SOCK_DGRAM, 443, connected, foreign);
    ASSERT_EQ(send(first.get(), "first", 5, 0), 5);
    const QueuedPacket packet = next();
    ASSERT_FALSE(payloads.empty());
    EXPECT_EQ(payloads[0][0] >> 4, family.ipVersion);
    EXPECT_EQ(std::string(payloads[0].end() - 5, payloads[0].end()), "first");
    EXPECT_EQ(packet.mark & ~layout_.mask(), foreign);
    EXPECT_EQ(packet.mark & layout_.mask(), layout_.bits(State::pending));
    queue.verdict(packet.id, PacketQueue::Verdict::accept,
                  layout_.decided(packet.mark, State::allow));
    queue.flush();
    EXPECT_EQ(received(server.get()), "first");
    // Decided: the flow's next datagram stays in the kernel.
    ASSERT_EQ(send(first.get(), "again", 5, 0), 5);
    EXPECT_EQ(received(server.get()), "again");
    EXPECT_EQ(queue.receive([](const QueuedPacket&) {}), 0u);

    Fd second = clientSocket(family, SOCK_DGRAM, 443, connected);
    ASSERT_EQ(send(second.get(), "second", 6, 0), 6);
    queue.verdict(next().id, PacketQueue::Verdict::drop, std::nullopt);
    queue.flush();
    Fd third = clientSocket(family, SOCK_DGRAM, 443, connected);
    ASSERT_EQ(send(third.get(), "third", 5, 0), 5);
    const QueuedPacket thirdPacket = next();
    queue.verdict(thirdPacket.id, PacketQueue::Verdict::accept,
                  layout_.decided(thirdPacket.mark, State::allow));
    queue.flush();
    // The dropped datagram went first; had it passed, it would be read here.
    EXPECT_EQ(received(server.get()), "third");

    // Accepted without the filter's mark, as a queue nobody reads would: refused.
    Fd unseen = clientSocket(family, SOCK_DGRAM, 443, connected);
    ASSERT_EQ(send(unseen.get(), "unseen", 6, 0), 6);
    queue.verdict(next().id, PacketQueue::Verdict::accept, std::nullopt);
    queue.flush();
    EXPECT_EQ(received(unseen.get()), "error: " + std::string(strerror(ECONNREFUSED)));
}

TEST_F(Netfilter, DnsAnswersOverLoopbackAreQueued) {
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    rules_.install(RuleMode::dnsOnly);
    auto queue = PacketQueue::open(rules_.queues().dns);
    // A local resolver stub answering on loopback.
    Fd resolver(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    Fd asker(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    setTimeouts(asker.get());
    socklen_t length;
    const auto stub = address(v4, "127.0.0.53", 53, length);
    ASSERT_EQ(bind(resolver.get(), reinterpret_cast<const sockaddr*>(&stub), length), 0);
    ASSERT_EQ(connect(asker.get(), reinterpret_cast<const sockaddr*>(&stub), length), 0);
    ASSERT_EQ(send(asker.get(), "q", 1, 0), 1);
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    char question;
    ASSERT_EQ(
        recvfrom(resolver.get(), &question, 1, 0, reinterpret_cast<sockaddr*>(&from), &fromLength),
        1);
    ASSERT_EQ(sendto(resolver.get(), "a", 1, 0, reinterpret_cast<sockaddr*>(&from), fromLength), 1);
    ASSERT_TRUE(readable(queue.descriptor()));
    EXPECT_EQ(queue.receive([&](const QueuedPacket& p) {
        queue.verdict(p.id, PacketQueue::Verdict::accept, std::nullopt);
    }),
              1u);
    queue.flush();
    EXPECT_EQ(received(asker.get()), "a");
}

TEST_F(Netfilter, VerdictsBeyondOneBatchAllArrive) {
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    rules_.install(RuleMode::enforcing);
    auto queue = PacketQueue::open(rules_.queues().flows);
    Fd server = serverSocket(v4, SOCK_DGRAM, 443);
    const int room = 4 << 20;
    setsockopt(server.get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    int connected;
    Fd client = clientSocket(v4, SOCK_DGRAM, 443, connected);
    setsockopt(client.get(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);  // queued, unsent
    // An undecided flow has every datagram queued; far more verdicts than one batch holds.
    constexpr int datagrams = 600;
    for (int i = 0; i < datagrams; ++i) ASSERT_EQ(send(client.get(), "d", 1, 0), 1);
    ASSERT_TRUE(readable(queue.descriptor()));
    const std::size_t queued = queue.receive([&](const QueuedPacket& p) {
        queue.verdict(p.id, PacketQueue::Verdict::accept, layout_.decided(p.mark, State::allow));
    });
    EXPECT_EQ(queued, static_cast<std::size_t>(datagrams));
    queue.flush();
    int arrived = 0;
    while (arrived < datagrams && received(server.get()) == "d") ++arrived;
    EXPECT_EQ(arrived, datagrams);
}

TEST_P(NetfilterFamilies, ConnectionPassesTheSynAndStaysInTheKernelOnceAllowed) {
    const Family family = GetParam();
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    rules_.install(RuleMode::enforcing);
    auto queue = PacketQueue::open(rules_.queues().flows);
    Fd listener = serverSocket(family, SOCK_STREAM, 80);
    int connected;
    Fd client = clientSocket(family, SOCK_STREAM, 80, connected);
    ASSERT_EQ(connected, 0) << strerror(errno);
    // The handshake's last ACK is the first packet queued.
    ASSERT_TRUE(readable(queue.descriptor()));
    std::size_t queued = queue.receive([&](const QueuedPacket& p) {
        EXPECT_EQ(layout_.state(p.mark), State::pending);
        queue.verdict(p.id, PacketQueue::Verdict::accept, layout_.decided(p.mark, State::allow));
    });
    EXPECT_GE(queued, 1u);
    queue.flush();
    ASSERT_EQ(send(client.get(), "x", 1, MSG_NOSIGNAL), 1);
    Fd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(accepted.get(), 0);
    EXPECT_EQ(received(accepted.get()), "x");
    EXPECT_EQ(queue.receive([](const QueuedPacket&) {}), 0u);
}

TEST_P(NetfilterFamilies, WithoutAQueueReaderNewConnectionsAreRefusedUnlessOnlyDnsIsQueued) {
    const Family family = GetParam();
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    Fd listener = serverSocket(family, SOCK_STREAM, 80);
    rules_.install(RuleMode::enforcing);
    int connected;
    Fd refused = clientSocket(family, SOCK_STREAM, 80, connected);
    // The SYN passes; the handshake's last ACK is the first packet that needed a reader, and
    // its reset may come before connect returns.
    const int failure = connected == 0 ? (received(refused.get()), errno) : errno;
    EXPECT_TRUE(failure == ECONNRESET || failure == ECONNREFUSED) << strerror(failure);
    pollfd waiting{listener.get(), POLLIN, 0};
    EXPECT_EQ(poll(&waiting, 1, 0), 0) << "the server got a connection";

    rules_.install(RuleMode::dnsOnly);
    Fd passed = clientSocket(family, SOCK_STREAM, 80, connected);
    ASSERT_EQ(connected, 0) << strerror(errno);
    ASSERT_EQ(send(passed.get(), "x", 1, MSG_NOSIGNAL), 1);
    Fd accepted(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(accepted.get(), 0);
    EXPECT_EQ(received(accepted.get()), "x");
}

TEST_P(NetfilterFamilies, DestroyedSocketIsAbortedAndItsPeerReset) {
    const Family family = GetParam();
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    Fd listener = serverSocket(family, SOCK_STREAM, 80);
    int connected;
    Fd client = clientSocket(family, SOCK_STREAM, 80, connected);
    ASSERT_EQ(connected, 0) << strerror(errno);
    Fd peer(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(peer.get(), 0);
    const FlowTuple tuple = tupleOf(family, IPPROTO_TCP, localPort(client.get()), 80);
    FlowTuple reversed = tuple;
    std::swap(reversed.source, reversed.destination);
    std::swap(reversed.sourcePort, reversed.destinationPort);
    EXPECT_FALSE(destroySocket(reversed));  // the local side is the source
    EXPECT_TRUE(destroySocket(tuple));
    EXPECT_EQ(received(client.get()), "error: " + std::string(strerror(ECONNABORTED)));
    EXPECT_EQ(received(peer.get()), "error: " + std::string(strerror(ECONNRESET)));
    EXPECT_FALSE(destroySocket(tuple));
}

INSTANTIATE_TEST_SUITE_P(Families, NetfilterFamilies, ::testing::Values(v4, v6),
                         [](const auto& info) {
                             return "IPv" + std::to_string(info.param.ipVersion);
                         });

TEST_F(Netfilter, ForgettingConnectionsTakesOnlyTheFiltersStates) {
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    const struct {
        const char* protocol;
        const Family* family;
        int sourcePort;
        const char* mark;
        bool forgotten;
    } cases[] = {
        {"tcp", &v4, 1001, "0x00080000", true},   // allow
        {"tcp", &v4, 1002, "0x00200000", true},   // pending
        {"tcp", &v4, 1003, "0x00280000", true},   // held
        {"udp", &v4, 1004, "0x00080001", true},   // allow, with a foreign bit
        {"tcp", &v6, 1005, "0x00080000", true},   // allow, IPv6
        {"tcp", &v4, 1006, "0x00100000", false},  // reject
        {"tcp", &v4, 1007, "0x00000000", false},  // none
        {"tcp", &v4, 1008, "0x00000001", false},  // someone else's
        {"tcp", &v4, 1009, "0x00180000", false},  // no state of ours
        {"tcp", &v4, 1010, "0x00800000", false},  // the mask's bit above the state
    };
    std::size_t expected = 0;
    for (const auto& c : cases) {
        std::vector<std::string> argv = {"conntrack", "-I",
                                         "-p",        c.protocol,
                                         "-s",        c.family->client,
                                         "-d",        c.family->server,
                                         "--sport",   std::to_string(c.sourcePort),
                                         "--dport",   "80",
                                         "-t",        "120",
                                         "--mark",    c.mark};
        if (std::string(c.protocol) == "tcp") argv.insert(argv.end(), {"--state", "ESTABLISHED"});
        inClient(argv);
        expected += c.forgotten;
    }
    inClient({"conntrack", "-I", "-p", "icmp", "-s", v4.client, "-d", v4.server, "--icmp-type", "8",
              "--icmp-code", "0", "--icmp-id", "77", "-t", "120", "--mark", "0x80000"});
    EXPECT_EQ(forgetFilterConnections(layout_), expected);
    const std::string left = inClient({"conntrack", "-L"});
    for (const auto& c : cases) {
        EXPECT_EQ(count(left, "sport=" + std::to_string(c.sourcePort) + " "), c.forgotten ? 0u : 1u)
            << c.sourcePort;
    }
    EXPECT_EQ(count(left, "icmp "), 1u);
}

TEST_F(Netfilter, ForgottenConnectionIsReportedAsEnded) {
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    auto ends = ConnectionEnds::open();
    for (const Family& family : {v4, v6}) {
        inClient({"conntrack", "-I", "-p", "udp", "-s", family.client, "-d", family.server,
                  "--sport", "5353", "--dport", "443", "-t", "120"});
        const FlowTuple tuple = tupleOf(family, IPPROTO_UDP, 5353, 443);
        EXPECT_TRUE(forgetConnection(tuple));
        EXPECT_FALSE(forgetConnection(tuple));
        ASSERT_TRUE(readable(ends.descriptor()));
        std::vector<FlowTuple> ended;
        ends.receive([&](const FlowTuple& t) { ended.push_back(t); });
        ASSERT_EQ(ended.size(), 1u);
        EXPECT_TRUE(ended[0] == tuple);
    }
}

TEST_F(Netfilter, DecidedFlowKeepsForeignConnectionMarkBits) {
    Inside inside(client_);
    ASSERT_TRUE(inside.entered());
    rules_.install(RuleMode::enforcing);
    // An allowed flow whose connection mark also carries someone else's bit.
    inClient({"conntrack", "-I", "-p", "udp", "-s", v4.client, "-d", v4.server, "--sport", "5555",
              "--dport", "443", "-t", "120", "--mark", "0x80001"});
    Fd server = serverSocket(v4, SOCK_DGRAM, 443);
    Fd client = socketIn(client_, v4, SOCK_DGRAM);
    socklen_t length;
    const auto local = address(v4, v4.client, 5555, length);
    ASSERT_EQ(bind(client.get(), reinterpret_cast<const sockaddr*>(&local), length), 0);
    const auto remote = address(v4, v4.server, 443, length);
    ASSERT_EQ(
        sendto(client.get(), "kept", 4, 0, reinterpret_cast<const sockaddr*>(&remote), length), 4);
    // No queue is bound: it passed on its connection mark alone.
    EXPECT_EQ(received(server.get()), "kept");
    EXPECT_EQ(count(inClient({"conntrack", "-L", "-p", "udp"}), "mark=524289 "), 1u);
}

}  // namespace
}  // namespace tolvane::netfilter
