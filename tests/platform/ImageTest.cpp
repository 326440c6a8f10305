#include "platform/Image.h"

#include "platform/ImageRepClass.h"
#include "support/HostileImage.h"
#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <png.h>
#include <tiffio.h>
#include <tuple>

namespace quintarvel {
namespace {

using test::JpegSpec;
using test::PngSpec;
using test::TempDir;
using test::TiffSpec;
namespace fs = std::filesystem;

std::shared_ptr<BitmapImageRep> decodeBytes(const std::string &bytes) {
    auto image = Image::initWithData(ImageData::copyOf(bytes));
    return image ? image->representations().front() : nullptr;
}

// Every sample, row by row, without the padding up to bytesPerRow.
std::vector<unsigned> samplesOf(const BitmapImageRep &rep) {
    std::vector<unsigned> out;
    const std::int64_t perRow = rep.pixelsWide() * rep.samplesPerPixel();
    for (std::int64_t y = 0; y < rep.pixelsHigh(); ++y) {
        const std::uint8_t *row = rep.bitmapData() + y * rep.bytesPerRow();
        for (std::int64_t i = 0; i < perRow; ++i) {
            std::uint16_t v = row[i];
            if (rep.bitsPerSample() == 16)
                std::memcpy(&v, row + 2 * i, 2);
            out.push_back(v);
        }
    }
    return out;
}

struct Case {
    std::string name;
    std::function<void(const fs::path &)> write;
    int bitsPerPixel;
    std::vector<unsigned> expected;
};

void checkCases(const std::vector<Case> &cases) {
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.write(dir / c.name);
        auto rep = decodeBytes(test::readFile(dir / c.name));
        ASSERT_TRUE(rep);
        EXPECT_EQ(rep->bitsPerPixel(), c.bitsPerPixel);
        EXPECT_EQ(samplesOf(*rep), c.expected);
    }
}

PngSpec png(int width, int colorType, int depth, std::vector<std::uint16_t> samples) {
    PngSpec s;
    s.width = width;
    s.colorType = colorType;
    s.bitDepth = depth;
    s.samples = std::move(samples);
    return s;
}

TiffSpec tiff(std::uint32_t width, std::uint32_t height, std::uint16_t samples, std::uint16_t bits,
              std::uint16_t photometric, std::vector<std::uint16_t> values) {
    TiffSpec s;
    s.width = width;
    s.height = height;
    s.samplesPerPixel = samples;
    s.bitsPerSample = bits;
    s.photometric = photometric;
    s.samples = std::move(values);
    return s;
}

// Samples that are scaled to 16 bits: floating point, 32-bit or signed (`format`).
TiffSpec tiff(std::uint32_t width, std::uint32_t height, std::uint16_t samples, std::uint16_t bits,
              std::uint16_t format, std::uint16_t photometric, std::vector<double> values) {
    TiffSpec s = tiff(width, height, samples, bits, photometric, {});
    s.sampleFormat = format;
    s.values = std::move(values);
    return s;
}

auto writing(PngSpec picture) {
    return [picture](const fs::path &p) { test::writePng(p, picture); };
}
auto writing(TiffSpec picture) {
    return [picture](const fs::path &p) { test::writeTiff(p, picture); };
}

// The layouts plain 8/16-bit grey and RGB files do not reach (those go through the converter's
// own tests): low bit depths, alpha, palettes, interlacing.
TEST(Image, PngKeepsSixteenBitSamplesAndMapsEveryLayout) {
    PngSpec transparent = png(2, PNG_COLOR_TYPE_PALETTE, 8, {1, 0});
    transparent.palette = {10, 20, 30, 40, 50, 60};
    transparent.transparency = {0, 128};
    PngSpec interlaced = png(9, PNG_COLOR_TYPE_GRAY, 16, {});
    interlaced.height = 9;
    interlaced.interlaced = true;
    std::vector<unsigned> grid;
    for (unsigned i = 0; i < 81; ++i) {
        interlaced.samples.push_back(std::uint16_t(i * 800));
        grid.push_back(i * 800);
    }
    checkCases({
        {"grey1.png", writing(png(2, PNG_COLOR_TYPE_GRAY, 1, {0, 1})), 8, {0, 255}},
        {"grey2.png", writing(png(2, PNG_COLOR_TYPE_GRAY, 2, {1, 3})), 8, {85, 255}},
        {"grey4.png", writing(png(2, PNG_COLOR_TYPE_GRAY, 4, {1, 15})), 8, {17, 255}},
        {"rgba16.png",
         writing(png(1, PNG_COLOR_TYPE_RGBA, 16, {40000, 2, 3, 9})),
         48,
         {40000, 2, 3}},
        {"palette-trns.png", writing(transparent), 32, {40, 50, 60, 128, 10, 20, 30, 0}},
        {"interlaced.png", writing(interlaced), 16, grid},
    });
}

// Adobe CMYK is stored inverted; decoded to RGB like any other JPEG.
TEST(Image, CmykJpegGivesRgb) {
    TempDir dir;
    JpegSpec cmyk;
    cmyk.width = cmyk.height = 16;
    cmyk.components = 4;
    for (int i = 0; i < 256; ++i)
        cmyk.samples.insert(cmyk.samples.end(), {0, 0, 255, 0});
    test::writeJpeg(dir / "cmyk.jpg", cmyk);
    auto rep = decodeBytes(test::readFile(dir / "cmyk.jpg"));
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->bitsPerPixel(), 24);
    const auto samples = samplesOf(*rep);
    for (std::size_t i = 0; i < samples.size(); ++i)
        EXPECT_NEAR(int(samples[i]), i % 3 == 2 ? 0 : 255, 3) << "sample " << i;
}

