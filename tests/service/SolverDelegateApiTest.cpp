#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "platform/Dispatch.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <latch>
#include <new>

namespace quintarvel {
namespace {

using nlohmann::json;

json answerOf(const HttpResponse &response) {
    EXPECT_EQ(response.kind(), HttpResponse::Case::ok);
    return std::get<HttpResponseBody::Json>(response.body()->value()).object;
}

HttpRequest request(std::string body, HttpRequest::HeaderMap headers = {}) {
    HttpRequest r;
    r.body.assign(body.begin(), body.end());
    r.headers = std::move(headers);
    return r;
}

// A multipart form with one part per content.
HttpRequest form(const std::vector<std::string> &contents) {
    std::string body;
    for (const auto &content : contents)
        body += "--XyZ\r\nContent-Disposition: form-data; name=\"image\"; filename=\"x.png\"\r\n"
                "\r\n" +
                content + "\r\n";
    body += "--XyZ--\r\n";
    return request(body, {{"content-type", "multipart/form-data; boundary=XyZ"}});
}

// Only answers and state here: the uploads that go on to solve are tried over loopback.
class SolverDelegateApi : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegateApi() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/pipeline-engine") {}
    std::string temporary() const { return solver->paths().temporaryFolder; }
    json status() { return answerOf(solver->handleStatus(HttpRequest{})); }
};

TEST_F(SolverDelegateApi, StatusAnswerFollowsTheSolverState) {
    EXPECT_EQ(status(), json({{"status", "ready"}}));
    solver->setStatus("done");
    EXPECT_EQ(status(), json({{"status", "done"}, {"calibration", json::object()}}));
    solver->setRaCenter(160.5);
    solver->setDecCenter(-1.25);
    solver->setOrientation(NAN); // not JSON: left out
    solver->setPixelScale(29.97);
    solver->setParity(1);
    const auto answer = status();
    EXPECT_EQ(answer,
              json({{"status", "done"},
                    {"calibration",
                     {{"ra", 160.5}, {"dec", -1.25}, {"pixscale", 29.97}, {"parity", 1}}}}));
    EXPECT_TRUE(answer["calibration"]["parity"].is_number_integer());
    solver->setStatus("failed");
    solver->setMessage("Failed to solve file");
    EXPECT_EQ(status(), json({{"status", "failed"}, {"message", "Failed to solve file"}}));
}

TEST_F(SolverDelegateApi, RefusedUploadsSaveNothingAndSayWhy) {
    const auto refused = [&](const HttpResponse &answer, const std::string &why) {
        EXPECT_EQ(answerOf(answer), json({{"status", "error"}, {"errormessage", why}}));
        drainMainQueue();
        EXPECT_EQ(solver->message(), why == "Solver busy" ? "Processing IPC request" : why);
        EXPECT_TRUE(std::filesystem::is_empty(temporary()));
    };
    refused(solver->handleUpload(form({})), "Invalid request");
    refused(solver->handleUpload(form({"a", "b"})), "Invalid request");
    refused(solver->handleUploadWithOptions(
                request("x", {{"content-disposition", R"(attachment; filename="..")"}})),
            "Invalid file name");
    EXPECT_EQ(solver->status(), "failed");

    // A busy solver is left alone: its state, its controls, its message.
    solver->setStatus("busy");
    solver->setMessage("Processing IPC request");
    logView->lines.clear();
    journal->clear();
    refused(solver->handleUpload(form({"x"})), "Solver busy");
    refused(solver->handleUploadWithOptions(request("x")), "Solver busy");
    ASSERT_EQ(logView->lines.size(), 2u);
    EXPECT_EQ(logView->lines[0], std::pair(std::string("Solver busy\n"), errorColor()));
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_TRUE(journal->empty());
}

TEST_F(SolverDelegateApi, OnlyOneOfManyClaimsAtOnceWins) {
    constexpr int claimants = 16;
    std::atomic<int> won = 0;
    std::latch ready(claimants), finished(claimants);
    for (int i = 0; i < claimants; ++i)
        globalQueue().async([&] {
            ready.arrive_and_wait();
            if (solver->claimSolver("\nProcessing HTTP request"))
                ++won;
            finished.count_down();
        });
    finished.wait();
    EXPECT_EQ(won, 1);
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_FALSE(solver->claimSolver("\nProcessing HTTP request"));
    solver->done(); // the claim ends with its request
    EXPECT_TRUE(solver->claimSolver("\nProcessing HTTP request"));
}

// A form that cannot be read for want of memory, as a large part may.
class UnreadableForm : public HttpRequest {
  public:
    std::vector<MultiPart> multipartParts() const & override { throw std::bad_alloc(); }
};

TEST_F(SolverDelegateApi, UploadThatThrowsEndsItsRequestFailedNamingTheCause) {
    // The server answers 500 for a handler that throws.
    EXPECT_THROW(solver->handleUpload(UnreadableForm{}), std::bad_alloc);
    drainMainQueue();
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Failed to process HTTP request: std::bad_alloc");
    EXPECT_EQ(
        logView->lines.back(),
        std::pair(std::string("Failed to process HTTP request: std::bad_alloc\n"), errorColor()));
    // The solver takes the next request.
    EXPECT_EQ(answerOf(solver->handleUpload(form({}))),
              json({{"status", "error"}, {"errormessage", "Invalid request"}}));
}

} // namespace
} // namespace quintarvel
