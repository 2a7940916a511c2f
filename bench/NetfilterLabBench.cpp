// tolvane-filter --netfilter measured in the network laboratory: the filter runs in the client
// namespace with 10,000 domains enforced, and every figure is paired with the same traffic
// from the reference namespace, which reaches the same servers without any rules.
//
//   benchmark            what one iteration does                     counters
//   -------------------  ------------------------------------------  --------------------------
//   NewFlowLatency/443   1,000 flows from each side, interleaved:    median, p99 of each side
//   NewFlowLatency/8443    connect, ClientHello, first byte back     and of (filter - reference)
//                          (443: the TLS server's ServerHello;       slow flows, the filter's
//                          8443: a responder thread of ours)         waits for a CPU
//   QueuedPackets        200 allowed TLS flows; the flow queue's id  packets per flow
//                        sequence before and after
//   BulkTransfer         500 MB after a ClientHello to the sink      MB/s each side, ratio, the
//                                                                    sender's CPU
//   QueuedPacketRate     name-less flows of 16-byte segments to an   packets verdicted per
//                        unnamed address, for 3 s                    second, the filter's CPU
//   ResidentMemory       DNS answers for 2,048 addresses x 8 names   VmRSS before and after, MiB
//
// Needs root and network namespaces; otherwise it says why and measures nothing. The machine's
// CPUs are shared with the laboratory's clients and servers (and whatever else runs), so
// bench/netfilter-lab.sh runs it several times and prints medians.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "NamespaceLab.hpp"
#include "TestSupport.hpp"

namespace {

using namespace std::chrono_literals;
using tolvane::testing::LabProcess;
using tolvane::testing::LabUnavailable;
using tolvane::testing::NamespaceLab;
using Side = NamespaceLab::Side;
using Clock = std::chrono::steady_clock;

constexpr int namedAddress = 10;    // allowed.example and blocked.example
constexpr int unnamedAddress = 32;  // no DNS answer names it
constexpr int feedAddress = 53;     // the source of the fed DNS answers
constexpr std::uint16_t flowQueue = 4170;
constexpr int enforcedDomains = 10000;
constexpr std::uint16_t responderPort = 8443;
constexpr std::uint16_t sinkPort = 9001;

struct Laboratory {
    std::unique_ptr<NamespaceLab> lab;
    std::filesystem::path directive;
    std::unique_ptr<LabProcess> filter;
    std::string clientHello;  // a real one, naming allowed.example
};

Laboratory* laboratory = nullptr;

// The calling thread in another network namespace while it lives: sockets made meanwhile
// belong to that namespace for good.
class InNamespace {
public:
    explicit InNamespace(const std::string& name) {
        home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        if (home_ < 0 || target < 0 || setns(target, CLONE_NEWNET) != 0) {
            throw std::runtime_error("cannot enter namespace " + name);
        }
        close(target);
    }
    ~InNamespace() {
        setns(home_, CLONE_NEWNET);
        close(home_);
    }
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;

private:
    int home_ = -1;
};

int socketIn(Side side, int type) {
    InNamespace inside(laboratory->lab->namespaceName(side));
    return socket(AF_INET, type | SOCK_CLOEXEC, 0);
}

sockaddr_in endpoint(const std::string& address, std::uint16_t port) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &out.sin_addr);
    return out;
}

bool connectTo(int fd, int n, std::uint16_t port) {
    const sockaddr_in to = endpoint(NamespaceLab::address4(n), port);
    return connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
}

// Closed with a reset: thousands of flows leave no TIME_WAIT behind to slow later ones.
void abortSocket(int fd) {
    const linger now{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd);
}

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

// One flow: connect, ClientHello, first byte of the ServerHello. Its time, or a negative one
// when the flow failed.
double tlsFlowMicroseconds(Side side, std::uint16_t port = 443) {
    const int fd = socketIn(side, SOCK_STREAM);
    const timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto started = Clock::now();
    char first = 0;
    const bool answered =
        connectTo(fd, namedAddress, port) &&
        sendAll(fd, laboratory->clientHello.data(), laboratory->clientHello.size()) &&
        recv(fd, &first, 1, 0) == 1;
    const auto ended = Clock::now();
    abortSocket(fd);
    return answered ? std::chrono::duration<double, std::micro>(ended - started).count() : -1;
}

