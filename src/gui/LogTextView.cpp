#include "gui/LogTextView.h"

#include <QColor>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>

namespace quintarvel {

LogTextView::LogTextView(QPlainTextEdit *edit) : edit_(edit) {}

QColor LogTextView::toQColor(const Color &color) {
    return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                            static_cast<float>(color.blue), static_cast<float>(color.alpha));
}

void LogTextView::appendText(const std::string &text, const Color &foreground) {
    if (!edit_)
        return;
    QTextCharFormat format;
    if (!foreground.isControlText)
        format.setForeground(toQColor(foreground));
    QTextCursor cursor(edit_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), format);
}

void LogTextView::scrollToEndOfDocument() {
    if (!edit_)
        return;
    auto *bar = edit_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

} // namespace quintarvel
