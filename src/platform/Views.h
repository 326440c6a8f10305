#pragma once

#include "platform/Color.h"

#include <string>

namespace quintarvel {

// The window pieces the application logic talks to. The GUI implements them with its
// toolkit; tests use recording fakes. All are used on the main thread only.

// A scrolling text view holding coloured text.
class TextView {
  public:
    virtual ~TextView() = default;
    virtual void appendText(const std::string &text, const Color &foreground) = 0;
    virtual void scrollToEndOfDocument() = 0;
};

// A menu item or button that can be enabled and disabled.
class Control {
  public:
    virtual ~Control() = default;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
};

// A check box: on 1, off 0, mixed -1.
class CheckBox : public Control {
  public:
    static constexpr int on = 1, off = 0, mixed = -1;
    virtual int state() const = 0;
    virtual void setState(int state) = 0;
};

// A top-level window.
class Window {
  public:
    virtual ~Window() = default;
    virtual void makeKeyAndOrderFront() = 0;
};

} // namespace quintarvel
