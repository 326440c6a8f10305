#include "support/ImageFiles.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <jpeglib.h>
#include <memory>
#include <png.h>
#include <random>
#include <stdexcept>
#include <tiffio.h>
#include <type_traits>

namespace quintarvel::test {

namespace {

struct FileCloser {
    void operator()(std::FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr openForWriting(const std::filesystem::path &path) {
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f)
        throw std::runtime_error("cannot write " + path.string());
    return f;
}

TIFF *openTiffForWriting(const std::filesystem::path &path, const char *mode = "w") {
    TIFF *tif = TIFFOpen(path.c_str(), mode);
    if (!tif)
        throw std::runtime_error("cannot write " + path.string());
    return tif;
}

// The fields of a one-sample, 16-bit picture of this size.
void setSixteenBitGreyFields(TIFF *tif, std::uint32_t width, std::uint32_t height) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
}

// The fields of an 8-bit grey (one sample) or RGB (three) picture of this size, in strips under
// `compression` (WebP: lossless).
void setEightBitFields(TIFF *tif, std::uint32_t width, std::uint32_t height, std::uint16_t samples,
                       std::uint16_t compression, std::uint32_t rowsPerStrip) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    if (compression == COMPRESSION_WEBP)
        TIFFSetField(tif, TIFFTAG_WEBP_LOSSLESS, 1);
}

// Stores `strip(s)` as the coded bytes of each of the picture's strips s, and closes the file.
void writeRawStrips(TIFF *tif, const std::filesystem::path &path,
                    const std::function<const std::string &(std::uint32_t)> &strip) {
    for (std::uint32_t s = 0, strips = TIFFNumberOfStrips(tif); s < strips; ++s) {
        const std::string &bytes = strip(s);
        if (TIFFWriteRawStrip(tif, s, const_cast<char *>(bytes.data()), tmsize_t(bytes.size())) < 0)
            throw std::runtime_error("cannot write " + path.string());
    }
    TIFFClose(tif);
}

// One row of samples packed as stored: sub-byte samples first in the high bits, 16-bit
// samples big-endian (PNG) or in the machine's order (libtiff swaps when it needs to).
std::vector<std::uint8_t> packRow(const std::uint16_t *samples, std::size_t count, int bits,
                                  bool bigEndian16) {
    std::vector<std::uint8_t> row((count * bits + 7) / 8, 0);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint16_t v = samples[i];
        if (bits == 16) {
            if (bigEndian16) {
                row[2 * i] = std::uint8_t(v >> 8);
                row[2 * i + 1] = std::uint8_t(v);
            } else {
                std::memcpy(&row[2 * i], &v, 2);
            }
        } else if (bits == 8) {
            row[i] = std::uint8_t(v);
        } else {
            const std::size_t bit = i * bits;
            row[bit / 8] |= std::uint8_t(v << (8 - bits - bit % 8));
        }
    }
    return row;
}

// The bits of `v` as a binary float narrower than `float` (sign, `exponentBits` of biased
// exponent, `fractionBits` of fraction): half precision is (5, 10), DNG's 24-bit float (7, 16).
std::uint32_t narrowFloatBits(double v, int exponentBits, int fractionBits) {
    const std::uint32_t ones = (1u << exponentBits) - 1;
    if (std::isnan(v))
        return ones << fractionBits | 1u << (fractionBits - 1);
    const std::uint32_t sign = std::signbit(v) ? 1u << (exponentBits + fractionBits) : 0;
    v = std::fabs(v);
    if (std::isinf(v))
        return sign | ones << fractionBits;
    if (v == 0)
        return sign;
    const int bias = (1 << (exponentBits - 1)) - 1;
    int exponent = 0;
    std::frexp(v, &exponent); // v = m × 2^exponent, 1/2 <= m < 1
    // Below the smallest normal exponent the number is subnormal: no implicit leading one.
    const int biased = std::max(exponent - 1 + bias, 0);
    double fraction = std::ldexp(v, fractionBits - std::max(exponent - 1, 1 - bias));
    if (biased > 0)
        fraction -= double(1u << fractionBits);
    if (biased >= int(ones) || fraction != std::floor(fraction))
        throw std::invalid_argument("no narrow float holds " + std::to_string(v) + " exactly");
    return sign | std::uint32_t(biased) << fractionBits | std::uint32_t(fraction);
}

