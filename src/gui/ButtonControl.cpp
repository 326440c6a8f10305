#include "gui/ButtonControl.h"

#include <QAbstractButton>

namespace quintarvel {

ButtonControl::ButtonControl(QAbstractButton *button) : button_(button) {}

void ButtonControl::setEnabled(bool enabled) {
    if (button_)
        button_->setEnabled(enabled);
}

bool ButtonControl::isEnabled() const {
    return button_ && button_->isEnabled();
}

} // namespace quintarvel
