#include "service/UploadHeaders.h"

#include <string_view>

namespace quintarvel::upload {
namespace {

const std::string *header(const HttpRequest::HeaderMap &headers, const std::string &name) {
    auto found = headers.find(name);
    return found == headers.end() ? nullptr : &found->second;
}

} // namespace

EngineOptions engineOptions(const HttpRequest::HeaderMap &headers) {
    EngineOptions options;
    if (auto factor = header(headers, "downsample_factor"))
        options.image2xy = {"-d", *factor};

    auto radius = header(headers, "radius");
    auto ra = header(headers, "ra_center");
    auto dec = header(headers, "dec_center");
    if (radius && ra && dec)
        options.solveField = {"--ra", *ra, "--dec", *dec, "--radius", *radius};
    for (const auto &[name, option] :
         {std::pair{"parity", "--parity"}, std::pair{"cpulimit", "--cpulimit"},
          std::pair{"depth", "--depth"}}) {
        if (auto value = header(headers, name)) {
            options.solveField.push_back(option);
            options.solveField.push_back(*value);
        }
    }
    return options;
}

std::string requestedFileName(const HttpRequest::HeaderMap &headers) {
    std::string name = "image.fits";
    auto disposition = header(headers, "content-disposition");
    if (!disposition)
        return name;
    constexpr std::string_view separator = "; ";
    std::string_view rest = *disposition;
    for (;;) {
        const auto end = rest.find(separator);
        const std::string_view piece = rest.substr(0, end);
        if (piece.starts_with("filename=")) {
            const auto first = piece.find('"');
            const auto second =
                first == std::string_view::npos ? first : piece.find('"', first + 1);
            if (second != std::string_view::npos)
                name = piece.substr(first + 1, second - first - 1);
        }
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + separator.size());
    }
    return name;
}

std::optional<std::string> fileNameInFolder(const std::string &name) {
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
        return std::nullopt;
    return name;
}

} // namespace quintarvel::upload