// Answers the first bytes of each connection on the named address with one byte, from the
// server namespace; connections are served one after another, as the flows come.
class FirstByteResponder {
public:
    FirstByteResponder() {
        listener_ = socketIn(Side::server, SOCK_STREAM);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in at = endpoint(NamespaceLab::address4(namedAddress), responderPort);
        if (bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            listen(listener_, 64) != 0) {
            close(listener_);
            throw std::runtime_error("the responder cannot listen");
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~FirstByteResponder() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    FirstByteResponder(const FirstByteResponder&) = delete;
    FirstByteResponder& operator=(const FirstByteResponder&) = delete;

private:
    void serve() {
        while (!stop_) {
            pollfd ready{listener_, POLLIN, 0};
            if (poll(&ready, 1, 100) <= 0) continue;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            const timeval limit{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            char buffer[4096];
            if (recv(fd, buffer, sizeof buffer, 0) > 0 && send(fd, "x", 1, MSG_NOSIGNAL) == 1) {
                while (recv(fd, buffer, sizeof buffer, 0) > 0) {
                }
            }
            close(fd);
        }
    }

    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

// The queue's line in the client namespace: the id sequence counts every packet ever queued.
struct QueueState {
    std::uint64_t total = 0, dropped = 0, userDropped = 0, idSequence = 0;
};

QueueState queueState(std::uint16_t queue) {
    std::string text;
    {
        InNamespace inside(laboratory->lab->namespaceName(Side::client));
        std::ifstream file("/proc/thread-self/net/netfilter/nfnetlink_queue");
        std::stringstream content;
        content << file.rdbuf();
        text = content.str();
    }
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::uint64_t number = 0, portId = 0, copyMode = 0, copyRange = 0;
        QueueState state;
        if (fields >> number >> portId >> state.total >> copyMode >> copyRange >> state.dropped >>
                state.userDropped >> state.idSequence &&
            number == queue) {
            return state;
        }
    }
    return {};
}

std::pair<double, double> schedulerNanoseconds(int pid);

void newFlowLatency(benchmark::State& state) {
    constexpr int flows = 1000;
    const auto port = static_cast<std::uint16_t>(state.range(0));
    for (auto _ : state) {
        std::vector<double> filtered, reference, added;
        // When the slow flows come (ms since the start): spaced like a timer, or at random.
        std::vector<double> slowAt;
        int failed = 0, slowReference = 0;
        const auto scheduledBefore = schedulerNanoseconds(laboratory->filter->pid());
        const auto started = Clock::now();
        for (int i = 0; i < flows; ++i) {
            // Interleaved, so that drifts of the machine fall on both sides alike.
            const double withFilter = tlsFlowMicroseconds(Side::client, port);
            const double without = tlsFlowMicroseconds(Side::reference, port);
            if (withFilter < 0 || without < 0) {
                ++failed;
                continue;
            }
            filtered.push_back(withFilter);
            reference.push_back(without);
            added.push_back(withFilter - without);
            if (withFilter > 1000) {
                slowAt.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - started).count());
            }
            slowReference += without > 1000 ? 1 : 0;
        }
        const auto scheduledAfter = schedulerNanoseconds(laboratory->filter->pid());
        std::vector<double> gaps;
        for (std::size_t i = 1; i < slowAt.size(); ++i) gaps.push_back(slowAt[i] - slowAt[i - 1]);
        state.counters["filter_flows_over_1ms"] = static_cast<double>(slowAt.size());
        state.counters["reference_flows_over_1ms"] = slowReference;
        state.counters["slow_flow_gap_median_ms"] = percentile(gaps, 0.5);
        state.counters["run_ms"] =
            std::chrono::duration<double, std::milli>(Clock::now() - started).count();
        // Time the filter's packet loop was runnable but had no CPU, per flow.
        state.counters["filter_cpu_wait_us_per_flow"] =
            (scheduledAfter.second - scheduledBefore.second) / 1e3 / flows;
        state.SetIterationTime(percentile(added, 0.5) / 1e6);
        state.counters["filter_median_us"] = percentile(filtered, 0.5);
        state.counters["filter_p99_us"] = percentile(filtered, 0.99);
        state.counters["reference_median_us"] = percentile(reference, 0.5);
        state.counters["reference_p99_us"] = percentile(reference, 0.99);
        state.counters["added_median_us"] = percentile(added, 0.5);
        state.counters["added_p99_us"] = percentile(added, 0.99);
        state.counters["p99_difference_us"] =
            percentile(filtered, 0.99) - percentile(reference, 0.99);
        state.counters["failed_flows"] = failed;
    }
}

void queuedPackets(benchmark::State& state) {
    constexpr int flows = 200;
    for (auto _ : state) {
        const QueueState before = queueState(flowQueue);
        const auto started = Clock::now();
        int failed = 0;
        for (int i = 0; i < flows; ++i) failed += tlsFlowMicroseconds(Side::client) < 0 ? 1 : 0;
        // The reset that ends each flow is the kernel's business; give stragglers a moment.
        std::this_thread::sleep_for(100ms);
        const QueueState after = queueState(flowQueue);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - started).count());
        state.counters["packets_per_flow"] =
            static_cast<double>(after.idSequence - before.idSequence) / flows;
        state.counters["failed_flows"] = failed;
    }
}

