#pragma once

#include <QWidget>

#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace quintarvel {

// The index manager's widgets: one check box per index name of each series, the Go and Abort
// buttons, a status line and two progress bars. It only lays them out; MainInterface connects
// them to IndexManagerDelegate.
class IndexWindow : public QWidget {
    Q_OBJECT

  public:
    // One check box per title, laid out in the order given.
    IndexWindow(const std::vector<std::string> &titles4100,
                const std::vector<std::string> &titles4200, QWidget *parent = nullptr);

    const std::vector<QCheckBox *> &series4100() const { return series4100_; }
    const std::vector<QCheckBox *> &series4200() const { return series4200_; }
    QPushButton *goButton() const { return goButton_; }
    QPushButton *abortButton() const { return abortButton_; }
    QPushButton *readmeButton() const { return readmeButton_; }
    QProgressBar *queueIndicator() const { return queueIndicator_; }
    QProgressBar *fileIndicator() const { return fileIndicator_; }
    QLabel *statusText() const { return statusText_; }

  private:
    std::vector<QCheckBox *> series4100_;
    std::vector<QCheckBox *> series4200_;
    QPushButton *goButton_;
    QPushButton *abortButton_;
    QPushButton *readmeButton_;
    QProgressBar *queueIndicator_;
    QProgressBar *fileIndicator_;
    QLabel *statusText_;
};

} // namespace quintarvel
