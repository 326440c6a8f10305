#pragma once

#include "platform/Views.h"

#include <QPointer>

class QAction;

namespace quintarvel {

// A menu item.
class ActionControl : public Control {
  public:
    explicit ActionControl(QAction *action);
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;

  private:
    QPointer<QAction> action_;
};

} // namespace quintarvel
