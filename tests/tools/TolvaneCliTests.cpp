// The tolvane command-line tool, run as a subprocess: each subcommand's result, its refusals
// (exit 1) and its usage errors (exit 2), and a directive published while tolvane-filter runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "TestSupport.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tolvane::testing::builtProgram;
using tolvane::testing::ProcessResult;

const std::string news = "6F1C2A4E-8B3D-4E5F-9A7B-1C2D3E4F5A6B";

class TolvaneCli : public ::testing::Test {
protected:
    ProcessResult run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), builtProgram("tolvane"));
        return tolvane::testing::runProcess(arguments);
    }
    // Runs with --json and parses standard output.
    json runJSON(std::vector<std::string> arguments, int expectedStatus = 0) const {
        arguments.insert(arguments.begin(), "--json");
        const auto result = run(std::move(arguments));
        EXPECT_EQ(result.exitCode, expectedStatus) << result.standardError;
        return json::parse(result.standardOutput.empty() ? "null" : result.standardOutput);
    }
    // tolvane directive publish --directory DIRECTORY ARGUMENTS...
    ProcessResult publish(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"directive", "publish", "--directory", directory()});
        return run(std::move(arguments));
    }
    ProcessResult show(const std::string& at) const {
        return run({"directive", "show", "--directory", directory(), "--at", at});
    }
    // tolvane commitment ARGUMENTS... --state STATE
    ProcessResult commitment(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "commitment");
        arguments.insert(arguments.end(), {"--state", state()});
        return run(std::move(arguments));
    }
    std::string directory() const { return (temporary.path() / "directives").string(); }
    std::string state() const { return (temporary.path() / "state.json").string(); }
    std::string file() const { return directory() + "/enforcement-directive.json"; }
    json onDisk() const { return json::parse(std::ifstream(file())); }
    static std::string websites() { return TOLVANE_SOURCE_DIR "/examples/websites.json"; }

    tolvane::testing::TemporaryDirectory temporary;
};

// A refusal exits 1, a usage error 2; either says why on standard error.
void expectFailure(const ProcessResult& result, int status, const std::string& message) {
    EXPECT_EQ(result.exitCode, status) << result.standardOutput;
    EXPECT_NE(result.standardError.find(message), std::string::npos) << result.standardError;
}
void expectRefused(const ProcessResult& r, const std::string& m) {
    expectFailure(r, 1, m);
}
void expectUsageError(const ProcessResult& r, const std::string& m) {
    expectFailure(r, 2, m);
}
void expectOutput(const ProcessResult& result, const std::string& text) {
    EXPECT_NE(result.standardOutput.find(text), std::string::npos) << result.standardOutput;
}

