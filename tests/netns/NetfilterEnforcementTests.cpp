// tolvane-filter --netfilter for real: the filter runs in the lab's client namespace with
// blocked.example in its directive, and real clients meet real servers through it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "NamespaceLab.hpp"
#include "TestSupport.hpp"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;
using Side = NamespaceLab::Side;

std::string address(int family, int n) {
    return family == 6 ? NamespaceLab::address6(n) : NamespaceLab::address4(n);
}

// curl's exit codes when the connection was reset or refused, as opposed to a timeout (28).
bool wasReset(const NamespaceLab::Fetch& fetch) {
    return fetch.exitCode == 7 || fetch.exitCode == 35 || fetch.exitCode == 56;
}

class NetfilterEnforcement : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            lab_ = std::make_unique<NamespaceLab>(
                standardLabOptions(std::string(TOLVANE_SOURCE_DIR) + "/tests/netns"));
            directive_ = lab_->directory() / "directive";
            std::filesystem::create_directories(directive_);
            publishBase();
            startFilter();
        } catch (const LabUnavailable& unavailable) {
            skipReason_ = unavailable.what();
            filter_.reset();
            lab_.reset();
        }
    }
    static void TearDownTestSuite() {
        filter_.reset();
        lab_.reset();
    }

    void SetUp() override {
        if (!lab_) GTEST_SKIP() << skipReason_;
        if (!filter_ || !filter_->running()) startFilter();
    }
    void TearDown() override {
        if (lab_ && directiveChanged_) {
            publishBase();
            directiveChanged_ = false;
        }
    }

    // Publishes and, with a filter running, waits until it has adopted the publication.
    static ProcessResult publishAndAdopt(const std::vector<std::string>& options) {
        const std::size_t from = filter_ ? filter_->errorSize() : 0;
        std::vector<std::string> argv = {builtProgram("tolvane"), "directive", "publish",
                                         "--directory", directive_.string()};
        argv.insert(argv.end(), options.begin(), options.end());
        const auto published = runProcess(argv);
        EXPECT_EQ(published.exitCode, 0) << published.standardError;
        if (filter_ && filter_->running()) {
            EXPECT_TRUE(filter_->waitForError("adopted directive", 5s, from))
                << filter_->errorText();
        }
        return published;
    }

    // Only blocked.example; --force so that it also undoes what a case added.
    static void publishBase() { publishAndAdopt({"--domain", "blocked.example", "--force"}); }

    static void startFilter() {
        filter_.reset();
        filter_ = lab_->startFilter(builtProgram("tolvane-filter"), directive_);
        if (!filter_->waitForError("netfilter rules: enforcing", 10s)) {
            throw LabUnavailable("tolvane-filter never enforced: " + filter_->errorText());
        }
    }

    static NamespaceLab::Fetch curl(const std::string& url, int family = 4) {
        return lab_->curl(url, family);
    }

    // The server's end of a cut connection: reset without having received application data,
    // either as the server saw it, or by the kernel before the server accepted it (then no
    // socket is left); never left half-open.
    static void expectServerReset(const std::string& kind, long port) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            if (const auto seen = lab_->waitForRecord(kind, port, 0ms)) {
                EXPECT_EQ((*seen)["end"], "reset") << "connection " << port;
                EXPECT_EQ((*seen)["name"], "-");
                EXPECT_EQ(seen->number("received"), 0);
                return;
            }
            if (!lab_->serverHoldsConnection(port) && !lab_->waitForRecord(kind, port, 0ms)) {
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                ADD_FAILURE() << "the server still holds connection " << port << " after 5 s "
                              << lab_->serverErrors();
                return;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

    // A cut on both ends: the client was reset (not left to time out), and so was the server.
    static void expectCut(const NamespaceLab::Fetch& fetch, const std::string& kind) {
        EXPECT_TRUE(wasReset(fetch)) << "curl " << fetch.exitCode << ": " << fetch.error;
        if (fetch.port > 0) expectServerReset(kind, fetch.port);
    }

    static void expectFetched(const NamespaceLab::Fetch& fetch, const std::string& name) {
        EXPECT_EQ(fetch.exitCode, 0) << fetch.error;
        EXPECT_EQ(fetch.status, "200");
        EXPECT_NE(fetch.body.find("hello " + name), std::string::npos) << fetch.body;
    }

    // lab_client.py, having looked up `lookups` first.
    static ServerRecord clientAfter(std::vector<std::string> arguments,
                                    const std::vector<std::string>& lookups) {
        for (const auto& name : lookups) arguments.insert(arguments.end(), {"--resolve", name});
        return lab_->client(arguments);
    }

    // A lab_client.py result that is a cut on both ends.
    static void expectClientCut(const ServerRecord& result, const std::string& kind) {
        EXPECT_EQ(result["result"], "reset") << result["detail"] << result["stderr"];
        if (result.number("port") > 0) expectServerReset(kind, result.number("port"));
    }

    // For failure messages: the end of the filter's log.
    static std::string filterLog() {
        const std::string log = filter_ ? filter_->errorText() : std::string();
        return "\nfilter log (end):\n" + log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
    }

    static std::unique_ptr<NamespaceLab> lab_;
    static std::unique_ptr<LabProcess> filter_;
    static std::filesystem::path directive_;
    static std::string skipReason_;
    static bool directiveChanged_;
};

