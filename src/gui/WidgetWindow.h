#pragma once

#include "platform/Views.h"

#include <QPointer>

class QWidget;

namespace quintarvel {

// A top-level window; panels attach to it as window-modal sheets.
class WidgetWindow : public Window {
  public:
    explicit WidgetWindow(QWidget *widget);
    void makeKeyAndOrderFront() override;
    QWidget *widget() const { return widget_; }

  private:
    QPointer<QWidget> widget_;
};

} // namespace quintarvel