template <class T> void store(std::uint8_t *at, T v) {
    std::memcpy(at, &v, sizeof v);
}

// One row of `values` as stored (in the machine's order, which libtiff swaps when it needs to).
std::vector<std::uint8_t> packValues(const std::vector<double> &values, int bits,
                                     std::uint16_t format) {
    const std::size_t size = std::size_t(bits) / 8;
    std::vector<std::uint8_t> row(values.size() * size);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        std::uint8_t *at = row.data() + i * size;
        if (format == SAMPLEFORMAT_IEEEFP && bits == 16) {
            store(at, std::uint16_t(narrowFloatBits(v, 5, 10)));
        } else if (format == SAMPLEFORMAT_IEEEFP && bits == 24) {
            std::uint8_t bytes[4];
            store(bytes, narrowFloatBits(v, 7, 16));
            if constexpr (std::endian::native == std::endian::little)
                std::memcpy(at, bytes, 3);
            else
                std::memcpy(at, bytes + 1, 3);
        } else if (format == SAMPLEFORMAT_IEEEFP && bits == 32) {
            store(at, float(v));
        } else if (format == SAMPLEFORMAT_IEEEFP && bits == 64) {
            store(at, v);
        } else if (bits == 8 || bits == 16 || bits == 32) {
            // Two's complement: the low bytes of either sign.
            const auto n = static_cast<std::int64_t>(v);
            if (bits == 8)
                store(at, std::uint8_t(n));
            else if (bits == 16)
                store(at, std::uint16_t(n));
            else
                store(at, std::uint32_t(n));
        } else {
            throw std::invalid_argument("no TIFF sample of " + std::to_string(bits) + " bits");
        }
    }
    return row;
}

} // namespace

