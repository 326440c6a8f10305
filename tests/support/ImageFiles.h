#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Writers of small image files for tests and benchmarks. Samples are given row after row, top
// row first, every sample of a pixel in order (palette images: one index per pixel).
namespace quintarvel::test {

struct PngSpec {
    int width = 1, height = 1;
    int colorType = 0; // PNG_COLOR_TYPE_*
    int bitDepth = 8;
    std::vector<std::uint16_t> samples;     // none: every sample 0, written a row at a time
    std::vector<std::uint8_t> palette;      // red, green, blue per entry
    std::vector<std::uint8_t> transparency; // tRNS alpha per palette entry
    bool interlaced = false;
    int compressionLevel = 6;
};
void writePng(const std::filesystem::path &path, const PngSpec &picture);

struct JpegSpec {
    int width = 1, height = 1;
    int components = 3; // 1 grey, 3 RGB, 4 CMYK (written Adobe-style, inverted)
    std::vector<std::uint8_t> samples;
    int quality = 100;
    bool progressive = false;
    bool arithmetic = false; // arithmetic coding in place of Huffman's
};
std::string jpegBytes(const JpegSpec &picture);
void writeJpeg(const std::filesystem::path &path, const JpegSpec &picture);

struct TiffSpec {
    std::uint32_t width = 1, height = 1;
    std::uint16_t samplesPerPixel = 1, bitsPerSample = 8;
    std::uint16_t photometric = 1;  // PHOTOMETRIC_MINISBLACK
    std::uint16_t planar = 1;       // PLANARCONFIG_CONTIG
    std::uint16_t compression = 1;  // COMPRESSION_NONE
    std::uint16_t orientation = 1;  // ORIENTATION_TOPLEFT
    std::uint16_t sampleFormat = 1; // SAMPLEFORMAT_UINT
    std::uint16_t predictor = 1;    // PREDICTOR_NONE
    std::uint32_t rowsPerStrip = 0; // 0: libtiff's default
    std::uint32_t tileSize = 0;     // 0: strips; otherwise square tiles (a multiple of 16)
    std::vector<std::uint16_t> samples;
    // In place of `samples` when not empty, stored as `sampleFormat` and `bitsPerSample` say:
    // IEEE floating point of 16, 24 (DNG's), 32 or 64 bits, or integers of 8, 16 or 32 bits.
    // Each value must be one the format holds exactly.
    std::vector<double> values;
    std::vector<std::uint16_t> extraSamples; // EXTRASAMPLE_* per sample beyond the colours
    std::vector<std::uint16_t> colormap;     // 3 × 2^bits entries: all reds, greens, blues
    int pages = 1;                           // later pages hold the samples inverted
    bool bigEndian = false;
};
void writeTiff(const std::filesystem::path &path, const TiffSpec &picture);

// A 16-bit grey Deflate TIFF in strips of 1000 rows, black but for one bright pixel a strip: a
// frame that compresses about 1000:1.
void writeNearlyBlackTiff(const std::filesystem::path &path, std::uint32_t width,
                          std::uint32_t height);

// An 8-bit RGB TIFF of zeros in strips of 32 rows under `compression` (WebP: lossless). Blank
// strips code alike, so one is encoded and stored for all: hundreds of megapixels are written in
// a moment and a few megabytes of memory.
void writeBlankTiff(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                    std::uint16_t compression);

// A 16-bit grey TIFF in strips of 32 rows under `compression`, each the same 32 rows of a dark
// background with noise of one count: a frame that compresses about as far as a real one,
// written in a moment like the blank ones.
void writeNoisyTiff(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                    std::uint16_t compression);

// The one strip of an 8-bit TIFF of zeros, `samples` a pixel and `rows` high, as `compression`
// codes it; `scratch` is written on the way and removed.
std::string blankStrip(const std::filesystem::path &scratch, std::uint32_t width,
                       std::uint32_t rows, std::uint16_t samples, std::uint16_t compression);

// An 8-bit grey (or, with 3 `samples`, RGB) JPEG-compressed TIFF whose strips are these JPEG
// streams as they are; the last one stands for every strip after it.
void writeJpegStripTiff(const std::filesystem::path &path, std::uint32_t width,
                        std::uint32_t height, std::uint32_t rowsPerStrip,
                        const std::vector<std::string> &strips, std::uint16_t samples = 1);

// A minimal uncompressed DNG: 16-bit RGGB mosaic, neutral white balance, white level 65535.
void writeDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
              const std::vector<std::uint16_t> &mosaic);

// A lossy DNG: 8-bit linear RGB in square tiles (a multiple of 16), each stored as `tileJpeg`.
// A `defaultScale` other than 1 is its DefaultScale across: its pixels' width to their height.
void writeLossyDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                   std::uint32_t tileSize, const std::string &tileJpeg, float defaultScale = 1);

// The raw raster container: magic, little-endian width and height, then `pixels`.
std::string rawContainer(const std::string &magic, std::uint32_t width, std::uint32_t height,
                         const std::string &pixels);

} // namespace quintarvel::test

namespace quintarvel::test {

// A lossless JPEG (predictor 1: the sample to the left, above in the first column) of 16-bit
// samples, `components` interleaved, `wide` × `high` of each; one Huffman table for all. With
// `restartRows`, a restart marker begins every so many rows.
std::string losslessJpegBytes(std::uint32_t wide, std::uint32_t high, int components,
                              const std::vector<std::uint16_t> &samples,
                              std::uint32_t restartRows = 0);

// A lossless JPEG DNG (compression 7) of a 16-bit RGGB mosaic, in one strip (`tileSize` 0) or
// square tiles (a multiple of 16), each stored as given: the last stream stands for every strip
// or tile after it.
void writeLosslessDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                      std::uint32_t tileSize, const std::vector<std::string> &streams,
                      bool bigEndian = false);

// The same, `mosaic` coded as the DNG converter does: each strip or full tile (zeros past the
// picture's edge) one frame of `components` interleaved samples, a row of the mosaic per row.
void writeLosslessDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                      std::uint32_t tileSize, int components,
                      const std::vector<std::uint16_t> &mosaic, bool bigEndian = false,
                      std::uint32_t restartRows = 0);

// Appends the `width` low bytes of `value` to `bytes`, least significant first.
void putLittleEndian(std::string &bytes, std::uint32_t value, int width);

// A little-endian TIFF built by hand, for layouts libtiff will not write: its header, `before`
// (bytes that strips may point at; the directory follows them), and one directory of `entries`
// ({tag, type, count, value or offset}, in tag order). What the entries point at past the
// directory is the caller's to append.
std::string littleEndianTiff(const std::string &before,
                             const std::vector<std::array<std::uint32_t, 4>> &entries);

// A Canon CR2 of 16-bit raw pixels in one lossless JPEG strip, `stream`, cut in `slices` (how
// many of the first width, that width, the last one's width): the frame's samples fill the
// first slice's rows top to bottom, then the next slice's. Zeros fill the file to `size`.
void writeCr2(const std::filesystem::path &path, std::uint32_t wide, std::uint32_t high,
              const std::array<std::uint16_t, 3> &slices, const std::string &stream,
              std::size_t size = 0);

} // namespace quintarvel::test
