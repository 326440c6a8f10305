// PNG through libpng. libpng reports errors by longjmp, so everything that must survive one
// lives in a heap object made before setjmp; the frames a longjmp skips hold only plain values.

#include "platform/ImageDecoders.h"

#include "platform/ImageCodecBounds.h"

#include <bit>
#include <csetjmp>
#include <cstring>
#include <png.h>
#include <vector>

namespace quintarvel::detail {

namespace {

struct PngReader {
    explicit PngReader(const ImageData &data) : data(data) {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, onError, onWarning);
        if (png)
            info = png_create_info_struct(png);
    }
    ~PngReader() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
    PngReader(const PngReader &) = delete;
    PngReader &operator=(const PngReader &) = delete;

    static void onError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
    static void onWarning(png_structp, png_const_charp) {}
    static void onRead(png_structp png, png_bytep out, png_size_t count) {
        auto *self = static_cast<PngReader *>(png_get_io_ptr(png));
        if (count > self->data.size() - self->position)
            png_error(png, "unexpected end of file");
        std::memcpy(out, self->data.bytes() + self->position, count);
        self->position += count;
    }

    // May longjmp out; keeps every owned resource in members.
    bool read();

    const ImageData &data;
    std::size_t position = 0;
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::optional<PixelBuffer> pixels;
    std::vector<png_bytep> rows;
};

bool PngReader::read() {
    png_set_read_fn(png, this, onRead);
    png_read_info(png, info);
    png_uint_32 width = 0, height = 0;
    int depth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(png, info, &width, &height, &depth, &colorType, &interlace, nullptr, nullptr);
    if (!pixelCountAllowed(width, height))
        return false;
    const std::uint64_t storedRow =
        (std::uint64_t{width} * png_get_channels(png, info) * static_cast<unsigned>(depth) + 7) /
            8 +
        1;
    // The image data is one Deflate stream within the file: a PNG whose rows, as stored, need more
    // than the file can inflate to is a decompression bomb or truncated.
    if (storedRow * height > maxInflatedBytes(data.size()))
        return false;

    if (colorType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8)
        png_set_expand_gray_1_2_4_to_8(png);
    const bool grey = (colorType & PNG_COLOR_MASK_COLOR) == 0;
    // 8-bit RGBA stays 32 bpp; every other alpha channel has no layout of its own.
    if ((colorType & PNG_COLOR_MASK_ALPHA) && (grey || depth == 16))
        png_set_strip_alpha(png);
    if (depth == 16 && std::endian::native == std::endian::little)
        png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    const int channels = png_get_channels(png, info);
    const int bits = png_get_bit_depth(png, info);
    pixels = PixelBuffer::allocate(width, height, bits, channels, channels == 4,
                                   grey ? BitmapImageRep::ColorSpace::white
                                        : BitmapImageRep::ColorSpace::rgb);
    if (!pixels || png_get_rowbytes(png, info) != std::size_t(pixels->layout().bytesPerRow))
        return false;
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y)
        rows[y] = pixels->row(y);
    png_read_image(png, rows.data());
    return true;
}

} // namespace

bool looksLikePng(const ImageData &data) {
    return data.size() >= 8 && png_sig_cmp(data.bytes(), 0, 8) == 0;
}

std::shared_ptr<BitmapImageRep> decodePng(const ImageData &data) {
    const auto reader = std::make_unique<PngReader>(data);
    if (!reader->png || !reader->info)
        return nullptr;
    if (setjmp(png_jmpbuf(reader->png)))
        return nullptr;
    if (!reader->read())
        return nullptr;
    return std::move(*reader->pixels).finish();
}

} // namespace quintarvel::detail
