#include "platform/NetService.h"

#include "support/PrivateAvahi.h"
#include "support/RecordingNetServiceDelegate.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

class NetServiceOnPrivateAvahi : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto reason = test::PrivateAvahi::unavailableReason())
            GTEST_SKIP() << *reason;
        avahi.startBus();
        avahi.startAvahi();
    }
    test::PrivateAvahi avahi;
};

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const auto &line : lines)
        text += line + "\n";
    return text;
}

TEST_F(NetServiceOnPrivateAvahi, PublishedServiceIsBrowsableOnLoopback) {
    auto delegate = std::make_shared<test::RecordingNetServiceDelegate>();
    const std::string name = test::PrivateAvahi::uniqueName("Quintarvel Test");
    auto service = NetService::create("", "_quintarvel._tcp", name, 47011);
    service->setDelegate(delegate);
    service->publish();
    ASSERT_TRUE(delegate->waitFor(1)) << avahi.avahiLog();
    ASSERT_EQ(delegate->events(), std::vector<std::string>{"published"}) << avahi.avahiLog();
    auto lines = avahi.browse("_quintarvel._tcp");
    EXPECT_TRUE(test::PrivateAvahi::listsResolved(lines, "Quintarvel\\032" + name.substr(11),
                                                  "_quintarvel._tcp", 47011))
        << joined(lines);
}

TEST_F(NetServiceOnPrivateAvahi, NameTakenOrInvalidPortIsNotPublished) {
    auto first = std::make_shared<test::RecordingNetServiceDelegate>();
    auto second = std::make_shared<test::RecordingNetServiceDelegate>();
    auto third = std::make_shared<test::RecordingNetServiceDelegate>();
    const std::string name = test::PrivateAvahi::uniqueName("Twin");
    auto a = NetService::create("", "_quintarvel._tcp", name, 47012);
    auto b = NetService::create("", "_quintarvel._tcp", name, 47013);
    auto c = NetService::create("", "_quintarvel._tcp", "Quintarvel", 70000);
    a->setDelegate(first);
    b->setDelegate(second);
    c->setDelegate(third);
    a->publish();
    ASSERT_TRUE(first->waitFor(1));
    ASSERT_EQ(first->events(), std::vector<std::string>{"published"});
    b->publish();
    c->publish();
    ASSERT_TRUE(second->waitFor(1) && third->waitFor(1));
    EXPECT_EQ(second->events(), std::vector<std::string>{"not published"});
    EXPECT_EQ(second->lastError().at("NSNetServicesErrorCode"), -72001); // collision
    EXPECT_EQ(third->events(), std::vector<std::string>{"not published"});
    EXPECT_EQ(third->lastError().at("NSNetServicesErrorCode"), -72004); // bad argument
}

TEST_F(NetServiceOnPrivateAvahi, DaemonGoingAwayIsReportedAndBusWithoutDaemonFails) {
    auto delegate = std::make_shared<test::RecordingNetServiceDelegate>();
    auto service = NetService::create("", "_quintarvel._tcp",
                                      test::PrivateAvahi::uniqueName("Quintarvel"), 47014);
    service->setDelegate(delegate);
    service->publish();
    ASSERT_TRUE(delegate->waitFor(1));
    avahi.stopAvahi();
    ASSERT_TRUE(delegate->waitFor(2));
    EXPECT_EQ(delegate->events(), (std::vector<std::string>{"published", "not published"}));

    // The bus is still there, the daemon is not.
    service->publish();
    ASSERT_TRUE(delegate->waitFor(3));
    EXPECT_EQ(delegate->events().back(), "not published");
    EXPECT_EQ(delegate->lastError().at("AvahiErrorCode"), -26); // no daemon
}

} // namespace
} // namespace quintarvel
