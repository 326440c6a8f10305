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

#include <chrono>
#include <optional>

namespace quintarvel {
namespace {

using nlohmann::json;

// The service on a loopback port over the real engine, with the index files linked in and a
// generated field of 30" pixels around RA 160°, Dec +1°.
class SolverDelegateServicesEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        std::vector<std::filesystem::path> indexFiles;
        for (int n = 10; n <= 19; ++n)
            indexFiles.push_back(test::tycho2IndexFile(n));
        test::linkTycho2IndexFiles(solver->paths().supportFolder);
        test::StarFieldOptions options;
        options.raCenter = 160;
        options.decCenter = 1;
        field.emplace(options, test::catalogStars(160, 1, 6, indexFiles,
                                                  QUINTARVEL_LIBEXEC_DIR "/query-starkd"));

        solver->startServices(
            test::loopbackServiceOptions(test::PrivateAvahi::uniqueName("Quintarvel")));
        port = solver->httpServer()->listeningPort();
    }

    void TearDown() override {
        solver->stopServices();
        while (solver.use_count() > 1 && std::chrono::steady_clock::now() < limit)
            mainQueue().drainFor(std::chrono::milliseconds(20));
    }

    json ask(const std::string &request) const {
        test::LoopbackHttpClient client(port);
        client.send(request);
        return json::parse(client.readResponse().value().body);
    }

    json upload(const std::string &name, const std::string &body,
                const std::string &moreHeaders = "") const {
        return ask("PUT /api/upload HTTP/1.1\r\nHost: localhost\r\n"
                   "Content-Disposition: attachment; filename=\"" +
                   name + "\"\r\n" + moreHeaders +
                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }

    // Polls the status, the window's main queue drained meanwhile, until it is no longer busy.
    json statusWhenIdle() const {
        json status;
        do {
            mainQueue().drainFor(std::chrono::milliseconds(50));
            status = ask(test::getRequest("/api/status"));
        } while (status["status"] == "busy" && std::chrono::steady_clock::now() < limit);
        return status;
    }

    test::PrivateAvahi privateBus; // no announcement ever reaches a daemon of the machine
    test::SolverFixture fixture;
    const std::shared_ptr<SolverDelegate> &solver = fixture.solver;
    std::optional<test::StarField> field;
    std::uint16_t port = 0;
    const std::chrono::steady_clock::time_point limit =
        std::chrono::steady_clock::now() + std::chrono::minutes(5);
};

// A client's whole round through the HTTP API and the real engine: upload the field by PUT
// with a position hint, then poll the status.
TEST_F(SolverDelegateServicesEngine, PutImageIsSolvedAndTheStatusCarriesTheCalibration) {
    const auto image = fixture.dir / "field.fits";
    field->writeFITS(image);
    EXPECT_EQ(upload("field.fits", test::readFile(image),
                     "RA_Center: 160.2\r\nDec_Center: 0.9\r\nRadius: 5\r\n"),
              json({{"status", "success"}}));

    const json status = statusWhenIdle();
    ASSERT_EQ(status["status"], "done") << fixture.logView->text();
    EXPECT_NEAR(status["calibration"]["ra"].get<double>(), 160, 0.01);
    EXPECT_NEAR(status["calibration"]["dec"].get<double>(), 1, 0.01);
    EXPECT_NEAR(status["calibration"]["pixscale"].get<double>(), 30, 0.3);
    EXPECT_TRUE(status["calibration"]["parity"].is_number_integer());
    EXPECT_NE(fixture.logView->text().find("--ra 160.2 --dec 0.9 --radius 5"), std::string::npos);
}

// Capture programs write FITS files as "field.FITS": the pipeline hands such a name to the
// converter, which passes the file on unchanged, and the engine solves it.
TEST_F(SolverDelegateServicesEngine, PutFitsNamedInCapitalsIsSolved) {
    const auto image = fixture.dir / "field.fits";
    field->writeFITS(image);
    EXPECT_EQ(upload("field.FITS", test::readFile(image)), json({{"status", "success"}}));

    const json status = statusWhenIdle();
    ASSERT_EQ(status["status"], "done") << fixture.logView->text();
    EXPECT_NEAR(status["calibration"]["ra"].get<double>(), 160, 0.01);
    EXPECT_NEAR(status["calibration"]["dec"].get<double>(), 1, 0.01);
    EXPECT_NE(fixture.logView->text().find("field.FITS to "), std::string::npos);
}

// A camera raw upload that crashes the decoder fails its own solve only: the service answers
// on, and the next upload, the field as a PNG that the converter turns into FITS, is solved.
TEST_F(SolverDelegateServicesEngine, CrashingCameraRawUploadFailsAloneAndTheNextImageIsSolved) {
    EXPECT_EQ(upload(test::crashingNef.name, test::crashingNef.bytes()),
              json({{"status", "success"}}));
    EXPECT_EQ(statusWhenIdle()["status"], "failed") << fixture.logView->text();
    EXPECT_NE(fixture.logView->text().find("Failed to convert"), std::string::npos);

    field->writePNG(fixture.dir / "field.png");
    EXPECT_EQ(upload("field.png", test::readFile(fixture.dir / "field.png")),
              json({{"status", "success"}}));
    const json status = statusWhenIdle();
    ASSERT_EQ(status["status"], "done") << fixture.logView->text();
    EXPECT_NEAR(status["calibration"]["ra"].get<double>(), 160, 0.01);
    EXPECT_NEAR(status["calibration"]["dec"].get<double>(), 1, 0.01);
}

} // namespace
} // namespace quintarvel
