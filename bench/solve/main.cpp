// The solve pipeline against the bare engine on one generated star field: the pipeline from
// solveImage to "done", the same three engine commands run by hand with the same arguments,
// an HTTP PUT of the field by curl to the started service until its status reads "done", and
// the engine's one-shot solve-field with its default options. Prints figures only.
//   bench_solve [runs]   (default 10)

#include "app/SolvePipeline.h"
#include "app/SolverDelegate.h"
#include "http/HttpServer.h"
#include "platform/Dispatch.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "support/FakeViews.h"
#include "support/IndexLinks.h"
#include "support/LoopbackHttpClient.h"
#include "support/PrivateAvahi.h"
#include "support/SolverFixture.h"
#include "support/StarField.h"
#include "support/TempDir.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

using namespace quintarvel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The remove-files box, off; the pipeline's last act is to read it.
class CountingCheckBox : public test::FakeCheckBox {
  public:
    int state() const override {
        ++reads;
        return off;
    }
    mutable std::atomic<int> reads{0};
};

// One engine program to its end, its output read and dropped, as the runner starts it.
void runBare(const fs::path &program, const std::vector<std::string> &arguments,
             const SolverPaths &paths, const std::map<std::string, std::string> &environment) {
    auto output = std::make_shared<Pipe>();
    Process process;
    process.setLaunchPath(program);
    process.setArguments(arguments);
    if (!environment.empty())
        process.setEnvironment(environment);
    process.setCurrentDirectory(paths.supportFolder);
    process.setStandardOutput(output);
    process.setStandardError(output);
    process.launch();
    while (!output->fileHandleForReading().readDataOfLength(65536).empty()) {
    }
    if (process.waitUntilExit() != 0)
        throw std::runtime_error(program.filename().string() + " failed");
}

