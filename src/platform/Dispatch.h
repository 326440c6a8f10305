#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace quintarvel {

using DispatchBlock = std::function<void()>;

// A queue of blocks. `async` returns at once; `sync` returns after the block has run.
// Blocks posted to one queue run in posting order (serial and main queues) or are
// started in posting order (global queues).
class DispatchQueue {
  public:
    virtual ~DispatchQueue() = default;
    virtual void async(DispatchBlock block) = 0;
    virtual void sync(DispatchBlock block);

    // Runs `f` on the queue and hands back its result (or rethrows its exception).
    template <class F> auto syncResult(F f) -> decltype(f()) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        sync([&task] { task(); });
        return result.get();
    }
};

enum class DispatchPriority { high, defaultPriority, low, background };

// Global queue of a priority. Its pool starts a new thread whenever every thread is busy:
// tasks here (accept loops, client loops, the pipe loop, solves) block for minutes, so no
// task ever waits behind a blocked one. Idle threads end after a while.
DispatchQueue &globalQueue(DispatchPriority priority = DispatchPriority::defaultPriority);

// Runs blocks one at a time, in posting order, on pool threads. `sync` from a block of the
// same queue would wait forever, as with any serial queue: don't.
class SerialQueue final : public DispatchQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue() override;
    void async(DispatchBlock block) override;
    // Waits for its turn, then runs the block on the calling thread (as the platform's
    // queues do), so a short block costs no thread hand-off. Still one block at a time.
    void sync(DispatchBlock block) override;
    const std::string &label() const { return label_; }

  private:
    struct State;
    std::string label_;
    std::shared_ptr<State> state_;
};

// The main queue. The application's event loop drains it (set a waker that schedules a
// drain on the GUI thread); tests drain it by hand. `sync` from the main thread runs the
// block at once instead of waiting for itself.
class MainQueue final : public DispatchQueue {
  public:
    void async(DispatchBlock block) override;
    void sync(DispatchBlock block) override;

    // Runs every block posted so far (and those they post), in order, on the calling
    // thread, which becomes the main thread. Returns how many ran.
    std::size_t drain();
    // Waits up to `timeout` for a block, then drains. Returns how many ran.
    std::size_t drainFor(std::chrono::milliseconds timeout);
    // Called (on the posting thread) after each post: the event loop hooks in here.
    void setWaker(std::function<void()> waker);
    // The thread that drains the queue. Until the first drain, the process's first thread.
    bool isMainThread() const;
    void setMainThread(std::thread::id id);

  private:
    friend MainQueue &mainQueue();
    MainQueue();
    std::size_t runPending();

    mutable std::mutex mutex_; // guards every field below
    std::condition_variable posted_;
    std::deque<DispatchBlock> blocks_;
    std::function<void()> waker_;
    std::thread::id mainThread_;
};

MainQueue &mainQueue();

} // namespace quintarvel
