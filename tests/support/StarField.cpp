#include "support/StarField.h"

#include "support/ImageFiles.h"

#include <fitsio.h>
#include <png.h>
#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <numbers>
#include <random>
#include <set>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char **environ;

namespace quintarvel::test {
namespace {

constexpr double degree = std::numbers::pi / 180.0;

// Runs a program without a shell and hands back everything it wrote to standard output.
std::string captureOutput(const std::vector<std::string> &arguments) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char *> argv;
    for (const auto &a : arguments)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot run " + arguments[0] + ": " + std::strerror(rc));
    }
    std::string output;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(arguments[0] + " failed on " + arguments.back());
    return output;
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

FilePtr openForWriting(const std::filesystem::path &path) {
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f)
        throw std::runtime_error("cannot write " + path.string() + ": " + std::strerror(errno));
    return f;
}

} // namespace

std::filesystem::path tycho2IndexFile(int number) {
    return "/usr/share/astrometry/index-tycho2-" + std::to_string(number) + ".littleendian.fits";
}

std::vector<Star> catalogStars(double ra, double dec, double radius,
                               const std::vector<std::filesystem::path> &indexFiles,
                               const std::filesystem::path &queryProgram) {
    std::vector<Star> stars;
    // The same Tycho-2 star sits in several index files with the very same coordinates.
    std::set<std::pair<long long, long long>> seen;
    for (const auto &file : indexFiles) {
        const std::string output =
            captureOutput({queryProgram.string(), "-r", std::to_string(ra), "-d",
                           std::to_string(dec), "-R", std::to_string(radius), "-T", file.string()});
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) {
            Star s;
            if (std::sscanf(line.c_str(), "%lf, %lf, %lf", &s.ra, &s.dec, &s.magnitude) != 3 ||
                !std::isfinite(s.magnitude))
                continue;
            const auto key =
                std::make_pair(std::llround(s.ra * 36000), std::llround(s.dec * 36000));
            if (seen.insert(key).second)
                stars.push_back(s);
        }
    }
    return stars;
}

StarField::StarField(const StarFieldOptions &options, const std::vector<Star> &stars)
    : options_(options) {
    const int w = options.width, h = options.height;
    if (w <= 0 || h <= 0)
        throw std::invalid_argument("a star field needs a positive size");
    std::vector<double> sky(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));

    std::mt19937 random(options.seed);
    std::normal_distribution<double> noise(options.background, options.noise);
    for (auto &v : sky)
        v = noise(random);

    const double ra0 = options.raCenter * degree, dec0 = options.decCenter * degree;
    const double scale = options.pixelScale / 3600.0 * degree; // radians per pixel
    const double cosRot = std::cos(options.rotation * degree);
    const double sinRot = std::sin(options.rotation * degree);
    const double cx = (w - 1) / 2.0, cy = (h - 1) / 2.0;
    const double sigma0 = options.starSigma;
    const double maxPeak = 0.9 * (65535 - options.background);

    for (const auto &star : stars) {
        const double ra = star.ra * degree, dec = star.dec * degree;
        const double cosC =
            std::sin(dec0) * std::sin(dec) + std::cos(dec0) * std::cos(dec) * std::cos(ra - ra0);
        if (cosC <= 0.1)
            continue;
        // Standard coordinates: xi towards east, eta towards north.
        const double xi = std::cos(dec) * std::sin(ra - ra0) / cosC;
        const double eta =
            (std::cos(dec0) * std::sin(dec) - std::sin(dec0) * std::cos(dec) * std::cos(ra - ra0)) /
            cosC;
        // At rotation 0 east is right and north towards the last row: the engine, which
        // counts rows upwards from the first, then reports orientation 0.
        const double u = xi / scale, v = eta / scale;
        const double x = cx + u * cosRot - v * sinRot;
        const double y = cy + u * sinRot + v * cosRot;

        // Brighter stars grow wider instead of clipping, the way a real star's halo does, so
        // that the brightness order survives for the engine's star extraction.
        const double flux = 2 * std::numbers::pi * sigma0 * sigma0 * options.peakAtMagnitude10 *
                            std::pow(10.0, -0.4 * (star.magnitude - 10));
        const double sigma = std::max(sigma0, std::sqrt(flux / (2 * std::numbers::pi * maxPeak)));
        const double peak = flux / (2 * std::numbers::pi * sigma * sigma);
        const double reach = std::min(
            40.0, sigma * std::sqrt(2 * std::log(std::max(peak / (0.2 * options.noise), 1.0))));
        if (x < -reach || y < -reach || x > w - 1 + reach || y > h - 1 + reach)
            continue;
        if (x >= 0 && y >= 0 && x <= w - 1 && y <= h - 1)
            ++starsDrawn_;
        const int x0 = std::max(0, static_cast<int>(std::floor(x - reach)));
        const int x1 = std::min(w - 1, static_cast<int>(std::ceil(x + reach)));
        const int y0 = std::max(0, static_cast<int>(std::floor(y - reach)));
        const int y1 = std::min(h - 1, static_cast<int>(std::ceil(y + reach)));
        for (int py = y0; py <= y1; ++py)
            for (int px = x0; px <= x1; ++px) {
                const double r2 = (px - x) * (px - x) + (py - y) * (py - y);
                sky[static_cast<std::size_t>(py) * w + px] +=
                    peak * std::exp(-r2 / (2 * sigma * sigma));
            }
    }

    pixels_.resize(sky.size());
    std::transform(sky.begin(), sky.end(), pixels_.begin(), [](double v) {
        return static_cast<std::uint16_t>(std::lround(std::clamp(v, 0.0, 65535.0)));
    });
}

