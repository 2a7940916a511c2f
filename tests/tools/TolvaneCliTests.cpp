// The tolvane command-line tool, run as a subprocess: each subcommand's result, its refusals
// (exit 1) and its usage errors (exit 2), and a directive published while tolvane-filter runs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>

#include "TestSupport.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using tolvane::testing::builtProgram;
using tolvane::testing::ChildProcess;
using tolvane::testing::ProcessResult;
using tolvane::testing::runProcess;

const std::string news = "6F1C2A4E-8B3D-4E5F-9A7B-1C2D3E4F5A6B";

class TolvaneCli : public ::testing::Test {
protected:
    ProcessResult run(std::initializer_list<std::string> arguments) const {
        std::vector<std::string> argv{builtProgram("tolvane")};
        argv.insert(argv.end(), arguments);
        return runProcess(argv);
    }
    // Runs with --json and parses standard output.
    json runJSON(std::initializer_list<std::string> arguments, int expectedStatus = 0) const {
        std::vector<std::string> argv{builtProgram("tolvane"), "--json"};
        argv.insert(argv.end(), arguments);
        const auto result = runProcess(argv);
        EXPECT_EQ(result.exitCode, expectedStatus) << result.standardError;
        return json::parse(result.standardOutput.empty() ? "null" : result.standardOutput);
    }
    std::string directory() const { return (temporary.path() / "directives").string(); }
    std::string state() const { return (temporary.path() / "state.json").string(); }
    std::string file() const { return directory() + "/enforcement-directive.json"; }
    json directiveOnDisk() const {
        std::ifstream in(file());
        return json::parse(in);
    }
    static std::string websites() { return TOLVANE_SOURCE_DIR "/examples/websites.json"; }

    tolvane::testing::TemporaryDirectory temporary;
};

void expectRefused(const ProcessResult& result, const std::string& message) {
    EXPECT_EQ(result.exitCode, 1) << result.standardOutput;
    EXPECT_NE(result.standardError.find(message), std::string::npos) << result.standardError;
}

void expectUsageError(const ProcessResult& result, const std::string& message) {
    EXPECT_EQ(result.exitCode, 2) << result.standardOutput;
    EXPECT_NE(result.standardError.find(message), std::string::npos) << result.standardError;
}

TEST_F(TolvaneCli, NormalizeReportsHowEachTextWasReachedAndRejectsTheRest) {
    auto result =
        run({"normalize", "Example.COM.", "https://www.example.com/x", "mail.example.co.uk"});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput,
              "\"Example.COM.\" -> example.com (already registrable)\n"
              "\"https://www.example.com/x\" -> example.com (normalized)\n"
              "\"mail.example.co.uk\" -> example.co.uk (narrower subdomain; narrower alternative "
              "mail.example.co.uk)\n");

    const json out = runJSON({"normalize", "bücher.de", "exa mple.com", "co.uk", ""}, 1);
    EXPECT_EQ(out["results"][0]["registrableDomain"], "xn--bcher-kva.de");
    EXPECT_EQ(out["results"][0]["result"], "normalizedToRegistrable");
    EXPECT_EQ(out["results"][1]["error"]["case"], "invalidHostname");
    EXPECT_EQ(out["results"][1]["error"]["text"], "exa mple.com");
    EXPECT_EQ(out["results"][2]["error"]["case"], "publicSuffixOnly");
    EXPECT_EQ(out["results"][3]["error"]["case"], "emptyInput");
    EXPECT_FALSE(out["results"][3]["error"].contains("text"));

    expectUsageError(run({"normalize"}), "give at least one text");
    expectUsageError(run({"normalize", "--frob", "x"}), "unknown option \"--frob\"");
    EXPECT_EQ(run({"normalize", "--help"}).exitCode, 0);
}

