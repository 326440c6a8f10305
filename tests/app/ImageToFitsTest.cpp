#include "app/ImageToFits.h"

#include "app/RawImageRep.h"
#include "platform/ImageRepClass.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <atomic>
#include <csignal>
#include <fitsio.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <png.h>
#include <sys/resource.h>
#include <tiffio.h>

namespace quintarvel {
namespace {

namespace fs = std::filesystem;
using test::rawContainer;

struct Fits {
    long width = 0, height = 0;
    int bitpix = 0;
    double bzero = 0;
    std::vector<std::uint16_t> values; // as a FITS reader sees them, row 1 first
};

std::optional<Fits> readFits(const fs::path &path) {
    fitsfile *file = nullptr;
    int status = 0;
    if (fits_open_diskfile(&file, path.c_str(), READONLY, &status) != 0)
        return std::nullopt;
    Fits fits;
    int naxis = 0;
    long axes[2] = {0, 0};
    fits_get_img_param(file, 2, &fits.bitpix, &naxis, axes, &status);
    fits_read_key(file, TDOUBLE, "BZERO", &fits.bzero, nullptr, &status);
    fits.width = axes[0];
    fits.height = axes[1];
    fits.values.resize(std::size_t(axes[0] * axes[1]));
    int anyNull = 0;
    fits_read_img(file, TUSHORT, 1, LONGLONG(fits.values.size()), nullptr, fits.values.data(),
                  &anyNull, &status);
    fits_close_file(file, &status);
    if (status != 0 || naxis != 2)
        return std::nullopt;
    return fits;
}

constexpr int grey = PNG_COLOR_TYPE_GRAY, greyAlpha = PNG_COLOR_TYPE_GRAY_ALPHA,
              rgb = PNG_COLOR_TYPE_RGB, rgba = PNG_COLOR_TYPE_RGBA,
              palette = PNG_COLOR_TYPE_PALETTE;

using Writer = std::function<void(const fs::path &)>;
Writer rawFile(const char *magic, std::uint32_t width, std::uint32_t height, const char *pixels) {
    return [content = rawContainer(magic, width, height, pixels)](const fs::path &p) {
        test::writeFile(p, content);
    };
}
Writer pngFile(int width, int height, int colorType, int depth, std::vector<std::uint16_t> samples,
               std::vector<std::uint8_t> colors = {}) {
    test::PngSpec s;
    s.width = width;
    s.height = height;
    s.colorType = colorType;
    s.bitDepth = depth;
    s.samples = std::move(samples);
    s.palette = std::move(colors);
    return [s](const fs::path &p) { test::writePng(p, s); };
}
Writer tiffFile(std::uint32_t width, std::uint16_t samples, std::uint16_t bits,
                std::vector<std::uint16_t> values) {
    test::TiffSpec s;
    s.width = width;
    s.height = std::uint32_t(values.size() / samples / width);
    s.samplesPerPixel = samples;
    s.bitsPerSample = bits;
    s.photometric = samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    s.samples = std::move(values);
    return [s](const fs::path &p) { test::writeTiff(p, s); };
}

// RawImageRep is registered as start-up does; the registry is the process's own.
class ImageToFits : public ::testing::Test {
  protected:
    void SetUp() override { registerImageRepClass(RawImageRep::imageRepClass()); }
    void TearDown() override { unregisterImageRepClass(RawImageRep::imageRepClass().name); }

    std::string path(const std::string &name) const { return (dir / name).string(); }

