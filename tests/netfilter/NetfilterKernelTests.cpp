// Tests against the kernel: rules, queues, sockets and connection entries, each test in two
// network namespaces of its own ("client", where the rules are, and "server") joined by a
// veth pair. Traffic between them leaves through the veth, never through loopback, which the
// rules leave alone. Needs root and `ip netns`; skipped without them. End-to-end behaviour
// (fail closed, DNS, cuts) is the network laboratory's; these pin down each building block.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
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

using tolvane::testing::runProcess;

constexpr const char* ipTool = "/usr/sbin/ip";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
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
        Fd target(open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
        entered_ =
            previous_.get() >= 0 && target.get() >= 0 && setns(target.get(), CLONE_NEWNET) == 0;
    }
    ~Inside() {
        if (previous_.get() >= 0) setns(previous_.get(), CLONE_NEWNET);
    }
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

// A numeric address and port of either family.
sockaddr_storage address(const char* text, std::uint16_t port, socklen_t& length) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    sockaddr_storage storage{};
    EXPECT_EQ(getaddrinfo(text, std::to_string(port).c_str(), &hints, &found), 0) << text;
    length = 0;
    if (found) {
        length = found->ai_addrlen;
        std::memcpy(&storage, found->ai_addr, length);
        freeaddrinfo(found);
    }
    return storage;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::string received(int fd) {
    char buffer[256];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    return n < 0 ? "error: " + std::string(strerror(errno)) : std::string(buffer, n);
}

// Each test runs on a thread inside the client namespace.
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
        const std::string link =
            "link add v0 address 02:00:00:00:02:01 type veth peer name v1 address "
            "02:00:00:00:02:02 netns " +
            server_ + "\n";
        // The first neighbour solicitation on a fresh veth goes unanswered for a second.
        const std::pair<std::string, std::string> batches[] = {
            {client_, link + "addr add 10.201.0.1/24 dev v0\naddr add fd00:201::1/64 dev v0 nodad\n"
                             "link set v0 up\nneigh replace fd00:201::2 lladdr 02:00:00:00:02:02 "
                             "dev v0 nud permanent\n"},
            {server_,
             "addr add 10.201.0.2/24 dev v1\naddr add fd00:201::2/64 dev v1 nodad\n"
             "link set v1 up\nneigh replace fd00:201::1 lladdr 02:00:00:00:02:01 dev "
             "v1 nud permanent\n"}};
        for (const auto& [name, batch] : batches) {
            const auto result = runProcess({ipTool, "-n", name, "-batch", "-"}, batch);
            ASSERT_EQ(result.exitCode, 0) << name << ": " << result.standardError;
        }
        inside_.emplace(client_);
        ASSERT_TRUE(inside_->entered());
    }

    void TearDown() override {
        inside_.reset();
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

    // A socket bound to `port` of `at` in namespace `ns` (the client's, unless told).
    Fd boundSocket(const Family& family, int type, const char* at, std::uint16_t port,
                   const std::string& ns = {}) {
        std::optional<Inside> elsewhere;
        if (!ns.empty()) elsewhere.emplace(ns);
        Fd fd(socket(family.domain, type | SOCK_CLOEXEC, 0));
        const timeval patience{3, 0};
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        socklen_t length;
        const auto local = address(at, port, length);
        EXPECT_EQ(bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), length), 0)
            << strerror(errno);
        if (type == SOCK_STREAM && !ns.empty()) listen(fd.get(), 8);
        return fd;
    }

    Fd serverSocket(const Family& family, int type, std::uint16_t port) {
        return boundSocket(family, type, family.server, port, server_);
    }

    int connectToServer(const Fd& fd, const Family& family, std::uint16_t port) {
        socklen_t length;
        const auto at = address(family.server, port, length);
        return connect(fd.get(), reinterpret_cast<const sockaddr*>(&at), length);
    }

    std::string client_, server_;
    std::optional<Inside> inside_;
    MarkLayout layout_ = *MarkLayout::make(MarkLayout::defaultMask);
    NetfilterRules rules_{layout_, {}};
};

