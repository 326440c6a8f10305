// TIFF through libtiff, read from memory. Unsigned 8- and 16-bit grey and RGB (strips or tiles,
// interleaved or planar, any codec libtiff has) keep their depth; grey and RGB samples that 16
// bits cannot hold as they are (floating point, 32-bit, signed) are scaled to 16 bits; other
// colour models go through libtiff's RGBA reader.

#include "platform/ImageDecoders.h"

#include "platform/ImageTiffBounds.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <tiffio.h>

namespace quintarvel::detail {

namespace {

// libtiff's own allocations (strip buffers, directories) stay below this; our pixel buffers are
// limited by `Image::maxPixels` instead.
constexpr tmsize_t maxLibraryAllocation = tmsize_t{1} << 30;

struct MemoryStream {
    const ImageData &data;
    std::uint64_t position = 0;
    // Set by every error libtiff reports, and by every warning that a strip or tile ends early.
    // libtiff may report a block as read whole after an error left part of it unwritten, and
    // codecs fill a block cut short with zeros or invented pixels: a picture read under either
    // is refused.
    bool errorReported = false;
};

tmsize_t readStream(thandle_t handle, void *out, tmsize_t size) {
    auto *s = static_cast<MemoryStream *>(handle);
    if (size <= 0 || s->position >= s->data.size())
        return 0;
    const auto n =
        std::min<std::uint64_t>(static_cast<std::uint64_t>(size), s->data.size() - s->position);
    std::memcpy(out, s->data.bytes() + s->position, n);
    s->position += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t writeStream(thandle_t, void *, tmsize_t) {
    return 0;
}

toff_t seekStream(thandle_t handle, toff_t offset, int whence) {
    auto *s = static_cast<MemoryStream *>(handle);
    const auto delta = static_cast<std::int64_t>(offset);
    std::int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<std::int64_t>(s->position);
    else if (whence == SEEK_END)
        base = static_cast<std::int64_t>(s->data.size());
    if ((delta < 0 && base + delta < 0) || (whence == SEEK_SET && delta < 0))
        return static_cast<toff_t>(-1);
    s->position = static_cast<std::uint64_t>(whence == SEEK_SET ? delta : base + delta);
    return s->position;
}

int closeStream(thandle_t) {
    return 0;
}
toff_t streamSize(thandle_t handle) {
    return static_cast<MemoryStream *>(handle)->data.size();
}

// Lets libtiff read uncompressed strips straight from the bytes; it never writes to a mapping.
int mapStream(thandle_t handle, void **base, toff_t *size) {
    auto *s = static_cast<MemoryStream *>(handle);
    *base = const_cast<std::uint8_t *>(s->data.bytes());
    *size = s->data.size();
    return 1;
}
void unmapStream(thandle_t, void *, toff_t) {}

int noteError(TIFF *, void *stream, const char *, const char *, va_list) {
    static_cast<MemoryStream *>(stream)->errorReported = true;
    return 1;
}
// The words libtiff's codecs warn with when a strip or tile ends before its last row and they
// complete it with filler.
constexpr const char *endsEarly[] = {
    // libjpeg, passed on: "Premature end of JPEG file", "Corrupt JPEG data: premature end of
    // data segment"
    "remature end",
    // a JPEG stream of fewer rows or columns than the strip or tile it stands for
    "Improper JPEG strip/tile size",
    // CCITT fax codes: data ending within a row, or a row ending before its last pixel
    "Premature EOF",
    "Premature EOL",
    // JBIG
    "Only decoded",
};

// Other warnings (unknown tags, odd but readable fields) are tolerated.
int noteWarning(TIFF *, void *stream, const char *, const char *format, va_list arguments) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, arguments);
    for (const char *words : endsEarly)
        if (std::strstr(text, words))
            static_cast<MemoryStream *>(stream)->errorReported = true;
    return 1;
}

struct TiffCloser {
    void operator()(TIFF *tif) const { TIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr openTiff(MemoryStream &stream) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (!options)
        return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, maxLibraryAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, noteError, &stream);
    TIFFOpenOptionsSetWarningHandlerExtR(options, noteWarning, &stream);
    TIFF *tif = TIFFClientOpenExt("image", "r", &stream, readStream, writeStream, seekStream,
                                  closeStream, streamSize, mapStream, unmapStream, options);
    TIFFOpenOptionsFree(options);
    return TiffPtr(tif);
}

struct Fields {
    std::uint32_t width = 0, height = 0;
    std::uint16_t samples = 1, bits = 1, photometric = 0, planar = PLANARCONFIG_CONTIG;
    std::uint16_t orientation = ORIENTATION_TOPLEFT, format = SAMPLEFORMAT_UINT;
    std::uint16_t compression = COMPRESSION_NONE;
    bool hasPhotometric = false;
};

Fields readFields(TIFF *tif) {
    Fields f;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &f.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &f.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &f.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &f.bits);
    f.hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &f.photometric) == 1;
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &f.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &f.orientation);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &f.format);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &f.compression);
    return f;
}

