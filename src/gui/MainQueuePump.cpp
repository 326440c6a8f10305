#include "gui/MainQueuePump.h"

#include "platform/Dispatch.h"

#include <QMetaObject>

#include <atomic>
#include <mutex>
#include <thread>

namespace quintarvel {

// Shared with the waker, which may run on any thread, even while the pump goes away.
struct MainQueuePump::Link {
    std::mutex mutex; // guards target
    MainQueuePump *target;
    std::atomic<bool> scheduled{false};
};

MainQueuePump::MainQueuePump(QObject *parent) : QObject(parent), link_(std::make_shared<Link>()) {
    link_->target = this;
    mainQueue().setMainThread(std::this_thread::get_id());
    mainQueue().setWaker([link = link_] {
        if (link->scheduled.exchange(true))
            return;
        std::lock_guard lock(link->mutex);
        if (!link->target)
            return;
        QMetaObject::invokeMethod(
            link->target,
            [link] {
                // Cleared first: a block posted during the drain schedules another.
                link->scheduled = false;
                mainQueue().drain();
            },
            Qt::QueuedConnection);
    });
    // Blocks posted before the pump existed.
    QMetaObject::invokeMethod(
        this, [] { mainQueue().drain(); }, Qt::QueuedConnection);
}

MainQueuePump::~MainQueuePump() {
    mainQueue().setWaker(nullptr);
    std::lock_guard lock(link_->mutex);
    link_->target = nullptr;
}

} // namespace quintarvel
