#include "gui/MainInterface.h"

#include "GuiTestApplication.h"
#include "app/AppGlobals.h"
#include "gui/IndexWindow.h"
#include "gui/LogTextView.h"
#include "gui/MainWindow.h"
#include "platform/Dispatch.h"
#include "platform/Folders.h"
#include "support/FakePanels.h"
#include "support/ImageFiles.h"
#include "support/SolverFixture.h"
#include "support/TempDir.h"
#include "support/TestTrash.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextBlock>

#include <algorithm>
#include <stdexcept>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quintarvel {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::writeFile;

struct LogLine {
    std::string text;
    std::optional<QColor> color; // none: the control text colour
};

std::vector<LogLine> logLines(const QPlainTextEdit &edit) {
    std::vector<LogLine> lines;
    for (auto block = edit.document()->begin(); block.isValid(); block = block.next()) {
        LogLine line{block.text().toStdString(), std::nullopt};
        if (!block.text().isEmpty()) {
            const auto format = block.begin().fragment().charFormat();
            if (format.hasProperty(QTextFormat::ForegroundBrush))
                line.color = format.foreground().color();
        }
        lines.push_back(line);
    }
    return lines;
}

const LogLine *findLine(const std::vector<LogLine> &lines, const std::string &start) {
    for (const auto &line : lines)
        if (line.text.starts_with(start))
            return &line;
    return nullptr;
}

// The whole application on fake engine programs and fake panels, its folders, settings and
// Trash in a temporary folder, its HTTP service on a loopback port of its own.
class MainWindowIntegrationTest : public ::testing::Test {
  protected:
    MainWindowIntegrationTest() {
        test::TestTrash::instance();
        setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
        makeEngines();
        fs::create_directories(dir / "support");
        fs::create_directories(dir / "tmp");
        writeFile(dir / "support" / "solution", "ra_center 160.5\ndec_center 1.25\n"
                                                "orientation 30\npixscale 29.97\nparity 1\n");
    }
    ~MainWindowIntegrationTest() override {
        if (!interface)
            return;
        interface->solver()->stopServices();
        interface->terminate();
        interface.reset();
    }

    // The pipeline's fake programs, with a solve-field that also tells its version.
    void makeEngines() {
        const fs::path fakes = QUINTARVEL_TEST_FIXTURES "/pipeline-engine";
        fs::create_directories(dir / "engine");
        for (const auto *name : {"image2xy", "new-wcs", "wcsinfo", "fake-common.sh"})
            fs::create_symlink(fakes / name, dir / "engine" / name);
        writeFile(dir / "engine" / "solve-field",
                  "#!/bin/bash\n"
                  "[ \"$1\" = --version ] && { echo 0.93-gui; exit 0; }\n"
                  "exec " +
                      (fakes / "solve-field").string() + " \"$@\"\n");
        chmod((dir / "engine" / "solve-field").c_str(), 0755);
    }

    fs::path defaultsFile() const {
        return *folders::configHome() / "Quintarvel" / "defaults.json";
    }

    void load() {
        MainInterface::Options options;
        options.solverPaths = SolverPaths{dir / "support", dir / "support" / "quintarvel-0.cfg",
                                          (dir / "tmp").string() + "/", dir / "engine"};
        options.legacyFolder = dir / "legacy";
        options.containerFolder = dir.path();
        options.startDownload = startDownload;
        options.userDefaults = std::make_shared<UserDefaults>(defaultsFile());
        options.openPanels = panels.openPanels();
        options.savePanels = panels.savePanels();
        options.services =
            test::loopbackServiceOptions("Quintarvel GUI test " + std::to_string(getpid()));
        interface = std::make_unique<MainInterface>(options);
        interface->launch();
    }

    MainWindow &window() const { return interface->mainWindow(); }
    std::vector<LogLine> log() const { return logLines(*window().logText()); }
    bool logHas(const std::string &start) const { return findLine(log(), start) != nullptr; }

    // Answers the newest panel once the event loop has opened it.
    void answerPanel(std::size_t count, int response, std::optional<fs::path> file) {
        ASSERT_TRUE(test::runEventsUntil([&] { return panels.made.size() == count; }));
        panels.made.back()->finish(response, std::move(file));
    }
    void waitForSolveEnd() {
        ASSERT_TRUE(test::runEventsUntil([&] {
            const auto status = interface->solver()->status();
            return (status == "done" || status == "failed") &&
                   (logHas("Done in") || logHas("Failed"));
        })) << window().logText()->toPlainText().toStdString();
    }
    void screenshot(QWidget &widget, const std::string &name) {
        if (const char *folder = std::getenv("QUINTARVEL_SCREENSHOTS"))
            widget.grab().save(QString::fromStdString(std::string(folder) + "/" + name));
    }

