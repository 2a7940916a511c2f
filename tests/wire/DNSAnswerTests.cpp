// Tests for the DNS answer reader: real responses of dnsmasq (see tests/fixtures/wire/dns/
// capture.py), and hand-made hostile ones.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <tolvane/wire/DNSAnswer.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fixture(const std::string& name) {
    std::ifstream in(std::string(TOLVANE_FIXTURES_DIR) + "/wire/dns/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string text(const DNSAddress& address) {
    char buffer[INET6_ADDRSTRLEN] = {};
    inet_ntop(address.length == 4 ? AF_INET : AF_INET6, address.bytes.data(), buffer,
              sizeof buffer);
    return std::string(buffer) + "/" + std::to_string(address.ttl);
}

std::vector<std::string> texts(const DNSAnswer& answer) {
    std::vector<std::string> out;
    for (const auto& address : answer.addresses()) out.push_back(text(address));
    return out;
}

// A response built by hand: header, then whatever the test appends.
struct Message {
    Bytes bytes;
    explicit Message(std::uint16_t answers, std::uint16_t flags = 0x8180,
                     std::uint16_t questions = 1) {
        u16(0x1234).u16(flags).u16(questions).u16(answers).u16(0).u16(0);
    }
    Message& u16(std::uint16_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
        bytes.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    Message& raw(std::initializer_list<std::uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return *this;
    }
    Message& name(std::string_view dotted) {
        while (!dotted.empty()) {
            const auto dot = std::min(dotted.find('.'), dotted.size());
            bytes.push_back(static_cast<std::uint8_t>(dot));
            bytes.insert(bytes.end(), dotted.begin(), dotted.begin() + dot);
            dotted.remove_prefix(std::min(dot + 1, dotted.size()));
        }
        bytes.push_back(0);
        return *this;
    }
    Message& pointer(std::uint16_t to) { return u16(static_cast<std::uint16_t>(0xc000 | to)); }
    Message& question(std::string_view dotted) { return name(dotted).u16(1).u16(1); }
    // Type, class IN, TTL 300, then the data's length and the data.
    Message& record(std::uint16_t type, Bytes data) {
        u16(type).u16(1).u16(0).u16(300).u16(static_cast<std::uint16_t>(data.size()));
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }
    Message& a(std::uint8_t last) { return record(1, {192, 0, 2, last}); }
    Message& cname(std::string_view target) {
        Message data(0);
        data.bytes.clear();
        data.name(target);
        return record(5, data.bytes);
    }
};

bool read(const Bytes& message, DNSAnswer& answer) {
    return readDNSAnswer(message, answer);
}

}  // namespace

// dnsmasq's answers: CNAME chains of one and two links, long names, several A and AAAA
// records, and TTLs as configured (600, or 60 for the CNAME with four addresses).
TEST(DNSAnswerTests, ReadsRealResponses) {
    struct Case {
        const char* file;
        const char* name;
        std::vector<std::string> addresses;
    } cases[] = {
        {"cname-a.bin", "www.blocked.test", {"192.0.2.20/600"}},
        {"cname-a-mixed-case.bin", "WWW.Blocked.TEST", {"192.0.2.20/600"}},
        {"aaaa.bin", "blocked.test", {"fd00:200::2/600"}},
        {"two-cnames-a.bin", "a.chain.test", {"198.51.100.3/600"}},
        {"long-cname-a.bin", "media-eu-west.images.static.example-video.test", {"192.0.2.10/600"}},
        {"long-cname-aaaa.bin",
         "media-eu-west.images.static.example-video.test",
         {"2001:db8::10/600"}},
        {"four-a.bin",
         "four.test",
         {"192.0.2.4/600", "192.0.2.3/600", "192.0.2.2/600", "192.0.2.1/600"}},
        {"cname-four-a.bin",
         "media-eu-west.images.static.example-video.test",
         {"192.0.2.11/60", "192.0.2.13/60", "192.0.2.12/60", "192.0.2.14/60"}},
        {"refused.bin", "nothing-here.test", {}},
    };
    DNSAnswer answer;
    for (const auto& c : cases) {
        ASSERT_TRUE(read(fixture(c.file), answer)) << c.file;
        EXPECT_EQ(answer.questionName(), c.name) << c.file;
        EXPECT_EQ(texts(answer), c.addresses) << c.file;
        EXPECT_FALSE(answer.droppedAddresses());
    }
}

// Forty addresses: over TCP and with EDNS all are read; the UDP answer dnsmasq cut to 512
// bytes (TC set) gives nothing, whatever records it still holds.
TEST(DNSAnswerTests, LargeAnswersOverTCPAndEDNSButNotTruncatedOnes) {
    DNSAnswer answer;
    const Bytes tcp = fixture("many-a-tcp.bin");
    ASSERT_TRUE(readDNSAnswerOverTCP(tcp, answer));
    EXPECT_EQ(answer.questionName(), "many.test");
    ASSERT_EQ(answer.addresses().size(), 40u);
    std::vector<std::string> all = texts(answer);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.front(), "203.0.113.1/600");
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 40u);

    ASSERT_TRUE(read(fixture("many-a-edns.bin"), answer));
    EXPECT_EQ(answer.addresses().size(), 40u);
    EXPECT_FALSE(read(fixture("many-a-truncated.bin"), answer));

    // The TCP reader waits for the whole message and ignores what follows it.
    for (std::size_t n = 0; n < tcp.size(); ++n) {
        EXPECT_FALSE(readDNSAnswerOverTCP(std::span(tcp).first(n), answer)) << n;
    }
    Bytes twoMessages = tcp;
    twoMessages.insert(twoMessages.end(), tcp.begin(), tcp.begin() + 5);
    EXPECT_TRUE(readDNSAnswerOverTCP(twoMessages, answer));
}

