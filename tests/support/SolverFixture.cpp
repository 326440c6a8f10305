#include "support/SolverFixture.h"

#include "platform/Dispatch.h"

#include <filesystem>

namespace quintarvel::test {

SolverFixture::SolverFixture(std::filesystem::path enginesFolder)
    : solveMenu(std::make_shared<FakeControl>("solveMenu", journal)),
      abortMenu(std::make_shared<FakeControl>("abortMenu", journal)),
      solveButton(std::make_shared<FakeControl>("solveButton", journal)),
      abortButton(std::make_shared<FakeControl>("abortButton", journal)) {
    SolverPaths paths;
    paths.supportFolder = dir / "support";
    paths.configurationFile = paths.supportFolder / "quintarvel-0.cfg";
    paths.temporaryFolder = (dir / "tmp").string() + "/";
    paths.enginesFolder = std::move(enginesFolder);
    std::filesystem::create_directories(paths.supportFolder);
    std::filesystem::create_directories(dir / "tmp");
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

} // namespace quintarvel::test
