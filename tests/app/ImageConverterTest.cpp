#include "app/ImageConverter.h"

#include "support/HostileImage.h"
#include "support/ImageFiles.h"
#include "support/StarField.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <optional>
#include <tiffio.h>
#include <utility>
#include <vector>

namespace quintarvel {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t twoHundredMegabytes = std::uint64_t{200} << 20;

// The FITS file's bytes when the conversion succeeded.
std::optional<std::string> converted(const ImageConverter &converter, const fs::path &image,
                                     const fs::path &fits) {
    if (!converter.convert(image.string(), fits.string()))
        return std::nullopt;
    return test::readFile(fits);
}

// Capture programs name their FITS files ".FIT", ".FITS" or ".fts", which the pipeline
// converts: the first card makes the file FITS, and the engine gets the very bytes given. A
// first card that is not a "SIMPLE" card with the value T makes no FITS file, whatever the
// name.
TEST(ImageConverter, FitsInputUnderAnyNameComesOutByteForByte) {
    test::TempDir dir;
    test::StarFieldOptions options;
    options.width = 1030; // the file spans more than one piece of the copy's buffer
    test::StarField(options, {}).writeFITS(dir / "field.fits");
    const std::string original = test::readFile(dir / "field.fits");
    ASSERT_GT(original.size(), std::size_t{1} << 20);
    test::writeFile(dir / "out.fits", "an earlier conversion");
    for (const char *name : {"M31.FIT", "M31.FITS", "M31.fts"}) {
        test::writeFile(dir / name, original);
        const auto copy = converted(ImageConverter{}, dir / name, dir / "out.fits");
        EXPECT_TRUE(copy && *copy == original) << name; // not printed: megabytes of pixels
    }

    const auto card = [&original](const std::string &start) {
        return start + std::string(80 - start.size(), ' ') + original.substr(80);
    };
    // The value T outside byte 30, as some writers put it: the engine reads such files.
    const std::string freeFormat = card("SIMPLE  = T / free format");
    test::writeFile(dir / "M31.FITS", freeFormat);
    const auto copy = converted(ImageConverter{}, dir / "M31.FITS", dir / "out.fits");
    EXPECT_TRUE(copy && *copy == freeFormat);
    for (const std::string &notFits :
         {card("SIMPLE  =                    F / not conforming"),
          card("SIMPLE  =                    T junk"), card("SIMPLE =                     T"),
          std::string("SIMPLE  =                    T")}) {
        test::writeFile(dir / "M31.FITS", notFits);
        EXPECT_FALSE(converted(ImageConverter{}, dir / "M31.FITS", dir / "other.fits"))
            << notFits.substr(0, 80);
        EXPECT_FALSE(fs::exists(dir / "other.fits"));
    }
}

struct Picture {
    const char *name;
    std::uint32_t wide, high;
};

// Real pictures through the codecs whose output no bound ties to their input: a few megapixels
// each, a lossy DNG whose pixels are twice as wide as high, and a 100-megapixel LERC frame with
// the noise of a real one.
constexpr Picture unboundedPictures[] = {
    {"arithmetic.jpg", 2000, 1500},
    {"arithmetic-strips.tif", 2000, 2000},
    {"webp.tif", 2000, 1500},
    {"lerc.tif", 2000, 1500},
    {"jbig.tif", 2000, 1500},
    {"lossy.dng", 2048, 1536},
    {"lossy-stretched.dng", 4096, 1536},
    {"lerc-100mp.tif", 10000, 10000},
};

void writeUnboundedPictures(const test::TempDir &dir) {
    std::vector<std::uint16_t> gradient;
    for (std::uint32_t i = 0; i < 2000 * 1500 * 3; ++i)
        gradient.push_back(std::uint16_t(i / 3 % 2000 * 255 / 2000));
    test::JpegSpec jpeg;
    jpeg.width = 2000;
    jpeg.height = 1500;
    jpeg.samples.assign(gradient.begin(), gradient.end());
    jpeg.arithmetic = true;
    test::writeJpeg(dir / "arithmetic.jpg", jpeg);
    // Strips of a nearly black frame, in fewer bits than they have blocks: Huffman coding could
    // not make them, and each says in its own header that it is arithmetic-coded.
    test::JpegSpec strip;
    strip.width = 2000;
    strip.height = 500;
    strip.components = 1;
    strip.samples.assign(2000 * 500, 0);
    strip.samples[250 * 2000 + 1000] = 255;
    strip.arithmetic = true;
    const std::string stripBytes = test::jpegBytes(strip);
    EXPECT_LT(8 * stripBytes.size(), std::size_t{2000 / 8} * (500 / 8));
    test::writeJpegStripTiff(dir / "arithmetic-strips.tif", 2000, 2000, 500, {stripBytes});
    test::TiffSpec tiff;
    tiff.width = 2000;
    tiff.height = 1500;
    tiff.samplesPerPixel = 3;
    tiff.photometric = PHOTOMETRIC_RGB;
    tiff.rowsPerStrip = 100;
    tiff.samples = gradient;
    for (const auto &[name, compression] :
         {std::pair{"webp.tif", COMPRESSION_WEBP}, std::pair{"lerc.tif", COMPRESSION_LERC}}) {
        tiff.compression = compression;
        test::writeTiff(dir / name, tiff);
    }
    // JBIG codes one strip a picture, of one bit a pixel.
    tiff.samplesPerPixel = 1;
    tiff.bitsPerSample = 1;
    tiff.photometric = PHOTOMETRIC_MINISBLACK;
    tiff.compression = COMPRESSION_JBIG;
    tiff.rowsPerStrip = tiff.height;
    tiff.samples.resize(2000 * 1500);
    for (auto &v : tiff.samples)
        v = v > 128 ? 1 : 0;
    test::writeTiff(dir / "jbig.tif", tiff);
    test::JpegSpec tile;
    tile.width = tile.height = 512;
    tile.samples.assign(512 * 512 * 3, 100);
    test::writeLossyDng(dir / "lossy.dng", 2048, 1536, 512, test::jpegBytes(tile));
    test::writeLossyDng(dir / "lossy-stretched.dng", 2048, 1536, 512, test::jpegBytes(tile), 2);
    test::writeNoisyTiff(dir / "lerc-100mp.tif", 10000, 10000, COMPRESSION_LERC);
}

TEST(ImageConverter, HostileFilesFailTheirOwnConversionUnderTwoHundredMegabytes) {
    test::TempDir dir;
    ImageConverter converter;
    converter.memoryCeiling = twoHundredMegabytes;
    const fs::path output = dir / "out.fits";
    for (const test::HostileImage &hostile :
         {test::shortScanJpeg, test::declaredHugeTiff, test::crashingNef}) {
        test::writeFile(dir / hostile.name, hostile.bytes());
        EXPECT_FALSE(converted(converter, dir / hostile.name, output)) << hostile.name;
        EXPECT_FALSE(fs::exists(output)) << hostile.name;
    }
    // Under the ceiling the machine gives too: a file that cannot hold its picture never becomes
    // one, while a real frame that compresses about as far as Deflate goes still converts.
    const ImageConverter machine;
    std::vector<fs::path> tiny = test::writeTinyFilesDeclaringHugePictures(dir.path());
    for (const test::HostileImage &hostile : test::tinyFilesDeclaringHugePictures) {
        test::writeFile(dir / hostile.name, hostile.bytes());
        tiny.push_back(dir / hostile.name);
    }
    // Nor do files of a few kilobytes that their codecs' bounds pass, and that decode to
    // gigabytes: the file's size holds their conversion to what it can justify. Sanitizer builds
    // of the program go without that budget.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    for (const fs::path &hostile : test::writeHugePicturesWithinTheirCodecBounds(dir.path()))
        tiny.push_back(hostile);
#endif
    for (const fs::path &hostile : tiny) {
        EXPECT_FALSE(machine.convert(hostile.string(), output.string())) << hostile.filename();
        EXPECT_FALSE(fs::exists(output)) << hostile.filename();
        fs::remove(output);
    }
    constexpr std::uint32_t side = 10000;
    test::writeNearlyBlackTiff(dir / "black.tif", side, side);
    EXPECT_GT(std::uint64_t{side} * side * 2, 900 * fs::file_size(dir / "black.tif"));
    EXPECT_TRUE(machine.convert((dir / "black.tif").string(), output.string()));
    EXPECT_GT(fs::file_size(output), std::uint64_t{side} * side * 2);
    fs::remove(output);
    // So do tiles that each have bytes of their own, as they are or about as far as Deflate goes.
    test::TiffSpec tiled;
    tiled.width = 4000;
    tiled.height = 3000;
    tiled.tileSize = 256;
    tiled.samples.assign(4000 * 3000, 0);
    tiled.samples[1500 * 4000 + 2000] = 200;
    for (const auto &[name, compression] :
         {std::pair{"own-tiles.tif", COMPRESSION_NONE},
          std::pair{"own-deflate-tiles.tif", COMPRESSION_ADOBE_DEFLATE}}) {
        tiled.compression = std::uint16_t(compression);
        test::writeTiff(dir / name, tiled);
        EXPECT_TRUE(machine.convert((dir / name).string(), output.string())) << name;
        EXPECT_GT(fs::file_size(output), std::uint64_t{4000} * 3000 * 2) << name;
        fs::remove(output);
    }
    // So do real pictures through codecs without a bound, below the ceiling they are held to.
    writeUnboundedPictures(dir);
    for (const auto &[name, wide, high] : unboundedPictures) {
        EXPECT_TRUE(machine.convert((dir / name).string(), output.string())) << name;
        EXPECT_GT(fs::file_size(output), std::uint64_t{wide} * high * 2) << name;
        fs::remove(output);
    }
    // Pixels a decoder never wrote would carry the heap's fill pattern.
    test::writeFile(dir / test::shortTileTiff.name, test::shortTileTiff.bytes());
    std::optional<std::string> results[2];
    for (int i = 0; i < 2; ++i) {
        converter.environment = {{{"MALLOC_PERTURB_", i == 0 ? "17" : "200"}}};
        results[i] = converted(converter, dir / test::shortTileTiff.name, output);
    }
    EXPECT_EQ(results[0], results[1]);
}

TEST(ImageConverter, MemoryCeilingIsTheFixedOneOrThreeQuartersOfTheMachinesMemory) {
    constexpr std::uint64_t gib = std::uint64_t{1} << 30;
    EXPECT_EQ(ImageConverter::memoryCeilingFor(4 * gib), 3 * gib);
    EXPECT_EQ(ImageConverter::memoryCeilingFor(10 * gib), 7 * gib + gib / 2);
    EXPECT_EQ(ImageConverter::memoryCeilingFor(12 * gib), ImageConverter::defaultMemoryCeiling);
    EXPECT_EQ(ImageConverter::memoryCeilingFor(64 * gib), ImageConverter::defaultMemoryCeiling);
    // A machine that does not say how much it has keeps the fixed ceiling.
    EXPECT_EQ(ImageConverter::memoryCeilingFor(0), ImageConverter::defaultMemoryCeiling);
    EXPECT_EQ(ImageConverter{}.memoryCeiling,
              ImageConverter::memoryCeilingFor(ProcessInfo().physicalMemory()));
}

TEST(ImageConverter, ProgramPastTheTimeCeilingIsKilledAndItsHalfWrittenFileRemoved) {
    test::TempDir dir;
    test::writeFile(dir / "in.raw", test::rawContainer("RAW1", 1, 1, "\x09"));
    ImageConverter converter;
    converter.program = QUINTARVEL_TEST_FIXTURES "/stalling-converter.sh";
    converter.timeCeiling = std::chrono::milliseconds(200);
    EXPECT_FALSE(converter.convert((dir / "in.raw").string(), (dir / "out.fits").string()));
    EXPECT_FALSE(fs::exists(dir / "out.fits"));
}

TEST(ImageConverter, MemoryCeilingHoldsFromTheProgramsStart) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizer builds of the converter program run without a memory ceiling";
#endif
    test::TempDir dir;
    test::writeFile(dir / "in.raw",
                    test::rawContainer("RAW2", 2000, 2000, std::string(8000000, 'x')));
    ImageConverter converter;
    converter.memoryCeiling = 1 << 20;
    EXPECT_FALSE(converter.convert((dir / "in.raw").string(), (dir / "out.fits").string()));
    converter.memoryCeiling = ImageConverter::defaultMemoryCeiling;
    EXPECT_TRUE(converter.convert((dir / "in.raw").string(), (dir / "out.fits").string()));
}

TEST(ImageConverter, PathsReachTheProgramAsTheirBytes) {
    test::TempDir dir;
    const fs::path image = dir / "caf\xC3\xA9 \xE2\x98\x86 \xFF.raw";
    test::writeFile(image, test::rawContainer("RAW1", 2, 1, "\x09\x0A"));
    const auto fits = converted(ImageConverter{}, image, dir / "out.fits");
    ASSERT_TRUE(fits);
    EXPECT_EQ(fits->substr(0, 9), "SIMPLE  =");
}

} // namespace
} // namespace quintarvel
