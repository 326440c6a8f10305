#pragma once

#include "platform/FormViews.h"

#include <QPointer>

class QLabel;

namespace quintarvel {

// A one-line status label.
class LabelField : public TextField {
  public:
    explicit LabelField(QLabel *label);
    std::string stringValue() const override;
    void setStringValue(const std::string &value) override;

  private:
    QPointer<QLabel> label_;
};

} // namespace quintarvel
