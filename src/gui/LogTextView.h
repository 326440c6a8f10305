#pragma once

#include "platform/Views.h"

#include <QPointer>

class QPlainTextEdit;
class QColor;

namespace quintarvel {

// The log: coloured lines appended to a read-only plain text view. A line in the control text
// colour carries no colour of its own, so it follows the desktop theme.
class LogTextView : public TextView {
  public:
    explicit LogTextView(QPlainTextEdit *edit);
    void appendText(const std::string &text, const Color &foreground) override;
    void scrollToEndOfDocument() override;

    static QColor toQColor(const Color &color);

  private:
    QPointer<QPlainTextEdit> edit_;
};

} // namespace quintarvel