TEST_F(TolvaneCli, SuffixNormalisesTheHostFirst) {
    const json out = runJSON({"suffix", "Shop.Example.CO.UK.", "co.uk", "Bücher.de"});
    EXPECT_EQ(out["results"][0]["host"], "shop.example.co.uk");
    EXPECT_EQ(out["results"][0]["publicSuffix"], "co.uk");
    EXPECT_EQ(out["results"][0]["registrableDomain"], "example.co.uk");
    EXPECT_TRUE(out["results"][1]["registrableDomain"].is_null());
    EXPECT_EQ(out["results"][2]["registrableDomain"], "xn--bcher-kva.de");
    EXPECT_NE(run({"suffix", "co.uk"}).standardOutput.find("registrable domain none"),
              std::string::npos);

    expectRefused(run({"suffix", "example.com", "."}), "");
    expectUsageError(run({"suffix"}), "give at least one host");
}

TEST_F(TolvaneCli, DirectiveShowReadsTheFileAndJudgesTheProbeAtTheGivenInstant) {
    EXPECT_EQ(run({"directive", "show", "--directory", directory()})
                  .standardOutput.rfind("no directive", 0),
              0u);
    fs::create_directories(directory());
    std::ofstream(file())
        << R"({"scope":{"generation":3,"domains":["b.com","a.com"]},)"
           R"("validation":{"domain":"probe.example","expiresAt":615},"publishedAt":600.25})";

    const json live = runJSON({"directive", "show", "--directory", directory(), "--at", "614"});
    EXPECT_EQ(live["generation"], 3);
    EXPECT_EQ(live["directive"]["scope"]["domains"], json({"a.com", "b.com"}));
    EXPECT_EQ(live["probeExpired"], false);
    EXPECT_EQ(live["enforcedDomains"], json({"a.com", "b.com", "probe.example"}));
    const auto expired =
        run({"directive", "show", "--directory", directory(), "--at", "2001-01-01T00:10:15Z"});
    EXPECT_NE(expired.standardOutput.find("probe.example, expired at 615"), std::string::npos)
        << expired.standardOutput;
    EXPECT_NE(expired.standardOutput.find(": a.com, b.com\n"), std::string::npos);

    std::ofstream(file())
        << R"({"scope":{"generation":1,"domains":["not a domain"]},"publishedAt":1})";
    expectRefused(run({"directive", "show", "--directory", directory()}),
                  "is not a valid directive: dataCorrupted at scope.domains[0]");
    expectUsageError(run({"directive", "show", "--at", "soon"}), "--at needs an instant");
    expectUsageError(run({"directive", "show", "extra"}), "unexpected argument");
}

TEST_F(TolvaneCli, DirectivePublishStrengthensByDefault) {
    const json first =
        runJSON({"directive", "publish", "--directory", directory(), "--domain", "mail.example.org",
                 "--domain", "https://www.example.com/", "--at", "2001-01-01T00:10:00.25Z"});
    EXPECT_EQ(first["notes"][0],
              "mail.example.org is a narrower subdomain; using its registrable "
              "domain example.org");
    json onDisk = directiveOnDisk();
    EXPECT_EQ(onDisk["publishedAt"], 600.25);
    EXPECT_EQ(onDisk["scope"]["generation"], 1);
    EXPECT_EQ(onDisk["scope"]["domains"].size(), 2u);

    // Narrowing, or a generation that does not rise, leaves the file as it was.
    expectRefused(
        run({"directive", "publish", "--directory", directory(), "--domain", "example.com"}),
        "it would drop example.org");
    expectRefused(run({"directive", "publish", "--directory", directory(), "--generation", "1",
                       "--domain", "example.com", "--domain", "example.org", "--domain", "c.com"}),
                  "generation 1 does not rise above the current 1");
    expectRefused(run({"directive", "publish", "--directory", directory(), "--idle"}), "drop");
    expectRefused(run({"directive", "publish", "--directory", directory(), "--domain", "co.uk"}),
                  "\"co.uk\" is a public suffix");
    EXPECT_EQ(directiveOnDisk(), onDisk);

    // A probe keeps the scope and is lent for at most 20 seconds.
    ASSERT_EQ(run({"directive", "publish", "--directory", directory(), "--probe", "probe.example",
                   "--probe-seconds", "60", "--at", "1000"})
                  .exitCode,
              0);
    onDisk = directiveOnDisk();
    EXPECT_EQ(onDisk["scope"]["generation"], 1);
    EXPECT_EQ(onDisk["validation"], json({{"domain", "probe.example"}, {"expiresAt", 1020}}));

    ASSERT_EQ(run({"directive", "publish", "--directory", directory(), "--domain", "example.com",
                   "--domain", "example.org", "--domain", "c.com"})
                  .exitCode,
              0);
    EXPECT_EQ(directiveOnDisk()["scope"]["generation"], 2);
    ASSERT_EQ(
        run({"directive", "publish", "--directory", directory(), "--idle", "--force"}).exitCode, 0);
    EXPECT_FALSE(directiveOnDisk().contains("scope"));

    expectUsageError(run({"directive", "publish", "--idle", "--domain", "a.com"}), "--idle");
    expectUsageError(run({"directive", "publish", "--directory", directory()}),
                     "nothing to publish");
    expectUsageError(run({"directive", "publish", "--probe-seconds", "5", "--domain", "a.com"}),
                     "--probe-seconds needs --probe");
    expectUsageError(run({"directive", "publish", "--generation", "two", "--domain", "a.com"}),
                     "--generation needs a whole number");
}

