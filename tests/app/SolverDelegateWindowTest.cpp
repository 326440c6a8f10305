#include "app/SolverDelegate.h"

#include "app/AppGlobals.h"
#include "platform/Dispatch.h"
#include "platform/Process.h"
#include "support/FakePanels.h"
#include "support/FakeViews.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace quintarvel {
namespace {

using test::FakePanel;

struct SolveCall {
    std::string imagePath;
    std::optional<std::string> outputPath;
    bool withOptions;
};

// Records solves instead of running the pipeline.
class RecordingSolver : public SolverDelegate {
  public:
    using SolverDelegate::SolverDelegate;
    void solveImage(const std::string &imagePath, std::optional<std::string> outputPath,
                    std::optional<std::vector<std::string>> image2xyOptions,
                    std::optional<std::vector<std::string>> solveFieldOptions) override {
        solves.push_back({imagePath, outputPath, image2xyOptions || solveFieldOptions});
    }
    std::vector<SolveCall> solves;
};

class SolverDelegateWindowTest : public ::testing::Test {
  protected:
    SolverDelegateWindowTest() {
        SolverPaths paths{dir / "support", dir / "support" / "quintarvel-0.cfg",
                          (dir / "tmp").string() + "/", QUINTARVEL_TEST_FIXTURES "/engine"};
        std::filesystem::create_directories(paths.supportFolder);
        std::filesystem::create_directories(dir / "tmp");
        solver = std::make_shared<RecordingSolver>(paths);
        solver->setWindow(window);
        solver->setLogText(logView);
        solver->setSolveButton(solveButton);
        solver->setAbortButton(abortButton);
        solver->setRemoveFilesButton(removeFiles);
        solver->setWriteWCSHeadersButton(writeWCSHeaders);
        solver->setUserDefaults(defaults);
        solver->setOpenPanelFactory(panels.openPanels());
        solver->setSavePanelFactory(panels.savePanels());
    }

    // An open sheet holds its handler, which holds the sheet: close what a test left open.
    ~SolverDelegateWindowTest() override {
        for (const auto &panel : panels.made)
            if (panel->isOpen())
                panel->finish(modalResponseCancel, std::nullopt);
        mainQueue().drain();
    }

    // Opens the image panel and answers it.
    void chooseImage(int response, std::optional<std::filesystem::path> image,
                     std::optional<std::filesystem::path> folder = std::nullopt) {
        solver->solve();
        ASSERT_FALSE(panels.made.empty());
        panels.made.back()->directory = std::move(folder);
        panels.made.back()->finish(response, std::move(image));
        mainQueue().drain();
    }
    std::filesystem::path defaultsFile() const { return dir / "config" / "defaults.json"; }