std::unique_ptr<NamespaceLab> NetfilterEnforcement::lab_;
std::unique_ptr<LabProcess> NetfilterEnforcement::filter_;
std::filesystem::path NetfilterEnforcement::directive_;
std::string NetfilterEnforcement::skipReason_;
bool NetfilterEnforcement::directiveChanged_ = false;

TEST_F(NetfilterEnforcement, BlockedNameIsCutWhileAllowedNameOnTheSameAddressLoads) {
    for (const int family : {4, 6}) {
        for (const std::string scheme : {"https", "http"}) {
            SCOPED_TRACE(scheme + " over IPv" + std::to_string(family));
            expectCut(curl(scheme + "://blocked.example/", family), scheme);
            expectCut(curl(scheme + "://www.blocked.example/", family), scheme);
            expectFetched(curl(scheme + "://allowed.example/", family), "allowed.example");
        }
    }
}

TEST_F(NetfilterEnforcement, CnameToSharedCdnCountsOnlyTheQuestionName) {
    for (const int family : {4, 6}) {
        SCOPED_TRACE("IPv" + std::to_string(family));
        expectCut(curl("https://media.blocked.example/", family), "https");
        // The address is known only as media.blocked.example; the CDN name is not its name.
        const auto nameless = lab_->client(
            {"raw", address(family, labplan::cdn), "9000", "--resolve", "media.blocked.example"});
        expectClientCut(nameless, "sink");
    }
    // Once an allowed name shares the CDN address, a flow without a name is no longer cut.
    expectFetched(curl("https://media.allowed.example/"), "media.allowed.example");
    for (const int family : {4, 6}) {
        const auto shared = lab_->client(
            {"raw", address(family, labplan::cdn), "9000", "--resolve", "media.allowed.example"});
        EXPECT_EQ(shared["result"], "ok") << "IPv" << family << " " << shared["stderr"];
    }
}

TEST_F(NetfilterEnforcement, ClientHelloSplitOverTwoSegmentsIsRead) {
    for (const int family : {4, 6}) {
        SCOPED_TRACE("IPv" + std::to_string(family));
        const auto blocked = lab_->client(
            {"tls", address(family, labplan::shared), "blocked.example", "--split", "40"});
        expectClientCut(blocked, "https");
        const auto allowed = lab_->client(
            {"tls", address(family, labplan::shared), "allowed.example", "--split", "40"});
        EXPECT_EQ(allowed["result"], "ok") << allowed["detail"] << allowed["stderr"];
        EXPECT_EQ(allowed["detail"], "HTTP/1.1_200_OK");
    }
}