void StarField::writeFITS(const std::filesystem::path &path) const {
    fitsfile *file = nullptr;
    int status = 0;
    const std::string name = "!" + path.string(); // "!" replaces an existing file
    long axes[2] = {width(), height()};
    long first[2] = {1, 1};
    fits_create_file(&file, name.c_str(), &status);
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    fits_write_pix(file, TUSHORT, first, static_cast<LONGLONG>(pixels_.size()),
                   const_cast<std::uint16_t *>(pixels_.data()), &status);
    if (file)
        fits_close_file(file, &status);
    if (status != 0) {
        char text[FLEN_STATUS];
        fits_get_errstatus(status, text);
        throw std::runtime_error("cannot write " + path.string() + ": " + text);
    }
}

void StarField::writePNG(const std::filesystem::path &path) const {
    PngSpec picture;
    picture.width = width();
    picture.height = height();
    picture.colorType = PNG_COLOR_TYPE_GRAY;
    picture.bitDepth = 16;
    picture.samples = pixels_;
    writePng(path, picture);
}

void StarField::writeJPEG(const std::filesystem::path &path, int quality) const {
    JpegSpec picture;
    picture.width = width();
    picture.height = height();
    picture.components = 1;
    picture.quality = quality;
    picture.samples.reserve(pixels_.size());
    for (auto v : pixels_)
        picture.samples.push_back(static_cast<std::uint8_t>(v >> 8));
    writeJpeg(path, picture);
}

void StarField::writeTIFF(const std::filesystem::path &path) const {
    TiffSpec picture;
    picture.width = static_cast<std::uint32_t>(width());
    picture.height = static_cast<std::uint32_t>(height());
    picture.bitsPerSample = 16;
    picture.rowsPerStrip = 16;
    picture.samples = pixels_;
    writeTiff(path, picture);
}

void StarField::writeFloatTIFF(const std::filesystem::path &path) const {
    TiffSpec picture;
    picture.width = static_cast<std::uint32_t>(width());
    picture.height = static_cast<std::uint32_t>(height());
    picture.samplesPerPixel = 3;
    picture.bitsPerSample = 32;
    picture.sampleFormat = SAMPLEFORMAT_IEEEFP;
    picture.photometric = PHOTOMETRIC_RGB;
    picture.rowsPerStrip = 16;
    picture.values.reserve(pixels_.size() * 3);
    for (auto v : pixels_)
        for (double tint : {1.0, 0.97, 0.93})
            picture.values.push_back(double(static_cast<float>(v * tint / 65535)));
    writeTiff(path, picture);
}

void StarField::writeRAW2(const std::filesystem::path &path) const {
    std::string pixels;
    pixels.reserve(pixels_.size() * 2);
    for (auto v : pixels_) {
        pixels.push_back(static_cast<char>(v & 0xff));
        pixels.push_back(static_cast<char>(v >> 8));
    }
    const std::string bytes = rawContainer("RAW2", static_cast<std::uint32_t>(width()),
                                           static_cast<std::uint32_t>(height()), pixels);
    FilePtr f = openForWriting(path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace quintarvel::test
