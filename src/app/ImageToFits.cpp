#include "app/ImageToFits.h"

#include "platform/FileHandle.h"
#include "platform/Image.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fitsio.h>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

constexpr std::size_t cardLength = 80;

// The first card of a FITS file: "SIMPLE", the value indicator "= " in bytes 9 and 10, then
// the logical T. The standard puts T in byte 30; some writers put it anywhere in the value
// field, and the engine reads those files too, so any number of spaces may come before it.
// After the value come only spaces or a comment, which a slash begins; every byte of a card
// is printable ASCII.
bool isFirstCardOfFITS(std::string_view card) {
    if (card.size() != cardLength || !card.starts_with("SIMPLE  = "))
        return false;
    const std::size_t value = card.find_first_not_of(' ', 10);
    if (value == std::string_view::npos || card[value] != 'T')
        return false;
    const std::string_view rest = card.substr(value + 1);
    if (!std::all_of(rest.begin(), rest.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
        return false;
    const std::size_t comment = rest.find_first_not_of(' ');
    return comment == std::string_view::npos || rest[comment] == '/';
}

// Reads exactly `length` bytes at `offset`; fewer only at the end of the file.
ssize_t readAt(int fd, char *buffer, std::size_t length, off_t offset) {
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, buffer + got, length - got, offset + off_t(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += std::size_t(n);
    }
    return ssize_t(got);
}

// The input when it is a FITS file already: a regular file with the first card of one.
// Nothing for any other file, which the decoders then get.
std::unique_ptr<FileHandle> openFITSFile(const std::string &path) {
    if (path.find('\0') != std::string::npos)
        return nullptr;
    // Not blocking: opening a FIFO for reading would wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return nullptr;
    auto file = std::make_unique<FileHandle>(fd);
    struct stat st {};
    char card[cardLength];
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        readAt(fd, card, cardLength, 0) != ssize_t(cardLength) ||
        !isFirstCardOfFITS({card, cardLength}))
        return nullptr;
    return file;
}

// Clears the way for the output file. The file replaced is the one at the literal path, the
// one created afterwards, even where CFITSIO reads the name differently. Only a file or a
// link is removed: a folder, device or FIFO of that name stays, and creating the file then
// fails.
void removeReplaceableOutput(const std::string &fitsPath) {
    std::error_code ignored;
    const auto kind = std::filesystem::symlink_status(fitsPath, ignored).type();
    if (kind == std::filesystem::file_type::regular || kind == std::filesystem::file_type::symlink)
        std::filesystem::remove(fitsPath, ignored);
}

// Streams the whole input to `output` in pieces of a mebibyte, so a file of any size passes
// through a small buffer. False on a read or write error, and when the input is not the same
// size at the end as at the start: a copy of a file that shrank or grew meanwhile is not the
// image the user gave.
bool copyBytes(int input, int output) {
    struct stat before {};
    if (::fstat(input, &before) != 0)
        return false;
    std::vector<char> buffer(std::size_t{1} << 20);
    FileHandle out(output, false);
    for (off_t offset = 0; offset < before.st_size;) {
        const auto piece =
            std::size_t(std::min<off_t>(off_t(buffer.size()), before.st_size - offset));
        const ssize_t n = readAt(input, buffer.data(), piece, offset);
        if (n != ssize_t(piece) || !out.writeData({buffer.data(), piece}))
            return false;
        offset += n;
    }
    struct stat after {};
    return ::fstat(input, &after) == 0 && after.st_size == before.st_size;
}

// The FITS input to the output path, byte for byte. A copy that fails or stops short is
// removed: a file cut short must not pass for the image.
bool copyFITSFile(const FileHandle &input, const std::string &fitsPath) {
    removeReplaceableOutput(fitsPath);
    // A fresh file, as CFITSIO creates one: never through a link that appeared meanwhile.
    const int output = ::open(fitsPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (output < 0)
        return false;
    bool copied = copyBytes(input.fileDescriptor(), output);
    copied = ::close(output) == 0 && copied; // a delayed write error shows at the close
    if (!copied)
        ::unlink(fitsPath.c_str());
    return copied;
}

} // namespace

bool convertImageToFITS(const std::string &imagePath, const std::string &fitsPath) {
    // CFITSIO and the system take the path's bytes up to a NUL, whatever their encoding; a
    // path holding a NUL would name another file.
    if (fitsPath.find('\0') != std::string::npos)
        return false;
    // A FITS file under a name the pipeline converts: the engine reads exactly what was given.
    if (const auto fits = openFITSFile(imagePath))
        return copyFITSFile(*fits, fitsPath);

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

    int status = 0;
    int exists = 0;
    fits_file_exists(fitsPath.c_str(), &exists, &status);
    removeReplaceableOutput(fitsPath);
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
        std::error_code ignored;
        std::filesystem::remove(fitsPath, ignored);
        return false;
    }
    return true;
}

} // namespace quintarvel