TEST_F(Netfilter, InstallIsIdempotentAndNoticesTampering) {
    rules_.install(RuleMode::dnsOnly);
    rules_.install(RuleMode::enforcing);
    rules_.install(RuleMode::enforcing);
    EXPECT_TRUE(rules_.isInstalled(RuleMode::enforcing));
    EXPECT_FALSE(rules_.isInstalled(RuleMode::dnsOnly));
    for (int ipVersion : {4, 6}) {
        const std::string saved = inClient({ipVersion == 4 ? "iptables-save" : "ip6tables-save"});
        const std::string script = rules_.restoreScript(ipVersion, RuleMode::enforcing);
        for (const char* jump : {"-A OUTPUT -j TOLVANE-OUT\n", "-A INPUT -j TOLVANE-DNS\n",
                                 "-A OUTPUT -j TOLVANE-GATE\n"}) {
            EXPECT_EQ(count(saved, jump), 1u) << ipVersion << " " << jump;
        }
        for (const char* chain : {"-A TOLVANE-OUT ", "-A TOLVANE-DNS ", "-A TOLVANE-GATE "}) {
            EXPECT_EQ(count(saved, chain), count(script, chain)) << ipVersion << " " << chain;
        }
    }
    // A rule of ours deleted behind our back, or a jump gone, is noticed.
    inClient({"ip6tables", "-w", "-t", "filter", "-D", "TOLVANE-GATE", "3"});
    EXPECT_FALSE(rules_.isInstalled(RuleMode::enforcing));
    rules_.install(RuleMode::enforcing);
    EXPECT_TRUE(rules_.isInstalled(RuleMode::enforcing));
    inClient({"iptables", "-w", "-t", "mangle", "-D", "INPUT", "-j", "TOLVANE-DNS"});
    EXPECT_FALSE(rules_.isInstalled(RuleMode::enforcing));
}

TEST_F(Netfilter, RemoveTakesAwayOnlyOurs) {
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

TEST_F(Netfilter, VerdictsBeyondOneBatchAllArrive) {
    rules_.install(RuleMode::enforcing);
    auto queue = PacketQueue::open(rules_.queues().flows);
    Fd server = serverSocket(v4, SOCK_DGRAM, 443);
    const int room = 4 << 20;
    setsockopt(server.get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room);
    Fd client(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    setsockopt(client.get(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room);  // queued, unsent
    ASSERT_EQ(connectToServer(client, v4, 443), 0);
    // An undecided flow has every datagram queued; far more verdicts than one batch holds.
    constexpr int datagrams = 600;
    for (int i = 0; i < datagrams; ++i) ASSERT_EQ(send(client.get(), "d", 1, 0), 1);
    pollfd waiting{queue.descriptor(), POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 3000), 1);
    const std::size_t queued = queue.receive([&](const QueuedPacket& p) {
        queue.verdict(p.id, PacketQueue::Verdict::accept,
                      layout_.decided(p.mark, MarkLayout::State::allow));
    });
    EXPECT_EQ(queued, static_cast<std::size_t>(datagrams));
    queue.flush();
    int arrived = 0;
    while (arrived < datagrams && received(server.get()) == "d") ++arrived;
    EXPECT_EQ(arrived, datagrams);
}

class NetfilterFamilies : public Netfilter, public ::testing::WithParamInterface<Family> {};

TEST_P(NetfilterFamilies, DestroyedSocketIsAbortedAndItsPeerReset) {
    const Family family = GetParam();
    Fd listener = serverSocket(family, SOCK_STREAM, 80);
    Fd client = boundSocket(family, SOCK_STREAM, family.client, 1234);
    ASSERT_EQ(connectToServer(client, family, 80), 0) << strerror(errno);
    Fd peer(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(peer.get(), 0);
    FlowTuple tuple;
    tuple.ipVersion = static_cast<std::uint8_t>(family.ipVersion);
    tuple.protocol = IPPROTO_TCP;
    inet_pton(family.domain, family.client, tuple.source.data());
    inet_pton(family.domain, family.server, tuple.destination.data());
    tuple.sourcePort = 1234;
    tuple.destinationPort = 80;
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

TEST_F(Netfilter, DecidedFlowKeepsForeignConnectionMarkBits) {
    rules_.install(RuleMode::enforcing);
    // An allowed flow whose connection mark also carries someone else's bit.
    inClient({"conntrack", "-I", "-p", "udp", "-s", v4.client, "-d", v4.server, "--sport", "5555",
              "--dport", "443", "-t", "120", "--mark", "0x80001"});
    Fd server = serverSocket(v4, SOCK_DGRAM, 443);
    Fd client = boundSocket(v4, SOCK_DGRAM, v4.client, 5555);
    ASSERT_EQ(connectToServer(client, v4, 443), 0);
    ASSERT_EQ(send(client.get(), "kept", 4, 0), 4);
    // No queue is bound: it passed on its connection mark alone.
    EXPECT_EQ(received(server.get()), "kept");
    EXPECT_EQ(count(inClient({"conntrack", "-L", "-p", "udp"}), "mark=524289 "), 1u);
}

}  // namespace
}  // namespace tolvane::netfilter
