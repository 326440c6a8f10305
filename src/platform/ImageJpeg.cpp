// JPEG through libjpeg-turbo. Errors leave by longjmp, so the frames it may skip hold only plain
// values; everything owned lives in a heap object made before setjmp.

#include "platform/ImageDecoders.h"

#include "platform/ImageCodecBounds.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <jerror.h>
#include <jpeglib.h>
#include <vector>

namespace quintarvel::detail {

namespace {

struct JpegReader {
    JpegReader() {
        decompress.err = jpeg_std_error(&errors.manager);
        errors.manager.error_exit = onError;
        errors.manager.emit_message = onMessage;
    }
    // Safe on a structure that was never created: the library then owns nothing yet.
    ~JpegReader() { jpeg_destroy_decompress(&decompress); }
    JpegReader(const JpegReader &) = delete;
    JpegReader &operator=(const JpegReader &) = delete;

    struct Errors {
        jpeg_error_mgr manager; // first, so the library's pointer is also ours
        std::jmp_buf jump;
    };

    static void onError(j_common_ptr info) {
        std::longjmp(reinterpret_cast<Errors *>(info->err)->jump, 1);
    }
    // Warnings are tolerated except scan data that ends early, at the end of the file or at a
    // marker: the library would fill the rest of the picture with invented pixels and report
    // success. Leaving at once also spares filling a multi-scan file's whole-image buffers.
    static void onMessage(j_common_ptr info, int level) {
        const int code = info->err->msg_code;
        if (level < 0 && (code == JWRN_JPEG_EOF || code == JWRN_HIT_MARKER))
            onError(info);
    }

    // May longjmp out; keeps every owned resource in members.
    bool read(const ImageData &data);

    Errors errors;
    jpeg_decompress_struct decompress{};
    std::optional<PixelBuffer> pixels;
    std::vector<JSAMPLE> cmykRow;
};

// Adobe applications write CMYK inverted (0 = full ink); others write it plainly.
void cmykToRgb(const JSAMPLE *cmyk, std::uint8_t *rgb, std::int64_t width, bool inverted) {
    for (std::int64_t x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
        const unsigned k = inverted ? cmyk[3] : 255u - cmyk[3];
        for (int c = 0; c < 3; ++c) {
            const unsigned ink = inverted ? cmyk[c] : 255u - cmyk[c];
            rgb[c] = static_cast<std::uint8_t>((ink * k + 127) / 255);
        }
    }
}

// A picture declaring more blocks than its file can hold is truncated or hostile: refused before
// the library reserves its buffers. A multi-scan file's take 128 bytes a block of every component
// the frame declares, coded or not, so every component counts: a file that decodes whole codes
// each of its components in some scan, at least one bit a block (the Huffman bound), so the
// blocks of all of them together are at most 8 a byte. Arithmetic-coded files have no such bound:
// what they reserve, the coefficients a multi-scan file buffers and the pixels given, is held to
// the fixed ceiling.
bool fileHoldsScans(jpeg_decompress_struct &decompress, std::size_t fileBytes) {
    std::uint64_t blocks = 0, buffered = 0;
    for (int c = 0; c < decompress.num_components; ++c) {
        const jpeg_component_info &component = decompress.comp_info[c];
        const std::uint64_t wide = component.width_in_blocks, high = component.height_in_blocks;
        blocks += wide * high;
        // As the library buffers them: whole MCUs of the component, 64 coefficients of 2 bytes.
        const auto roundUp = [](std::uint64_t n, std::uint64_t to) {
            return (n + to - 1) / to * to;
        };
        buffered += roundUp(wide, std::uint64_t(component.h_samp_factor)) *
                    roundUp(high, std::uint64_t(component.v_samp_factor)) * 128;
    }
    if (!decompress.arith_code)
        return blocks <= maxJpegBlocks(fileBytes);
    const std::uint64_t given = std::uint64_t{decompress.image_width} * decompress.image_height *
                                (decompress.jpeg_color_space == JCS_GRAYSCALE ? 1 : 3);
    return withinUnboundedCeiling(decompress.image_width, decompress.image_height) &&
           withinUnboundedBytes(given + (jpeg_has_multiple_scans(&decompress) ? buffered : 0));
}

bool JpegReader::read(const ImageData &data) {
    // Created here, under setjmp, because creation can fail too.
    jpeg_create_decompress(&decompress);
    jpeg_mem_src(&decompress, data.bytes(), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&decompress, TRUE) != JPEG_HEADER_OK)
        return false;
    if (!pixelCountAllowed(decompress.image_width, decompress.image_height) ||
        !fileHoldsScans(decompress, data.size()))
        return false;
    const bool cmyk =
        decompress.jpeg_color_space == JCS_CMYK || decompress.jpeg_color_space == JCS_YCCK;
    const bool grey = decompress.jpeg_color_space == JCS_GRAYSCALE;
    decompress.out_color_space = cmyk ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;
    // Multi-scan files are read whole here, into buffers for the whole picture.
    jpeg_start_decompress(&decompress);
    pixels = PixelBuffer::allocate(
        decompress.output_width, decompress.output_height, 8, grey ? 1 : 3, false,
        grey ? BitmapImageRep::ColorSpace::white : BitmapImageRep::ColorSpace::rgb);
    if (!pixels)
        return false;
    if (cmyk)
        cmykRow.resize(std::size_t{decompress.output_width} * 4);
    while (decompress.output_scanline < decompress.output_height) {
        const JDIMENSION y = decompress.output_scanline;
        if (cmyk) {
            JSAMPROW row = cmykRow.data();
            if (jpeg_read_scanlines(&decompress, &row, 1) != 1)
                return false;
            cmykToRgb(cmykRow.data(), pixels->row(y), decompress.output_width,
                      decompress.saw_Adobe_marker);
        } else {
            JSAMPROW rows[16];
            const JDIMENSION count = std::min<JDIMENSION>(16, decompress.output_height - y);
            for (JDIMENSION i = 0; i < count; ++i)
                rows[i] = pixels->row(y + i);
            if (jpeg_read_scanlines(&decompress, rows, count) == 0)
                return false;
        }
    }
    return true;
}

} // namespace

bool looksLikeJpeg(const ImageData &data) {
    return data.size() >= 3 && data.bytes()[0] == 0xFF && data.bytes()[1] == 0xD8 &&
           data.bytes()[2] == 0xFF;
}

std::shared_ptr<BitmapImageRep> decodeJpeg(const ImageData &data) {
    const auto reader = std::make_unique<JpegReader>();
    if (setjmp(reader->errors.jump))
        return nullptr;
    if (!reader->read(data))
        return nullptr;
    return std::move(*reader->pixels).finish();
}

} // namespace quintarvel::detail
