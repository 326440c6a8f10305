#pragma once

#include "platform/Views.h"

#include <QPointer>

class QAbstractButton;

namespace quintarvel {

// A push button.
class ButtonControl : public Control {
  public:
    explicit ButtonControl(QAbstractButton *button);
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;

  private:
    QPointer<QAbstractButton> button_;
};

} // namespace quintarvel
