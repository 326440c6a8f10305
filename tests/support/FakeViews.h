#pragma once

#include "platform/Views.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quintarvel::test {

// Recording stand-ins for the window pieces.

class FakeTextView : public TextView {
  public:
    void appendText(const std::string &text, const Color &foreground) override {
        lines.emplace_back(text, foreground);
        text_ += text;
    }
    void scrollToEndOfDocument() override { ++scrolls; }
    const std::string &text() const { return text_; }

    std::vector<std::pair<std::string, Color>> lines;
    int scrolls = 0;

  private:
    std::string text_;
};

// Every control of a window shares one journal, so tests can check the order of changes.
using ControlJournal = std::vector<std::pair<std::string, bool>>;

class FakeControl : public Control {
  public:
    FakeControl(std::string name, std::shared_ptr<ControlJournal> journal, bool enabled = true)
        : name_(std::move(name)), journal_(std::move(journal)), enabled_(enabled) {}
    void setEnabled(bool enabled) override {
        enabled_ = enabled;
        if (journal_)
            journal_->emplace_back(name_, enabled);
    }
    bool isEnabled() const override { return enabled_; }

  private:
    std::string name_;
    std::shared_ptr<ControlJournal> journal_;
    bool enabled_;
};

class FakeCheckBox : public CheckBox {
  public:
    explicit FakeCheckBox(int state = off) : state_(state) {}
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }
    int state() const override { return state_; }
    void setState(int state) override { state_ = state; }

  private:
    bool enabled_ = true;
    int state_;
};

class FakeWindow : public Window {
  public:
    void makeKeyAndOrderFront() override { ++fronts; }
    int fronts = 0;
};

} // namespace quintarvel::test
