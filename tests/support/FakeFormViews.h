#pragma once

#include "platform/FormViews.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quintarvel::test {

// Recording stand-ins for the index window's pieces.

class FakeTitledCheckBox : public TitledCheckBox {
  public:
    explicit FakeTitledCheckBox(std::string title, int state = off)
        : title_(std::move(title)), state_(state) {}
    std::string title() const override { return title_; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }
    int state() const override { return state_; }
    void setState(int state) override {
        state_ = state;
        ++changes;
    }
    int changes = 0;

  private:
    std::string title_;
    bool enabled_ = true;
    int state_;
};

class FakeCheckBoxContainer : public CheckBoxContainer {
  public:
    std::vector<std::shared_ptr<TitledCheckBox>> subviews() const override {
        return {boxes.begin(), boxes.end()};
    }
    std::shared_ptr<FakeTitledCheckBox> add(const std::string &title) {
        boxes.push_back(std::make_shared<FakeTitledCheckBox>(title));
        return boxes.back();
    }
    std::vector<std::shared_ptr<FakeTitledCheckBox>> boxes;
};

class FakeLevelIndicator : public LevelIndicator {
  public:
    double doubleValue() const override { return value_; }
    void setDoubleValue(double value) override {
        value_ = value;
        values.push_back(value);
    }
    double maxValue() const override { return max_; }
    void setMaxValue(double maxValue) override { max_ = maxValue; }
    void setRunning(bool r) override { running = r; }
    std::vector<double> values; // every value set, in order
    bool running = false;

  private:
    double value_ = 0, max_ = 0;
};

class FakeTextField : public TextField {
  public:
    std::string stringValue() const override { return texts.empty() ? "" : texts.back(); }
    void setStringValue(const std::string &value) override { texts.push_back(value); }
    std::vector<std::string> texts; // every text set, in order
};

} // namespace quintarvel::test
