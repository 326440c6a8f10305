// Converting a 24-megapixel picture to FITS against decoding the same file with the bare
// library, for PNG, JPEG and 16-bit TIFF: as the application converts (the converter program,
// one process per image, under its ceilings) and in this process. Prints figures only.

#include "app/ImageConverter.h"
#include "app/ImageToFits.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <jpeglib.h>
#include <png.h>
#include <random>
#include <stdexcept>
#include <tiffio.h>
#include <vector>

namespace {

using namespace quintarvel;
namespace fs = std::filesystem;

constexpr int width = 6000, height = 4000, runs = 5;

// A star field: noisy background and a few thousand Gaussian stars, 16-bit RGB.
std::vector<std::uint16_t> makeSky() {
    std::mt19937 random(7);
    std::normal_distribution<double> noise(2000, 120);
    std::vector<double> grey(std::size_t(width) * height);
    for (auto &v : grey)
        v = noise(random);
    std::uniform_real_distribution<double> where(0, 1);
    for (int s = 0; s < 3000; ++s) {
        const double cx = where(random) * width, cy = where(random) * height;
        const double peak = 60000 * std::pow(where(random), 4);
        for (int y = std::max(0, int(cy) - 6); y < std::min(height, int(cy) + 7); ++y)
            for (int x = std::max(0, int(cx) - 6); x < std::min(width, int(cx) + 7); ++x)
                grey[std::size_t(y) * width + x] +=
                    peak * std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / 3.0);
    }
    std::vector<std::uint16_t> rgb;
    rgb.reserve(grey.size() * 3);
    for (double v : grey)
        for (double tint : {1.0, 0.97, 0.93})
            rgb.push_back(std::uint16_t(std::clamp(v * tint, 0.0, 65535.0)));
    return rgb;
}

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};

void decodePng(const fs::path &path) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
        throw std::runtime_error("PNG decoding failed");
    png_init_io(png, f.get());
    png_read_info(png, info);
    png_read_update_info(png, info);
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    std::vector<png_byte> pixels(rowBytes * png_get_image_height(png, info));
    std::vector<png_bytep> rows;
    for (std::size_t y = 0; y < png_get_image_height(png, info); ++y)
        rows.push_back(pixels.data() + y * rowBytes);
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
}

void decodeJpeg(const fs::path &path) {
    std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    jpeg_decompress_struct jpeg{};
    jpeg_error_mgr errors{};
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&jpeg);
    jpeg_stdio_src(&jpeg, f.get());
    jpeg_read_header(&jpeg, TRUE);
    jpeg.out_color_space = JCS_RGB;
    jpeg_start_decompress(&jpeg);
    const std::size_t rowBytes = std::size_t(jpeg.output_width) * 3;
    std::vector<JSAMPLE> pixels(rowBytes * jpeg.output_height);
    while (jpeg.output_scanline < jpeg.output_height) {
        JSAMPROW rows[16];
        const JDIMENSION y = jpeg.output_scanline;
        const JDIMENSION n = std::min<JDIMENSION>(16, jpeg.output_height - y);
        for (JDIMENSION i = 0; i < n; ++i)
            rows[i] = pixels.data() + (y + i) * rowBytes;
        jpeg_read_scanlines(&jpeg, rows, n);
    }
    jpeg_finish_decompress(&jpeg);
    jpeg_destroy_decompress(&jpeg);
}

void decodeTiff(const fs::path &path) {
    TIFF *tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        throw std::runtime_error("TIFF decoding failed");
    const tmsize_t stripSize = TIFFStripSize(tif);
    const std::uint32_t strips = TIFFNumberOfStrips(tif);
    std::vector<std::uint8_t> pixels(std::size_t(stripSize) * strips);
    for (std::uint32_t s = 0; s < strips; ++s)
        if (TIFFReadEncodedStrip(tif, s, pixels.data() + std::size_t(s) * stripSize, -1) < 0)
            throw std::runtime_error("TIFF decoding failed");
    TIFFClose(tif);
}

double medianSeconds(const std::function<void()> &work) {
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main() {
    test::TempDir dir;
    std::printf("generating a %d x %d star field...\n", width, height);
    const std::vector<std::uint16_t> sky = makeSky();
    std::vector<std::uint16_t> sky8(sky.size());
    // Stretched the way an 8-bit export of such a frame would be: background near 60.
    std::transform(sky.begin(), sky.end(), sky8.begin(), [](std::uint16_t v) {
        return std::uint16_t(std::clamp((int(v) - 1500) / 8, 0, 255));
    });

    test::PngSpec png;
    png.width = width;
    png.height = height;
    png.colorType = PNG_COLOR_TYPE_RGB;
    png.samples = sky8;
    test::writePng(dir / "sky.png", png);

    test::JpegSpec jpeg;
    jpeg.width = width;
    jpeg.height = height;
    jpeg.quality = 90;
    jpeg.samples.assign(sky8.begin(), sky8.end());
    test::writeJpeg(dir / "sky.jpg", jpeg);

    test::TiffSpec tiff;
    tiff.width = width;
    tiff.height = height;
    tiff.samplesPerPixel = 3;
    tiff.bitsPerSample = 16;
    tiff.photometric = PHOTOMETRIC_RGB;
    tiff.samples = sky;
    test::writeTiff(dir / "sky.tif", tiff);

    struct Format {
        const char *name, *file;
        void (*decode)(const fs::path &);
    } formats[] = {
        {"PNG 8-bit RGB", "sky.png", decodePng},
        {"JPEG RGB q90", "sky.jpg", decodeJpeg},
        {"TIFF 16-bit RGB", "sky.tif", decodeTiff},
    };
    std::printf("median of %d runs, %d x %d pixels\n", runs, width, height);
    std::printf("%-18s %9s %9s %10s %7s %13s %7s\n", "format", "file MB", "decode s", "convert s",
                "ratio", "in-process s", "ratio");
    const ImageConverter converter;
    for (const Format &f : formats) {
        const fs::path input = dir / f.file;
        const std::string output = (dir / "out.fits").string();
        const double decode = medianSeconds([&] { f.decode(input); });
        const double convert = medianSeconds([&] {
            if (!converter.convert(input.string(), output))
                throw std::runtime_error("conversion failed");
        });
        const double inProcess = medianSeconds([&] {
            if (!convertImageToFITS(input.string(), output))
                throw std::runtime_error("conversion failed");
        });
        std::printf("%-18s %9.1f %9.3f %10.3f %7.2f %13.3f %7.2f\n", f.name,
                    double(fs::file_size(input)) / 1e6, decode, convert, convert / decode,
                    inProcess, inProcess / decode);
    }
    return 0;
}