// Seconds to move `bytes` after the ClientHello to the sink, until the sink has read them all
// (it closes after our end of stream); negative on failure.
double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The sending thread's CPU seconds of the last bulk transfer: the kernel runs each outgoing
// packet's netfilter hooks (and often the receiver's side of the pair) inside send(), so this
// shows what the rules cost per byte whatever else the machine is doing.
thread_local double lastSenderCpu = 0;

double bulkSeconds(Side side, std::size_t bytes) {
    const double cpuBefore = threadCpuSeconds();
    const int fd = socketIn(side, SOCK_STREAM);
    const timeval limit{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::vector<char> block(256 * 1024, 'x');
    const auto started = Clock::now();
    bool sent = connectTo(fd, namedAddress, 9000) &&
                sendAll(fd, laboratory->clientHello.data(), laboratory->clientHello.size());
    for (std::size_t left = bytes; sent && left > 0;) {
        const std::size_t size = std::min(left, block.size());
        sent = sendAll(fd, block.data(), size);
        left -= size;
    }
    char ignored = 0;
    const bool ended = sent && shutdown(fd, SHUT_WR) == 0 && recv(fd, &ignored, 1, 0) == 0;
    const auto finished = Clock::now();
    close(fd);
    lastSenderCpu = threadCpuSeconds() - cpuBefore;
    return ended ? std::chrono::duration<double>(finished - started).count() : -1;
}

void bulkTransfer(benchmark::State& state) {
    constexpr std::size_t bytes = 500ull * 1000 * 1000;
    // One rule that needs connection tracking, in the reference namespace: what tracking alone
    // costs, without any of the filter's rules.
    auto trackingRule = [](const std::string& action) {
        return laboratory->lab
                   ->run(Side::reference,
                         {"/usr/sbin/iptables", "-w", "-t", "mangle", action, "OUTPUT", "-m",
                          "conntrack", "--ctstate", "INVALID", "-j", "DROP"})
                   .exitCode == 0;
    };
    int round = 0;
    for (auto _ : state) {
        const QueueState queuedBefore = queueState(flowQueue);
        // Each side goes first in turn, so that neither always meets a warm sink.
        double withFilter = 0, without = 0, filterCpu = 0, referenceCpu = 0;
        const auto filtered = [&] {
            withFilter = bulkSeconds(Side::client, bytes);
            filterCpu = lastSenderCpu;
        };
        const auto reference = [&] {
            without = bulkSeconds(Side::reference, bytes);
            referenceCpu = lastSenderCpu;
        };
        if (round++ % 2 == 0) {
            filtered();
            reference();
        } else {
            reference();
            filtered();
        }
        const QueueState queuedAfter = queueState(flowQueue);
        double tracked = -1;
        if (trackingRule("-A")) {
            tracked = bulkSeconds(Side::reference, bytes);
            state.counters["reference_tracked_sender_cpu_ms"] = 1e3 * lastSenderCpu;
            trackingRule("-D");
        }
        if (withFilter <= 0 || without <= 0) {
            state.SkipWithError("a bulk transfer failed");
            return;
        }
        state.SetIterationTime(withFilter);
        state.counters["filter_MBps"] = static_cast<double>(bytes) / withFilter / 1e6;
        state.counters["reference_MBps"] = static_cast<double>(bytes) / without / 1e6;
        state.counters["ratio_percent"] = 100.0 * without / withFilter;
        state.counters["filter_sender_cpu_ms"] = 1e3 * filterCpu;
        state.counters["reference_sender_cpu_ms"] = 1e3 * referenceCpu;
        // An allowed flow leaves the queue after its ClientHello: the 500 MB are never queued.
        state.counters["filter_packets_queued"] =
            static_cast<double>(queuedAfter.idSequence - queuedBefore.idSequence);
        state.counters["reference_tracked_MBps"] =
            tracked > 0 ? static_cast<double>(bytes) / tracked / 1e6 : 0;
    }
}

// User and system time of a process so far, in seconds.
struct CpuTime {
    double user = 0, system = 0;
};

CpuTime cpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis: utime and stime are the 12th and 13th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    CpuTime time;
    const auto tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12) time.user = std::stod(field) / tick;
        if (i == 13) time.system = std::stod(field) / tick;
    }
    return time;
}