void writePng(const std::filesystem::path &path, const PngSpec &picture) {
    FilePtr f = openForWriting(path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot encode " + path.string());
    }
    png_init_io(png, f.get());
    png_set_compression_level(png, picture.compressionLevel);
    png_set_IHDR(png, info, picture.width, picture.height, picture.bitDepth, picture.colorType,
                 picture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (std::size_t i = 0; i + 2 < picture.palette.size(); i += 3)
        palette.push_back({picture.palette[i], picture.palette[i + 1], picture.palette[i + 2]});
    if (!palette.empty())
        png_set_PLTE(png, info, palette.data(), int(palette.size()));
    if (!picture.transparency.empty())
        png_set_tRNS(png, info, picture.transparency.data(), int(picture.transparency.size()),
                     nullptr);
    png_write_info(png, info);
    const int channels = png_get_channels(png, info);
    if (picture.samples.empty()) {
        // Pictures of gigabytes cost one row here.
        const std::vector<std::uint8_t> zeros(png_get_rowbytes(png, info));
        for (int y = 0; y < picture.height; ++y)
            png_write_row(png, zeros.data());
        png_write_end(png, nullptr);
        png_destroy_write_struct(&png, &info);
        return;
    }
    std::vector<std::vector<std::uint8_t>> rows;
    const std::size_t perRow = std::size_t(picture.width) * channels;
    for (int y = 0; y < picture.height; ++y)
        rows.push_back(
            packRow(picture.samples.data() + y * perRow, perRow, picture.bitDepth, true));
    std::vector<png_bytep> pointers;
    for (auto &row : rows)
        pointers.push_back(row.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}

std::string jpegBytes(const JpegSpec &picture) {
    jpeg_compress_struct jpeg{};
    jpeg_error_mgr errors{};
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    unsigned char *bytes = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&jpeg, &bytes, &size);
    jpeg.image_width = JDIMENSION(picture.width);
    jpeg.image_height = JDIMENSION(picture.height);
    jpeg.input_components = picture.components;
    jpeg.in_color_space = picture.components == 1   ? JCS_GRAYSCALE
                          : picture.components == 4 ? JCS_CMYK
                                                    : JCS_RGB;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, picture.quality, TRUE);
    if (picture.components == 4)
        jpeg.write_Adobe_marker = TRUE;
    if (picture.progressive)
        jpeg_simple_progression(&jpeg);
    jpeg.arith_code = picture.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&jpeg, TRUE);
    std::vector<JSAMPLE> row(std::size_t(picture.width) * picture.components);
    while (jpeg.next_scanline < jpeg.image_height) {
        const std::uint8_t *in = picture.samples.data() + jpeg.next_scanline * row.size();
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = picture.components == 4 ? JSAMPLE(255 - in[i]) : in[i];
        JSAMPROW p = row.data();
        jpeg_write_scanlines(&jpeg, &p, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    std::string out(reinterpret_cast<const char *>(bytes), size);
    std::free(bytes);
    return out;
}

void writeJpeg(const std::filesystem::path &path, const JpegSpec &picture) {
    const std::string bytes = jpegBytes(picture);
    FilePtr f = openForWriting(path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
        throw std::runtime_error("cannot write " + path.string());
}

void writeTiff(const std::filesystem::path &path, const TiffSpec &picture) {
    TIFF *tif = openTiffForWriting(path, picture.bigEndian ? "wb" : "wl");
    const std::size_t spp = picture.samplesPerPixel;
    for (int page = 0; page < picture.pages; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, picture.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, picture.height);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, picture.samplesPerPixel);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, picture.bitsPerSample);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, picture.photometric);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, picture.planar);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, picture.compression);
        TIFFSetField(tif, TIFFTAG_ORIENTATION, picture.orientation);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, picture.sampleFormat);
        if (picture.predictor != PREDICTOR_NONE)
            TIFFSetField(tif, TIFFTAG_PREDICTOR, picture.predictor);
        if (!picture.extraSamples.empty())
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, std::uint16_t(picture.extraSamples.size()),
                         picture.extraSamples.data());
        if (!picture.colormap.empty()) {
            const std::size_t n = picture.colormap.size() / 3;
            TIFFSetField(tif, TIFFTAG_COLORMAP, picture.colormap.data(),
                         picture.colormap.data() + n, picture.colormap.data() + 2 * n);
        }
        if (picture.pages > 1) {
            TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
            TIFFSetField(tif, TIFFTAG_PAGENUMBER, std::uint16_t(page),
                         std::uint16_t(picture.pages));
        }
        std::vector<std::uint16_t> samples = picture.samples;
        if (page > 0)
            for (auto &v : samples)
                v = std::uint16_t(((1u << picture.bitsPerSample) - 1) - v);
        const bool separate = picture.planar == PLANARCONFIG_SEPARATE;
        const int planes = separate ? int(spp) : 1;
        const std::size_t perPixel = separate ? 1 : spp;
        // The samples of plane p (or of every sample when interleaved) for pixel (x, y).
        auto pick = [&](const auto &source, std::uint32_t x0, std::uint32_t y, std::uint32_t count,
                        int plane) {
            std::vector<typename std::decay_t<decltype(source)>::value_type> out;
            for (std::uint32_t x = x0; x < x0 + count; ++x)
                for (std::size_t s = 0; s < perPixel; ++s) {
                    const std::size_t sample = separate ? std::size_t(plane) : s;
                    const bool inside = x < picture.width && y < picture.height;
                    out.push_back(
                        inside ? source[(std::size_t(y) * picture.width + x) * spp + sample] : 0);
                }
            return out;
        };
        auto gather = [&](std::uint32_t x0, std::uint32_t y, std::uint32_t count, int plane) {
            if (!picture.values.empty())
                return packValues(pick(picture.values, x0, y, count, plane), picture.bitsPerSample,
                                  picture.sampleFormat);
            const auto out = pick(samples, x0, y, count, plane);
            return packRow(out.data(), out.size(), picture.bitsPerSample, false);
        };
        if (picture.tileSize > 0) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, picture.tileSize);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, picture.tileSize);
            for (int plane = 0; plane < planes; ++plane)
                for (std::uint32_t ty = 0; ty < picture.height; ty += picture.tileSize)
                    for (std::uint32_t tx = 0; tx < picture.width; tx += picture.tileSize) {
                        std::vector<std::uint8_t> tile;
                        for (std::uint32_t r = 0; r < picture.tileSize; ++r) {
                            auto row = gather(tx, ty + r, picture.tileSize, plane);
                            tile.insert(tile.end(), row.begin(), row.end());
                        }
                        TIFFWriteTile(tif, tile.data(), tx, ty, 0, std::uint16_t(plane));
                    }
        } else {
            const std::uint32_t rowsPerStrip =
                picture.rowsPerStrip ? picture.rowsPerStrip : TIFFDefaultStripSize(tif, 0);
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
            // Whole strips at a time: JBIG encodes nothing less.
            std::uint32_t strip = 0;
            for (int plane = 0; plane < planes; ++plane)
                for (std::uint32_t y0 = 0; y0 < picture.height; y0 += rowsPerStrip, ++strip) {
                    std::vector<std::uint8_t> bytes;
                    for (std::uint32_t y = y0; y < std::min(picture.height, y0 + rowsPerStrip);
                         ++y) {
                        auto row = gather(0, y, picture.width, plane);
                        bytes.insert(bytes.end(), row.begin(), row.end());
                    }
                    if (TIFFWriteEncodedStrip(tif, strip, bytes.data(), tmsize_t(bytes.size())) < 0)
                        throw std::runtime_error("cannot encode " + path.string());
                }
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

void writeNearlyBlackTiff(const std::filesystem::path &path, std::uint32_t width,
                          std::uint32_t height) {
    TIFF *tif = openTiffForWriting(path);
    constexpr std::uint32_t rowsPerStrip = 1000;
    setSixteenBitGreyFields(tif, width, height);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    std::vector<std::uint16_t> strip(std::size_t(width) * rowsPerStrip);
    for (std::uint32_t y = 0, s = 0; y < height; y += rowsPerStrip, ++s) {
        const std::uint32_t rows = std::min(rowsPerStrip, height - y);
        strip[std::size_t(s * 7919 % rows) * width + s * 104729 % width] = 40000;
        if (TIFFWriteEncodedStrip(tif, s, strip.data(), tmsize_t(rows) * width * 2) < 0)
            throw std::runtime_error("cannot encode " + path.string());
        std::fill(strip.begin(), strip.end(), 0);
    }
    TIFFClose(tif);
}

std::string blankStrip(const std::filesystem::path &scratch, std::uint32_t width,
                       std::uint32_t rows, std::uint16_t samples, std::uint16_t compression) {
    TIFF *tif = openTiffForWriting(scratch);
    setEightBitFields(tif, width, rows, samples, compression, rows);
    std::vector<std::uint8_t> zeros(std::size_t(width) * rows * samples);
    if (TIFFWriteEncodedStrip(tif, 0, zeros.data(), tmsize_t(zeros.size())) < 0)
        throw std::runtime_error("cannot encode " + scratch.string());
    TIFFClose(tif);
    tif = TIFFOpen(scratch.c_str(), "r");
    if (!tif)
        throw std::runtime_error("cannot read " + scratch.string());
    std::string bytes(TIFFGetStrileByteCount(tif, 0), '\0');
    const tmsize_t got = TIFFReadRawStrip(tif, 0, bytes.data(), tmsize_t(bytes.size()));
    TIFFClose(tif);
    std::filesystem::remove(scratch);
    if (got != tmsize_t(bytes.size()))
        throw std::runtime_error("cannot read " + scratch.string());
    return bytes;
}

void writeBlankTiff(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                    std::uint16_t compression) {
    constexpr std::uint32_t rowsPerStrip = 32;
    const std::uint32_t lastRows = (height - 1) % rowsPerStrip + 1;
    const std::string full = blankStrip(path, width, rowsPerStrip, 3, compression);
    const std::string last =
        lastRows == rowsPerStrip ? full : blankStrip(path, width, lastRows, 3, compression);
    TIFF *tif = openTiffForWriting(path);
    setEightBitFields(tif, width, height, 3, compression, rowsPerStrip);
    const std::uint32_t lastStrip = (height - 1) / rowsPerStrip;
    writeRawStrips(tif, path, [&](std::uint32_t s) -> const std::string & {
        return s < lastStrip ? full : last;
    });
}

void writeNoisyTiff(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                    std::uint16_t compression) {
    constexpr std::uint32_t rowsPerStrip = 32;
    std::mt19937 random(1);
    std::normal_distribution<double> noise(100, 1);
    std::vector<std::uint16_t> pixels(std::size_t(width) * rowsPerStrip);
    for (auto &v : pixels)
        v = std::uint16_t(std::lround(noise(random)));
    // Each strip coded once, in a file of its own, and its bytes kept for all.
    const auto coded = [&](std::uint32_t rows) {
        TIFF *tif = openTiffForWriting(path);
        setSixteenBitGreyFields(tif, width, rows);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows);
        if (TIFFWriteEncodedStrip(tif, 0, pixels.data(), tmsize_t(rows) * width * 2) < 0)
            throw std::runtime_error("cannot encode " + path.string());
        TIFFClose(tif);
        tif = TIFFOpen(path.c_str(), "r");
        if (!tif)
            throw std::runtime_error("cannot read " + path.string());
        std::string bytes(TIFFGetStrileByteCount(tif, 0), '\0');
        const tmsize_t got = TIFFReadRawStrip(tif, 0, bytes.data(), tmsize_t(bytes.size()));
        TIFFClose(tif);
        if (got != tmsize_t(bytes.size()))
            throw std::runtime_error("cannot read " + path.string());
        return bytes;
    };
    const std::uint32_t lastRows = (height - 1) % rowsPerStrip + 1;
    const std::string full = coded(rowsPerStrip);
    const std::string last = lastRows == rowsPerStrip ? full : coded(lastRows);
    TIFF *tif = openTiffForWriting(path);
    setSixteenBitGreyFields(tif, width, height);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    const std::uint32_t lastStrip = (height - 1) / rowsPerStrip;
    writeRawStrips(tif, path, [&](std::uint32_t s) -> const std::string & {
        return s < lastStrip ? full : last;
    });
}

