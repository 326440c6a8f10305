// The HTTP API handlers: SolverDelegate::handleUpload, handleUploadWithOptions, handleStatus.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "app/SolvePipeline.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/HttpResponseBody.h"
#include "platform/AtomicFile.h"
#include "service/SolverServices.h"
#include "service/UploadHeaders.h"

#include <cmath>
#include <exception>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <span>
#include <string_view>
#include <utility>

namespace quintarvel {
namespace {

HttpResponse jsonAnswer(nlohmann::json object) {
    return HttpResponse::ok(HttpResponseBody::json(std::move(object)));
}

HttpResponse accepted() {
    return jsonAnswer({{"status", "success"}});
}

HttpResponse refused(const std::string &reason) {
    return jsonAnswer({{"status", "error"}, {"errormessage", reason}});
}

std::string_view bytesOf(std::span<const std::uint8_t> body) {
    return {reinterpret_cast<const char *>(body.data()), body.size()};
}

// The write's outcome is not checked: a missing file fails the solve, which reports it.
void saveUpload(SolverDelegate &solver, const std::string &path,
                std::span<const std::uint8_t> body) {
    writeFileAtomically(path, bytesOf(body));
    solver.busy("\nFile uploaded to " + path + " (" + std::to_string(body.size()) + " bytes)");
}

// Runs the rest of a request that has claimed the solver. A throw (an allocation failing
// on a large upload, say) ends the request "failed", naming the cause, and goes on to the
// server, which answers 500: the solver is never left busy.
template <class Rest> HttpResponse endingOnThrow(SolverDelegate &solver, Rest rest) {
    try {
        return rest();
    } catch (const std::exception &error) {
        solver.failed(std::string("Failed to process HTTP request: ") + error.what());
        throw;
    } catch (...) {
        solver.failed("Failed to process HTTP request: unknown error");
        throw;
    }
}

// Each upload replaces the previous one, as "image.fits" does for every POST: an upload under
// another name removes the previous upload and the FITS file converted from it, so that the
// temporary folder holds one upload at a time. Called while the request holds the solver, so
// no solve is using them.
void removePreviousUpload(const std::string &temporaryFolder,
                          const std::optional<std::string> &previous, const std::string &path) {
    if (!previous || *previous == path)
        return;
    std::error_code ignored;
    std::filesystem::remove(*previous, ignored);
    if (!pipeline::isFITSPath(*previous))
        std::filesystem::remove(
            pipeline::WorkingNames::forImage(temporaryFolder, *previous).convertedImage(), ignored);
}

} // namespace

HttpResponse SolverDelegate::handleUpload(const HttpRequest &request) {
    if (!claimSolver("\nProcessing HTTP request")) {
        log("Solver busy", errorColor());
        return refused("Solver busy");
    }
    return endingOnThrow(*this, [&] {
        const auto parts = request.multipartParts();
        if (parts.size() != 1) {
            failed("Invalid request");
            return refused("Invalid request");
        }
        const std::string path = paths_.temporaryFolder + "image.fits";
        removePreviousUpload(paths_.temporaryFolder, services().replaceLastUpload(path), path);
        saveUpload(*this, path, parts.front().body);
        solveImage(path);
        return accepted();
    });
}

HttpResponse SolverDelegate::handleUploadWithOptions(const HttpRequest &request) {
    if (!claimSolver("\nProcessing HTTP request")) {
        log("Solver busy", errorColor());
        return refused("Solver busy");
    }
    return endingOnThrow(*this, [&] {
        auto options = upload::engineOptions(request.headers);
        // A name that would leave the temporary folder, or miss it, is refused rather than
        // replaced: the name's extension decides whether the image is converted.
        const auto name = upload::fileNameInFolder(upload::requestedFileName(request.headers));
        if (!name) {
            failed("Invalid file name");
            return refused("Invalid file name");
        }
        const std::string path = paths_.temporaryFolder + *name;
        removePreviousUpload(paths_.temporaryFolder, services().replaceLastUpload(path), path);
        saveUpload(*this, path, request.body);
        solveImage(path, std::nullopt, std::move(options.image2xy), std::move(options.solveField));
        return accepted();
    });
}

HttpResponse SolverDelegate::handleStatus(const HttpRequest &) {
    const auto report = statusReport();
    nlohmann::json answer = {{"status", report.status}};
    if (report.status == "done") {
        // A number JSON cannot carry (an engine line reading "nan") is left out like an
        // unset one, so that the answer stays JSON.
        auto calibration = nlohmann::json::object();
        auto put = [&calibration](const char *key, std::optional<double> value) {
            if (value && std::isfinite(*value))
                calibration[key] = *value;
        };
        put("ra", report.raCenter);
        put("dec", report.decCenter);
        put("orientation", report.orientation);
        put("pixscale", report.pixelScale);
        if (report.parity)
            calibration["parity"] = *report.parity;
        answer["calibration"] = std::move(calibration);
    } else if (report.status != "ready") {
        answer["message"] = report.message;
    }
    return jsonAnswer(std::move(answer));
}

} // namespace quintarvel
