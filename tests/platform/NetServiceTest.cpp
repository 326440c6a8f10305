#include "platform/NetService.h"

#include "support/PrivateAvahi.h"
#include "support/RecordingNetServiceDelegate.h"

#include <gtest/gtest.h>

#include <future>

namespace quintarvel {
namespace {

// The private bus address has no listener here: no bus, no daemon.
class NetServiceWithoutDaemon : public ::testing::Test {
  protected:
    test::PrivateAvahi nothingRunning;
};

TEST_F(NetServiceWithoutDaemon, ReportsNotPublishedEachTimeAndNothingAfterStop) {
    auto delegate = std::make_shared<test::RecordingNetServiceDelegate>();
    auto service = NetService::create("", "_quintarvel._tcp", "Quintarvel", 8080);
    service->setDelegate(delegate);
    service->publish();
    ASSERT_TRUE(delegate->waitFor(1));
    auto error = delegate->lastError();
    EXPECT_EQ(error.at("NSNetServicesErrorCode"), -72000);
    EXPECT_EQ(error.at("NSNetServicesErrorDomain"), 10);
    EXPECT_LT(error.at("AvahiErrorCode"), 0);
    service->publish();
    ASSERT_TRUE(delegate->waitFor(2));
    service->stop();
    service->stop();
    EXPECT_EQ(delegate->events(), (std::vector<std::string>{"not published", "not published"}));

    // Without a delegate, stopped or destroyed while its task may still run: harmless.
    auto other = NetService::create("local.", "_quintarvel._tcp.", "", 1);
    other->publish();
    other->stop();
    NetService::create("", "_quintarvel._tcp", "Quintarvel", 8080)->publish();
}

// A delegate that lets go of the last reference to the service from inside its callback, or
// stops it there: neither may deadlock or touch freed memory.
class ReleasingDelegate : public NetServiceDelegate {
  public:
    std::shared_ptr<NetService> held;
    bool stopInstead = false;
    std::promise<void> called;
    void netServiceDidNotPublish(NetService &service, const ErrorDictionary &) override {
        if (stopInstead)
            service.stop();
        else
            held.reset();
        called.set_value();
    }
};

TEST_F(NetServiceWithoutDaemon, DelegateMayReleaseOrStopTheServiceFromItsCallback) {
    for (bool stop : {false, true}) {
        auto delegate = std::make_shared<ReleasingDelegate>();
        delegate->stopInstead = stop;
        auto service = NetService::create("", "_quintarvel._tcp", "Quintarvel", 8080);
        service->setDelegate(delegate);
        auto called = delegate->called.get_future();
        if (!stop)
            delegate->held = service;
        service->publish();
        if (!stop)
            service.reset(); // the delegate now holds the only reference
        ASSERT_EQ(called.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    }
}

} // namespace
} // namespace quintarvel
