#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "http/HttpServer.h"
#include "http/Socket.h"
#include "platform/Dispatch.h"
#include "service/PipeClient.h"
#include "service/UploadFormPage.h"
#include "support/LoopbackHttpClient.h"
#include "support/PrivateAvahi.h"
#include "support/SolverFixture.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
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
        options.port = 0;
        options.forceIPv4 = true;
        options.listenAddress = "127.0.0.1";
        options.bonjourName = test::PrivateAvahi::uniqueName("Quintarvel");
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
    // Runs the main queue until the condition holds; false when it does not in time.
    bool drainUntil(const std::function<bool()> &condition) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > limit)
                return false;
            mainQueue().drainFor(std::chrono::milliseconds(20));
        }
        return true;
    }
    std::optional<Color> logged(const std::string &text) const {
        for (const auto &[line, color] : logView->lines)
            if (line == text + "\n")
                return color;
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
    for (const std::string &text :
         {"\nProcessing HTTP request\n\nFile uploaded to " + temporary + "m 31.fits (6 bytes)\n",
          std::string("image2xy -O -d 2 "), std::string(" --depth 20 --axy ")})
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

    // No daemon on the private bus: the announcement fails, with its error in the log.
    ASSERT_TRUE(drainUntil([&] { return logged("Bonjour service failed").has_value(); }));
    EXPECT_EQ(logged("Bonjour service failed"), errorColor());
    EXPECT_NE(logView->text().find("Bonjour service failed\n[\"AvahiErrorCode\": "),
              std::string::npos)
        << logView->text();
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

} // namespace
} // namespace quintarvel
