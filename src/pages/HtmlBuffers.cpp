#include "pages/HtmlBuffers.h"

#include "http/ServerProcess.h"

namespace quintarvel {

// The calling thread's link to its entry. Nodes of an unordered_map keep their address while
// other threads insert or erase, so a thread reaches its own text without the lock.
struct HtmlBuffers::ThreadEntry {
    std::string *text = nullptr;
    std::uint64_t threadId = 0;

    ~ThreadEntry() {
        if (text != nullptr) {
            HtmlBuffers &buffers = htmlBuffers();
            std::lock_guard lock(buffers.mutex_);
            buffers.entries_.erase(threadId);
        }
    }
};

HtmlBuffers::ThreadEntry &HtmlBuffers::threadEntry() {
    thread_local ThreadEntry mine;
    return mine;
}

std::string &HtmlBuffers::entry() {
    ThreadEntry &mine = threadEntry();
    if (mine.text == nullptr) {
        mine.threadId = ServerProcess::threadId();
        std::lock_guard lock(mutex_);
        // No stale text can sit under a reused id: an ending thread removes its own.
        mine.text = &entries_[mine.threadId];
    }
    return *mine.text;
}

std::string HtmlBuffers::text() const {
    const ThreadEntry &mine = threadEntry();
    return mine.text == nullptr ? std::string() : *mine.text;
}

void HtmlBuffers::reset() {
    std::string().swap(entry());
}

bool HtmlBuffers::hasEntry(std::uint64_t threadId) const {
    std::lock_guard lock(mutex_);
    return entries_.contains(threadId);
}

std::size_t HtmlBuffers::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

HtmlBuffers &htmlBuffers() {
    static HtmlBuffers *buffers = new HtmlBuffers;
    return *buffers;
}

} // namespace quintarvel
