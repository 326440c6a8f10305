#include "gui/LevelBar.h"

#include <QProgressBar>

#include <algorithm>

namespace quintarvel {
namespace {

constexpr int steps = 1000;

} // namespace

// The bar keeps the window's own look until a maximum or value is set: an idle window shows
// an empty bar, not a busy one.
LevelBar::LevelBar(QProgressBar *bar) : bar_(bar) {}

void LevelBar::setDoubleValue(double value) {
    value_ = value;
    update();
}

void LevelBar::setMaxValue(double maxValue) {
    max_ = maxValue;
    update();
}

void LevelBar::setRunning(bool running) {
    running_ = running;
    update();
}

void LevelBar::update() {
    if (!bar_)
        return;
    if (max_ <= 0 && running_) {
        bar_->setRange(0, 0);
        return;
    }
    bar_->setRange(0, steps);
    bar_->setValue(max_ <= 0 ? 0 : static_cast<int>(std::clamp(value_ / max_, 0.0, 1.0) * steps));
}

} // namespace quintarvel