// Samples that 16 bits cannot hold as they are, scaled to 16 bits on the way (see `Image.h`).
enum class Scaled { no, half, float24, float32, float64, uint32, int8, int16, int32 };

// Nothing for samples that are refused whatever the colour model: other sizes of floating point
// and signed integers, complex numbers.
std::optional<Scaled> scalingOf(const Fields &f) {
    switch (f.format) {
    case SAMPLEFORMAT_UINT:
    case SAMPLEFORMAT_VOID:
        return f.bits == 32 ? Scaled::uint32 : Scaled::no;
    case SAMPLEFORMAT_INT:
        if (f.bits == 8)
            return Scaled::int8;
        if (f.bits == 16)
            return Scaled::int16;
        if (f.bits == 32)
            return Scaled::int32;
        break;
    case SAMPLEFORMAT_IEEEFP:
        if (f.bits == 16)
            return Scaled::half;
        if (f.bits == 24)
            return Scaled::float24;
        if (f.bits == 32)
            return Scaled::float32;
        if (f.bits == 64)
            return Scaled::float64;
        break;
    }
    return std::nullopt;
}

// A binary float narrower than `float`, as IEEE 754 lays them out: sign, `exponentBits` of
// exponent biased by 2^(exponentBits - 1) - 1, `fractionBits` of fraction. Half precision is
// (5, 10); the 24-bit float of DNG files (7, 16). Exact: each is a double.
double narrowFloat(std::uint32_t bits, int exponentBits, int fractionBits) {
    const std::uint32_t fraction = bits & ((1u << fractionBits) - 1);
    const std::uint32_t exponent = (bits >> fractionBits) & ((1u << exponentBits) - 1);
    const int bias = (1 << (exponentBits - 1)) - 1;
    double v;
    if (exponent == (1u << exponentBits) - 1)
        v = fraction ? std::numeric_limits<double>::quiet_NaN()
                     : std::numeric_limits<double>::infinity();
    else if (exponent == 0)
        v = std::ldexp(double(fraction), 1 - bias - fractionBits);
    else
        v = std::ldexp(double(fraction | 1u << fractionBits), int(exponent) - bias - fractionBits);
    return bits >> (exponentBits + fractionBits) & 1 ? -v : v;
}

// One sample of each kind as libtiff hands it over: in the machine's byte order, whatever the
// file's (its predictors included).
template <Scaled kind> struct Sample;
template <> struct Sample<Scaled::half> {
    static constexpr int bytes = 2;
    static double load(const std::uint8_t *p) {
        std::uint16_t bits;
        std::memcpy(&bits, p, 2);
        return narrowFloat(bits, 5, 10);
    }
};
template <> struct Sample<Scaled::float24> {
    static constexpr int bytes = 3;
    static double load(const std::uint8_t *p) {
        const std::uint32_t bits = std::endian::native == std::endian::little
                                       ? p[0] | p[1] << 8 | std::uint32_t{p[2]} << 16
                                       : std::uint32_t{p[0]} << 16 | p[1] << 8 | p[2];
        return narrowFloat(bits, 7, 16);
    }
};
template <class T> struct Plain {
    static constexpr int bytes = sizeof(T);
    static double load(const std::uint8_t *p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return double(v);
    }
};
template <> struct Sample<Scaled::float32> : Plain<float> {};
template <> struct Sample<Scaled::float64> : Plain<double> {};
template <> struct Sample<Scaled::uint32> : Plain<std::uint32_t> {};
template <> struct Sample<Scaled::int8> : Plain<std::int8_t> {};
template <> struct Sample<Scaled::int16> : Plain<std::int16_t> {};
template <> struct Sample<Scaled::int32> : Plain<std::int32_t> {};