void writeJpegStripTiff(const std::filesystem::path &path, std::uint32_t width,
                        std::uint32_t height, std::uint32_t rowsPerStrip,
                        const std::vector<std::string> &strips, std::uint16_t samples) {
    TIFF *tif = openTiffForWriting(path);
    setEightBitFields(tif, width, height, samples, COMPRESSION_JPEG, rowsPerStrip);
    writeRawStrips(tif, path, [&](std::uint32_t s) -> const std::string & {
        return strips[std::min<std::size_t>(s, strips.size() - 1)];
    });
}

namespace {

// What LibRaw needs of any DNG: versions, camera names, a colour matrix, white balance; and the
// default scale across, when it is not 1.
void setCameraFields(TIFF *tif, float defaultScale = 1) {
    const std::uint8_t dngVersion[4] = {1, 4, 0, 0};
    const std::uint8_t backwardVersion[4] = {1, 1, 0, 0};
    const float neutral[3] = {1, 1, 1};
    const float identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_MAKE, "Quintarvel");
    TIFFSetField(tif, TIFFTAG_MODEL, "Test Camera");
    TIFFSetField(tif, TIFFTAG_DNGVERSION, dngVersion);
    TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, backwardVersion);
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Quintarvel Test Camera");
    TIFFSetField(tif, TIFFTAG_COLORMATRIX1, 9, identity);
    TIFFSetField(tif, TIFFTAG_CALIBRATIONILLUMINANT1, 21); // D65
    TIFFSetField(tif, TIFFTAG_ASSHOTNEUTRAL, 3, neutral);
    if (defaultScale != 1) {
        const float scale[2] = {defaultScale, 1};
        TIFFSetField(tif, TIFFTAG_DEFAULTSCALE, scale);
    }
}