TEST_F(NetfilterEnforcement, EchHelloIsJudgedByItsVisibleNameAndTheAddressNames) {
    // The address DNS gave only to blocked names; then two addresses without names.
    const struct {
        int address;
        std::vector<std::string> lookups;
        std::string visibleName;
        bool cut;
    } rows[] = {
        {labplan::echHidden, {"hidden.blocked.example"}, "public.allowed.example", true},
        {labplan::echUnnamed, {}, "ech.blocked.example", true},
        {labplan::echAllowed, {}, "public.allowed.example", false},
    };
    for (const int family : {4, 6}) {
        for (const auto& row : rows) {
            SCOPED_TRACE(row.visibleName + " to ." + std::to_string(row.address) + " over IPv" +
                         std::to_string(family));
            const auto result =
                clientAfter({"ech", address(family, row.address), row.visibleName}, row.lookups);
            if (row.cut) {
                expectClientCut(result, "https");
            } else {
                EXPECT_EQ(result["result"], "ok") << result["detail"] << result["stderr"];
                EXPECT_EQ(result["detail"], "record0x16");  // the server's ServerHello
            }
        }
    }
}

TEST_F(NetfilterEnforcement, FlowWithoutNameIsJudgedByTheNamesDnsGaveItsAddress) {
    // Without names: held while its first 4096 bytes are watched for a name, then let go whole.
    const struct {
        int address;
        std::vector<std::string> lookups;
        bool cut;
    } rows[] = {
        {labplan::onlyBlocked, {"only.blocked.example"}, true},
        {labplan::mixed, {"mixed.blocked.example", "mixed.allowed.example"}, false},
        {labplan::unnamed, {}, false},
    };
    for (const int family : {4, 6}) {
        for (const auto& row : rows) {
            SCOPED_TRACE("." + std::to_string(row.address) + " over IPv" + std::to_string(family));
            const auto result =
                clientAfter({"raw", address(family, row.address), "9000"}, row.lookups);
            if (row.cut) {
                expectClientCut(result, "sink");
                continue;
            }
            EXPECT_EQ(result["result"], "ok") << result["detail"] << result["stderr"];
            const auto sunk = lab_->waitForRecord("sink", result.number("port"), 10s);
            ASSERT_TRUE(sunk);
            EXPECT_EQ(sunk->number("received"), 10000);
            EXPECT_EQ((*sunk)["end"], "eof");
        }
    }
}

TEST_F(NetfilterEnforcement, ChromiumIsCutForABlockedNameOverTcp) {
    const auto blocked = lab_->browse("https://browse.blocked.example/", false, 20s);
    EXPECT_TRUE(blocked.finished) << blocked.log;
    EXPECT_EQ(blocked.dom.find("hello browse.blocked.example"), std::string::npos);
    for (const auto& record : lab_->serverRecords()) {
        EXPECT_NE(record["name"], "browse.blocked.example") << "served port " << record["port"];
    }
    const auto allowed = lab_->browse("https://browse.allowed.example/", false, 20s);
    ASSERT_TRUE(allowed.finished) << allowed.log;
    EXPECT_NE(allowed.dom.find("hello browse.allowed.example"), std::string::npos) << allowed.log;
}

TEST_F(NetfilterEnforcement, ChromiumQuicReachesTheServerOnlyForAnAllowedName) {
    // The server cannot answer QUIC; what counts is which Initials reach it.
    lab_->browse("https://quic.blocked.example/", true, 3s);
    EXPECT_EQ(lab_->datagramsTo(labplan::quicBlocked), 0) << filterLog();
    lab_->browse("https://quic.allowed.example/", true, 3s);
    EXPECT_GT(lab_->datagramsTo(labplan::quicAllowed), 0) << filterLog();
}

