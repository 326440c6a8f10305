#include "platform/Image.h"

#include "platform/ImageDecoders.h"
#include "platform/ImageRepClass.h"

#include <array>
#include <new>

namespace quintarvel {

namespace detail {

bool pixelCountAllowed(std::int64_t wide, std::int64_t high) {
    return wide >= 1 && high >= 1 && wide <= Image::maxPixels && high <= Image::maxPixels / wide;
}

std::optional<PixelBuffer> PixelBuffer::allocate(std::int64_t wide, std::int64_t high,
                                                 int bitsPerSample, int samplesPerPixel,
                                                 bool hasAlpha, BitmapImageRep::ColorSpace space) {
    if (!pixelCountAllowed(wide, high))
        return std::nullopt;
    PixelBuffer buffer;
    BitmapImageRep::Layout &l = buffer.layout_;
    l.pixelsWide = wide;
    l.pixelsHigh = high;
    l.bitsPerSample = bitsPerSample;
    l.samplesPerPixel = samplesPerPixel;
    l.hasAlpha = hasAlpha;
    l.colorSpace = space;
    l.bytesPerRow = l.packedRowBytes();
    if (!BitmapImageRep::accepts(l, static_cast<std::size_t>(l.bytesPerRow * high)))
        return std::nullopt;
    buffer.size_ = static_cast<std::size_t>(l.bytesPerRow * high);
    // Zeroed: a row a decoder leaves unwritten by mistake must not show old heap contents.
    buffer.bytes_.reset(new (std::nothrow) std::uint8_t[buffer.size_]());
    if (!buffer.bytes_)
        return std::nullopt;
    return buffer;
}

std::shared_ptr<BitmapImageRep> PixelBuffer::finish() && {
    return BitmapImageRep::make(layout_, std::move(bytes_), size_);
}

} // namespace detail

namespace {

template <std::shared_ptr<BitmapImageRep> (*decode)(const ImageData &)>
std::vector<std::shared_ptr<BitmapImageRep>> single(const ImageData &data) {
    auto rep = decode(data);
    if (!rep)
        return {};
    return {std::move(rep)};
}

constexpr std::array builtInClasses{
    ImageRepClass{"PNG", detail::looksLikePng, single<detail::decodePng>},
    ImageRepClass{"JPEG", detail::looksLikeJpeg, single<detail::decodeJpeg>},
    ImageRepClass{"CameraRaw", detail::looksLikeCameraRaw, single<detail::decodeCameraRaw>},
    ImageRepClass{"TIFF", detail::looksLikeTiff, single<detail::decodeTiff>},
};

} // namespace

std::optional<Image> Image::initWithData(const ImageData &data) {
    std::vector<std::shared_ptr<BitmapImageRep>> reps;
    auto ask = [&](const ImageRepClass &c) {
        if (c.canInitWithData(data))
            reps = c.imageRepsWithData(data);
        return !reps.empty();
    };
    for (const ImageRepClass &c : registeredImageRepClasses())
        if (ask(c))
            return Image(std::move(reps));
    for (const ImageRepClass &c : builtInClasses)
        if (ask(c))
            return Image(std::move(reps));
    return std::nullopt;
}

std::optional<Image> Image::initWithContentsOfFile(const std::string &path) {
    auto data = ImageData::contentsOfFile(path);
    if (!data)
        return std::nullopt;
    if (auto rep = detail::decodeCameraRaw(*data))
        return Image({std::move(rep)});
    return initWithData(*data);
}

} // namespace quintarvel