TEST(Image, TiffKeepsSixteenBitSamplesAcrossStorageLayouts) {
    std::vector<std::uint16_t> rgb16;
    for (unsigned i = 0; i < 20 * 18 * 3; ++i)
        rgb16.push_back(std::uint16_t(i * 97));
    const std::vector<unsigned> same(rgb16.begin(), rgb16.end());
    TiffSpec planar = tiff(20, 18, 3, 16, PHOTOMETRIC_RGB, rgb16);
    TiffSpec tiled = planar, lzw = planar, bigEndian = planar;
    planar.planar = tiled.planar = PLANARCONFIG_SEPARATE;
    planar.rowsPerStrip = 5;
    tiled.tileSize = 16;
    lzw.compression = COMPRESSION_LZW;
    lzw.rowsPerStrip = 4;
    bigEndian.bigEndian = true;
    TiffSpec rgba8 = tiff(1, 1, 4, 8, PHOTOMETRIC_RGB, {1, 2, 3, 200});
    rgba8.extraSamples = {EXTRASAMPLE_UNASSALPHA};
    TiffSpec rgba16 = tiff(1, 1, 4, 16, PHOTOMETRIC_RGB, {40000, 2, 3, 9});
    rgba16.extraSamples = {EXTRASAMPLE_ASSOCALPHA};
    TiffSpec greyAlpha = tiff(2, 1, 2, 16, PHOTOMETRIC_MINISBLACK, {40000, 1, 7, 1});
    greyAlpha.extraSamples = {EXTRASAMPLE_UNASSALPHA};
    TiffSpec pages = tiff(2, 1, 1, 8, PHOTOMETRIC_MINISBLACK, {10, 20});
    pages.pages = 3;
    // Uncompressed strips are shared with the file's bytes, not copied: rows must still line up.
    TiffSpec strips = tiff(3, 5, 1, 16, PHOTOMETRIC_MINISBLACK,
                           {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 40000});
    strips.rowsPerStrip = 2;

    // Scaled samples: the smallest finite one to 0, the largest to 65535, halves rounded up,
    // NaN and infinities to 0.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr std::uint16_t ieee = SAMPLEFORMAT_IEEEFP, sint = SAMPLEFORMAT_INT;
    const TiffSpec greyFloat =
        tiff(4, 2, 1, 32, ieee, PHOTOMETRIC_MINISBLACK, {-1, 0, nan, 1, 3, inf, -inf, 0.5});
    // 17 × 2, two tiles across. Red spans 0..2, green 1..3, blue 0..4: the range is the
    // picture's, not each colour's.
    std::vector<double> rgbValues, rgbaValues;
    std::vector<unsigned> rgbScaled;
    const unsigned onQuarters[] = {0, 16384, 32768, 49151, 65535}; // 0..4 over 0..4
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 17; ++x) {
            const int k = (x + y) % 3;
            const double pixel[3] = {double(k), double(k + 1), double(2 * k)};
            for (int c = 0; c < 3; ++c) {
                const bool notFinite = (x == 1 && y == 0 && c == 0) ||
                                       (x == 5 && y == 1 && c == 1) ||
                                       (x == 16 && y == 1 && c == 2);
                const double v = !notFinite ? pixel[c] : c == 0 ? nan : c == 1 ? inf : -inf;
                rgbValues.push_back(v);
                rgbaValues.push_back(v);
                rgbScaled.push_back(notFinite ? 0 : onQuarters[int(pixel[c])]);
            }
            rgbaValues.push_back(100); // alpha: not a colour, not in the range
        }
    TiffSpec rgbFloat = tiff(17, 2, 3, 32, ieee, PHOTOMETRIC_RGB, rgbValues);
    rgbFloat.rowsPerStrip = 1;
    rgbFloat.bigEndian = true;
    TiffSpec planarFloat = tiff(17, 2, 4, 32, ieee, PHOTOMETRIC_RGB, rgbaValues);
    planarFloat.planar = PLANARCONFIG_SEPARATE;
    planarFloat.extraSamples = {EXTRASAMPLE_UNASSALPHA};
    TiffSpec tiledFloat = rgbFloat;
    tiledFloat.tileSize = 16;
    tiledFloat.compression = COMPRESSION_ADOBE_DEFLATE;
    // libtiff writes this predictor wrongly into big-endian files.
    tiledFloat.predictor = PREDICTOR_FLOATINGPOINT;
    tiledFloat.bigEndian = false;
    TiffSpec doubles =
        tiff(3, 1, 1, 64, ieee, PHOTOMETRIC_MINISBLACK,
             {-std::numeric_limits<double>::max(), 0, std::numeric_limits<double>::max()});
    doubles.compression = COMPRESSION_LZW;
    doubles.bigEndian = true;
    TiffSpec float24 = tiff(4, 1, 1, 24, ieee, PHOTOMETRIC_MINISBLACK, {-3, 1, 5, nan});
    float24.bigEndian = true;
    // The smallest subnormal half; 1024 times it is the smallest normal one.
    const double tiniest = std::ldexp(1.0, -24);
    TiffSpec int16 = tiff(4, 1, 1, 16, sint, PHOTOMETRIC_MINISBLACK, {-32768, 32767, 0, -1});
    int16.bigEndian = true;
    checkCases({
        {"bigendian.tif", writing(bigEndian), 48, same},
        {"planar.tif", writing(planar), 48, same},
        {"tiled-planar.tif", writing(tiled), 48, same},
        {"lzw.tif", writing(lzw), 48, same},
        {"rgba8.tif", writing(rgba8), 32, {1, 2, 3, 200}},
        {"rgba16.tif", writing(rgba16), 48, {40000, 2, 3}},
        {"greyalpha16.tif", writing(greyAlpha), 16, {40000, 7}},
        {"pages.tif", writing(pages), 8, {10, 20}},
        {"strips.tif", writing(strips), 16, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 40000}},
        {"grey-float.tif", writing(greyFloat), 16, {0, 16384, 0, 32768, 65535, 0, 0, 24576}},
        {"rgb-float.tif", writing(rgbFloat), 48, rgbScaled},
        {"rgba-float-planar.tif", writing(planarFloat), 48, rgbScaled},
        {"rgb-float-tiled.tif", writing(tiledFloat), 48, rgbScaled},
        {"double.tif", writing(doubles), 16, {0, 32768, 65535}},
        {"float24.tif", writing(float24), 16, {0, 32768, 65535, 0}},
        {"half.tif",
         writing(tiff(4, 1, 1, 16, ieee, PHOTOMETRIC_MINISBLACK, {-2, 0.5, 6, 1.5})),
         16,
         {0, 20480, 65535, 28672}},
        {"half-subnormal.tif",
         writing(tiff(4, 1, 1, 16, ieee, PHOTOMETRIC_MINISBLACK,
                      {0, 512 * tiniest, 1024 * tiniest, 2048 * tiniest})),
         16,
         {0, 16384, 32768, 65535}},
        {"uint32.tif",
         writing(tiff(3, 1, 1, 32, SAMPLEFORMAT_UINT, PHOTOMETRIC_MINISBLACK,
                      {4000000000, 7, 2000000003})),
         16,
         {65535, 0, 32767}},
        {"int8.tif",
         writing(tiff(3, 1, 1, 8, sint, PHOTOMETRIC_MINISBLACK, {127, -128, 0})),
         16,
         {65535, 0, 32896}},
        {"int16.tif", writing(int16), 16, {0, 65535, 32768, 32767}},
        {"int32.tif",
         writing(tiff(2, 1, 1, 32, sint, PHOTOMETRIC_MINISBLACK, {2147483647, -2147483648.0})),
         16,
         {65535, 0}},
        {"constant-float.tif",
         writing(tiff(3, 1, 1, 32, ieee, PHOTOMETRIC_MINISBLACK, {5, nan, 5})),
         16,
         {0, 0, 0}},
        {"miniswhite-float.tif",
         writing(tiff(3, 1, 1, 32, ieee, PHOTOMETRIC_MINISWHITE, {0, 1, 0.25})),
         16,
         {65535, 0, 49151}},
    });
}