TEST_F(NetfilterEnforcement, QuicInitialReachesTheServerOnlyWhenItNamesAnAllowedHost) {
    // Split "0": one Initial; else two, the later CRYPTO bytes first.
    for (const int family : {4, 6}) {
        for (const bool allowed : {false, true}) {
            for (const std::string split : {"0", "300"}) {
                const std::string name = allowed ? "quic.allowed.example" : "quic.blocked.example";
                SCOPED_TRACE(name + " split at " + split + " over IPv" + std::to_string(family));
                const auto sent = lab_->client(
                    {"quic", address(family, allowed ? labplan::quicAllowed : labplan::quicBlocked),
                     name, "--split", split, "--timeout", "0.5"});
                ASSERT_NE(sent["result"], "error") << sent["detail"] << sent["stderr"];
                EXPECT_EQ(lab_->datagramsFrom(sent.number("port")),
                          allowed ? (split == "0" ? 1 : 2) : 0)
                    << filterLog();
            }
        }
    }
}

TEST_F(NetfilterEnforcement, UdpToOtherPortsIsNotTouched) {
    for (const int family : {4, 6}) {
        SCOPED_TRACE("IPv" + std::to_string(family));
        // Even a QUIC Initial naming a blocked host, to an address only blocked names have.
        const auto sent = lab_->client({"quic", address(family, labplan::onlyBlocked),
                                        "only.blocked.example", "--port", "9000", "--split", "300",
                                        "--timeout", "0.3", "--resolve", "only.blocked.example"});
        EXPECT_EQ(sent["result"], "ok") << sent["detail"] << sent["stderr"];
        EXPECT_EQ(lab_->datagramsFrom(sent.number("port")), 2);
    }
}

TEST_F(NetfilterEnforcement, ProbeDomainIsEnforcedUntilItExpires) {
    directiveChanged_ = true;
    const auto published = publishAndAdopt({"--probe", "probe.example", "--probe-seconds", "2"});
    std::smatch until;
    ASSERT_TRUE(std::regex_search(published.standardOutput, until,
                                  std::regex("probe probe\\.example until ([0-9.]+)")))
        << published.standardOutput;
    expectCut(curl("https://probe.example/"), "https");
    expectCut(curl("http://probe.example/", 6), "http");

    // Directive instants count from 2001-01-01T00:00:00Z.
    const auto expiry = std::chrono::system_clock::time_point(std::chrono::milliseconds(
        static_cast<long long>((std::stod(until[1]) + 978307200.0) * 1000)));
    std::this_thread::sleep_until(expiry + 300ms);
    expectFetched(curl("https://probe.example/"), "probe.example");
    expectFetched(curl("http://probe.example/", 6), "probe.example");
    expectCut(curl("https://blocked.example/"), "https");
}

TEST_F(NetfilterEnforcement, GrowthCutsALiveFlowToTheNewlyBlockedName) {
    auto held = lab_->start(
        Side::client,
        lab_->clientCommand({"hold", NamespaceLab::address4(labplan::grow), "grow.example",
                             "--interval", "0.1", "--limit", "8", "--resolve", "grow.example"}));
    const std::string opened = held->readLine(10s);
    ASSERT_EQ(opened.rfind("open=yes", 0), 0u) << opened << held->errorText();

    directiveChanged_ = true;
    publishAndAdopt({"--domain", "blocked.example", "--domain", "grow.example"});
    const std::string ended = held->readLine(1s);
    EXPECT_NE(ended.find("result=reset"), std::string::npos)
        << "within 1 s of the adoption: '" << ended << "'";
    expectCut(curl("http://grow.example/"), "http");
}

TEST_F(NetfilterEnforcement, IdleDirectiveStopsEnforcingAndANewScopeResumesIt) {
    directiveChanged_ = true;
    std::size_t from = filter_->errorSize();
    publishAndAdopt({"--idle", "--force"});
    ASSERT_TRUE(filter_->waitForError("netfilter rules: dnsOnly", 5s, from)) << filterLog();
    expectFetched(curl("https://idle.blocked.example/"), "idle.blocked.example");
    expectFetched(curl("http://idle.blocked.example/", 6), "idle.blocked.example");

    from = filter_->errorSize();
    publishBase();
    ASSERT_TRUE(filter_->waitForError("netfilter rules: enforcing", 5s, from)) << filterLog();
    expectCut(curl("https://idle.blocked.example/"), "https");
    expectCut(curl("http://idle.blocked.example/", 6), "http");
}

