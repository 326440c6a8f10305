#include "support/HostileImage.h"

#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <cstdint>
#include <tiffio.h>

namespace quintarvel::test {

namespace {

// A JPEG TIFF of 4100 × 50000 grey, a row a strip, every strip the whole file: looking for a
// frame header in each strip would read the file through once a strip.
void writeSharedStripTiff(const std::filesystem::path &path) {
    constexpr std::uint32_t wide = 4100, high = 50000, fields = 9;
    constexpr std::uint32_t offsets = 8 + 2 + fields * 12 + 4, counts = offsets + 4 * high,
                            size = counts + 4 * high;
    std::string bytes = "II";
    const auto put = [&](std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes += char(value >> 8 * i & 0xFF);
    };
    put(42, 2);
    put(8, 4);
    put(fields, 2);
    const std::uint32_t entries[fields][4] = {
        {TIFFTAG_IMAGEWIDTH, TIFF_LONG, 1, wide},
        {TIFFTAG_IMAGELENGTH, TIFF_LONG, 1, high},
        {TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1, 8},
        {TIFFTAG_COMPRESSION, TIFF_SHORT, 1, COMPRESSION_JPEG},
        {TIFFTAG_PHOTOMETRIC, TIFF_SHORT, 1, PHOTOMETRIC_MINISBLACK},
        {TIFFTAG_STRIPOFFSETS, TIFF_LONG, high, offsets},
        {TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1, 1},
        {TIFFTAG_ROWSPERSTRIP, TIFF_LONG, 1, 1},
        {TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, high, counts},
    };
    for (const auto &[tag, type, count, value] : entries) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, 4);
    }
    put(0, 4);
    for (std::uint32_t strip = 0; strip < high; ++strip)
        put(0, 4);
    for (std::uint32_t strip = 0; strip < high; ++strip)
        put(size, 4);
    writeFile(path, bytes);
}

} // namespace

std::vector<std::filesystem::path>
writeTinyFilesDeclaringHugePictures(const std::filesystem::path &folder) {
    const std::vector<std::filesystem::path> paths = {
        folder / "lerc.tif", folder / "webp.tif", folder / "arithmetic-first-strip.tif",
        folder / "lossy-tiles.dng", folder / "shared-strips.tif"};
    writeBlankTiff(paths[0], 16000, 16000, COMPRESSION_LERC);
    writeBlankTiff(paths[1], 16000, 16000, COMPRESSION_WEBP);
    JpegSpec block;
    block.width = block.height = 8;
    block.components = 1;
    block.samples.assign(64, 0);
    JpegSpec arithmeticBlock = block;
    arithmeticBlock.arithmetic = true;
    writeJpegStripTiff(paths[2], 12000, 12000, 1000,
                       {jpegBytes(arithmeticBlock), jpegBytes(block)});
    block.components = 3;
    block.samples.assign(3 * 64, 0);
    writeLossyDng(paths[3], 15360, 15360, 5120, jpegBytes(block));
    writeSharedStripTiff(paths[4]);
    return paths;
}

} // namespace quintarvel::test
