// NamespaceLab.hpp: a small network of namespaces with real servers, for end-to-end runs of
// the filter. No test framework inside, so benchmarks can build the same network.
//
// The client namespace reaches the server namespace over a veth pair; an optional reference
// namespace (no filter in it) reaches the same servers over a second pair, for paired
// measurements. Every service address lives on the server's loopback as 10.231.100.N and
// fd00:231:100::N, so each scenario can have addresses of its own; dnsmasq answers for the
// configured names; a threaded Python server serves HTTPS (any name), HTTP, a TCP sink on 9000
// and counts UDP datagrams to 443 and 9000, recording each connection in a log the tests read.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane::testing {

// The lab cannot be built here (not root, no namespaces, a missing program): a reason to skip.
class LabUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A child the lab started, with its standard streams collected on threads of its own. The
// destructor kills it by PID (its whole process group when it has one) and reaps it.
class LabProcess {
public:
    // With `ownGroup` the child leads a process group of its own (for programs that start
    // helpers of their own, such as a browser), and signals go to the whole group.
    explicit LabProcess(const std::vector<std::string>& argv, bool ownGroup = false);
    ~LabProcess();
    LabProcess(const LabProcess&) = delete;
    LabProcess& operator=(const LabProcess&) = delete;

    int pid() const;
    void signal(int number);
    // Waits until the child has ended: its status as ProcessResult (streams included), or
    // nothing on timeout.
    std::optional<ProcessResult> waitForExit(std::chrono::milliseconds timeout);
    bool running();

    // Waits until standard error holds `text` at or after byte `from`; false on timeout or
    // when the child ends without it.
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout,
                      std::size_t from = 0);
    // The next whole line of standard output, without its line break; empty on timeout.
    std::string readLine(std::chrono::milliseconds timeout);
    std::string errorText() const;
    std::size_t errorSize() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// One line of the server's log: `kind` (https, http, sink, udp), `local` (the service address),
// `peer`, `port` (the client's port), `name` (SNI or Host), `received` (bytes), `end` (eof,
// reset, timeout, tls-error, error); a udp record has `lport` (443 or 9000) and no name or end.
struct ServerRecord {
    std::map<std::string, std::string> fields;
    std::string operator[](const std::string& key) const;
    long number(const std::string& key) const;
};

class NamespaceLab {
public:
    enum class Side { client, server, reference };

    struct HostRecord {
        std::string name;
        int address;  // N of 10.231.100.N and fd00:231:100::N
    };
    struct Alias {
        std::string name;
        std::string target;  // answered as a CNAME to this name
    };
    struct Options {
        std::vector<HostRecord> hosts;
        std::vector<Alias> aliases;
        std::vector<int> unnamedAddresses;  // service addresses no DNS name points to
        bool reference = false;
        std::filesystem::path scriptDirectory;  // holds lab_server.py and lab_client.py
    };

    // Builds the whole network and waits until DNS answers in the client namespace; throws
    // LabUnavailable when this machine cannot, having removed whatever it had made.
    explicit NamespaceLab(Options options);
    ~NamespaceLab();
    NamespaceLab(const NamespaceLab&) = delete;
    NamespaceLab& operator=(const NamespaceLab&) = delete;

    const std::string& namespaceName(Side side) const;
    static std::string address4(int n);
    static std::string address6(int n);
    const std::filesystem::path& directory() const { return temporary_.path(); }

    // argv run inside a namespace (`ip netns exec NAME ...`).
    std::vector<std::string> inside(Side side, const std::vector<std::string>& argv) const;
    ProcessResult run(Side side, const std::vector<std::string>& argv) const;
    std::unique_ptr<LabProcess> start(Side side, const std::vector<std::string>& argv,
                                      bool ownGroup = false) const;
    // lab_client.py with `arguments`, run to its end in the client (or reference) namespace:
    // its one result line parsed.
    ServerRecord client(const std::vector<std::string>& arguments, Side side = Side::client) const;
    std::vector<std::string> clientCommand(const std::vector<std::string>& arguments) const;

    // curl in the client (or reference) namespace, over IPv`family`, names resolved by DNS.
    struct Fetch {
        int exitCode = -1;  // curl's: 0 fetched, 28 timed out, 7/35/56 refused or reset
        std::string body;
        std::string status;  // the HTTP status, "000" without an answer
        long port = -1;      // the local port, to find the server's record
        std::string error;
    };
    Fetch curl(const std::string& url, int family, Side side = Side::client) const;

    // Headless Chromium loading `url` (over QUIC only when `quic`); its DOM, empty when it
    // did not finish within `limit` (then it is killed with its helpers).
    struct Page {
        bool finished = false;
        std::string dom;
        std::string log;
    };
    Page browse(const std::string& url, bool quic, std::chrono::seconds limit) const;

    std::vector<ServerRecord> serverRecords() const;
    // The first record of `kind` for the client's `port`, once the server has written it.
    std::optional<ServerRecord> waitForRecord(const std::string& kind, long port,
                                              std::chrono::milliseconds timeout) const;
    // Whether the server namespace still has a TCP socket for the client's `port`, in any state.
    bool serverHoldsConnection(long port) const;
    // What the server process wrote to standard error (tracebacks), for failure messages.
    std::string serverErrors() const;
    // UDP datagrams the server received on service address N (either family), port 443, so far.
    int datagramsTo(int n) const;
    // UDP datagrams the server received from the client's `port`, so far.
    int datagramsFrom(long port) const;

    // tolvane-filter --netfilter in the client namespace, watching `directive`; returns once it
    // has bound its queues. Throws LabUnavailable with its log when it ends or stays silent.
    std::unique_ptr<LabProcess> startFilter(const std::string& program,
                                            const std::filesystem::path& directive) const;

private:
    void build();
    void tearDown() noexcept;
    void startDns();
    void startServer();

    Options options_;
    TemporaryDirectory temporary_;
    std::string suffix_;
    std::string client_, server_, reference_;
    std::vector<std::string> madeNamespaces_;
    std::unique_ptr<LabProcess> dns_, web_;
};

// The addresses and names the end-to-end suites share; each scenario has addresses of its own,
// so what the filter learnt in one case never decides another.
namespace labplan {
inline constexpr int shared = 10;       // blocked.example, www.blocked.example, allowed.example
inline constexpr int cdn = 20;          // cdn.cdnshare.example; media.blocked/allowed alias it
inline constexpr int onlyBlocked = 30;  // only.blocked.example
inline constexpr int mixed = 31;        // mixed.blocked.example, mixed.allowed.example
inline constexpr int unnamed = 32;      // no name
inline constexpr int echHidden = 40;    // hidden.blocked.example
inline constexpr int echUnnamed = 41;   // no name
inline constexpr int echAllowed = 42;   // no name
inline constexpr int browse = 50;       // browse.blocked.example, browse.allowed.example
inline constexpr int quicBlocked = 51;  // quic.blocked.example
inline constexpr int quicAllowed = 52;  // quic.allowed.example
inline constexpr int probe = 60;        // probe.example
inline constexpr int grow = 70;         // grow.example
inline constexpr int restart = 80;      // restart.blocked.example, restart.allowed.example
inline constexpr int idle = 90;         // idle.blocked.example
}  // namespace labplan

NamespaceLab::Options standardLabOptions(const std::filesystem::path& scriptDirectory);

}  // namespace tolvane::testing