TEST_F(TolvaneCli, InstantsAreSecondsOrUTCText) {
    auto publishedAt = [&](const std::string& at) {
        const json out = runJSON(
            {"directive", "publish", "--directory", directory(), "--idle", "--force", "--at", at});
        return out["directive"]["publishedAt"];
    };
    EXPECT_EQ(publishedAt("-0.5"), -0.5);
    EXPECT_EQ(publishedAt("2001-01-01T00:10:00.25Z"), 600.25);
    EXPECT_EQ(publishedAt("2026-12-05T18:00:00+00:00"), 818186400);
    EXPECT_EQ(publishedAt("2000-02-29T00:00:00Z"), -26524800);
    for (const std::string bad : {"2026-02-29T00:00:00Z", "2026-12-05T18:00:00", "2026-12-05",
                                  "2026-12-05T24:00:00Z", "nan", "1e999", "0x10"}) {
        expectUsageError(run({"directive", "show", "--directory", directory(), "--at", bad}),
                         "--at needs an instant");
    }
    const auto shown = run({"directive", "show", "--directory", directory(), "--at=600.25"});
    EXPECT_NE(shown.standardOutput.find("600.25 (2001-01-01T00:10:00.25Z)"), std::string::npos)
        << shown.standardOutput;
}

TEST_F(TolvaneCli, DirectivePublishRefusesToReplaceAnUnreadableFileUnlessForced) {
    fs::create_directories(directory());
    std::ofstream(file()) << "{";
    expectRefused(run({"directive", "publish", "--directory", directory(), "--domain", "a.com"}),
                  "--force replaces it");
    ASSERT_EQ(
        run({"directive", "publish", "--directory", directory(), "--domain", "a.com", "--force"})
            .exitCode,
        0);
    EXPECT_EQ(directiveOnDisk()["scope"]["domains"], json({"a.com"}));
}