// A DNG's 16-bit RGGB mosaic under `compression`, its strips or tiles still to be set.
void setMosaicFields(TIFF *tif, std::uint32_t width, std::uint32_t height,
                     std::uint16_t compression) {
    const std::uint16_t patternDim[2] = {2, 2};
    const std::uint8_t pattern[4] = {0, 1, 1, 2}; // red, green / green, blue
    setCameraFields(tif);
    setSixteenBitGreyFields(tif, width, height);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, patternDim);
    TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
}

} // namespace

void writeDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
              const std::vector<std::uint16_t> &mosaic) {
    TIFF *tif = openTiffForWriting(path);
    setMosaicFields(tif, width, height, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::vector<std::uint16_t> row(mosaic.begin() + std::ptrdiff_t(y) * width,
                                       mosaic.begin() + std::ptrdiff_t(y + 1) * width);
        if (TIFFWriteScanline(tif, row.data(), y, 0) < 0)
            throw std::runtime_error("cannot encode " + path.string());
    }
    TIFFWriteDirectory(tif);
    TIFFClose(tif);
}

void writeLossyDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                   std::uint32_t tileSize, const std::string &tileJpeg, float defaultScale) {
    // DNG's own values, unknown to libtiff.
    constexpr std::uint16_t lossyJpeg = 34892, linearRaw = 34892;
    TIFF *tif = openTiffForWriting(path);
    setCameraFields(tif, defaultScale);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, lossyJpeg);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, linearRaw);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, tileSize);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, tileSize);
    for (std::uint32_t t = 0, tiles = TIFFNumberOfTiles(tif); t < tiles; ++t)
        if (TIFFWriteRawTile(tif, t, const_cast<char *>(tileJpeg.data()),
                             tmsize_t(tileJpeg.size())) < 0)
            throw std::runtime_error("cannot write " + path.string());
    TIFFWriteDirectory(tif);
    TIFFClose(tif);
}

