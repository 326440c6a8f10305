#pragma once

#include "platform/BitmapImageRep.h"
#include "platform/ImageData.h"

#include <memory>
#include <vector>

namespace quintarvel {

// A kind of image representation that can be made from bytes, like a class registered with
// the image machinery. `canInitWithData` is a cheap look at the first bytes;
// `imageRepsWithData` decodes and gives no representation when it cannot.
struct ImageRepClass {
    const char *name;
    bool (*canInitWithData)(const ImageData &data);
    std::vector<std::shared_ptr<BitmapImageRep>> (*imageRepsWithData)(const ImageData &data);
};

// The registry of representation classes that `Image::initWithData` asks before its own
// decoders, in registration order. It is the process's one table of them, a function-local
// static guarded by a mutex, so registration may happen on any thread. Registering a name
// again changes nothing.
void registerImageRepClass(const ImageRepClass &imageRepClass);
void unregisterImageRepClass(const char *name);
// A snapshot of the registered classes, first registered first.
std::vector<ImageRepClass> registeredImageRepClasses();

} // namespace quintarvel
