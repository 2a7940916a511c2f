// The tolvane command-line tool, run as a subprocess: each subcommand's result, its refusals
// (exit 1) and its usage errors (exit 2), and runs at once. The plain workflow and its texts
// are the documentation's console sessions (tests/docs).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

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
    // tolvane commitment start --state STATE --websites EXAMPLES ARGUMENTS...
    ProcessResult start(std::vector<std::string> arguments, std::string stateFile = {}) const {
        if (stateFile.empty()) stateFile = state();
        arguments.insert(arguments.begin(),
                         {"commitment", "start", "--state", stateFile, "--websites", websites()});
        return run(std::move(arguments));
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
    // The scope's domains on disk, sorted; the file keeps no order.
    json domainsOnDisk() const {
        std::vector<std::string> names = onDisk()["scope"]["domains"];
        std::sort(names.begin(), names.end());
        return names;
    }
    // Runs `script` with sh, TOLVANE naming the tool; for runs at once and other working
    // directories.
    ProcessResult shell(const std::string& script) const {
        return tolvane::testing::runProcess({"/bin/sh", "-c", script}, {},
                                            {"TOLVANE=" + builtProgram("tolvane")});
    }
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
// Asserts that a run succeeded, saying why not.
#define ASSERT_RAN(result)                                 \
    do {                                                   \
        const auto ran_ = (result);                        \
        ASSERT_EQ(ran_.exitCode, 0) << ran_.standardError; \
    } while (false)
void expectOutput(const ProcessResult& result, const std::string& text) {
    EXPECT_NE(result.standardOutput.find(text), std::string::npos) << result.standardOutput;
}

// The text forms are the documentation's console sessions; here the JSON errors and refusals.
TEST_F(TolvaneCli, NormalizeAndSuffixReportEachTextAndRejectTheRest) {
    const json out = runJSON({"normalize", "bücher.de", "exa mple.com", ""}, 1)["results"];
    EXPECT_EQ(out[0]["result"], "normalizedToRegistrable");
    EXPECT_EQ(out[1]["error"]["case"], "invalidHostname");
    EXPECT_EQ(out[1]["error"]["text"], "exa mple.com");
    EXPECT_EQ(out[2]["error"]["case"], "emptyInput");
    EXPECT_FALSE(out[2]["error"].contains("text"));
    expectUsageError(run({"normalize"}), "give at least one text");
    expectUsageError(run({"normalize", "--frob", "x"}), "unknown option \"--frob\"");
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

// Notes, narrowing refusals and the probe's 20 seconds are in the documentation's sessions.
TEST_F(TolvaneCli, DirectivePublishStrengthensByDefault) {
    ASSERT_RAN(publish({"--domain", "example.com", "--domain", "example.org"}));
    const json published = onDisk();
    EXPECT_EQ(published["scope"]["generation"], 1);

    // A generation that does not rise or a bad name leaves the file as it was (narrowing is
    // the documentation's).
    expectRefused(publish({"--generation", "1", "--domain", "example.com", "--domain",
                           "example.org", "--domain", "c.com"}),
                  "generation 1 does not rise above the current 1");
    expectRefused(publish({"--domain", "co.uk"}), "\"co.uk\" is a public suffix");
    EXPECT_EQ(onDisk(), published);
    ASSERT_RAN(publish({"--idle", "--force"}));
    EXPECT_FALSE(onDisk().contains("scope"));

    // An unreadable file is replaced only by force.
    std::ofstream(file()) << "{";
    expectRefused(publish({"--domain", "a.com"}), "--force replaces it");
    ASSERT_RAN(publish({"--domain", "a.com", "--force"}));
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

TEST_F(TolvaneCli, CommitmentRefusesWhatNamesNothing) {
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
    expectUsageError(run({"commitment", "status", "--state", ""}), "--state needs a file");
    expectUsageError(run({"commitment", "resume"}), "unknown subcommand \"resume\"");
}

TEST_F(TolvaneCli, CommitmentStateAndDirectiveNeverDisagree) {
    const auto startIn = [&](const std::string& directory) {
        return start(
            {"--group", "Streaming", "--seconds", "600", "--directory", directory, "--at", "0"});
    };
    // A directive that cannot be published leaves no state behind.
    expectRefused(startIn("/proc/no-such-directory"), "cannot publish the directive");
    EXPECT_FALSE(fs::exists(state()));

    ASSERT_RAN(startIn(directory()));
    const json clamped = runJSON(
        {"commitment", "extend", "--state", state(), "--hours", "48", "--clamp", "--at", "100"});
    EXPECT_EQ(clamped["ruling"]["case"], "exceedsOriginalBoundary");
    EXPECT_EQ(clamped["commitment"]["projectedEnd"], 86400);

    // Someone else narrows the directive by force: the commitment reports it as degraded.
    ASSERT_RAN(publish({"--domain", "video.example", "--generation", "9", "--force"}));
    const json status = runJSON({"commitment", "status", "--state", state(), "--at", "200"});
    EXPECT_EQ(status["commitment"]["health"], "degraded");
    EXPECT_EQ(status["commitment"]["healthDetail"],
              "the directive in " + directory() + " does not enforce social.example");

    EXPECT_EQ(runJSON({"commitment", "start", "--state", state(), "--websites", websites(), "--all",
                       "--minutes", "1", "--at", "500"},
                      1)["error"],
              state() + " already holds a commitment active until 86400 (2001-01-02T00:00:00Z)");
    // Once ended, the same state file may start anew and lift what its commitment published;
    // the generation still rises above the one on disk.
    ASSERT_RAN(start({"--group", "News", "--minutes", "1", "--at", "86400"}));
    EXPECT_EQ(onDisk()["scope"]["generation"], 10);
    EXPECT_EQ(domainsOnDisk(), json({"daily.example", "news.example", "social.example"}));

    // Ended but not lifted, the commitment stays with its directory: a start elsewhere would
    // leave it enforced there with no state file to end it.
    expectRefused(start({"--all", "--minutes", "1", "--directory", directory() + "-elsewhere",
                         "--at", "90000"}),
                  "end it first");
    // Without the record of holds no run can tell what other commitments hold.
    std::ofstream(directory() + "/commitments/holds.json") << "{";
    expectRefused(commitment({"end", "--at", "90000"}), "what other commitments hold is unknown");
    EXPECT_EQ(domainsOnDisk(), json({"daily.example", "news.example", "social.example"}));
    // Every write went through a temporary file that was renamed into place.
    for (const auto& entry : fs::directory_iterator(temporary.path())) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    }
}

// Runs at once: each line of `script`'s output is "NAME STATUS" for one run.
std::map<std::string, int> statuses(const ProcessResult& result) {
    std::map<std::string, int> found;
    std::istringstream lines(result.standardOutput);
    std::string name;
    int status = 0;
    while (lines >> name >> status) found[name] = status;
    return found;
}

// `command` with "$i" run once for each of `names`, all at once.
std::string atOnce(const std::vector<std::string>& names, const std::string& command) {
    std::string script;
    for (const auto& name : names) {
        script += "( i=" + name + "; " + command + " >/dev/null 2>&1; echo \"$i $?\" ) &\n";
    }
    return script + "wait\n";
}

// Publishers that run at once each read, check and publish as one step: whoever says it
// published finds its domain on disk, and the others were refused, not silently overwritten.
TEST_F(TolvaneCli, PublishersAtOnceNeverLoseAPublishedDomain) {
    const std::vector<std::string> names = {"p1", "p2", "p3", "p4", "p5", "p6"};
    for (int round = 0; round < 5; ++round) {
        fs::remove_all(directory());
        ASSERT_RAN(publish({"--domain", "base.example"}));
        const auto ran = statuses(
            shell(atOnce(names, "\"$TOLVANE\" directive publish --directory " + directory() +
                                    " --domain base.example --domain $i.example")));
        ASSERT_EQ(ran.size(), names.size());
        int published = 0;
        for (const auto& [name, status] : ran) {
            ASSERT_TRUE(status == 0 || status == 1) << name << " exited " << status;
            if (status != 0) continue;
            ++published;
            EXPECT_TRUE(onDisk().dump().find(name + ".example") != std::string::npos)
                << name << " said it published; round " << round;
        }
        EXPECT_EQ(published, 1) << "only the first can publish without dropping another";
        EXPECT_EQ(onDisk()["scope"]["generation"], 2);
    }
}

// Strengthening at once, through one state file or two over the same directory, adds every
// domain to its commitment and to the directive, and leaves nothing wedged.
TEST_F(TolvaneCli, StrengthenersAtOnceAllAddTheirDomains) {
    const std::string other = (temporary.path() / "other.json").string();
    for (const std::string& stateFile : {state(), other}) {
        ASSERT_RAN(
            start({"--group", "News", "--minutes", "60", "--directory", directory(), "--at", "0"},
                  stateFile));
    }
    const std::vector<std::string> names = {"a1", "a2", "a3", "a4", "b1", "b2", "b3", "b4"};
    const auto ran = statuses(shell(atOnce(
        names, "\"$TOLVANE\" commitment strengthen --state \"$(case $i in a*) echo " + state() +
                   ";; *) echo " + other + ";; esac)\" --domain $i.example --at 10")));
    ASSERT_EQ(ran.size(), names.size());
    for (const auto& [name, status] : ran) EXPECT_EQ(status, 0) << name;

    const auto scopeOf = [&](const std::string& stateFile) {
        return runJSON({"commitment", "status", "--state", stateFile, "--at", "20"})["commitment"];
    };
    const json a = scopeOf(state()), b = scopeOf(other);
    EXPECT_EQ(a["scope"]["domains"], json({"a1.example", "a2.example", "a3.example", "a4.example",
                                           "daily.example", "news.example", "social.example"}));
    EXPECT_EQ(a["scope"]["generation"], 5);
    EXPECT_EQ(b["scope"]["domains"], json({"b1.example", "b2.example", "b3.example", "b4.example",
                                           "daily.example", "news.example", "social.example"}));
    EXPECT_EQ(a["health"], "healthy");
    EXPECT_EQ(b["health"], "healthy");
    EXPECT_EQ(domainsOnDisk().size(), 11u);
    ASSERT_RAN(commitment({"strengthen", "--domain", "more.example", "--at", "30"}));
    ASSERT_RAN(commitment({"end", "--at", "3600"}));
}

// Whatever runs of other state files do, a domain an active commitment holds stays enforced
// and the generation on disk never goes back.
TEST_F(TolvaneCli, AnotherStateFileNeverLiftsAnActiveCommitment) {
    const std::string second = (temporary.path() / "second.json").string();
    std::vector<std::int64_t> generations;
    const auto step = [&](const ProcessResult& result) {
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        generations.push_back(onDisk().value("scope", json::object()).value("generation", 0));
        if (generations.size() > 1) {
            EXPECT_GE(generations.back(), generations[generations.size() - 2]);
        }
        return result;
    };
    // The first holds News for two hours; the second holds every website for a minute.
    step(start({"--group", "News", "--seconds", "7200", "--directory", directory(), "--at", "0"}));
    step(start({"--all", "--seconds", "60", "--directory", directory(), "--at", "10"}, second));
    const json ended =
        json::parse(step(run({"--json", "commitment", "end", "--state", second, "--at", "100"}))
                        .standardOutput);
    EXPECT_EQ(ended["released"], json({"shop.example", "video.example"}));
    EXPECT_EQ(ended["kept"], json({"daily.example", "news.example", "social.example"}));
    EXPECT_EQ(domainsOnDisk(), json({"daily.example", "news.example", "social.example"}));
    expectRefused(publish({"--idle"}), "refusing to weaken");

    // An extension moves the hold with the end: Streaming shares social.example with News.
    step(start({"--group", "Streaming", "--seconds", "60", "--directory", directory(), "--at", "0"},
               second));
    step(run({"commitment", "extend", "--state", second, "--until", "9000", "--at", "50"}));
    step(commitment({"end", "--at", "7200"}));
    EXPECT_EQ(domainsOnDisk(), json({"social.example", "video.example"}));
    // With nothing held any more, the last end publishes an idle directive.
    ASSERT_RAN(run({"commitment", "end", "--state", second, "--at", "9000"}));
    EXPECT_FALSE(onDisk().contains("scope"));
}

TEST_F(TolvaneCli, PathsAreStoredAbsoluteAndStaleTemporariesRemoved) {
    const fs::path base = temporary.path();
    // A killed run leaves its temporaries; the next run under the same locks removes them.
    fs::create_directories(base / "relative");
    std::ofstream(base / "relative" / ".enforcement-directive.json.Ab12Cd");
    std::ofstream(base / ".state.json.Zz99Yy");
    std::ofstream(base / ".state.json.keep");
    auto result = shell("cd " + base.string() +
                        " && \"$TOLVANE\" commitment start --state state.json --websites " +
                        websites() + " --group News --minutes 30 --directory relative --at 0");
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_FALSE(fs::exists(base / "relative" / ".enforcement-directive.json.Ab12Cd"));
    EXPECT_FALSE(fs::exists(base / ".state.json.Zz99Yy"));
    EXPECT_TRUE(fs::exists(base / ".state.json.keep"));

    const json stored = json::parse(std::ifstream(state()));
    EXPECT_EQ(stored["directory"], (fs::canonical(base) / "relative").string());
    result = shell("cd / && \"$TOLVANE\" --json commitment status --state " + state() + " --at 10");
    EXPECT_EQ(json::parse(result.standardOutput)["commitment"]["health"], "healthy");
    const json holds = json::parse(std::ifstream(base / "relative" / "commitments" / "holds.json"));
    EXPECT_EQ(holds["holds"][0]["state"], fs::weakly_canonical(state()).string());

    // Another name for the state file is the same state file, with the same lock.
    fs::create_symlink(state(), base / "alias.json");
    result = run({"commitment", "strengthen", "--state", (base / "alias.json").string(), "--domain",
                  "more.example", "--at", "20"});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(json::parse(std::ifstream(state()))["commitment"]["scope"]["generation"], 2);

    std::ofstream(state()) << R"({"directory":"relative","updatedAt":0})";
    expectRefused(commitment({"status", "--at", "0"}), "not an absolute path");
}

// A probe lent by hand lasts its 20 seconds whatever is published meanwhile.
TEST_F(TolvaneCli, ALiveProbeOutlastsLaterPublications) {
    ASSERT_RAN(publish({"--domain", "a.com", "--at", "1000"}));
    ASSERT_RAN(publish({"--probe", "probe.example", "--at", "1000"}));
    ASSERT_RAN(publish({"--domain", "a.com", "--domain", "b.com", "--at", "1010"}));
    EXPECT_EQ(onDisk()["validation"]["expiresAt"], 1020);
    ASSERT_RAN(
        start({"--group", "News", "--minutes", "1", "--directory", directory(), "--at", "1015"}));
    EXPECT_EQ(onDisk()["validation"]["domain"], "probe.example");
    ASSERT_RAN(publish({"--domain", "a.com", "--domain", "b.com", "--domain", "c.com", "--domain",
                        "news.example", "--domain", "daily.example", "--domain", "social.example",
                        "--at", "1020"}));
    EXPECT_FALSE(onDisk().contains("validation"));
}

}  // namespace