std::string rawContainer(const std::string &magic, std::uint32_t width, std::uint32_t height,
                         const std::string &pixels) {
    std::string out = magic;
    for (const std::uint32_t v : {width, height})
        for (int i = 0; i < 4; ++i)
            out.push_back(char((v >> (8 * i)) & 0xFF));
    return out + pixels;
}

} // namespace quintarvel::test

namespace quintarvel::test {

namespace {

// Bits written first to last, most significant first, each 0xFF byte followed by a 0 as JPEG
// stuffs it; the last byte is filled with ones.
class BitWriter {
  public:
    void put(std::uint32_t value, int bits) {
        for (int i = bits - 1; i >= 0; --i) {
            byte_ = std::uint8_t(byte_ << 1 | (value >> i & 1));
            if (++filled_ == 8)
                flush();
        }
    }
    std::string finish() {
        while (filled_ != 0)
            put(1, 1);
        return std::move(out_);
    }
    void marker(std::uint8_t code) {
        while (filled_ != 0)
            put(1, 1);
        out_ += {char(0xFF), char(code)};
    }

  private:
    void flush() {
        out_ += char(byte_);
        if (byte_ == 0xFF)
            out_ += '\0';
        byte_ = 0;
        filled_ = 0;
    }
    std::string out_;
    std::uint8_t byte_ = 0;
    int filled_ = 0;
};

std::string segment(std::uint8_t marker, const std::string &body) {
    const std::size_t length = body.size() + 2;
    return std::string{char(0xFF), char(marker), char(length >> 8), char(length & 0xFF)} + body;
}

} // namespace

std::string losslessJpegBytes(std::uint32_t wide, std::uint32_t high, int components,
                              const std::vector<std::uint16_t> &samples,
                              std::uint32_t restartRows) {
    // Every category, 0 to 16, has a code of five bits: the code of category s is s.
    std::string table(1, '\0');
    for (int length = 1; length <= 16; ++length)
        table += char(length == 5 ? 17 : 0);
    for (int s = 0; s <= 16; ++s)
        table += char(s);
    std::string frame{16,
                      char(high >> 8),
                      char(high & 0xFF),
                      char(wide >> 8),
                      char(wide & 0xFF),
                      char(components)};
    std::string scan(1, char(components));
    for (int c = 1; c <= components; ++c) {
        frame += {char(c), 0x11, 0};
        scan += {char(c), 0};
    }
    scan += {1, 0, 0};                                 // predictor 1, no point transform
    const std::uint32_t interval = restartRows * wide; // in samples of each component
    const std::string restart =
        restartRows ? segment(0xDD, {char(interval >> 8), char(interval & 0xFF)}) : "";

    BitWriter bits;
    const std::size_t perRow = std::size_t(wide) * components;
    for (std::uint32_t y = 0; y < high; ++y) {
        // A restart begins anew: its first row is predicted as the picture's first.
        const bool first = y == 0 || (restartRows && y % restartRows == 0);
        if (y > 0 && first)
            bits.marker(std::uint8_t(0xD0 + (y / restartRows - 1) % 8));
        for (std::size_t i = 0; i < perRow; ++i) {
            const std::uint16_t *row = samples.data() + y * perRow;
            const int predicted = i >= std::size_t(components) ? row[i - components]
                                  : !first                     ? row[i - perRow]
                                                               : 1 << 15;
            const int diff = row[i] - predicted;
            int s = 0;
            while (s < 16 && (std::abs(diff) >> s) != 0)
                ++s;
            bits.put(std::uint32_t(s), 5);
            if (s < 16) // a difference of 32768 has no bits beyond its category
                bits.put(std::uint32_t(diff < 0 ? diff + (1 << s) - 1 : diff), s);
        }
    }
    return std::string{char(0xFF), char(0xD8)} + segment(0xC4, table) + restart +
           segment(0xC3, frame) + segment(0xDA, scan) + bits.finish() +
           std::string{char(0xFF), char(0xD9)};
}

void writeLosslessDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                      std::uint32_t tileSize, const std::vector<std::string> &streams,
                      bool bigEndian) {
    TIFF *tif = openTiffForWriting(path, bigEndian ? "wb" : "wl");
    setMosaicFields(tif, width, height, COMPRESSION_JPEG);
    if (tileSize) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, tileSize);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, tileSize);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
    }
    const std::uint32_t count = tileSize ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string &bytes = streams[std::min<std::size_t>(i, streams.size() - 1)];
        char *data = const_cast<char *>(bytes.data());
        if ((tileSize ? TIFFWriteRawTile(tif, i, data, tmsize_t(bytes.size()))
                      : TIFFWriteRawStrip(tif, i, data, tmsize_t(bytes.size()))) < 0)
            throw std::runtime_error("cannot write " + path.string());
    }
    TIFFWriteDirectory(tif);
    TIFFClose(tif);
}