// Calls `work` with the `Sample` of `kind` (not `Scaled::no`).
template <class Work> bool withSample(Scaled kind, Work &&work) {
    switch (kind) {
    case Scaled::half:
        return work(Sample<Scaled::half>{});
    case Scaled::float24:
        return work(Sample<Scaled::float24>{});
    case Scaled::float32:
        return work(Sample<Scaled::float32>{});
    case Scaled::float64:
        return work(Sample<Scaled::float64>{});
    case Scaled::uint32:
        return work(Sample<Scaled::uint32>{});
    case Scaled::int8:
        return work(Sample<Scaled::int8>{});
    case Scaled::int16:
        return work(Sample<Scaled::int16>{});
    case Scaled::int32:
        return work(Sample<Scaled::int32>{});
    case Scaled::no:
        break;
    }
    return false;
}

// The linear map of a picture's finite samples onto 0..65535: `low` to 0, `high` to 65535 (the
// other way round for "min is white"). NaN, infinities, and every sample of a picture without two
// different finite samples go to 0.
class ScaleTo16 {
  public:
    ScaleTo16(double low, double high, bool invert)
        : flat_(!(low < high)), invert_(invert), halve_(!std::isfinite(high - low)),
          low_(halve_ ? low / 2 : low), high_(halve_ ? high / 2 : high), range_(high_ - low_) {}

    std::uint16_t operator()(double s) const {
        if (flat_ || !std::isfinite(s))
            return 0;
        if (halve_)
            s /= 2;
        return std::uint16_t(std::round((invert_ ? high_ - s : s - low_) / range_ * 65535));
    }

  private:
    bool flat_, invert_;
    // Only 64-bit samples can span more than a double holds; halved, their range fits.
    bool halve_;
    double low_, high_, range_;
};

// Zeroed, like the pixel buffers: nothing left unwritten can carry old heap contents.
std::unique_ptr<std::uint8_t[]> scratch(std::uint64_t size) {
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]());
}

// Reads samples of the native layout into a bitmap of `colours` (+ alpha) samples per pixel.
class SampleReader {
  public:
    SampleReader(TIFF *tif, const Fields &f, Scaled scaled, int colours, PixelBuffer &out)
        : tif_(tif), f_(f), scaled_(scaled), colours_(colours), out_(out),
          outSamples_(out.layout().samplesPerPixel),
          separate_(f.planar == PLANARCONFIG_SEPARATE && f.samples > 1),
          invert_(f.photometric == PHOTOMETRIC_MINISWHITE) {}

    bool read();

  private:
    bool direct() const {
        return !TIFFIsTiled(tif_) && !separate_ && !invert_ && f_.bits >= 8 &&
               outSamples_ == f_.samples;
    }
    bool readDirect();
    // Calls `span(in, x0, y, count, plane)` for each row of every strip or tile as decoded; see
    // `storeSpan`.
    template <class Span> bool forEachSpan(Span &&span);
    bool readScaled();
    void storeSpan(const std::uint8_t *in, std::uint32_t x0, std::uint32_t y, std::uint32_t count,
                   int plane);
    // The colour samples of a span of `count` pixels, in the bitmap's order: `visit(at, p)` for
    // the one `at` samples past the span's first in the bitmap, found at `p` in `in`.
    template <class S, class Visit>
    void eachSample(const std::uint8_t *in, std::uint32_t count, int plane, Visit &&visit) const;
    std::uint16_t maxValue() const { return static_cast<std::uint16_t>((1u << f_.bits) - 1); }

