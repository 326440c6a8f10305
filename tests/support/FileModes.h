#pragma once

#include <sys/stat.h>
#include <sys/types.h>

// The file modes tests make and look at.

namespace quintarvel::test {

// The process's umask set for the life of the object, then put back. The umask belongs to the
// whole process: every file made meanwhile, on any thread, gets it.
class ScopedUmask {
  public:
    explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(previous_); }
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

  private:
    mode_t previous_;
};

// The permission bits of the file `path` leads to; 0 when there is none.
inline mode_t modeOf(const char *path) {
    struct stat info {};
    return ::stat(path, &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace quintarvel::test
