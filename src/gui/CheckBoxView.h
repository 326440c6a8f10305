#pragma once

#include "platform/FormViews.h"

#include <QPointer>

class QCheckBox;

namespace quintarvel {

// A check box with its label as title; mixed is Qt's partially checked state.
class CheckBoxView : public TitledCheckBox {
  public:
    explicit CheckBoxView(QCheckBox *box);
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;
    int state() const override;
    void setState(int state) override;
    std::string title() const override;

    QCheckBox *widget() const { return box_; }

  private:
    QPointer<QCheckBox> box_;
};

} // namespace quintarvel
