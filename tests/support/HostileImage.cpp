#include "support/HostileImage.h"

#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <tiffio.h>

namespace quintarvel::test {

namespace {

// A little-endian TIFF of 8-bit grey whose every strip (`tile` 0: of one row) or square tile
// holds the same bytes: `shared`, just after the header, or, when that is empty, all the file
// after the header.
void writeSharedBytesTiff(const std::filesystem::path &path, std::uint32_t wide, std::uint32_t high,
                          std::uint16_t compression, std::uint32_t tile,
                          const std::string &shared) {
    const std::uint32_t blocks =
        tile ? ((wide + tile - 1) / tile) * ((high + tile - 1) / tile) : high;
    const std::uint32_t fields = tile ? 10 : 9;
    const std::uint32_t offsets = 8 + std::uint32_t(shared.size()) + 2 + fields * 12 + 4,
                        counts = offsets + 4 * blocks, size = counts + 4 * blocks;
    std::vector<std::array<std::uint32_t, 4>> entries = {
        {TIFFTAG_IMAGEWIDTH, TIFF_LONG, 1, wide},
        {TIFFTAG_IMAGELENGTH, TIFF_LONG, 1, high},
        {TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1, 8},
        {TIFFTAG_COMPRESSION, TIFF_SHORT, 1, compression},
        {TIFFTAG_PHOTOMETRIC, TIFF_SHORT, 1, PHOTOMETRIC_MINISBLACK},
        {TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1, 1},
    };
    if (tile)
        entries.insert(entries.end(), {{TIFFTAG_TILEWIDTH, TIFF_LONG, 1, tile},
                                       {TIFFTAG_TILELENGTH, TIFF_LONG, 1, tile},
                                       {TIFFTAG_TILEOFFSETS, TIFF_LONG, blocks, offsets},
                                       {TIFFTAG_TILEBYTECOUNTS, TIFF_LONG, blocks, counts}});
    else
        entries.insert(entries.end(), {{TIFFTAG_STRIPOFFSETS, TIFF_LONG, blocks, offsets},
                                       {TIFFTAG_ROWSPERSTRIP, TIFF_LONG, 1, 1},
                                       {TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, blocks, counts}});
    std::sort(entries.begin(), entries.end());

    std::string bytes = "II";
    const auto put = [&](std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes += char(value >> 8 * i & 0xFF);
    };
    put(42, 2);
    put(8 + std::uint32_t(shared.size()), 4);
    bytes += shared;
    put(fields, 2);
    for (const auto &[tag, type, count, value] : entries) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, 4);
    }
    put(0, 4);
    for (std::uint32_t block = 0; block < blocks; ++block)
        put(8, 4);
    for (std::uint32_t block = 0; block < blocks; ++block)
        put(shared.empty() ? size - 8 : std::uint32_t(shared.size()), 4);
    writeFile(path, bytes);
}

// The start of a lossless JPEG stream whose frame header declares `high` × `wide` 16-bit samples
// of one component, with one Huffman code, of one bit for a difference of 0; the scan's data is
// to follow. A Canon raw file has a byte more after the frame header.
std::string losslessFrameHeader(std::uint16_t high, std::uint16_t wide, bool canon) {
    std::string frame("\xFF\xC3\x00\x0B\x10", 5);
    frame +=
        {char(high >> 8), char(high & 0xFF), char(wide >> 8), char(wide & 0xFF), 1, 1, 0x11, 0};
    return std::string("\xFF\xD8\xFF\xC4\x00\x14\x00\x01", 8) + std::string(16, '\0') + frame +
           (canon ? std::string(1, '\0') : "") +
           std::string("\xFF\xDA\x00\x08\x01\x01\x00\x01\x00\x00", 10);
}