    TIFF *tif_;
    const Fields &f_;
    Scaled scaled_;
    int colours_;
    PixelBuffer &out_;
    int outSamples_;
    bool separate_;
    bool invert_;
};

bool SampleReader::read() {
    if (scaled_ != Scaled::no)
        return readScaled();
    if (direct())
        return readDirect();
    return forEachSpan([this](const std::uint8_t *in, std::uint32_t x0, std::uint32_t y,
                              std::uint32_t count,
                              int plane) { storeSpan(in, x0, y, count, plane); });
}

// Strips of exactly the bitmap's layout decode into place.
bool SampleReader::readDirect() {
    std::uint32_t rowsPerStrip = f_.height;
    TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::clamp<std::uint32_t>(rowsPerStrip, 1, f_.height);
    const auto rowBytes = out_.layout().bytesPerRow;
    if (TIFFScanlineSize64(tif_) != static_cast<std::uint64_t>(rowBytes))
        return false;
    for (std::uint32_t y = 0, strip = 0; y < f_.height; y += rowsPerStrip, ++strip) {
        const std::uint32_t rows = std::min(rowsPerStrip, f_.height - y);
        const tmsize_t want = static_cast<tmsize_t>(rows) * rowBytes;
        if (TIFFReadEncodedStrip(tif_, strip, out_.row(y), want) != want)
            return false;
    }
    return true;
}

// Strips and tiles alike are blocks of blockWide × blockHigh pixels of one plane (or of all
// samples when interleaved), read into scratch memory and spread into the bitmap.
template <class Span> bool SampleReader::forEachSpan(Span &&span) {
    const bool tiled = TIFFIsTiled(tif_);
    std::uint32_t blockWide = f_.width, blockHigh = f_.height;
    if (tiled) {
        TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &blockWide);
        TIFFGetField(tif_, TIFFTAG_TILELENGTH, &blockHigh);
    } else {
        TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &blockHigh);
        blockHigh = std::clamp<std::uint32_t>(blockHigh, 1, f_.height);
    }
    if (blockWide == 0 || blockHigh == 0)
        return false;
    const int inSamples = separate_ ? 1 : f_.samples;
    const std::uint64_t rowBytes = (std::uint64_t{blockWide} * inSamples * f_.bits + 7) / 8;
    const std::uint64_t blockBytes =
        tiled ? TIFFTileSize64(tif_) : rowBytes * std::uint64_t{blockHigh};
    if ((tiled ? TIFFTileRowSize64(tif_) : TIFFScanlineSize64(tif_)) != rowBytes ||
        blockBytes < rowBytes * blockHigh || blockBytes > std::uint64_t(maxLibraryAllocation))
        return false;
    auto block = scratch(blockBytes);
    if (!block)
        return false;
    const int planes = separate_ ? std::min<int>(f_.samples, outSamples_) : 1;
    const std::uint32_t stripsPerPlane = (f_.height + blockHigh - 1) / blockHigh;
    for (int plane = 0; plane < planes; ++plane) {
        for (std::uint32_t y0 = 0; y0 < f_.height; y0 += blockHigh) {
            const std::uint32_t rows = std::min(blockHigh, f_.height - y0);
            for (std::uint32_t x0 = 0; x0 < f_.width; x0 += blockWide) {
                tmsize_t got = 0;
                tmsize_t want = static_cast<tmsize_t>(rowBytes * rows);
                if (tiled) {
                    const auto tile = TIFFComputeTile(tif_, x0, y0, 0, std::uint16_t(plane));
                    got = TIFFReadEncodedTile(tif_, tile, block.get(), tmsize_t(blockBytes));
                    want = tmsize_t(blockBytes);
                } else {
                    const auto strip = plane * stripsPerPlane + y0 / blockHigh;
                    got = TIFFReadEncodedStrip(tif_, strip, block.get(), want);
                }
                if (got != want)
                    return false;
                const std::uint32_t count = std::min(blockWide, f_.width - x0);
                for (std::uint32_t r = 0; r < rows; ++r)
                    span(block.get() + r * rowBytes, x0, y0 + r, count, separate_ ? plane : -1);
            }
        }
    }
    return true;
}