    test::TempDir dir;
    test::FakePanels panels;
    std::unique_ptr<MainInterface> interface;
    IndexManagerDelegate::DownloadStarter startDownload = [](const URLRequest &,
                                                             std::weak_ptr<URLDownloadDelegate>) {
        return nullptr; // no network here
    };
};

// A loopback port where every connection is refused: bound, never listening.
class RefusingPort {
  public:
    RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ == -1 || ::bind(fd_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("cannot bind a loopback port");
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int fd_;
    std::uint16_t port_ = 0;
};

TEST_F(MainWindowIntegrationTest, LaunchLogsTheVersionsAndRestoresTheStoredBoxes) {
    fs::create_directories(defaultsFile().parent_path());
    writeFile(defaultsFile(), R"({"removeCreatedFiles": true})");
    load();
    // An engine that answers late is logged by the task that read it, so the services' lines
    // may come first.
    ASSERT_TRUE(test::runEventsUntil([&] {
        return logHas("HTTP server started on port ") && logHas("Quintarvel.net engine ");
    })) << window().logText()->toPlainText().toStdString();

    const auto lines = log();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "Quintarvel " + appShortVersion() + "-" + appBuildVersion());
    EXPECT_EQ(lines[0].color, LogTextView::toQColor(successColor()));
    const auto engine = std::find_if(lines.begin() + 1, lines.end(), [](const LogLine &line) {
        return line.text.starts_with("Quintarvel.net engine ");
    });
    ASSERT_NE(engine, lines.end());
    EXPECT_EQ(engine->text, "Quintarvel.net engine 0.93-gui");
    EXPECT_EQ(engine->color, LogTextView::toQColor(successColor()));
    EXPECT_TRUE(window().isVisible());
    EXPECT_TRUE(window().removeFilesButton()->isChecked());
    EXPECT_FALSE(window().writeWCSHeadersButton()->isChecked());
    screenshot(window(), "main-window-launched.png");
}

TEST_F(MainWindowIntegrationTest, SolveButtonSolvesTheChosenImageAndColoursTheLog) {
    const auto image = dir / "field.png";
    test::PngSpec png;
    png.width = png.height = 8;
    png.samples.assign(64, 100);
    test::writePng(image, png);
    load();

    window().solveButton()->click();
    answerPanel(1, modalResponseOK, image);
    ASSERT_TRUE(test::runEventsUntil([&] { return !window().solveButton()->isEnabled(); }));
    EXPECT_TRUE(window().abortButton()->isEnabled());
    EXPECT_FALSE(window().solveMenu()->isEnabled());
    waitForSolveEnd();

    EXPECT_EQ(interface->solver()->status(), "done");
    EXPECT_EQ(interface->solver()->raCenter(), 160.5);
    const auto lines = log();
    const std::pair<const char *, std::optional<QColor>> coloured[] = {
        {"Processing manual request", LogTextView::toQColor(warningColor())},
        {"simplexy: found 3 sources.", std::nullopt},
        {"ra_center 160.5", LogTextView::toQColor(successColor())},
        {"Done in ", LogTextView::toQColor(successColor())}};
    for (const auto &[start, color] : coloured) {
        const auto *line = findLine(lines, start);
        ASSERT_TRUE(line) << start;
        EXPECT_EQ(line->color, color) << start;
    }
    EXPECT_TRUE(window().solveButton()->isEnabled());
    EXPECT_FALSE(window().abortButton()->isEnabled());
    EXPECT_TRUE(window().solveMenu()->isEnabled());
    screenshot(window(), "main-window.png");
}

TEST_F(MainWindowIntegrationTest, WithTheWCSBoxTheSaveSheetReceivesTheCopy) {
    const auto image = dir / "field.fits";
    writeFile(image, "SIMPLE  =                    T");
    load();

    window().writeWCSHeadersButton()->click(); // saved at once
    EXPECT_TRUE(UserDefaults(defaultsFile()).boolForKey("writeWCSHeaders"));

    window().solveMenu()->trigger();
    answerPanel(1, modalResponseOK, image);
    answerPanel(2, modalResponseOK, dir / "field_wcs.fits");
    EXPECT_EQ(panels.made[1]->nameField, "field_wcs");
    waitForSolveEnd();
    EXPECT_EQ(interface->solver()->status(), "done");
    EXPECT_EQ(readFile(dir / "field_wcs.fits"), readFile(image));
}

