#pragma once

#include <QObject>

#include <memory>

namespace quintarvel {

// Lets the Qt event loop drain the main dispatch queue: every post schedules one drain on the
// GUI thread (posts that come while one is scheduled share it). Make it on the GUI thread,
// after the application object; while it lives, that thread is the main thread.
class MainQueuePump : public QObject {
    Q_OBJECT

  public:
    explicit MainQueuePump(QObject *parent = nullptr);
    // Unhooks the event loop; blocks posted later wait for a drain by hand.
    ~MainQueuePump() override;

  private:
    struct Link;
    std::shared_ptr<Link> link_;
};

} // namespace quintarvel