TEST(Image, TiffMapsOtherColourModelsAndOrientations) {
    TiffSpec palette = tiff(2, 1, 1, 8, PHOTOMETRIC_PALETTE, {1, 0});
    palette.colormap.assign(3 * 256, 0);
    palette.colormap[1] = 0xFFFF;       // red of entry 1
    palette.colormap[256 + 0] = 0x8080; // green of entry 0
    palette.colormap[512 + 1] = 0x1010; // blue of entry 1
    TiffSpec bottomUp = tiff(1, 2, 1, 16, PHOTOMETRIC_MINISBLACK, {1, 2});
    bottomUp.orientation = ORIENTATION_BOTLEFT;
    TiffSpec mirrored = tiff(2, 1, 3, 8, PHOTOMETRIC_RGB, {1, 2, 3, 4, 5, 6});
    mirrored.orientation = ORIENTATION_TOPRIGHT;
    checkCases({
        {"miniswhite.tif",
         writing(tiff(2, 1, 1, 8, PHOTOMETRIC_MINISWHITE, {0, 255})),
         8,
         {255, 0}},
        {"onebit.tif",
         writing(tiff(3, 1, 1, 1, PHOTOMETRIC_MINISWHITE, {0, 1, 0})),
         8,
         {255, 0, 255}},
        {"fourbit.tif", writing(tiff(2, 1, 1, 4, PHOTOMETRIC_MINISBLACK, {1, 15})), 8, {17, 255}},
        {"palette.tif", writing(palette), 32, {255, 0, 16, 255, 0, 128, 0, 255}},
        {"cmyk.tif",
         writing(tiff(1, 1, 4, 8, PHOTOMETRIC_SEPARATED, {0, 0, 255, 0})),
         32,
         {255, 255, 0, 255}},
        {"bottomup.tif", writing(bottomUp), 16, {2, 1}},
        {"mirrored.tif", writing(mirrored), 24, {4, 5, 6, 1, 2, 3}},
    });
}