// Nanoseconds the process's main thread (the filter's packet loop) has spent running and
// waiting for a CPU while runnable, from the scheduler's statistics.
std::pair<double, double> schedulerNanoseconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double running = 0, waiting = 0;
    stat >> running >> waiting;
    return {running, waiting};
}

// A sink in the server namespace that reads and discards, on one thread with epoll: the queue
// rate then depends on the filter and the kernel, not on the Python server starting threads.
class DiscardSink {
public:
    DiscardSink() {
        listener_ = socketIn(Side::server, SOCK_STREAM);
        const int one = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        const sockaddr_in at = endpoint(NamespaceLab::address4(unnamedAddress), sinkPort);
        if (bind(listener_, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            listen(listener_, 1024) != 0) {
            close(listener_);
            throw std::runtime_error("the sink cannot listen");
        }
        fcntl(listener_, F_SETFL, O_NONBLOCK);
        thread_ = std::thread([this] { serve(); });
    }
    ~DiscardSink() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    DiscardSink(const DiscardSink&) = delete;
    DiscardSink& operator=(const DiscardSink&) = delete;

private:
    void serve() {
        const int events = epoll_create1(EPOLL_CLOEXEC);
        epoll_event listening{EPOLLIN, {.fd = listener_}};
        epoll_ctl(events, EPOLL_CTL_ADD, listener_, &listening);
        epoll_event ready[64];
        char buffer[65536];
        while (!stop_) {
            const int count = epoll_wait(events, ready, 64, 100);
            for (int i = 0; i < count; ++i) {
                const int fd = ready[i].data.fd;
                if (fd == listener_) {
                    for (int accepted; (accepted = accept4(listener_, nullptr, nullptr,
                                                           SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                        epoll_event readable{EPOLLIN, {.fd = accepted}};
                        epoll_ctl(events, EPOLL_CTL_ADD, accepted, &readable);
                    }
                    continue;
                }
                ssize_t n = 0;
                while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
                }
                if (n == 0 || errno != EAGAIN) close(fd);
            }
        }
        close(events);
    }

    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Name-less flows to the unnamed address, each written 16 bytes at a time without Nagle: the
// filter holds them and sees every segment until 4096 bytes, then the flow is replaced.
void queuedPacketRate(benchmark::State& state) {
    constexpr int concurrentFlows = 32;
    constexpr auto window = 3s;
    for (auto _ : state) {
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> flowsOpened{0};
        std::thread sender([&] {
            InNamespace inside(laboratory->lab->namespaceName(Side::client));
            struct Flow {
                int fd = -1;
                std::size_t sent = 0;
            };
            std::vector<Flow> flows(concurrentFlows);
            const char segment[16] = {};
            auto open = [&](Flow& flow) {
                flow.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const int one = 1;
                setsockopt(flow.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                flow.sent = 0;
                if (!connectTo(flow.fd, unnamedAddress, sinkPort)) {
                    close(flow.fd);
                    flow.fd = -1;
                    return;
                }
                fcntl(flow.fd, F_SETFL, O_NONBLOCK);
                ++flowsOpened;
            };
            while (!stop) {
                for (auto& flow : flows) {
                    if (flow.fd < 0 || flow.sent >= 4096) {
                        if (flow.fd >= 0) abortSocket(flow.fd);
                        open(flow);
                        continue;
                    }
                    const ssize_t sent = send(flow.fd, segment, sizeof segment, MSG_NOSIGNAL);
                    if (sent > 0) {
                        flow.sent += static_cast<std::size_t>(sent);
                    } else if (errno != EAGAIN) {
                        close(flow.fd);
                        flow.fd = -1;
                    }
                }
            }
            for (auto& flow : flows) {
                if (flow.fd >= 0) abortSocket(flow.fd);
            }
        });
        // Let the flows fill the queue before the window opens.
        std::this_thread::sleep_for(300ms);
        const QueueState before = queueState(flowQueue);
        const std::uint64_t flowsBefore = flowsOpened;
        const CpuTime cpuBefore = cpuSeconds(laboratory->filter->pid());
        const auto scheduledBefore = schedulerNanoseconds(laboratory->filter->pid());
        const auto started = Clock::now();
        std::uint64_t busiest = 0;
        while (Clock::now() - started < window) {
            std::this_thread::sleep_for(100ms);
            busiest = std::max(busiest, queueState(flowQueue).total);
        }
        const QueueState after = queueState(flowQueue);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const CpuTime cpuAfter = cpuSeconds(laboratory->filter->pid());
        const double filterUser = cpuAfter.user - cpuBefore.user;
        const double filterSystem = cpuAfter.system - cpuBefore.system;
        const double filterCpu = filterUser + filterSystem;
        const auto scheduledAfter = schedulerNanoseconds(laboratory->filter->pid());
        const auto flows = static_cast<double>(flowsOpened - flowsBefore);
        stop = true;
        sender.join();
        state.SetIterationTime(seconds);
        state.counters["packets_per_second"] =
            static_cast<double>(after.idSequence - before.idSequence) / seconds;
        state.counters["queue_dropped"] = static_cast<double>(
            after.dropped - before.dropped + after.userDropped - before.userDropped);
        state.counters["largest_backlog"] = static_cast<double>(busiest);
        state.counters["flows_opened"] = flows;
        // Whether the filter was the bottleneck: a whole core busy, and its cost per packet.
        const auto packets = static_cast<double>(after.idSequence - before.idSequence);
        state.counters["filter_cpu_percent"] = 100.0 * filterCpu / seconds;
        state.counters["filter_cpu_us_per_packet"] = packets > 0 ? 1e6 * filterCpu / packets : 0;
        // System time includes the kernel sending each accepted packet on, inside the verdict.
        state.counters["filter_user_us_per_packet"] = packets > 0 ? 1e6 * filterUser / packets : 0;
        state.counters["packets_per_flow"] = flows > 0 ? packets / flows : 0;
        // Runnable but not running: the share of the window the packet loop waited for a CPU.
        state.counters["filter_cpu_wait_percent"] =
            100.0 * (scheduledAfter.second - scheduledBefore.second) / (seconds * 1e9);
    }
}

long residentKiB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

void appendName(std::string& packet, const std::string& name) {
    std::istringstream labels(name);
    for (std::string label; std::getline(labels, label, '.');) {
        packet += static_cast<char>(label.size());
        packet += label;
    }
    packet += '\0';
}

// A DNS answer: `name` has one AAAA record, fd00:231:100::1:N (only ever data, never a target).
std::string aaaaAnswer(std::uint16_t id, const std::string& name, int n) {
    std::string packet = {static_cast<char>(id >> 8),
                          static_cast<char>(id & 0xff),
                          '\x81',
                          '\x80',
                          0,
                          1,
                          0,
                          1,
                          0,
                          0,
                          0,
                          0};
    appendName(packet, name);
    packet += std::string("\0\x1c\0\x01", 4);
    // The answer's name points back at the question's; a long lifetime so nothing expires.
    packet += std::string("\xc0\x0c\0\x1c\0\x01\0\0\x02\x58\0\x10", 12);
    unsigned char address[16] = {0xfd, 0x00, 0x02, 0x31, 0x01, 0x00};
    address[12] = 0;
    address[13] = 1;
    address[14] = static_cast<unsigned char>(n >> 8);
    address[15] = static_cast<unsigned char>(n & 0xff);
    packet.append(reinterpret_cast<const char*>(address), sizeof address);
    return packet;
}

// Sends every answer from port 53 in the server namespace to a socket in the client namespace,
// in batches that the client drains, so that the DNS queue never overflows. The answers
// received (each one went past the filter).
int feedAnswers(int addresses, int namesPerAddress) {
    const int sender = socketIn(Side::server, SOCK_DGRAM);
    const int receiver = socketIn(Side::client, SOCK_DGRAM);
    const sockaddr_in from = endpoint(NamespaceLab::address4(feedAddress), 53);
    const sockaddr_in to = endpoint("10.231.1.2", 5353);
    if (bind(sender, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        bind(receiver, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        close(sender);
        close(receiver);
        return -1;
    }
    const int buffer = 4 << 20;
    setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    int received = 0, sent = 0;
    char sink[512];
    for (int name = 0; name < namesPerAddress; ++name) {
        for (int address = 0; address < addresses; ++address) {
            const std::string answer = aaaaAnswer(
                static_cast<std::uint16_t>(sent),
                "n" + std::to_string(name) + ".a" + std::to_string(address) + ".assoc.example",
                address);
            sendto(sender, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                   sizeof to);
            if (++sent % 128 != 0) continue;
            pollfd ready{receiver, POLLIN, 0};
            while (received < sent && poll(&ready, 1, 1000) > 0) {
                while (recv(receiver, sink, sizeof sink, MSG_DONTWAIT) > 0) ++received;
            }
        }
    }
    pollfd ready{receiver, POLLIN, 0};
    while (received < sent && poll(&ready, 1, 1000) > 0) {
        while (recv(receiver, sink, sizeof sink, MSG_DONTWAIT) > 0) ++received;
    }
    close(sender);
    close(receiver);
    return received;
}

void residentMemory(benchmark::State& state) {
    for (auto _ : state) {
        const int pid = laboratory->filter->pid();
        const long before = residentKiB(pid);
        const auto started = Clock::now();
        const int received = feedAnswers(2048, 8);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - started).count());
        std::this_thread::sleep_for(200ms);
        const long after = residentKiB(pid);
        state.counters["rss_before_MiB"] = static_cast<double>(before) / 1024;
        state.counters["rss_after_MiB"] = static_cast<double>(after) / 1024;
        state.counters["answers_delivered"] = received;
    }
}

// 443: the laboratory's TLS server answers with its ServerHello. The responder's port: one byte
// from a thread of this program, without the Python server's scheduling in the figures.
BENCHMARK(newFlowLatency)
    ->Name("NewFlowLatency")
    ->Arg(443)
    ->Arg(responderPort)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(queuedPackets)->Name("QueuedPackets")->UseManualTime()->Iterations(1)->Repetitions(3);
BENCHMARK(bulkTransfer)->Name("BulkTransfer")->UseManualTime()->Iterations(1)->Repetitions(3);
BENCHMARK(queuedPacketRate)
    ->Name("QueuedPacketRate")
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(3);
BENCHMARK(residentMemory)->Name("ResidentMemory")->UseManualTime()->Iterations(1)->Repetitions(3);

std::string publishDirective(const std::filesystem::path& directory) {
    std::vector<std::string> argv = {tolvane::testing::builtProgram("tolvane"),
                                     "directive",
                                     "publish",
                                     "--directory",
                                     directory.string(),
                                     "--domain",
                                     "blocked.example"};
    for (int i = 1; i < enforcedDomains; ++i) {
        argv.push_back("--domain");
        argv.push_back("site" + std::to_string(i) + ".example");
    }
    const auto published = tolvane::testing::runProcess(argv);
    return published.exitCode == 0 ? std::string() : published.standardError;
}

// A real ClientHello for `name`, made once by Python's TLS and replayed by every flow.
std::string makeClientHello(const std::string& name) {
    const auto made = tolvane::testing::runProcess(
        {"/usr/bin/python3", "-c",
         "import ssl, sys\n"
         "c = ssl.create_default_context()\n"
         "c.check_hostname = False\n"
         "c.verify_mode = ssl.CERT_NONE\n"
         "o = ssl.MemoryBIO()\n"
         "s = c.wrap_bio(ssl.MemoryBIO(), o, server_hostname=sys.argv[1])\n"
         "try:\n"
         "    s.do_handshake()\n"
         "except ssl.SSLWantReadError:\n"
         "    pass\n"
         "sys.stdout.write(o.read().hex())\n",
         name});
    std::string bytes;
    const std::string& hex = made.standardOutput;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    // --filter_nice=N: the filter's packet loop (its main thread) at nice N, to see what CPU
    // contention on a shared machine does to the figures.
    std::optional<int> filterNice;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--filter_nice=", 0) != 0) continue;
        filterNice = std::stoi(argument.substr(14));
        std::copy(argv + i + 1, argv + argc + 1, argv + i);
        --argc;
        break;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Laboratory built;
    try {
        auto options =
            tolvane::testing::standardLabOptions(std::string(TOLVANE_SOURCE_DIR) + "/tests/netns");
        options.reference = true;
        options.unnamedAddresses.push_back(feedAddress);
        built.lab = std::make_unique<NamespaceLab>(options);
        built.directive = built.lab->directory() / "directive";
        std::filesystem::create_directories(built.directive);
        if (const auto error = publishDirective(built.directive); !error.empty()) {
            std::cerr << "NetfilterLabBench: publishing the directive failed: " << error << "\n";
            return 1;
        }
        built.filter = built.lab->startFilter(tolvane::testing::builtProgram("tolvane-filter"),
                                              built.directive);
        if (!built.filter->waitForError("netfilter rules: enforcing", 10s)) {
            throw LabUnavailable("tolvane-filter never enforced: " + built.filter->errorText());
        }
    } catch (const LabUnavailable& unavailable) {
        std::cerr << "NetfilterLabBench: skipped: " << unavailable.what() << "\n";
        return 0;
    }
    if (filterNice &&
        setpriority(PRIO_PROCESS, static_cast<id_t>(built.filter->pid()), *filterNice) != 0) {
        std::cerr << "NetfilterLabBench: cannot renice the filter\n";
        return 1;
    }
    built.clientHello = makeClientHello("allowed.example");
    if (built.clientHello.size() < 100 || built.clientHello[0] != '\x16') {
        std::cerr << "NetfilterLabBench: no ClientHello could be made\n";
        return 1;
    }
    laboratory = &built;
    const FirstByteResponder responder;
    const DiscardSink sink;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // The filter's own count of what it saw over the whole run.
    built.filter->signal(SIGTERM);
    if (const auto ended = built.filter->waitForExit(10s)) {
        std::istringstream lines(ended->standardError);
        for (std::string line; std::getline(lines, line);) {
            if (line.find("netfilter stopped") != std::string::npos) std::cerr << line << "\n";
        }
    }
    laboratory = nullptr;
    return 0;
}