TEST_F(NetfilterEnforcement, KilledFilterFailsClosedKeepsDnsAndARestartRecovers) {
    filter_->signal(SIGKILL);
    ASSERT_TRUE(filter_->waitForExit(5s));
    for (const std::string scheme : {"https", "http"}) {
        SCOPED_TRACE(scheme);
        const auto fetch = curl(scheme + "://restart.allowed.example/");
        EXPECT_TRUE(wasReset(fetch)) << "curl " << fetch.exitCode << ": " << fetch.error;
    }
    const auto answer = lab_->client({"resolve", "restart.allowed.example"});
    EXPECT_NE(answer["restart.allowed.example"].find(NamespaceLab::address4(labplan::restart)),
              std::string::npos)
        << answer["stderr"];

    startFilter();
    expectFetched(curl("https://restart.allowed.example/"), "restart.allowed.example");
    expectCut(curl("https://restart.blocked.example/", 6), "https");
}

TEST_F(NetfilterEnforcement, RulesSomeoneRemovesAreRestoredAndTheGapIsLogged) {
    const std::size_t from = filter_->errorSize();
    for (const std::string tool : {"iptables", "ip6tables"}) {
        const auto deleted = lab_->run(Side::client, {"/usr/sbin/" + tool, "-w", "-t", "mangle",
                                                      "-D", "OUTPUT", "-j", "TOLVANE-OUT"});
        ASSERT_EQ(deleted.exitCode, 0) << deleted.standardError;
    }
    // Checked every 5 s: restored by the next check, with the degraded health said first.
    ASSERT_TRUE(filter_->waitForError("enforcement degraded: failedOpen", 8s, from)) << filterLog();
    ASSERT_TRUE(filter_->waitForError("netfilter rules: enforcing", 5s, from)) << filterLog();
    for (const std::string tool : {"iptables", "ip6tables"}) {
        EXPECT_EQ(lab_->run(Side::client, {"/usr/sbin/" + tool, "-w", "-t", "mangle", "-C",
                                           "OUTPUT", "-j", "TOLVANE-OUT"})
                      .exitCode,
                  0)
            << tool;
    }
    expectCut(curl("https://blocked.example/"), "https");
}

TEST_F(NetfilterEnforcement, StopKeepsTheRulesAndRemoveRulesClearsThemAll) {
    auto saved = [](const std::string& save) {
        return lab_->run(Side::client, {"/usr/sbin/" + save}).standardOutput;
    };

    filter_->signal(SIGTERM);
    const auto stopped = filter_->waitForExit(5s);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(stopped->exitCode, 0) << stopped->standardError;
    for (const std::string save : {"iptables-save", "ip6tables-save"}) {
        for (const std::string chain : {"TOLVANE-OUT", "TOLVANE-DNS", "TOLVANE-GATE"}) {
            EXPECT_NE(saved(save).find(chain), std::string::npos) << save << " " << chain;
        }
    }
    EXPECT_TRUE(wasReset(curl("https://allowed.example/")));

    const auto removed =
        lab_->run(Side::client, {builtProgram("tolvane-filter"), "--netfilter", "--remove-rules"});
    EXPECT_EQ(removed.exitCode, 0) << removed.standardError;
    for (const std::string save : {"iptables-save", "ip6tables-save"}) {
        EXPECT_EQ(saved(save).find("TOLVANE"), std::string::npos) << save;
    }
    expectFetched(curl("https://blocked.example/"), "blocked.example");
}

}  // namespace
}  // namespace tolvane::testing