TEST(Image, FileRouteFallsBackToBytesWhenNotCameraRaw) {
    TempDir dir;
    test::writePng(dir / "really-a-png.nef", png(1, PNG_COLOR_TYPE_GRAY, 8, {42}));
    auto image = Image::initWithContentsOfFile(dir / "really-a-png.nef");
    ASSERT_TRUE(image);
    EXPECT_EQ(samplesOf(*image->representations()[0]), std::vector<unsigned>{42});
    EXPECT_FALSE(Image::initWithContentsOfFile(dir / "missing.nef"));
}

// Test classes: both claim every input; one yields nothing, the other a grey pixel of 77.
bool always(const ImageData &) {
    return true;
}
std::vector<std::shared_ptr<BitmapImageRep>> nothing(const ImageData &) {
    return {};
}
std::vector<std::shared_ptr<BitmapImageRep>> seventySeven(const ImageData &) {
    BitmapImageRep::Layout layout;
    layout.pixelsWide = layout.pixelsHigh = layout.bytesPerRow = 1;
    return {
        BitmapImageRep::make(layout, std::unique_ptr<std::uint8_t[]>(new std::uint8_t[1]{77}), 1)};
}

TEST(Image, RegisteredClassesAreAskedBeforeTheBuiltInDecoders) {
    TempDir dir;
    test::writePng(dir / "a.png", png(1, PNG_COLOR_TYPE_GRAY, 8, {5}));
    const std::string bytes = test::readFile(dir / "a.png");
    registerImageRepClass({"ClaimsNothing", always, nothing});
    registerImageRepClass({"SeventySeven", always, seventySeven});
    registerImageRepClass({"SeventySeven", always, nothing}); // same name: ignored
    EXPECT_EQ(registeredImageRepClasses().size(), 2u);
    EXPECT_EQ(samplesOf(*decodeBytes(bytes)), std::vector<unsigned>{77});

    unregisterImageRepClass("SeventySeven");
    // A class that says yes but yields nothing lets the next one try.
    EXPECT_EQ(samplesOf(*decodeBytes(bytes)), std::vector<unsigned>{5});
    unregisterImageRepClass("ClaimsNothing");
    EXPECT_TRUE(registeredImageRepClasses().empty());
}

