// The converter program: one image to one FITS file, in a process of its own, so that a decoder
// that crashes, loops or reserves gigabytes over a hostile file ends this process only.
//
//   quintarvel-convert <memory ceiling in bytes, 0 for none> <image path> <FITS path>
//
// Paths are taken as the bytes given. Exit status 0 once the FITS file is written, 1 when the
// image was not converted, 2 for a wrong call.

#include "app/ImageToFits.h"
#include "app/RawImageRep.h"
#include "platform/ImageRepClass.h"

#include <charconv>
#include <cstring>
#include <malloc.h>
#include <sys/resource.h>

namespace {

bool setLimit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    return setrlimit(resource, &limit) == 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4)
        return 2;
    unsigned long long ceiling = 0;
    const char *end = argv[1] + std::strlen(argv[1]);
    if (auto [at, error] = std::from_chars(argv[1], end, ceiling);
        error != std::errc{} || at != end)
        return 2;
#ifndef QUINTARVEL_NO_MEMORY_CEILING
    // Address space, not resident memory: a reservation above the ceiling fails at once
    // instead of growing until the host runs short.
    if (ceiling != 0 && !setLimit(RLIMIT_AS, ceiling))
        return 2;
    // One allocator arena: each thread of LibRaw's worker pool would otherwise reserve 64 MB
    // of address space for an arena of its own, which on a machine with many cores counts
    // against the ceiling as much as the picture does.
    mallopt(M_ARENA_MAX, 1);
#endif
    // A crash over a hostile file is an expected failure, not worth a core file.
    setLimit(RLIMIT_CORE, 0);
    // What start-up registers in the application.
    quintarvel::registerImageRepClass(quintarvel::RawImageRep::imageRepClass());
    try {
        return quintarvel::convertImageToFITS(argv[2], argv[3]) ? 0 : 1;
    } catch (...) {
        return 1;
    }
}
