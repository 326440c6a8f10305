#include "app/SolvePipeline.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using pipeline::Arguments;
using pipeline::WorkingNames;

TEST(SolvePipeline, ConfigurationListsTheIndexFilesPresentInTableOrder) {
    test::TempDir dir;
    const std::string head = "cpulimit 300\nadd_path " + dir.path().string() + "\n";
    EXPECT_EQ(pipeline::configurationText(dir.path()), head);

    test::writeFile(dir / "index-4107.fits", "");
    EXPECT_EQ(pipeline::configurationText(dir.path()), head + "index index-4107.fits\n");

    // Every present file of the table, widest quads first as the table is built; other
    // files and broken links are not listed.
    for (const char *name : {"index-4219.fits", "index-4205-11.fits", "index-4205-03.fits",
                             "index-4200-47.fits", "index-4119.fits", "index-4300.fits"})
        test::writeFile(dir / name, "");
    std::filesystem::create_symlink(dir / "gone", dir / "index-4110.fits");
    const std::string expected = head + "index index-4219.fits\n"
                                        "index index-4205-03.fits\n"
                                        "index index-4205-11.fits\n"
                                        "index index-4200-47.fits\n"
                                        "index index-4119.fits\n"
                                        "index index-4107.fits\n";
    EXPECT_EQ(pipeline::configurationText(dir.path()), expected);
}

TEST(SolvePipeline, AsciiAndFitsNames) {
    EXPECT_TRUE(pipeline::isAscii("add_path /tmp/x\n\x7f"));
    EXPECT_FALSE(pipeline::isAscii("add_path /home/jos\xc3\xa9"));

    EXPECT_TRUE(pipeline::isFITSPath("/d/m31.fits"));
    EXPECT_TRUE(pipeline::isFITSPath("/d/m31.fit"));
    EXPECT_TRUE(pipeline::isFITSPath(".fit"));
    EXPECT_FALSE(pipeline::isFITSPath("/d/m31.FITS"));
    EXPECT_FALSE(pipeline::isFITSPath("/d/m31.Fit"));
    EXPECT_FALSE(pipeline::isFITSPath("/d/m31.fits.gz"));
    EXPECT_FALSE(pipeline::isFITSPath("/d/m31.fts"));
    EXPECT_FALSE(pipeline::isFITSPath("/d/fits"));
}

TEST(SolvePipeline, HashIsSignedDecimalFnv1a) {
    EXPECT_EQ(pipeline::imagePathHash(""), "-3750763034362895579");       // offset basis
    EXPECT_EQ(pipeline::imagePathHash("foobar"), "-8821353812377114648"); // 0x85944171f73967e8
    EXPECT_EQ(pipeline::imagePathHash("/data/image.png"), "5873360953187364861");
    EXPECT_EQ(pipeline::imagePathHash("/data/M31.fits"), "-4249397668886661628");

    const auto names = WorkingNames::forImage("/tmp/q/", "/data/M31.fits");
    EXPECT_EQ(names.base, "/tmp/q/-4249397668886661628");
    EXPECT_EQ(names.base, WorkingNames::forImage("/tmp/q/", "/data/M31.fits").base);
    EXPECT_EQ(names.convertedImage(), names.base + ".fits");
    const std::vector<std::filesystem::path> created{
        names.base + ".xy",     names.base + ".wcs",      names.base + ".axy",
        names.base + ".corr",   names.base + ".match",    names.base + ".rdls",
        names.base + ".solved", names.base + "-indx.xyls"};
    EXPECT_EQ(names.createdFiles(false), created);
    auto withImage = created;
    withImage.emplace_back(names.base + ".fits");
    EXPECT_EQ(names.createdFiles(true), withImage);
}

TEST(SolvePipeline, CommandLinesArgumentForArgument) {
    const WorkingNames b{"/t/7"};
    EXPECT_EQ(pipeline::image2xyArguments({}, b, "/d/m.fits"),
              (Arguments{"-O", "-o", "/t/7.xy", "/d/m.fits"}));
    EXPECT_EQ(pipeline::image2xyArguments({"-d", "2"}, b, "/d/m.fits"),
              (Arguments{"-O", "-d", "2", "-o", "/t/7.xy", "/d/m.fits"}));
    const Arguments fixed{
        "--overwrite",   "--no-plots", "--no-remove-lines", "--no-verify-uniformize",
        "--sort-column", "FLUX",       "--uniformize",      "0"};
    auto plain = fixed;
    plain.insert(plain.end(), {"--axy", "/t/7.axy", "--config", "/s/q.cfg", "/t/7.xy"});
    EXPECT_EQ(pipeline::solveFieldArguments({}, b, "/s/q.cfg"), plain);
    auto withOptions = fixed;
    withOptions.insert(withOptions.end(), {"--ra", "10", "--depth", "20", "--axy", "/t/7.axy",
                                           "--config", "/s/q.cfg", "/t/7.xy"});
    EXPECT_EQ(pipeline::solveFieldArguments({"--ra", "10", "--depth", "20"}, b, "/s/q.cfg"),
              withOptions);
    EXPECT_EQ(pipeline::newWcsArguments("/d/m.fits", "/o/m_wcs.fits", b),
              (Arguments{"-d", "-i", "/d/m.fits", "-o", "/o/m_wcs.fits", "-w", "/t/7.wcs"}));
}

TEST(SolvePipeline, DoneMessageRoundsToHundredthsHalvesAwayFromZero) {
    EXPECT_EQ(pipeline::doneMessage(12.345), "\nDone in 12.35 seconds");
    EXPECT_EQ(pipeline::doneMessage(12.344), "\nDone in 12.34 seconds");
    EXPECT_EQ(pipeline::doneMessage(5), "\nDone in 5.0 seconds");
    EXPECT_EQ(pipeline::doneMessage(0.1), "\nDone in 0.1 seconds");
    EXPECT_EQ(pipeline::doneMessage(0.004), "\nDone in 0.0 seconds");
    EXPECT_EQ(pipeline::doneMessage(0.005), "\nDone in 0.01 seconds");
    EXPECT_EQ(pipeline::doneMessage(59.999), "\nDone in 60.0 seconds");
    EXPECT_EQ(pipeline::doneMessage(1234567.891), "\nDone in 1234567.89 seconds");
}

} // namespace
} // namespace quintarvel