// A lossless JPEG DNG of a 16-bit RGGB mosaic in square tiles that all are `shared`, just
// after the header.
void writeSharedTilesDng(const std::filesystem::path &path, std::uint32_t wide, std::uint32_t high,
                         std::uint32_t tile, const std::string &shared) {
    const std::uint32_t tiles = ((wide + tile - 1) / tile) * ((high + tile - 1) / tile);
    constexpr std::uint32_t fields = 15;
    const std::uint32_t ifd = 8 + std::uint32_t(shared.size());
    const std::uint32_t offsets = ifd + 2 + fields * 12 + 4, counts = offsets + 4 * tiles;
    const std::array<std::uint32_t, 4> entries[fields] = {
        {TIFFTAG_SUBFILETYPE, TIFF_LONG, 1, 0},
        {TIFFTAG_IMAGEWIDTH, TIFF_LONG, 1, wide},
        {TIFFTAG_IMAGELENGTH, TIFF_LONG, 1, high},
        {TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1, 16},
        {TIFFTAG_COMPRESSION, TIFF_SHORT, 1, COMPRESSION_JPEG},
        {TIFFTAG_PHOTOMETRIC, TIFF_SHORT, 1, PHOTOMETRIC_CFA},
        {TIFFTAG_MAKE, TIFF_ASCII, 4, 0x00474E44}, // "DNG"
        {TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1, 1},
        {TIFFTAG_TILEWIDTH, TIFF_LONG, 1, tile},
        {TIFFTAG_TILELENGTH, TIFF_LONG, 1, tile},
        {TIFFTAG_TILEOFFSETS, TIFF_LONG, tiles, offsets},
        {TIFFTAG_TILEBYTECOUNTS, TIFF_LONG, tiles, counts},
        {TIFFTAG_CFAREPEATPATTERNDIM, TIFF_SHORT, 2, 0x00020002},
        {TIFFTAG_CFAPATTERN, TIFF_BYTE, 4, 0x02010100}, // red, green / green, blue
        {TIFFTAG_DNGVERSION, TIFF_BYTE, 4, 0x00000401},
    };
    std::string bytes = "II";
    const auto put = [&](std::uint32_t value, int width) {
        for (int i = 0; i < width; ++i)
            bytes += char(value >> 8 * i & 0xFF);
    };
    put(42, 2);
    put(ifd, 4);
    bytes += shared;
    put(fields, 2);
    for (const auto &[tag, type, count, value] : entries) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, 4);
    }
    put(0, 4);
    for (std::uint32_t i = 0; i < tiles; ++i)
        put(8, 4);
    for (std::uint32_t i = 0; i < tiles; ++i)
        put(std::uint32_t(shared.size()), 4);
    writeFile(path, bytes);
}

} // namespace

std::vector<std::filesystem::path>
writeTinyFilesDeclaringHugePictures(const std::filesystem::path &folder) {
    const std::vector<std::filesystem::path> paths = {
        folder / "lerc.tif",
        folder / "webp.tif",
        folder / "arithmetic-first-strip.tif",
        folder / "lossy-tiles.dng",
        folder / "shared-strips.tif",
        folder / "shared-deflate-tiles.tif",
        folder / "shared-tiles.tif",
        folder / "shared-one-row-strips.tif",
        folder / "stretched-lossy.dng",
        folder / "lossless-frame-beyond-strip.dng",
        folder / "sliced-frame-beyond-raw.cr2",
        folder / "lossless-tiles-beyond-their-bytes.dng",
        folder / "slice-of-no-width.cr2",
        folder / "restarts-past-shared-tiles.dng",
    };
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
    writeSharedBytesTiff(paths[4], 4100, 50000, COMPRESSION_JPEG, 0, "");
    constexpr std::uint32_t wide = 32768, high = 32767, tile = 256;
    writeSharedBytesTiff(paths[5], wide, high, COMPRESSION_ADOBE_DEFLATE, tile,
                         blankStrip(paths[5], tile, tile, 1, COMPRESSION_ADOBE_DEFLATE));
    writeSharedBytesTiff(paths[6], wide, high, COMPRESSION_NONE, tile,
                         std::string(tile * tile, '\0'));
    writeSharedBytesTiff(paths[7], wide, high, COMPRESSION_NONE, 0, std::string(wide, '\0'));
    block.width = block.height = 512;
    block.samples.assign(512 * 512 * 3, 100);
    writeLossyDng(paths[8], 6144, 4096, 512, jpegBytes(block), 10);
    // A frame header of 65535 × 65535 samples for a strip of 64 × 64, in 600 bytes of zeros.
    writeLosslessDng(paths[9], 64, 64, 0,
                     {losslessFrameHeader(65535, 65535, false) + std::string(600, '\0')});
    // A frame header of 65535 × 8000 samples for a raw picture of 32 × 8192, whose last slice
    // LibRaw would take to be 65535 wide: after a first bit of 1, every sample costs no bit.
    writeCr2(paths[10], 32, 8192, {1, 1, 65535}, losslessFrameHeader(8000, 65535, true) + '\x80',
             32 * 8192 / 8);
    // Frames that fill their tiles, of 4096 × 4096 for a picture of 4100 × 24, each in 7 KB.
    writeLosslessDng(paths[11], 4100, 24, 4096,
                     {losslessFrameHeader(4096, 4096, false) + '\x80' + std::string(7000, '\0')});
    // Slices of no width, which LibRaw divides by, for a frame that fills the raw picture.
    writeCr2(paths[12], 32, 8192, {1, 0, 32}, losslessFrameHeader(8192, 32, true) + '\x80', 40000);
    // 4096 tiles of 16 × 16 whose frames are one, of two rows with a restart between them: LibRaw
    // looks for the restart marker through 256 KB of zeros for each, and finds it at the end.
    std::string restarts = losslessFrameHeader(2, 128, false);
    restarts.insert(restarts.find("\xFF\xC3"), std::string("\xFF\xDD\x00\x04\x00\x80", 6));
    writeSharedTilesDng(paths[13], 32, 32768, 16,
                        restarts + std::string(256 << 10, '\0') + "\xFF\xD0\x80");
    return paths;
}

} // namespace quintarvel::test
