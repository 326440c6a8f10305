#pragma once

#include "http/HttpRequest.h"

#include <optional>
#include <string>
#include <vector>

// What the raw-body upload (PUT "/api/upload") reads from its request headers.
namespace quintarvel::upload {

// The engine options of an upload, values passed on as received.
struct EngineOptions {
    // "downsample_factor" gives "-d" and its value.
    std::vector<std::string> image2xy;
    // "--ra", "--dec", "--radius" (only when "ra_center", "dec_center" and "radius" are all
    // given), then "--parity", "--cpulimit", "--depth" for the headers of those names.
    std::vector<std::string> solveField;
};

EngineOptions engineOptions(const HttpRequest::HeaderMap &headers);

// The file name the client gives: "content-disposition" split at "; ", and of every piece
// that begins with "filename=" the text between its first and second double quote, the last
// such piece winning ("image.fits" when there is none). A piece with fewer than two double
// quotes is passed over.
std::string requestedFileName(const HttpRequest::HeaderMap &headers);

// The name as one file of the temporary folder. None for a name that would miss the folder
// or leave it: empty, ".", "..", holding "/" or a zero byte. Such a name is refused, never
// shortened or replaced: the extension the client chose decides whether the image is
// converted, and a guess could solve a different file than the one sent.
std::optional<std::string> fileNameInFolder(const std::string &name);

} // namespace quintarvel::upload