std::string bigEndian32(std::uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string pngChunk(const std::string &type, const std::string &body) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : type + body) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return bigEndian32(std::uint32_t(body.size())) + type + body + bigEndian32(~crc);
}

// A PNG that declares a grey picture of the given size but holds almost no data.
std::string pngBomb(std::uint32_t width, std::uint32_t height) {
    const std::string header =
        bigEndian32(width) + bigEndian32(height) + std::string("\x08\0\0\0\0", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", header) +
           pngChunk("IDAT", std::string("\x78\x9c\x63\x00\x00\x00\x01\x00\x01", 9)) +
           pngChunk("IEND", "");
}

// Sets a one-value entry of the first directory of a little-endian TIFF to a LONG value.
std::string patchTiff(std::string bytes, std::uint16_t tag, std::uint32_t value) {
    auto u16 = [&](std::size_t at) {
        return std::uint16_t(std::uint8_t(bytes[at]) | std::uint8_t(bytes[at + 1]) << 8);
    };
    std::uint32_t ifd;
    std::memcpy(&ifd, bytes.data() + 4, 4);
    for (std::size_t i = 0, n = u16(ifd); i < n; ++i) {
        const std::size_t entry = ifd + 2 + 12 * i;
        if (u16(entry) != tag)
            continue;
        const std::uint16_t longType = TIFF_LONG;
        const std::uint32_t one = 1;
        std::memcpy(bytes.data() + entry + 2, &longType, 2);
        std::memcpy(bytes.data() + entry + 4, &one, 4);
        std::memcpy(bytes.data() + entry + 8, &value, 4);
    }
    return bytes;
}

TEST(Image, RefusesBrokenAndHostileInput) {
    TempDir dir;
    PngSpec pngSpec =
        png(64, PNG_COLOR_TYPE_RGB, 16, std::vector<std::uint16_t>(64 * 64 * 3, 1234));
    pngSpec.height = 64;
    test::writePng(dir / "a.png", pngSpec);
    JpegSpec jpegSpec;
    jpegSpec.width = jpegSpec.height = 64;
    for (int i = 0; i < 64 * 64 * 3; ++i)
        jpegSpec.samples.push_back(std::uint8_t(i * 7));
    test::writeJpeg(dir / "a.jpg", jpegSpec);
    jpegSpec.progressive = true;
    test::writeJpeg(dir / "p.jpg", jpegSpec);
    TiffSpec tiffSpec =
        tiff(64, 64, 1, 16, PHOTOMETRIC_MINISBLACK, std::vector<std::uint16_t>(64 * 64, 9));
    tiffSpec.rowsPerStrip = 64;
    test::writeTiff(dir / "a.tif", tiffSpec);
    const std::string png = test::readFile(dir / "a.png");
    const std::string jpeg = test::readFile(dir / "a.jpg");
    const std::string progressive = test::readFile(dir / "p.jpg");
    tiffSpec = tiff(64, 64, 3, 8, PHOTOMETRIC_RGB, std::vector<std::uint16_t>(64 * 64 * 3));
    for (std::size_t i = 0; i < tiffSpec.samples.size(); ++i)
        tiffSpec.samples[i] = std::uint16_t(i * 7 % 251);
    tiffSpec.rowsPerStrip = 64;
    tiffSpec.compression = COMPRESSION_JPEG;
    test::writeTiff(dir / "jpeg.tif", tiffSpec);
    const std::string tif = test::readFile(dir / "a.tif");
    const std::string jpegTif = test::readFile(dir / "jpeg.tif");
    // Only grey and RGB samples are scaled to 16 bits; libtiff's RGBA reader would take these
    // signed samples for unsigned ones.
    test::writeTiff(dir / "cmyk-signed.tif",
                    tiff(1, 1, 4, 8, SAMPLEFORMAT_INT, PHOTOMETRIC_SEPARATED, {0, 0, -1, 0}));
    ASSERT_TRUE(decodeBytes(png) && decodeBytes(jpeg) && decodeBytes(progressive) &&
                decodeBytes(tif) && decodeBytes(jpegTif));

    std::string corruptPng = png;
    corruptPng[png.size() / 2] ^= 0x55; // inside the image data: its checksum fails

    const std::pair<const char *, std::string> inputs[] = {
        {"zero bytes", ""},
        {"JPEG start then text", "\xFF\xD8\xFF text that claims to be a JPEG"},
        {"truncated PNG", png.substr(0, png.size() / 2)},
        {"truncated JPEG", jpeg.substr(0, jpeg.size() / 2)},
        {"truncated progressive JPEG", progressive.substr(0, progressive.size() / 2)},
        {"JPEG scan cut short by its end marker", jpeg.substr(0, jpeg.size() / 2) + "\xFF\xD9"},
        {"progressive JPEG scan cut short by its end marker",
         progressive.substr(0, progressive.size() / 2) + "\xFF\xD9"},
        {"truncated TIFF", tif.substr(0, tif.size() / 2)},
        {"corrupt PNG", corruptPng},
        {"PNG bomb beyond the pixel limit", pngBomb(100000, 100000)},
        {"PNG bomb within the pixel limit", pngBomb(30000, 30000)},
        {"TIFF of absurd size", patchTiff(patchTiff(tif, 256, 4000000), 257, 4000000)},
        {"TIFF strip beyond the end", patchTiff(tif, TIFFTAG_STRIPOFFSETS, 0x7FFFFF00)},
        {"TIFF strip cut short",
         patchTiff(tif, TIFFTAG_STRIPOFFSETS, std::uint32_t(tif.size() - 100))},
        {"TIFF JPEG strip cut short", patchTiff(jpegTif, TIFFTAG_STRIPBYTECOUNTS, 300)},
        {"signed CMYK TIFF", test::readFile(dir / "cmyk-signed.tif")},
        {"TIFF JPEG strip smaller than the strip it stands for",
         patchTiff(patchTiff(patchTiff(jpegTif, TIFFTAG_IMAGEWIDTH, 96), TIFFTAG_IMAGELENGTH, 96),
                   TIFFTAG_ROWSPERSTRIP, 96)},
    };
    for (const auto &[name, bytes] : inputs)
        EXPECT_FALSE(decodeBytes(bytes)) << name;
}

// Lossless JPEG DNGs as converters write them, in one strip or in tiles whose last ones reach past
// the picture's edges, a row of the mosaic as one component or as two of half its width: each
// is the same picture as its mosaic stored uncompressed, whichever byte order the file has, with
// restart markers or without. A Canon CR2 codes its mosaic in slices.
TEST(Image, LosslessJpegCameraRawIsTheSamePictureAsItsUncompressedMosaic) {
    TempDir dir;
    constexpr std::uint32_t wide = 100, high = 70;
    std::vector<std::uint16_t> mosaic(wide * high);
    for (std::uint32_t i = 0; i < mosaic.size(); ++i)
        mosaic[i] = std::uint16_t(1000 + i * 7919 % 29000);
    test::writeDng(dir / "plain.dng", wide, high, mosaic);
    const auto plain = decodeBytes(test::readFile(dir / "plain.dng"));
    ASSERT_TRUE(plain);
    for (const auto &[tile, components, bigEndian, restartRows] : {std::tuple{0u, 1, false, 0u},
                                                                   {0u, 2, false, 0u},
                                                                   {64u, 2, false, 0u},
                                                                   {32u, 1, true, 0u},
                                                                   {32u, 2, false, 1u},
                                                                   {0u, 2, false, 3u}}) {
        SCOPED_TRACE(testing::Message() << "tile " << tile << ", components " << components
                                        << (bigEndian ? ", big-endian" : "") << ", restarts every "
                                        << restartRows << " rows");
        test::writeLosslessDng(dir / "lossless.dng", wide, high, tile, components, mosaic,
                               bigEndian, restartRows);
        const auto lossless = decodeBytes(test::readFile(dir / "lossless.dng"));
        ASSERT_TRUE(lossless);
        EXPECT_EQ(samplesOf(*lossless), samplesOf(*plain));
    }
    // A segment whose length is below its own two bytes, before a frame that fills the strip:
    // LibRaw would take it for a negative count and copy the rest of the file into its 64 KiB.
    std::string stream = test::losslessJpegBytes(wide, high, 1, mosaic);
    stream.insert(2, std::string("\xFF\xE0\x00\x00", 4) + std::string(65534, '\0'));
    test::writeLosslessDng(dir / "short-segment.dng", wide, high, 0, {stream});
    EXPECT_FALSE(decodeBytes(test::readFile(dir / "short-segment.dng")));
    // The same compression may hold DCT coding, which LibRaw decodes in blocks of 8 × 8 over every
    // other row: a tile of 64 × 64 as 128 × 32. With no quantization table every block is 2048,
    // coded in two bits: a difference of 0 and the end of the block. Such a picture of 100 × 64
    // in 900 bytes holds its pixels at fewer than 8 a byte, but not its two tiles' samples.
    const std::string oneCodeTables = std::string("\xFF\xC4\x00\x26\x00\x01", 6) +
                                      std::string(16, '\0') + std::string("\x10\x01", 2) +
                                      std::string(16, '\0');
    std::string dct = std::string("\xFF\xD8", 2) + oneCodeTables +
                      std::string("\xFF\xC1\x00\x0B\x08\x00\x20\x00\x80\x01\x01\x11\x00"
                                  "\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00",
                                  23) +
                      std::string(16, '\0') + "\xFF\xD9";
    test::writeLosslessDng(dir / "dct.dng", 100, 64, 64, {dct});
    ASSERT_LT(fs::file_size(dir / "dct.dng"), 900u);
    dct.resize(dct.size() + (900 - fs::file_size(dir / "dct.dng")) / 2, '\0');
    test::writeLosslessDng(dir / "dct.dng", 100, 64, 64, {dct});
    test::writeDng(dir / "flat.dng", 100, 64, std::vector<std::uint16_t>(100 * 64, 2048));
    const auto dctRep = decodeBytes(test::readFile(dir / "dct.dng"));
    ASSERT_TRUE(dctRep);
    EXPECT_EQ(samplesOf(*dctRep), samplesOf(*decodeBytes(test::readFile(dir / "flat.dng"))));
    // Its colours are the camera's, so only its size is the mosaic's.
    std::vector<std::uint16_t> sliced;
    for (std::uint32_t left : {0u, wide / 2})
        for (std::uint32_t y = 0; y < high; ++y)
            for (std::uint32_t x = left; x < left + wide / 2; ++x)
                sliced.push_back(mosaic[y * wide + x]);
    test::writeCr2(dir / "lossless.cr2", wide, high, {1, wide / 2, wide / 2},
                   test::losslessJpegBytes(wide / 2, high, 2, sliced));
    const auto cr2 = decodeBytes(test::readFile(dir / "lossless.cr2"));
    ASSERT_TRUE(cr2);
    EXPECT_EQ(cr2->pixelsWide(), wide);
    EXPECT_EQ(cr2->pixelsHigh(), high);
}

// Bytes of this process's address space: "VmSize:" now, "VmPeak:" the most it has had.
std::uint64_t addressSpace(const std::string &field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field))
            return std::stoull(line.substr(field.size())) * 1024;
    return 0;
}

