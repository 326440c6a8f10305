#pragma once

#include "app/SolverDelegate.h"
#include "support/FakeViews.h"
#include "support/TempDir.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace quintarvel::test {

// A solver wired to recording views, with its folders in a fresh temporary folder.
struct SolverFixture {
    // The engine programs come from `enginesFolder`: the build's links to the real engine
    // unless a test gives its fakes.
    explicit SolverFixture(std::filesystem::path enginesFolder = QUINTARVEL_LIBEXEC_DIR);
    // Runs the main queue until it is empty.
    void drainMainQueue();
    // Runs the main queue until the condition holds; false when it does not within a minute.
    bool drainUntil(const std::function<bool()> &condition);
    // Replaces the solver by one on these folders (made here), wired to the same views.
    void makeSolver(const std::filesystem::path &supportFolder,
                    const std::filesystem::path &temporaryFolder);

    TempDir dir;
    std::shared_ptr<ControlJournal> journal = std::make_shared<ControlJournal>();
    std::shared_ptr<FakeTextView> logView = std::make_shared<FakeTextView>();
    std::shared_ptr<FakeControl> solveMenu, abortMenu, solveButton, abortButton;
    std::shared_ptr<FakeCheckBox> removeFiles = std::make_shared<FakeCheckBox>();
    std::shared_ptr<FakeCheckBox> writeWCSHeaders = std::make_shared<FakeCheckBox>();
    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
    std::shared_ptr<SolverDelegate> solver;

  private:
    std::filesystem::path enginesFolder_;
};

// The service on 127.0.0.1 at a port the system picks, announced under `bonjourName`.
SolverDelegate::ServiceOptions loopbackServiceOptions(const std::string &bonjourName);

} // namespace quintarvel::test
