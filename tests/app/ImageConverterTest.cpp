#include "app/ImageConverter.h"

#include "support/HostileImage.h"
#include "support/ImageFiles.h"
#include "support/StarField.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <optional>

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
    for (const test::HostileImage &hostile : test::tinyFilesDeclaringHugePictures) {
        test::writeFile(dir / hostile.name, hostile.bytes());
        EXPECT_FALSE(machine.convert((dir / hostile.name).string(), output.string()))
            << hostile.name;
        EXPECT_FALSE(fs::exists(output)) << hostile.name;
        fs::remove(output);
    }
    constexpr std::uint32_t side = 10000;
    test::writeNearlyBlackTiff(dir / "black.tif", side, side);
    EXPECT_GT(std::uint64_t{side} * side * 2, 900 * fs::file_size(dir / "black.tif"));
    EXPECT_TRUE(machine.convert((dir / "black.tif").string(), output.string()));
    EXPECT_GT(fs::file_size(output), std::uint64_t{side} * side * 2);
    fs::remove(output);
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
#ifdef __SANITIZE_ADDRESS__
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
