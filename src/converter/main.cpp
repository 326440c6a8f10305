// The converter program: one image to one FITS file, in a process of its own, so that a decoder
// that crashes, loops or reserves gigabytes over a hostile file ends this process only.
//
//   quintarvel-convert <memory ceiling in bytes, 0 for none> <image path> <FITS path>
//
// Paths are taken as the bytes given. Exit status 0 once the FITS file is written, 1 when the
// image was not converted, 2 for a wrong call.
//
// The memory ceiling given is the machine's. The program holds itself to less, with or without
// one: a budget of address space and CPU time from the size of the image file, so that a few
// bytes a decoder makes gigabytes of cost what their size justifies, whichever codec bound they
// pass. Reaching the CPU budget ends the program by a signal.

#include "app/ImageConverter.h"
#include "app/ImageToFits.h"
#include "app/RawImageRep.h"
#include "platform/ImageRepClass.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <malloc.h>
#include <omp.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Address space any conversion may have, however small its file: the program and its libraries
// (29 MiB), LibRaw's worker stacks (up to 32 MiB), and the real pictures that compress furthest,
// with room to spare. The costliest measured for its size: 139 MiB for a 57 KB lossy DNG of 2048 ×
// 1536 pixels twice as wide as high, 87 MiB for a 23 KB WebP TIFF of a 12-megapixel star field.
constexpr std::uint64_t baseAddressSpace = std::uint64_t{256} << 20;

// Address space each byte of the file adds. Deflate, the bounded codec that yields the most, makes
// at most 1032 bytes of pixels of a byte; the program holds them decoded and again as 16-bit FITS
// samples, which for 8-bit pixels is 3096 bytes a byte. A 100-megapixel nearly black 16-bit TIFF
// (202 KB, 987:1) needs 411 MiB and gets 1047; a 1-bit palette PNG, whose every inflated byte
// widens to 32 bytes of RGBA, is refused long before its gigabytes.
constexpr std::uint64_t addressSpacePerByte = 4096;

// CPU time, of all threads together, any conversion may have. The costliest small file measured,
// the nearly black 100-megapixel TIFF, takes 3.6 s on a busy 8-core desktop machine: five times
// that leaves room for slower ones.
constexpr rlim_t baseCpuSeconds = 20;

// Bytes of file that add a second. Decoding and writing cost at most 0.13 µs a byte measured
// (a 48 MB uncompressed 24-megapixel DNG, demosaiced: up to 6.2 s), about a seventh of this.
constexpr std::uint64_t bytesPerCpuSecond = std::uint64_t{1} << 20;

// The CPU time is never more than the wall time the application gives a conversion.
constexpr rlim_t maxCpuSeconds =
    std::chrono::duration_cast<std::chrono::seconds>(quintarvel::ImageConverter::defaultTimeCeiling)
        .count();

// LibRaw's worker threads, at most: each reserves a stack as large as the stack limit (8 MiB by
// default), so that a pool of one thread a core would make the address space a conversion needs
// grow with the machine's cores.
constexpr int maxWorkerThreads = 4;

// Never above a hard limit the program was started under: whoever started it may hold it to less.
bool setLimit(int resource, rlim_t value) {
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0)
        return false;
    if (limit.rlim_max != RLIM_INFINITY)
        value = std::min(value, limit.rlim_max);
    limit = {value, value};
    return setrlimit(resource, &limit) == 0;
}

#ifndef QUINTARVEL_NO_MEMORY_CEILING
// The image file's size; 0 when it cannot be read, which its conversion will find too.
std::uint64_t fileSize(const char *path) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

// The budget of address space for a file of `size` bytes under the machine's `ceiling` (0: none).
std::uint64_t addressSpaceBudget(std::uint64_t size, std::uint64_t ceiling) {
    const std::uint64_t most = ceiling != 0 ? ceiling : UINT64_MAX;
    if (most <= baseAddressSpace || size > (most - baseAddressSpace) / addressSpacePerByte)
        return most;
    return baseAddressSpace + size * addressSpacePerByte;
}

rlim_t cpuBudget(std::uint64_t size) {
    const std::uint64_t extra = (size + bytesPerCpuSecond - 1) / bytesPerCpuSecond;
    return std::min<std::uint64_t>(maxCpuSeconds, baseCpuSeconds + extra);
}
#endif

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
    const std::uint64_t size = fileSize(argv[2]);
    // Address space, not resident memory: a reservation above the budget fails at once
    // instead of growing until the host runs short.
    if (!setLimit(RLIMIT_AS, addressSpaceBudget(size, ceiling)))
        return 2;
    // Past it the kernel ends the program by a signal, which the application takes for a
    // failed conversion. Sanitizer builds run several times slower: they go without.
    if (!setLimit(RLIMIT_CPU, cpuBudget(size)))
        return 2;
    // One allocator arena: each thread of LibRaw's worker pool would otherwise reserve 64 MB
    // of address space for an arena of its own, which on a machine with many cores counts
    // against the ceiling as much as the picture does.
    mallopt(M_ARENA_MAX, 1);
#endif
    // LibRaw's parallel regions ask for no number of threads: they take this one. An
    // OMP_NUM_THREADS below it, read as libgomp loads, still holds.
    omp_set_num_threads(std::min(omp_get_max_threads(), maxWorkerThreads));
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