void writeLosslessDng(const std::filesystem::path &path, std::uint32_t width, std::uint32_t height,
                      std::uint32_t tileSize, int components,
                      const std::vector<std::uint16_t> &mosaic, bool bigEndian,
                      std::uint32_t restartRows) {
    const std::uint32_t blockWide = tileSize ? tileSize : width;
    const std::uint32_t blockHigh = tileSize ? tileSize : height;
    std::vector<std::string> streams;
    for (std::uint32_t y0 = 0; y0 < height; y0 += blockHigh)
        for (std::uint32_t x0 = 0; x0 < width; x0 += blockWide) {
            std::vector<std::uint16_t> block;
            for (std::uint32_t y = y0; y < y0 + blockHigh; ++y)
                for (std::uint32_t x = x0; x < x0 + blockWide; ++x)
                    block.push_back(x < width && y < height ? mosaic[y * width + x] : 0);
            streams.push_back(losslessJpegBytes(blockWide / components, blockHigh, components,
                                                block, restartRows));
        }
    writeLosslessDng(path, width, height, tileSize, streams, bigEndian);
}

void putLittleEndian(std::string &bytes, std::uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        bytes += char(value >> 8 * i & 0xFF);
}

std::string littleEndianTiff(const std::string &before,
                             const std::vector<std::array<std::uint32_t, 4>> &entries) {
    std::string bytes = "II";
    putLittleEndian(bytes, 42, 2);
    putLittleEndian(bytes, 8 + std::uint32_t(before.size()), 4);
    bytes += before;
    putLittleEndian(bytes, std::uint32_t(entries.size()), 2);
    for (const auto &[tag, type, count, value] : entries) {
        putLittleEndian(bytes, tag, 2);
        putLittleEndian(bytes, type, 2);
        putLittleEndian(bytes, count, 4);
        putLittleEndian(bytes, value, 4);
    }
    putLittleEndian(bytes, 0, 4);
    return bytes;
}