// Every prefix of a real response is malformed (its header promises records it lacks).
TEST(DNSAnswerTests, CutShortRealResponsesYieldNothing) {
    DNSAnswer answer;
    for (const char* file : {"cname-four-a.bin", "long-cname-aaaa.bin", "two-cnames-a.bin"}) {
        const Bytes message = fixture(file);
        for (std::size_t n = 0; n < message.size(); ++n) {
            EXPECT_FALSE(readDNSAnswer(std::span(message).first(n), answer)) << file << " " << n;
        }
    }
}

// Only records owned by the question or a name its CNAMEs reach count, whatever order the
// records come in; a CNAME loop ends.
TEST(DNSAnswerTests, FollowsTheChainAndIgnoresUnrelatedOwners) {
    DNSAnswer answer;
    // question www.a.test; answers: c.test A .3, b.test CNAME c.test, www.a.test CNAME b.test,
    // unrelated.test A .9, WWW.A.TEST A .1 (letter case differs).
    Message reversed(5);
    reversed.question("www.a.test").name("c.test").a(3).name("b.test").cname("c.test");
    reversed.pointer(12).cname("b.test").name("unrelated.test").a(9);
    reversed.name("WWW.A.TEST").a(1);
    ASSERT_TRUE(read(reversed.bytes, answer));
    EXPECT_EQ(texts(answer), (std::vector<std::string>{"192.0.2.3/300", "192.0.2.1/300"}));

    Message loop(3);
    loop.question("x.test").pointer(12).cname("y.test").name("y.test").cname("x.test");
    loop.name("y.test").a(7);
    ASSERT_TRUE(read(loop.bytes, answer));
    EXPECT_EQ(texts(answer), (std::vector<std::string>{"192.0.2.7/300"}));

    // An A record for the CNAME's owner's parent is not on the chain.
    Message unrelated(2);
    unrelated.question("www.a.test").name("a.test").a(1).name("x.www.a.test").a(2);
    ASSERT_TRUE(read(unrelated.bytes, answer));
    EXPECT_TRUE(answer.addresses().empty());
}

// Compression pointers that loop, point forward, or chain too long; labels that would make
// another dotted name; names over 255 bytes; bad record lengths; not a response.
TEST(DNSAnswerTests, RefusesMalformedMessages) {
    DNSAnswer answer;
    const auto refused = [&](const Message& m) { return !read(m.bytes, answer); };

    EXPECT_TRUE(refused(Message(0).pointer(12).u16(1).u16(1)));  // question points at itself
    EXPECT_TRUE(refused(Message(1).question("a.test").pointer(100).a(1)));  // forward
    Message selfLoop(1);
    selfLoop.question("a.test").raw({1, 'x'}).pointer(selfLoop.bytes.size()).a(1);
    EXPECT_TRUE(refused(selfLoop));

    // 40 names, each one label and a pointer to the previous: the last is 41 hops deep.
    Message deep(1);
    deep.question("a.test");
    std::size_t previous = 12;
    for (int i = 0; i < 40; ++i) {
        const std::size_t here = deep.bytes.size();
        deep.raw({1, 'x'}).pointer(static_cast<std::uint16_t>(previous));
        previous = here;
    }
    deep.pointer(static_cast<std::uint16_t>(previous)).a(1);
    EXPECT_TRUE(refused(deep));

    EXPECT_TRUE(refused(Message(0).raw({3, 'a', '.', 'b', 0}).u16(1).u16(1)));
    EXPECT_TRUE(refused(Message(0).raw({3, 'a', 0, 'b', 0}).u16(1).u16(1)));
    Message longName(0);
    for (int i = 0; i < 5; ++i) longName.raw({50}).bytes.insert(longName.bytes.end(), 50, 'x');
    EXPECT_TRUE(refused(longName.raw({4, 'a', 'b', 'c', 'd', 0}).u16(1).u16(1)));  // 260 bytes
    EXPECT_TRUE(refused(Message(1).question("a.test").pointer(12).record(1, {1, 2, 3})));
    EXPECT_TRUE(refused(Message(1).question("a.test").pointer(12).record(28, Bytes(4, 1))));
    EXPECT_TRUE(refused(Message(1).question("a.test").pointer(12).record(5, {0, 0})));
    EXPECT_TRUE(refused(Message(0, 0x0100).question("a.test")));     // a query
    EXPECT_TRUE(refused(Message(0, 0x8980).question("a.test")));     // opcode 1
    EXPECT_TRUE(refused(Message(0, 0x8180, 2).question("a.test")));  // two questions
    EXPECT_TRUE(refused(Message(0, 0x8180, 0)));

    // A name of exactly 255 bytes is fine: 63+63+63+61 characters and 4 length bytes and root.
    Message longest(0);
    std::string name = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                       std::string(63, 'c') + "." + std::string(61, 'd');
    ASSERT_TRUE(read(longest.question(name).bytes, answer));
    EXPECT_EQ(answer.questionName(), name);
}

// A CNAME and four A records, names of 46 and 46 bytes: nothing is allocated.
TEST(DNSAnswerTests, ReadingAllocatesNothing) {
    if (!tolvane::testing::allocationCountingWorks())
        GTEST_SKIP() << "the sanitizer owns operator new";
    const Bytes message = fixture("cname-four-a.bin");
    DNSAnswer answer;
    const auto before = tolvane::testing::allocationCount();
    ASSERT_TRUE(readDNSAnswer(message, answer));
    EXPECT_EQ(tolvane::testing::allocationCount(), before);
    EXPECT_GE(answer.questionName().size(), 40u);
    EXPECT_EQ(answer.addresses().size(), 4u);
}

}  // namespace tolvane::wire
