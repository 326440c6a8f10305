#pragma once

#include "platform/FormViews.h"

#include <memory>
#include <vector>

namespace quintarvel {

// A container of check boxes, in the order they are laid out.
class CheckBoxGroup : public CheckBoxContainer {
  public:
    explicit CheckBoxGroup(std::vector<std::shared_ptr<TitledCheckBox>> boxes)
        : boxes_(std::move(boxes)) {}
    std::vector<std::shared_ptr<TitledCheckBox>> subviews() const override { return boxes_; }

  private:
    std::vector<std::shared_ptr<TitledCheckBox>> boxes_;
};

} // namespace quintarvel
