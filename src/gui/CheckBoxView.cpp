#include "gui/CheckBoxView.h"

#include <QCheckBox>

namespace quintarvel {

CheckBoxView::CheckBoxView(QCheckBox *box) : box_(box) {}

void CheckBoxView::setEnabled(bool enabled) {
    if (box_)
        box_->setEnabled(enabled);
}

bool CheckBoxView::isEnabled() const {
    return box_ && box_->isEnabled();
}

int CheckBoxView::state() const {
    if (!box_)
        return off;
    switch (box_->checkState()) {
    case Qt::Checked:
        return on;
    case Qt::PartiallyChecked:
        return mixed;
    default:
        return off;
    }
}

void CheckBoxView::setState(int state) {
    if (!box_)
        return;
    // Any other value counts as on, as the platform's check boxes take it.
    if (state == mixed)
        box_->setTristate(true);
    box_->setCheckState(state == off     ? Qt::Unchecked
                        : state == mixed ? Qt::PartiallyChecked
                                         : Qt::Checked);
}

std::string CheckBoxView::title() const {
    return box_ ? box_->text().remove(QLatin1Char('&')).toStdString() : std::string();
}

} // namespace quintarvel
