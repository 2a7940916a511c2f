// The event reader: cutting input into lines, reading an event line, and what it keeps
// (reused identifiers and data lengths are the end-to-end suite's, through the process).
#include <gtest/gtest.h>

#include <random>

#include "FlowProtocol.hpp"

namespace tolvane::host {
namespace {

struct Line {
    std::string text;
    bool tooLong = false;
    bool operator==(const Line&) const = default;
};

// Feeds `input` in pieces cut at `cuts`, then ends it.
std::vector<Line> readLines(std::string_view input, std::vector<std::size_t> cuts = {}) {
    std::vector<Line> lines;
    const auto sink = [&](std::string_view text, bool tooLong) {
        lines.push_back({std::string(text), tooLong});
    };
    LineReader reader;
    std::size_t at = 0;
    cuts.push_back(input.size());
    for (std::size_t cut : cuts) {
        reader.feed(input.substr(at, cut - at), sink);
        EXPECT_LE(reader.bufferedBytes(), maximumLineBytes);
        at = cut;
    }
    reader.finish(sink);
    return lines;
}

TEST(LineReader, GivesTheSameLinesWhereverTheInputIsCut) {
    const std::string longest(maximumLineBytes, 'x');
    const std::string input = "one\n\ntwo\r\n" + longest + "\nlast";
    const std::vector<Line> expected{{"one"}, {""}, {"two\r"}, {longest}, {"last"}};
    EXPECT_EQ(readLines(input), expected);
    std::mt19937 random(11);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; at < input.size();) {
            at += 1 + random() % (round % 2 ? 7 : 9000);
            if (at < input.size()) cuts.push_back(at);
        }
        EXPECT_EQ(readLines(input, cuts), expected) << round;
    }
}

TEST(LineReader, ReportsATooLongLineOnceAndSkipsTheRestUnkept) {
    const std::string tooLong(maximumLineBytes + 1, 'x');
    const std::string huge(16 * maximumLineBytes, '[');
    std::vector<std::size_t> cuts;
    for (std::size_t at = 4096; at < huge.size(); at += 4096) cuts.push_back(3 + at);
    // Within one piece, across many (each checked to keep no more than a line), and at the end.
    EXPECT_EQ(readLines("a\n" + tooLong + "\nb\n" + huge + "\nc\n" + huge, cuts),
              (std::vector<Line>{{"a"}, {"", true}, {"b"}, {"", true}, {"c"}, {"", true}}));
}

std::string errorOf(const std::string& line) {
    try {
        parseFlowEvent(line);
    } catch (const ProtocolError& error) {
        return error.what();
    }
    return "accepted";
}

TEST(FlowEventReading, RefusesNULBytesOverlongLinesAndDeepNesting) {
    const std::string event = R"({"event":"newFlow","flow":1)";
    EXPECT_EQ(errorOf(event + "}" + std::string(1, '\0') + "garbage"), "a NUL byte in the line");
    EXPECT_FALSE(isSkipped("# comment" + std::string(1, '\0')));
    EXPECT_EQ(errorOf(event + "}" + std::string(maximumLineBytes, ' ')), "the line is too long");
    const std::string deep = std::string(513, '[') + std::string(513, ']');
    EXPECT_NE(errorOf(event + ",\"x\":" + deep + "}")
                  .find("not JSON: The given data was not "
                        "valid JSON. Nesting deeper than 512"),
              std::string::npos);
    const std::string allowed = std::string(511, '[') + std::string(511, ']');
    EXPECT_EQ(parseFlowEvent(event + ",\"x\":" + allowed + "}").flow, 1u);
    // What is quoted back stays short whatever the line held.
    EXPECT_LT(errorOf(R"({"event":")" + std::string(60000, 'e') + "\"}").size(), 100u);
}

TEST(FlowEventReading, KeepsNoHostNameLongerThanADNSNameCanBe) {
    const std::string longest = std::string(249, 'a') + ".com";  // 253 bytes
    const std::string over = "a" + longest;
    const auto facts = [](const std::string& members) {
        return parseFlowEvent(R"({"event":"newFlow","flow":1,)" + members + "}").facts;
    };
    EXPECT_EQ(facts(R"("remoteHostname":")" + longest + "\"").remoteHostname, longest);
    EXPECT_EQ(facts(R"("remoteHostname":")" + over + "\"").remoteHostname, std::nullopt);

    using platform::Endpoint;
    using platform::EndpointHost;
    EXPECT_EQ(facts(R"("remoteEndpoint":{"name":")" + longest + R"(","port":443})").remoteEndpoint,
              Endpoint::hostPort(EndpointHost::name(longest), 443));
    EXPECT_EQ(facts(R"("remoteEndpoint":{"name":")" + over + R"(","port":443})").remoteEndpoint,
              Endpoint::hostPort(EndpointHost::other(), 443));

    // A url is kept as its scheme and host; with a host too long, not at all.
    EXPECT_EQ(
        facts(R"("url":"https://user:pw@Shop.Example.com:443/)" + std::string(9000, 'p') + "?q\"")
            .url,
        "https://Shop.Example.com");
    EXPECT_EQ(facts(R"("url":"http://[fe80::1%25en0]:80/")").url, "http://[fe80::1%25en0]");
    EXPECT_EQ(facts(R"("url":"https://)" + longest + "/\"").url, "https://" + longest);
    EXPECT_EQ(facts(R"("url":"https://)" + over + "/\"").url, std::nullopt);

    EXPECT_EQ(errorOf(R"({"event":"newFlow","flow":1,"remoteEndpoint":{"ipv6":"fe80::1%)" +
                      std::string(16, 'z') + "\"}}"),
              "\"ipv6\" is not an IPv6 address");
}

// Only a new socket flow's ClientHello can offer Encrypted Client Hello, and only a boolean
// says so.
TEST(FlowEventReading, EncryptedClientHelloIsABooleanOfNewSocketFlows) {
    const std::string flow = R"({"event":"newFlow","flow":1,"remoteHostname":"relay.example")";
    for (const auto& [members, expected] : std::vector<std::pair<std::string, bool>>{
             {"", false},
             {R"(,"encryptedClientHello":true)", true},
             {R"(,"encryptedClientHello":false)", false},
             {R"(,"encryptedClientHello":null)", false},
         }) {
        const auto made = parseFlowEvent(flow + members + "}").facts.makeFlow(1);
        const auto* socket = dynamic_cast<const platform::FilterSocketFlow*>(made.get());
        ASSERT_NE(socket, nullptr);
        EXPECT_EQ(socket->offersEncryptedClientHello, expected) << members;
        EXPECT_EQ(socket->remoteHostname, "relay.example");
    }
    for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
             {flow + R"(,"encryptedClientHello":1})",
              "\"encryptedClientHello\" must be true or false"},
             {flow + R"(,"encryptedClientHello":"true"})",
              "\"encryptedClientHello\" must be true or false"},
             {R"({"event":"newFlow","flow":1,"socket":false,"encryptedClientHello":true})",
              "only socket flows have a ClientHello"},
             {R"({"event":"outboundData","flow":1,"offset":0,"length":1,)"
              R"("encryptedClientHello":true})",
              "\"encryptedClientHello\" belongs to newFlow events"},
         }) {
        EXPECT_EQ(errorOf(line), error) << line;
    }
}

}  // namespace
}  // namespace tolvane::host
