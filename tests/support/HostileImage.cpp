#include "support/HostileImage.h"

#include "support/ImageFiles.h"
#include "support/TempDir.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <png.h>
#include <stdexcept>
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

    std::string bytes = littleEndianTiff(shared, entries);
    for (std::uint32_t block = 0; block < blocks; ++block)
        putLittleEndian(bytes, 8, 4);
    for (std::uint32_t block = 0; block < blocks; ++block)
        putLittleEndian(bytes, shared.empty() ? size - 8 : std::uint32_t(shared.size()), 4);
    writeFile(path, bytes);
}

// A progressive JPEG of `side` × `side` (a multiple of 32) of three components, the luminance
// sampled `lumaSampling` (4 × 4: 0x44) and the chroma 1 × 1, whose one scan is the first DC scan
// of the blue chroma, each of its blocks one bit: the other two components are never coded.
std::string uncodedComponentsJpeg(std::uint32_t side, char lumaSampling) {
    std::string bytes = "\xFF\xD8";
    const auto segment = [&](std::uint8_t marker, const std::string &body) {
        const std::size_t length = body.size() + 2;
        bytes += {char(0xFF), char(marker), char(length >> 8), char(length & 0xFF)};
        bytes += body;
    };
    segment(0xDB, std::string(1, '\0') + std::string(64, '\1'));
    segment(0xC2, {8, char(side >> 8), char(side & 0xFF), char(side >> 8), char(side & 0xFF), 3, 1,
                   lumaSampling, 0, 2, 0x11, 0, 3, 0x11, 0});
    // A DC table of one code, of one bit, for a difference of 0.
    std::string table = {0, 1};
    table += std::string(15, '\0') + std::string(1, '\0');
    segment(0xC4, table);
    segment(0xDA, {1, 2, 0, 0, 0, 0});
    const std::uint32_t across = side / 8 / (lumaSampling >> 4);
    bytes += std::string(std::uint64_t{across} * across / 8, '\0');
    return bytes + "\xFF\xD9";
}

// A bilevel TIFF all white (every bit 0) in one Group 4 strip: MinIsWhite, or a palette whose
// first entry is white.
void writeWhiteFaxTiff(const std::filesystem::path &path, std::uint32_t wide, std::uint32_t high,
                       bool palette) {
    TIFF *tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        throw std::runtime_error("cannot write " + path.string());
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, wide);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, high);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, palette ? PHOTOMETRIC_PALETTE : PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, high);
    std::uint16_t white[2] = {65535, 0};
    if (palette)
        TIFFSetField(tif, TIFFTAG_COLORMAP, white, white, white);
    std::vector<std::uint8_t> row((wide + 7) / 8, 0);
    for (std::uint32_t y = 0; y < high; ++y)
        if (TIFFWriteScanline(tif, row.data(), y, 0) < 0)
            throw std::runtime_error("cannot encode " + path.string());
    TIFFClose(tif);
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
    const std::vector<std::array<std::uint32_t, 4>> entries = {
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
    std::string bytes = littleEndianTiff(shared, entries);
    for (std::uint32_t i = 0; i < tiles; ++i)
        putLittleEndian(bytes, 8, 4);
    for (std::uint32_t i = 0; i < tiles; ++i)
        putLittleEndian(bytes, std::uint32_t(shared.size()), 4);
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
        folder / "uncoded-components.jpg",
        folder / "uncoded-components.tif",
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
    writeFile(paths[9], uncodedComponentsJpeg(16384, 0x44));
    writeJpegStripTiff(paths[10], 4096, 4096, 4096, {uncodedComponentsJpeg(4096, 0x11)}, 3);
    // A frame header of 65535 × 65535 samples for a strip of 64 × 64, in 600 bytes of zeros.
    writeLosslessDng(paths[11], 64, 64, 0,
                     {losslessFrameHeader(65535, 65535, false) + std::string(600, '\0')});
    // A frame header of 65535 × 8000 samples for a raw picture of 32 × 8192, whose last slice
    // LibRaw would take to be 65535 wide: after a first bit of 1, every sample costs no bit.
    writeCr2(paths[12], 32, 8192, {1, 1, 65535}, losslessFrameHeader(8000, 65535, true) + '\x80',
             32 * 8192 / 8);
    // Frames that fill their tiles, of 4096 × 4096 for a picture of 4100 × 24, each in 7 KB.
    writeLosslessDng(paths[13], 4100, 24, 4096,
                     {losslessFrameHeader(4096, 4096, false) + '\x80' + std::string(7000, '\0')});
    // Slices of no width, which LibRaw divides by, for a frame that fills the raw picture.
    writeCr2(paths[14], 32, 8192, {1, 0, 32}, losslessFrameHeader(8192, 32, true) + '\x80', 40000);
    // 4096 tiles of 16 × 16 whose frames are one, of two rows with a restart between them: LibRaw
    // looks for the restart marker through 256 KB of zeros for each, and finds it at the end.
    std::string restarts = losslessFrameHeader(2, 128, false);
    restarts.insert(restarts.find("\xFF\xC3"), std::string("\xFF\xDD\x00\x04\x00\x80", 6));
    writeSharedTilesDng(paths[15], 32, 32768, 16,
                        restarts + std::string(256 << 10, '\0') + "\xFF\xD0\x80");
    return paths;
}

std::vector<std::filesystem::path>
writeHugePicturesWithinTheirCodecBounds(const std::filesystem::path &folder) {
    const std::vector<std::filesystem::path> paths = {
        folder / "white-fax.tif",
        folder / "white-palette-fax.tif",
        folder / "blank-palette.png",
    };
    constexpr std::uint32_t wide = 32768, high = 32767;
    writeWhiteFaxTiff(paths[0], wide, high, false);
    writeWhiteFaxTiff(paths[1], wide, high, true);
    // A 1-bit palette PNG all index 0, which the tRNS chunk makes transparent, compressed as far
    // as zlib goes.
    PngSpec blank;
    blank.width = int(wide);
    blank.height = int(high);
    blank.colorType = PNG_COLOR_TYPE_PALETTE;
    blank.bitDepth = 1;
    blank.palette = {0, 0, 0, 255, 255, 255};
    blank.transparency = {0};
    blank.compressionLevel = 9;
    writePng(paths[2], blank);
    return paths;
}

} // namespace quintarvel::test
