#pragma once

#include "platform/Views.h"

#include <memory>
#include <string>
#include <vector>

namespace quintarvel {

// More window pieces, those of the index manager's window. Like the ones in Views.h, the GUI
// implements them with its toolkit and tests use recording fakes; all are used on the main
// thread only.

// A check box with a label; the index window names its boxes by their titles.
class TitledCheckBox : public CheckBox {
  public:
    virtual std::string title() const = 0;
};

// A view whose subviews are check boxes, in the order they are laid out.
class CheckBoxContainer {
  public:
    virtual ~CheckBoxContainer() = default;
    virtual std::vector<std::shared_ptr<TitledCheckBox>> subviews() const = 0;
};

// A bar that shows a value out of a maximum. Both may be set in any order; a maximum of
// zero or less (an unknown length) shows an indeterminate bar. That bar moves only while the
// work it stands for runs, as its owner says; otherwise (and at first) it lies still and empty.
class LevelIndicator {
  public:
    virtual ~LevelIndicator() = default;
    virtual double doubleValue() const = 0;
    virtual void setDoubleValue(double value) = 0;
    virtual double maxValue() const = 0;
    virtual void setMaxValue(double maxValue) = 0;
    virtual void setRunning(bool running) = 0;
};

// A one-line text label.
class TextField {
  public:
    virtual ~TextField() = default;
    virtual std::string stringValue() const = 0;
    virtual void setStringValue(const std::string &value) = 0;
};

} // namespace quintarvel
