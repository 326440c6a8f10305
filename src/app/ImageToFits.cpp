#include "app/ImageToFits.h"

#include "platform/Image.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fitsio.h>
#include <limits>
#include <memory>
#include <new>
#include <optional>

namespace quintarvel {

namespace {

bool endsWith(const std::string &text, const char *suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

std::optional<Image> loadImage(const std::string &path) {
    if (endsWith(path, ".nef") || endsWith(path, ".cr2"))
        return Image::initWithContentsOfFile(path);
    auto data = ImageData::contentsOfFile(path);
    if (!data)
        return std::nullopt;
    return Image::initWithData(*data);
}

std::uint16_t sample16(const std::uint8_t *p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

// One row of the bitmap into one row of 16-bit values.
void convertRow(const std::uint8_t *in, std::uint16_t *out, std::int32_t width, int bitsPerPixel) {
    switch (bitsPerPixel) {
    case 8:
        for (std::int32_t x = 0; x < width; ++x)
            out[x] = in[x];
        break;
    case 16:
        std::memcpy(out, in, std::size_t(width) * 2);
        break;
    case 24:
        for (std::int32_t x = 0; x < width; ++x, in += 3)
            out[x] = std::uint16_t(in[0] + in[1] + in[2]);
        break;
    case 32:
        for (std::int32_t x = 0; x < width; ++x, in += 4)
            out[x] = std::uint16_t(in[0] + in[1] + in[2]);
        break;
    case 48:
        for (std::int32_t x = 0; x < width; ++x, in += 6) {
            const std::uint32_t sum =
                std::uint32_t(sample16(in)) + sample16(in + 2) + sample16(in + 4);
            out[x] = std::uint16_t(sum / 3);
        }
        break;
    }
}

bool knownLayout(int bitsPerPixel) {
    return bitsPerPixel == 8 || bitsPerPixel == 16 || bitsPerPixel == 24 || bitsPerPixel == 32 ||
           bitsPerPixel == 48;
}

} // namespace

bool convertImageToFITS(const std::string &imagePath, const std::string &fitsPath) {
    const std::optional<Image> image = loadImage(imagePath);
    if (!image || image->representations().empty())
        return false;
    const BitmapImageRep &bitmap = *image->representations().front();

    // The buffer's size in bytes must fit a signed 32-bit integer.
    constexpr std::int64_t maxBytes = std::numeric_limits<std::int32_t>::max();
    const std::int64_t wide = bitmap.pixelsWide(), high = bitmap.pixelsHigh();
    if (wide < 1 || high < 1 || wide > maxBytes / 2 / high)
        return false;
    if (!knownLayout(bitmap.bitsPerPixel()) || !bitmap.bitmapData())
        return false;
    const auto width = static_cast<std::int32_t>(wide);
    const auto height = static_cast<std::int32_t>(high);
    const std::int32_t count = width * height;

    std::unique_ptr<std::uint16_t[]> buffer(new (std::nothrow) std::uint16_t[count]);
    if (!buffer)
        return false;
    std::int32_t index = 0;
    for (std::int32_t row = 0; row < height; ++row, index += width)
        convertRow(bitmap.bitmapData() + row * bitmap.bytesPerRow(), buffer.get() + index, width,
                   bitmap.bitsPerPixel());

    // CFITSIO takes the path's bytes up to a NUL, whatever their encoding; a path holding a NUL
    // would name another file.
    if (fitsPath.find('\0') != std::string::npos)
        return false;
    int status = 0;
    int exists = 0;
    fits_file_exists(fitsPath.c_str(), &exists, &status);
    // The file replaced is the one at the literal path, the one created below, even where
    // CFITSIO reads the name differently. Only a file or a link is removed: a folder, device or
    // FIFO of that name stays, and creating the file then fails.
    std::error_code ignored;
    const auto kind = std::filesystem::symlink_status(fitsPath, ignored).type();
    if (kind == std::filesystem::file_type::regular || kind == std::filesystem::file_type::symlink)
        std::filesystem::remove(fitsPath, ignored);
    // The path is taken literally: CFITSIO's extended file-name syntax ("!", "[...]", "(...)")
    // would otherwise let a folder name such as "M31 (2)" create a different file.
    fitsfile *file = nullptr;
    if (fits_create_diskfile(&file, fitsPath.c_str(), &status) != 0)
        return false;
    long axes[2] = {width, height};
    long first[2] = {1, 1};
    // Unsigned 16-bit (BZERO 32768): plain BITPIX 16 would clip every value above 32767.
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    fits_write_pix(file, TUSHORT, first, LONGLONG{count}, buffer.get(), &status);
    fits_close_file(file, &status); // closes even after an earlier error
    if (status != 0) {
        // A file cut short (disk full, quota) must not pass for a converted image.
        std::filesystem::remove(fitsPath, ignored);
        return false;
    }
    return true;
}

} // namespace quintarvel