TEST_F(TolvaneCli, CommitmentRunsFromStartToEndAndOnlyEverStrengthens) {
    auto commitment = [&](std::initializer_list<std::string> arguments, const std::string& at) {
        std::vector<std::string> argv{builtProgram("tolvane"), "commitment"};
        argv.insert(argv.end(), arguments);
        argv.insert(argv.end(), {"--state", state(), "--at", at});
        return runProcess(argv);
    };
    EXPECT_EQ(commitment({"status"}, "0").standardOutput, "no commitment\n");
    auto result = commitment({"start", "--websites", websites(), "--group", "News", "--hours", "2",
                              "--directory", directory()},
                             "1000");
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(directiveOnDisk()["scope"]["domains"].size(), 3u);
    EXPECT_EQ(directiveOnDisk()["scope"]["generation"], 1);
    expectRefused(commitment({"start", "--websites", websites(), "--all", "--hours", "1"}, "1500"),
                  "already holds a commitment active until 8200");

    result = commitment({"strengthen", "--domain", "https://www.video.example/watch"}, "2000");
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(directiveOnDisk()["scope"]["generation"], 2);
    expectRefused(commitment({"strengthen", "--websites", websites(), "--group", news}, "2000"),
                  "nothing new");

    // Extensions count from activation: at most 24 hours after 1000.
    result = commitment({"extend", "--hours", "30"}, "3000");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(
        result.standardOutput.find("exceedsOriginalBoundary, the latest permitted end is 87400"),
        std::string::npos)
        << result.standardOutput;
    EXPECT_NE(result.standardOutput.find("a further 22h 00m 00s"), std::string::npos);
    result = commitment({"extend", "--minutes", "60"}, "3000");
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_NE(result.standardOutput.find("now ends at 11800"), std::string::npos);
    expectRefused(commitment({"extend", "--until", "11800"}, "3000"),
                  "not later than the current one");

    std::vector<std::string> status{builtProgram("tolvane"),
                                    "commitment",
                                    "status",
                                    "--json",
                                    "--state",
                                    state(),
                                    "--at",
                                    "4600"};
    const json shown = json::parse(runProcess(status).standardOutput)["commitment"];
    EXPECT_EQ(shown["scope"]["generation"], 2);
    EXPECT_EQ(shown["scope"]["domains"],
              json({"daily.example", "news.example", "social.example", "video.example"}));
    EXPECT_EQ(shown["projectedEnd"], 11800);
    EXPECT_EQ(shown["projectedEndText"], "2001-01-01T03:16:40Z");
    EXPECT_EQ(shown["remainingSeconds"], 7200);
    EXPECT_EQ(shown["health"], "healthy");

    expectRefused(commitment({"end"}, "11799"), "it cannot end before then");
    ASSERT_EQ(commitment({"end"}, "11800").exitCode, 0);
    EXPECT_FALSE(directiveOnDisk().contains("scope"));
    EXPECT_EQ(commitment({"status"}, "11800").standardOutput, "no commitment\n");
    // Every write went through a temporary file that was renamed into place.
    for (const auto& entry : fs::directory_iterator(temporary.path())) {
        EXPECT_EQ(entry.path().filename().string().rfind('.', 0), std::string::npos)
            << entry.path();
    }
}

TEST_F(TolvaneCli, CommitmentRefusesWhatWouldNarrowOrNameNothing) {
    ASSERT_EQ(
        run({"directive", "publish", "--directory", directory(), "--domain", "elsewhere.example"})
            .exitCode,
        0);
    // Another publisher's domain is never lifted by the commitment workflow.
    expectRefused(run({"commitment", "start", "--state", state(), "--websites", websites(), "--all",
                       "--minutes", "30", "--directory", directory()}),
                  "also enforces elsewhere.example");
    const std::string list = (temporary.path() / "list.json").string();
    std::ofstream(list) << R"({"websites":[{"domain":"a.com","groups":[]}],)"
                           R"("groups":[{"id":")" +
                               news + R"(","name":"Empty"}]})";
    expectRefused(run({"commitment", "start", "--state", state(), "--websites", list, "--group",
                       "Empty", "--minutes", "30", "--directory", directory()}),
                  "the selection names no websites");
    expectRefused(run({"commitment", "start", "--state", state(), "--websites", list, "--all",
                       "--hours", "25", "--directory", directory()}),
                  "at most 24 hours");
    expectRefused(run({"commitment", "strengthen", "--state", state(), "--domain", "a.com"}),
                  "no commitment in");

    expectUsageError(run({"commitment", "start", "--state", state(), "--websites", list, "--all"}),
                     "give one of --seconds, --minutes, --hours");
    expectUsageError(
        run({"commitment", "strengthen", "--state", state(), "--domain", "a.com", "--all"}),
        "give either --domain or a selection");
    expectUsageError(run({"commitment", "status"}), "--state FILE is required");
    expectUsageError(run({"commitment", "resume"}), "unknown subcommand \"resume\"");
}

