// tolvane-filter as a subprocess: the event protocol in, verdicts out, the log on stderr.
// Adopting a directive published while it runs is the tool suite's end-to-end case, and
// stopping on SIGTERM the shutdown suite's.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <tolvane/DirectiveStore.hpp>

#include "TestSupport.hpp"

namespace tolvane {
namespace {

using testing::builtProgram;
using testing::runProcess;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::string verdictOf(const std::string& line) {
    const auto at = line.find("\"verdict\":\"");
    return at == std::string::npos ? line : line.substr(at + 11, line.find('"', at + 11) - at - 11);
}

// `text` somewhere in what the filter logged.
void expectLogged(const testing::ProcessResult& result, const std::string& text) {
    EXPECT_NE(result.standardError.find(text), std::string::npos) << text << "\n"
                                                                  << result.standardError;
}

class FilterHost : public ::testing::Test {
protected:
    std::vector<std::string> command(std::vector<std::string> extra = {}) const {
        std::vector<std::string> argv{builtProgram("tolvane-filter"), "--directory",
                                      directory.path().string(), "--clock", "1000"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }
    void publish(const std::string& domain, std::int64_t generation) const {
        FileEnforcementDirectiveStore(directory.path())
            .publish(EnforcementDirective(Scope(generation, {*Domain::make(domain)}), std::nullopt,
                                          1000));
    }
    testing::TemporaryDirectory directory;
};

TEST_F(FilterHost, TheBundledExampleGivesEachKindOfVerdict) {
    std::filesystem::copy_file(
        std::string(TOLVANE_SOURCE_DIR) + "/examples/directives/enforcement-directive.json",
        directory.path() / "enforcement-directive.json");
    std::ifstream trace(std::string(TOLVANE_SOURCE_DIR) + "/examples/trace.jsonl");
    const std::string input((std::istreambuf_iterator<char>(trace)), {});
    const auto result = runProcess(command({"--show-private"}), input);
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    std::vector<std::string> verdicts;
    for (const auto& line : lines(result.standardOutput)) verdicts.push_back(verdictOf(line));
    EXPECT_EQ(verdicts, (std::vector<std::string>{"drop", "allow", "filterData", "data", "allow",
                                                  "filterData", "drop", "drop", "drop", "allow",
                                                  "allow", "drop", "allow"}));
    expectLogged(result,
                 "filter stopped, reason 0 scopeGeneration=3 classified=10 dropped=5 "
                 "released=5 heldForInspection=0 ambiguousAllowed=1");
}

TEST_F(FilterHost, StartsWithACorruptFileDegradedAndAllowing) {
    std::ofstream(directory.path() / "enforcement-directive.json") << "{\"scope\":";
    const auto result =
        runProcess(command(), R"({"event":"newFlow","flow":1,"remoteHostname":"example.com"})"
                              "\n");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(verdictOf(result.standardOutput), "allow");
    expectLogged(result,
                 " error [com.tolvane.filter:enforcement] enforcement degraded: failedOpen");
    // The next entry says which file, why, and what that means.
    expectLogged(result, " error [com.tolvane.filter:enforcement] the directive file " +
                             (directory.path() / "enforcement-directive.json").string() +
                             " cannot be read (dataCorrupted");
    expectLogged(result, "nothing is enforced until a readable one is published");
}

TEST_F(FilterHost, BadLinesAreReportedAndSkipped) {
    const std::string input =
        "not json\n"
        "[1,2]\n"
        R"({"event":"teleport","flow":1})"
        "\n"
        R"({"event":"newFlow"})"
        "\n"
        R"({"event":"newFlow","flow":-1})"
        "\n"
        R"({"event":"newFlow","flow":1,"remoteEndpoint":{"ipv4":"300.1.1.1"}})"
        "\n"
        R"({"event":"outboundData","flow":9,"offset":0,"length":10})"
        "\n"
        "# a comment, then a good line\n"
        R"({"event":"newFlow","flow":2,"remoteHostname":"example.org"})"
        "\n" +
        std::string(R"({"event":"newFlow","flow":3})") + '\0' + "garbage\n" +
        R"({"event":"newFlow","flow":3)" + std::string(70000, ' ') + "}\n" +
        std::string(100000, '[') + "\n" +
        R"({"event":"newFlow","flow":4,"remoteHostname":"example.org"})"
        "\n";
    const auto result = runProcess(command(), input);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(lines(result.standardOutput),
              (std::vector<std::string>{R"({"flow":2,"event":"newFlow","verdict":"allow"})",
                                        R"({"flow":4,"event":"newFlow","verdict":"allow"})"}));
    for (const char* expected :
         {"line 1: not JSON", "line 2: an event is a JSON object",
          "line 3: unknown event \"teleport\"", "line 4: missing \"flow\"",
          "line 5: \"flow\" must be a whole number", "line 6: \"ipv4\" is not an IPv4 address",
          "line 7: flow 9 is not held for inspection", "line 10: a NUL byte in the line",
          "line 11: longer than 65536 bytes", "line 12: longer than 65536 bytes"}) {
        expectLogged(result, expected);
    }
}

// A length is only counted, for a held flow or any other; a reused identifier of a held flow
// is refused, so the held count ends at 0.
TEST_F(FilterHost, HeldFlowsTakeAnyLengthAndKeepTheirIdentifiers) {
    publish("example.com", 1);
    std::string input =
        R"({"event":"outboundData","flow":2,"offset":0,"length":9223372036854775807})"
        "\n";
    for (int i = 0; i < 1000; ++i)
        input += R"({"event":"newFlow","flow":1})"
                 "\n";
    input += R"({"event":"outboundData","flow":1,"offset":0,"length":9223372036854775807})"
             "\n";
    const auto result = runProcess(command({"--show-private"}), input);
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    const auto out = lines(result.standardOutput);
    ASSERT_EQ(out.size(), 2u) << result.standardOutput;
    EXPECT_EQ(verdictOf(out[0]), "filterData");
    EXPECT_EQ(out[1], R"({"flow":1,"event":"outboundData","verdict":"allow"})");
    expectLogged(result, "line 1: flow 2 is not held for inspection");
    expectLogged(result, "line 1001: flow 1 is already held for inspection");
    expectLogged(result, "classified=1 dropped=0 released=1 heldForInspection=0");
}

TEST_F(FilterHost, UsageErrorsExitWithTwo) {
    EXPECT_EQ(runProcess({builtProgram("tolvane-filter"), "--bogus"}).exitCode, 2);
    EXPECT_EQ(runProcess({builtProgram("tolvane-filter"), "--clock", "soon"}).exitCode, 2);
}

}  // namespace
}  // namespace tolvane
