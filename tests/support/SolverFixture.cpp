#include "support/SolverFixture.h"

#include "platform/Dispatch.h"

#include <chrono>
#include <filesystem>

namespace quintarvel::test {

SolverFixture::SolverFixture(std::filesystem::path enginesFolder)
    : solveMenu(std::make_shared<FakeControl>("solveMenu", journal)),
      abortMenu(std::make_shared<FakeControl>("abortMenu", journal)),
      solveButton(std::make_shared<FakeControl>("solveButton", journal)),
      abortButton(std::make_shared<FakeControl>("abortButton", journal)),
      enginesFolder_(std::move(enginesFolder)) {
    makeSolver(dir / "support", dir / "tmp");
}

void SolverFixture::makeSolver(const std::filesystem::path &supportFolder,
                               const std::filesystem::path &temporaryFolder) {
    SolverPaths paths;
    paths.supportFolder = supportFolder;
    paths.configurationFile = paths.supportFolder / "quintarvel-0.cfg";
    paths.temporaryFolder = temporaryFolder.string() + "/";
    paths.enginesFolder = enginesFolder_;
    std::filesystem::create_directories(paths.supportFolder);
    std::filesystem::create_directories(temporaryFolder);
    solver = std::make_shared<SolverDelegate>(paths);
    solver->setWindow(window);
    solver->setLogText(logView);
    solver->setSolveMenu(solveMenu);
    solver->setAbortMenu(abortMenu);
    solver->setSolveButton(solveButton);
    solver->setAbortButton(abortButton);
    solver->setRemoveFilesButton(removeFiles);
    solver->setWriteWCSHeadersButton(writeWCSHeaders);
}

void SolverFixture::drainMainQueue() {
    mainQueue().drain();
}

bool SolverFixture::drainUntil(const std::function<bool()> &condition) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        mainQueue().drainFor(std::chrono::milliseconds(20));
    }
    return true;
}

SolverDelegate::ServiceOptions loopbackServiceOptions(const std::string &bonjourName) {
    SolverDelegate::ServiceOptions options;
    options.port = 0;
    options.forceIPv4 = true;
    options.listenAddress = "127.0.0.1";
    options.bonjourName = bonjourName;
    return options;
}

} // namespace quintarvel::test
