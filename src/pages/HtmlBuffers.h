#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace quintarvel {

class HtmlBuffers;
HtmlBuffers &htmlBuffers();

// The HTML text each thread has written so far, one entry per thread keyed by its id
// (ServerProcess::threadId). A page handler resets its thread's entry, builds the page into it,
// and its body writer reads it back on the same thread; the server runs a handler and the
// writing of its response on one thread, one after the other.
//
// Each entry is used only by its own thread, so pages may be built on several threads at once;
// the map itself is locked. An entry lives from its thread's first element (or reset) until the
// next reset, and is removed when the thread ends, so pool threads that come and go leave
// nothing behind. Elements rendered outside a page keep appending until the next reset.
class HtmlBuffers {
  public:
    // The calling thread's entry, created empty on first use. Valid until the thread ends; no
    // other thread may touch it.
    std::string &entry();
    // A copy of the calling thread's text; empty when it has no entry (none is created).
    std::string text() const;
    // Empties the calling thread's entry (creating it) and gives its memory back.
    void reset();

    bool hasEntry(std::uint64_t threadId) const;
    std::size_t size() const;

  private:
    friend HtmlBuffers &htmlBuffers();
    HtmlBuffers() = default;

    struct ThreadEntry;
    static ThreadEntry &threadEntry();

    mutable std::mutex mutex_; // guards the map; each text belongs to its thread alone
    std::unordered_map<std::uint64_t, std::string> entries_;
};

// The process's one table, built on first use; never destroyed, so threads that end during
// exit can still remove their entries.
HtmlBuffers &htmlBuffers();

} // namespace quintarvel