    test::TempDir dir;
    test::FakePanels panels;
    std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(defaultsFile());
    std::shared_ptr<test::FakeWindow> window = std::make_shared<test::FakeWindow>();
    std::shared_ptr<test::FakeTextView> logView = std::make_shared<test::FakeTextView>();
    std::shared_ptr<test::FakeControl> solveButton =
        std::make_shared<test::FakeControl>("solveButton", nullptr);
    std::shared_ptr<test::FakeControl> abortButton =
        std::make_shared<test::FakeControl>("abortButton", nullptr, false);
    std::shared_ptr<test::FakeCheckBox> removeFiles = std::make_shared<test::FakeCheckBox>();
    std::shared_ptr<test::FakeCheckBox> writeWCSHeaders = std::make_shared<test::FakeCheckBox>();
    std::shared_ptr<RecordingSolver> solver;
};

TEST_F(SolverDelegateWindowTest, SolveAsksForAnImageInASheetAndCancellingChangesNothing) {
    chooseImage(modalResponseCancel, "/data/M31.jpg");
    ASSERT_EQ(panels.made.size(), 1u);
    EXPECT_TRUE(panels.made[0]->canChooseFiles);
    EXPECT_EQ(panels.made[0]->sheetWindow, window.get());
    EXPECT_EQ(panels.made[0]->allowedFileTypes.size(), 10u);
    chooseImage(modalResponseOK, std::nullopt);
    EXPECT_EQ(solver->status(), "ready");
    EXPECT_TRUE(logView->lines.empty());
    EXPECT_TRUE(solver->solves.empty());
}

TEST_F(SolverDelegateWindowTest, WithoutWCSHeadersTheChosenImageIsSolvedAtOnceUnlessBusy) {
    writeWCSHeaders->setState(CheckBox::on); // changed without saveState: the stored value counts
    chooseImage(modalResponseOK, "/data/M31.jpg");
    EXPECT_EQ(solver->status(), "busy");
    EXPECT_EQ(logView->lines.at(0),
              std::pair(std::string("\nProcessing manual request\n"), warningColor()));
    EXPECT_FALSE(solveButton->isEnabled());
    EXPECT_TRUE(abortButton->isEnabled());
    ASSERT_EQ(solver->solves.size(), 1u);
    EXPECT_EQ(solver->solves[0].imagePath, "/data/M31.jpg");
    EXPECT_FALSE(solver->solves[0].outputPath);
    EXPECT_FALSE(solver->solves[0].withOptions);
    EXPECT_EQ(panels.made.size(), 1u); // no output panel

    // An image chosen while a remote request holds the solver is not solved.
    logView->lines.clear();
    chooseImage(modalResponseOK, "/data/M33.jpg");
    EXPECT_EQ(solver->solves.size(), 1u);
    EXPECT_EQ(logView->lines.at(0), std::pair(std::string("\nSolver busy\n"), errorColor()));
}

TEST_F(SolverDelegateWindowTest, WithWCSHeadersTheOutputPanelProposesANameInTheImageFolder) {
    defaults->setBool(true, "writeWCSHeaders");
    chooseImage(modalResponseOK, "/data/M31.jpg", "/data");
    EXPECT_EQ(solver->status(), "busy"); // already while the output panel is open
    ASSERT_EQ(panels.made.size(), 2u);
    auto &output = *panels.made[1];
    EXPECT_EQ(output.directory, std::filesystem::path("/data"));
    EXPECT_EQ(output.nameField, "M31_wcs");
    EXPECT_EQ(output.allowedFileTypes, std::vector<std::string>{"fits"});
    EXPECT_EQ(output.sheetWindow, window.get());
    EXPECT_TRUE(solver->solves.empty());
    output.finish(modalResponseOK, "/out/M31_wcs.fits");
    ASSERT_EQ(solver->solves.size(), 1u);
    EXPECT_EQ(solver->solves[0].imagePath, "/data/M31.jpg");
    EXPECT_EQ(solver->solves[0].outputPath, "/out/M31_wcs.fits");

    solver->done();
    mainQueue().drain();
    chooseImage(modalResponseOK, "/data/archive.tar.gz");
    EXPECT_EQ(panels.made.back()->nameField, "archive.tar_wcs"); // only the last extension
    EXPECT_FALSE(panels.made.back()->directory);                 // the image panel showed no folder
}

TEST_F(SolverDelegateWindowTest, NoOutputFileOrTheImageItselfEndsTheRequestWithoutASolve) {
    defaults->setBool(true, "writeWCSHeaders");
    const auto image = dir / "M31.fits";
    test::writeFile(image, "SIMPLE");
    std::filesystem::create_symlink(image, dir / "link.fits");
    const std::tuple<int, std::optional<std::filesystem::path>, std::string> answers[] = {
        {modalResponseCancel, "/out/ignored.fits", "No output file chosen"},
        {modalResponseOK, std::nullopt, "No output file chosen"},
        {modalResponseOK, dir / "link.fits", "The output file must not be the image itself"}};
    for (const auto &[response, output, message] : answers) {
        chooseImage(modalResponseOK, image);
        panels.made.back()->finish(response, output);
        mainQueue().drain();
        EXPECT_TRUE(solver->solves.empty());
        EXPECT_EQ(solver->status(), "failed");
        EXPECT_EQ(solver->message(), message);
        EXPECT_TRUE(solveButton->isEnabled());
        EXPECT_FALSE(abortButton->isEnabled());
    }
    EXPECT_EQ(test::readFile(image), "SIMPLE");
}

TEST_F(SolverDelegateWindowTest, SavedBoxesComeBackAfterARelaunch) {
    removeFiles->setState(CheckBox::on);
    writeWCSHeaders->setState(CheckBox::mixed); // stored as false
    solver->saveState();

    // A new process reads the file afresh.
    auto relaunched = std::make_shared<SolverDelegate>(solver->paths());
    auto remove = std::make_shared<test::FakeCheckBox>(CheckBox::off);
    auto wcs = std::make_shared<test::FakeCheckBox>(CheckBox::on);
    relaunched->setRemoveFilesButton(remove);
    relaunched->setWriteWCSHeadersButton(wcs);
    relaunched->setWindow(window);
    relaunched->setUserDefaults(std::make_shared<UserDefaults>(defaultsFile()));
    relaunched->restoreState();
    EXPECT_EQ(remove->state(), CheckBox::on);
    EXPECT_EQ(wcs->state(), CheckBox::off);
    EXPECT_EQ(window->fronts, 1);

    // show: does the same.
    remove->setState(CheckBox::off);
    relaunched->show();
    EXPECT_EQ(remove->state(), CheckBox::on);
    EXPECT_EQ(window->fronts, 2);
}

TEST_F(SolverDelegateWindowTest, AbortTerminatesTheRunningProgramOnly) {
    solver->abort(); // no task: nothing happens
    auto sleeper = std::make_shared<Process>();
    sleeper->setLaunchPath("/bin/sleep");
    sleeper->setArguments({"600"});
    sleeper->launch();
    solver->setTask(sleeper);
    solver->abort();
    EXPECT_EQ(sleeper->waitUntilExit(), 15);
}

TEST_F(SolverDelegateWindowTest, AwakeLogsTheProgramThenTheEngineVersionOrItsFailure) {
    const auto engines = dir / "engine";
    std::filesystem::create_directories(engines);
    const std::string program = "Quintarvel " + appShortVersion() + "-" + appBuildVersion() + "\n";
    const std::tuple<std::string, std::filesystem::path, std::string, Color> cases[] = {
        {"[ \"$1\" = --version ] && printf '0.97\\nsecond line\\n'", engines,
         "Quintarvel.net engine 0.97\n", successColor()},
        {"exit 0", engines, "Failed to execute Quintarvel.net engine\n", errorColor()},
        {"", dir / "no-such-folder", "Failed to execute Quintarvel.net engine\n", errorColor()}};
    for (const auto &[script, folder, line, color] : cases) {
        test::writeFile(engines / "solve-field", "#!/bin/sh\n" + script + "\n");
        chmod((engines / "solve-field").c_str(), 0755);
        auto paths = solver->paths();
        paths.enginesFolder = folder;
        auto made = std::make_shared<SolverDelegate>(paths);
        made->setLogText(logView);
        logView->lines.clear();
        made->awakeFromNib();
        // The version comes from a global queue: wait for it, for a minute at most.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
        while (logView->lines.size() < 2 && std::chrono::steady_clock::now() < deadline)
            mainQueue().drainFor(std::chrono::milliseconds(100));
        const std::vector<std::pair<std::string, Color>> expected{{program, successColor()},
                                                                  {line, color}};
        EXPECT_EQ(logView->lines, expected) << script;
        EXPECT_EQ(made->status(), color == errorColor() ? "failed" : "ready");
    }
}

TEST_F(SolverDelegateWindowTest, LateEngineAnswerOnlyLogsAndLeavesARequestsStatus) {
    const auto engines = dir / "engine";
    std::filesystem::create_directories(engines);
    // The engine answers when the test opens the gate, and then with no line: a failure.
    const auto gate = dir / "gate";
    ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    test::writeFile(engines / "solve-field",
                    "#!/bin/sh\nread -r line < '" + gate.string() + "'\nexit 0\n");
    chmod((engines / "solve-field").c_str(), 0755);
    auto paths = solver->paths();
    paths.enginesFolder = engines;
    auto made = std::make_shared<SolverDelegate>(paths);
    made->setLogText(logView);
    made->awakeFromNib(); // stops waiting for the answer
    // A request takes the solver before the answer comes.
    ASSERT_TRUE(made->claimSolver("\nProcessing HTTP request"));
    ::close(::open(gate.c_str(), O_WRONLY | O_CLOEXEC));
    const std::pair<std::string, Color> failure{"Failed to execute Quintarvel.net engine\n",
                                                errorColor()};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::find(logView->lines.begin(), logView->lines.end(), failure) ==
               logView->lines.end() &&
           std::chrono::steady_clock::now() < deadline)
        mainQueue().drainFor(std::chrono::milliseconds(100));
    EXPECT_NE(std::find(logView->lines.begin(), logView->lines.end(), failure),
              logView->lines.end());
    EXPECT_EQ(made->status(), "busy");
    EXPECT_EQ(made->message(), "Processing HTTP request");
}

} // namespace
} // namespace quintarvel