TEST_F(TolvaneCli, NormalizeAndSuffixReportEachTextAndRejectTheRest) {
    auto result =
        run({"normalize", "Example.COM.", "https://www.example.com/x", "mail.example.co.uk"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput,
              "\"Example.COM.\" -> example.com (already registrable)\n"
              "\"https://www.example.com/x\" -> example.com (normalized)\n"
              "\"mail.example.co.uk\" -> example.co.uk (narrower subdomain; narrower alternative "
              "mail.example.co.uk)\n");
    json out = runJSON({"normalize", "bücher.de", "exa mple.com", "co.uk", ""}, 1)["results"];
    EXPECT_EQ(out[0]["registrableDomain"], "xn--bcher-kva.de");
    EXPECT_EQ(out[0]["result"], "normalizedToRegistrable");
    EXPECT_EQ(out[1]["error"]["case"], "invalidHostname");
    EXPECT_EQ(out[1]["error"]["text"], "exa mple.com");
    EXPECT_EQ(out[2]["error"]["case"], "publicSuffixOnly");
    EXPECT_EQ(out[3]["error"]["case"], "emptyInput");
    EXPECT_FALSE(out[3]["error"].contains("text"));
    expectUsageError(run({"normalize"}), "give at least one text");
    expectUsageError(run({"normalize", "--frob", "x"}), "unknown option \"--frob\"");
    EXPECT_EQ(run({"normalize", "--help"}).exitCode, 0);

    // suffix normalises the host first.
    out = runJSON({"suffix", "Shop.Example.CO.UK.", "co.uk", "Bücher.de"})["results"];
    EXPECT_EQ(out[0]["host"], "shop.example.co.uk");
    EXPECT_EQ(out[0]["publicSuffix"], "co.uk");
    EXPECT_EQ(out[0]["registrableDomain"], "example.co.uk");
    EXPECT_TRUE(out[1]["registrableDomain"].is_null());
    EXPECT_EQ(out[2]["registrableDomain"], "xn--bcher-kva.de");
    expectOutput(run({"suffix", "co.uk"}), "registrable domain none");
    expectRefused(run({"suffix", "example.com", "."}), "");
    expectUsageError(run({"suffix"}), "give at least one host");
}

TEST_F(TolvaneCli, DirectiveShowReadsTheFileAndJudgesTheProbeAtTheGivenInstant) {
    EXPECT_EQ(show("0").standardOutput.rfind("no directive", 0), 0u);
    fs::create_directories(directory());
    std::ofstream(file())
        << R"({"scope":{"generation":3,"domains":["b.com","a.com"]},)"
           R"("validation":{"domain":"probe.example","expiresAt":615},"publishedAt":600.25})";
    const json live = runJSON({"directive", "show", "--directory", directory(), "--at", "614"});
    EXPECT_EQ(live["generation"], 3);
    EXPECT_EQ(live["directive"]["scope"]["domains"], json({"a.com", "b.com"}));
    EXPECT_EQ(live["probeExpired"], false);
    EXPECT_EQ(live["enforcedDomains"], json({"a.com", "b.com", "probe.example"}));
    const auto expired = show("2001-01-01T00:10:15Z");
    expectOutput(expired, "probe.example, expired at 615");
    expectOutput(expired, ": a.com, b.com\n");

    std::ofstream(file())
        << R"({"scope":{"generation":1,"domains":["not a domain"]},"publishedAt":1})";
    expectRefused(show("0"), "is not a valid directive: dataCorrupted at scope.domains[0]");
    expectUsageError(run({"directive", "show", "extra"}), "unexpected argument");
}

TEST_F(TolvaneCli, DirectivePublishStrengthensByDefault) {
    const json first =
        runJSON({"directive", "publish", "--directory", directory(), "--domain", "mail.example.org",
                 "--domain", "https://www.example.com/", "--at", "2001-01-01T00:10:00.25Z"});
    EXPECT_EQ(first["notes"][0],
              "mail.example.org is a narrower subdomain; using its registrable domain example.org");
    const json published = onDisk();
    EXPECT_EQ(published["publishedAt"], 600.25);
    EXPECT_EQ(published["scope"]["generation"], 1);
    EXPECT_EQ(published["scope"]["domains"].size(), 2u);

    // Narrowing, a generation that does not rise, or a bad name leaves the file as it was.
    expectRefused(publish({"--domain", "example.com"}), "it would drop example.org");
    expectRefused(publish({"--generation", "1", "--domain", "example.com", "--domain",
                           "example.org", "--domain", "c.com"}),
                  "generation 1 does not rise above the current 1");
    expectRefused(publish({"--idle"}), "drop");
    expectRefused(publish({"--domain", "co.uk"}), "\"co.uk\" is a public suffix");
    EXPECT_EQ(onDisk(), published);

    // A probe keeps the scope and is lent for at most 20 seconds.
    ASSERT_EQ(
        publish({"--probe", "probe.example", "--probe-seconds", "60", "--at", "1000"}).exitCode, 0);
    EXPECT_EQ(onDisk()["scope"]["generation"], 1);
    EXPECT_EQ(onDisk()["validation"], json({{"domain", "probe.example"}, {"expiresAt", 1020}}));
    ASSERT_EQ(publish({"--domain", "example.com", "--domain", "example.org", "--domain", "c.com"})
                  .exitCode,
              0);
    EXPECT_EQ(onDisk()["scope"]["generation"], 2);
    ASSERT_EQ(publish({"--idle", "--force"}).exitCode, 0);
    EXPECT_FALSE(onDisk().contains("scope"));

    // An unreadable file is replaced only by force.
    std::ofstream(file()) << "{";
    expectRefused(publish({"--domain", "a.com"}), "--force replaces it");
    ASSERT_EQ(publish({"--domain", "a.com", "--force"}).exitCode, 0);
    EXPECT_EQ(onDisk()["scope"]["domains"], json({"a.com"}));

    expectUsageError(publish({"--idle", "--domain", "a.com"}), "--idle");
    expectUsageError(publish({}), "nothing to publish");
    expectUsageError(publish({"--probe-seconds", "5", "--domain", "a.com"}),
                     "--probe-seconds needs --probe");
    expectUsageError(publish({"--generation", "two", "--domain", "a.com"}),
                     "--generation needs a whole number");
}

TEST_F(TolvaneCli, InstantsAreSecondsOrUTCText) {
    for (auto [at, seconds] :
         std::vector<std::pair<std::string, double>>{{"-0.5", -0.5},
                                                     {"2001-01-01T00:10:00.25Z", 600.25},
                                                     {"2026-12-05T18:00:00+00:00", 818186400},
                                                     {"2000-02-29T00:00:00Z", -26524800}}) {
        EXPECT_EQ(runJSON({"directive", "publish", "--directory", directory(), "--idle", "--force",
                           "--at", at})["directive"]["publishedAt"],
                  seconds)
            << at;
    }
    for (const std::string bad : {"2026-02-29T00:00:00Z", "2026-12-05T18:00:00", "2026-12-05",
                                  "2026-12-05T24:00:00Z", "nan", "1e999", "0x10", "soon"}) {
        expectUsageError(show(bad), "--at needs an instant");
    }
    expectOutput(run({"directive", "show", "--directory", directory(), "--at=600.25"}),
                 "600.25 (2001-01-01T00:10:00.25Z)");
}

TEST_F(TolvaneCli, CommitmentRunsFromStartToEndAndOnlyEverStrengthens) {
    EXPECT_EQ(commitment({"status", "--at", "0"}).standardOutput, "no commitment\n");
    auto result = commitment({"start", "--websites", websites(), "--group", "News", "--hours", "2",
                              "--directory", directory(), "--at", "1000"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(onDisk()["scope"]["domains"].size(), 3u);
    EXPECT_EQ(onDisk()["scope"]["generation"], 1);
    expectRefused(
        commitment({"start", "--websites", websites(), "--all", "--hours", "1", "--at", "1500"}),
        "already holds a commitment active until 8200");

    result =
        commitment({"strengthen", "--domain", "https://www.video.example/watch", "--at", "2000"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(onDisk()["scope"]["generation"], 2);
    expectRefused(
        commitment({"strengthen", "--websites", websites(), "--group", news, "--at", "2000"}),
        "nothing new");

    // Extensions count from activation: at most 24 hours after 1000.
    result = commitment({"extend", "--hours", "30", "--at", "3000"});
    EXPECT_EQ(result.exitCode, 1);
    expectOutput(result, "exceedsOriginalBoundary, the latest permitted end is 87400");
    expectOutput(result, "a further 22h 00m 00s");
    result = commitment({"extend", "--minutes", "60", "--at", "3000"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    expectOutput(result, "now ends at 11800");
    expectRefused(commitment({"extend", "--until", "11800", "--at", "3000"}),
                  "not later than the current one");

    const json shown =
        json::parse(commitment({"status", "--json", "--at", "4600"}).standardOutput)["commitment"];
    EXPECT_EQ(shown["scope"]["generation"], 2);
    EXPECT_EQ(shown["scope"]["domains"],
              json({"daily.example", "news.example", "social.example", "video.example"}));
    EXPECT_EQ(shown["projectedEnd"], 11800);
    EXPECT_EQ(shown["projectedEndText"], "2001-01-01T03:16:40Z");
    EXPECT_EQ(shown["remainingSeconds"], 7200);
    EXPECT_EQ(shown["health"], "healthy");

    expectRefused(commitment({"end", "--at", "11799"}), "it cannot end before then");
    ASSERT_EQ(commitment({"end", "--at", "11800"}).exitCode, 0);
    EXPECT_FALSE(onDisk().contains("scope"));
    EXPECT_EQ(commitment({"status", "--at", "11800"}).standardOutput, "no commitment\n");
    // Every write went through a temporary file that was renamed into place.
    for (const auto& entry : fs::directory_iterator(temporary.path())) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    }
}

TEST_F(TolvaneCli, CommitmentRefusesWhatWouldNarrowOrNameNothing) {
    ASSERT_EQ(publish({"--domain", "elsewhere.example"}).exitCode, 0);
    // Another publisher's domain is never lifted by the commitment workflow.
    expectRefused(commitment({"start", "--websites", websites(), "--all", "--minutes", "30",
                              "--directory", directory()}),
                  "also enforces elsewhere.example");
    const std::string list = (temporary.path() / "list.json").string();
    std::ofstream(list) << R"({"websites":[{"domain":"a.com","groups":[]}],"groups":[{"id":")" +
                               news + R"(","name":"Empty"}]})";
    expectRefused(commitment({"start", "--websites", list, "--group", "Empty", "--minutes", "30",
                              "--directory", directory()}),
                  "the selection names no websites");
    expectRefused(commitment({"start", "--websites", list, "--all", "--hours", "25", "--directory",
                              directory()}),
                  "at most 24 hours");
    expectRefused(commitment({"strengthen", "--domain", "a.com"}), "no commitment in");

    expectUsageError(commitment({"start", "--websites", list, "--all"}),
                     "give one of --seconds, --minutes, --hours");
    expectUsageError(commitment({"strengthen", "--domain", "a.com", "--all"}),
                     "give either --domain or a selection");
    expectUsageError(run({"commitment", "status"}), "--state FILE is required");
    expectUsageError(run({"commitment", "resume"}), "unknown subcommand \"resume\"");
}

TEST_F(TolvaneCli, CommitmentStateAndDirectiveNeverDisagree) {
    const auto start = [&](const std::string& directory) {
        return commitment({"start", "--websites", websites(), "--group", "Streaming", "--seconds",
                           "600", "--directory", directory, "--at", "0"});
    };
    // A directive that cannot be published leaves no state behind.
    expectRefused(start("/proc/no-such-directory"), "cannot publish the directive");
    EXPECT_FALSE(fs::exists(state()));

    ASSERT_EQ(start(directory()).exitCode, 0);
    const json clamped = runJSON(
        {"commitment", "extend", "--state", state(), "--hours", "48", "--clamp", "--at", "100"});
    EXPECT_EQ(clamped["ruling"]["case"], "exceedsOriginalBoundary");
    EXPECT_EQ(clamped["granted"], true);
    EXPECT_EQ(clamped["commitment"]["projectedEnd"], 86400);
    EXPECT_EQ(clamped["commitment"]["maximumExtension"], 0);

    // Someone else narrows the directive by force: the commitment reports it as degraded.
    ASSERT_EQ(publish({"--domain", "video.example", "--generation", "9", "--force"}).exitCode, 0);
    const json status = runJSON({"commitment", "status", "--state", state(), "--at", "200"});
    EXPECT_EQ(status["commitment"]["health"], "degraded");
    EXPECT_EQ(status["commitment"]["healthDetail"],
              "the directive in " + directory() + " does not enforce social.example");

    EXPECT_EQ(runJSON({"commitment", "start", "--state", state(), "--websites", websites(), "--all",
                       "--minutes", "1", "--at", "500"},
                      1)["error"],
              state() + " already holds a commitment active until 86400 (2001-01-02T00:00:00Z)");
    // Once ended, the same state file may start anew and lift what its commitment published.
    ASSERT_EQ(commitment({"start", "--websites", websites(), "--group", "News", "--minutes", "1",
                          "--at", "86400"})
                  .exitCode,
              0);
    EXPECT_EQ(onDisk()["scope"]["generation"], 1);
    EXPECT_EQ(onDisk()["scope"]["domains"].size(), 3u);
}

// A scope published with the tool while tolvane-filter runs changes its later verdicts.
TEST_F(TolvaneCli, ARunningFilterAdoptsAPublishedScope) {
    fs::create_directories(directory());  // the filter watches a directory that exists
    tolvane::testing::ChildProcess filter(
        {builtProgram("tolvane-filter"), "--directory", directory(), "--clock", "1000"});
    const auto verdict = [&](int flow, const std::string& host) {
        filter.write(R"({"event":"newFlow","flow":)" + std::to_string(flow) +
                     R"(,"remoteHostname":")" + host + "\"}\n");
        return filter.readLine().find("\"verdict\":\"drop\"") != std::string::npos;
    };
    EXPECT_FALSE(verdict(1, "mail.example.com"));
    const auto published = publish({"--domain", "www.example.com", "--at", "1000"});
    ASSERT_EQ(published.exitCode, 0) << published.standardError;
    ASSERT_TRUE(filter.waitForError("adopted directive"));
    EXPECT_TRUE(verdict(1, "mail.example.com"));
    EXPECT_FALSE(verdict(2, "example.org"));
    EXPECT_EQ(filter.wait().exitCode, 0);
}

}  // namespace