TEST_F(TolvaneCli, CommitmentStateAndDirectiveNeverDisagree) {
    auto startAt = [&](const std::string& at, const std::string& directory) {
        return run({"commitment", "start", "--state", state(), "--websites", websites(), "--group",
                    "Streaming", "--seconds", "600", "--directory", directory, "--at", at});
    };
    // A directive that cannot be published leaves no state behind.
    expectRefused(startAt("0", "/proc/no-such-directory"), "cannot publish the directive");
    EXPECT_FALSE(fs::exists(state()));

    ASSERT_EQ(startAt("0", directory()).exitCode, 0);
    const json clamped = runJSON(
        {"commitment", "extend", "--state", state(), "--hours", "48", "--clamp", "--at", "100"});
    EXPECT_EQ(clamped["ruling"]["case"], "exceedsOriginalBoundary");
    EXPECT_EQ(clamped["granted"], true);
    EXPECT_EQ(clamped["commitment"]["projectedEnd"], 86400);
    EXPECT_EQ(clamped["commitment"]["maximumExtension"], 0);

    // Someone else narrows the directive by force: the commitment reports it as degraded.
    ASSERT_EQ(run({"directive", "publish", "--directory", directory(), "--domain", "video.example",
                   "--generation", "9", "--force"})
                  .exitCode,
              0);
    json status = runJSON({"commitment", "status", "--state", state(), "--at", "200"});
    EXPECT_EQ(status["commitment"]["health"], "degraded");
    EXPECT_EQ(status["commitment"]["healthDetail"],
              "the directive in " + directory() + " does not enforce social.example");

    EXPECT_EQ(runJSON({"commitment", "start", "--state", state(), "--websites", websites(), "--all",
                       "--minutes", "1", "--at", "500"},
                      1)["error"],
              state() + " already holds a commitment active until 86400 (2001-01-02T00:00:00Z)");
    // Once ended, the same state file may start anew and lift what its commitment published.
    ASSERT_EQ(run({"commitment", "start", "--state", state(), "--websites", websites(), "--group",
                   "News", "--minutes", "1", "--at", "86400"})
                  .exitCode,
              0);
    EXPECT_EQ(directiveOnDisk()["scope"]["generation"], 1);
    EXPECT_EQ(directiveOnDisk()["scope"]["domains"].size(), 3u);
}

// A scope published with the tool while tolvane-filter runs changes its later verdicts.
TEST_F(TolvaneCli, ARunningFilterAdoptsAPublishedScope) {
    fs::create_directories(directory());  // the filter watches a directory that exists
    ChildProcess filter(
        {builtProgram("tolvane-filter"), "--directory", directory(), "--clock", "1000"});
    const std::string flow = R"({"event":"newFlow","flow":1,"remoteHostname":"mail.example.com"})"
                             "\n";
    filter.write(flow);
    EXPECT_EQ(filter.readLine().find("\"verdict\":\"drop\""), std::string::npos);

    const auto published = run({"directive", "publish", "--directory", directory(), "--domain",
                                "www.example.com", "--at", "1000"});
    ASSERT_EQ(published.exitCode, 0) << published.standardError;
    ASSERT_TRUE(filter.waitForError("adopted directive"));
    filter.write(flow);
    EXPECT_NE(filter.readLine().find("\"verdict\":\"drop\""), std::string::npos);
    filter.write(R"({"event":"newFlow","flow":2,"remoteHostname":"example.org"})"
                 "\n");
    EXPECT_EQ(filter.readLine().find("\"verdict\":\"drop\""), std::string::npos);
    EXPECT_EQ(filter.wait().exitCode, 0);
}

}  // namespace
