#include "app/SolverDelegate.h"

#include "http/HttpServer.h"
#include "platform/Dispatch.h"
#include "support/HostileImage.h"
#include "support/IndexLinks.h"
#include "support/LoopbackHttpClient.h"
#include "support/PrivateAvahi.h"
#include "support/SolverFixture.h"
#include "support/StarField.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace quintarvel {
namespace {

using nlohmann::json;

// A client's whole round through the HTTP API and the real engine: upload a generated field
// of 30" pixels around RA 160°, Dec +1° by PUT with a position hint, then poll the status.
TEST(SolverDelegateServicesEngine, PutImageIsSolvedAndTheStatusCarriesTheCalibration) {
    test::PrivateAvahi privateBus; // no announcement ever reaches a daemon of the machine
    test::SolverFixture fixture;
    const auto &solver = fixture.solver;
    std::vector<std::filesystem::path> indexFiles;
    for (int n = 10; n <= 19; ++n)
        indexFiles.push_back(test::tycho2IndexFile(n));
    test::linkTycho2IndexFiles(solver->paths().supportFolder);
    test::StarFieldOptions field;
    field.raCenter = 160;
    field.decCenter = 1;
    const auto stars =
        test::catalogStars(160, 1, 6, indexFiles, QUINTARVEL_LIBEXEC_DIR "/query-starkd");
    const auto image = fixture.dir / "field.fits";
    test::StarField(field, stars).writeFITS(image);
    const std::string body = test::readFile(image);

    SolverDelegate::ServiceOptions options;
    options.port = 0;
    options.forceIPv4 = true;
    options.listenAddress = "127.0.0.1";
    options.bonjourName = test::PrivateAvahi::uniqueName("Quintarvel");
    solver->startServices(options);
    const auto port = solver->httpServer()->listeningPort();
    auto ask = [port](const std::string &request) {
        test::LoopbackHttpClient client(port);
        client.send(request);
        return json::parse(client.readResponse().value().body);
    };

    EXPECT_EQ(ask("PUT /api/upload HTTP/1.1\r\nHost: localhost\r\n"
                  "Content-Disposition: attachment; filename=\"field.fits\"\r\n"
                  "RA_Center: 160.2\r\nDec_Center: 0.9\r\nRadius: 5\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n\r\n" + body),
              json({{"status", "success"}}));
    json status;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    do {
        mainQueue().drainFor(std::chrono::milliseconds(50));
        status = ask(test::getRequest("/api/status"));
    } while (status["status"] == "busy" && std::chrono::steady_clock::now() < limit);

    ASSERT_EQ(status["status"], "done") << fixture.logView->text();
    EXPECT_NEAR(status["calibration"]["ra"].get<double>(), 160, 0.01);
    EXPECT_NEAR(status["calibration"]["dec"].get<double>(), 1, 0.01);
    EXPECT_NEAR(status["calibration"]["pixscale"].get<double>(), 30, 0.3);
    EXPECT_TRUE(status["calibration"]["parity"].is_number_integer());
    EXPECT_NE(fixture.logView->text().find("--ra 160.2 --dec 0.9 --radius 5"), std::string::npos);

    solver->stopServices();
    while (solver.use_count() > 1 && std::chrono::steady_clock::now() < limit)
        mainQueue().drainFor(std::chrono::milliseconds(20));
}

// A camera raw upload that crashes the decoder fails its own solve only: the service answers
// on, and the next upload, a generated field that the converter turns into FITS, is solved.
TEST(SolverDelegateServicesEngine, CrashingCameraRawUploadFailsAloneAndTheNextImageIsSolved) {
    test::PrivateAvahi privateBus;
    test::SolverFixture fixture;
    const auto &solver = fixture.solver;
    std::vector<std::filesystem::path> indexFiles;
    for (int n = 10; n <= 19; ++n)
        indexFiles.push_back(test::tycho2IndexFile(n));
    test::linkTycho2IndexFiles(solver->paths().supportFolder);
    test::StarFieldOptions field;
    field.raCenter = 160;
    field.decCenter = 1;
    test::StarField(
        field, test::catalogStars(160, 1, 6, indexFiles, QUINTARVEL_LIBEXEC_DIR "/query-starkd"))
        .writePNG(fixture.dir / "field.png");

    SolverDelegate::ServiceOptions options;
    options.port = 0;
    options.forceIPv4 = true;
    options.listenAddress = "127.0.0.1";
    options.bonjourName = test::PrivateAvahi::uniqueName("Quintarvel");
    solver->startServices(options);
    const auto port = solver->httpServer()->listeningPort();
    auto ask = [port](const std::string &request) {
        test::LoopbackHttpClient client(port);
        client.send(request);
        return json::parse(client.readResponse().value().body);
    };
    auto upload = [&](const std::string &name, const std::string &body) {
        return ask("PUT /api/upload HTTP/1.1\r\nHost: localhost\r\n"
                   "Content-Disposition: attachment; filename=\"" +
                   name + "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                   body);
    };
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(5);
    auto statusWhenIdle = [&] {
        json status;
        do {
            mainQueue().drainFor(std::chrono::milliseconds(50));
            status = ask(test::getRequest("/api/status"));
        } while (status["status"] == "busy" && std::chrono::steady_clock::now() < limit);
        return status;
    };

    EXPECT_EQ(upload(test::crashingNef.name, test::crashingNef.bytes()),
              json({{"status", "success"}}));
    EXPECT_EQ(statusWhenIdle()["status"], "failed") << fixture.logView->text();
    EXPECT_NE(fixture.logView->text().find("Failed to convert"), std::string::npos);

    EXPECT_EQ(upload("field.png", test::readFile(fixture.dir / "field.png")),
              json({{"status", "success"}}));
    const json status = statusWhenIdle();
    ASSERT_EQ(status["status"], "done") << fixture.logView->text();
    EXPECT_NEAR(status["calibration"]["ra"].get<double>(), 160, 0.01);
    EXPECT_NEAR(status["calibration"]["dec"].get<double>(), 1, 0.01);

    solver->stopServices();
    while (solver.use_count() > 1 && std::chrono::steady_clock::now() < limit)
        mainQueue().drainFor(std::chrono::milliseconds(20));
}

} // namespace
} // namespace quintarvel
