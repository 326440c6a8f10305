#pragma once

#include <QMainWindow>

class QAction;
class QCheckBox;
class QPlainTextEdit;
class QPushButton;

namespace quintarvel {

// The main window's widgets: the log, the Solve and Abort buttons, the two check boxes and
// the menus. It only lays them out; MainInterface connects them to the controllers.
class MainWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit MainWindow(QWidget *parent = nullptr);

    QPlainTextEdit *logText() const { return logText_; }
    QPushButton *solveButton() const { return solveButton_; }
    QPushButton *abortButton() const { return abortButton_; }
    QCheckBox *removeFilesButton() const { return removeFilesButton_; }
    QCheckBox *writeWCSHeadersButton() const { return writeWCSHeadersButton_; }

    QAction *solveMenu() const { return solveMenu_; }
    QAction *abortMenu() const { return abortMenu_; }
    QAction *showMenu() const { return showMenu_; }
    QAction *indexManagerMenu() const { return indexManagerMenu_; }
    QAction *productPageMenu() const { return productPageMenu_; }
    QAction *quintarvelNetMenu() const { return quintarvelNetMenu_; }
    QAction *quitMenu() const { return quitMenu_; }

  private:
    QPlainTextEdit *logText_;
    QPushButton *solveButton_;
    QPushButton *abortButton_;
    QCheckBox *removeFilesButton_;
    QCheckBox *writeWCSHeadersButton_;
    QAction *solveMenu_;
    QAction *abortMenu_;
    QAction *showMenu_;
    QAction *indexManagerMenu_;
    QAction *productPageMenu_;
    QAction *quintarvelNetMenu_;
    QAction *quitMenu_;
};

} // namespace quintarvel
