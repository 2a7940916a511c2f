// The laboratory without the filter: every client and server the enforcement cases rely on
// works on its own, so a failure there is the filter's and not the lab's.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "NamespaceLab.hpp"

namespace tolvane::testing {
namespace {

using Side = NamespaceLab::Side;

class LabSanity : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            auto options = standardLabOptions(std::string(TOLVANE_SOURCE_DIR) + "/tests/netns");
            options.reference = true;
            lab_ = std::make_unique<NamespaceLab>(options);
        } catch (const LabUnavailable& unavailable) {
            skipReason_ = unavailable.what();
        }
    }
    static void TearDownTestSuite() { lab_.reset(); }
    void SetUp() override {
        if (!lab_) GTEST_SKIP() << skipReason_;
    }

    static std::unique_ptr<NamespaceLab> lab_;
    static std::string skipReason_;
};

std::unique_ptr<NamespaceLab> LabSanity::lab_;
std::string LabSanity::skipReason_;

TEST_F(LabSanity, DnsAnswersWithAddressesAndAliases) {
    const auto answer =
        lab_->client({"resolve", "allowed.example", "media.blocked.example", "unknown.example"});
    EXPECT_EQ(answer["allowed.example"], NamespaceLab::address4(labplan::shared) + "," +
                                             NamespaceLab::address6(labplan::shared));
    EXPECT_EQ(answer["media.blocked.example"],
              NamespaceLab::address4(labplan::cdn) + "," + NamespaceLab::address6(labplan::cdn));
    EXPECT_EQ(answer["unknown.example"], "-");
}

TEST_F(LabSanity, CurlFetchesEachNameOnOneAddressOverBothFamilies) {
    for (const Side side : {Side::client, Side::reference}) {
        for (const int family : {4, 6}) {
            for (const std::string scheme : {"https", "http"}) {
                for (const std::string name : {"allowed.example", "blocked.example"}) {
                    SCOPED_TRACE(scheme + "://" + name + " over IPv" + std::to_string(family));
                    const auto fetch = lab_->curl(scheme + "://" + name + "/", family, side);
                    ASSERT_EQ(fetch.exitCode, 0) << fetch.error;
                    EXPECT_EQ(fetch.status, "200");
                    EXPECT_NE(fetch.body.find("hello " + name), std::string::npos);
                    const auto seen =
                        lab_->waitForRecord(scheme, fetch.port, std::chrono::seconds(5));
                    ASSERT_TRUE(seen);
                    EXPECT_EQ((*seen)["name"], name);
                    EXPECT_EQ((*seen)["local"], family == 4
                                                    ? NamespaceLab::address4(labplan::shared)
                                                    : NamespaceLab::address6(labplan::shared));
                }
            }
        }
    }
}

TEST_F(LabSanity, PythonClientsReachTheServers) {
    const auto sink = lab_->client({"raw", NamespaceLab::address4(labplan::unnamed), "9000"});
    EXPECT_EQ(sink["result"], "ok") << sink["stderr"];
    const auto sunk = lab_->waitForRecord("sink", sink.number("port"), std::chrono::seconds(5));
    ASSERT_TRUE(sunk);
    EXPECT_EQ(sunk->number("received"), 10000);
    EXPECT_EQ((*sunk)["end"], "eof");

    const auto split = lab_->client(
        {"tls", NamespaceLab::address6(labplan::shared), "blocked.example", "--split", "40"});
    EXPECT_EQ(split["result"], "ok") << split["stderr"];
    EXPECT_EQ(split["detail"], "HTTP/1.1_200_OK");

    const auto ech = lab_->client(
        {"ech", NamespaceLab::address4(labplan::echAllowed), "public.allowed.example"});
    EXPECT_EQ(ech["result"], "ok") << ech["stderr"];
    EXPECT_EQ(ech["detail"], "record0x16");
    const auto hello = lab_->waitForRecord("https", ech.number("port"), std::chrono::seconds(5));
    ASSERT_TRUE(hello);
    EXPECT_EQ((*hello)["name"], "public.allowed.example");

    const auto quic = lab_->client({"quic", NamespaceLab::address6(labplan::quicAllowed),
                                    "quic.allowed.example", "--split", "300", "--timeout", "0.3"});
    EXPECT_EQ(quic["result"], "ok") << quic["stderr"];
    EXPECT_EQ(quic["detail"], "no-answer");

    const auto held = lab_->client(
        {"hold", NamespaceLab::address4(labplan::grow), "grow.example", "--limit", "0.3"});
    EXPECT_EQ(held["result"], "ok") << held["stderr"];
    EXPECT_EQ(held["detail"], "held-to-the-limit");
}

TEST_F(LabSanity, ChromiumLoadsOverTcpAndSendsQuicDatagrams) {
    const auto page =
        lab_->browse("https://browse.allowed.example/", false, std::chrono::seconds(20));
    ASSERT_TRUE(page.finished) << page.log;
    EXPECT_NE(page.dom.find("hello browse.allowed.example"), std::string::npos) << page.log;

    const int before = lab_->datagramsTo(labplan::quicAllowed);
    lab_->browse("https://quic.allowed.example/", true, std::chrono::seconds(3));
    EXPECT_GT(lab_->datagramsTo(labplan::quicAllowed), before);
}

}  // namespace
}  // namespace tolvane::testing
