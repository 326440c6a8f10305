#include "platform/Dispatch.h"

#include <cstdio>
#include <exception>

namespace quintarvel {
namespace {

// Captured during static initialisation, which runs on the process's first thread.
const std::thread::id processMainThread = std::this_thread::get_id();

void runGuarded(const DispatchBlock &block) {
    try {
        block();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "Uncaught exception in a dispatched block: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "Uncaught exception in a dispatched block\n");
    }
}

// A pool that never makes a task wait for a busy thread: when no thread is idle, a new one
// starts. Threads that stay idle for `idleLifetime` end.
class ThreadPool {
  public:
    void submit(DispatchBlock block) {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(block));
        if (tasks_.size() > idle_) {
            std::thread([this] { work(); }).detach();
        } else {
            wake_.notify_one();
        }
    }

  private:
    static constexpr auto idleLifetime = std::chrono::seconds(10);

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!tasks_.empty()) {
                DispatchBlock block = std::move(tasks_.front());
                tasks_.pop_front();
                lock.unlock();
                runGuarded(block);
                block = nullptr; // release captures before sleeping
                lock.lock();
                continue;
            }
            ++idle_;
            bool woke = wake_.wait_for(lock, idleLifetime, [this] { return !tasks_.empty(); });
            --idle_;
            if (!woke)
                return;
        }
    }

    std::mutex mutex_; // guards tasks_ and idle_
    std::condition_variable wake_;
    std::deque<DispatchBlock> tasks_;
    std::size_t idle_ = 0;
};

class GlobalQueue final : public DispatchQueue {
  public:
    explicit GlobalQueue(ThreadPool &pool) : pool_(pool) {}
    void async(DispatchBlock block) override { pool_.submit(std::move(block)); }

  private:
    ThreadPool &pool_;
};

ThreadPool &sharedPool() {
    // Never destroyed: detached pool threads may still be finishing when statics go away.
    static ThreadPool *pool = new ThreadPool;
    return *pool;
}

} // namespace

void DispatchQueue::sync(DispatchBlock block) {
    std::promise<void> finished;
    auto done = finished.get_future();
    async([&] {
        try {
            block();
            finished.set_value();
        } catch (...) {
            finished.set_exception(std::current_exception());
        }
    });
    done.get();
}

DispatchQueue &globalQueue(DispatchPriority priority) {
    // One pool serves every priority: no task ever waits, so priorities only label work.
    // Never destroyed, like the pool: tasks still running at exit may post to them.
    static GlobalQueue *const queues[] = {
        new GlobalQueue(sharedPool()), new GlobalQueue(sharedPool()), new GlobalQueue(sharedPool()),
        new GlobalQueue(sharedPool())};
    switch (priority) {
    case DispatchPriority::high:
        return *queues[0];
    case DispatchPriority::low:
        return *queues[2];
    case DispatchPriority::background:
        return *queues[3];
    case DispatchPriority::defaultPriority:
        break;
    }
    return *queues[1];
}

struct SerialQueue::State {
    // Held by whoever runs a block of this queue, so blocks run one at a time.
    std::mutex running;
    std::mutex mutex; // guards blocks and draining
    std::deque<DispatchBlock> blocks;
    // Whether a drain task has been posted and has not yet found the queue empty.
    bool draining = false;

    // Takes the oldest waiting block; none when there is none.
    DispatchBlock next() {
        std::lock_guard lock(mutex);
        if (blocks.empty())
            return nullptr;
        DispatchBlock block = std::move(blocks.front());
        blocks.pop_front();
        return block;
    }

    static void drain(const std::shared_ptr<State> &state) {
        for (;;) {
            // The block is taken only once the queue is ours, so it cannot be overtaken.
            std::lock_guard run(state->running);
            DispatchBlock block;
            {
                std::lock_guard lock(state->mutex);
                if (state->blocks.empty()) {
                    state->draining = false;
                    return;
                }
                block = std::move(state->blocks.front());
                state->blocks.pop_front();
            }
            runGuarded(block);
            block = nullptr; // release captures before the next turn
        }
    }
};

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), state_(std::make_shared<State>()) {}

SerialQueue::~SerialQueue() = default;

void SerialQueue::async(DispatchBlock block) {
    std::lock_guard lock(state_->mutex);
    state_->blocks.push_back(std::move(block));
    if (state_->draining)
        return;
    state_->draining = true;
    // The drain task holds the state, so blocks still run if the queue object goes first.
    globalQueue().async([state = state_] { State::drain(state); });
}

void SerialQueue::sync(DispatchBlock block) {
    std::lock_guard run(state_->running);
    // Blocks posted earlier come first; running them here saves waiting for the drain task.
    while (DispatchBlock earlier = state_->next())
        runGuarded(earlier);
    block();
}

MainQueue::MainQueue() : mainThread_(processMainThread) {}

MainQueue &mainQueue() {
    static MainQueue *queue = new MainQueue; // outlives every thread that may post to it
    return *queue;
}

void MainQueue::async(DispatchBlock block) {
    std::function<void()> waker;
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
        waker = waker_;
    }
    posted_.notify_all();
    if (waker)
        waker();
}

void MainQueue::sync(DispatchBlock block) {
    if (isMainThread()) {
        block();
        return;
    }
    DispatchQueue::sync(std::move(block));
}

bool MainQueue::isMainThread() const {
    std::lock_guard lock(mutex_);
    return std::this_thread::get_id() == mainThread_;
}

void MainQueue::setMainThread(std::thread::id id) {
    std::lock_guard lock(mutex_);
    mainThread_ = id;
}

void MainQueue::setWaker(std::function<void()> waker) {
    std::lock_guard lock(mutex_);
    waker_ = std::move(waker);
}

std::size_t MainQueue::drain() {
    setMainThread(std::this_thread::get_id());
    return runPending();
}

std::size_t MainQueue::drainFor(std::chrono::milliseconds timeout) {
    setMainThread(std::this_thread::get_id());
    {
        std::unique_lock lock(mutex_);
        posted_.wait_for(lock, timeout, [this] { return !blocks_.empty(); });
    }
    return runPending();
}

std::size_t MainQueue::runPending() {
    std::size_t count = 0;
    for (;;) {
        DispatchBlock block;
        {
            std::lock_guard lock(mutex_);
            if (blocks_.empty())
                return count;
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        runGuarded(block);
        ++count;
    }
}

} // namespace quintarvel
