#pragma once

#include "platform/ProcessInfo.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace quintarvel {

// Image-to-FITS conversion as the application runs it: `convertImageToFITS` in the converter
// program of the libexec folder, one process per image, under a memory and a time ceiling.
// Images come from uploads; a decoder that crashes, loops or reserves gigabytes over a hostile
// file fails that one conversion, not the application.
//
// `convert` gives what `convertImageToFITS` gives for the same paths (RawImageRep is the one
// representation class the program registers, as start-up does), and false too when the program
// cannot be started, ends by a signal, reaches a ceiling or exits otherwise. A file that such an
// end left at the output path in place of what was there before is removed. `convert` blocks
// until the program has ended; it may run on any thread, several at once for different output
// paths.
struct ImageConverter {
    // Every real camera frame up to 200 megapixels converts below this: the file's bytes (up to
    // 1.2 GB for 16-bit RGB), a 48 bpp bitmap (1.2 GB), the 16-bit FITS buffer (400 MB) and the
    // decoder's own buffers (LibRaw's raw data and 4-channel picture, 2 GB), with room for
    // libraries, thread stacks and allocator arenas.
    static constexpr std::uint64_t defaultMemoryCeiling = std::uint64_t{8} << 30;
    // A 200-megapixel camera raw frame demosaics in well under a minute on a desktop machine.
    static constexpr std::chrono::milliseconds defaultTimeCeiling = std::chrono::minutes(5);

    // The ceiling on a machine of `physicalMemory` bytes (0: not known): the fixed one, or three
    // quarters of the memory where that is less, so that one conversion cannot drive a small
    // machine into swap or its OOM killer.
    static std::uint64_t memoryCeilingFor(std::uint64_t physicalMemory);

    // Bytes of address space; 0 for none. The program holds itself to less where its file's size
    // justifies less, and to a CPU time budget of its own. Sanitizer builds of the program leave
    // both unset.
    std::uint64_t memoryCeiling = memoryCeilingFor(ProcessInfo().physicalMemory());
    // Past it the program and its process group get SIGKILL.
    std::chrono::milliseconds timeCeiling = defaultTimeCeiling;
    std::filesystem::path program = defaultProgram();
    // Exactly these variables for the program. Unset: this process's environment.
    std::optional<std::map<std::string, std::string>> environment;

    // <executable folder>/../libexec/quintarvel/quintarvel-convert
    static std::filesystem::path defaultProgram();

    bool convert(const std::string &imagePath, const std::string &fitsPath) const;
};

} // namespace quintarvel
