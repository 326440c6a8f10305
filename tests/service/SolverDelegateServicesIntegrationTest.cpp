#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/SolvePipeline.h"
#include "http/HttpServer.h"
#include "http/Socket.h"
#include "platform/Dispatch.h"
#include "service/PipeClient.h"
#include "service/UploadFormPage.h"
#include "support/ImageFiles.h"
#include "support/LoopbackHttpClient.h"
#include "support/PrivateAvahi.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/stat.h>

namespace quintarvel {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

std::string put(const std::string &body, const std::string &headers) {
    return "PUT /api/upload HTTP/1.1\r\nHost: localhost\r\n" + headers +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string post(const std::string &part) {
    const std::string body = "--b0undary\r\nContent-Disposition: form-data; name=\"image\"; "
                             "filename=\"m31.fits\"\r\nContent-Type: image/fits\r\n\r\n" +
                             part + "\r\n--b0undary--\r\n";
    return "POST /api/upload HTTP/1.1\r\nHost: localhost\r\n"
           "Content-Type: multipart/form-data; boundary=b0undary\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The services on 127.0.0.1 and a port of the system's choice, over the pipeline's fake
// engine. The private bus of PrivateAvahi is in place before any announcement, so none ever
// reaches a daemon of the machine; without its daemon the announcement fails at once.
class SolverDelegateServices : public ::testing::Test, protected test::SolverFixture {
  protected:
    SolverDelegateServices() : SolverFixture(QUINTARVEL_TEST_FIXTURES "/pipeline-engine") {
        test::writeFile(support() / "solution", "ra_center 160.5\ndec_center 1.25\n"
                                                "orientation 30\npixscale 29.97\nparity 1\n");
        options = test::loopbackServiceOptions(test::PrivateAvahi::uniqueName("Quintarvel"));
    }
    ~SolverDelegateServices() override {
        solver->stopServices();
        // The server's tasks let go of it, and with it of the handlers that hold the solver.
        EXPECT_TRUE(drainUntil([&] { return solver.use_count() == 1; }));
        avahi.stopAvahi();
        avahi.stopBus();
        EXPECT_EQ(test::openDescriptors(), descriptorsBefore);
    }

    std::filesystem::path support() const { return solver->paths().supportFolder; }
    // The pipes are made first, as an earlier run would have left them: the loop logs its
    // start before it makes them, so a client could otherwise come too early.
    void start() {
        ::mkfifo((support() / "request").c_str(), 0666);
        ::mkfifo((support() / "response").c_str(), 0666);
        solver->startServices(options);
        if (auto server = solver->httpServer(); server && server->isRunning())
            port = server->listeningPort();
        // The pipe loop is running once it has said so.
        ASSERT_TRUE(drainUntil([&] { return logged("IPC listener started").has_value(); }));
    }
    std::optional<Color> logged(const std::string &text) const {
        for (const auto &[line, color] : logView->lines)
            if (line == text + "\n")
                return color;
        return std::nullopt;
    }
    // Where the first line from `from` on that `matches` stands. Each log call reaches the main
    // queue on its own: one thread's lines keep their order, but another thread's may fall
    // between them.
    std::optional<std::size_t>
    lineAfter(std::size_t from, const std::function<bool(const std::string &)> &matches) const {
        for (std::size_t i = from; i < logView->lines.size(); ++i)
            if (matches(logView->lines[i].first))
                return i;
        return std::nullopt;
    }
    test::LoopbackHttpClient::Response ask(const std::string &request) {
        test::LoopbackHttpClient client(port);
        client.send(request);
        auto response = client.readResponse();
        EXPECT_TRUE(response) << request;
        return response.value_or(test::LoopbackHttpClient::Response{});
    }
    json askJson(const std::string &request) { return json::parse(ask(request).body); }
    json statusAfterSolve() {
        json answer;
        EXPECT_TRUE(drainUntil([&] {
            answer = askJson(test::getRequest("/api/status"));
            return answer["status"] != "busy";
        }));
        return answer;
    }

    const std::size_t descriptorsBefore = test::openDescriptors();
    test::PrivateAvahi avahi;
    SolverDelegate::ServiceOptions options;
    std::uint16_t port = 0;
};

TEST_F(SolverDelegateServices, ApiAnswersFormStatusAndUploadsOnItsPort) {
    start();
    ASSERT_NE(port, 0);
    EXPECT_EQ(logged("HTTP server started on port " + std::to_string(port)), successColor());

    const auto form = ask(test::getRequest("/"));
    EXPECT_EQ(form.header("Content-Type"), "text/html");
    EXPECT_EQ(form.body, uploadFormHtml);
    const auto status = ask(test::getRequest("/api/status"));
    EXPECT_EQ(status.header("Content-Type"), "application/json");
    EXPECT_EQ(json::parse(status.body), json({{"status", "ready"}}));

    // The last of the file names is used, and the option headers reach the engine.
    EXPECT_EQ(askJson(put("SIMPLE", "Content-Disposition: attachment; filename=\"x.fits\"; "
                                    "filename=\"m 31.fits\"\r\nDepth: 20\r\n"
                                    "Downsample_Factor: 2\r\n")),
              json({{"status", "success"}}));
    EXPECT_EQ(statusAfterSolve(), json({{"status", "done"},
                                        {"calibration",
                                         {{"ra", 160.5},
                                          {"dec", 1.25},
                                          {"orientation", 30.0},
                                          {"pixscale", 29.97},
                                          {"parity", 1}}}}));
    const std::string temporary = solver->paths().temporaryFolder;
    EXPECT_EQ(test::readFile(temporary + "m 31.fits"), "SIMPLE");
    const auto processing =
        lineAfter(0, [](const std::string &line) { return line == "\nProcessing HTTP request\n"; });
    ASSERT_TRUE(processing) << logView->text();
    EXPECT_TRUE(lineAfter(*processing + 1, [&](const std::string &line) {
        return line == "\nFile uploaded to " + temporary + "m 31.fits (6 bytes)\n";
    })) << logView->text();
    for (const std::string text : {"image2xy -O -d 2 ", " --depth 20 --axy "})
        EXPECT_NE(logView->text().find(text), std::string::npos) << text << logView->text();

    EXPECT_EQ(askJson(post("SIMPLE again")), json({{"status", "success"}}));
    EXPECT_EQ(statusAfterSolve()["status"], "done");
    EXPECT_EQ(test::readFile(temporary + "image.fits"), "SIMPLE again");
    EXPECT_EQ(ask(test::getRequest("/api/upload")).status, 404);

    // The pipes are served beside the server.
    test::PipeClient client(support());
    EXPECT_EQ(client.exchange({"wcsinfo", (support() / "solution").string()}),
              (Lines{"ra_center 160.5", "dec_center 1.25", "orientation 30", "pixscale 29.97",
                     "parity 1", "<<<EOF>>>"}));

    // No daemon on the private bus: the announcement fails, with its error dictionary on a line
    // after the failure's.
    const auto isFailure = [](const std::string &line) {
        return line == "Bonjour service failed\n";
    };
    const auto isDictionary = [](const std::string &line) { return line.starts_with("[\""); };
    std::optional<std::size_t> failure, dictionary;
    ASSERT_TRUE(drainUntil([&] {
        failure = lineAfter(0, isFailure);
        dictionary = failure ? lineAfter(*failure + 1, isDictionary) : std::nullopt;
        return dictionary.has_value();
    })) << logView->text();
    EXPECT_EQ(logView->lines[*failure].second, errorColor());
    const auto &[text, color] = logView->lines[*dictionary];
    EXPECT_TRUE(std::regex_match(text, std::regex(R"(\["AvahiErrorCode": -[0-9]+, )"
                                                  R"("NSNetServicesErrorCode": -7200[0-9], )"
                                                  R"("NSNetServicesErrorDomain": 10\]\n)")))
        << text;
    EXPECT_EQ(color, errorColor());
}

TEST_F(SolverDelegateServices, TakenPortIsLoggedAndThePipesStillWork) {
    const auto taken = Socket::openListener(0, true, 1, "127.0.0.1");
    options.port = taken->localPort();
    start();
    EXPECT_EQ(logged("Can't start HTTP server"), errorColor());
    test::PipeClient client(support());
    const auto answer = client.exchange({"wcsinfo", (support() / "solution").string()});
    ASSERT_TRUE(answer && !answer->empty());
    EXPECT_EQ(answer->back(), "<<<EOF>>>");
    EXPECT_EQ(logView->text().find("HTTP server started"), std::string::npos);
    EXPECT_EQ(logView->text().find("Bonjour"), std::string::npos);
}

TEST_F(SolverDelegateServices, AnnouncedOnPrivateAvahi) {
    if (auto reason = test::PrivateAvahi::unavailableReason())
        GTEST_SKIP() << *reason;
    avahi.startBus();
    avahi.startAvahi();
    start();
    ASSERT_TRUE(drainUntil([&] { return logged("Bonjour service started").has_value(); }))
        << logView->text() << avahi.avahiLog();
    EXPECT_EQ(logged("Bonjour service started"), successColor());
    EXPECT_TRUE(test::PrivateAvahi::listsResolved(avahi.browse("_quintarvel._tcp"),
                                                  options.bonjourName, "_quintarvel._tcp", port));
}

TEST_F(SolverDelegateServices, BusyNeverShowsThePreviousRequestsMessage) {
    start();
    EXPECT_EQ(askJson(put("x", "Content-Disposition: attachment; filename=\"..\"\r\n")),
              json({{"status", "error"}, {"errormessage", "Invalid file name"}}));
    EXPECT_EQ(statusAfterSolve(), json({{"status", "failed"}, {"message", "Invalid file name"}}));
    // Asked at once, with the main queue not run in between.
    EXPECT_EQ(askJson(put("SIMPLE", "")), json({{"status", "success"}}));
    const auto status = askJson(test::getRequest("/api/status"));
    EXPECT_FALSE(status["status"] == "busy" && status["message"] == "Invalid file name") << status;
    EXPECT_EQ(statusAfterSolve()["status"], "done");
}

TEST_F(SolverDelegateServices, EachUploadReplacesThePreviousOne) {
    start();
    const std::string temporary = solver->paths().temporaryFolder;
    const auto converted = [&](const std::string &name) {
        return pipeline::WorkingNames::forImage(temporary, temporary + name).convertedImage();
    };
    test::PngSpec sky;
    sky.width = sky.height = 2;
    sky.samples = {1, 2, 3, 4};
    test::writePng(dir / "sky.png", sky);
    EXPECT_EQ(askJson(put(test::readFile(dir / "sky.png"),
                          "Content-Disposition: attachment; filename=\"first.png\"\r\n")),
              json({{"status", "success"}}));
    ASSERT_EQ(statusAfterSolve()["status"], "done") << logView->text();
    ASSERT_TRUE(std::filesystem::exists(converted("first.png")));

    EXPECT_EQ(
        askJson(put("SIMPLE", "Content-Disposition: attachment; filename=\"second.fits\"\r\n")),
        json({{"status", "success"}}));
    EXPECT_EQ(statusAfterSolve()["status"], "done");
    EXPECT_FALSE(std::filesystem::exists(temporary + "first.png"));
    EXPECT_FALSE(std::filesystem::exists(converted("first.png")));
    // The latest upload stays, for pipe clients to work on.
    EXPECT_EQ(test::readFile(temporary + "second.fits"), "SIMPLE");

    EXPECT_EQ(askJson(post("SIMPLE again")), json({{"status", "success"}}));
    EXPECT_EQ(statusAfterSolve()["status"], "done");
    EXPECT_FALSE(std::filesystem::exists(temporary + "second.fits"));
    EXPECT_EQ(test::readFile(temporary + "image.fits"), "SIMPLE again");

    // A manual request's image is the user's: no upload removes it.
    test::writeFile(temporary + "mine.fits", "SIMPLE mine");
    ASSERT_TRUE(solver->claimSolver("\nProcessing manual request"));
    solver->solveImage(temporary + "mine.fits");
    EXPECT_EQ(statusAfterSolve()["status"], "done");
    EXPECT_EQ(
        askJson(put("SIMPLE", "Content-Disposition: attachment; filename=\"third.fits\"\r\n")),
        json({{"status", "success"}}));
    EXPECT_EQ(statusAfterSolve()["status"], "done");
    EXPECT_EQ(test::readFile(temporary + "mine.fits"), "SIMPLE mine");
    EXPECT_FALSE(std::filesystem::exists(temporary + "image.fits"));
}

// Sixteen clients at once for half a minute, over HTTP and the pipes, against the fake
// engine: the status never pairs "busy" with the end of another request, every request that
// took the solver ends, and the pipe loop still answers afterwards.
TEST_F(SolverDelegateServices, SixteenClientsMixingUploadsStatusAndPipes) {
    // A client that writes its whole request before it opens "response" may be kept from that
    // open for seconds on a loaded machine: the loop waits for it as long as the test runs.
    solver->setPipeLimits({.readerGrace = std::chrono::minutes(10)});
    start();
    constexpr int clients = 16;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string solution = (support() / "solution").string();
    // "request" and "response" are one channel: the pipe clients of a machine take turns.
    std::mutex pipeTurn;
    std::mutex faultsMutex;
    std::vector<std::string> faults; // guarded by faultsMutex
    std::atomic<int> uploads = 0, pipeRequests = 0;
    const auto fault = [&](std::string what) {
        std::lock_guard lock(faultsMutex);
        if (faults.size() < 20)
            faults.push_back(std::move(what));
    };
    const auto askSafely = [&](const std::string &request) -> std::optional<json> {
        test::LoopbackHttpClient client(port);
        client.send(request);
        auto response = client.readResponse();
        if (!response || response->status != 200) {
            fault("no answer to " + request.substr(0, request.find('\r')));
            return std::nullopt;
        }
        return json::parse(response->body, nullptr, false);
    };
    const auto checkStatus = [&] {
        const auto status = askSafely(test::getRequest("/api/status"));
        if (!status || (*status)["status"] != "busy")
            return;
        const std::string message = status->value("message", "");
        if (message.empty() || message.starts_with("Done in ") ||
            message.starts_with("Failed to ") || message.starts_with("Invalid "))
            fault("busy beside an ended request's message: " + status->dump());
    };
    const auto pipeRequest = [&](int style, bool failing) {
        std::lock_guard turn(pipeTurn);
        test::PipeClient client(support());
        const auto text =
            test::PipeClient::requestText({"wcsinfo", failing ? solution + ".missing" : solution});
        std::optional<Lines> answer;
        if (style == 0) {
            answer = client.exchange({"wcsinfo", failing ? solution + ".missing" : solution});
        } else if (client.openRequest() && client.openResponse() && client.write(text)) {
            if (style == 1)
                client.closeRequest(); // style 2 holds it open while it reads
            answer = client.readLines();
        }
        if (!answer || answer->empty() || answer->back() != "<<<EOF>>>")
            fault("pipe answer of style " + std::to_string(style) + " did not end");
        else if (answer->front() != "message: Solver is busy")
            ++pipeRequests;
    };
    std::latch finished(clients);
    for (int c = 0; c < clients; ++c)
        globalQueue().async([&, c] {
            for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
                const int kind = (c + i) % 6;
                if (kind == 0 || kind == 1) {
                    // A FITS file that solves, or an image that cannot be converted.
                    const std::string name =
                        kind == 0 ? "c" + std::to_string(c) + ".fits" : "bad.png";
                    const auto answer =
                        askSafely(put("SIMPLE", "Content-Disposition: attachment; filename=\"" +
                                                    name + "\"\r\n"));
                    uploads += answer && (*answer)["status"] == "success";
                } else if (kind == 2) {
                    const auto answer = askSafely(post("SIMPLE"));
                    uploads += answer && (*answer)["status"] == "success";
                } else if (kind == 3 || kind == 4) {
                    pipeRequest(i % 3, kind == 4 && i % 2 == 0);
                }
                checkStatus();
            }
            finished.count_down();
        });
    // Each solve's clean-up asks the main queue for the check box: run it meanwhile.
    while (!finished.try_wait())
        mainQueue().drainFor(std::chrono::milliseconds(20));
    EXPECT_NE(statusAfterSolve()["status"], "busy");
    drainMainQueue(); // the last request's log lines
    {
        std::lock_guard lock(faultsMutex);
        EXPECT_TRUE(faults.empty()) << faults.front();
    }
    EXPECT_GT(uploads, 0);
    EXPECT_GT(pipeRequests, 0);

    // Every request that took the solver came to its end.
    int claims = 0, ends = 0;
    for (const auto &[line, color] : logView->lines) {
        claims += line == "\nProcessing HTTP request\n" || line == "\nProcessing IPC request\n";
        ends += line.starts_with("\nDone in ") || line.starts_with("\nFailed to ") ||
                line.starts_with("Failed to ") || line.starts_with("Invalid ");
    }
    EXPECT_EQ(claims, uploads + pipeRequests);
    EXPECT_EQ(ends, claims);

    test::PipeClient client(support());
    EXPECT_EQ(client.exchange({"wcsinfo", solution}),
              (Lines{"ra_center 160.5", "dec_center 1.25", "orientation 30", "pixscale 29.97",
                     "parity 1", "<<<EOF>>>"}));
}

} // namespace
} // namespace quintarvel
