#include "gui/LabelField.h"

#include <QLabel>

namespace quintarvel {

LabelField::LabelField(QLabel *label) : label_(label) {}

std::string LabelField::stringValue() const {
    return label_ ? label_->text().toStdString() : std::string();
}

void LabelField::setStringValue(const std::string &value) {
    if (label_)
        label_->setText(QString::fromStdString(value));
}

} // namespace quintarvel
