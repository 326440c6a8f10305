#include "gui/ActionControl.h"

#include <QAction>

namespace quintarvel {

ActionControl::ActionControl(QAction *action) : action_(action) {}

void ActionControl::setEnabled(bool enabled) {
    if (action_)
        action_->setEnabled(enabled);
}

bool ActionControl::isEnabled() const {
    return action_ && action_->isEnabled();
}

} // namespace quintarvel
