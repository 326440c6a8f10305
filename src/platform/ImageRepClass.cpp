#include "platform/ImageRepClass.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace quintarvel {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<ImageRepClass> classes; // guarded by mutex
};

// Built on first use, lives for the process.
Registry &registry() {
    static Registry instance;
    return instance;
}

bool sameName(const ImageRepClass &c, const char *name) {
    return std::strcmp(c.name, name) == 0;
}

} // namespace

void registerImageRepClass(const ImageRepClass &imageRepClass) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    if (std::none_of(r.classes.begin(), r.classes.end(),
                     [&](const ImageRepClass &c) { return sameName(c, imageRepClass.name); }))
        r.classes.push_back(imageRepClass);
}

void unregisterImageRepClass(const char *name) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.classes, [&](const ImageRepClass &c) { return sameName(c, name); });
}

std::vector<ImageRepClass> registeredImageRepClasses() {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.classes;
}

} // namespace quintarvel