// The status word the service answers GET /api/status with.
std::string serviceStatus(std::uint16_t port) {
    test::LoopbackHttpClient client(port);
    client.send("GET /api/status HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const auto response = client.readResponse();
    if (!response)
        throw std::runtime_error("no answer to GET /api/status");
    return nlohmann::json::parse(response->body).at("status").get<std::string>();
}

// The remove-files box is read last, on the main queue: the solve has ended entirely once it
// has been read again.
void drainUntilRead(const CountingCheckBox &box, int reads) {
    while (box.reads == reads)
        mainQueue().drainFor(std::chrono::milliseconds(5));
}

// A client's round: curl uploads the field by PUT, then the status is
// asked every 10 ms until it reads "done", the window's main queue drained meanwhile; last,
// the end of the solve's clean-up is awaited. Gives the seconds from the start of curl to
// "done".
double uploadByCurl(SolverDelegate &solver, const CountingCheckBox &box, std::uint16_t port,
                    const std::string &image) {
    const int reads = box.reads;
    solver.setStatus("ready"); // so that the last run's "done" does not count
    const auto start = Clock::now();
    auto output = std::make_shared<Pipe>();
    Process upload;
    upload.setLaunchPath("/usr/bin/curl");
    upload.setArguments({"--silent", "--show-error", "--noproxy", "*", "--upload-file", image,
                         "http://127.0.0.1:" + std::to_string(port) + "/api/upload"});
    upload.setStandardOutput(output);
    upload.launch();
    std::string answer;
    for (std::vector<std::uint8_t> block;
         !(block = output->fileHandleForReading().readDataOfLength(4096)).empty();)
        answer.append(block.begin(), block.end());
    if (upload.waitUntilExit() != 0 || answer.find("success") == std::string::npos)
        throw std::runtime_error("curl's upload was not accepted: " + answer);
    std::string status;
    while ((status = serviceStatus(port)) == "busy" || status == "ready")
        mainQueue().drainFor(std::chrono::milliseconds(10));
    const double seconds = secondsSince(start);
    if (status != "done")
        throw std::runtime_error("the service did not solve the field");
    drainUntilRead(box, reads);
    return seconds;
}

} // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const fs::path engines = QUINTARVEL_LIBEXEC_DIR;

    test::TempDir dir;
    SolverPaths paths{dir / "support", dir / "support" / "quintarvel-0.cfg",
                      (dir / "tmp").string() + "/", engines};
    fs::create_directories(paths.supportFolder);
    fs::create_directories(dir / "tmp");
    test::linkTycho2IndexFiles(paths.supportFolder);

    // The engine tests' field: 1000 × 800 pixels of 30" around RA 160°, Dec +1°, turned 30°.
    test::StarFieldOptions options;
    options.raCenter = 160;
    options.decCenter = 1;
    options.rotation = 30;
    std::vector<fs::path> indexFiles;
    for (int n = 10; n <= 19; ++n)
        indexFiles.push_back(test::tycho2IndexFile(n));
    const test::StarField field(
        options, test::catalogStars(160, 1, 6, indexFiles, engines / "query-starkd"));
    const std::string image = (dir / "field.fits").string();
    field.writeFITS(image);

    auto solver = std::make_shared<SolverDelegate>(paths);
    auto box = std::make_shared<CountingCheckBox>();
    solver->setLogText(std::make_shared<test::FakeTextView>());
    solver->setRemoveFilesButton(box);

    // The service on a loopback port of its own; its announcement goes to a private bus with
    // no daemon, so it reaches nobody.
    test::PrivateAvahi privateBus;
    solver->startServices(
        test::loopbackServiceOptions(test::PrivateAvahi::uniqueName("Quintarvel bench")));
    const std::uint16_t port = solver->httpServer()->listeningPort();
    mainQueue().drain();

    const auto names = pipeline::WorkingNames::forImage(paths.temporaryFolder, image);
    const std::map<std::string, std::string> engineEnvironment{{"TMP", paths.temporaryFolder}};

    std::vector<double> pipelineTimes, bareTimes, httpTimes, oneShotTimes;
    for (int run = 0; run < runs; ++run) {
        // The pipeline, the window's main queue drained here.
        const int reads = box->reads;
        solver->setStatus("ready"); // so that the last run's "done" does not count
        auto start = Clock::now();
        solver->solveImage(image);
        while (solver->status() != "done" && solver->status() != "failed")
            mainQueue().drainFor(std::chrono::milliseconds(5));
        pipelineTimes.push_back(secondsSince(start));
        if (solver->status() != "done") {
            std::fprintf(stderr, "the pipeline did not solve the field\n");
            return 1;
        }
        drainUntilRead(*box, reads);

        // The same three commands by hand, with the configuration file the pipeline wrote.
        start = Clock::now();
        runBare(engines / "image2xy", pipeline::image2xyArguments({}, names, image), paths,
                engineEnvironment);
        runBare(engines / "solve-field",
                pipeline::solveFieldArguments({}, names, paths.configurationFile), paths,
                engineEnvironment);
        runBare(engines / "wcsinfo", {names.solution()}, paths, engineEnvironment);
        bareTimes.push_back(secondsSince(start));

        httpTimes.push_back(uploadByCurl(*solver, *box, port, image));

        // The one-shot default as a user runs it: the installed program in the user's
        // environment, in a fresh folder beside a copy of the image.
        const fs::path oneShot = dir / ("one-shot-" + std::to_string(run));
        fs::create_directories(oneShot);
        fs::copy_file(image, oneShot / "field.fits");
        start = Clock::now();
        runBare(fs::canonical(engines / "solve-field"),
                {(oneShot / "field.fits").string(), "--no-plots"}, SolverPaths{oneShot, {}, {}, {}},
                {});
        oneShotTimes.push_back(secondsSince(start));
        if (!fs::exists(oneShot / "field.wcs")) {
            std::fprintf(stderr, "the one-shot solve-field did not solve the field\n");
            return 1;
        }
    }

    solver->stopServices();
    const double inPipeline = median(pipelineTimes), bare = median(bareTimes),
                 overHttp = median(httpTimes), oneShot = median(oneShotTimes);
    std::printf("generated field 1000 x 800 at 30\"/px, %d stars; medians of %d runs\n",
                field.starsDrawn(), runs);
    std::printf("%-44s%8.3f s\n", "pipeline, solveImage to \"done\"", inPipeline);
    std::printf("%-44s%8.3f s\n", "image2xy + solve-field + wcsinfo by hand", bare);
    std::printf("%-44s%8.3f s\n", "curl PUT to the service until \"done\"", overHttp);
    std::printf("%-44s%8.3f s\n", "one-shot solve-field --no-plots (defaults)", oneShot);
    std::printf("pipeline / by hand       %6.3f  (target <= 1.08)\n", inPipeline / bare);
    std::printf("curl PUT / by hand       %6.3f  (target <= 1.15)\n", overHttp / bare);
    std::printf("one-shot / pipeline      %6.3f  (target >= 5)\n", oneShot / inPipeline);
    return 0;
}
