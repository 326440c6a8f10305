#include "gui/WidgetWindow.h"

#include <QWidget>

namespace quintarvel {

WidgetWindow::WidgetWindow(QWidget *widget) : widget_(widget) {}

void WidgetWindow::makeKeyAndOrderFront() {
    if (!widget_)
        return;
    widget_->show();
    widget_->raise();
    widget_->activateWindow();
}

} // namespace quintarvel
