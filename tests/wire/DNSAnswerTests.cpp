// Tests for the DNS answer reader: real responses of dnsmasq (see tests/fixtures/wire/dns/
// capture.py), and hand-made hostile ones.
#include <arpa/inet.h>
#include <gtest/gtest.h>

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

std::vector<std::string> texts(const DNSAnswer& answer) {
    std::vector<std::string> out;
    for (const auto& address : answer.addresses()) {
        char buffer[INET6_ADDRSTRLEN] = {};
        inet_ntop(address.length == 4 ? AF_INET : AF_INET6, address.bytes.data(), buffer,
                  sizeof buffer);
        out.push_back(std::string(buffer) + "/" + std::to_string(address.ttl));
    }
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
        return record(5, data.name(target).bytes);
    }
};

}  // namespace

// dnsmasq's answers: CNAME chains of one and two links, long names, several A and AAAA
// records, and TTLs as configured (600, or 60 for the CNAME with four addresses). Each cut
// short is refused.
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
        const Bytes message = fixture(c.file);
        ASSERT_TRUE(readDNSAnswer(message, answer)) << c.file;
        EXPECT_EQ(answer.questionName(), c.name) << c.file;
        EXPECT_EQ(texts(answer), c.addresses) << c.file;
        EXPECT_FALSE(answer.droppedAddresses());
        // Every prefix is malformed: its header promises records it lacks.
        for (std::size_t n = 0; n < message.size(); ++n) {
            ASSERT_FALSE(readDNSAnswer(std::span(message).first(n), answer)) << c.file << n;
        }
    }
}

// Forty addresses: over TCP and with EDNS all are read; the UDP answer dnsmasq cut to 512
// bytes (TC set) gives nothing, whatever records it still holds.
TEST(DNSAnswerTests, LargeAnswersOverTCPAndEDNSButNotTruncatedOnes) {
    DNSAnswer answer;
    const Bytes tcp = fixture("many-a-tcp.bin");
    ASSERT_TRUE(readDNSAnswerOverTCP(tcp, answer));
    const auto all = texts(answer);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 40u);

    ASSERT_TRUE(readDNSAnswer(fixture("many-a-edns.bin"), answer));
    EXPECT_EQ(answer.addresses().size(), 40u);
    EXPECT_FALSE(readDNSAnswer(fixture("many-a-truncated.bin"), answer));

    // The TCP reader waits for the whole message and ignores what follows it.
    for (std::size_t n = 0; n < tcp.size(); ++n) {
        EXPECT_FALSE(readDNSAnswerOverTCP(std::span(tcp).first(n), answer)) << n;
    }
    Bytes twoMessages = tcp;
    twoMessages.insert(twoMessages.end(), tcp.begin(), tcp.begin() + 5);
    EXPECT_TRUE(readDNSAnswerOverTCP(twoMessages, answer));
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
    ASSERT_TRUE(readDNSAnswer(reversed.bytes, answer));
    EXPECT_EQ(texts(answer), (std::vector<std::string>{"192.0.2.3/300", "192.0.2.1/300"}));

    Message loop(3);
    loop.question("x.test").pointer(12).cname("y.test").name("y.test").cname("x.test");
    loop.name("y.test").a(7);
    ASSERT_TRUE(readDNSAnswer(loop.bytes, answer));
    EXPECT_EQ(texts(answer), (std::vector<std::string>{"192.0.2.7/300"}));

    // An A record for the CNAME's owner's parent is not on the chain.
    Message unrelated(2);
    unrelated.question("www.a.test").name("a.test").a(1).name("x.www.a.test").a(2);
    ASSERT_TRUE(readDNSAnswer(unrelated.bytes, answer));
    EXPECT_TRUE(answer.addresses().empty());
}

// Labels that would make another dotted name, a CNAME whose data is no name, and messages
// that are no response to one question. (Pointer loops, names over 255 bytes and address
// records of the wrong length are DNSAnswerFuzz's.)
TEST(DNSAnswerTests, RefusesMalformedMessages) {
    DNSAnswer answer;
    for (const Message& m : {
             Message(0).raw({3, 'a', '.', 'b', 0}).u16(1).u16(1),
             Message(0).raw({3, 'a', 0, 'b', 0}).u16(1).u16(1),
             Message(1).question("a.test").pointer(12).record(5, {0, 0}),
             Message(0, 0x0100).question("a.test"),     // a query
             Message(0, 0x8980).question("a.test"),     // opcode 1
             Message(0, 0x8180, 2).question("a.test"),  // two questions
             Message(0, 0x8180, 0),
         }) {
        EXPECT_FALSE(readDNSAnswer(m.bytes, answer)) << m.bytes.size();
    }
    // A name of exactly 255 bytes is fine: 63+63+63+61 characters and 4 length bytes and root.
    const std::string name = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                             std::string(63, 'c') + "." + std::string(61, 'd');
    ASSERT_TRUE(readDNSAnswer(Message(0).question(name).bytes, answer));
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
    EXPECT_EQ(answer.addresses().size(), 4u);
}

}  // namespace tolvane::wire