template <class S, class Visit>
void SampleReader::eachSample(const std::uint8_t *in, std::uint32_t count, int plane,
                              Visit &&visit) const {
    const std::size_t inStep = plane < 0 ? f_.samples : 1;
    const int first = plane < 0 ? 0 : plane;
    const int last = plane < 0 ? outSamples_ : plane + 1;
    for (std::uint32_t x = 0; x < count; ++x)
        for (int c = first; c < last; ++c)
            visit(std::size_t{x} * outSamples_ + c,
                  in + S::bytes * (std::size_t{x} * inStep + std::size_t(c - first)));
}

// Decoding twice, once to find the range of the finite samples and once to map them, keeps the
// memory a picture needs at its 16-bit bitmap and one strip or tile, which the converter's
// memory ceiling is made for. Keeping the samples as read in between would take up to four
// times the bitmap (64-bit samples).
bool SampleReader::readScaled() {
    return withSample(scaled_, [this](auto sample) {
        using S = decltype(sample);
        double low = std::numeric_limits<double>::infinity(), high = -low;
        const bool measured = forEachSpan([&](const std::uint8_t *in, std::uint32_t, std::uint32_t,
                                              std::uint32_t count, int plane) {
            eachSample<S>(in, count, plane, [&](std::size_t, const std::uint8_t *p) {
                const double v = S::load(p);
                if (std::isfinite(v)) {
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
            });
        });
        if (!measured)
            return false;
        const ScaleTo16 scale(low, high, invert_);
        return forEachSpan([&](const std::uint8_t *in, std::uint32_t x0, std::uint32_t y,
                               std::uint32_t count, int plane) {
            auto *out =
                reinterpret_cast<std::uint16_t *>(out_.row(y)) + std::size_t{x0} * outSamples_;
            eachSample<S>(in, count, plane, [&](std::size_t at, const std::uint8_t *p) {
                out[at] = scale(S::load(p));
            });
        });
    });
}

// `plane` is the one sample held by `in`, or -1 when `in` holds every sample of each pixel.
void SampleReader::storeSpan(const std::uint8_t *in, std::uint32_t x0, std::uint32_t y,
                             std::uint32_t count, int plane) {
    std::uint8_t *outRow = out_.row(y);
    if (f_.bits == 16) {
        auto *out = reinterpret_cast<std::uint16_t *>(outRow) + std::size_t{x0} * outSamples_;
        eachSample<Plain<std::uint16_t>>(
            in, count, plane, [&](std::size_t at, const std::uint8_t *p) {
                std::uint16_t v;
                std::memcpy(&v, p, 2);
                out[at] =
                    invert_ && int(at % outSamples_) < colours_ ? std::uint16_t(0xFFFF - v) : v;
            });
    } else if (f_.bits == 8) {
        std::uint8_t *out = outRow + std::size_t{x0} * outSamples_;
        eachSample<Plain<std::uint8_t>>(
            in, count, plane, [&](std::size_t at, const std::uint8_t *p) {
                out[at] =
                    invert_ && int(at % outSamples_) < colours_ ? std::uint8_t(0xFF - *p) : *p;
            });
    } else {
        // 1, 2 or 4 bits of one grey sample, first pixel in the high bits, scaled to 0..255.
        const unsigned bits = f_.bits, max = maxValue();
        for (std::uint32_t x = 0; x < count; ++x) {
            const std::size_t bit = std::size_t{x} * bits;
            unsigned v = (in[bit / 8] >> (8 - bits - bit % 8)) & max;
            if (invert_)
                v = max - v;
            outRow[x0 + x] = static_cast<std::uint8_t>(v * 255 / max);
        }
    }
}

void mirrorRows(PixelBuffer &pixels) {
    const auto &l = pixels.layout();
    const std::size_t pixel = std::size_t(l.bitsPerPixel() / 8);
    std::uint8_t tmp[8];
    for (std::int64_t y = 0; y < l.pixelsHigh; ++y) {
        std::uint8_t *row = pixels.row(y);
        for (std::int64_t a = 0, b = l.pixelsWide - 1; a < b; ++a, --b) {
            std::memcpy(tmp, row + a * pixel, pixel);
            std::memcpy(row + a * pixel, row + b * pixel, pixel);
            std::memcpy(row + b * pixel, tmp, pixel);
        }
    }
}

void flipRows(PixelBuffer &pixels) {
    const auto &l = pixels.layout();
    for (std::int64_t a = 0, b = l.pixelsHigh - 1; a < b; ++a, --b)
        std::swap_ranges(pixels.row(a), pixels.row(a) + l.bytesPerRow, pixels.row(b));
}

// Uncompressed strips stored back to back, in the machine's byte order and exactly the bitmap's
// layout, are the bitmap already: share them instead of copying (large astronomical TIFFs are
// mostly like this).
std::shared_ptr<BitmapImageRep> shareStrips(TIFF *tif, const Fields &f, const ImageData &data,
                                            const BitmapImageRep::Layout &layout) {
    if (f.compression != COMPRESSION_NONE || TIFFIsTiled(tif) ||
        f.photometric == PHOTOMETRIC_MINISWHITE || f.orientation != ORIENTATION_TOPLEFT ||
        (f.bits != 8 && f.bits != 16) || (f.bits == 16 && TIFFIsByteSwapped(tif)) ||
        layout.samplesPerPixel != f.samples ||
        (f.planar == PLANARCONFIG_SEPARATE && f.samples > 1) ||
        TIFFScanlineSize64(tif) != static_cast<std::uint64_t>(layout.bytesPerRow))
        return nullptr;
    std::uint32_t rowsPerStrip = f.height;
    TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::clamp<std::uint32_t>(rowsPerStrip, 1, f.height);
    const auto rowBytes = static_cast<std::uint64_t>(layout.bytesPerRow);
    const std::uint64_t start = TIFFGetStrileOffset(tif, 0);
    const std::uint32_t strips = TIFFNumberOfStrips(tif);
    if (std::uint64_t{strips} != (std::uint64_t{f.height} + rowsPerStrip - 1) / rowsPerStrip)
        return nullptr;
    for (std::uint32_t strip = 0; strip < strips; ++strip) {
        const std::uint64_t firstRow = std::uint64_t{strip} * rowsPerStrip;
        const std::uint64_t rows = std::min<std::uint64_t>(rowsPerStrip, f.height - firstRow);
        if (TIFFGetStrileOffset(tif, strip) != start + firstRow * rowBytes ||
            TIFFGetStrileByteCount(tif, strip) < rows * rowBytes)
            return nullptr;
    }
    return BitmapImageRep::sharing(layout, data, start);
}

std::shared_ptr<BitmapImageRep> readSamples(TIFF *tif, const Fields &f, Scaled scaled, int colours,
                                            const ImageData &data) {
    const bool keepAlpha = scaled == Scaled::no && colours == 3 && f.samples >= 4 && f.bits == 8;
    BitmapImageRep::Layout layout;
    layout.pixelsWide = f.width;
    layout.pixelsHigh = f.height;
    layout.bitsPerSample = f.bits == 16 || scaled != Scaled::no ? 16 : 8;
    layout.samplesPerPixel = colours + (keepAlpha ? 1 : 0);
    layout.hasAlpha = keepAlpha;
    layout.colorSpace =
        colours == 3 ? BitmapImageRep::ColorSpace::rgb : BitmapImageRep::ColorSpace::white;
    layout.bytesPerRow = layout.packedRowBytes();
    if (scaled == Scaled::no)
        if (auto shared = shareStrips(tif, f, data, layout))
            return shared;
    auto pixels = PixelBuffer::allocate(layout.pixelsWide, layout.pixelsHigh, layout.bitsPerSample,
                                        layout.samplesPerPixel, layout.hasAlpha, layout.colorSpace);
    if (!pixels || !SampleReader(tif, f, scaled, colours, *pixels).read())
        return nullptr;
    if (f.orientation == ORIENTATION_TOPRIGHT || f.orientation == ORIENTATION_BOTRIGHT)
        mirrorRows(*pixels);
    if (f.orientation == ORIENTATION_BOTLEFT || f.orientation == ORIENTATION_BOTRIGHT)
        flipRows(*pixels);
    return std::move(*pixels).finish();
}

std::shared_ptr<BitmapImageRep> readRgba(TIFF *tif, const Fields &f) {
    char message[1024];
    if (!TIFFRGBAImageOK(tif, message))
        return nullptr;
    auto pixels =
        PixelBuffer::allocate(f.width, f.height, 8, 4, true, BitmapImageRep::ColorSpace::rgb);
    if (!pixels)
        return nullptr;
    auto *raster = reinterpret_cast<std::uint32_t *>(pixels->data());
    if (!TIFFReadRGBAImageOriented(tif, f.width, f.height, raster, ORIENTATION_TOPLEFT, 1))
        return nullptr;
    // The reader packs each pixel as one word with red in the low byte.
    if constexpr (std::endian::native == std::endian::big) {
        const std::size_t count = std::size_t{f.width} * f.height;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t p = raster[i];
            const std::uint8_t rgba[4] = {std::uint8_t(TIFFGetR(p)), std::uint8_t(TIFFGetG(p)),
                                          std::uint8_t(TIFFGetB(p)), std::uint8_t(TIFFGetA(p))};
            std::memcpy(&raster[i], rgba, 4);
        }
    }
    return std::move(*pixels).finish();
}

} // namespace

