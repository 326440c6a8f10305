#pragma once

#include "platform/FormViews.h"

#include <QPointer>

class QProgressBar;

namespace quintarvel {

// A level indicator drawn as a progress bar. Values are kept as given; the bar shows them in
// thousandths of the maximum, so byte counts beyond the range of int fit. A maximum of zero
// or less shows a busy bar while running, an empty one otherwise, once a value or maximum has
// been set.
class LevelBar : public LevelIndicator {
  public:
    explicit LevelBar(QProgressBar *bar);
    double doubleValue() const override { return value_; }
    void setDoubleValue(double value) override;
    double maxValue() const override { return max_; }
    void setMaxValue(double maxValue) override;
    void setRunning(bool running) override;

  private:
    void update();

    QPointer<QProgressBar> bar_;
    double value_ = 0;
    double max_ = 0;
    bool running_ = false;
};

} // namespace quintarvel
