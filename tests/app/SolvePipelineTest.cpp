#include "app/SolvePipeline.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace quintarvel {
namespace {

using pipeline::WorkingNames;

TEST(SolvePipeline, ConfigurationListsThePresentIndexFilesInTableOrder) {
    test::TempDir dir;
    const std::string head = "cpulimit 300\nadd_path " + dir.path().string() + "\n";
    EXPECT_EQ(pipeline::configurationText(dir.path()), head);
    // Widest quads first as the table is built; other files and broken links are not listed.
    for (const char *name : {"index-4107.fits", "index-4219.fits", "index-4205-11.fits",
                             "index-4205-03.fits", "index-4200-47.fits", "index-4300.fits"})
        test::writeFile(dir / name, "");
    std::filesystem::create_symlink(dir / "gone", dir / "index-4110.fits");
    EXPECT_EQ(pipeline::configurationText(dir.path()),
              head + "index index-4219.fits\nindex index-4205-03.fits\nindex index-4205-11.fits\n"
                     "index index-4200-47.fits\nindex index-4107.fits\n");

    for (const char *fits : {"/d/m31.fits", "/d/m31.fit", ".fit"})
        EXPECT_TRUE(pipeline::isFITSPath(fits)) << fits;
    for (const char *other : {"/d/m31.FITS", "/d/m31.fits.gz", "/d/m31.fts", "/d/fits"})
        EXPECT_FALSE(pipeline::isFITSPath(other)) << other;
}

TEST(SolvePipeline, WorkingNamesComeFromASignedDecimalFnv1aOfThePath) {
    EXPECT_EQ(pipeline::imagePathHash(""), "-3750763034362895579");       // offset basis
    EXPECT_EQ(pipeline::imagePathHash("foobar"), "-8821353812377114648"); // 0x85944171f73967e8
    EXPECT_EQ(pipeline::imagePathHash("/data/image.png"), "5873360953187364861");
    const auto b = WorkingNames::forImage("/tmp/q/", "/data/M31.fits").base;
    EXPECT_EQ(b, "/tmp/q/-4249397668886661628");
    std::vector<std::filesystem::path> created{b + ".xy",     b + ".wcs",      b + ".axy",
                                               b + ".corr",   b + ".match",    b + ".rdls",
                                               b + ".solved", b + "-indx.xyls"};
    EXPECT_EQ(WorkingNames{b}.createdFiles(false), created);
    created.emplace_back(b + ".fits");
    EXPECT_EQ(WorkingNames{b}.createdFiles(true), created);
}

TEST(SolvePipeline, DoneMessageRoundsToHundredthsHalvesAwayFromZero) {
    const std::pair<double, const char *> cases[] = {
        {12.345, "12.35"}, {12.344, "12.34"}, {5, "5.0"},       {0.1, "0.1"},
        {0.004, "0.0"},    {0.005, "0.01"},   {59.999, "60.0"}, {1234567.891, "1234567.89"}};
    for (const auto &[seconds, shown] : cases)
        EXPECT_EQ(pipeline::doneMessage(seconds), std::string("\nDone in ") + shown + " seconds");
}

} // namespace
} // namespace quintarvel