bool looksLikeTiff(const ImageData &data) {
    if (data.size() < 4)
        return false;
    const std::uint8_t *p = data.bytes();
    return (p[0] == 'I' && p[1] == 'I' && (p[2] == 42 || p[2] == 43) && p[3] == 0) ||
           (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && (p[3] == 42 || p[3] == 43));
}

std::shared_ptr<BitmapImageRep> decodeTiff(const ImageData &data) {
    MemoryStream stream{data};
    TiffPtr tif = openTiff(stream);
    if (!tif)
        return nullptr;
    Fields f = readFields(tif.get());
    // A picture its file cannot hold is refused before a buffer is reserved for it.
    if (!pixelCountAllowed(f.width, f.height) || !tiffHoldsPicture(tif.get(), data))
        return nullptr;
    const std::optional<Scaled> scaled = scalingOf(f);
    if (!scaled)
        return nullptr;
    if (f.compression == COMPRESSION_JPEG && f.photometric == PHOTOMETRIC_YCBCR) {
        TIFFSetField(tif.get(), TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        f.photometric = PHOTOMETRIC_RGB;
    }
    int colours = 0;
    if (f.hasPhotometric && f.photometric == PHOTOMETRIC_RGB)
        colours = 3;
    else if (f.hasPhotometric &&
             (f.photometric == PHOTOMETRIC_MINISBLACK || f.photometric == PHOTOMETRIC_MINISWHITE))
        colours = 1;
    const bool depthKept = *scaled != Scaled::no || f.bits == 8 || f.bits == 16 ||
                           ((f.bits == 1 || f.bits == 2 || f.bits == 4) && f.samples == 1);
    const bool plainOrientation =
        f.orientation >= ORIENTATION_TOPLEFT && f.orientation <= ORIENTATION_BOTLEFT;
    const bool readsSamples = colours > 0 && f.samples >= colours && depthKept && plainOrientation;
    // libtiff's RGBA reader takes unsigned samples of at most 16 bits.
    if (*scaled != Scaled::no && !readsSamples)
        return nullptr;
    // Errors while reading the directory are the open's business; from here on, any error
    // means pixels that were never decoded.
    stream.errorReported = false;
    auto rep =
        readsSamples ? readSamples(tif.get(), f, *scaled, colours, data) : readRgba(tif.get(), f);
    return stream.errorReported ? nullptr : rep;
}

} // namespace quintarvel::detail