void writeCr2(const std::filesystem::path &path, std::uint32_t wide, std::uint32_t high,
              const std::array<std::uint16_t, 3> &slices, const std::string &stream,
              std::size_t size) {
    const std::string make("Canon\0", 6), model("Canon EOS\0", 10);
    constexpr std::uint32_t fields = 11, ifd = 16, names = ifd + 2 + fields * 12 + 4;
    const std::uint32_t slicesAt = names + std::uint32_t(make.size() + model.size()),
                        strip = slicesAt + 6;
    const std::vector<std::array<std::uint32_t, 4>> entries = {
        {TIFFTAG_IMAGEWIDTH, TIFF_LONG, 1, wide},
        {TIFFTAG_IMAGELENGTH, TIFF_LONG, 1, high},
        {TIFFTAG_BITSPERSAMPLE, TIFF_SHORT, 1, 16},
        {TIFFTAG_COMPRESSION, TIFF_SHORT, 1, COMPRESSION_OJPEG},
        {TIFFTAG_MAKE, TIFF_ASCII, std::uint32_t(make.size()), names},
        {TIFFTAG_MODEL, TIFF_ASCII, std::uint32_t(model.size()),
         names + std::uint32_t(make.size())},
        {TIFFTAG_STRIPOFFSETS, TIFF_LONG, 1, strip},
        {TIFFTAG_SAMPLESPERPIXEL, TIFF_SHORT, 1, 1},
        {TIFFTAG_ROWSPERSTRIP, TIFF_LONG, 1, high},
        {TIFFTAG_STRIPBYTECOUNTS, TIFF_LONG, 1, std::uint32_t(stream.size())},
        {0xC640, TIFF_SHORT, 3, slicesAt}, // Canon's slices
    };
    // Canon's signature, and a word LibRaw reads as the raw directory's offset.
    std::string bytes = littleEndianTiff(std::string("CR\x02\0\0\0\0\0", 8), entries);
    bytes += make + model;
    for (const std::uint16_t slice : slices)
        putLittleEndian(bytes, slice, 2);
    bytes += stream;
    bytes.resize(std::max(bytes.size(), size), '\0');
    FilePtr f = openForWriting(path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), f.get()) != bytes.size())
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace quintarvel::test
