#pragma once

// The Qt side of a GUI test program: one QApplication on Qt's offscreen platform, made before
// the first test, with the main dispatch queue drained by its event loop.

#include "gui/MainQueuePump.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace quintarvel::test {

class GuiTestApplication : public ::testing::Environment {
  public:
    void SetUp() override {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        application_ = new QApplication(argc_, argv_);
        pump_ = new MainQueuePump;
    }
    void TearDown() override {
        delete pump_;
        delete application_;
    }

  private:
    int argc_ = 1;
    char name_[16] = "quintarvel-test";
    char *argv_[2] = {name_, nullptr};
    QApplication *application_ = nullptr;
    MainQueuePump *pump_ = nullptr;
};

inline ::testing::Environment *const guiTestApplication =
    ::testing::AddGlobalTestEnvironment(new GuiTestApplication);

// Runs the event loop until `done` holds; false when it still does not after `limitMs` (a
// guard against a hang, not a measure of speed).
inline bool runEventsUntil(const std::function<bool()> &done, int limitMs = 120000) {
    QElapsedTimer clock;
    clock.start();
    QTimer heartbeat; // wakes the loop now and then, so the guard is looked at
    heartbeat.start(200);
    while (!done()) {
        if (clock.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace quintarvel::test
