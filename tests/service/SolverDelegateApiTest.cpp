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
#include <sstream>

namespace quintarvel {
namespace {

using nlohmann::json;
using Args = std::vector<std::string>;

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

const json success = {{"status", "success"}};

// The pipeline's fake engine programs journal their runs in the support folder and solve
// with the results of the file "solution" there.
class SolverDelegateApi : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegateApi() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/pipeline-engine") {
        test::writeFile(support() / "solution", "ra_center 160.5\ndec_center 1.25\n"
                                                "orientation 30\npixscale 29.97\nparity 1\n");
    }

    std::filesystem::path support() const { return solver->paths().supportFolder; }
    std::string temporary() const { return solver->paths().temporaryFolder; }
    // Runs the main queue until the solve has ended and let go of the solver.
    void waitForSolve() {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((solver->status() == "busy" || solver.use_count() > 1) &&
               std::chrono::steady_clock::now() < limit)
            mainQueue().drainFor(std::chrono::milliseconds(20));
        drainMainQueue();
        ASSERT_NE(solver->status(), "busy");
    }
    std::vector<Args> engineRuns() const {
        std::vector<Args> runs;
        std::istringstream lines(test::readFile(support() / "journal"));
        for (std::string line; std::getline(lines, line);) {
            Args run;
            std::istringstream fields(line);
            for (std::string field; std::getline(fields, field, '\t');)
                run.push_back(field);
            runs.push_back(run);
        }
        return runs;
    }
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

    for (const char *word : {"busy", "failed"}) {
        solver->setStatus(word);
        solver->setMessage("Failed to solve file");
        EXPECT_EQ(status(), json({{"status", word}, {"message", "Failed to solve file"}}));
    }
}

TEST_F(SolverDelegateApi, PostSavesThePartAsImageFitsAndSolvesIt) {
    EXPECT_EQ(answerOf(solver->handleUpload(form({"SIMPLE"}))), success);
    waitForSolve();
    const std::string path = temporary() + "image.fits";
    EXPECT_EQ(test::readFile(path), "SIMPLE");
    EXPECT_NE(logView->text().find("\nProcessing HTTP request\n\nFile uploaded to " + path +
                                   " (6 bytes)\n"),
              std::string::npos)
        << logView->text();
    ASSERT_EQ(engineRuns().size(), 3u);
    EXPECT_EQ(engineRuns()[0].back(), path);
    EXPECT_EQ(solver->status(), "done");
    EXPECT_EQ(status()["calibration"]["ra"], 160.5);
}

TEST_F(SolverDelegateApi, PostWithoutExactlyOnePartIsInvalid) {
    for (const auto &contents : {std::vector<std::string>{}, std::vector<std::string>{"a", "b"}}) {
        EXPECT_EQ(answerOf(solver->handleUpload(form(contents))),
                  json({{"status", "error"}, {"errormessage", "Invalid request"}}));
        drainMainQueue();
        EXPECT_EQ(solver->status(), "failed");
        EXPECT_EQ(solver->message(), "Invalid request");
    }
    EXPECT_FALSE(std::filesystem::exists(temporary() + "image.fits"));
}

TEST_F(SolverDelegateApi, BusySolverRefusesUploadsAndIsLeftAlone) {
    solver->setStatus("busy");
    solver->setMessage("Processing IPC request");
    const json busy = {{"status", "error"}, {"errormessage", "Solver busy"}};
    EXPECT_EQ(answerOf(solver->handleUpload(form({"x"}))), busy);
    EXPECT_EQ(answerOf(solver->handleUploadWithOptions(request("x"))), busy);
    drainMainQueue();
    ASSERT_EQ(logView->lines.size(), 2u);
    EXPECT_EQ(logView->lines[0], std::pair(std::string("Solver busy\n"), errorColor()));
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_EQ(solver->message(), "Processing IPC request");
    EXPECT_TRUE(journal->empty()); // no control changed
    EXPECT_TRUE(std::filesystem::is_empty(temporary()));
}

TEST_F(SolverDelegateApi, PutSavesTheBodyUnderItsNameAndPassesTheOptions) {
    EXPECT_EQ(answerOf(solver->handleUploadWithOptions(request(""))), success);
    waitForSolve();
    EXPECT_TRUE(std::filesystem::exists(temporary() + "image.fits"));
    ASSERT_EQ(engineRuns().size(), 3u);
    EXPECT_EQ(engineRuns()[0][1], "-O");
    EXPECT_EQ(engineRuns()[0][2], "-o"); // no options
    EXPECT_EQ(engineRuns()[1][9], "--axy");

    std::filesystem::remove(support() / "journal");
    const auto put =
        request("SIMPLE",
                {{"content-disposition", R"(attachment; filename="x.fits"; filename="m 31.fits")"},
                 {"downsample_factor", "2"},
                 {"depth", "20"}});
    EXPECT_EQ(answerOf(solver->handleUploadWithOptions(put)), success);
    waitForSolve();
    EXPECT_EQ(test::readFile(temporary() + "m 31.fits"), "SIMPLE");
    const auto runs = engineRuns();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(Args(runs[0].begin() + 1, runs[0].begin() + 4), (Args{"-O", "-d", "2"}));
    EXPECT_EQ(Args(runs[1].begin() + 9, runs[1].begin() + 12), (Args{"--depth", "20", "--axy"}));
    EXPECT_EQ(solver->status(), "done");
}

TEST_F(SolverDelegateApi, PutNameOutsideTheFolderIsRefused) {
    const auto put = request("x", {{"content-disposition", R"(attachment; filename="..")"}});
    EXPECT_EQ(answerOf(solver->handleUploadWithOptions(put)),
              json({{"status", "error"}, {"errormessage", "Invalid file name"}}));
    drainMainQueue();
    EXPECT_EQ(solver->status(), "failed");
    EXPECT_EQ(solver->message(), "Invalid file name");
    EXPECT_TRUE(std::filesystem::is_empty(temporary()));
}

TEST_F(SolverDelegateApi, OnlyOneOfManyClaimsAtOnceWins) {
    constexpr int claimants = 16;
    std::atomic<int> won = 0;
    std::latch ready(claimants), finished(claimants);
    for (int i = 0; i < claimants; ++i)
        globalQueue().async([&] {
            ready.arrive_and_wait();
            if (solver->claimSolver())
                ++won;
            finished.count_down();
        });
    finished.wait();
    EXPECT_EQ(won, 1);
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_FALSE(solver->claimSolver());
    solver->setStatus("done");
    EXPECT_TRUE(solver->claimSolver());
}

} // namespace
} // namespace quintarvel