TEST_F(MainWindowIntegrationTest, BoxesPersistThroughTheUserDefaultsAndComeBackOnShow) {
    load();
    window().removeFilesButton()->click();
    EXPECT_TRUE(UserDefaults(defaultsFile()).boolForKey("removeCreatedFiles"));
    window().removeFilesButton()->setChecked(false); // not saved
    window().showMenu()->trigger();
    EXPECT_TRUE(window().removeFilesButton()->isChecked());
}

TEST_F(MainWindowIntegrationTest, TheIndexWindowOpensWithoutIndexFilesAndRunsFromItsButtons) {
    load();
    auto &index = interface->indexWindow();
    EXPECT_TRUE(index.isVisible());
    ASSERT_EQ(index.series4100().size(), 13u);
    ASSERT_EQ(index.series4200().size(), 20u);
    EXPECT_EQ(index.series4100().front()->text().toStdString(), "index-4119.fits");
    EXPECT_EQ(index.series4200().back()->text().toStdString(), "index-4200-*.fits");
    for (auto *box : index.series4100())
        EXPECT_EQ(box->checkState(), Qt::Unchecked);

    index.series4100().front()->click();
    index.goButton()->click();
    ASSERT_TRUE(test::runEventsUntil(
        [&] { return index.statusText()->text() == "Failed to download index-4119.fits"; }));
    EXPECT_TRUE(index.goButton()->isEnabled());
    EXPECT_FALSE(index.abortButton()->isEnabled());
    screenshot(index, "index-window.png");
}

TEST_F(MainWindowIntegrationTest, AFailedDownloadLeavesNoBusyBarAndLogsTheTransferError) {
    RefusingPort refusing;
    startDownload = [base = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/"](
                        const URLRequest &request, std::weak_ptr<URLDownloadDelegate> delegate) {
        URLRequest local = request;
        local.url = base + request.url.substr(request.url.rfind('/') + 1);
        return URLDownload::start(local, std::move(delegate));
    };
    load();
    auto &index = interface->indexWindow();
    index.series4100().front()->click();
    ::testing::internal::CaptureStderr();
    index.goButton()->click();
    const bool ended = test::runEventsUntil([&] { return index.goButton()->isEnabled(); });
    const std::string systemLog = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ended);
    EXPECT_EQ(index.statusText()->text().toStdString(), "Downloading index-4119.fits - failed");
    EXPECT_FALSE(index.abortButton()->isEnabled());
    // Nothing runs: the current file's bar lies still and empty. The files bar still counts
    // the file started, and the box stays as the user ticked it.
    EXPECT_GT(index.fileIndicator()->maximum(), 0);
    EXPECT_EQ(index.fileIndicator()->value(), index.fileIndicator()->minimum());
    EXPECT_EQ(index.queueIndicator()->value(), index.queueIndicator()->maximum());
    EXPECT_EQ(index.series4100().front()->checkState(), Qt::Checked);
    EXPECT_NE(systemLog.find("file failed Failed to connect to 127.0.0.1 port " +
                             std::to_string(refusing.port())),
              std::string::npos)
        << systemLog;
}

TEST_F(MainWindowIntegrationTest, AMixedIndexBoxNeverStaysMixedAndAPresentFileKeepsTheWindowShut) {
    writeFile(dir / "support" / "index-4207-00.fits", "index");
    load();
    auto &index = interface->indexWindow();
    EXPECT_FALSE(index.isVisible());

    window().indexManagerMenu()->trigger();
    EXPECT_TRUE(index.isVisible());
    QCheckBox *box = nullptr;
    for (auto *candidate : index.series4200())
        if (candidate->text() == "index-4207-*.fits")
            box = candidate;
    ASSERT_TRUE(box);
    EXPECT_EQ(box->checkState(), Qt::PartiallyChecked);
    for (int click = 0; click < 3; ++click) {
        box->click();
        EXPECT_NE(box->checkState(), Qt::PartiallyChecked);
    }
}

} // namespace
} // namespace quintarvel
