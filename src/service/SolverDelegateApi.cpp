// The HTTP API handlers: SolverDelegate::handleUpload, handleUploadWithOptions, handleStatus.
#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "http/HttpRequest.h"
#include "http/HttpResponse.h"
#include "http/HttpResponseBody.h"
#include "platform/AtomicFile.h"
#include "service/UploadHeaders.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <span>
#include <string_view>

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

} // namespace

HttpResponse SolverDelegate::handleUpload(const HttpRequest &request) {
    if (!claimSolver()) {
        log("Solver busy", errorColor());
        return refused("Solver busy");
    }
    busy("\nProcessing HTTP request");
    const auto parts = request.multipartParts();
    if (parts.size() != 1) {
        failed("Invalid request");
        return refused("Invalid request");
    }
    const std::string path = paths_.temporaryFolder + "image.fits";
    saveUpload(*this, path, parts.front().body);
    solveImage(path);
    return accepted();
}

HttpResponse SolverDelegate::handleUploadWithOptions(const HttpRequest &request) {
    if (!claimSolver()) {
        log("Solver busy", errorColor());
        return refused("Solver busy");
    }
    busy("\nProcessing HTTP request");
    auto options = upload::engineOptions(request.headers);
    // A name that would leave the temporary folder, or miss it, is refused rather than
    // replaced: the name's extension decides whether the image is converted.
    const auto name = upload::fileNameInFolder(upload::requestedFileName(request.headers));
    if (!name) {
        failed("Invalid file name");
        return refused("Invalid file name");
    }
    const std::string path = paths_.temporaryFolder + *name;
    saveUpload(*this, path, request.body);
    solveImage(path, std::nullopt, std::move(options.image2xy), std::move(options.solveField));
    return accepted();
}

HttpResponse SolverDelegate::handleStatus(const HttpRequest &) {
    const std::string current = status();
    nlohmann::json answer = {{"status", current}};
    if (current == "done") {
        // A number JSON cannot carry (an engine line reading "nan") is left out like an
        // unset one, so that the answer stays JSON.
        auto calibration = nlohmann::json::object();
        auto put = [&calibration](const char *key, std::optional<double> value) {
            if (value && std::isfinite(*value))
                calibration[key] = *value;
        };
        put("ra", raCenter());
        put("dec", decCenter());
        put("orientation", orientation());
        put("pixscale", pixelScale());
        if (auto value = parity())
            calibration["parity"] = *value;
        answer["calibration"] = std::move(calibration);
    } else if (current != "ready") {
        answer["message"] = message();
    }
    return jsonAnswer(std::move(answer));
}

} // namespace quintarvel
