#include "service/UploadHeaders.h"

#include <gtest/gtest.h>

namespace quintarvel::upload {
namespace {

using Args = std::vector<std::string>;

TEST(UploadHeaders, OptionHeadersInTheFixedOrderAndPositionOnlyWithAllThree) {
    const auto options = engineOptions({{"depth", "10,20"},
                                        {"cpulimit", "60"},
                                        {"parity", "1"},
                                        {"radius", "5"},
                                        {"dec_center", "-1.5"},
                                        {"ra_center", "160"},
                                        {"downsample_factor", "2"},
                                        {"content-disposition", "attachment"}});
    EXPECT_EQ(options.image2xy, (Args{"-d", "2"}));
    EXPECT_EQ(options.solveField, (Args{"--ra", "160", "--dec", "-1.5", "--radius", "5", "--parity",
                                        "1", "--cpulimit", "60", "--depth", "10,20"}));
    EXPECT_EQ(engineOptions({{"radius", "5"}, {"ra_center", "160"}, {"depth", "20"}}).solveField,
              (Args{"--depth", "20"}));
    EXPECT_EQ(engineOptions({}).image2xy, Args{});
}

TEST(UploadHeaders, FileNameFromContentDispositionStaysInsideTheFolder) {
    EXPECT_EQ(requestedFileName({}), "image.fits");
    const std::pair<const char *, const char *> names[] = {
        {"attachment", "image.fits"},
        {R"(attachment; filename="a.fits"; filename="b.png")", "b.png"},
        // Only "; " separates pieces, and the name is taken as it stands between the quotes.
        {R"(attachment;filename="a.fits")", "image.fits"},
        {R"(attachment; filename=" sp ace.fit"x"; y)", " sp ace.fit"},
        // A piece without two quotes is passed over, keeping the name found so far.
        {R"(filename="a.fits"; filename=b.fits; filename="c)", "a.fits"},
        {R"(attachment; filename*="a.fits")", "image.fits"},
        {R"(attachment; filename="")", ""},
    };
    for (const auto &[value, name] : names)
        EXPECT_EQ(requestedFileName({{"content-disposition", value}}), name) << value;

    EXPECT_EQ(fileNameInFolder("m31.fits"), "m31.fits");
    EXPECT_EQ(fileNameInFolder("..fits"), "..fits");
    // A name holding "/" is refused, whatever its last component.
    for (const auto &bad :
         std::vector<std::string>{"", ".", "..", "a/..", "dir/", "/home/someone/m31.fits",
                                  "../../.bashrc", "sub/m31.fits", std::string("a\0b", 3)})
        EXPECT_EQ(fileNameInFolder(bad), std::nullopt) << bad;
}

} // namespace
} // namespace quintarvel::upload