    test::TempDir dir;
};

TEST_F(ImageToFits, WritesEveryLayoutUnsignedWithTheTopRowFirst) {
    struct Case {
        std::string name;
        Writer write;
        long width, height;
        std::vector<std::uint16_t> expected;
    };
    const Case cases[] = {
        {"grey.raw", rawFile("RAW1", 2, 2, "\x0A\x14\x1E\x28"), 2, 2, {10, 20, 30, 40}},
        // 40,000 stays 40,000: the values above 32767 are not clipped.
        {"grey16.raw", rawFile("RAW2", 2, 1, "\x40\x9C\x30\x75"), 2, 1, {40000, 30000}},
        {"rgb.raw", rawFile("RAW3", 1, 2, "\xFF\xFF\xFF\x01\x02\x03"), 1, 2, {765, 6}},
        {"grey.png", pngFile(2, 2, grey, 8, {10, 20, 30, 40}), 2, 2, {10, 20, 30, 40}},
        {"grey16.png", pngFile(1, 3, grey, 16, {40000, 65535, 0}), 1, 3, {40000, 65535, 0}},
        {"rgb.png", pngFile(2, 1, rgb, 8, {255, 255, 255, 1, 2, 3}), 2, 1, {765, 6}},
        {"rgba.png", pngFile(1, 1, rgba, 8, {1, 2, 3, 200}), 1, 1, {6}},
        {"rgb16.png", pngFile(1, 2, rgb, 16, {1, 1, 2, 65535, 65535, 65535}), 1, 2, {1, 65535}},
        {"pal.png", pngFile(2, 1, palette, 8, {1, 0}, {10, 20, 30, 40, 50, 60}), 2, 1, {150, 60}},
        {"greyalpha.png", pngFile(1, 1, greyAlpha, 16, {40000, 0}), 1, 1, {40000}},
        {"grey.tif", tiffFile(2, 1, 8, {10, 20, 30, 40}), 2, 2, {10, 20, 30, 40}},
        {"grey16.tif", tiffFile(1, 1, 16, {40000, 2}), 1, 2, {40000, 2}},
        {"rgb.tif", tiffFile(1, 3, 8, {100, 200, 255, 0, 0, 1}), 1, 2, {555, 1}},
        {"rgb16.tif", tiffFile(2, 3, 16, {40000, 40001, 40002, 3, 3, 4}), 2, 1, {40001, 3}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.write(dir / c.name);
        ASSERT_TRUE(convertImageToFITS(path(c.name), path(c.name + ".fits")));
        auto fits = readFits(dir / (c.name + ".fits"));
        ASSERT_TRUE(fits);
        EXPECT_EQ(fits->bitpix, 16);
        EXPECT_EQ(fits->bzero, 32768.0);
        EXPECT_EQ(fits->width, c.width);
        EXPECT_EQ(fits->height, c.height);
        EXPECT_EQ(fits->values, c.expected);
    }
}

TEST_F(ImageToFits, JpegGreyAndRgbAreConverted) {
    for (int components : {1, 3}) {
        test::JpegSpec picture;
        picture.width = 16;
        picture.height = 8;
        picture.components = components;
        for (int y = 0; y < 8; ++y)
            for (int i = 0; i < 16 * components; ++i)
                picture.samples.push_back(y < 4 ? 200 : 20); // bright top half
        const std::string name = "image" + std::to_string(components) + ".jpg";
        test::writeJpeg(dir / name, picture);
        ASSERT_TRUE(convertImageToFITS(path(name), path("out.fits")));
        auto fits = readFits(dir / "out.fits");
        ASSERT_TRUE(fits);
        EXPECT_EQ(fits->width, 16);
        EXPECT_EQ(fits->height, 8);
        EXPECT_NEAR(fits->values.front(), 200 * components, 3 * components);
        EXPECT_NEAR(fits->values.back(), 20 * components, 3 * components);
    }
}

std::atomic<int> asked{0};
bool countAsked(const ImageData &) {
    ++asked;
    return false;
}
std::vector<std::shared_ptr<BitmapImageRep>> never(const ImageData &) {
    return {};
}

TEST_F(ImageToFits, CameraRawByExactSuffixOtherNamesFromTheirBytes) {
    std::vector<std::uint16_t> mosaic(64 * 48);
    for (std::size_t i = 0; i < mosaic.size(); ++i)
        mosaic[i] = i / 64 < 24 ? 40000 : 4000;
    registerImageRepClass({"CountsAsked", countAsked, never});
    for (const char *name : {"photo.nef", "photo.cr2", "photo.NEF"}) {
        SCOPED_TRACE(name);
        asked = 0;
        test::writeDng(dir / name, 64, 48, mosaic);
        ASSERT_TRUE(convertImageToFITS(path(name), path("raw.fits")));
        // Only the data route consults the registered classes.
        EXPECT_EQ(asked, name == std::string("photo.NEF") ? 1 : 0);
        auto fits = readFits(dir / "raw.fits");
        ASSERT_TRUE(fits);
        EXPECT_EQ(fits->width, 64);
        EXPECT_EQ(fits->height, 48);
        EXPECT_NEAR(fits->values[2 * 64 + 30], 40000, 400); // top of the picture first
        EXPECT_NEAR(fits->values[45 * 64 + 30], 4000, 400);
    }
    unregisterImageRepClass("CountsAsked");
}

TEST_F(ImageToFits, OutputIsKeptWhenDecodingFailsAndReplacedOnlyWhenUsable) {
    test::writeFile(dir / "out.fits", "an older file");
    const std::pair<const char *, std::string> undecodable[] = {
        {"empty.png", ""},
        {"text.jpg", "this is text, not a JPEG"},
        {"bad.raw", rawContainer("RAW4", 1, 1, "\x01")},
        {"short.raw", "RAW"},
    };
    for (const auto &[name, content] : undecodable) {
        test::writeFile(dir / name, content);
        EXPECT_FALSE(convertImageToFITS(path(name), path("out.fits"))) << name;
    }
    EXPECT_FALSE(convertImageToFITS(path("missing.png"), path("out.fits")));
    EXPECT_EQ(test::readFile(dir / "out.fits"), "an older file");

    test::writeFile(dir / "in.raw", rawContainer("RAW1", 1, 1, "\x09"));
    EXPECT_FALSE(convertImageToFITS(path("in.raw"), path("no-such-folder/out.fits")));
    // A folder or file name in UTF-8 is as good as any other.
    EXPECT_TRUE(convertImageToFITS(path("in.raw"), path("caf\xC3\xA9.fits")));
    EXPECT_TRUE(readFits(dir / "caf\xC3\xA9.fits"));
    fs::create_directory(dir / "folder.fits");
    EXPECT_FALSE(convertImageToFITS(path("in.raw"), path("folder.fits")));
    EXPECT_TRUE(fs::is_directory(dir / "folder.fits"));

    // Taken literally: CFITSIO would read "(...)" as a template and "[...]" as an extension.
    for (const std::string &output : {path("out.fits"), path("M31 (2)[1].fits")}) {
        test::writeFile(output, "an older file");
        ASSERT_TRUE(convertImageToFITS(path("in.raw"), output));
        ASSERT_TRUE(readFits(output));
        EXPECT_EQ(readFits(output)->values, std::vector<std::uint16_t>{9});
    }
}

TEST_F(ImageToFits, ConversionsRunSideBySide) {
    std::vector<std::future<bool>> running;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "in" + std::to_string(i);
        pngFile(64, 64, grey, 16,
                std::vector<std::uint16_t>(64 * 64, 1000 * i))(dir / (name + ".png"));
        tiffFile(64, 1, 8, std::vector<std::uint16_t>(64 * 64, i))(dir / (name + ".tif"));
        for (const char *suffix : {".png", ".tif"})
            running.push_back(std::async(std::launch::async, [this, name, suffix] {
                return convertImageToFITS(path(name + suffix), path(name + suffix + ".fits"));
            }));
    }
    for (auto &r : running)
        EXPECT_TRUE(r.get());
    for (int i = 0; i < 4; ++i) {
        const std::string name = "in" + std::to_string(i);
        EXPECT_EQ(readFits(dir / (name + ".png.fits"))->values[100], 1000 * i);
        EXPECT_EQ(readFits(dir / (name + ".tif.fits"))->values[100], i);
    }
}

// A bitmap with any layout and size, over a few real bytes.
class FakeRep : public BitmapImageRep {
  public:
    FakeRep(const Layout &layout, const std::uint8_t *bytes) : BitmapImageRep(layout, bytes) {}
};
std::uint8_t fakeBytes[16] = {};
std::shared_ptr<BitmapImageRep> fakeRep;
bool claimFake(const ImageData &data) {
    return data.size() > 0 && data.bytes()[0] == 'F';
}
std::vector<std::shared_ptr<BitmapImageRep>> giveFake(const ImageData &) {
    return {fakeRep};
}

TEST_F(ImageToFits, RefusesLayoutsWithoutARuleAndPicturesAboveTheSizeLimit) {
    registerImageRepClass({"Fake", claimFake, giveFake});
    test::writeFile(dir / "fake.img", "F");
    BitmapImageRep::Layout rgba16;
    rgba16.pixelsWide = rgba16.pixelsHigh = 1;
    rgba16.bitsPerSample = 16;
    rgba16.samplesPerPixel = 4;
    rgba16.hasAlpha = true;
    rgba16.colorSpace = BitmapImageRep::ColorSpace::rgb;
    rgba16.bytesPerRow = 8;
    BitmapImageRep::Layout huge;
    huge.pixelsWide = huge.pixelsHigh = huge.bytesPerRow = 32768; // × 2 bytes = 2^31
    for (const auto &layout : {rgba16, huge}) {
        fakeRep = std::make_shared<FakeRep>(layout, fakeBytes);
        EXPECT_FALSE(convertImageToFITS(path("fake.img"), path("fake.fits")));
        EXPECT_FALSE(fs::exists(dir / "fake.fits"));
    }
    fakeRep.reset();
    unregisterImageRepClass("Fake");
}

TEST_F(ImageToFits, AFileThatCannotBeWrittenWholeIsRemovedAndReportedAsFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    test::writeFile(dir / "in.raw", rawContainer("RAW1", 200, 200, std::string(40000, 'x')));
    // A file size limit stands in for a full disk.
    auto convertWithLimit = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = 10000;
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool converted = convertImageToFITS(path("in.raw"), path("out.fits"));
        const bool removed = !converted && !fs::exists(dir / "out.fits");
        fs::remove_all(dir.path()); // the child's own folder: std::exit runs no destructor
        std::exit(removed ? 0 : 1);
    };
    EXPECT_EXIT(convertWithLimit(), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace quintarvel