TEST(Image, TinyFilesDeclaringHugePicturesAreRefusedBeforeAnythingIsReserved) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files;
    for (const test::HostileImage &hostile : test::tinyFilesDeclaringHugePictures)
        files.emplace_back(hostile.name, hostile.bytes());
    for (const fs::path &path : test::writeTinyFilesDeclaringHugePictures(dir.path()))
        files.emplace_back(path.filename().string(), test::readFile(path));
    for (const auto &file : files) {
        const std::string &bytes = file.second;
        // In a fresh process, whose peak then is this decoding's.
        auto decodeWithinOneHundredMegabytes = [&] {
            fs::remove_all(dir.path()); // the child's own folder: std::exit runs no destructor
            const std::uint64_t before = addressSpace("VmSize:");
            const bool refused = !decodeBytes(bytes);
            const std::uint64_t grown = addressSpace("VmPeak:") - before;
            std::fprintf(stderr, "refused: %d, grown: %llu bytes\n", refused,
                         static_cast<unsigned long long>(grown));
            std::exit(refused && grown < (std::uint64_t{100} << 20) ? 0 : 1);
        };
        EXPECT_EXIT(decodeWithinOneHundredMegabytes(), ::testing::ExitedWithCode(0), "")
            << file.first;
    }
}

} // namespace
} // namespace quintarvel
