// Tests for the HTTP request head reader: heads of curl and Python's http.client, the host
// forms, which host wins, other protocols, and the 4096-byte bound.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tolvane/wire/HTTPRequestHead.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane::wire {
namespace {

using Status = HTTPRequestHeadStatus;

std::string fixture(const std::string& name) {
    std::ifstream file(std::string(TOLVANE_FIXTURES_DIR) + "/wire/http/" + name + ".bin",
                       std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

HTTPRequestHead read(std::string_view text) {
    return readHTTPRequestHead(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

TEST(HTTPRequestHead, ReadsHeadsOfRealClientsWholeAndAtEveryCut) {
    struct Case {
        std::string file, host;
        bool literal;
        std::optional<std::uint16_t> port;
    };
    const std::vector<Case> cases = {
        {"curl-get", "plain.example.net", false, std::nullopt},  // port varies per capture
        {"curl-proxy", "proxied.example.net", false, std::nullopt},
        {"python-post", "python.example.com", false, 8080},
        {"python-ipv6-literal", "2001:db8::1", true, 8443},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.file);
        const auto head = fixture(expected.file);
        const auto reading = read(head);
        ASSERT_EQ(reading.status, Status::host);
        EXPECT_EQ(reading.host, expected.host);
        EXPECT_EQ(reading.hostIsIPv6Literal, expected.literal);
        if (expected.port) {
            EXPECT_EQ(reading.port, expected.port);
        }
        for (std::size_t cut = 0; cut < head.size(); ++cut) {
            ASSERT_EQ(read(std::string_view(head).substr(0, cut)).status, Status::needsMoreBytes)
                << cut;
        }
    }
}

TEST(HTTPRequestHead, FindsTheHostInEachForm) {
    struct Case {
        std::string head, host;
        std::optional<std::uint16_t> port;
    };
    const std::vector<Case> cases = {
        {"GET / HTTP/1.1\r\nhOsT:Example.COM\r\n\r\n", "Example.COM", std::nullopt},
        {"GET / HTTP/1.1\nAccept: */*\nHost: \t example.com:80 \t\n\n", "example.com", 80},
        {"GET / HTTP/1.1\r\nHost: example.com.:\r\n\r\n", "example.com", std::nullopt},
        // The target's host wins over Host, as servers and proxies take it.
        {"GET HTTP://user:pw@Target.example:8080/x?y HTTP/1.1\r\nHost: other.example\r\n\r\n",
         "Target.example", 8080},
        {"OPTIONS https://[2001:db8::2]:443 HTTP/1.1\r\n\r\n", "2001:db8::2", 443},
        {"GET / HTTP/1.1\r\nHost: same.example\r\nHOST: SAME.example\r\n\r\n", "same.example",
         std::nullopt},
    };
    for (const auto& expected : cases) {
        const auto reading = read(expected.head);
        ASSERT_EQ(reading.status, Status::host) << expected.head;
        EXPECT_EQ(reading.host, expected.host) << expected.head;
        EXPECT_EQ(reading.port, expected.port) << expected.head;
    }
}

TEST(HTTPRequestHead, RequestsWithoutAUsableHostAndOtherProtocols) {
    const std::vector<std::pair<std::string, Status>> cases = {
        {"GET / HTTP/1.0\r\nAccept: */*\r\n\r\n", Status::noHost},
        {"GET / HTTP/1.1\r\nHost:\r\n\r\n", Status::noHost},
        {"GET / HTTP/1.1\r\nHost: example.com:65536\r\n\r\n", Status::noHost},
        {"GET / HTTP/1.1\r\nHost: example.com:80:80\r\n\r\n", Status::noHost},
        {"GET / HTTP/1.1\r\nHost: [example.com]\r\n\r\n", Status::noHost},
        {"GET / HTTP/1.1\r\nX-Host: example.com\r\n\r\n", Status::noHost},
        {"GET http:///path HTTP/1.1\r\nHost: example.com\r\n\r\n", Status::noHost},
        {std::string("\x16\x03\x01\x02\x00", 5), Status::notHTTP},
        {"SSH-2.0-OpenSSH_9.2\r\n", Status::notHTTP},
        {"GET  / HTTP/1.1\r\n", Status::notHTTP},
        {"GET / HTTP/2.0\r\n", Status::notHTTP},
        {"GET / HTTP/1.1\r\rHost: x\r\n\r\n", Status::notHTTP},
        {"GET / HTTP/1.1\r\nHost : example.com\r\n\r\n", Status::notHTTP},
        {"GET / HTTP/1.1\r\n folded\r\n\r\n", Status::notHTTP},
        {"GET / HTTP/1.1\r\nHost: a.example\r\nHost: b.example\r\n\r\n", Status::notHTTP},
        {std::string("GET /a\0b HTTP/1.1\r\n\r\n", 22), Status::notHTTP},
        {std::string(21, 'G') + " / HTTP/1.1\r\n", Status::notHTTP},
    };
    for (const auto& [head, status] : cases) EXPECT_EQ(read(head).status, status) << head;
}

TEST(HTTPRequestHead, AHeadPastTheBoundIsJudgedOnItsFirst4096Bytes) {
    const std::string start = "GET / HTTP/1.1\r\nHost: early.example\r\nCookie: ";
    const std::string longHead = start + std::string(5000, 'c') + "\r\n\r\n";
    EXPECT_EQ(read(longHead.substr(0, maximumRequestHeadBytes - 1)).status, Status::needsMoreBytes);
    EXPECT_EQ(read(longHead).host, "early.example");
    // Nothing after the bound counts: a Host there is not seen.
    const std::string lateHost =
        "GET / HTTP/1.1\r\nCookie: " + std::string(5000, 'c') + "\r\nHost: late.example\r\n\r\n";
    EXPECT_EQ(read(lateHost).status, Status::noHost);
    // A request line that does not end within the bound is not one we read.
    EXPECT_EQ(read("GET /" + std::string(5000, 'p')).status, Status::notHTTP);
}

TEST(HTTPRequestHead, ReadsALongHostWithoutAllocating) {
    const std::string head = "GET / HTTP/1.1\r\nHost: " + std::string(60, 'h') +
                             ".example.org:8080\r\nUser-Agent: test\r\n\r\n";
    const auto before = testing::allocationCount();
    const auto reading = read(head);
    EXPECT_EQ(testing::allocationCount(), before);
    EXPECT_EQ(reading.host, std::string(60, 'h') + ".example.org");
}

}  // namespace
}  // namespace tolvane::wire
